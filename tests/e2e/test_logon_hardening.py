#!/usr/bin/python3
"""The logon through the real host, and its throttle, caps and stored hashes."""

import glob

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

NOP = 241

suite = Suite("logon_hardening")


@suite.case
def parallel_connections_from_one_address_get_ten_guesses_in_all():
    with BbsHost() as host:
        guesses = []   # list.append holds the interpreter lock
        deadline = time.monotonic() + 6

        def attacker(n):
            i = 0
            while time.monotonic() < deadline:
                c = RawClient(host.port)
                try:
                    said, _ = c.read_until_any(["User-ID: ", ADDRESS_REFUSED])
                    while said == "User-ID: " and time.monotonic() < deadline:
                        i += 1
                        if c.answer("user%d-%d" % (n, i)) != "Invalid login.":
                            break
                        guesses.append(n)
                        said, _ = c.read_until_any(["User-ID: ", ADDRESS_REFUSED])
                except Closed:
                    pass
                finally:
                    c.close()

        in_parallel(attacker, [(n,) for n in range(8)])
        check(len(guesses) == 10, "8 parallel connections got %d guesses in 6 s" % len(guesses))
        c = host.raw()
        out = c.read_until(ADDRESS_REFUSED)
        check("User-ID" not in out and "Please try again in 2 minutes." in c.read_until("minutes."),
              "the penalized address was not refused at once: %r" % out)
        check(c.wait_closed(), "the refused connection stayed open")
        host.raw_user("Carol", source="127.0.0.2").served("Carol")
        check(ADDRESS_REFUSED in host.log_text(), "the refusals are not in the log")


@suite.case
def one_user_id_gets_five_guesses_from_any_number_of_addresses():
    with BbsHost() as host:
        for userid in ("Alice", "Nobody"):   # a known and an unknown user-ID, alike
            tried = sum(host.attempt(userid.lower() if i % 2 else userid,
                                     source="127.0.%d.%d" % (1 if userid == "Alice" else 2, 10 + i)) == "Invalid login."
                        for i in range(12))
            check(tried == 5, "12 addresses got %d guesses at %s" % (tried, userid))
        c = host.raw(source="127.0.3.1")
        c.read_until("User-ID: ")
        c.send("Alice")
        holds(c.read_until("minutes."), USERID_REFUSED, "!Password")   # refused before the password
        host.raw_user("Bob", source="127.0.3.2")


@suite.case
def strangers_cannot_keep_the_owner_out_of_where_he_logged_on_before_nor_does_a_restart_forget():
    with BbsHost() as host:
        host.raw_user("Alice", source="127.0.6.1").close()
        tried = sum(host.attempt("Alice", source="127.0.7.%d" % (10 + i)) == "Invalid login." for i in range(12))
        check(tried == 5, "12 strangers got %d guesses at Alice" % tried)
        host.stop_cleanly()
        host.start()   # the same data folder
        check(host.attempt("Alice", source="127.0.7.50") == USERID_REFUSED, "the restart forgot the strangers' guesses")
        host.raw_user("Alice", source="127.0.6.1").served("Alice from where she logged on before")


@suite.case
def an_unknown_user_id_takes_the_same_work_as_a_known_one():
    with BbsHost(fast_hash=False) as host:
        spent = {True: 0.0, False: 0.0}   # known user-ID: seconds
        for i, userid in enumerate(["Carol"] + ["Alice", "Stranger1", "Bob", "Stranger2"] * 2):
            c = host.raw(source="127.0.4.%d" % (1 + i), timeout=60)
            c.read_until("User-ID: ")
            c.type(userid, "Password: ")
            before = cpu_seconds(host.proc.pid)
            c.type("not the password", "Invalid login.", timeout=60)
            if i:   # Carol's attempt waited for the dummy hash to be made
                spent[not userid.startswith("Stranger")] += cpu_seconds(host.proc.pid) - before
            c.close()
        check(spent[True] > 0.02, "a wrong password took no hashing: %r" % spent)
        check(spent[False] > 0.6 * spent[True], "unknown user-IDs take less work: %r" % spent)


@suite.case
def one_address_holds_at_most_ten_connections_at_the_logon():
    with BbsHost() as host:
        held = [host.raw(source="127.0.5.1") for _ in range(10)]
        for c in held:
            c.read_until("User-ID: ")
        turned_away = host.raw(source="127.0.5.1")
        holds(turned_away.read_until("logging on."), "!User-ID")
        check(turned_away.wait_closed(), "the eleventh connection stayed open")
        on_despite_drops(host, "Bob", source="127.0.5.2")   # past the host's random early drops
        held[0].steps(("Carol", "Password: "), ("carol", "]: "))   # a place comes free, but the address pays
        holds(host.raw(source="127.0.5.1").read_until("seconds."), "Please try again in")   # for the eleventh


