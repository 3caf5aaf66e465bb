#!/usr/bin/python3
"""SSH into bbshost (paramiko, OpenSSH): logons, keys, the shared throttle, refused requests."""

import logging
import os
import stat
import sys

import paramiko
from paramiko.message import Message

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import *  # noqa: E402,F401,F403
from ways_support import WaysHost, ssh_logon, ssh_transport  # noqa: E402

try:
    import pyte  # the screen check needs it (scripts/bootstrap installs python3-pyte)
except ImportError:
    pyte = None

suite = Suite("ssh")
logging.getLogger("paramiko").setLevel(logging.CRITICAL)
DESCRIPTION = "A tall elf in a green cloak."


@suite.case
def a_user_buys_and_writes_a_description_over_ssh_and_the_sysop_approves_it():
    with WaysHost() as host:
        alice = host.ssh("Alice", width=80, height=24)
        out = plain(alice.read_until(GAME_PROMPT))
        check("User-ID" not in out and "Password" not in out, "asked to log on again: %r" % out)
        check(re.search(r"logon of Alice at channel \d+ from 127\.0\.0\.1:\d+ by ssh", host.log_text()) and
              "logged on as Alice by password" in host.log_text(), "the logon is not in the host log")
        alice.steps(("ext", "Extension: "), ("*", CHOICE, "Buy an extra life"), ("d", CHOICE),
                    ("d", "Do you wish to continue? "), ("yes", "\x1b[2J"))  # the full-screen editor
        alice._send_bytes(DESCRIPTION.encode() + b"\x0c")  # and Ctrl-L redraws it whole
        alice.read_until(DESCRIPTION)
        if pyte is not None:
            screen = pyte.Screen(80, 24)
            pyte.Stream(screen).feed(alice.seen)
            check(screen.display[0].rstrip() == DESCRIPTION and "Ctrl-Z save" in screen.display[23],
                  "the editor's screen: %r" % screen.display)
        alice._send_bytes(b"\x1a")  # Ctrl-Z saves
        saved = plain(alice.read_until(CHOICE))
        check(DESCRIPTION in saved and "waits for a sysop's approval" in saved, "not saved: %r" % saved)
        alice.steps(("x", CHOICE), ("x", GAME_PROMPT))
        host.login("Sysop", plus=True).steps(  # over telnet
            ("s", CHOICE), ("a", "Approve which user's description? "), ("Alice", CHOICE, "Done."))
        alice.steps(("look Alia", GAME_PROMPT, DESCRIPTION))

        status, out, _ = host.admin("fingerprint")
        seen = alice.host_key_fingerprint()
        check(status == 0 and seen in out and seen in host.log_text(), "fingerprint %r, the client saw %s" % (out, seen))
        check(stat.S_IMODE(os.stat(os.path.join(host.data, "ssh_host_ed25519_key")).st_mode) == 0o600,
              "the host key file is not the owner's alone")
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
        for user in ("Alice", "Nobody", "Bob"):
            check('failed logon as "%s" from 127.0.0.1 by ssh' % user in host.log_text(), "no failed logon of " + user)
        with ssh_transport(host.ssh_port) as transport:
            try:
                transport.auth_none("Alice")
                raise AssertionError("the none method was accepted")
            except paramiko.BadAuthenticationType as e:
                check(sorted(e.allowed_types) == ["keyboard-interactive", "password", "publickey"],
                      "offered %r" % e.allowed_types)
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
        check("That user is already online." in again.read_until("online."), "no refusal")
        check(again.wait_closed(), "the second logon of the Sysop stayed open")
        check("You have no character" in telnet.type("stats", GAME_PROMPT), "the Sysop was not served")


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
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", user + "@home", "-f", key[user]],
                           check=True, timeout=60)
        status, err = openssh(host.ssh_port, "Alice", key["Alice"])
        check(status == 255 and "Permission denied" in err, "a key not yet registered: %s %r" % (status, err))

        fingerprint = subprocess.run(["ssh-keygen", "-l", "-f", key["Alice"] + ".pub"], capture_output=True,
                                     text=True, check=True).stdout.split()[1]
        host.shows((("key", "add", "alice", "--file", key["Alice"] + ".pub"),
                    "added key 1 of user Alice: ssh-ed25519 " + fingerprint))
        host.admin_ok("key", "add", "Bob", "--file", key["Bob"] + ".pub")
        listed = host.admin_ok("key", "list", "Alice").split("\t")
        check(listed[:4] == ["1", "ssh-ed25519", fingerprint, "Alice@home"], "key list: %r" % listed)

        alice = openssh(host.ssh_port, "Alice", key["Alice"], "shell")
        try:
            alice.expect_exact(GAME_PROMPT)
            check("logged on as Alice by publickey ssh-ed25519 " + fingerprint in host.log_text(),
                  "the key logon is not in the host log")
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
        ("second session", second_session, "refused a second session channel"),
    ]
    with WaysHost() as host:
        for what, asks, logged in cases:
            transport = ssh_transport(host.ssh_port)
            try:
                transport.auth_password("Alice", "alice")
                check(asks(transport) is False, "%s: granted" % what)
                check(transport.is_active(), "%s: the host dropped the connection instead of refusing" % what)
            finally:
                transport.close()
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
        client._send_bytes(b"help\r" * 6000)
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


def closed_by_host(sock):
    sock.settimeout(EXPECT_TIMEOUT)
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
            refused = host.raw()
            check("Too many connections from your address" in refused.read_until("later."), "telnet let in")
            check(not granted(lambda: ssh_transport(host.ssh_port), (paramiko.SSHException, EOFError, OSError)),
                  "an eleventh connection at the logon was let in by SSH")
            alice.served("Alice")
            for n, sock in enumerate(socks):
                check(closed_by_host(sock), "SSH client %d was not closed" % n)
            wait_until(lambda: not idle.is_active(), "the client without a shell to be closed")
            wait_until(lambda: host.log_text().count("closed: logon time limit reached") == len(socks) + 1,
                       "every SSH client that did not log on to be closed")
            telnet = host.raw()
            check("Logon timed out." in telnet.read_until("Logon timed out."), "telnet was not timed out")
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
        status, _, err = serve_expecting_failure(first.data, "--ssh-port", str(free_port()))
        check(status == 1 and key_file in err and "0644" in err,
              "a key others may read was used: %s %r" % (status, err))


if __name__ == "__main__":
    suite.main()
