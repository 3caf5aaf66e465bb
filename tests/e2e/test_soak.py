#!/usr/bin/python3
"""Load and soak: memory and open files stay flat, silent and non-reading clients cut off."""

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("soak")

os.environ["ASAN_OPTIONS"] = without_asan_quarantine()   # for every host of this file

CYCLES, WARM_UP = 1000, 200
RSS_SLACK_KIB = 3 * 1024   # growth over the cycles that still counts as flat
# 16 of them are the host's own: the connections it takes up to the limit stay below the 10 logon places
# where the host begins to turn new ones away at random, so that it holds every one and stays at the limit.
OPEN_FILES = 24


def cycle(port, i):
    """One connection closed by the client: at once, after the banner, halfway through the logon, logged on."""
    if i % 4 == 0:
        socket.create_connection(("127.0.0.1", port), timeout=10).close()
        return
    with contextlib.closing(RawClient(port)) as c:
        c.read_until("User-ID: ")
        c.steps(*[("Carol", "Password: "), ("carol", "]: ")][:i % 4 - 1])


def settle(host, fds):
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
        host.raw_user("Carol").served("Carol")
        bob.served("Bob")


@suite.case
def clients_that_never_send_hold_no_channel():
    with BbsHost(channels=3) as host:
        fds = open_fds(host.proc.pid)
        idle = [socket.create_connection(("127.0.0.1", host.port), timeout=10,
                                         source_address=("127.0.0.%d" % (2 + i // 10), 0))
                for i in range(60)]
        try:
            extra = host.raw(source="127.0.0.2")
            extra.read_until("Too many connections from your address are logging on.")
            check(extra.wait_closed(), "the eleventh connection of an address stayed open")
            users = [on_despite_drops(host, userid) for userid in ("Alice", "Bob", "Carol")]
            for c in users:
                c.served()
            alice = users[0]
            alice.enter_plus()
            check("one more life" in alice.buy_life(), "Alice could not buy a life")
            on_despite_drops(host, "Sysop", until="Every channel is busy")
        finally:
            for s in idle:
                s.close()
        settle(host, fds + 4)
        users[1].served()


@suite.case
def a_client_that_never_reads_is_cut_off():
    with BbsHost(channels=4) as host:
        bob = host.raw_user("Bob")
        carol = host.raw_user("Carol", rcvbuf=4096)
        flood = b"stats\r\n" * 40000
        try:
            carol.sock.settimeout(30)
            carol.sock.sendall(flood)
        except OSError:
            pass   # cut off before it sent everything
        for _ in range(5):
            bob.served("Bob")
        host.wait_log("output queue full", "the host to cut off the non-reader", attempts=200)
        wait_until(lambda: "Carol" not in bob.type("who", "]: "), "Carol to leave the who list")
        carol.close()
        bob.served("Bob")
        host.raw_user("Carol").served("Carol")


@suite.case
def at_the_file_limit_accepting_pauses_and_users_are_served():
    with BbsHost(open_files=OPEN_FILES) as host:
        alice = host.raw_user("Alice")
        silent = [socket.create_connection(("127.0.0.1", host.port), timeout=10,
                                           source_address=("127.0.1.%d" % (1 + i // 10), 0))
                  for i in range(60)]
        try:
            host.wait_log("accept failed", "the host to run out of file handles", attempts=200)
            check(open_fds(host.proc.pid) >= OPEN_FILES - 1, "the host is not at its limit")
            before = cpu_seconds(host.proc.pid)
            time.sleep(2)
            spent = cpu_seconds(host.proc.pid) - before
            check(spent < 0.5, "the host used %.2f s of processor in 2 s at the limit" % spent)
            log = host.log_text()
            check(log.count("accept failed") == 1, "accept failures were logged %d times" % log.count("accept failed"))
            check(len(log) < 64 * 1024, "the host log grew to %d bytes" % len(log))

            alice.served("Alice")
            alice.enter_plus()
            check("one more life" in alice.buy_life(), "Alice could not buy a life")
            host.wait_log("from Alice for a life.", "the purchase in the game log", "brakvold.log")
        finally:
            for s in silent:
                s.close()
        host.raw_user("Carol")
        check("accepting again after" in host.log_text(), "the end of the failures is not in the log")


suite.main()
