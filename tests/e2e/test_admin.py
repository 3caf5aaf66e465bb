#!/usr/bin/python3
"""The admin commands of bbshost: output, changes, refusals, and changes made while users are on."""


from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("admin")


@suite.case
def accounts_are_added_shown_changed_and_deleted():
    with made_folder() as f:
        f.admin_ok("class", "add", "Guest", "--days", "7")
        f.admin_ok("user", "add", "Dave", "--class", "Guest",
                   "--credits", "250", "--days", "5", "--key", "HELPER", "--key", "SYSOP", stdin="secret\n")
        for userid, change, shown in [
                ("dave", None, "credits=250 days=5 class=Guest keys=HELPER,SYSOP"),
                ("Dave", ["--credits", "99", "--key", "HELPER"], "credits=99 days=5 class=Guest keys=HELPER"),
                ("Bob", None, "credits=5000 days=30 class=Member keys=")]:   # the demo account
            if change:
                f.admin_ok("user", "set", userid, *change)
            f.shows((("user", "show", userid), shown))

        for args, says, stdin in [
                (("user", "add", "Dave"), "", "x\n"),                  # exists already
                (("user", "add", "Eve", "--class", "Nobility"), "Nobility", "x\n"),
                (("user", "add", "E" * 30), "", "x\n"),                 # 29 characters at most
                (("user", "set", "Nobody", "--credits", "1"), "Nobody", ""),
                (("user", "set", "Dave", "--days", "70000"), "", ""),
                (("user", "set", "Dave", "--credits", "-5"), "", ""),
                (("user", "show", "Nobody"), "Nobody", ""),
                (("class", "add", "Odd", "--days", "-2"), "", ""),
                (("user", "add", "Frank"), "no password", ""),          # no password on stdin
                (("user", "add", "Frank", "--password", "x"), "", "")]:  # never on the command line
            f.refused(*args, says=says, stdin=stdin)


@suite.case
def locks_and_sign_ups_awaiting_validation():
    with made_folder() as f:
        unlocked = "credits=5000 days=30 class=Member keys="
        long_reason = "spam " * 2000
        for args, said in ((("user", "lock", "bob", "--reason", "unpaid dues"), "locked user Bob"),
                           (("user", "lock", "Carol", "--reason", long_reason), "locked user Carol")):
            equal(f.admin_ok(*args).strip(), said, " ".join(args[:3]))
        f.shows((("user", "show", "Bob"), unlocked + " locked=unpaid dues"))
        rows = {line.split("\t")[0]: line.split("\t")[1:] for line in f.admin_ok("user", "list").splitlines()}
        equal({userid: row[5:] for userid, row in rows.items()},
              {"Alice": [], "Bob": ["locked"], "Carol": ["locked"], "Sysop": []}, "user list's seventh column")
        holds(f.log_text(), "admin: user Bob locked: unpaid dues", "admin: user Carol locked: spam spam",
              "...(%d bytes)" % len(long_reason), "!" + long_reason[:1000])
        f.shows((("user", "unlock", "BOB"), "unlocked user Bob"), (("user", "show", "Bob"), unlocked))
        f.refused("user", "unlock", "Bob", says="is not locked")

        for userid in ("Dave", "Erin"):
            f.admin_ok("user", "add", userid, stdin="secret words\n")
        with contextlib.closing(sqlite3.connect(f.path("bbs.db"))) as db, db:   # as a sign-up makes them
            db.execute("UPDATE accounts SET pending_since = 1800000000 + 60 * (userid = 'Dave') WHERE userid IN ('Dave', 'Erin')")
        f.shows((("user", "pending"), "Erin\tMember\t0\t0\t2027-01-15T08:00:00Z\nDave\tMember\t0\t0\t2027-01-15T08:01:00Z"),
                (("user", "show", "Dave"), "credits=0 days=0 class=Member keys= pending=2027-01-15T08:01:00Z"),
                (("user", "validate", "dave"), "validated user Dave"), (("user", "show", "Dave"), "credits=0 days=0 class=Member keys="),
                (("user", "reject", "Erin"), "rejected user Erin"), (("user", "pending"), ""))
        for args, says in ((("user", "validate", "Dave"), "awaits no validation"), (("user", "reject", "Alice"), "awaits no validation"),
                           (("user", "show", "Erin"), "Erin"), (("user", "lock", "Nobody"), "Nobody")):
            f.refused(*args, says=says)