@suite.case
def passwords_are_stored_only_as_argon2id_hashes():
    secret = "Zebra-Quartz-7731"
    with BbsHost() as host:
        host.admin_ok("user", "add", "Dora", stdin=secret + "\n")
        host.raw_user("Dora", secret).close()
        with read_only(os.path.join(host.data, "bbs.db")) as db:
            hashes = dict(db.execute("SELECT userid, password_hash FROM accounts"))
        check(set(hashes) >= {"Sysop", "Alice", "Bob", "Carol", "Dora"}, "accounts: %r" % sorted(hashes))
        for userid, value in hashes.items():
            check(value.startswith("$argon2id$v=19$"), "%s's password is kept as %r" % (userid, value[:20]))
        for path in glob.glob(os.path.join(host.data, "*")):
            with open(path, "rb") as f:
                check(secret.encode() not in f.read(), "the password is in the clear in %s" % path)


@suite.case
def no_environment_lowers_the_cost_of_the_programs_hashes():
    """BBS_FAST_HASH=1 makes cheap hashes in the test program only: bbshost keeps libsodium's interactive limits."""
    with scratch() as s:
        for program, cost in ((BBSHOST, "m=65536,t=2,p=1"), (BBSHOST_TESTING, "m=8,t=1,p=1")):
            data = os.path.join(s, os.path.basename(program))
            env = host_env(fast_hash=True)   # BBS_FAST_HASH=1
            run_ok([program, "--data", data] + config_args() + ["init", "--no-sysop"], env=env)
            run_ok([program, "--data", data, "user", "add", "Dora"], input=b"Zebra-Quartz-7731\n", env=env)
            with read_only(os.path.join(data, "bbs.db")) as db:
                (stored,), = db.execute("SELECT password_hash FROM accounts WHERE userid = 'Dora'")
            check(stored.startswith("$argon2id$v=19$%s$" % cost), "%s hashed with %r" % (program, stored[:30]))


@suite.case
def the_listener_binds_to_loopback_unless_told_otherwise():
    with BbsHost(bind=False) as host:   # started once it says "listening on 127.0.0.1:PORT"
        host.raw().read_until("User-ID: ")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.connect(("192.0.2.1", 9))   # no packet is sent
                address = probe.getsockname()[0]
            except OSError:
                address = None
        if address and not address.startswith("127."):
            try:
                socket.create_connection((address, host.port), timeout=5).close()
                raise Failure("the host answered on %s" % address)
            except (ConnectionRefusedError, socket.timeout):
                pass


@suite.case
def the_logon_dialogue_over_telnet_and_the_first_commands():
    with BbsHost() as host:
        c = host.connect()
        banner = [c.login("Alice", "not-her-password", until="Invalid login.") for _ in range(3)][0]
        holds(banner.partition("User-ID: ")[0], "Welcome to the Brakvold BBS")
        holds(c.expect_closed(), "!User-ID: ")
        alice = host.connect()
        alice.login("Nobody", "x", until="Invalid login.")
        alice.login("Alice", until="[Brakvold Alia]: ")

        c = host.connect()
        c.read_until("User-ID: ")   # the user-ID echoed, the password not, echo back after the logon:
        c.steps(("Carol", "Password: ", "Carol"), ("carol", "[Brakvold Cara]: ", "!carol"),
                ("xyzzy", "]: ", "xyzzy", "Unknown command."))
        bob = host.login("Bob")
        c = host.connect()
        c.login("bob", until="That user is already online.")
        c.expect("User-ID: ")
        bob.steps(("who", "]: ", "Alice", "Alia", "Bob", "Bobo"))
        alice.steps(("STATS", "]: ", "Copper: 12000", "Lives: 3", "Time played: 18000"),
                    ("mail", "]: ", "You have no mail."), ("quit", "Farewell."))
        alice.expect_closed()
        wait_until(lambda: bob.gone_from_who("Alia"), "Alice to leave the who list")
        check("Welcome to Brakvold, Alia!" in plain(host.login("Alice").seen), "no welcome on the second logon")


@suite.case
def telnet_protocol_on_the_wire():
    with BbsHost() as host:
        s = host.raw()
        first = s.read_until("User-ID: ")
        check((DO, NAWS) in s.commands, "the host does not ask for the window size: %r" % s.commands)
        for sent, until, wanted, what in [
                (bytes([IAC, WILL, NAWS, IAC, SB, NAWS, 0, 100, 0, 40, IAC, SE]) + b"Alice", "Password: ",
                 (WILL, ECHO), "echo is not turned off for the password"),
                (bytes([IAC, DO, ECHO]) + b"alice", "]: ", (WONT, ECHO), "echo is not turned back on after the password")]:
            seen = len(s.commands)
            s.send_raw(sent + b"\r\n")
            s.read_until(until)
            check(wanted in s.commands[seen:], "%s: %r" % (what, s.commands[seen:]))
        s.send_raw(b"wh" + bytes([IAC, NOP]) + b"o" + bytes([IAC, WILL, 24]) + b"\r\n")
        who = s.read_until("]: ")
        check("In Brakvold now:" in who and "Alia" in who, "who was not understood: %r" % who)
        stats = s.type("stats", "]: ")
        for text in (first, who, stats):
            holds(text.replace("\r\n", ""), "!\r", "!\n")
        check("Copper: 12000\r\nLives: 3\r\n" in stats, "stats lines not ended by CR LF: %r" % stats)
        s.send_raw(b"who\r\x00")
        check("In Brakvold now:" in s.read_until("]: "), "a line ended by CR NUL was not understood")


suite.main()
