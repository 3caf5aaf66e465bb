#!/usr/bin/python3
"""Logon dialogue, the telnet protocol on the wire, and the game commands a
user reaches right after logon."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import BbsHost, Suite, check, plain, wait_until  # noqa: E402
from raw_telnet import DO, IAC, SB, SE, WILL, WONT  # noqa: E402

NOP = 241
ECHO, NAWS = 1, 31

suite = Suite("logon")


def attempt(client, userid, password, answer):
    """At the User-ID prompt: a user-ID and a password, and the host's answer."""
    client.send(userid)
    client.expect("Password: ")
    client.send(password)
    return client.expect(answer)


@suite.case
def wrong_password_asks_again_and_three_failures_close():
    with BbsHost() as host:
        c = host.connect()
        banner = c.expect("User-ID: ")
        check("Welcome to the Brakvold BBS" in banner, "no banner before the first prompt: %r" % banner)
        for n in range(1, 4):
            attempt(c, "Alice", "not-her-password", "Invalid login.")
            if n < 3:
                c.expect("User-ID: ")
        rest = c.expect_closed()
        check("User-ID: " not in rest, "asked for a user-ID again after the third failure: %r" % rest)
        # An unknown user-ID is refused the same way, and the host still serves.
        d = host.connect()
        d.expect("User-ID: ")
        attempt(d, "Nobody", "x", "Invalid login.")
        d.expect("User-ID: ")
        attempt(d, "Alice", "alice", "[Brakvold Alia]: ")


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
        host.login("Bob")
        c = host.connect()
        c.expect("User-ID: ")
        attempt(c, "bob", "bob", "That user is already online.")
        c.expect("User-ID: ")


@suite.case
def who_stats_mail_and_quit():
    with BbsHost() as host:
        alice = host.login("Alice")
        bob = host.login("Bob")
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
        wait_until(lambda: bob.gone_from_who("Alia"), "Alice to leave the who list")
        # Her channel is free again: she can log on anew.
        again = host.login("Alice")
        check("Welcome to Brakvold, Alia!" in plain(again.seen), "no welcome on the second logon")


@suite.case
def telnet_protocol_on_the_wire():
    with BbsHost() as host:
        s = host.raw()
        first = s.read_until("User-ID: ")
        check((DO, NAWS) in s.commands, "the host does not ask for the window size: %r" % s.commands)
        # The client agrees to NAWS and sends its size with the user-ID; echo
        # goes off for the password and on again after it.
        for sent, until, wanted, what in [
                (bytes([IAC, WILL, NAWS, IAC, SB, NAWS, 0, 100, 0, 40, IAC, SE]) + b"Alice", "Password: ",
                 (WILL, ECHO), "echo is not turned off for the password"),
                (bytes([IAC, DO, ECHO]) + b"alice", "]: ", (WONT, ECHO), "echo is not turned back on after the password")]:
            seen = len(s.commands)
            s.send_raw(sent + b"\r\n")
            s.read_until(until)
            check(wanted in s.commands[seen:], "%s: %r" % (what, s.commands[seen:]))
        # A command broken by telnet commands still arrives as the plain line.
        s.send_raw(b"wh" + bytes([IAC, NOP]) + b"o" + bytes([IAC, WILL, 24]) + b"\r\n")
        who = s.read_until("]: ")
        check("In Brakvold now:" in who and "Alia" in who, "who was not understood: %r" % who)
        # Every line break on the wire is CR LF: the game sends bare CRs.
        stats = s.type("stats", "]: ")
        for text in (first, who, stats):
            body = text.replace("\r\n", "")
            check("\r" not in body and "\n" not in body, "a bare CR or LF on the wire: %r" % text)
        check("Copper: 12000\r\nLives: 3\r\n" in stats, "stats lines not ended by CR LF: %r" % stats)
        # A line ended by CR NUL, as some clients send it, works too.
        s.send_raw(b"who\r\x00")
        check("In Brakvold now:" in s.read_until("]: "), "a line ended by CR NUL was not understood")


if __name__ == "__main__":
    suite.main()
