#!/usr/bin/python3
"""A sysop's commands: init, list and set, passwords, backup and restore, make install."""

import datetime
import urllib.request

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("sysop")
ok = admin_ok

LIFE_CREDITS, LIFE_COPPER = 500, 1000   # the shipped QRTBKPLS.MSG's price of a life
INIT = config_args() + ["init"]


def check_recent(stamp, since, what):
    when = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc).timestamp()
    check(since - 1 <= when <= time.time() + 1, "%s %r is not the one just made" % (what, stamp))


def logs_on(host, userid, password):
    return host.attempt(userid, password) == "]: "


@suite.case
def init_makes_a_folder_for_real_use_without_the_demo_population():
    with scratch() as s:
        data = os.path.join(s, "data")
        out = ok(data, *INIT, stdin="Ann\nfirst words\n")
        check(out.splitlines() == ["created data folder %s (classes Member and Sysop, no users)" % data,
                                   "added sysop Ann (class Sysop, key SYSOP)", "QRTBKPLS.MSG: APPRUID set to Ann",
                                   "brakvold.ini: PLUS_PURCHASE_EMAIL_USERID set to Ann"], "init said: %r" % out)
        equal(mode_of(data), 0o700, "the mode of the new folder")
        shows(data, (("user", "list"), "Ann\tSysop\t0\t0\tSYSOP\tnever"), (("class", "list"), "Member\t365\nSysop\t-1"),
              (("player", "list"), ""), (("mail", "list", "Ann"), ""))
        refused(data, *INIT, says="has users already", stdin="Bob\nx\n")
        before = time.time()
        with BbsHost(data_dir=data) as host:
            check(not logs_on(host, "Alice", "alice"), "the demo user Alice exists")
            holds(host.login("Ann", "first words", plus=True).menu, "Sysop: character descriptions")
            host.stop_cleanly()
        check_recent(ok(data, "user", "list").splitlines()[0].split("\t")[5], before, "Ann's last logon")
        later = os.path.join(s, "later")
        os.mkdir(later)
        ok(later, *INIT, "--no-sysop")
        shows(later, (("user", "list"), ""))
        with BbsHost(data_dir=later) as host:   # it serves, with nobody to log on yet
            status, shown = on_terminal(["--data", later] + INIT, [
                ("User-ID of the first sysop: ", "Sysop"), ("Password: ", "unseen words"),
                ("Password again: ", "unseen words")])
            check(status == 0 and "added sysop Sysop" in shown, "init on a terminal: %s %r" % (status, shown))
            check("unseen" not in shown, "the password was shown: %r" % shown)
            check("APPRUID" not in shown, "the approval user was changed to the same name: %r" % shown)
            check(logs_on(host, "Sysop", "unseen words"), "the sysop added while serving cannot log on")
            host.stop_cleanly()

        full, empty = os.path.join(s, "full"), os.path.join(s, "empty")
        os.mkdir(full)
        with open(os.path.join(full, "notes.txt"), "w") as f:
            f.write("a sysop's own file\n")
        refused(full, *INIT, says="neither empty nor a data folder", stdin="Ann\nx\n")
        os.mkdir(empty)
        proc = subprocess.run([BBSHOST, "--data", empty, "--port", "0"], env=host_env(), timeout=60,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        err = proc.stderr.decode()
        check(proc.returncode == 1 and "init" in err and os.listdir(empty) == [],
              "the host on an empty folder: %s %r %r" % (proc.returncode, err, os.listdir(empty)))
        refused(os.path.join(s, "no-id"), *INIT, says="no user-ID", stdin="")
        # The purchase mails' receiver as the game reads it: any letter case, blanks, a comment.
        spaced = os.path.join(s, "spaced")
        ok(spaced, *INIT, "--no-sysop")
        edit_file(os.path.join(spaced, "brakvold.ini"), r"(?m)^PLUS_PURCHASE_EMAIL_USERID=Sysop$",
                  "plus_purchase_email_userid = Sysop ; mailed for purchases")
        holds(ok(spaced, *INIT, stdin="Ann\nx\n"), "brakvold.ini: PLUS_PURCHASE_EMAIL_USERID set to Ann")
        holds(read(os.path.join(spaced, "brakvold.ini")), "\nplus_purchase_email_userid = Ann ; mailed for purchases\n")


@suite.case
def lists_sets_and_passwords_while_the_host_runs():
    with made_folder() as f:
        data = f.data
        with BbsHost(data_dir=data) as host:
            before = time.time()
            alice = host.login("Alice", "alice")
            rows = [line.split("\t") for line in ok(data, "user", "list").splitlines()]
            check([r[:5] for r in rows] == [
                ["Alice", "Member", "5000", "30", "-"], ["Bob", "Member", "5000", "30", "-"],
                ["Carol", "Member", "5000", "30", "-"], ["Sysop", "Sysop", "100000", "365", "SYSOP"]],
                "user list: %r" % rows)
            check([r[5] for r in rows[1:]] == ["never"] * 3, "logons nobody made: %r" % rows)
            check_recent(rows[0][5], before, "Alice's last logon")
            shows(data, (("player", "list"),
                         "Alia\tAlice\t12000\t3\t18000\nBobo\tBob\t3500\t2\t9000\nCara\tCarol\t20000\t5\t31000"),
                  (("player", "set", "alia", "--copper", "1500", "--lives", "4"), "updated player Alia"))
            alice.steps(("stats", "]: ", "Copper: 1500"), ("ext", "Extension: "), ("*", CHOICE), ("l", "buy one? "),
                        ("y", CHOICE, "one more life"))
            shows(data, (("player", "show", "Alia"), "copper=%d lives=5 played=18000" % (1500 - LIFE_COPPER)),
                  (("user", "show", "Alice"), "credits=%d days=30 class=Member keys=" % (5000 - LIFE_CREDITS)))
            ok(data, "class", "set", "Member", "--days", "90")
            shows(data, (("class", "list"), "Member\t90\nSysop\t-1"))
            check(ok(data, "user", "passwd", "bob", stdin="new secret\n").strip() ==
                  "changed the password of user Bob", "user passwd did not say so")
            check(logs_on(host, "Bob", "new secret"), "Bob cannot log on with his new password")
            check(not logs_on(host, "Bob", "bob"), "Bob's old password still works")
            status, shown = on_terminal(["--data", data, "user", "passwd", "Carol"],
                                        [("Password: ", "blue moon"), ("Password again: ", "blue moon")])
            check(status == 0 and "blue" not in shown, "user passwd on a terminal: %s %r" % (status, shown))
            status, shown = on_terminal(["--data", data, "user", "passwd", "Carol"],
                                        [("Password: ", "one"), ("Password again: ", "other")])
            check(status == 2 and "differ" in shown, "differing passwords were taken: %s %r" % (status, shown))
            check(logs_on(host, "Carol", "blue moon"), "Carol cannot log on with her new password")

            for args, says in (
                    (("user", "passwd", "Nobody"), "Nobody"),
                    (("user", "passwd", "Bob"), "no password"),            # nothing on standard input
                    (("player", "set", "Nobody", "--copper", "1"), "Nobody"),
                    (("player", "set", "Alia", "--lives", "-1"), "lives"),
                    (("player", "set", "Alia", "--copper", ""), "a whole number"),   # not "leave it" nor 0
                    (("user", "set", "Bob", "--credits", ""), "a whole number"),
                    (("player", "set", "Alia", "--gender", "X"), "gender"),
                    (("player", "set", "Alia", "--title", "T" * 80), "title"),
                    (("class", "set", "Nobility", "--days", "5"), "Nobility"),
                    (("class", "set", "Member", "--days", "-2"), "days")):
                refused(data, *args, says=says)
            shows(data, (("player", "show", "Alia"), "copper=500 lives=5 played=18000"))   # the refusals changed nothing
            host.stop_cleanly()

        if os.geteuid() == 0:
            os.chown(data, 65534, 65534)
            refused(data, "user", "list", says="not as root")
            os.chown(data, 0, 0)


def buyer(port, data, stop, state):
    """Alice buys lives; after each sixth the sysop sets her back to three while she plays."""
    try:
        c = RawClient(port)
        c.login("Alice", plus=True)
        while not stop.is_set() and state["confirmed"] < 2000:
            holds(c.buy_life(), "one more life")
            state["confirmed"] += 1
            if state["confirmed"] % 6 == 0:
                ok(data, "player", "set", "Alia", "--lives", "3")
        c.close()
    except Exception as e:  # noqa: BLE001 - reported by the test
        state["error"] = "%s: %s" % (type(e).__name__, e)


def wait_for(state, n, what):
    wait_until(lambda: state["confirmed"] >= n or state["error"], "%d purchases %s" % (n, what), attempts=1200)
    check(state["error"] is None, "the buyer failed: %s" % state["error"])


def copy_of_folder(data, to):
    os.mkdir(to, 0o700)
    for name in ("QRTBKPLS.MSG", "QRTBKPLS.MDF", "brakvold.ini"):
        shutil.copy(os.path.join(data, name), to)


@suite.case
def a_backup_under_load_holds_every_purchase_confirmed_before_it_began():
    with made_folder() as f:
        data, s = f.data, f.scratch
        start_credits, start_copper = 10000000, 20000000
        ok(data, "user", "set", "Alice", "--credits", str(start_credits))
        ok(data, "player", "set", "Alia", "--copper", str(start_copper))
        ok(data, "db", "fill", "LOAD", "--count", "60000")
        backup = os.path.join(s, "backups/monday.db")
        os.mkdir(os.path.join(s, "backups"))
        with BbsHost(data_dir=data) as host:
            stop, state = threading.Event(), {"confirmed": 0, "error": None}
            thread = threading.Thread(target=buyer, args=(host.port, data, stop, state), daemon=True)
            thread.start()
            try:
                wait_for(state, 3, "before the backup")
                confirmed_before = state["confirmed"]
                out = ok(data, "backup", backup)
                wait_for(state, state["confirmed"] + 2, "after the backup: the host was held up")
            finally:
                stop.set()
                thread.join(30)
            check(not thread.is_alive() and state["error"] is None, "the buyer: %s" % state["error"])
            check(out.strip().startswith("backup of %s written to %s (" % (os.path.join(data, "bbs.db"), backup))
                  and out.strip().endswith("pages, integrity check ok)"), "backup said: %r" % out)
            holds(host.log_text(), "admin: backup of the database written to " + backup)
            host.stop_cleanly()

        equal(mode_of(backup), 0o600, "the mode of the backup")
        equal(sorted(os.listdir(os.path.join(s, "backups"))), ["monday.db"], "the backup folder")
        with read_only(backup) as db:
            check(db.execute("PRAGMA integrity_check").fetchall() == [("ok",)], "the backup is broken")
            check(db.execute("PRAGMA journal_mode").fetchone()[0] == "delete", "the backup is in WAL mode")
            check(db.execute("SELECT count(*) FROM generic").fetchone()[0] >= 60000, "records missing")

        look = os.path.join(s, "look")
        copy_of_folder(data, look)
        ok(look, "restore", backup)
        credits = int(re.match(r"credits=(\d+) ", ok(look, "user", "show", "Alice")).group(1))
        copper, lives = map(int, re.match(r"copper=(\d+) lives=(\d+) ", ok(look, "player", "show", "Alia")).groups())
        bought = (start_credits - credits) // LIFE_CREDITS
        check(start_credits - credits == bought * LIFE_CREDITS and bought >= confirmed_before,
              "the backup charged %d credits; %d lives were confirmed before it began" %
              (start_credits - credits, confirmed_before))
        check(start_copper - copper == bought * LIFE_COPPER,
              "the backup charged %d copper for %d lives" % (start_copper - copper, bought))
        check(lives == 3 + bought % 6 or (lives == 9 and bought % 6 == 0), "%d lives after %d bought" % (lives, bought))
        with BbsHost(data_dir=look) as host:
            host.raw_user("Alice").steps(("stats", "]: ", "Copper: %d" % copper))
            host.stop_cleanly()


@suite.case
def restore_waits_for_the_host_to_stop_and_refuses_what_is_no_backup():
    with made_folder() as f:
        data, s = f.data, f.scratch
        backup = os.path.join(s, "saturday.db")
        with BbsHost(data_dir=data) as host:
            ok(data, "backup", backup)
            refused(data, "backup", backup, says="exists already")
            ok(data, "user", "add", "Zed", stdin="zed\n")
            ok(data, "user", "set", "Alice", "--credits", "1")
            err = refused(data, "restore", backup, status=1, says="stop it first")
            check(str(host.proc.pid) in err, "the refusal does not name the host's process: %r" % err)
            check(ok(data, "user", "show", "Zed"), "a refused restore changed the database")
            serve_expecting_failure(data, says=["in use by process %d" % host.proc.pid])   # a second host
            host.stop_cleanly()

        garbage = os.path.join(s, "garbage.db")
        with open(garbage, "wb") as f:
            f.write(b"\x00not a database" * 300)
        other = os.path.join(s, "other.db")
        sqlite3.connect(other).execute("CREATE TABLE t (x)").connection.close()
        for path, says in ((garbage, "garbage.db"), (other, "no database of bbshost"),
                           (os.path.join(s, "missing.db"), "no backup file")):
            refused(data, "restore", path, says=says)
        check(ok(data, "user", "show", "Zed"), "a refused restore changed the database")

        shows(data, (("restore", backup), "restored %s from %s (integrity check ok)" % (data + "/bbs.db", backup)),
              (("user", "show", "Alice"), "credits=5000 days=30 class=Member keys="))
        refused(data, "user", "show", "Zed", says="Zed")
        with BbsHost(data_dir=data) as host:
            check(logs_on(host, "Alice", "alice"), "Alice cannot log on after the restore")
            check("admin: database restored from " + backup in host.log_text(), "the host log has no restore")
            host.stop_cleanly()


@suite.case
def version_and_every_option_of_a_command_in_its_help():
    status, out, err = run_admin("unused", "--version")
    check(status == 0 and re.fullmatch(r"bbshost \(Brakvold Plus\) \d+\.\d+\.\d+\n", out), "--version: %r" % out)
    for command, options in ((("user", "--help"), ("add", "passwd", "list", "--credits", "--days", "--class", "--key")),
                             (("player", "set", "--help"), ("--copper", "--lives", "--gender", "--title", "--room")),
                             (("player", "--help"), ("list", "set", "--account", "--hit-points")),
                             (("backup", "--help"), ("FILE", "--replace")),
                             (("init", "--help"), ("--sysop", "--no-sysop"))):
        status, out, err = run_admin("unused", *command)
        missing = [o for o in options if o not in out]
        check(status == 0 and not missing, "%s: %s, missing %r:\n%s" % (" ".join(command), status, missing, out))


def install(prefix, destdir=None):
    build = os.path.dirname(os.path.dirname(BBSHOST))
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if destdir:
        env["DESTDIR"] = destdir
    run_ok(["cmake", "--install", build, "--prefix", prefix], env=env, stderr=subprocess.STDOUT)
    root = destdir or "/"
    files = []
    for top, _, names in os.walk(destdir or prefix):
        files += [os.path.relpath(os.path.join(top, n), root) for n in names]
    return sorted(files)


@suite.case
def make_install_puts_everything_under_the_prefix_and_the_installed_host_serves():
    with scratch() as s:
        stage = os.path.join(s, "stage")
        files = install("/usr", destdir=stage)
        check(files == sorted(f if f.startswith("etc/") else "usr/" + f for f in INSTALLED),
              "installed into DESTDIR with the prefix /usr: %r" % files)
        unit = read(os.path.join(stage, "usr/lib/systemd/system/brakvold-plus.service"))
        for line in ("ExecStart=/usr/bin/bbshost --data /var/lib/brakvold-plus $BBSHOST_OPTIONS",
                     "EnvironmentFile=-/etc/default/brakvold-plus", "User=brakvold",
                     "StateDirectory=brakvold-plus", "NoNewPrivileges=yes", "ProtectSystem=strict",
                     "PrivateTmp=yes", "CapabilityBoundingSet=\n", "ExecReload=/bin/kill -HUP $MAINPID",
                     "KillSignal=SIGTERM", "Type=notify\n", "WatchdogSec="):
            check(line in unit + "\n", "the unit lacks %r:\n%s" % (line, unit))
        check(not any(stage in open(os.path.join(stage, f), errors="replace").read()
                      for f in files if not f.endswith((".so", "bbshost"))),
              "an installed file names the staging folder")

        prefix = os.path.join(s, "opt")
        check(install(prefix) == sorted(os.path.relpath(os.path.join(prefix, f), "/") for f in INSTALLED),
              "installed with the prefix %s" % prefix)
        program = os.path.join(prefix, "bin/bbshost")
        unit = os.path.join(prefix, "lib/systemd/system/brakvold-plus.service")
        check(shutil.which("systemd-analyze"), "systemd-analyze is missing (scripts/bootstrap installs systemd)")
        said = run_ok(["systemd-analyze", "verify", unit], stderr=subprocess.STDOUT)
        check(not said.strip(), "systemd-analyze verify: %r" % said)
        said = run_ok(["systemd-analyze", "security", "--offline=yes", unit], stderr=subprocess.STDOUT)
        exposure = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", said)
        check(exposure and float(exposure.group(1)) <= 1.4, "systemd-analyze security: %r" % said[-300:])
        data = os.path.join(s, "data")
        run_ok([program, "--data", data, "init", "--sysop", "Ann"], input=b"first words\n", env=host_env())
        holds(read(os.path.join(data, "brakvold.ini")), "PLUS_PURCHASE_EMAIL_USERID=Ann")   # the installed templates
        with open(os.path.join(prefix, "share/brakvold-plus/web/index.html"), "a") as f:
            f.write("<!-- installed -->\n")
        http_port = free_port()
        with BbsHost(data_dir=data, program=program, options=["--http-port", str(http_port)]) as host:
            wait_until(lambda: "127.0.0.1:%d" % http_port in host.output(), "the installed web listener")
            with urllib.request.urlopen("http://127.0.0.1:%d/" % http_port, timeout=30) as answer:
                check(b"<!-- installed -->" in answer.read(), "the installed host did not serve the installed page")
            libraries = [prefix + "/lib/brakvold-plus/" + n for n in ("libbbs.so", "libqrtbrak.so", "libqrtbkpls.so")]
            holds(read("/proc/%d/maps" % host.proc.pid), *libraries, "!" + BBSHOST.rsplit("/bin/", 1)[0])   # not the build
            holds(host.raw_user("Ann", "first words", plus=True).menu, "Sysop: character descriptions")
            host.stop_cleanly()


suite.main()
