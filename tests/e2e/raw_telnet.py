"""A telnet client on a plain socket, for the end-to-end tests that need
control over every byte (bad input, protocol garbage) or many clients at
once (crash safety, load): no pty, no telnet program.

It answers no negotiation (the host needs none), strips the host's telnet
commands from what it reads, and hands back text decoded as Latin-1.
"""

import os
import socket
import time

from e2e_support import EXPECT_TIMEOUT, Dialogue, Failure

IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240


class Closed(Failure):
    """The host closed the connection while a test waited for text."""


class RawClient(Dialogue):
    def __init__(self, port, rcvbuf=None, timeout=EXPECT_TIMEOUT, source=None):
        """source: the loopback address to connect from (127.0.0.0/8 is all
        this machine's), so that one test can be many addresses."""
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if source:
            self.sock.bind((source, 0))
        if rcvbuf:
            # Set before connecting, so that the window the host sees is small.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        # Lines go out at once, also two in a row without an answer between.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.timeout = timeout
        self.text = ""        # data read and not yet handed out
        self.seen = ""        # everything read, for failure messages
        self.commands = []    # telnet commands the host sent: (verb, option) or ("SB", bytes)
        self.eof = False
        self._state = "data"
        self._verb = None
        self._sub = bytearray()

    # ---- bytes in --------------------------------------------------------------

    def _strip(self, data):
        out = bytearray()
        for b in data:
            st = self._state
            if st == "data":
                if b == IAC:
                    self._state = "iac"
                else:
                    out.append(b)
            elif st == "iac":
                if b == IAC:
                    out.append(IAC)
                    self._state = "data"
                elif b in (WILL, WONT, DO, DONT):
                    self._verb = b
                    self._state = "option"
                elif b == SB:
                    self._sub = bytearray()
                    self._state = "sb"
                else:
                    self.commands.append((b, None))
                    self._state = "data"
            elif st == "option":
                self.commands.append((self._verb, b))
                self._state = "data"
            elif st == "sb":
                if b == IAC:
                    self._state = "sb_iac"
                else:
                    self._sub.append(b)
            elif st == "sb_iac":
                if b == SE:
                    self.commands.append(("SB", bytes(self._sub)))
                    self._state = "data"
                else:
                    self._sub.append(b)
                    self._state = "sb"
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
        got = self._strip(chunk)
        self.text += got
        self.seen += got
        return True

    def read_until_any(self, markers, timeout=EXPECT_TIMEOUT):
        """Reads until one of the texts comes; returns (marker, text up to and with it)."""
        deadline = time.monotonic() + timeout
        while True:
            best = None
            for m in markers:
                i = self.text.find(m)
                if i >= 0 and (best is None or i < best[0]):
                    best = (i, m)
            if best is not None:
                end = best[0] + len(best[1])
                out, self.text = self.text[:end], self.text[end:]
                return best[1], out
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

    # ---- bytes out ---------------------------------------------------------------

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
    """The resident set of a process (or its peak, field="VmHWM"), in KiB (from /proc)."""
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
