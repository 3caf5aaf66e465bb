#!/usr/bin/python3
"""Configuration mistakes: message files refused at start and at reload, Y/N, reload order."""

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("config")


def line_of(text, part):
    return text[:text.index(part)].count("\n") + 1


def price_shown(client):
    out = plain(client.steps(("d", CHOICE), ("d", "Do you wish to continue? ")))
    client.steps(("no", CHOICE), ("x", CHOICE))
    match = re.search(r"cost you (\d+) credits", out)
    check(match is not None, "no price screen: %r" % out)
    return int(match.group(1))


# (pattern, replacement, the text on the line named or None, what the error says)
REFUSED = [
    (r"\n14 DESCLNS \{10\}", "\n14 DESCLNS {10", "14 DESCLNS {10", ["missing '}'", "Cannot open QRTBKPLS.MCV!"]),
    (r"\n28 PLSPRMT \{", "\n28 PLSPRMT {100% sure: ", "100% sure",
     ["28 PLSPRMT", "\"% s\"", "write %% for a percent sign"]),
    (r"\n59 BADCHC \{[^}]*\}", "\n59 BADCHC {Not 100%}", "Not 100%}", ["59 BADCHC", "a lone '%' at the end"]),
    (r"\n%s\n}", "\nbad %d\n}", "bad %d", ["20 CURDESC", "\"%d\"", "argument 1 is a string"]),   # %d for a string
    (r"\{\\e\[1;33m%d registries", "{\\e[1;33m%n registries", "%n registries", ["67 LSTCNT", "\"%n\""]),
    (r"\nDo you wish to buy one\? \}", "\nDo you wish to buy one? %y}", "%y}", ["25 LIFECST", "\"%y\""]),
    (r"\n#: prfmsg\n66 LSTNONE \{[^}]*\}\n", "\n", None, ["66 LSTNONE", "missing"]),   # a message left out
    (r"(?s)^.*$", "", None, ["4 DESCCRD", "missing", "67 LSTCNT"]),   # an empty file
    (r"\n4 DESCCRD \{100\}", "\n4 DESCCRD {1,000}", "{1,000}", ["4 DESCCRD", "\"1,000\" is not a number"]),
    (r"\n15 DESCAPP \{YES\}", "\n15 DESCAPP {Maybe}", "{Maybe}", ["15 DESCAPP", "\"Maybe\"", "YES, NO, Y or N"]),
]


@suite.case
def refused_message_files_stop_the_start_and_say_why():
    with made_folder() as first:
        shipped = read(first.path("QRTBKPLS.MSG"))
        for pattern, replacement, at, says in REFUSED:
            what = replacement.strip() or "an empty file"
            text = edited(shipped, pattern, replacement)
            write_atomically(first.path("QRTBKPLS.MSG"), text)
            log_before = len(first.log_text())
            out, err = serve_expecting_failure(first.data)
            check("listening" not in out, "%s: the host started: %r" % (what, out))
            log = first.log_text()[log_before:]
            where = "QRTBKPLS.MSG:%d: " % line_of(text, at) if at else "QRTBKPLS.MSG: "
            for part in [where] + says:
                check(part in err, "%s: stderr does not say %r:\n%s" % (what, part, err))
                check(part in log, "%s: the host log does not say %r:\n%s" % (what, part, log))
        write_atomically(first.path("QRTBKPLS.MSG"), shipped)
        with BbsHost(data_dir=first.data) as again:
            check(again.stop() == 0, "the shipped file does not start after the refusals")


@suite.case
def a_refused_reload_keeps_the_loaded_file_in_force():
    with BbsHost() as host:
        shipped = read(host.path("QRTBKPLS.MSG"))
        alice = host.login("Alice", plus=True)
        bob = host.login("Bob")
        for what, pattern, replacement, says in [
                ("a percent sign in the prompt", r"\n28 PLSPRMT \{", "\n28 PLSPRMT {100% sure: ", "28 PLSPRMT"),
                ("%s in the prompt", r"\n28 PLSPRMT \{", "\n28 PLSPRMT {%s%s%s%n ", "28 PLSPRMT"),
                ("an empty file", r"(?s)^.*$", "", "4 DESCCRD"),
                ("a price with a comma", r"\n4 DESCCRD \{100\}", "\n4 DESCCRD {1,000}", "\"1,000\""),
                ("Y/N for YES/NO misspelt", r"\n15 DESCAPP \{YES\}", "\n15 DESCAPP {YEAH}", "\"YEAH\""),
                ("a missing closing brace", r"\n18 LOOKCMD \{/lookup\}", "\n18 LOOKCMD {/lookup", "missing '}'")]:
            write_atomically(host.path("QRTBKPLS.MSG"), edited(shipped, pattern, replacement))
            log, _ = host.reload()
            check(says in log and "QRTBKPLS.MSG" in log, "%s: the log does not say why:\n%s" % (what, log))
            check("message file QRTBKPLS.MCV kept as it was" in log, "%s: no word of the kept file:\n%s" % (what, log))
            check(price_shown(alice) == 100, "%s: the description price changed" % what)
            bob.steps(("/lookup Alia", "]: ", "Alia", "Elf"))   # the lookup command kept
        write_atomically(host.path("QRTBKPLS.MSG"), edited(shipped, r"\n4 DESCCRD \{100\}", "\n4 DESCCRD {250}"))
        host.reload()
        check(price_shown(alice) == 250, "a good file after the refused ones is not taken")
        host.stop_cleanly()


