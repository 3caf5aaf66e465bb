"""A bbshost with its SSH and web ports open, and an SSH (paramiko) and a WebSocket client for them."""

import base64
import codecs
import hashlib
import os
import socket
import struct

from e2e_support import EXPECT_TIMEOUT, BbsHost, Closed, Stream, check, free_port


class WaysHost(BbsHost):

    def more_listeners(self):
        self.ssh_port, self.http_port = free_port(), free_port()
        return ["--ssh-port", str(self.ssh_port), "--http-port", str(self.http_port)]

    def more_listening(self):
        return ["listening on 127.0.0.1:%d (ssh)" % self.ssh_port, "listening on 127.0.0.1:%d (web)" % self.http_port]

    def ssh(self, userid, **kwargs):
        client = SshClient(self.ssh_port, userid, **kwargs)
        self.clients.append(client)
        return client

    def web(self):
        client = WebClient(self.http_port)
        self.clients.append(client)
        return client


class WayClient(Stream):

    def __init__(self):
        self._decode = codecs.getincrementaldecoder("utf-8")("replace").decode

    def _receive(self, deadline):
        data = self._recv()
        return None if data is None else self._decode(data)

    def send(self, line):
        self._send_bytes(line.encode("utf-8") + b"\r")


def ssh_transport(port, sock=None):
    import paramiko
    transport = paramiko.Transport(sock or socket.create_connection(("127.0.0.1", port), timeout=EXPECT_TIMEOUT))
    transport.banner_timeout = transport.auth_timeout = EXPECT_TIMEOUT
    transport.start_client(timeout=EXPECT_TIMEOUT)
    return transport


def ssh_logon(port, how, userid, secret):
    """One logon by "password", "interactive" (one hidden "Password: ") or "key": whether it got in."""
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


class SshClient(WayClient):
    """Logged on as `userid` (the demo password unless given, or by `key`), with a shell."""

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

    def _recv(self):
        return self.channel.recv(4096) or None

    def _send_bytes(self, data):
        self.channel.sendall(data)

    def close(self):
        self.transport.close()


def http_get(port, path, headers=None):
    import urllib.request
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=EXPECT_TIMEOUT) as answer:
            return answer.status, dict(answer.headers), answer.read()
    except urllib.error.HTTPError as e:
        return e.code, dict(e.headers), e.read()


class WebClient(WayClient):

    def __init__(self, port, origin=None, path="/ws", tls=None):
        super().__init__()
        self.port = port
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=EXPECT_TIMEOUT)
        if tls:
            self.sock = tls.wrap_socket(self.sock, server_hostname="127.0.0.1")
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

    def _recv(self):
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
            data = self.sock.recv(4096)
            if not data:
                return None
            self.buffer += data

    def close(self):
        self.sock.close()
