#!/usr/bin/python3
"""Logon hardening: passwords are kept only as argon2id hashes, three
failures close the connection, every failure after the first from one
address is answered later and later (whatever connection it comes on, and
what is typed meanwhile is dropped), a good logon forgives the address, and
the listener binds to loopback unless told otherwise."""

import glob
import os
import socket
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (BBSHOST, CONFIG_DIR, BbsHost, Failure, Suite, check, free_port,  # noqa: E402
                         host_env)
from raw_telnet import RawClient  # noqa: E402

suite = Suite("logon_hardening")

PENALTY_TIMEOUT = 30   # the longest a late answer may take here (the bound is 8 s)


def fail_once(client, userid="Alice", password="wrong", then=b""):
    """One failed logon; the seconds from the password to "Invalid login."."""
    client.read_until("User-ID: ")
    client.send(userid)
    client.read_until("Password: ")
    start = time.monotonic()
    client.send_raw(password.encode("latin-1") + b"\r\n" + then)
    client.read_until("Invalid login.", timeout=PENALTY_TIMEOUT)
    return time.monotonic() - start


@suite.case
def failures_from_one_address_are_answered_ever_later():
    with BbsHost() as host:
        first = RawClient(host.port)
        waits = [fail_once(first) for _ in range(3)]
        check(first.wait_closed(), "the third failure did not close the connection")
        # Lower bounds only: the first answer is not held, the next ones are.
        check(waits[1] >= 0.45 and waits[2] >= 0.95, "failures were not slowed: %r" % waits)

        # A new connection from the same address goes on where the last one
        # stopped; what it types while it waits is dropped.
        second = RawClient(host.port)
        wait = fail_once(second, then=b"Alice\r\nalice\r\n")
        check(wait >= 1.95, "a new connection started the count afresh: %.2f s" % wait)
        second.read_until("User-ID: ")
        early = second.read_for(0.5)
        check("Password: " not in early and "Brakvold" not in early,
              "lines typed during the wait were taken: %r" % early)
        second.send("Alice")
        second.read_until("Password: ")
        second.send("alice")
        second.read_until("[Brakvold Alia]: ")

        # The good logon forgave the address: the next failure is not held.
        third = RawClient(host.port)
        fail_once(third, userid="Bob")
        log = host.log_text()
        for ms in (500, 1000, 2000):
            check("answered after %d ms" % ms in log, "no %d ms wait in the log:\n%s" % (ms, log[-1500:]))
        last = [line for line in log.splitlines() if 'failed logon as "Bob"' in line]
        check(len(last) == 1 and "answered after" not in last[0],
              "a failure after a good logon was held: %r" % last)
        # The others were served all along.
        carol = RawClient(host.port)
        carol.login("Carol", "carol")
        check("Time played" in carol.type("stats", "]: "), "Carol was not served")


@suite.case
def passwords_are_stored_only_as_argon2id_hashes():
    secret = "Zebra-Quartz-7731"
    with BbsHost() as host:
        status, out, err = host.admin("user", "add", "Dora", "--password", secret)
        check(status == 0, "user add: %r %r" % (out, err))
        c = RawClient(host.port)
        c.login("Dora", secret)
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
    with BbsHost() as made:   # a data folder
        check(made.stop() == 0, "the host did not stop")
        port = free_port()
        proc = subprocess.Popen([BBSHOST, "--data", made.data, "--port", str(port)]
                                + (["--config", CONFIG_DIR] if CONFIG_DIR else []),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=host_env())
        try:
            line = proc.stdout.readline().decode("utf-8", "replace")
            check("listening on 127.0.0.1:%d" % port in line, "not on loopback by default: %r" % line)
            c = RawClient(port)
            c.read_until("User-ID: ")
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
    sys.exit(suite.run())
