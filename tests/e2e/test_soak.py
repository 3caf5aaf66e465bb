#!/usr/bin/python3
"""Load and soak: a thousand connections that come and go (at once, after
the banner, halfway through the logon, and after a whole logon), clients
that connect and never send, and a client that never reads. The host's
memory (VmRSS) and open files stay flat, nobody holds a channel without
logging on (and one address holds at most ten connections at the logon),
the client that does not read is cut off, and the users online meanwhile
are served throughout."""

import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import BbsHost, Suite, check, wait_until  # noqa: E402
from raw_telnet import RawClient, open_fds, vm_rss_kib  # noqa: E402

suite = Suite("soak")

# Under AddressSanitizer freed memory waits in a quarantine before it is used
# again, which looks like growth; the memory check wants it used at once.
os.environ["ASAN_OPTIONS"] = ":".join(
    part for part in (os.environ.get("ASAN_OPTIONS", ""), "quarantine_size_mb=0",
                      "thread_local_quarantine_size_kb=0") if part)

CYCLES = 1000
WARM_UP = 200
# Growth of the resident set over the cycles that still counts as flat: a
# leak of 3 KiB per connection would pass it.
RSS_SLACK_KIB = 3 * 1024


def cycle(port, i):
    """One connection of four kinds, closed by the client."""
    kind = i % 4
    if kind == 0:
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.close()
        return
    c = RawClient(port)
    try:
        c.read_until("User-ID: ")
        if kind == 2:
            c.send("Carol")
            c.read_until("Password: ")
        elif kind == 3:
            c.send("Carol")
            c.read_until("Password: ")
            c.send("carol")
            c.read_until("]: ")
    finally:
        c.close()


def settle(host, fds):
    """Waits until the host has closed every connection it lost."""
    wait_until(lambda: open_fds(host.proc.pid) <= fds, "the host to close its connections", attempts=200)


@suite.case
def a_thousand_connections_come_and_go():
    with BbsHost(channels=8) as host:
        bob = host.raw_user("Bob")
        fds = open_fds(host.proc.pid)
        for i in range(WARM_UP):
            cycle(host.port, i)
        settle(host, fds)
        before = vm_rss_kib(host.proc.pid)
        for i in range(CYCLES):
            cycle(host.port, i)
            if i % 100 == 0:
                bob.served("Bob")
        settle(host, fds)
        after = vm_rss_kib(host.proc.pid)
        check(after - before <= RSS_SLACK_KIB,
              "the host grew from %d to %d KiB over %d connections" % (before, after, CYCLES))
        # Carol's channel is free again after her last hang-up.
        host.raw_user("Carol").served("Carol")
        bob.served("Bob")


@suite.case
def clients_that_never_send_hold_no_channel():
    with BbsHost(channels=3) as host:
        fds = open_fds(host.proc.pid)
        # Sixty silent connections from six addresses: ten each, the most one
        # address may have at the logon; the next one is turned away at once.
        idle = [socket.create_connection(("127.0.0.1", host.port), timeout=10,
                                         source_address=("127.0.0.%d" % (2 + i // 10), 0))
                for i in range(60)]
        try:
            extra = host.raw(source="127.0.0.2")
            extra.read_until("Too many connections from your address are logging on.")
            check(extra.wait_closed(), "the eleventh connection of an address stayed open")
            # Every channel is still there for users who log on.
            users = [host.raw() for _ in range(3)]
            for c, userid in zip(users, ("Alice", "Bob", "Carol")):
                c.login(userid)
            for c in users:
                c.served()
            alice = users[0]
            alice.enter_plus()
            check("one more life" in alice.buy_life(), "Alice could not buy a life")
            # A fourth user finds every channel taken by those who logged on.
            late = host.raw()
            late.read_until("User-ID: ")
            late.send("Sysop")
            late.read_until("Password: ")
            late.send("sysop")
            late.read_until("Every channel is busy")
        finally:
            for s in idle:
                s.close()
        settle(host, fds + 4)
        users[1].served()


@suite.case
def a_client_that_never_reads_is_cut_off():
    with BbsHost(channels=4) as host:
        bob = host.raw_user("Bob")
        # A tiny receive window, and a flood of commands whose answers it
        # never reads: more than the kernel's buffers and the host's queue hold.
        carol = host.raw_user("Carol", rcvbuf=4096)
        flood = b"stats\r\n" * 40000
        try:
            carol.sock.settimeout(30)
            carol.sock.sendall(flood)
        except OSError:
            pass   # cut off before it sent everything
        for _ in range(5):
            bob.served("Bob")
        wait_until(lambda: "output queue full" in host.log_text(), "the host to cut off the non-reader",
                   attempts=200)
        wait_until(lambda: "Carol" not in bob.type("who", "]: "), "Carol to leave the who list")
        carol.close()
        bob.served("Bob")
        host.raw_user("Carol").served("Carol")


if __name__ == "__main__":
    suite.main()
