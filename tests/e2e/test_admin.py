#!/usr/bin/python3
"""The offline administration commands of bbshost on a data folder: what each
prints, what it changes, and the clear refusal (exit status 2) of bad input."""

import os
import shutil
import stat
import sys
import tempfile

import pexpect

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (BBSHOST, CHOICE, BbsHost, Suite, check, host_env, made_folder,  # noqa: E402
                         plain, run_admin)

suite = Suite("admin")


def refused(f, *args, says="", stdin=""):
    status, out, err = f.admin(*args, stdin=stdin)
    check(status == 2, "%s answered %s instead of 2: %r %r" % (" ".join(args), status, out, err))
    check(err.strip() != "", "%s was refused without a word" % " ".join(args))
    check(says in err, "%s: the error does not say %r: %r" % (" ".join(args), says, err))


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
            out = f.admin_ok("user", "show", userid)
            check(out.strip() == shown, "user show %s after %r: %r" % (userid, change, out))

        refused(f, "user", "add", "Dave", stdin="x\n")                  # exists already
        refused(f, "user", "add", "Eve", "--class", "Nobility", says="Nobility", stdin="x\n")
        refused(f, "user", "add", "E" * 30, stdin="x\n")                 # 29 characters at most
        refused(f, "user", "set", "Nobody", "--credits", "1", says="Nobody")
        refused(f, "user", "set", "Dave", "--days", "70000")
        refused(f, "user", "set", "Dave", "--credits", "-5")
        refused(f, "user", "show", "Nobody", says="Nobody")
        refused(f, "class", "add", "Odd", "--days", "-2")
        refused(f, "user", "add", "Frank", says="no password")          # no password on stdin
        refused(f, "user", "add", "Frank", "--password", "x")           # never on the command line


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
            alice.type("x", CHOICE)
            alice.type("r", CHOICE)
            alice.type("e", "saving:")
            alice.edit_registry("2", "The north", "saving:")
            alice.type("x", CHOICE)
            host.stop()
        rows = f.db_rows()
        check("Alice\tQRTBKPLS_DESC" in rows and "Alia\tQRTBKPLS_REG" in rows, "nothing stored: %r" % rows)
        f.admin_ok("user", "delete", "alice")
        rows = f.db_rows()
        check("Alice\tQRTBKPLS_DESC" not in rows, "the description outlived the account: %r" % rows)
        check("Alia\tQRTBKPLS_REG" in rows, "the registry went with the account: %r" % rows)
        refused(f, "user", "show", "Alice")
        refused(f, "user", "delete", "Alice")


@suite.case
def players_mail_and_the_generic_database():
    with made_folder() as f:
        f.admin_ok("user", "add", "Dave", "--credits", "100", stdin="secret\n")
        f.admin_ok("player", "add", "Davo", "--account", "Dave", "--copper", "70", "--lives", "2",
                   "--played", "1234", "--gender", "M", "--race", "Gnome", "--guild", "")
        out = f.admin_ok("player", "show", "davo")
        check(out.strip() == "copper=70 lives=2 played=1234", "player show: %r" % out)
        refused(f, "player", "add", "Davo", "--account", "Carol")       # the name is taken
        refused(f, "player", "add", "Other", "--account", "Dave")       # Dave has a character
        refused(f, "player", "add", "Abcdefghijk", "--account", "Sysop")  # 11 characters
        refused(f, "player", "add", "Zed", "--account", "Nobody")
        refused(f, "player", "add", "Zed", "--account", "Sysop", "--gender", "X")
        refused(f, "player", "show", "Nobody")

        with BbsHost(data_dir=f.data) as host:
            dave = host.login("Dave", "secret")
            stats = plain(dave.type("stats", "]: "))
            check("Character: Davo" in stats and "Copper: 70" in stats, "the new character: %r" % stats)
            buy_description(dave, "Short and small.", "small.")   # pending: mails the approval user
            host.stop()
        check(f.admin_ok("user", "show", "Dave").startswith("credits=0 "), "the description was not paid for")
        out = f.admin_ok("mail", "list", "Sysop")
        check(out.splitlines() == ["Brakvold\tDescription needs approval\tDave"], "mail list: %r" % out)
        out = f.admin_ok("mail", "list", "Carol")
        check(out == "", "Carol has mail: %r" % out)
        check(f.db_rows() == ["Dave\tQRTBKPLS_DESC"], "db list: %r" % f.db_rows())

        f.admin_ok("db", "fill", "Q", "--count", "3", "--tag", "OTHER_MODULE")
        rows = f.db_rows()
        check(rows == ["Dave\tQRTBKPLS_DESC", "Q00001\tOTHER_MODULE", "Q00002\tOTHER_MODULE",
                       "Q00003\tOTHER_MODULE"], "db list after fill is not in key order: %r" % rows)


