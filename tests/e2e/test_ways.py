#!/usr/bin/python3
"""The other ways in: SSH (paramiko, OpenSSH: logons, keys, the shared throttle, refused requests) and the web
terminal (the page over HTTP, the WebSocket session, TLS, headless Chromium)."""

import base64
import codecs
import hashlib
import logging
import ssl
import string
import struct
import unittest.mock
import urllib.request

import paramiko
from paramiko.message import Message

import pyte

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("ways")
logging.getLogger("paramiko").setLevel(logging.CRITICAL)
DESCRIPTION = "A tall elf in a green cloak."


class WaysHost(BbsHost):

    def more_listeners(self):
        self.ssh_port, self.http_port = free_port(), free_port()
        return ["--ssh-port", str(self.ssh_port), "--http-port", str(self.http_port)]

    def more_listening(self):
        return ["listening on 127.0.0.1:%d (ssh)" % self.ssh_port, "listening on 127.0.0.1:%d (web)" % self.http_port]

    def ssh(self, userid, **kwargs):
        return self.keep(SshClient(self.ssh_port, userid, **kwargs))

    def web(self):
        return self.keep(WebClient(self.http_port))


class WayClient(Stream):

    def __init__(self):
        self._decode = codecs.getincrementaldecoder("utf-8")("replace").decode

    def _receive(self, deadline):
        data = self._recv()
        return None if data is None else self._decode(data)

    def send(self, line):
        self._send_bytes(line.encode("utf-8") + b"\r")


def ssh_transport(port, sock=None):
    transport = paramiko.Transport(sock or socket.create_connection(("127.0.0.1", port), timeout=EXPECT_TIMEOUT))
    transport.banner_timeout = transport.auth_timeout = EXPECT_TIMEOUT
    transport.start_client(timeout=EXPECT_TIMEOUT)
    return transport


def ssh_logon(port, how, userid, secret):
    """One logon by "password", "interactive" (one hidden "Password: ") or "key": whether it got in."""
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
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=EXPECT_TIMEOUT) as answer:
            return answer.status, dict(answer.headers), answer.read()
    except urllib.error.HTTPError as e:
        return e.code, dict(e.headers), e.read()


class WebClient(WayClient):

    def __init__(self, port, origin=None, path="/ws", tls=None, host=None, rcvbuf=None, source=None, fields=""):
        """origin and host: the fields sent (ours unless given; origin "": none); source: an address to connect from;
        fields: more header lines, each ending in CR LF."""
        super().__init__()
        self.port = port
        self.sock = socket.socket()
        if source:
            self.sock.bind((source, 0))
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(EXPECT_TIMEOUT)
        self.sock.connect(("127.0.0.1", port))
        if tls:
            self.sock = tls.wrap_socket(self.sock, server_hostname="127.0.0.1")
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        key = base64.b64encode(os.urandom(16)).decode()
        origin = "http://127.0.0.1:%d" % port if origin is None else origin
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n"
                           "%s%s\r\n" % (path, host or "127.0.0.1:%d" % port, key,
                                          "Origin: %s\r\n" % origin if origin else "", fields)).encode())
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



@suite.case
def a_user_buys_and_writes_a_description_over_ssh_and_the_sysop_approves_it():
    with WaysHost() as host:
        alice = host.ssh("Alice", width=80, height=24)
        holds(plain(alice.read_until(GAME_PROMPT)), "!User-ID", "!Password")   # not asked to log on again
        check(re.search(r"logon of Alice at channel \d+ from 127\.0\.0\.1:\d+ by ssh", host.log_text()) and
              "logged on as Alice by password" in host.log_text(), "the logon is not in the host log")
        alice.steps(("ext", "Extension: "), ("*", CHOICE, "Buy an extra life"), ("d", CHOICE),
                    ("d", "Do you wish to continue? "), ("yes", "\x1b[2J"))  # the full-screen editor
        alice._send_bytes(DESCRIPTION.encode() + b"\x0c")  # and Ctrl-L redraws it whole
        alice.read_until(DESCRIPTION)
        screen = pyte.Screen(80, 24)
        pyte.Stream(screen).feed(alice.seen)
        check(screen.display[0].rstrip() == DESCRIPTION and "Ctrl-Z save" in screen.display[23],
              "the editor's screen: %r" % screen.display)
        alice._send_bytes(b"\x1a")  # Ctrl-Z saves
        holds(plain(alice.read_until(CHOICE)), DESCRIPTION, "waits for a sysop's approval")
        alice.steps(("x", CHOICE), ("x", GAME_PROMPT))
        host.login("Sysop", plus=True).steps(  # over telnet
            ("s", CHOICE), ("a", "Approve which user's description? "), ("Alice", CHOICE, "Done."))
        alice.steps(("look Alia", GAME_PROMPT, DESCRIPTION))

        status, out, _ = host.admin("fingerprint")
        seen = alice.host_key_fingerprint()
        check(status == 0 and seen in out and seen in host.log_text(), "fingerprint %r, the client saw %s" % (out, seen))
        equal(mode_of(os.path.join(host.data, "ssh_host_ed25519_key")), 0o600, "the mode of the host key file")
        alice.send("quit")
        check(alice.wait_closed() and alice.channel.recv_exit_status() == 0, "the channel did not end after quit")


