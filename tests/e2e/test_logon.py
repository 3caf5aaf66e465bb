#!/usr/bin/python3
"""Logon dialogue, the telnet protocol on the wire, and the game commands a
user reaches right after logon."""

import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import BbsHost, Failure, Suite, check, plain, wait_until  # noqa: E402

IAC, DONT, DO, WONT, WILL, SB, SE, NOP = 255, 254, 253, 252, 251, 250, 240, 241
ECHO, NAWS = 1, 31

suite = Suite("logon")


@suite.case
def wrong_password_asks_again_and_three_failures_close():
    with BbsHost() as host:
        c = host.connect()
        banner = c.expect("User-ID: ")
        check("Welcome to the Brakvold BBS" in banner, "no banner before the first prompt: %r" % banner)
        for attempt in range(1, 4):
            c.send("Alice")
            c.expect("Password: ")
            c.send("not-her-password")
            c.expect("Invalid login.")
            if attempt < 3:
                c.expect("User-ID: ")
        rest = c.expect_closed()
        check("User-ID: " not in rest, "asked for a user-ID again after the third failure: %r" % rest)
        # An unknown user-ID is refused the same way, and the host still serves.
        d = host.connect()
        d.expect("User-ID: ")
        d.send("Nobody")
        d.expect("Password: ")
        d.send("x")
        d.expect("Invalid login.")
        d.expect("User-ID: ")
        d.send("Alice")
        d.expect("Password: ")
        d.send("alice")
        d.expect("[Brakvold Alia]: ")


@suite.case
def password_is_not_echoed_but_everything_else_is():
    with BbsHost() as host:
        c = host.connect()
        c.expect("User-ID: ")
        c.send("Carol")
        echoed = c.expect("Password: ")
        check("Carol" in echoed, "the user-ID was not echoed: %r" % echoed)
        c.send("carol")
        after = c.expect("[Brakvold Cara]: ")
        check("carol" not in after, "the password was echoed: %r" % after)
        # Echo is back after the password.
        out = c.type("xyzzy", "]: ")
        check("xyzzy" in out and "Unknown command." in out, "echo not restored after logon: %r" % out)


@suite.case
def the_same_user_cannot_log_on_twice():
    with BbsHost() as host:
        host.login("Bob", "bob")
        c = host.connect()
        c.expect("User-ID: ")
        c.send("bob")
        c.expect("Password: ")
        c.send("bob")
        c.expect("That user is already online.")
        c.expect("User-ID: ")


@suite.case
def who_stats_mail_and_quit():
    with BbsHost() as host:
        alice = host.login("Alice", "alice")
        bob = host.login("Bob", "bob")
        who = plain(bob.type("who", "]: "))
        check("Alice" in who and "Alia" in who and "Bob" in who and "Bobo" in who,
              "who does not list both users: %r" % who)
        stats = plain(alice.type("STATS", "]: "))
        for text in ("Copper: 12000", "Lives: 3", "Time played: 18000"):
            check(text in stats, "stats lacks %r: %r" % (text, stats))
        mail = plain(alice.type("mail", "]: "))
        check("You have no mail." in mail, "a fresh user has mail: %r" % mail)
        alice.send("quit")
        alice.expect("Farewell.")
        alice.expect_closed()

        def alice_gone():
            return "Alia" not in plain(bob.type("who", "]: "))
        wait_until(alice_gone, "Alice to leave the who list")
        # Her channel is free again: she can log on anew.
        again = host.login("Alice", "alice")
        check("Welcome to Brakvold, Alia!" in plain(again.seen), "no welcome on the second logon")


def read_until(sock, marker, limit=200):
    """Raw bytes from the socket up to and including `marker`."""
    data = b""
    for _ in range(limit):
        if marker in data:
            return data
        chunk = sock.recv(4096)
        if not chunk:
            raise Failure("connection closed while waiting for %r; got %r" % (marker, data))
        data += chunk
    raise Failure("no %r after %d reads; got %r" % (marker, limit, data))


def strip_telnet(data):
    """The data bytes of a server stream, and the commands found in it."""
    out, commands, i = bytearray(), [], 0
    while i < len(data):
        b = data[i]
        if b != IAC:
            out.append(b)
            i += 1
        elif data[i + 1] == IAC:
            out.append(IAC)
            i += 2
        elif data[i + 1] in (WILL, WONT, DO, DONT):
            commands.append((data[i + 1], data[i + 2]))
            i += 3
        elif data[i + 1] == SB:
            end = data.index(bytes([IAC, SE]), i)
            i = end + 2
        else:
            commands.append((data[i + 1], None))
            i += 2
    return bytes(out), commands


@suite.case
def telnet_protocol_on_the_wire():
    with BbsHost() as host:
        with socket.create_connection(("127.0.0.1", host.port), timeout=10) as s:
            first, commands = strip_telnet(read_until(s, b"User-ID: "))
            check((DO, NAWS) in commands, "the host does not ask for the window size: %r" % commands)
            # The client agrees to NAWS and sends its size, then the user-ID.
            s.sendall(bytes([IAC, WILL, NAWS, IAC, SB, NAWS, 0, 100, 0, 40, IAC, SE]) + b"Alice\r\n")
            data, commands = strip_telnet(read_until(s, b"Password: "))
            check((WILL, ECHO) in commands, "echo is not turned off for the password: %r" % commands)
            s.sendall(bytes([IAC, DO, ECHO]) + b"alice\r\n")
            raw = read_until(s, b"]: ")
            data, commands = strip_telnet(raw)
            check((WONT, ECHO) in commands, "echo is not turned back on after the password: %r" % commands)
            # A command broken by telnet commands still arrives as the plain line.
            s.sendall(b"wh" + bytes([IAC, NOP]) + b"o" + bytes([IAC, WILL, 24]) + b"\r\n")
            who, _ = strip_telnet(read_until(s, b"]: "))
            check(b"In Brakvold now:" in who and b"Alia" in who, "who was not understood: %r" % who)
            # Every line break on the wire is CR LF: the game sends bare CRs.
            s.sendall(b"stats\r\n")
            stats, _ = strip_telnet(read_until(s, b"]: "))
            for text in (first, who, stats):
                body = text.replace(b"\r\n", b"")
                check(b"\r" not in body and b"\n" not in body, "a bare CR or LF on the wire: %r" % text)
            check(b"Copper: 12000\r\nLives: 3\r\n" in stats, "stats lines not ended by CR LF: %r" % stats)
            # A line ended by CR NUL, as some clients send it, works too.
            s.sendall(b"who\r\x00")
            who2, _ = strip_telnet(read_until(s, b"]: "))
            check(b"In Brakvold now:" in who2, "a line ended by CR NUL was not understood: %r" % who2)


if __name__ == "__main__":
    sys.exit(suite.run())
