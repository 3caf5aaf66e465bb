#!/usr/bin/python3
"""Bad and hostile input over the wire and on disk, each with one clear outcome, others served."""

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("bad_input")

STATS_END = "Time played: "


@suite.case
def long_lines_control_bytes_and_escapes():
    with BbsHost() as host:
        bob, alice = host.raw_user("Bob"), host.raw_user("Alice")

        alice.send_raw(b"x" * 100000 + b"\r\nstats\r\n")
        out = alice.read_until(STATS_END)
        check("Unknown command." in out, "the long line was not answered: %r" % out[-300:])
        alice.read_until("]: ")
        bob.served("Bob")

        out = alice.type("look " + "N" * 300, "]: ")
        shown = re.search(r"There is no player named (N+)\.", out)
        check(shown and len(shown.group(1)) == 255 - len("look "), "the line was not cut to 255 bytes: %r" % out[:400])
        alice.steps((b"st\x00a\x07t\x1b[1;31mq\x08s\x1b[0m", "]: ", STATS_END),   # control bytes and escapes removed
                    (b"\x1b[A\x1b]0;title\x07\x01\x02", "]: ", "!Unknown command"),   # an empty line is no command
                    ("ext", "Extension: "), ("*", CHOICE))
        alice.open_editor()
        alice.send(b"A \x1b[5mblinking\x1b[0m elf %s%n")
        out = alice.type("/s", "choice:")
        check("A blinking elf %s%n" in out, "the description is not shown as typed less its escapes: %r" % out)
        check("\x1b[5m" not in out, "the typed escape came back: %r" % out)
        bob.served("Bob")


@suite.case
def telnet_garbage_and_half_sequences():
    with BbsHost() as host:
        bob, c = host.raw_user("Bob"), host.raw_user("Alice")

        c.steps((bytes([IAC]) + b"xstats", "]: ", STATS_END))   # IAC x dropped
        c.send_raw(bytes([IAC]))
        bob.served("Bob")   # the host answers someone else meanwhile
        c.send_raw(bytes([WILL, ECHO]) + b"stats\r\n")
        check(STATS_END in c.read_until("]: "), "the second half of a sequence broke the line")
        check((DONT, ECHO) in c.commands, "WILL ECHO was not refused: %r" % c.commands)

        c.steps((b"look " + bytes([IAC, IAC]) + b"Bobo", "]: ", "Bobo", "!There is no player", "!\xff"))   # dropped

        c.send_raw(bytes([IAC, SB, TTYPE]) + b"stats\r\nstats\r\n" + bytes([IAC, SE]))
        c.send_raw(bytes([IAC, SB, NAWS, 1, 2, 3, IAC, SE]))
        holds(c.type("who", "]: "), "!" + STATS_END, "In Brakvold now")   # the subnegotiation's bytes are no lines

        c.send_raw(bytes([IAC, SB, TTYPE]) + b"B" * 20000)
        c.send_raw(b"\r\nstats\r\n")
        c.read_until(STATS_END)
        c.read_until("]: ")
        host.wait_log("subnegotiation buffer size limit", "the telnet warning in the log")

        c.send_raw(bytes([IAC, DO, 99, IAC, WILL, 98]))
        c.served()
        bob.served("Bob")
        check(host.proc.poll() is None, "the host died")


@suite.case
def conversions_blanks_and_long_user_ids_at_logon():
    with BbsHost() as host:
        for userid in ("%s%n%x%%", "Alice Smith", "A" * 200, "\x1b[1mAlice"):
            host.raw().login(userid, "wrong", until="Invalid login.", timeout=20)
        for logged in ("%s%n%x%%", "Alice Smith", "A" * 200, "Alice"):   # as typed, less the escape
            check('failed logon as "%s"' % logged in host.log_text(), "%r is not logged" % logged)
        host.refused("user", "add", "B" * 200, says="1 to 29", stdin="x\n")
        host.admin_ok("user", "add", "Ann Lee", stdin="ann %s\n")
        holds(host.raw().login("Ann Lee", "ann %s"), "Welcome to Brakvold")
        host.raw_user("Alice")


CLAMPED = [("DESCLNS", 50, "1..10; using 10"), ("LIFECRD", -5, "-1..90000000; using -1"),
           ("DESCCRD", -5, "0..1000000; using 0")]


