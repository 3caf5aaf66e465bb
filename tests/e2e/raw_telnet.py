"""A telnet client on a plain socket: text as Latin-1, the host's telnet commands kept apart."""

import os
import socket
import time
import zlib

from e2e_support import EXPECT_TIMEOUT, Failure, Stream

IAC, DONT, DO, WONT, WILL, SB, SE, GA, EOR_CMD = 255, 254, 253, 252, 251, 250, 240, 249, 239
BINARY, ECHO, SGA, TTYPE, EOR, NAWS, MSSP, COMPRESS2 = 0, 1, 3, 24, 25, 31, 70, 86


class RawClient(Stream):
    def __init__(self, port, rcvbuf=None, timeout=EXPECT_TIMEOUT, source=None, agree=None,
                 ttype=b"XTERM-256COLOR", size=(80, 24)):
        """source: a loopback address to connect from; agree: the options it agrees to."""
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
        self.raw = b""        # all bytes read, telnet commands and all
        self.commands = []    # the host's telnet commands: (verb, option), ("SB", option, body) or (command, None)
        self.marks = []       # ("GA" or "EOR", the count of data bytes before it)
        self.total = 0
        self.inflate = None   # MCCP2 once the host starts it
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
        self.sock.settimeout(max(0.001, min(deadline - time.monotonic(), self.timeout)))
        chunk = self.sock.recv(65536)
        if not chunk:
            return None
        self.raw += chunk
        return self._strip(self.inflate.decompress(chunk) if self.inflate else chunk)

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
