#!/usr/bin/python3
"""Who gets in at all: bans on every port, locked accounts by every way in, logon places a flood of silent
connections cannot hold, and log lines a client cannot inflate."""

import select

import paramiko

from e2e_support import *  # noqa: F401,F403 (the standard modules too)
from test_ways import WaysHost, WebClient, SshClient, ssh_logon, openssh

suite = Suite("access")
LOCKED = "This account is locked. Please ask the sysop."


class WaysHostV6(WaysHost):
    address = "::1"

    def more_listening(self):
        return ["listening on ::1:%d (ssh)" % self.ssh_port, "listening on ::1:%d (web)" % self.http_port]


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def connected(address, port, source):
    sock = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET)
    sock.bind((source, 0))
    sock.settimeout(EXPECT_TIMEOUT)
    sock.connect((address, port))
    return sock


def first_bytes(address, port, source, hello):
    """What the host sends a connection from `source` that says `hello`: b"" when it is closed unanswered."""
    with connected(address, port, source) as sock:
        try:
            sock.sendall(hello)
            return sock.recv(4096)
        except (ConnectionResetError, BrokenPipeError):
            return b""


def answers(host, source):
    """The first bytes of each port's answer to a connection from `source`."""
    named = "[%s]" % host.address if ":" in host.address else host.address
    web_get = ("GET / HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (named, host.http_port)).encode()
    return {way: first_bytes(host.address, port, source, hello)
            for way, port, hello in (("telnet", host.port, b""), ("ssh", host.ssh_port, b"SSH-2.0-probe\r\n"),
                                     ("web", host.http_port, web_get))}


def bans_hold_on_every_port(host, sources, networks):
    for network in networks:
        host.admin_ok("ban", "add", network, "--reason", "guessing")
    for source in sources:   # while the host runs: no restart, no signal
        got = answers(host, source)
        check(all(said == b"" for said in got.values()), "banned %s was answered: %r" % (source, got))
    for network in networks:
        host.admin_ok("ban", "remove", network)
    for source in sources:
        got = answers(host, source)
        check(got["telnet"] and got["ssh"].startswith(b"SSH-2.0-") and got["web"].startswith(b"HTTP/1.1 200"),
              "%s was not let in after the bans went: %r" % (source, got))
    check("refused: banned (guessing)" in host.log_text(), "the refusals are not in the log")


@suite.case
def bans_by_address_and_network_refuse_every_port_at_connect_until_removed():
    with WaysHost() as host:
        bans_hold_on_every_port(host, ["127.0.0.5", "127.0.8.9"], ["127.0.0.5", "127.0.8.0/24"])
        host.raw_user("Alice", source="127.0.8.9").served("Alice after her network's ban went")
        ssh = SshClient(host.ssh_port, "Bob", sock=connected("127.0.0.1", host.ssh_port, "127.0.0.5"))
        host.keep(ssh).read_until(GAME_PROMPT)
    if not has_ipv6_loopback():
        print("SKIP IPv6 bans: the machine has no ::1")
        return
    with WaysHostV6(options=["--bind", "::1"], bind=False) as host:
        bans_hold_on_every_port(host, ["::1"], ["::1", "::/64"])
        host.raw_user("Carol", source="::1").served("Carol over IPv6")


@suite.case
def a_locked_account_is_put_off_and_gets_in_by_no_way_until_unlocked():
    with WaysHost() as host, tempfile.TemporaryDirectory() as keys:
        key = os.path.join(keys, "alice")
        run_ok(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key])
        host.admin_ok("key", "add", "Alice", "--file", key + ".pub")
        by_telnet = host.raw_user("ALICE", "alice", source="127.0.9.1")   # the user-ID as he typed it
        by_ssh = host.ssh("Bob")
        by_ssh.read_until(GAME_PROMPT)
        host.admin_ok("user", "lock", "alice", "--reason", "unpaid dues")
        host.admin_ok("user", "lock", "Bob")
        for who, session in (("Alice", by_telnet), ("Bob", by_ssh)):
            holds(session.read_until(LOCKED), "")
            check(session.wait_closed(), "%s's session stayed open after the lock" % who)
        holds(host.log_text(), "user Alice at channel", "logged off: " + LOCKED + " (unpaid dues)")

        c = host.raw(source="127.0.9.2")
        out = c.login("Alice", until=LOCKED)
        check(c.wait_closed() and GAME_PROMPT not in out, "telnet let locked Alice on: %r" % out)
        web = host.keep(WebClient(host.http_port, source="127.0.9.3"))
        web.read_until("User-ID: ")
        web.steps(("Alice", "Password: "), ("alice", LOCKED))
        check(not ssh_logon(host.ssh_port, "password", "Alice", "alice"), "SSH let locked Alice on by password")
        status, err = openssh(host.ssh_port, "Alice", key)
        check(status == 255, "OpenSSH with Alice's key: %s %r" % (status, err))
        check(host.log_text().count('logon as "Alice" from 127.0.0.1 by ssh refused: ' + LOCKED) == 2,
              "the SSH refusals of locked Alice are not in the log")
        check(host.attempt("Alice", "not hers", source="127.0.9.5") == "Invalid login.",
              "a wrong password learnt that the account is locked")

        host.admin_ok("user", "unlock", "Alice")
        for n in range(4):   # strangers spend Alice's user-ID: her key still lets her in
            check(host.attempt("Alice", source="127.0.10.%d" % n) == "Invalid login.", "stranger %d was not tried" % n)
        check(host.attempt("Alice", source="127.0.10.9") == USERID_REFUSED, "Alice's user-ID is not spent")
        alice = openssh(host.ssh_port, "Alice", key, "shell")
        try:
            alice.expect_exact(GAME_PROMPT)
            alice.sendline("quit")
            alice.expect(pexpect.EOF)
        finally:
            alice.close(force=True)
        host.raw_user("Alice", source="127.0.9.1").served("Alice once unlocked, where she logged on before")


