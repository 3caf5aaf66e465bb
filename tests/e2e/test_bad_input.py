#!/usr/bin/python3
"""Bad input over the wire and on disk, each with one clear outcome:

- lines far longer than any field: the telnet session keeps 512 bytes of a
  line, the host cuts the cleaned line to 255 (HOST_INPSIZ - 1);
- NUL and other control bytes: dropped; typed ANSI escapes: removed whole;
- telnet IAC garbage and half sequences: an unknown command is dropped with
  its IAC, a sequence split over two reads is completed by the second, an
  unterminated or oversized subnegotiation swallows its bytes (oversized:
  a warning in the log, then reading goes on);
- printf conversions, blanks and 200 characters in user-IDs: plain text,
  refused logons, nothing else;
- a message file with a syntax error: the host does not start and says
  where; out-of-range options: clamped and logged; a broken file at reload:
  the loaded one is kept (test_config.py has the other refusals);
- a missing, unusable or unreadable data folder: a clear error, exit 1.
In all of it the host keeps serving its other users."""

import os
import re
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (CHOICE, BbsHost, Suite, check, edit_file, made_folder,  # noqa: E402
                         run_admin, serve_expecting_failure)
from raw_telnet import DO, DONT, IAC, SB, SE, WILL  # noqa: E402

suite = Suite("bad_input")

ECHO, NAWS, TTYPE = 1, 31, 24
STATS_END = "Time played: "

@suite.case
def long_lines_control_bytes_and_escapes():
    with BbsHost() as host:
        bob, alice = host.raw_user("Bob"), host.raw_user("Alice")

        # 100 000 bytes in one line, then a normal line.
        alice.send_raw(b"x" * 100000 + b"\r\nstats\r\n")
        out = alice.read_until(STATS_END)
        check("Unknown command." in out, "the long line was not answered: %r" % out[-300:])
        alice.read_until("]: ")
        bob.served("Bob")

        # A long line cut at a word: only its first 255 bytes count.
        name = "N" * 300
        out = alice.type("look " + name, "]: ")
        shown = re.search(r"There is no player named (N+)\.", out)
        check(shown and len(shown.group(1)) == 255 - len("look "),
              "the line was not cut to 255 bytes: %r" % out[:400])

        # NUL, BEL, backspace and a colour escape inside a command word.
        alice.send_raw(b"st\x00a\x07t\x1b[1;31mq\x08s\x1b[0m\r\n")
        out = alice.read_until("]: ")
        check(STATS_END in out, "control bytes or escapes were not removed: %r" % out)

        # A line of nothing but escapes and controls is an empty line.
        alice.send_raw(b"\x1b[A\x1b]0;title\x07\x01\x02\r\n")
        out = alice.read_until("]: ")
        check("Unknown command" not in out, "an empty line was taken as a command: %r" % out)

        # A typed escape never reaches a stored text or another user.
        alice.enter_plus()
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

        # IAC and a byte that is no telnet command: both dropped.
        c.send_raw(bytes([IAC]) + b"xstats\r\n")
        check(STATS_END in c.read_until("]: "), "IAC x was not dropped")

        # A negotiation split over two reads, then a command.
        c.send_raw(bytes([IAC]))
        bob.served("Bob")   # the host answers someone else meanwhile
        c.send_raw(bytes([WILL, ECHO]) + b"stats\r\n")
        check(STATS_END in c.read_until("]: "), "the second half of a sequence broke the line")
        check((DONT, ECHO) in c.commands, "WILL ECHO was not refused: %r" % c.commands)

        # IAC IAC is the byte 0xFF, which is no UTF-8 and goes in the cleaning.
        out = c.type(b"look " + bytes([IAC, IAC]) + b"Bobo", "]: ")
        check("Bobo" in out and "There is no player" not in out and "\xff" not in out,
              "IAC IAC did not become a 0xFF that the host drops: %r" % out)

        # A subnegotiation swallows what it holds until IAC SE; a NAWS of the
        # wrong size is ignored.
        c.send_raw(bytes([IAC, SB, TTYPE]) + b"stats\r\nstats\r\n" + bytes([IAC, SE]))
        c.send_raw(bytes([IAC, SB, NAWS, 1, 2, 3, IAC, SE]))
        out = c.type("who", "]: ")
        check(STATS_END not in out and "In Brakvold now" in out,
              "the subnegotiation's bytes were taken as lines: %r" % out)

        # An oversized subnegotiation: dropped with a warning, reading goes on.
        c.send_raw(bytes([IAC, SB, TTYPE]) + b"B" * 20000)
        c.send_raw(b"\r\nstats\r\n")
        c.read_until(STATS_END)
        c.read_until("]: ")
        host.wait_log("subnegotiation buffer size limit", "the telnet warning in the log")

        # Negotiations nobody asked for are refused; the session goes on.
        c.send_raw(bytes([IAC, DO, 99, IAC, WILL, 98]))
        c.served()
        bob.served("Bob")
        check(host.proc.poll() is None, "the host died")