@suite.case
def password_and_keyboard_interactive_logons():
    with WaysHost() as host:
        for how, user, password, accepted in [  # user-IDs ignore letter case
                ("password", "Alice", "alice", True), ("password", "alice", "alice", True),
                ("password", "Alice", "wrong", False), ("password", "Nobody", "nobody", False),
                ("interactive", "Bob", "bob", True), ("interactive", "Bob", "wrong", False)]:
            check(ssh_logon(host.ssh_port, how, user, password) == accepted,
                  "%s %s/%s: accepted is not %s" % (how, user, password, accepted))
        holds(host.log_text(), *('failed logon as "%s" from 127.0.0.1 by ssh' % u for u in ("Alice", "Nobody", "Bob")))
        with ssh_transport(host.ssh_port) as transport:
            try:
                transport.auth_none("Alice")
                raise AssertionError("the none method was accepted")
            except paramiko.BadAuthenticationType as e:
                equal(sorted(e.allowed_types), ["keyboard-interactive", "password", "publickey"], "the methods offered")
        with ssh_transport(host.ssh_port) as transport:
            for attempt in range(3):
                try:
                    transport.auth_password("Carol", "wrong%d" % attempt)
                except paramiko.AuthenticationException:
                    pass
                except (paramiko.SSHException, EOFError):
                    break
            wait_until(lambda: not transport.is_active(), "the connection to close after three wrong passwords")
        telnet = host.login("Sysop")
        again = host.ssh("Sysop")
        holds(again.read_until("online."), "That user is already online.")
        check(again.wait_closed(), "the second logon of the Sysop stayed open")
        holds(telnet.type("stats", GAME_PROMPT), "You have no character")   # the Sysop served


@suite.case
def wrong_passwords_over_ssh_and_telnet_share_one_throttle():
    with WaysHost() as host:
        for n, way in enumerate(("ssh", "telnet", "ssh", "telnet", "ssh")):
            check(not ssh_logon(host.ssh_port, "password", "Alice", "wrong%d" % n) if way == "ssh" else
                  host.attempt("Alice", "wrong%d" % n) == "Invalid login.", "%s: a wrong password %d" % (way, n))
        check(not ssh_logon(host.ssh_port, "password", "Alice", "alice"), "the throttle let the right password in")
        check(not ssh_logon(host.ssh_port, "interactive", "Alice", "alice"), "the throttle let kbd-interactive in")
        check(host.attempt("Alice", "alice") == USERID_REFUSED, "telnet: no refusal before the password")
        log = host.log_text()
        check(log.count('logon as "Alice" from 127.0.0.1 by ssh refused: ' + USERID_REFUSED) == 2,
              "the SSH refusals are not logged:\n" + log[-1500:])
        check(log.count('failed logon as "Alice"') == 5, "a refused attempt was checked:\n" + log[-1500:])
        bob = host.ssh("Bob")
        bob.read_until(GAME_PROMPT)
        bob.served("Bob")