def silent_flood(address, port, sources, per_source, until, made):
    """Holds per_source silent connections from each source open, reconnecting as the host ends them."""
    open_ = {}
    try:
        while time.monotonic() < until:
            held = [s for s in open_.values()]
            for source in sources:
                for _ in range(per_source - sum(1 for s in held if s == source)):
                    sock = socket.socket()
                    sock.setblocking(False)
                    sock.bind((source, 0))
                    sock.connect_ex((address, port))
                    open_[sock] = source
                    made.append(source)
            readable, _, _ = select.select(list(open_), [], [], 0.25)
            for sock in readable:
                try:
                    if sock.recv(4096):
                        continue   # the host's version line: still open
                except BlockingIOError:
                    continue
                except OSError:
                    pass
                sock.close()
                del open_[sock]
            time.sleep(0.1)
    finally:
        for sock in open_:
            sock.close()


@suite.case
def silent_ssh_connections_from_a_dozen_addresses_cannot_keep_a_new_user_out():
    with WaysHost() as host:
        quiet = [host.raw(source="127.0.0.201"), host.keep(WebClient(host.http_port, source="127.0.0.202"))]
        for c in quiet:   # at the prompt, and then silent: cut off after 30 s, while the flood goes on
            c.read_until("User-ID: ")
        made = []
        start = time.monotonic()
        flood = threading.Thread(target=silent_flood,
                                 args=("127.0.0.1", host.ssh_port, ["127.0.0.%d" % (10 + n) for n in range(12)], 10,
                                       start + 60, made))
        flood.start()
        try:
            # Carol comes once the flood holds the places: the host turns connections away.
            host.wait_log("refused: Too many connections", "the flood to fill the logon places")
            on_after = None
            while on_after is None and time.monotonic() - start < 20:
                try:
                    carol = SshClient(host.ssh_port, "Carol", sock=connected("127.0.0.1", host.ssh_port, "127.0.0.200"))
                    host.keep(carol).read_until(GAME_PROMPT)
                    on_after = time.monotonic() - start
                except (paramiko.SSHException, EOFError, OSError, Closed):
                    time.sleep(0.5)
            check(on_after is not None, "Carol did not get on within 20 s of the flood's start")
            carol.served("Carol during the flood")
            for c in quiet:
                c.read_until("Logon timed out.", timeout=40)
                check(c.wait_closed(), "a silent connection at the User-ID prompt stayed open")
            holds(host.raw(source="127.0.0.201").read_until("seconds."), "ended without a logon. Please try again in")
        finally:
            flood.join(90)
        check(len(made) > 240, "the flood did not reconnect: %d connections" % len(made))
        log = host.log_text()
        holds(log, "no SSH version line within 5 seconds", "ended without a logon", "nothing typed within 30 seconds")
        check(len(log) < 100000, "%d flood connections wrote %d bytes of host log" % (len(made), len(log)))
        print("Carol logged on %.1f s after the flood began; %d flood connections; a host log of %d bytes" %
              (on_after, len(made), len(log)))


@suite.case
def a_ten_kilobyte_ssh_user_name_leaves_no_long_log_line():
    with WaysHost() as host:
        for name in ("n" * 10000, "\x1b[31m" * 2000):
            for how in ("password", "interactive"):
                check(not ssh_logon(host.ssh_port, how, name, "wrong"), "a %d-byte user name got in" % len(name))
        lines = host.log_text().splitlines()
        longest = max(len(line.encode()) for line in lines)
        check(longest < 1024, "a log line of %d bytes" % longest)
        holds("\n".join(lines), "(10000 bytes)", "(10000 bytes)")


if __name__ == "__main__":
    suite.main()
