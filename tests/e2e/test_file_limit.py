#!/usr/bin/python3
"""The host at its limit of open files (ulimit -n), filled by silent
connections from several addresses: accepting pauses instead of spinning,
the failure is logged once, the user online is served and a purchase is
logged in the game log; once the connections are gone, users log on again."""

import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import BbsHost, Suite, check, wait_until  # noqa: E402
from raw_telnet import cpu_seconds, open_fds  # noqa: E402

suite = Suite("file_limit")

OPEN_FILES = 40      # about 15 of them are the host's own


@suite.case
def at_the_file_limit_accepting_pauses_and_users_are_served():
    with BbsHost(open_files=OPEN_FILES) as host:
        alice = host.raw_user("Alice")
        # Ten silent connections from each of six addresses: the host runs
        # out of file handles long before it would turn any of them away.
        silent = [socket.create_connection(("127.0.0.1", host.port), timeout=10,
                                           source_address=("127.0.1.%d" % (1 + i // 10), 0))
                  for i in range(60)]
        try:
            wait_until(lambda: "accept failed" in host.log_text(), "the host to run out of file handles",
                       attempts=200)
            check(open_fds(host.proc.pid) >= OPEN_FILES - 1, "the host is not at its limit")
            before = cpu_seconds(host.proc.pid)
            time.sleep(2)
            spent = cpu_seconds(host.proc.pid) - before
            check(spent < 0.5, "the host used %.2f s of processor in 2 s at the limit" % spent)
            log = host.log_text()
            check(log.count("accept failed") == 1, "accept failures were logged %d times" % log.count("accept failed"))
            check(len(log) < 64 * 1024, "the host log grew to %d bytes" % len(log))

            # The user online is served, and what he buys is in the game log.
            alice.served("Alice")
            alice.enter_plus()
            check("one more life" in alice.buy_life(), "Alice could not buy a life")
            host.wait_log("from Alice for a life.", "the purchase in the game log", "brakvold.log")
        finally:
            for s in silent:
                s.close()
        # The handles come back: accepting goes on, and says so.
        host.raw_user("Carol")
        check("accepting again after" in host.log_text(), "the end of the failures is not in the log")


if __name__ == "__main__":
    suite.main()
