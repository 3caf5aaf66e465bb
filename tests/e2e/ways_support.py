"""A bbshost with its SSH and web ports open, and clients for them: an SSH
client (paramiko) and a WebSocket client on a plain socket. Both read and
type as Dialogue does, so the telnet tests' steps work over them. The SSH
user name is the user-ID; the demo users' password is theirs in lower case."""

import base64
import hashlib
import os
import socket
import struct
import time

from e2e_support import EXPECT_TIMEOUT, BbsHost, Dialogue, Failure, check, free_port


class WaysHost(BbsHost):
    """A BbsHost that also listens for SSH and the web terminal on loopback."""

    def more_listeners(self):
        self.ssh_port, self.http_port = free_port(), free_port()
        return ["--ssh-port", str(self.ssh_port), "--http-port", str(self.http_port)]

    def more_listening(self):
        return ["listening on 127.0.0.1:%d (ssh)" % self.ssh_port,
                "listening on 127.0.0.1:%d (web)" % self.http_port]

    def ssh(self, userid, **kwargs):
        client = SshClient(self.ssh_port, userid, **kwargs)
        self.clients.append(client)
        return client

    def web(self):
        client = WebClient(self.http_port)
        self.clients.append(client)
        return client


class Closed(Failure):
    """The host closed the connection while a test waited for text."""


class StreamDialogue(Dialogue):
    """read_until over a byte stream: subclasses give _receive() (bytes, or
    None at the end) and _send_bytes()."""

    def __init__(self):
        self.text = ""
        self.seen = ""
        self.eof = False
        self._decoder = __import__("codecs").getincrementaldecoder("utf-8")("replace")

    def read_until(self, text, timeout=EXPECT_TIMEOUT):
        deadline = time.monotonic() + timeout
        while text not in self.text:
            if self.eof:
                raise Closed("closed while waiting for %r; last output:\n%r" % (text, self.seen[-1500:]))
            if time.monotonic() > deadline:
                raise Failure("expected %r; last output:\n%r" % (text, self.seen[-1500:]))
            data = self._receive(deadline)
            if data is None:
                self.eof = True
            elif data:
                chunk = self._decoder.decode(data)
                self.text += chunk
                self.seen += chunk
        end = self.text.index(text) + len(text)
        out, self.text = self.text[:end], self.text[end:]
        return out

    def wait_closed(self, timeout=EXPECT_TIMEOUT):
        deadline = time.monotonic() + timeout
        while not self.eof and time.monotonic() < deadline:
            data = self._receive(deadline)
            if data is None:
                self.eof = True
            elif data:
                self.seen += self._decoder.decode(data)
        return self.eof

    def send(self, line):
        # A terminal in character mode: Enter is a carriage return.
        self._send_bytes(line.encode("utf-8") + b"\r")


def ssh_transport(port, sock=None):
    """A paramiko client transport to the host's SSH port, past the key exchange."""
    import paramiko
    transport = paramiko.Transport(sock or socket.create_connection(("127.0.0.1", port), timeout=EXPECT_TIMEOUT))
    transport.banner_timeout = transport.auth_timeout = EXPECT_TIMEOUT
    transport.start_client(timeout=EXPECT_TIMEOUT)
    return transport


def ssh_logon(port, how, userid, secret):
    """One SSH logon attempt, by "password", "interactive" (which must ask
    one hidden "Password: ") or "key" (a paramiko key): whether it got in."""
    import paramiko
    prompts_seen = []

    def answer(title, instructions, prompts):
        prompts_seen.append(prompts)
        return [secret for _ in prompts]

    transport = ssh_transport(port)
    try:
        {"password": lambda: transport.auth_password(userid, secret),
         "interactive": lambda: transport.auth_interactive(userid, answer),
         "key": lambda: transport.auth_publickey(userid, secret)}[how]()
        return transport.is_authenticated()
    except (paramiko.SSHException, EOFError):  # refused, or cut off by the throttle
        return False
    finally:
        transport.close()
        check(how != "interactive" or prompts_seen in ([], [[("Password: ", False)]]),
              "keyboard-interactive prompts: %r" % prompts_seen)


