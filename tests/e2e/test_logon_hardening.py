#!/usr/bin/python3
"""Logon hardening: how many passwords an attacker gets to try through the
real host, from one address with parallel connections and against one
user-ID from many addresses; an unknown user-ID takes the same work as a
known one; connections at the logon are capped per address; passwords are
kept only as argon2id hashes; the listener binds to loopback unless told
otherwise. (The throttle's rules over hours and days are in
tests/app/logon_throttle_test.cpp.)"""

import glob
import os
import socket
import sqlite3
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (BBSHOST, CONFIG_DIR, BbsHost, Failure, Suite, check, free_port,  # noqa: E402
                         host_env, made_folder)
from raw_telnet import Closed, RawClient  # noqa: E402

suite = Suite("logon_hardening")

ADDRESS_REFUSED = "Too many failed logons from your address."
USERID_REFUSED = "Too many failed logons for this user-ID."


def guess(client, userid, password="wrong"):
    """One guess on a connection at its User-ID prompt: True when the
    password was asked for and refused, False when the throttle refused the
    attempt (the host then closes the connection)."""
    client.send(userid)
    said, _ = client.read_until_any(["Password: ", ADDRESS_REFUSED, USERID_REFUSED])
    if said != "Password: ":
        return False
    client.send(password)
    client.read_until("Invalid login.")
    return True


@suite.case
def parallel_connections_from_one_address_get_ten_guesses_in_all():
    # The attack that got 175 guesses in 15 s: eight connections at once,
    # each guessing as fast as it is answered, for six seconds.
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
        # Other user-IDs are not held up.
        host.raw_user("Bob", source="127.0.3.2")


@suite.case
def an_unknown_user_id_takes_the_same_work_as_a_known_one():
    # The real argon2id limits: a known user-ID's wrong password costs a
    # hash; an unknown one must cost the same, or its quick answer tells.
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
        held[0].send("Carol")
        held[0].read_until("Password: ")
        held[0].send("carol")
        held[0].read_until("]: ")
        host.raw(source="127.0.5.1").read_until("User-ID: ")


@suite.case
def passwords_are_stored_only_as_argon2id_hashes():
    secret = "Zebra-Quartz-7731"
    with BbsHost() as host:
        status, out, err = host.admin("user", "add", "Dora", stdin=secret + "\n")
        check(status == 0, "user add: %r %r" % (out, err))
        c = host.raw_user("Dora", secret)
        c.close()
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(host.data, "bbs.db"), uri=True)
        try:
            hashes = dict(db.execute("SELECT userid, password_hash FROM accounts"))
        finally:
            db.close()
        check(set(hashes) >= {"Sysop", "Alice", "Bob", "Carol", "Dora"}, "accounts: %r" % sorted(hashes))
        for userid, value in hashes.items():
            check(value.startswith("$argon2id$v=19$"), "%s's password is kept as %r" % (userid, value[:20]))
        # The password is in no file of the data folder.
        for path in glob.glob(os.path.join(host.data, "*")):
            with open(path, "rb") as f:
                check(secret.encode() not in f.read(), "the password is in the clear in %s" % path)


@suite.case
def the_listener_binds_to_loopback_unless_told_otherwise():
    with made_folder() as made:
        port = free_port()
        proc = subprocess.Popen([BBSHOST, "--data", made.data, "--port", str(port)]
                                + (["--config", CONFIG_DIR] if CONFIG_DIR else []),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=host_env())
        try:
            line = proc.stdout.readline().decode("utf-8", "replace")
            check("listening on 127.0.0.1:%d" % port in line, "not on loopback by default: %r" % line)
            c = RawClient(port)
            try:
                c.read_until("User-ID: ")
            finally:
                c.close()
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
                    s.connect((address, port))
                    raise Failure("the host answered on %s" % address)
                except (ConnectionRefusedError, socket.timeout):
                    pass
                finally:
                    s.close()
        finally:
            proc.kill()
            proc.wait(20)


if __name__ == "__main__":
    suite.main()