def openssh(port, user, key_file, *command):
    """OpenSSH's client with only this key: a pexpect child for a shell, else (exit status, stderr)."""
    args = ["-F", "/dev/null", "-p", str(port), "-i", key_file, "-o", "IdentitiesOnly=yes", "-o", "BatchMode=yes",
            "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
            "-o", "PreferredAuthentications=publickey", user + "@127.0.0.1"]
    if command == ("shell",):
        return pexpect.spawn("ssh", ["-tt"] + args, encoding="utf-8", timeout=EXPECT_TIMEOUT)
    proc = subprocess.run(["ssh", "-T"] + args, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return proc.returncode, proc.stderr.decode("utf-8", "replace")


@suite.case
def public_key_logon_for_registered_keys_only():
    with WaysHost() as host, tempfile.TemporaryDirectory() as keys:
        key = {}
        for user in ("Alice", "Bob"):
            key[user] = os.path.join(keys, user)
            run_ok(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", user + "@home", "-f", key[user]])
        status, err = openssh(host.ssh_port, "Alice", key["Alice"])
        check(status == 255 and "Permission denied" in err, "a key not yet registered: %s %r" % (status, err))

        fingerprint = run_ok(["ssh-keygen", "-l", "-f", key["Alice"] + ".pub"]).split()[1]
        host.shows((("key", "add", "alice", "--file", key["Alice"] + ".pub"),
                    "added key 1 of user Alice: ssh-ed25519 " + fingerprint))
        host.admin_ok("key", "add", "Bob", "--file", "Bob.pub", cwd=keys)  # named from where the sysop is
        listed = host.admin_ok("key", "list", "Alice").split("\t")
        check(listed[:4] == ["1", "ssh-ed25519", fingerprint, "Alice@home"], "key list: %r" % listed)

        alice = openssh(host.ssh_port, "Alice", key["Alice"], "shell")
        try:
            alice.expect_exact(GAME_PROMPT)
            holds(host.log_text(), "logged on as Alice by publickey ssh-ed25519 " + fingerprint)
            alice.sendline("quit")
            alice.expect(pexpect.EOF)
        finally:
            alice.close(force=True)
        ed25519 = paramiko.Ed25519Key.from_private_key_file(key["Bob"])  # signs without asking first
        check(ssh_logon(host.ssh_port, "key", "Bob", ed25519), "paramiko's signed key was refused")
        for user, other in (("Bob", "Alice"), ("Alice", "Bob"), ("Carol", "Alice")):
            status, err = openssh(host.ssh_port, user, key[other])
            check(status == 255 and "Permission denied" in err, "%s got in with %s's key: %r" % (user, other, err))

        bad = os.path.join(keys, "bad.pub")
        with open(bad, "w") as f:
            f.write("ssh-ed25519 AAAAnotakey Alice@home\n")
        for args, wanted in ((("Alice", "--file", key["Alice"] + ".pub"), "registered for \"Alice\" already"),
                             (("Nobody", "--file", key["Alice"] + ".pub"), "no user \"Nobody\""),
                             (("Alice", "--file", bad), "not a key libssh reads"),
                             (("Alice", "--file", key["Alice"]), "not one of ssh-ed25519")):  # the private key
            host.refused("key", "add", *args, says=wanted)
        host.refused("key", "remove", "Alice", "2", says="has no key 2")
        host.admin_ok("key", "remove", "Alice", "1")
        host.shows((("key", "list", "Alice"), ""))
        status, err = openssh(host.ssh_port, "Alice", key["Alice"])
        check(status == 255, "a removed key still logs on: %r" % err)
        host.admin_ok("user", "delete", "Bob")
        host.admin_ok("user", "add", "Bob", stdin="bob\n")
        check(host.admin_ok("key", "list", "Bob") == "" and not ssh_logon(host.ssh_port, "key", "Bob", ed25519),
              "the deleted account's key logs the new one on")


def channel_request(transport, kind, payload=b""):
    chan = transport.open_session(timeout=EXPECT_TIMEOUT)
    m = Message().add_byte(paramiko.common.cMSG_CHANNEL_REQUEST).add_int(chan.remote_chanid).add_string(kind)
    m.add_boolean(True).add_bytes(payload)
    chan._event_pending()
    transport._send_user_message(m)
    check(chan.event.wait(EXPECT_TIMEOUT), "no answer to the %s request" % kind)
    return chan.event_ready


def granted(call, refusal):
    try:
        call()
        return True
    except refusal:
        return False


def second_session(transport):
    shell = transport.open_session(timeout=EXPECT_TIMEOUT)
    shell.get_pty()
    shell.invoke_shell()
    opened = granted(lambda: transport.open_session(timeout=EXPECT_TIMEOUT), paramiko.ChannelException)
    shell.settimeout(EXPECT_TIMEOUT)
    got = b""
    while GAME_PROMPT.encode() not in got:  # the first goes on
        piece = shell.recv(4096)
        check(piece, "the shell ended: %r" % got)
        got += piece
    return opened


@suite.case
def only_one_shell_is_served_and_its_window_changes_reach_the_terminal():
    x11 = Message().add_boolean(False).add_string("MIT-MAGIC-COOKIE-1").add_string("00" * 16).add_int(0).asbytes()
    cases = [  # (what, asks, what the host logs), each on a logged-on connection of its own
        ("exec", lambda t: channel_request(t, "exec", Message().add_string("id").asbytes()), "refused exec"),
        ("sftp", lambda t: granted(lambda: paramiko.SFTPClient.from_transport(t), paramiko.SSHException),
         "refused subsystem sftp"),
        ("x11", lambda t: channel_request(t, "x11-req", x11), "refused x11-req"),
        ("agent", lambda t: channel_request(t, "auth-agent-req@openssh.com"), None),  # libssh's refusal
        ("direct-tcpip", lambda t: granted(lambda: t.open_channel(
            "direct-tcpip", ("127.0.0.1", 22), ("127.0.0.1", 40000), timeout=EXPECT_TIMEOUT),
            paramiko.ChannelException), "refused a direct-tcpip channel"),
        ("tcpip-forward", lambda t: t.global_request("tcpip-forward", ("127.0.0.1", 0), wait=True) is not None,
         "refused port forwarding (tcpip-forward)"),
        ("second session", second_session, "refused a second session channel"),]
    with WaysHost() as host:
        for what, asks, logged in cases:
            with ssh_transport(host.ssh_port) as transport:
                transport.auth_password("Alice", "alice")
                check(asks(transport) is False, "%s: granted" % what)
                check(transport.is_active(), "%s: the host dropped the connection instead of refusing" % what)
            check(not logged or logged in host.log_text(), "%s: not logged as refused" % what)

        host.admin_ok("db", "fill", "R", "--count", "300", "--tag", "QRTBKPLS_REG")
        carol = host.ssh("Carol", width=80, height=12)
        carol.read_until(GAME_PROMPT)
        carol.steps(("ext", "Extension: "), ("*", CHOICE), ("r", CHOICE), ("s", "(enter='a'):"))
        carol.send("r")
        rows = carol.read_until("-- More --").split("\r\n")[1:]  # after the echo of her line
        check(len(rows) == 12 and rows[-1].endswith("-- More --"), "a page of a 12-row pty: %r" % rows)
        carol.resize(80, 30)
        carol._send_bytes(b" ")
        check(carol.read_until("-- More --").count("R00") > 20, "the next page did not fill 30 rows")
        carol.resize(2, 2)  # too small to page: as if untold
        carol._send_bytes(b" ")
        holds(carol.read_until(CHOICE), "!-- More --")
        for client in (host.ssh("Bob", term="dumb"), host.ssh("Alice", pty=False)):
            out = client.read_until(GAME_PROMPT) + client.served()
            check(client.transport.get_username() != "Bob" or "\x1b" not in out, "escapes for a dumb terminal: %r" % out)


class StallingSocket:
    """A socket whose reader can be stopped, so that the kernel's buffers fill."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=EXPECT_TIMEOUT)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.reading = threading.Event()
        self.reading.set()

    def recv(self, n):
        self.reading.wait()
        return self.sock.recv(n)

    def close(self):
        self.reading.set()
        self.sock.close()

    def __getattr__(self, name):
        return getattr(self.sock, name)


def flood(client):
    try:
        client._send_bytes(b"help\r" * 60000)  # 27 MB of answers, more than the sockets hold
    except (OSError, EOFError, paramiko.SSHException):
        pass  # cut off before it sent everything


@suite.case
def a_client_that_stops_reading_is_cut_off_and_others_are_served():
    for stall in ("at the window", "at the socket"):
        with WaysHost() as host:
            bob = host.ssh("Bob")
            bob.read_until(GAME_PROMPT)
            sock = StallingSocket(host.ssh_port)
            carol = host.ssh("Carol", sock=sock, window=2 ** 31 if stall == "at the socket" else 32 * 1024)
            carol.read_until(GAME_PROMPT)
            carol.type("paging off", GAME_PROMPT)
            if stall == "at the socket":
                sock.reading.clear()
            carol.channel.settimeout(None)
            threading.Thread(target=flood, args=(carol,), daemon=True).start()
            deadline = time.monotonic() + 60
            while "output queue full" not in host.log_text():
                check(time.monotonic() < deadline, "%s: not cut off:\n%s" % (stall, host.log_text()[-1500:]))
                bob.served("Bob")
            wait_until(lambda: bob.gone_from_who("Carol"), "Carol to leave the who list")
            bob.served("Bob")
            check("hang-up of Bob" not in host.log_text(), "%s: Bob was cut off too" % stall)


TOLD = re.compile(rb"You tell Alia: (\d{6} [a-z]+)\r")
PASTE_LINES, WINDOW = 32000, 1280000   # 8 MB; what libssh lets a client send ahead


@suite.case
def a_paste_that_outruns_its_session_is_held_back_and_every_line_arrives():
    # Alice pastes megabytes while her session answers her lines 8 a turn: SSH's window holds her client back
    # (her own window takes all output at once, so that only her input waits), the host keeps at most two windows
    # of the paste, and every line is answered, whole and in order.
    told = [b"%06d %s" % (n, (string.ascii_lowercase[n % 26:] + string.ascii_lowercase[:n % 26]).encode() * 9)
            for n in range(PASTE_LINES)]
    paste = b"".join(b"tell Alia " + line + b"\r" for line in told)
    with WaysHost() as host:
        alice = host.ssh("Alice", width=300, window=2 ** 31)   # a line fits: its keys echo without redrawing it
        alice.read_until(GAME_PROMPT)
        alice.type("paging off", GAME_PROMPT)
        sent, answered, pending, ahead = [0], [], b"", 0

        def paster():
            while sent[0] < len(paste):
                try:
                    sent[0] += alice.channel.send(paste[sent[0]:sent[0] + 32768])
                except socket.timeout:
                    continue   # the window is shut: the host holds Alice back
                except (OSError, EOFError):
                    return

        threading.Thread(target=paster, daemon=True).start()
        deadline = time.monotonic() + 200
        while len(answered) < len(told) and time.monotonic() < deadline:
            try:
                piece = alice.channel.recv(1 << 16)
            except socket.timeout:
                continue
            if not piece:
                break
            done, _, pending = (pending + piece).rpartition(b"\r")
            answered += TOLD.findall(done + b"\r")
            ahead = max(ahead, sent[0] - len(answered) * len(paste) // len(told))
        check(len(answered) == len(told), "%d lines of %d answered, %d bytes of %d sent; the log:\n%s" % (
            len(answered), len(told), sent[0], len(paste), host.log_text()[-1500:]))
        check(answered == told, "line %s came otherwise" % next(
            n for n, (a, t) in enumerate(zip(answered, told)) if a != t) if answered != told else "")
        # Two windows held (libssh's, and what the host took before), a read's lines and the answers in flight.
        check(ahead < 2 * WINDOW + 512 * 1024, "Alice's client was %d bytes ahead of the answers" % ahead)
        alice.served("Alice")


def closed_by_host(sock, timeout=EXPECT_TIMEOUT):
    sock.settimeout(timeout)
    try:
        while sock.recv(4096):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


@suite.case
def connections_that_never_log_on_are_timed_out_and_count_at_the_logon():
    openings = [b"", b"SSH-2.0-quiet\r\n", b"SSH-2."] + [b""] * 6  # silent, a banner, half a banner
    with WaysHost(options=["--logon-time", "2"]) as host:
        alice = host.ssh("Alice")  # on before, and served meanwhile
        alice.read_until(GAME_PROMPT)
        socks = [socket.create_connection(("127.0.0.1", host.ssh_port), timeout=EXPECT_TIMEOUT) for _ in openings]
        try:
            for sock, sent in zip(socks, openings):
                sock.sendall(sent)
            idle = ssh_transport(host.ssh_port)  # logged on, but never asks for a shell
            idle.auth_password("Bob", "bob")
            holds(host.raw().read_until("later."), "Too many connections from your address")   # telnet refused too
            check(not granted(lambda: ssh_transport(host.ssh_port), (paramiko.SSHException, EOFError, OSError)),
                  "an eleventh connection at the logon was let in by SSH")
            alice.served("Alice")
            for n, sock in enumerate(socks):
                check(closed_by_host(sock), "SSH client %d was not closed" % n)
            wait_until(lambda: not idle.is_active(), "the client without a shell to be closed")
            wait_until(lambda: host.log_text().count("closed: logon time limit reached") == len(socks) + 1,
                       "every SSH client that did not log on to be closed")
            host.raw(source="127.0.0.3").read_until("Logon timed out.")   # telnet timed out too (127.0.0.1 pays)
            alice.served("Alice")
        finally:
            for sock in socks:
                sock.close()


@suite.case
def the_host_key_is_kept_across_restarts_and_refused_when_others_may_read_it():
    with WaysHost() as first:
        made = first.ssh("Alice").host_key_fingerprint()
        check(first.stop() == 0, "the host did not stop cleanly with an SSH user on")
        with WaysHost(data_dir=first.data) as second:
            check(second.ssh("Bob").host_key_fingerprint() == made, "a new host key after a restart")
        key_file = os.path.join(first.data, "ssh_host_ed25519_key")
        os.chmod(key_file, 0o644)
        serve_expecting_failure(first.data, "--ssh-port", str(free_port()), says=[key_file, "0644"])   # refused

def banner_lines(text):
    return [line.strip() for line in plain(text).split("\n") if line.strip()]


@suite.case
def the_page_and_its_files_are_served():
    with WaysHost() as host:
        for path, status, kind, text in [  # path, status, content type start, a text the body holds
                ("/", 200, "text/html", b"terminal.js"), ("/terminal.js", 200, "text/javascript", b"WebSocket"),
                ("/xterm.js", 200, "text/javascript", b"Terminal"),
                ("/nothing-here", 404, None, None), ("/../../etc/passwd", 404, None, None)]:
            got, headers, body = http_get(host.http_port, path)
            check(got == status, "%s: status %d, wanted %d" % (path, got, status))
            if kind:
                check(headers.get("Content-Type", "").startswith(kind),
                      "%s: content type %r" % (path, headers.get("Content-Type")))
                check(text in body, "%s: %r is not in the body" % (path, text))
        host.raw_user("Carol").served("Carol")


@suite.case
def alice_logs_on_through_the_websocket():
    with WaysHost() as host:
        telnet = host.raw()
        telnet_banner = banner_lines(telnet.read_until("User-ID: "))
        telnet.close()
        alice = host.web()
        check(alice.accepted, "the upgrade was refused:\n%s" % alice.handshake)
        alice.window_size(100, 30)
        web_banner = banner_lines(alice.read_until("User-ID: "))
        check(telnet_banner and web_banner == telnet_banner,
              "the banners differ:\ntelnet %r\nweb    %r" % (telnet_banner, web_banner))
        alice.steps(("Alice", "Password: ", "Alice"), ("alice", GAME_PROMPT, "!alice"),   # echoed, the password not
                    ("Grüße", GAME_PROMPT), ("ext", "Extension: "), ("*", CHOICE, "Brakvold Plus", "Buy an extra life"))


@suite.case
def the_pages_window_size_message_sizes_the_pages():
    with WaysHost() as host:
        host.admin_ok("db", "fill", "R", "--count", "300", "--tag", "QRTBKPLS_REG")
        carol = host.web()
        carol.window_size(80, 12)
        carol.login("Carol")
        carol.steps(("ext", "Extension: "), ("*", CHOICE), ("r", CHOICE), ("s", "(enter='a'):"))
        carol.send("r")
        equal(carol.read_until("-- More --").count("R00"), 10, "the rows of a page of a 12-row window")
        carol.window_size(80, 30)
        carol._send_bytes(b" ")
        equal(carol.read_until("-- More --").count("R00"), 29, "the rows of the next page, 30 rows")
        carol.window_size(3, 2)  # too small to page: as if untold
        carol._send_bytes(b" ")
        holds(carol.read_until(CHOICE), "!-- More --")


def ping_flood(port, pings, payload=b"p" * 125):
    """A WebSocket client that pings without ever reading: "cut off", "held" (its sends stall) or "all sent"."""
    client = WebClient(port, rcvbuf=4096)
    mask = b"\x01\x02\x03\x04"
    burst = (bytes([0x89, 0x80 | len(payload)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))) * 1000
    try:
        for _ in range(pings // 1000):
            client.sock.sendall(burst)
        return "all sent"
    except socket.timeout:
        return "held"
    except OSError:
        return "cut off"
    finally:
        client.close()


@suite.case
def pings_that_are_never_read_count_against_the_output_bound():
    with unittest.mock.patch.dict(os.environ, ASAN_OPTIONS=without_asan_quarantine()), WaysHost() as host:
        bob = host.raw_user("Bob")
        before = vm_rss_kib(host.proc.pid, "VmHWM")
        floods = [None] * 3

        def flood(n):
            floods[n] = ping_flood(host.http_port, 100000)

        in_parallel(flood, [(n,) for n in range(3)])
        grown = vm_rss_kib(host.proc.pid, "VmHWM") - before
        check(grown < 16 * 1024, "the host grew by %d KiB for three floods of unread pongs" % grown)
        equal(floods, ["cut off"] * 3, "what became of the floods")
        wait_until(lambda: host.log_text().count("a ping while") == 3, "the three cut off in the host log")
        bob.served("Bob")


@suite.case
def foreign_origins_and_host_names_are_refused_and_the_host_stops_with_web_users_on():
    with WaysHost() as host:
        ours, evil = "127.0.0.1:%d" % host.http_port, "evil.example:%d" % host.http_port
        for origin, host_field, status in [  # a rebinding name resolving to us names itself in Host and Origin
                ("http://evil.example", None, 403), ("", None, 403), ("http://" + evil, evil, 421),
                ("http://" + ours, evil, 421), ("https://" + ours, None, 403),
                ("http://localhost:%d" % host.http_port, "localhost:%d" % host.http_port, 101)]:
            client = WebClient(host.http_port, origin=origin, host=host_field)
            client.close()
            equal(client.status, status, "the upgrade from %r at %r" % (origin, host_field))
        for host_field, status in ((ours, 200), ("localhost:%d" % host.http_port, 200), (evil, 421),
                                   ("evil.example", 421), ("127.0.0.1:1", 421), ("127.0.0.1", 421)):
            got, headers, body = http_get(host.http_port, "/", {"Host": host_field})
            equal(got, status, "the page at %r" % host_field)
            check(headers.get("Content-Security-Policy", "").startswith("default-src 'none'") and
                  (status == 200) == (b"terminal.js" in body), "%r: %r %r" % (host_field, headers, body[:200]))
        alice = host.web()  # the refusals took no logon place
        alice.login("Alice")
        check(host.stop() == 0, "the host did not stop cleanly")
        check(alice.wait_closed(), "the web session outlived the host")
    with WaysHost(options=["--web-origin", "https://bbs.example.org/", "--web-origin", "http://[::1]:8080"]) as host:
        for origin, host_field, status in [  # behind a proxy that passes the browser's Host on
                ("https://bbs.example.org", "bbs.example.org", 101), ("https://bbs.example.org", "bbs.example.org:443", 101),
                ("http://[::1]:8080", "[::1]:8080", 101), ("https://bbs.example.org", "bbs.example.org:8443", 421),
                ("http://bbs.example.org", "bbs.example.org", 403), (None, None, 421)]:
            client = WebClient(host.http_port, origin=origin, host=host_field)
            client.close()
            equal(client.status, status, "with --web-origin, the upgrade from %r at %r" % (origin, host_field))
    with scratch("bbshost-e2e-origin-") as folder:
        for origin, said in (("ftp://bbs.example.org", "http:// or https://"), ("https://bbs.example.org/play", "no path"),
                             ("https://", "no host"), ("http://bbs.example.org:80x", "port")):
            serve_expecting_failure(folder + "/data", "--http-port", str(free_port()), "--web-origin", origin,
                                    status=2, says=["--web-origin", said])
        serve_expecting_failure(folder + "/data", "--web-origin", "https://bbs.example.org", status=2,
                                says=["--web-origin requires --http-port"])


@suite.case
def with_a_certificate_the_web_terminal_is_https_only():
    with scratch("bbshost-e2e-tls-") as folder:
        (cert, key), (_, other_key) = self_signed(folder, "ours"), self_signed(folder, "other")
        port = free_port()
        with BbsHost(options=["--http-port", str(port), "--tls-cert", cert, "--tls-key", key]) as host:
            wait_until(lambda: "(web) at https://127.0.0.1:%d/" % port in host.output(), "the https start-up line")
            context = ssl.create_default_context(cafile=cert)
            with urllib.request.urlopen("https://127.0.0.1:%d/" % port, context=context, timeout=10) as page:
                check(page.status == 200 and b"terminal.js" in page.read(), "no page over https")
            with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:  # plain HTTP: no page
                raw.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                got = b"".join(iter(lambda: raw.recv(4096), b""))
                check(b"<html" not in got and b"HTTP/1.1" not in got, "plain HTTP got an answer: %r" % got)
            host.wait_log("TLS handshake failed", "the failed handshake in the log")
            alice = host.keep(WebClient(port, origin="https://127.0.0.1:%d" % port, tls=context))
            check(alice.accepted, "the wss upgrade was refused:\n%s" % alice.handshake)
            alice.login("Alice")
            alice.served("Alice over wss")
        spare = str(free_port())
        for tls, status, said in [  # what cannot be loaded stops the start, naming the file and why
                (["--http-port", spare, "--tls-cert", cert], 2, "--tls-cert requires --tls-key"),
                (["--tls-cert", cert, "--tls-key", key], 2, "--tls-cert requires --http-port"),
                (["--http-port", spare, "--tls-cert", folder + "/none.pem", "--tls-key", key], 1, "none.pem: cannot be read"),
                (["--http-port", spare, "--tls-cert", key, "--tls-key", key], 1, "ours.key: holds no PEM CERTIFICATE"),
                (["--http-port", spare, "--tls-cert", cert, "--tls-key", other_key], 1, "key values mismatch")]:
            serve_expecting_failure(folder + "/data", *tls, status=status, says=[said])


class TlsHost(WaysHost):
    """Telnet inside TLS on a port of its own beside the others, the web terminal HTTPS, one certificate."""

    def __init__(self, cert, key, options=(), **kwargs):
        super().__init__(options=["--tls-cert", cert, "--tls-key", key] + list(options), **kwargs)

    def more_listeners(self):
        self.tls_port = free_port()
        return super().more_listeners() + ["--tls-port", str(self.tls_port)]

    def more_listening(self):
        return super().more_listening() + ["listening on 127.0.0.1:%d (telnets)" % self.tls_port]

    def tls(self, cafile, **kwargs):
        return self.keep(RawClient(self.tls_port, tls=ssl.create_default_context(cafile=cafile), **kwargs))


def served_certificate(port):
    """The certificate (DER) a new TLS connection to the port is shown."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    with context.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=EXPECT_TIMEOUT)) as sock:
        return sock.getpeercert(binary_form=True)


@suite.case
def telnet_inside_tls_is_all_of_telnet_and_sighup_serves_a_renewed_certificate_to_new_connections():
    with scratch("bbshost-e2e-telnets-") as folder:
        (first, first_key), (renewed, renewed_key) = self_signed(folder, "first"), self_signed(folder, "renewed")
        cert, key = os.path.join(folder, "served.crt"), os.path.join(folder, "served.key")
        shutil.copy(first, cert)
        shutil.copy(first_key, key)
        with TlsHost(cert, key) as host:
            alice = host.keep(Mudlet(host.tls_port, tls=ssl.create_default_context(cafile=first)))
            check("alice" not in alice.login("Alice"), "the password came back")
            check({(DO, NAWS), (DO, TTYPE), (WILL, ECHO), (WONT, ECHO), (WILL, EOR), (WILL, MSSP), (WILL, GMCP)}
                  <= set(alice.commands), "the negotiation inside TLS: %r" % alice.commands)
            check(re.search(r"logon of Alice at channel \d+ from 127\.0\.0\.1:\d+ by telnets\n", host.log_text()),
                  "the logon by telnets is not in the host log")
            alice.enter_plus()
            alice.buy_life()
            alice.read_for(0.3)
            equal(host.lives("Alia"), 4, "the game's lives after Alice bought one over TLS")
            equal([s["lives"] for s in alice.gmcp_got("Char.Status")], [3, 4], "GMCP's lives before and after")
            check({kind for kind, _ in alice.marks} == {"EOR"}, "prompt marks: %r" % alice.marks)
            holds(host.log_text(), "telnets client 127.0.0.1:%d is a MUD client (MUDLET): served in line mode"
                  % alice.sock.getsockname()[1])
            who = plain(host.login("Sysop").type("who", GAME_PROMPT))   # over plain telnet
            check(re.search(r"\n  Alice {25}telnets 127\.0\.0\.1:%d " % alice.sock.getsockname()[1], who) and
                  re.search(r"\n  Sysop {25}telnet  127\.0\.0\.1:\d+ ", who), "the ways in who:\n" + who)
            for client, port in ((host.raw(agree={MSSP}), host.port), (host.tls(first, agree={MSSP}), host.tls_port)):
                table = dict(mssp_of(client))
                equal((table["PORT"], table["SSL"]), (str(port), str(host.tls_port)), "MSSP's PORT and SSL at %d" % port)

            # Renewed: new connections on both TLS ports see the new certificate, Alice goes on in her session.
            for new, into in ((renewed_key, key), (renewed, cert)):
                shutil.copy(new, into)
            holds(host.reload()[0], "TLS certificate reloaded from %s\n" % cert)
            for port in (host.tls_port, host.http_port):
                equal(served_certificate(port), ssl.PEM_cert_to_DER_cert(read(renewed)), "the certificate at %d" % port)
            alice.steps(("x", GAME_PROMPT), ("stats", GAME_PROMPT, "Lives: 4"))
            # What cannot be loaded is logged, and the renewed certificate is still served.
            for into, text, says in ((key, read(first_key), "TLS key %s: key values mismatch" % key),
                                     (cert, "no certificate\n", "TLS certificate %s: holds no PEM CERTIFICATE" % cert)):
                write_atomically(into, text)
                holds(host.reload()[0], "TLS certificate kept as it was: " + says, "!TLS certificate reloaded")
                for port in (host.tls_port, host.http_port):
                    equal(served_certificate(port), ssl.PEM_cert_to_DER_cert(read(renewed)), "after: " + says)
            host.tls(renewed).logged_on("Bob").served("Bob over TLS with the renewed certificate")
            alice.served("Alice")
            check(not alice.eof, "Alice's connection ended")
        spare = str(free_port())
        for tls, said in [(["--tls-port", spare], "--tls-port requires --tls-cert"),
                          (["--tls-cert", cert, "--tls-key", key], "--tls-cert requires --http-port or --tls-port")]:
            serve_expecting_failure(folder + "/data", *tls, status=2, says=[said])


@suite.case
def stalled_and_garbage_tls_handshakes_cost_only_their_own_place_at_the_logon():
    with scratch("bbshost-e2e-telnets-") as folder:
        cert, key = self_signed(folder, "ours")
        logon_time = 10
        with TlsHost(cert, key, options=["--logon-time", str(logon_time)]) as host:
            stalled = [socket.create_connection(("127.0.0.1", host.tls_port), timeout=EXPECT_TIMEOUT) for _ in range(9)]
            ended_by = time.monotonic() + logon_time + 3
            try:
                garbage = socket.create_connection(("127.0.0.1", host.tls_port), timeout=EXPECT_TIMEOUT)
                stalled.append(garbage)
                garbage.sendall(b"GET / HTTP/1.0\r\n\r\n")
                check(closed_by_host(garbage), "the garbage handshake was not closed")
                host.wait_log("telnets client 127.0.0.1:%d: TLS handshake failed: " % garbage.getsockname()[1],
                              "the failed handshake in the log")
                bob = host.tls(cert, source="127.0.0.3").logged_on("Bob")   # served while the others stall
                host.raw().read_until("User-ID: ")   # the tenth place of 127.0.0.1 is free: nine stall
                holds(host.tls(cert).read_until("later."), "Too many connections from your address")   # read in TLS
                for n, sock in enumerate(stalled):   # at the logon time, not a flush time after it
                    check(closed_by_host(sock, max(0.1, ended_by - time.monotonic())),
                          "stalled TLS client %d was not closed within the logon time" % n)
                bob.served("Bob")
                host.admin_ok("ban", "add", "127.0.0.5", "--reason", "guessing")   # refused before any handshake
                check(not granted(lambda: host.tls(cert, source="127.0.0.5"), OSError), "a banned address got TLS")
                holds(host.log_text(), "connection from 127.0.0.5:", "refused: banned (guessing)")
            finally:
                for sock in stalled:
                    sock.close()


SCREEN = """const t = window.terminal, b = t ? t._core.buffer : null, rows = [];
    for (let y = 0; b && y < t.rows; y++) rows.push(b.translateBufferLineToString(b.ydisp + y, true));
    return rows.join('\\n');"""


@suite.case
def a_browser_logs_on_and_edits_a_description():
    try:
        from selenium import webdriver
        from selenium.common.exceptions import WebDriverException
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
    except ImportError:
        raise Failure("no selenium for %s: scripts/bootstrap installs python3-selenium" % sys.executable)
    profile = tempfile.mkdtemp(prefix="bbshost-e2e-chromium-")
    options = webdriver.ChromeOptions()
    for flag in ("headless", "no-sandbox", "disable-gpu", "disable-quic", "no-first-run", "disable-background-networking",
                 "disable-component-update", "disable-sync", "window-size=1200,900", "user-data-dir=" + profile):
        options.add_argument("--" + flag)
    try:
        driver = webdriver.Chrome(options=options)
    except WebDriverException as e:
        shutil.rmtree(profile, ignore_errors=True)
        print("NOTE web.a_browser_logs_on_and_edits_a_description: skipped, Chromium cannot start here: %s"
              % str(e).splitlines()[0])
        return
    shots = os.path.join(tempfile.gettempdir(), "bbshost-e2e-web")
    os.makedirs(shots, exist_ok=True)
    screen = ""

    def shown(text):  # xterm.js's screen (its rows lose their trailing blanks), once it shows `text`
        nonlocal screen
        for _ in range(200):
            screen = driver.execute_script(SCREEN)
            if text.rstrip() in screen:
                return
            time.sleep(0.1)
        raise Failure("the terminal never showed %r" % text)

    try:
        with WaysHost() as host:
            driver.get("http://127.0.0.1:%d/" % host.http_port)
            keys = driver.find_element(By.CSS_SELECTOR, ".xterm-helper-textarea")
            for text, typed in [("User-ID: ", "Alice\n"), ("Password: ", "alice\n"), (GAME_PROMPT, "ext\n"),
                                ("Extension: ", "*\n"), ("Buy an extra life", "d\n"), (CHOICE, "d\n"),
                                ("continue? ", "yes\n"), ("Ctrl-Z save", "Written in Chromium")]:
                shown(text)
                keys.send_keys(typed)
            shown("Written in Chromium")
            check("Password" not in screen and "Ctrl-Z save" in screen, "not the editor's screen")
            keys.send_keys(Keys.CONTROL, "z")
            shown("Your character description:")
            check("Written in Chromium" in screen, "the saved text is not shown")
            check(driver.save_screenshot(os.path.join(shots, "editor-saved.png")), "no screenshot")
            print("NOTE web.a_browser_logs_on_and_edits_a_description: screenshot in %s" % shots)
    except Exception:
        driver.save_screenshot(os.path.join(shots, "failed.png"))
        print("screenshot of the failure in %s; the screen:\n%s" % (shots, screen))
        raise
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    suite.main()
