#!/usr/bin/python3
"""The logon through the real host: the dialogue, the telnet protocol on the
wire, the game commands right after it; and its hardening: guesses from one
address with parallel connections and at one user-ID from many addresses,
the same work for unknown user-IDs, the cap on connections at the logon,
argon2id hashes only, loopback by default. (The throttle's rules:
tests/app/logon_throttle_test.cpp.)"""

import glob
import os
import socket
import sqlite3
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import BbsHost, Failure, Suite, check, plain, wait_until  # noqa: E402
from raw_telnet import DO, ECHO, IAC, NAWS, SB, SE, WILL, WONT, Closed, RawClient  # noqa: E402

NOP = 241

suite = Suite("logon_hardening")

ADDRESS_REFUSED = "Too many failed logons from your address."
USERID_REFUSED = "Too many failed logons for this user-ID."


def guess(client, userid, password="wrong"):
    """One guess at the User-ID prompt: True when the password was asked for
    and refused, False when the throttle refused the attempt."""
    client.send(userid)
    said, _ = client.read_until_any(["Password: ", ADDRESS_REFUSED, USERID_REFUSED])
    if said != "Password: ":
        return False
    client.send(password)
    client.read_until("Invalid login.")
    return True


@suite.case
def parallel_connections_from_one_address_get_ten_guesses_in_all():
    # Eight connections at once, each guessing as fast as it is answered, for six seconds.
    with BbsHost() as host:
        guesses = []
        lock = threading.Lock()
        deadline = time.monotonic() + 6

        def attacker(n):
            i = 0
            while time.monotonic() < deadline:
                c = RawClient(host.port)
                try:
                    said, _ = c.read_until_any(["User-ID: ", ADDRESS_REFUSED])
                    while said == "User-ID: " and time.monotonic() < deadline:
                        i += 1
                        if not guess(c, "user%d-%d" % (n, i)):
                            break
                        with lock:
                            guesses.append(n)
                        said, _ = c.read_until_any(["User-ID: ", ADDRESS_REFUSED])
                except Closed:
                    pass
                finally:
                    c.close()

        threads = [threading.Thread(target=attacker, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        check(len(guesses) == 10, "8 parallel connections got %d guesses in 6 s" % len(guesses))
        # The address is refused before it sees a prompt; another is served.
        c = host.raw()
        out = c.read_until(ADDRESS_REFUSED)
        check("User-ID" not in out and "Please try again in 2 minutes." in c.read_until("minutes."),
              "the penalized address was not refused at once: %r" % out)
        check(c.wait_closed(), "the refused connection stayed open")
        carol = host.raw_user("Carol", source="127.0.0.2")
        carol.served("Carol")
        check(ADDRESS_REFUSED in host.log_text(), "the refusals are not in the log")


@suite.case
def one_user_id_gets_five_guesses_from_any_number_of_addresses():
    with BbsHost() as host:
        for userid in ("Alice", "Nobody"):   # a known and an unknown user-ID, alike
            tried = 0
            for i in range(12):
                c = host.raw(source="127.0.%d.%d" % (1 if userid == "Alice" else 2, 10 + i))
                c.read_until("User-ID: ")
                tried += guess(c, userid.lower() if i % 2 else userid)
                c.close()
            check(tried == 5, "12 addresses got %d guesses at %s" % (tried, userid))
        # The refusal comes before the password is asked for.
        c = host.raw(source="127.0.3.1")
        c.read_until("User-ID: ")
        c.send("Alice")
        out = c.read_until("minutes.")
        check(USERID_REFUSED in out and "Password" not in out, "no refusal before the password: %r" % out)
        host.raw_user("Bob", source="127.0.3.2")


@suite.case
def an_unknown_user_id_takes_the_same_work_as_a_known_one():
    # The real argon2id limits: an unknown user-ID must cost a hash too, or its quick answer tells.
    with BbsHost(fast_hash=False) as host:
        times = {"known": [], "unknown": []}
        known = ("Alice", "Bob", "Carol", "Sysop")
        for i in range(8):
            kind = "known" if i % 2 == 0 else "unknown"
            c = host.raw(source="127.0.4.%d" % (1 + i), timeout=60)
            c.read_until("User-ID: ")
            c.send(known[i // 2] if kind == "known" else "Stranger%d" % i)
            c.read_until("Password: ")
            start = time.monotonic()
            c.send("not the password")
            c.read_until("Invalid login.", timeout=60)
            times[kind].append(time.monotonic() - start)
            c.close()
        known_median = statistics.median(times["known"])
        unknown_median = statistics.median(times["unknown"])
        check(known_median > 0.005, "a wrong password took no hashing: %r" % times)
        check(unknown_median > 0.6 * known_median,
              "unknown user-IDs are answered faster: %.1f ms against %.1f ms (%r)" %
              (unknown_median * 1000, known_median * 1000, times))


@suite.case
def one_address_holds_at_most_ten_connections_at_the_logon():
    with BbsHost() as host:
        held = [host.raw(source="127.0.5.1") for _ in range(10)]
        for c in held:
            c.read_until("User-ID: ")
        turned_away = host.raw(source="127.0.5.1")
        out = turned_away.read_until("logging on.")
        check("User-ID" not in out, "the eleventh connection got a prompt: %r" % out)
        check(turned_away.wait_closed(), "the eleventh connection stayed open")
        # Another address is served; a connection that logs on frees its place.
        host.raw_user("Bob", source="127.0.5.2")
        held[0].steps(("Carol", "Password: "), ("carol", "]: "))
        host.raw(source="127.0.5.1").read_until("User-ID: ")


@suite.case
def passwords_are_stored_only_as_argon2id_hashes():
    secret = "Zebra-Quartz-7731"
    with BbsHost() as host:
        host.admin_ok("user", "add", "Dora", stdin=secret + "\n")
        host.raw_user("Dora", secret).close()
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(host.data, "bbs.db"), uri=True)
        try:
            hashes = dict(db.execute("SELECT userid, password_hash FROM accounts"))
        finally:
            db.close()
        check(set(hashes) >= {"Sysop", "Alice", "Bob", "Carol", "Dora"}, "accounts: %r" % sorted(hashes))
        for userid, value in hashes.items():
            check(value.startswith("$argon2id$v=19$"), "%s's password is kept as %r" % (userid, value[:20]))
        for path in glob.glob(os.path.join(host.data, "*")):
            with open(path, "rb") as f:
                check(secret.encode() not in f.read(), "the password is in the clear in %s" % path)


@suite.case
def the_listener_binds_to_loopback_unless_told_otherwise():
    with BbsHost(bind=False) as host:   # started once it says "listening on 127.0.0.1:PORT"
        host.raw().read_until("User-ID: ")
        # Another address of this machine, when it has one, is not served.
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            probe.connect(("192.0.2.1", 9))   # no packet is sent
            address = probe.getsockname()[0]
        except OSError:
            address = None
        finally:
            probe.close()
        if address and not address.startswith("127."):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.settimeout(5)
            try:
                s.connect((address, host.port))
                raise Failure("the host answered on %s" % address)
            except (ConnectionRefusedError, socket.timeout):
                pass
            finally:
                s.close()


@suite.case
def wrong_password_asks_again_and_three_failures_close():
    with BbsHost() as host:
        c = host.connect()
        banner = [c.login("Alice", "not-her-password", until="Invalid login.") for _ in range(3)][0]
        check("Welcome to the Brakvold BBS" in banner.partition("User-ID: ")[0],
              "no banner before the first prompt: %r" % banner)
        rest = c.expect_closed()
        check("User-ID: " not in rest, "asked for a user-ID again after the third failure: %r" % rest)
        # An unknown user-ID is refused the same way, and the host still serves.
        d = host.connect()
        d.login("Nobody", "x", until="Invalid login.")
        d.login("Alice", until="[Brakvold Alia]: ")


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
        out = c.type("xyzzy", "]: ")
        check("xyzzy" in out and "Unknown command." in out, "echo not restored after logon: %r" % out)


@suite.case
def who_stats_mail_and_quit_and_no_second_logon():
    with BbsHost() as host:
        alice = host.login("Alice")
        bob = host.login("Bob")
        c = host.connect()
        c.login("bob", until="That user is already online.")
        c.expect("User-ID: ")
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
        again = host.login("Alice")
        check("Welcome to Brakvold, Alia!" in plain(again.seen), "no welcome on the second logon")


@suite.case
def telnet_protocol_on_the_wire():
    with BbsHost() as host:
        s = host.raw()
        first = s.read_until("User-ID: ")
        check((DO, NAWS) in s.commands, "the host does not ask for the window size: %r" % s.commands)
        # NAWS agreed to and the size sent with the user-ID; echo off for the password, on after it.
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