@suite.case
def bans_of_addresses_and_networks():
    with made_folder() as f:
        banned = {}
        for args, said in ((("192.0.2.7/24", "--for", "7d", "--reason", "guessing"), r"banned 192\.0\.2\.0/24 until (\S+)Z$"),
                           (("::ffff:198.51.100.7",), r"banned 198\.51\.100\.7 for good$"),
                           (("2001:DB8:0:1::5/48", "--for", "1s"), r"banned 2001:db8::/48 until (\S+)Z$")):
            out = f.admin_ok("ban", "add", *args).strip()
            check(re.match(said, out), "ban add %s said %r" % (" ".join(args), out))
            banned[out.split()[1]] = out
        for args, says in ((("ban", "add", "300.1.1.1"), "no IPv4 or IPv6 address"), (("ban", "add", "1.2.3.4/33"), "0 to 32"),
                           (("ban", "add", "1.2.3.4", "--for", "5x"), "30m, 12h, 7d"), (("ban", "remove", "203.0.113.9"), "no ban of")):
            f.refused(*args, says=says)
        wait_until(lambda: "\texpired\t" in f.admin_ok("ban", "list"), "the ban of one second to end", attempts=60)
        rows = [line.split("\t") for line in f.admin_ok("ban", "list").splitlines()]
        equal([(r[0], r[2] == "never", r[3], r[4]) for r in rows],
              [("192.0.2.0/24", False, "active", "guessing"), ("198.51.100.7", True, "active", "-"),
               ("2001:db8::/48", False, "expired", "-")], "ban list")
        check(banned["192.0.2.0/24"].endswith(rows[0][2]), "ban add and ban list disagree on the end: %r" % rows)
        f.shows((("ban", "remove", "192.0.2.99/24"), "removed the ban of 192.0.2.0/24"))
        equal([line.split("\t")[0] for line in f.admin_ok("ban", "list").splitlines()], ["198.51.100.7", "2001:db8::/48"],
              "the bans after a removal")
        holds(f.log_text(), "admin: 192.0.2.0/24 banned until ", ": guessing", "admin: ban of 192.0.2.0/24 removed")


def buy_description(client, text, until):
    client.enter_plus()
    client.open_editor()
    client.write(text, until=until)
    client.type("/s", CHOICE)


@suite.case
def deleting_an_account_removes_its_description_and_keeps_its_registry():
    with made_folder() as f:
        with BbsHost(data_dir=f.data) as host:
            alice = host.login("Alice")
            buy_description(alice, "Silver hair.", "Silver hair.")
            alice.steps(("x", CHOICE), ("r", CHOICE), ("e", "saving:"), ("2", ": "), ("The north", "saving:"),
                        ("x", CHOICE))
            host.stop()
        rows = f.db_rows()
        check("Alice\tQRTBKPLS_DESC" in rows and "Alia\tQRTBKPLS_REG" in rows, "nothing stored: %r" % rows)
        f.admin_ok("user", "delete", "alice")
        rows = f.db_rows()
        check("Alice\tQRTBKPLS_DESC" not in rows, "the description outlived the account: %r" % rows)
        check("Alia\tQRTBKPLS_REG" in rows, "the registry went with the account: %r" % rows)
        f.refused("user", "show", "Alice")
        f.refused("user", "delete", "Alice")


@suite.case
def players_mail_and_the_generic_database():
    with made_folder() as f:
        f.admin_ok("user", "add", "Dave", "--credits", "100", stdin="secret\n")
        f.admin_ok("player", "add", "Davo", "--account", "Dave", "--copper", "70", "--lives", "2",
                   "--played", "1234", "--gender", "M", "--race", "Gnome", "--guild", "")
        f.shows((("player", "show", "davo"), "copper=70 lives=2 played=1234"))
        for args in (("add", "Davo", "--account", "Carol"),        # the name is taken
                     ("add", "Other", "--account", "Dave"),        # Dave has a character
                     ("add", "Abcdefghijk", "--account", "Sysop"),  # 11 characters
                     ("add", "Zed", "--account", "Nobody"), ("add", "Zed", "--account", "Sysop", "--gender", "X"),
                     ("show", "Nobody")):
            f.refused("player", *args)

        with BbsHost(data_dir=f.data) as host:
            dave = host.login("Dave", "secret")
            dave.steps(("stats", "]: ", "Character: Davo", "Copper: 70"))
            buy_description(dave, "Short and small.", "small.")   # pending: mails the approval user
            host.stop()
        check(f.admin_ok("user", "show", "Dave").startswith("credits=0 "), "the description was not paid for")
        f.shows((("mail", "list", "Sysop"), "Brakvold\tDescription needs approval\tDave"),
                (("mail", "list", "Carol"), ""),
                (("db", "list"), "Dave\tQRTBKPLS_DESC"))
        f.admin_ok("db", "fill", "Q", "--count", "3", "--tag", "OTHER_MODULE")
        f.shows((("db", "list"), "Dave\tQRTBKPLS_DESC\nQ00001\tOTHER_MODULE\nQ00002\tOTHER_MODULE\nQ00003\tOTHER_MODULE"))


