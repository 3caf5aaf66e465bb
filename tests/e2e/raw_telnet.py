"""A telnet client on a plain socket, for the end-to-end tests that need
control over every byte or many clients at once: no pty, no telnet program.
It strips the host's telnet commands from what it reads and hands back text
decoded as Latin-1. By default it answers no negotiation (as the oldest
clients); given `agree`, it answers as a modern client does."""

import os
import socket
import time
import zlib

from e2e_support import EXPECT_TIMEOUT, Dialogue, Failure

IAC, DONT, DO, WONT, WILL, SB, SE, GA, EOR_CMD = 255, 254, 253, 252, 251, 250, 240, 249, 239
BINARY, ECHO, SGA, TTYPE, EOR, NAWS, MSSP, COMPRESS2 = 0, 1, 3, 24, 25, 31, 70, 86


class Closed(Failure):
    """The host closed the connection while a test waited for text."""


class RawClient(Dialogue):
    def __init__(self, port, rcvbuf=None, timeout=EXPECT_TIMEOUT, source=None, agree=None,
                 ttype=b"XTERM-256COLOR", size=(80, 24)):
        """source: the loopback address to connect from (127.0.0.0/8 is all this
        machine's); rcvbuf: the receive buffer, set before connecting; agree:
        the options it agrees to (the host's WILL and DO), the others refused;
        ttype and size: what it answers to TTYPE and NAWS."""
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if source:
            self.sock.bind((source, 0))
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.timeout = timeout
        self.agree, self.ttype, self.size = agree, ttype, size
        self.text = ""        # data read and not yet handed out
        self.seen = ""        # all data read
        self.raw = b""        # all bytes read, telnet commands and all
        self.commands = []    # the host's telnet commands: (verb, option), ("SB", option, body) or (command, None)
        self.marks = []       # ("GA" or "EOR", the count of data bytes before it)
        self.total = 0
        self.inflate = None   # MCCP2 once the host starts it
        self.eof = False
        self._state, self._verb, self._sub = "data", None, bytearray()

    def _answer(self, verb, option):
        if self.agree is None:
            return
        ok = option in self.agree
        if verb in (WILL, WONT):     # the host's own option
            self.send_raw(bytes([IAC, DO if ok and verb == WILL else DONT, option]))
        elif verb == DONT:
            self.send_raw(bytes([IAC, WONT, option]))
        else:                        # the host asks for ours
            self.send_raw(bytes([IAC, WILL if ok else WONT, option]))
            if ok and option == NAWS:
                w, h = self.size
                self.send_raw(bytes([IAC, SB, NAWS, w >> 8, w & 255, h >> 8, h & 255, IAC, SE]))

    def _strip(self, data):
        out = bytearray()
        i = 0
        while i < len(data):
            b, st = data[i], self._state
            i += 1
            if st == "data":
                if b == IAC:
                    self._state = "iac"
                else:
                    out.append(b)
            elif st == "iac":
                self._state = "data"
                if b == IAC:
                    out.append(IAC)
                elif b in (WILL, WONT, DO, DONT):
                    self._verb, self._state = b, "option"
                elif b == SB:
                    self._sub, self._state = bytearray(), "sb"
                else:
                    if b in (GA, EOR_CMD):
                        self.marks.append(("GA" if b == GA else "EOR", self.total + len(out)))
                    self.commands.append((b, None))
            elif st == "option":
                self.commands.append((self._verb, b))
                self._state = "data"
                self._answer(self._verb, b)
            elif st == "sb":
                if b == IAC:
                    self._state = "sb_iac"
                else:
                    self._sub.append(b)
            elif b == SE:    # sb_iac
                self._state = "data"
                option, body = (self._sub or b"\0")[0], bytes(self._sub[1:])
                self.commands.append(("SB", option, body))
                if option == TTYPE and body == b"\x01" and self.agree is not None:
                    self.send_raw(bytes([IAC, SB, TTYPE, 0]) + self.ttype + bytes([IAC, SE]))
                if option == COMPRESS2:    # what follows is compressed
                    self.inflate = zlib.decompressobj()
                    data, i = self.inflate.decompress(data[i:]), 0
            else:
                self._sub.append(b)
                self._state = "sb"
        self.total += len(out)
        return out.decode("latin-1")

    def _receive(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout()
        self.sock.settimeout(min(left, self.timeout))
        chunk = self.sock.recv(65536)
        if not chunk:
            self.eof = True
            return False
        self.raw += chunk
        got = self._strip(self.inflate.decompress(chunk) if self.inflate else chunk)
        self.text += got
        self.seen += got
        return True

    def read_until_any(self, markers, timeout=EXPECT_TIMEOUT):
        """Reads until one of the texts comes; returns (marker, text up to and with it)."""
        deadline = time.monotonic() + timeout
        while True:
            found = [(self.text.find(m), m) for m in markers if m in self.text]
            if found:
                i, m = min(found)
                out, self.text = self.text[:i + len(m)], self.text[i + len(m):]
                return m, out
            if self.eof:
                raise Closed("connection closed while waiting for %r; last output:\n%r" %
                             (markers, self.seen[-1500:]))
            try:
                self._receive(deadline)
            except socket.timeout:
                raise Failure("no %r within %ss; last output:\n%r" % (markers, timeout, self.seen[-1500:]))
            except OSError as e:
                raise Closed("connection failed (%s) while waiting for %r; last output:\n%r" %
                             (e, markers, self.seen[-1500:]))

    def read_until(self, marker, timeout=EXPECT_TIMEOUT):
        return self.read_until_any([marker], timeout)[1]

    def read_for(self, seconds):
        """Everything that arrives within the time (the connection may close)."""
        deadline = time.monotonic() + seconds
        try:
            while not self.eof and self._receive(deadline):
                pass
        except (socket.timeout, OSError):
            pass
        out, self.text = self.text, ""
        return out

    def wait_closed(self, timeout=EXPECT_TIMEOUT):
        """True when the host closes the connection within the time."""
        deadline = time.monotonic() + timeout
        try:
            while not self.eof:
                self._receive(deadline)
        except socket.timeout:
            return False
        except OSError:
            return True   # reset by the host
        return True

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, line):
        """One line; str is sent as Latin-1."""
        if isinstance(line, str):
            line = line.encode("latin-1")
        self.sock.sendall(line + b"\r\n")

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def vm_rss_kib(pid, field="VmRSS"):
    """The resident set of a process (or its peak, field="VmHWM"), in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise Failure("no %s for process %d" % (field, pid))


def cpu_seconds(pid):
    """The processor time a process has used so far (user and system)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))