@suite.case
def out_of_range_options_are_clamped():
    with made_folder() as first:
        for name, value, _ in CLAMPED:
            set_option(first.data, name, value)
        with BbsHost(data_dir=first.data) as host:
            for name, value, bounds in CLAMPED:
                holds(host.log_text(), "%s) value %d is out of bounds %s" % (name, value, bounds))
            host.raw_user("Alice").steps(  # no lives sold at LIFECRD -1; no price left: the editor at once
                ("ext", "Extension: "), ("*", CHOICE, "!Buy an extra life"), ("d", CHOICE),
                ("d", "/h helps.", "up to 800 characters"), ("/a", CHOICE))   # DESCLNS clamped to 10
            host.stop_cleanly()


@suite.case
def missing_unusable_and_unreadable_data_folders():
    with scratch() as root:
        a_file, garbage, folder = (os.path.join(root, name) for name in ("a-file", "garbage", "folder"))
        with open(a_file, "w") as f:
            f.write("not a folder\n")
        os.mkdir(garbage)
        with open(os.path.join(garbage, "bbs.db"), "wb") as f:
            f.write(b"\x00garbage" * 512)
        os.makedirs(os.path.join(folder, "bbs.db"))
        cases = [(a_file, ["is not a folder"]),
                 (os.path.join(a_file, "data"), ["cannot create data folder"]),    # its parent is a file
                 (garbage, ["cannot open data folder", "bbs.db"]), (folder, ["cannot open data folder", "bbs.db"])]
        if os.geteuid() != 0:   # root reads everything
            cases.append((os.path.join(root, "locked"), ["cannot"]))
            os.mkdir(cases[-1][0], 0)
        for data, says in cases:
            serve_expecting_failure(data, says=says)
        missing = os.path.join(root, "missing")
        status, out, err = run_admin(missing, "user", "show", "Bob")
        check(status == 2 and "data folder %s does not exist" % missing in err and not os.path.exists(missing),
              "user show on a missing folder: %s %r %r" % (status, out, err))


ANSWER_BOUND = 5.0   # generous: what must be answered within a blink is allowed seconds


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

        bomb = zlib.compress(b"tell Bobo boom\r\n" * 1000 + b"\r\n" * (4 << 20), 9)
        check(len(bomb) < 16384, "the bomb is %d bytes" % len(bomb))
        alice.send_raw(bytes([IAC, SB, COMPRESS2, IAC, SE]) + bomb)

        check(timed_stats(carol) < ANSWER_BOUND, "Carol waited too long for stats")
        check(alice.wait_closed(), "the client that sent compressed input was not cut off")
        holds(bob.read_for(1.0), "!boom")
        host.wait_log("compressed input", "the cut-off in the host log")
        check(vm_rss_kib(host.proc.pid, "VmHWM") - peak_before < 16 * 1024, "the host's peak memory grew")
        bob.served("Bob")


@suite.case
def a_flood_of_lines_holds_nobody_up_and_sigterm_still_stops_the_host():
    with BbsHost() as host:
        carol, alice = host.raw_user("Carol"), host.raw_user("Alice")
        stop = threading.Event()

        def flood():
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
            host.proc.send_signal(signal.SIGTERM)
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
        alice.send(b"tell Bobo \x9b2J\x9b31mhi \x9d0;owned\x07there \xc2\x9b1m\x90q\x9c"
                   b"Gr\xc3\xbc\xc3\x9fe \xc4\x9b\x1b[5m!")
        heard = bob.read_until("!")
        check(heard.endswith("tells you: hi there Gr\xc3\xbc\xc3\x9fe \xc4\x9b!"),
              "Bob got control bytes or lost text: %r" % heard)
        alice.read_until("]: ")

        host.raw().login(b"\x1b]0;pwned\x07\x1b[2J\x9b" b"31mMall\xc2\x85ory\xff\xfe", "guess", until="Invalid login.")
        log = host.log_text()
        check('failed logon as "Mallory"' in log, "the user-ID was not cleaned: %r" % log[-600:])
        for name in ("bbshost.log", "brakvold.log"):
            with open(os.path.join(host.data, name), "rb") as f:
                text = f.read().decode("utf-8")   # fails on a byte that is no UTF-8
            bad = [ch for ch in text if (ord(ch) < 0x20 and ch not in "\r\n") or 0x7f <= ord(ch) <= 0x9f]
            check(not bad, "control characters in %s: %r" % (name, bad[:10]))


suite.main()
