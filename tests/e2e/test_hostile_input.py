#!/usr/bin/python3
"""Hostile input from clients, through the real host: compressed input (a
few kilobytes that would inflate to megabytes) is refused and never
inflated, the sender cut off and nothing more of his taken; a flood of lines
holds nobody else up and the host still stops on SIGTERM; 7-bit and 8-bit
control sequences reach neither another user nor the logs, while UTF-8 text
arrives whole."""

import os
import signal
import sys
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import STOP_TIMEOUT, BbsHost, Suite, check  # noqa: E402
from raw_telnet import IAC, SB, SE, vm_rss_kib  # noqa: E402

suite = Suite("hostile_input")

COMPRESS2 = 86
# Generous bounds: what must be answered within a blink is allowed seconds.
ANSWER_BOUND = 5.0


def timed_stats(client):
    start = time.monotonic()
    client.served(timeout=ANSWER_BOUND * 4)
    return time.monotonic() - start


@suite.case
def compressed_input_is_refused_and_never_inflated():
    with BbsHost() as host:
        bob, carol, alice = (host.raw_user(userid) for userid in ("Bob", "Carol", "Alice"))
        alice.type("tell Bobo before", "]: ")
        bob.read_until("before")
        peak_before = vm_rss_kib(host.proc.pid, "VmHWM")

        # Never negotiated: IAC SB COMPRESS2 IAC SE, then 4 KB of zlib that
        # inflates to a thousand tells and 8 MB of line breaks.
        bomb = zlib.compress(b"tell Bobo boom\r\n" * 1000 + b"\r\n" * (4 << 20), 9)
        check(len(bomb) < 16384, "the bomb is %d bytes" % len(bomb))
        alice.send_raw(bytes([IAC, SB, COMPRESS2, IAC, SE]) + bomb)

        took = timed_stats(carol)
        check(took < ANSWER_BOUND, "Carol waited %.1f s for stats" % took)
        check(alice.wait_closed(), "the client that sent compressed input was not cut off")
        heard = bob.read_for(1.0)
        check("boom" not in heard, "lines from the compressed stream reached Bob: %r" % heard[:300])
        host.wait_log("compressed input", "the cut-off in the host log")
        grown = vm_rss_kib(host.proc.pid, "VmHWM") - peak_before
        check(grown < 16 * 1024, "the host's peak memory grew by %d KiB" % grown)
        bob.served("Bob")


@suite.case
def a_flood_of_lines_holds_nobody_up_and_sigterm_still_stops_the_host():
    with BbsHost() as host:
        carol, alice = host.raw_user("Carol"), host.raw_user("Alice")
        stop = threading.Event()

        def flood():
            # Empty lines as fast as the host takes them; her answers are read
            # (and thrown away) so that she is not cut off for not reading.
            alice.sock.settimeout(30)
            try:
                while not stop.is_set():
                    alice.sock.sendall(b"\r\n" * 32768)
            except OSError:
                pass

        def drain():
            alice.sock.settimeout(1)
            while not stop.is_set():
                try:
                    if not alice.sock.recv(1 << 20):
                        return
                except OSError:
                    if stop.is_set():
                        return

        threads = [threading.Thread(target=flood), threading.Thread(target=drain)]
        for t in threads:
            t.start()
        try:
            time.sleep(0.5)
            waits = [timed_stats(carol) for _ in range(5)]
            check(max(waits) < ANSWER_BOUND, "Carol waited %r s during the flood" % waits)
            start = time.monotonic()
            host.signal(signal.SIGTERM)
            host.proc.wait(STOP_TIMEOUT)
            check(host.proc.returncode == 0, "the host ended with %r" % host.proc.returncode)
            check(time.monotonic() - start < ANSWER_BOUND, "SIGTERM took %.1f s" % (time.monotonic() - start))
        finally:
            stop.set()
            alice.close()
            for t in threads:
                t.join(10)


@suite.case
def control_sequences_reach_no_other_user_and_no_log():
    with BbsHost() as host:
        bob, alice = host.raw_user("Bob"), host.raw_user("Alice")
        # 8-bit CSI, OSC and DCS as single bytes and encoded, a 7-bit one, and
        # UTF-8 text whose bytes include 0x9B and 0x9F as continuation bytes.
        alice.send(b"tell Bobo \x9b2J\x9b31mhi \x9d0;owned\x07there \xc2\x9b1m\x90q\x9c"
                   b"Gr\xc3\xbc\xc3\x9fe \xc4\x9b\x1b[5m!")
        heard = bob.read_until("!")
        check(heard.endswith("tells you: hi there Gr\xc3\xbc\xc3\x9fe \xc4\x9b!"),
              "Bob got control bytes or lost text: %r" % heard)
        alice.read_until("]: ")

        # A user-ID typed with escapes, 8-bit controls and bytes that are no
        # UTF-8: the log shows what is left of it, and holds no control byte.
        c = host.raw()
        c.read_until("User-ID: ")
        c.send(b"\x1b]0;pwned\x07\x1b[2J\x9b" b"31mMall\xc2\x85ory\xff\xfe")
        c.read_until("Password: ")
        c.send("guess")
        c.read_until("Invalid login.")
        c.close()
        log = host.log_text()
        check('failed logon as "Mallory"' in log, "the user-ID was not cleaned: %r" % log[-600:])
        for name in ("bbshost.log", "brakvold.log"):
            with open(os.path.join(host.data, name), "rb") as f:
                text = f.read().decode("utf-8")   # fails on a byte that is no UTF-8
            bad = [ch for ch in text if (ord(ch) < 0x20 and ch not in "\r\n") or 0x7f <= ord(ch) <= 0x9f]
            check(not bad, "control characters in %s: %r" % (name, bad[:10]))


if __name__ == "__main__":
    suite.main()