@suite.case
def conversions_blanks_and_long_user_ids_at_logon():
    with BbsHost() as host:
        for userid in ("%s%n%x%%", "Alice Smith", "A" * 200, "\x1b[1mAlice"):
            c = host.raw()
            c.read_until("User-ID: ")
            c.send(userid)
            c.read_until("Password: ")
            c.send("wrong")
            c.read_until("Invalid login.", timeout=20)
            c.close()
        log = host.log_text()
        check('failed logon as "%s%n%x%%"' in log, "the user-ID was not logged as typed:\n" + log[-800:])
        check('failed logon as "Alice Smith"' in log, "a user-ID with a blank was changed")
        check('failed logon as "' + "A" * 200 + '"' in log, "a 200-character user-ID was not refused")
        check('failed logon as "Alice"' in log, "the escape was not cleaned off the user-ID")
        # Accounts: at most 29 characters, blanks allowed inside.
        status, out, err = host.admin("user", "add", "B" * 200, stdin="x\n")
        check(status != 0 and "1 to 29" in err, "a 200-character account was added: %r %r" % (out, err))
        status, out, err = host.admin("user", "add", "Ann Lee", stdin="ann %s\n")
        check(status == 0, "user add 'Ann Lee': %r %r" % (out, err))
        out = host.raw().login("Ann Lee", "ann %s")
        check("Welcome to Brakvold" in out, "Ann Lee could not log on: %r" % out)
        host.raw_user("Alice")


# ---- files ---------------------------------------------------------------------------


def edit_message_file(data, pattern, replacement):
    edit_file(os.path.join(data, "QRTBKPLS.MSG"), pattern, replacement)


@suite.case
def message_file_with_a_syntax_error_stops_the_start():
    with made_folder() as host:
        edit_message_file(host.data, r"\n14 DESCLNS \{10\}", "\n14 DESCLNS {10")
        status, out, err = serve_expecting_failure(host.data)
        check(status == 1 and "Cannot open QRTBKPLS.MCV!" in err,
              "a broken message file did not stop the start: %s %r %r" % (status, out, err))
        log = host.log_text()
        check(re.search(r"QRTBKPLS\.MSG:\d+: missing '\}'", log), "the log does not say where:\n" + log[-800:])


@suite.case
def out_of_range_options_are_clamped_and_a_broken_reload_is_refused():
    with made_folder() as first:
        edit_message_file(first.data, r"\n14 DESCLNS \{10\}", "\n14 DESCLNS {50}")
        edit_message_file(first.data, r"\n7 LIFECRD \{500\}", "\n7 LIFECRD {-5}")
        edit_message_file(first.data, r"\n4 DESCCRD \{100\}", "\n4 DESCCRD {-5}")
        with BbsHost(data_dir=first.data) as host:
            log = host.log_text()
            for expected in ("DESCLNS) value 50 is out of bounds 1..10; using 10",
                             "LIFECRD) value -5 is out of bounds -1..90000000; using -1",
                             "DESCCRD) value -5 is out of bounds 0..1000000; using 0"):
                check(expected in log, "no warning %r in the log:\n%s" % (expected, log[-1500:]))
            c = host.raw_user("Alice")
            menu = c.enter_plus()
            check("Buy an extra life" not in menu, "lives are sold with LIFECRD -1: %r" % menu)
            c.type("d", CHOICE)
            out = c.type("d", "/h helps.")   # no price left: the editor at once
            check("up to 800 characters" in out, "DESCLNS was not clamped to 10: %r" % out)
            c.type("/a", "choice:")

            # A syntax error at reload: the loaded file stays.
            edit_message_file(first.data, r"\n18 LOOKCMD \{/lookup\}", "\n18 LOOKCMD {/lookup")
            host.reload()
            log = host.log_text()
            check("message file QRTBKPLS.MCV kept as it was" in log, "no word of the kept file:\n" + log[-800:])
            out = c.type("x", "choice:")
            check("Your character description" in out, "the menu is gone after a broken reload: %r" % out)
            bob = host.raw_user("Bob")
            out = bob.type("/lookup Alia", "]: ")
            check("Alia" in out and "Elf" in out, "the lookup command was lost at reload: %r" % out)
            check(host.stop() == 0, "the host did not stop cleanly")


@suite.case
def missing_unusable_and_unreadable_data_folders():
    root = tempfile.mkdtemp(prefix="bbshost-e2e-folders-")
    try:
        # A file where the folder should be.
        a_file = os.path.join(root, "a-file")
        with open(a_file, "w") as f:
            f.write("not a folder\n")
        status, out, err = serve_expecting_failure(a_file)
        check(status == 1 and "is not a folder" in err, "a file as data folder: %s %r" % (status, err))
        # A folder that cannot be made (its parent is a file).
        status, out, err = serve_expecting_failure(os.path.join(a_file, "data"))
        check(status == 1 and "cannot create data folder" in err, "an impossible folder: %s %r" % (status, err))
        # A database file that is no database, and one that is a folder.
        for name, make in (("garbage", lambda p: open(p, "wb").write(b"\x00garbage" * 512)),
                           ("folder", os.mkdir)):
            data = os.path.join(root, name)
            os.mkdir(data)
            make(os.path.join(data, "bbs.db"))
            status, out, err = serve_expecting_failure(data)
            check(status == 1 and "cannot open data folder" in err and "bbs.db" in err,
                  "a %s bbs.db: %s %r" % (name, status, err))
        # The admin commands never make a folder.
        missing = os.path.join(root, "missing")
        status, out, err = run_admin(missing, "db", "list")
        check(status != 0 and "does not exist" in err and not os.path.exists(missing),
              "db list on a missing folder: %s %r %r" % (status, out, err))
        # An unreadable folder (root reads everything, so only for others).
        if os.geteuid() != 0:
            locked = os.path.join(root, "locked")
            os.mkdir(locked)
            os.chmod(locked, 0)
            try:
                status, out, err = serve_expecting_failure(locked)
                check(status == 1 and "cannot" in err, "an unreadable folder: %s %r" % (status, err))
            finally:
                os.chmod(locked, 0o700)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    suite.main()