@suite.case
def yes_no_options_take_y_and_n():
    with BbsHost() as host:
        shipped = edited(read(host.path("QRTBKPLS.MSG")), r"\n4 DESCCRD \{100\}", "\n4 DESCCRD {0}")
        alice = host.login("Alice", plus=True)
        for value, waits in [("Y", True), ("n", False), ("yes", True), ("N", False)]:
            write_atomically(host.path("QRTBKPLS.MSG"),
                             edited(shipped, r"\n15 DESCAPP \{YES\}", "\n15 DESCAPP {%s}" % value))
            host.reload()
            text = "Written with DESCAPP %s." % value
            alice.steps(("d", CHOICE), ("d", "/h helps."), ("/c", "Text cleared."), (text, None),
                        ("/s", CHOICE, text, ("" if waits else "!") + "waits for a sysop's approval"), ("x", CHOICE))
        holds(host.log_text(), "!DESCAPP")


@suite.case
def many_processes_compile_at_once_while_the_source_changes():
    with BbsHost() as host:
        shipped = read(host.path("QRTBKPLS.MSG"))
        alice = host.login("Alice", plus=True)
        rounds, workers = 6, 3
        for n in range(rounds * workers):
            host.admin_ok("user", "add", "Temp%02d" % n, stdin="x\n")
        failures = []

        def delete(userid):
            status, out, err = host.admin("user", "delete", userid)
            if status != 0:
                failures.append("user delete %s: %s %r" % (userid, status, err))

        log_before = len(host.log_text())
        for r in range(rounds):
            price = 300 + r
            threads = [threading.Thread(target=delete, args=("Temp%02d" % (r * workers + k),)) for k in range(workers)]
            for t in threads:
                t.start()
            write_atomically(host.path("QRTBKPLS.MSG"),
                             edited(shipped, r"\n4 DESCCRD \{100\}", "\n4 DESCCRD {%d}" % price))
            host.reload()
            for t in threads:
                t.join(120)
            check(not failures, "admin commands failed while others compiled:\n" + "\n".join(failures))
            check(price_shown(alice) == price, "round %d: the reload after the rewrite was skipped" % r)
        holds(host.log_text()[log_before:], "!error")
        host.stop_cleanly()
        equal([n for n in os.listdir(host.data) if n.upper().startswith("QRTBKPLS.MCV")], ["QRTBKPLS.MCV"],
              "the compiled files: no temporary one left")


NOTE = "Note that *only* email"


@suite.case
def sighup_reads_the_game_ini_before_the_module_settings():
    with BbsHost() as host:
        alice = host.login("Alice", plus=True)
        check(price_shown(alice) == 100, "the shipped price is not shown")
        set_option(host.data, "DESCCRD", "250")
        set_ini(host.data, "SEND_EMAIL_FOR_PURCHASES", "1")
        host.reload()
        check(price_shown(alice) == 250, "the reloaded price is not shown")
        check(NOTE + " (to Sysop)" in host.game_log(), "mail-only mode was not announced:\n" + host.game_log())
        before = host.credits("Alice")
        holds(plain(alice.buy_life()), "one more life")
        check(host.credits("Alice") == before, "mail-only mode charged credits")
        holds(host.admin_ok("mail", "list", "Sysop"), "Alice bought mud life")
        set_ini(host.data, "SEND_EMAIL_FOR_PURCHASES", "0")
        holds(host.reload()[1], "!" + NOTE)   # switched off: no note
        set_ini(host.data, "SEND_EMAIL_FOR_PURCHASES", "1")
        set_ini(host.data, "PLUS_PURCHASE_EMAIL_USERID", "Carol")
        _, game_log = host.reload()
        notes = [line for line in game_log.splitlines() if NOTE in line]
        check(notes and all("(to Carol)" in line for line in notes), "the notes of the reload: %r" % notes)
        set_ini(host.data, "PLUS_PURCHASE_EMAIL_USERID", "")
        holds(host.reload()[1], "!" + NOTE)   # no mail-only mode to nobody
        check(re.search(r"warning: .*PLUS_PURCHASE_EMAIL_USERID is empty", host.log_text()),
              "no warning of the empty user-ID:\n" + host.log_text()[-1500:])
        check(price_shown(alice) == 250, "the price is not charged with an empty purchase-mail user-ID")
        host.stop_cleanly()


@suite.case
def account_commands_leave_the_game_log_and_the_modules_alone():
    with made_folder() as host:
        set_ini(host.data, "SEND_EMAIL_FOR_PURCHASES", "1")
        before, log_before = host.game_log(), len(host.log_text())
        for command in [("user", "add", "Dave"), ("user", "show", "Alice"),
                        ("user", "set", "Bob", "--credits", "7"), ("class", "add", "Guest", "--days", "7"),
                        ("db", "list"), ("player", "show", "Alia"), ("mail", "list", "Sysop")]:
            host.admin_ok(*command, stdin="dave\n")
            check(host.game_log() == before, "%s wrote to the game log:\n%s" % (" ".join(command), host.game_log()))
        holds(host.log_text()[log_before:], "!libqrtbkpls.so")


suite.main()
