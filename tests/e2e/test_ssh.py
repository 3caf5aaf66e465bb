#!/usr/bin/env python3
"""SSH as a way into bbshost: the real program on loopback, driven by
paramiko. The SSH layer lets anyone in ("none"); the session's own logon
dialogue asks for the user-ID and password, as over telnet, and counts
wrong passwords in the same logon throttle."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import GAME_PROMPT, Suite, check, plain, run_admin  # noqa: E402
from ways_support import Closed, WaysHost  # noqa: E402

suite = Suite("ssh")

USERID_REFUSED = "Too many failed logons for this user-ID."


def banner_lines(text):
    return [line.strip() for line in plain(text).split("\n") if line.strip()]


@suite.case
def a_user_logs_on_and_plays_as_over_telnet():
    with WaysHost() as host:
        telnet = host.raw()
        telnet_banner = banner_lines(telnet.read_until("User-ID: "))
        telnet.close()
        alice = host.ssh("alice", width=100, height=30)
        ssh_banner = banner_lines(alice.read_until("User-ID: "))
        check(telnet_banner and ssh_banner == telnet_banner,
              "the banners differ:\ntelnet %r\nssh    %r" % (telnet_banner, ssh_banner))
        alice.send("Alice")
        out = alice.read_until("Password: ")
        check("Alice" in out, "the host does not echo what is typed: %r" % out)
        alice.send("alice")
        out = alice.read_until(GAME_PROMPT)
        check("alice" not in out.split("Password: ")[-1], "the password was echoed: %r" % out)
        menu = plain(alice.enter_plus())
        check("Brakvold Plus" in menu and "Buy an extra life" in menu, "not the Plus menu: %r" % menu)
        # The host key the client saw is the one the admin command names,
        # and the one the host log named at start.
        status, out, err = run_admin(host.data, "fingerprint")
        check(status == 0 and alice.host_key_fingerprint() in out,
              "fingerprint %r, the client saw %s" % (out + err, alice.host_key_fingerprint()))
        check(alice.host_key_fingerprint() in host.log_text(), "the host log does not name the host key")
        check(oct(os.stat(os.path.join(host.data, "ssh_host_ed25519_key")).st_mode & 0o777) == "0o600",
              "the host key file is not the owner's alone")
        check("Alice" in host.log_text(), "the logon is not in the host log")


@suite.case
def wrong_passwords_over_ssh_and_telnet_share_one_throttle():
    with WaysHost() as host:
        # Five guesses at one user-ID are allowed, whatever way they come.
        for n, way in enumerate(("ssh", "telnet", "ssh", "telnet", "ssh")):
            client = host.ssh() if way == "ssh" else host.raw()
            client.read_until("User-ID: ")
            client.send("Alice")
            client.read_until("Password: ")
            client.send("wrong%d" % n)
            client.read_until("Invalid login.")
            client.close()
        for way in ("ssh", "telnet"):
            client = host.ssh() if way == "ssh" else host.raw()
            client.read_until("User-ID: ")
            client.send("Alice")
            out = client.read_until("minutes.")
            check(USERID_REFUSED in out and "Password" not in out, "%s: no refusal: %r" % (way, out))
            client.close()
        # Other user-IDs are served.
        bob = host.ssh()
        bob.login("Bob")
        bob.served("Bob")


@suite.case
def exec_subsystems_forwarding_and_second_channels_are_refused():
    import socket

    import paramiko
    with WaysHost() as host:
        # Each on an SSH connection of its own, logged on and without a shell.
        refusals = {
            "exec": lambda t: t.open_session(timeout=10).exec_command("cat /etc/passwd"),
            "subsystem sftp": lambda t: t.open_session(timeout=10).invoke_subsystem("sftp"),
            "direct-tcpip": lambda t: t.open_channel("direct-tcpip", ("127.0.0.1", host.port),
                                                     ("127.0.0.1", 1), timeout=10),
            "x11 channel": lambda t: t.open_x11_channel(("127.0.0.1", 6000)),
        }
        for name, attempt in refusals.items():
            sock = socket.create_connection(("127.0.0.1", host.ssh_port), timeout=10)
            transport = paramiko.Transport(sock)
            try:
                transport.start_client(timeout=10)
                transport.auth_none("mallory")
                try:
                    attempt(transport)
                except (paramiko.SSHException, EOFError):
                    pass
                else:
                    raise AssertionError("%s was not refused" % name)
            finally:
                transport.close()
                sock.close()
        # A second session beside a shell is refused; the shell goes on.
        client = host.ssh()
        try:
            client.transport.open_session(timeout=10)
        except paramiko.SSHException:
            pass
        else:
            raise AssertionError("a second session channel was accepted")
        client.login("Alice")
        client.served("Alice")


@suite.case
def the_pty_and_its_window_changes_size_the_pages():
    with WaysHost() as host:
        status, _, err = host.admin("db", "fill", "R", "--count", "300", "--tag", "QRTBKPLS_REG")
        check(status == 0, "db fill failed: %r" % err)
        carol = host.ssh(width=80, height=12)
        carol.login("Carol")
        carol.type("ext", "Extension: ")
        carol.type("*", "choice:")
        carol.type("r", "choice:")
        carol.type("s", "(enter='a'):")
        carol.send("r")
        first = carol.read_until("-- More --")
        rows = first.split("\r\n")[1:]  # after the echo of her line
        check(len(rows) == 12 and rows[-1].endswith("-- More --"), "a page of a 12-row pty: %r" % rows)
        # The window grows: the next page fills it.
        carol.resize(80, 30)
        carol._send_bytes(b" ")
        second = carol.read_until("-- More --")
        check(second.count("R00") > 20, "the next page did not fill 30 rows: %r" % second)


@suite.case
def host_stops_with_ssh_users_on():
    with WaysHost() as host:
        alice = host.ssh()
        alice.login("Alice")
        check(host.stop() == 0, "the host did not stop cleanly")
        check(alice.wait_closed(), "the SSH session outlived the host")


if __name__ == "__main__":
    suite.main()