@suite.case
def bad_command_lines_and_missing_folders():
    with made_folder() as f:
        refused(f, "user")                       # a command without its subcommand
        refused(f, "frobnicate")
        refused(f, "user", "show")               # no ID
        refused(f, "user", "set", "Bob", "--credits", "lots")
    missing = os.path.join(tempfile.gettempdir(), "bbshost-e2e-no-such-folder")
    shutil.rmtree(missing, ignore_errors=True)
    status, out, err = run_admin(missing, "user", "show", "Bob")
    check(status == 2 and "bbshost-e2e-no-such-folder" in err,
          "a missing data folder is not refused clearly: %s %r" % (status, err))
    check(not os.path.exists(missing), "an admin command created the data folder")


PRIVATE_FILES = ("bbs.db", "bbs.db-wal", "bbs.db-shm", "bbshost.log", "brakvold.log")


def owner_only(data, what):
    """The data folder 0700 and every private file there and 0600."""
    found = {".": stat.S_IMODE(os.stat(data).st_mode)}
    for name in PRIVATE_FILES:
        if os.path.exists(os.path.join(data, name)):
            found[name] = stat.S_IMODE(os.stat(os.path.join(data, name)).st_mode)
    check(set(found) == {"."} | set(PRIVATE_FILES), "%s: files missing: %r" % (what, found))
    wrong = {name: oct(mode) for name, mode in found.items() if mode != (0o700 if name == "." else 0o600)}
    check(not wrong, "%s: not the owner's alone: %r" % (what, wrong))


@suite.case
def the_data_folder_is_the_owners_alone_and_passwords_stay_off_the_command_line():
    root = tempfile.mkdtemp(prefix="bbshost-e2e-private-")
    data = os.path.join(root, "data")
    try:
        # A new data folder, with the database's WAL files open and both logs.
        with BbsHost(data_dir=data) as host:
            host.login("Alice")
            owner_only(data, "a new data folder")
            host.stop()
        # One that was opened up (a copy, an old version) is closed again at start.
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

        # The password of a new account: one line of standard input...
        status, out, err = run_admin(data, "user", "add", "Dave", stdin="correct horse\n")
        check(status == 0, "user add from standard input: %r %r" % (out, err))
        # ... or, from a terminal, typed twice and never shown.
        term = pexpect.spawn(BBSHOST, ["--data", data, "user", "add", "Erin"], env=host_env(),
                             encoding="utf-8", timeout=60)
        try:
            term.expect_exact("Password: ")
            term.sendline("battery staple")
            term.expect_exact("Password again: ")
            term.sendline("battery staple")
            term.expect(pexpect.EOF)
            shown = term.before
        finally:
            term.close(force=True)
        check(term.exitstatus == 0, "user add from a terminal ended with %r: %r" % (term.exitstatus, shown))
        check("battery" not in shown, "the password was echoed: %r" % shown)
        with BbsHost(data_dir=data) as host:
            for userid, password in (("Dave", "correct horse"), ("Erin", "battery staple")):
                out = host.connect().login(userid, password)
                check("Welcome to Brakvold" in out, "%s cannot log on: %r" % (userid, out))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    suite.main()