class SshClient(StreamDialogue):
    """An SSH client logged on as `userid` (by password: the demo users'
    unless given; or by `key`), with a shell on a pty unless pty=False."""

    def __init__(self, port, userid, password=None, key=None, width=80, height=24, term="xterm", pty=True,
                 window=None, sock=None):
        super().__init__()
        self.transport = ssh_transport(port, sock)
        if key is not None:
            self.transport.auth_publickey(userid, key)
        else:
            self.transport.auth_password(userid, password or userid.lower())
        self.channel = self.transport.open_session(window_size=window, timeout=EXPECT_TIMEOUT)
        if pty:
            self.channel.get_pty(term=term, width=width, height=height)
        self.channel.invoke_shell()
        self.channel.settimeout(0.2)

    def host_key_fingerprint(self):
        blob = self.transport.get_remote_server_key().asbytes()
        return "SHA256:" + base64.b64encode(hashlib.sha256(blob).digest()).decode().rstrip("=")

    def resize(self, width, height):
        self.channel.resize_pty(width=width, height=height)

    def _receive(self, deadline):
        try:
            data = self.channel.recv(4096)
        except socket.timeout:
            return b""
        return data if data else None

    def _send_bytes(self, data):
        self.channel.sendall(data)

    def close(self):
        self.transport.close()

    hang_up = close


def http_get(port, path, headers=None):
    """One GET over a fresh connection: (status, headers dict, body bytes)."""
    import urllib.request
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=EXPECT_TIMEOUT) as answer:
            return answer.status, dict(answer.headers), answer.read()
    except urllib.error.HTTPError as e:
        return e.code, dict(e.headers), e.read()


class WebClient(StreamDialogue):
    """The page's side of the terminal WebSocket, on a plain socket: masked
    frames out, the server's frames in."""

    def __init__(self, port, origin=None, path="/ws"):
        super().__init__()
        self.port = port
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=EXPECT_TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        key = base64.b64encode(os.urandom(16)).decode()
        origin = origin or "http://127.0.0.1:%d" % port
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n"
                           "Origin: %s\r\n\r\n" % (path, port, key, origin)).encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            data = self.sock.recv(4096)
            if not data:
                raise Closed("closed during the handshake: %r" % self.buffer)
            self.buffer += data
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        self.handshake = head.decode("latin-1")
        self.status = int(self.handshake.split()[1])
        accept = base64.b64encode(hashlib.sha1((key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")
                                               .encode()).digest()).decode()
        self.accepted = self.status == 101 and ("Sec-WebSocket-Accept: " + accept) in self.handshake
        self.sock.settimeout(0.2)
        self.closed_code = None

    def frame(self, opcode, payload):
        mask = os.urandom(4)
        n = len(payload)
        head = bytes([0x80 | opcode])
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(head + mask + masked)

    def _send_bytes(self, data):
        self.frame(0x2, data)

    def window_size(self, cols, rows):
        self.frame(0x2, bytes([0xFF, 0x53]) + struct.pack(">HH", cols, rows))

    def _frame_from_buffer(self):
        """One whole frame off the buffer: (opcode, payload), or None."""
        b = self.buffer
        if len(b) < 2:
            return None
        n, at = b[1] & 0x7F, 2
        if n == 126:
            if len(b) < 4:
                return None
            n, at = struct.unpack(">H", b[2:4])[0], 4
        elif n == 127:
            if len(b) < 10:
                return None
            n, at = struct.unpack(">Q", b[2:10])[0], 10
        check(not b[1] & 0x80, "the server masked a frame")
        if len(b) < at + n:
            return None
        self.buffer = b[at + n:]
        return b[0] & 0x0F, b[at:at + n]

    def _receive(self, deadline):
        while True:
            frame = self._frame_from_buffer()
            if frame:
                opcode, payload = frame
                if opcode == 0x8:
                    self.closed_code = struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None
                    return None
                if opcode in (0x1, 0x2, 0x0):
                    return payload
                continue  # ping/pong: nothing for the reader
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                return b""
            if not data:
                return None
            self.buffer += data

    def close(self):
        self.sock.close()

    hang_up = close