@suite.case
def bad_command_lines_are_refused():
    with made_folder() as f:
        for args in (("user",), ("frobnicate",), ("user", "show"), ("user", "set", "Bob", "--credits", "lots")):
            f.refused(*args)


PRIVATE_FILES = ("bbs.db", "bbs.db-wal", "bbs.db-shm", "bbshost.log", "brakvold.log")


def owner_only(data, what):
    found = {n: mode_of(os.path.join(data, n)) for n in (".",) + PRIVATE_FILES if os.path.exists(os.path.join(data, n))}
    equal(found, dict({".": 0o700}, **dict.fromkeys(PRIVATE_FILES, 0o600)), what + ": the modes, the owner's alone")


@suite.case
def the_data_folder_is_the_owners_alone_and_passwords_stay_off_the_command_line():
    with scratch() as root:
        data = os.path.join(root, "data")
        with BbsHost(data_dir=data) as host:
            host.login("Alice")
            owner_only(data, "a new data folder")
            host.stop()
        os.chmod(data, 0o755)
        for name in PRIVATE_FILES:
            path = os.path.join(data, name)
            if not os.path.exists(path):
                open(path, "a").close()
            os.chmod(path, 0o644)
        with BbsHost(data_dir=data) as host:
            host.login("Bob")
            owner_only(data, "an opened-up data folder after a start")
            host.stop()

        status, out, err = run_admin(data, "user", "add", "Dave", stdin="correct horse\n")
        check(status == 0, "user add from standard input: %r %r" % (out, err))
        status, shown = on_terminal(["--data", data, "user", "add", "Erin"],
                                    [("Password: ", "battery staple"), ("Password again: ", "battery staple")])
        check(status == 0, "user add from a terminal ended with %r: %r" % (status, shown))
        check("battery" not in shown, "the password was echoed: %r" % shown)
        with BbsHost(data_dir=data) as host:
            for userid, password in (("Dave", "correct horse"), ("Erin", "battery staple")):
                holds(host.connect().login(userid, password), "Welcome to Brakvold")


SYSOP_ENTRY = "Sysop: character descriptions"
# (user, player, user set, whether the next life is bought, days and class afterwards)
PURCHASES = [
    ("Alice", "Alia", ["--days", "0"], False, "0", "Member"),
    ("Bob", "Bobo", ["--days", "365", "--class", "Elder"], True, "364", "Elder"),
    ("Carol", "Cara", ["--days", "365", "--class", "Sysop"], True, "365", "Sysop"),]


@suite.case
def days_and_class_changed_while_online_decide_the_next_charge():
    with made_folder() as f:
        f.admin_ok("class", "add", "Elder", "--days", "400")
        set_option(f.data, "LIFEDAY", 1)    # a life costs a day
        with BbsHost(data_dir=f.data) as host:
            clients = {userid: host.raw_user(userid, plus=True) for userid, *_ in PURCHASES}
            for userid, player, change, bought, days, klass in PURCHASES:
                c = clients[userid]
                lives_before = host.lives(player)
                host.admin_ok("user", "set", userid, *change)
                reply = plain(c.buy_life())
                check(("one more life" in reply) == bought, "%s after user set %s: %r" % (userid, change, reply))
                c.type("", CHOICE)  # one more call for him: nothing may write his old copy back
                a = host.account(userid)
                check((a["days"], a["class"]) == (days, klass),
                      "%s after user set %s and a purchase: days=%s class=%s, expected %s %s" %
                      (userid, change, a["days"], a["class"], days, klass))
                check(host.lives(player) == lives_before + (1 if bought else 0),
                      "%s: the lives do not match the purchase" % userid)
            for c in clients.values():
                c.type("x", "]: ")
                c.close()
            for userid, _, _, _, days, klass in PURCHASES:
                a = host.account(userid)
                check((a["days"], a["class"]) == (days, klass), "%s after logoff: %r" % (userid, a))


@suite.case
def keys_changed_while_online_count_from_the_next_line():
    with BbsHost() as host:
        for userid, change, sysop_after in (("Sysop", ["--key", "HELPER"], False), ("Bob", ["--key", "SYSOP"], True)):
            c = host.raw_user(userid, plus=True)
            check((SYSOP_ENTRY in c.menu) != sysop_after, "%s's menu before the change: %r" % (userid, c.menu))
            host.admin_ok("user", "set", userid, *change)
            yes = "" if sysop_after else "!"   # the key counts from the next line on
            c.steps(("", CHOICE, yes + SYSOP_ENTRY), ("s", CHOICE, yes + "Approve a user's description"))
            c.close()


suite.main()
