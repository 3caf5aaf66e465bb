#!/usr/bin/python3
"""Sessions that end or change under the host's feet: hang-ups in the editor
and during a listing, two users inside Brakvold Plus at once, a reload with
SIGHUP, and SIGTERM while users are online."""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (CHOICE, BbsHost, Suite, check, made_folder, plain, set_ini,  # noqa: E402
                         set_option, wait_until)

suite = Suite("sessions")


def wait_offline(watcher, userid):
    """Waits until `watcher`'s who list no longer names `userid`."""
    wait_until(lambda: watcher.gone_from_who("  " + userid + " "), userid + " to leave the host")


@suite.case
def hang_up_in_the_editor_charges_and_stores_nothing():
    with BbsHost() as host:
        before = host.credits("Alice")
        alice = host.login("Alice")
        bob = host.login("Bob")
        alice.enter_plus()
        alice.open_editor("yes")
        alice.write("A draft that is never saved.", until="never saved.")
        alice.hang_up()
        wait_offline(bob, "Alice")
        check(host.credits("Alice") == before, "a hang-up in the editor charged credits")
        check(not any(row.startswith("Alice\tQRTBKPLS_DESC") for row in host.db_rows()),
              "a hang-up in the editor stored a description")
        # Back on, her description menu shows nothing stored, and the
        # host log names the hang-up.
        alice = host.login("Alice")
        alice.enter_plus()
        screen = plain(alice.type("d", CHOICE))
        check("<None>" in screen, "the abandoned draft shows up: %r" % screen)
        check("logoff: Alice" in host.log_text(), "the host log does not name the hang-up")


@suite.case
def hang_up_during_a_listing_stops_it_and_others_are_served():
    with BbsHost() as host:
        host.admin_ok("db", "fill", "R", "--count", "3000", "--tag", "QRTBKPLS_REG")
        bob = host.login("Bob")
        carol = host.login("Carol")
        carol.enter_plus()
        carol.type("r", CHOICE)
        carol.type("s", "(enter='a'):")
        carol.type("r", "Press <enter> to stop the listing.")
        carol.expect("-- More --")      # her window is 24 rows: Q lists the rest at once
        carol.p.send("q")
        carol.expect("R00050")          # well on its way
        carol.hang_up()
        wait_offline(bob, "Carol")
        # Bob is served at once, while the listing's statuses are gone.
        stats = plain(bob.type("stats", "]: "))
        check("Character: Bobo" in stats, "Bob is not served after the hang-up: %r" % stats)
        # Carol comes back to a quiet channel: no stray listing lines.
        carol = host.login("Carol")
        quiet = plain(carol.type("who", "]: ") + carol.type("stats", "]: "))
        check(not re.search(r"R\d{5}", quiet), "the listing went on after the hang-up: %r" % quiet)
        log = host.log_text()
        check("ERROR" not in log.upper().replace("ERRORS", ""),
              "the host log reports an error: %r" % log[-2000:])


@suite.case
def two_users_inside_leave_to_where_each_came_from():
    with BbsHost() as host:
        alice = host.login("Alice")
        bob = host.login("Bob")
        alice.enter_plus()
        bob.enter_plus()
        back = plain(alice.type("x", "]: "))
        check("[Brakvold Alia]: " in back, "Alice is not back at her own game prompt: %r" % back)
        stats = plain(alice.type("stats", "]: "))
        check("Character: Alia" in stats, "Alice's next line does not reach the game: %r" % stats)
        # Bob is still inside, untouched by Alice leaving.
        info = plain(bob.type("i", CHOICE))
        check("adds a few extras" in info, "Bob left the menus when Alice did: %r" % info)
        back = plain(bob.type("X", "]: "))
        check("[Brakvold Bobo]: " in back, "Bob is not back at his game prompt: %r" % back)
        check("Character: Bobo" in plain(bob.type("stats", "]: ")), "Bob's game does not answer")


@suite.case
def sighup_reloads_options_and_the_game_ini():
    with BbsHost() as host:
        alice = host.login("Alice")
        alice.enter_plus()
        alice.type("d", CHOICE)
        price = plain(alice.type("d", "Do you wish to continue? "))
        check("100 credits" in price, "the default price is not shown: %r" % price)
        alice.type("no", CHOICE)

        set_option(host.data, "DESCCRD", "250")
        set_ini(host.data, "SEND_EMAIL_FOR_PURCHASES", "1")
        host.reload()

        price = plain(alice.type("d", "Do you wish to continue? "))
        check("250 credits" in price, "the reloaded price is not shown: %r" % price)
        alice.type("no", CHOICE)
        check("*only* email (to Sysop)" in host.game_log(), "mail-only mode was not announced: %r" % host.game_log())

        # Mail-only mode: the life costs nothing and the Sysop is mailed.
        before = host.credits("Alice")
        alice.type("x", CHOICE)
        bought = plain(alice.buy_life())
        check("one more life" in bought, "the life was not added: %r" % bought)
        check(host.credits("Alice") == before, "mail-only mode charged credits")
        out = host.admin_ok("mail", "list", "Sysop")
        check("Alice bought mud life" in out, "the Sysop got no purchase mail: %r" % out)


@suite.case
def sigterm_with_users_online_stops_cleanly_and_loses_nothing():
    with made_folder() as f:
        with BbsHost(data_dir=f.data) as host:
            alice = host.login("Alice")
            bob = host.login("Bob")
            # Bob saves a registry line; Alice is in the editor.
            bob.enter_plus()
            bob.type("r", CHOICE)
            bob.type("e", "Q to quit without saving:")
            bob.edit_registry("1", "Bob the Stout", "Q to quit without saving:")
            bob.type("x", CHOICE)
            alice.enter_plus()
            alice.open_editor()
            alice.write("Unsaved words.", until="Unsaved words.")
            before = host.credits("Alice")

            status = host.stop()
            check(status == 0, "bbshost exited with %r after SIGTERM" % status)
            for client, who in ((alice, "Alice"), (bob, "Bob")):
                rest = client.expect_closed()
                check("shutting down" in rest, "%s was not told of the shutdown: %r" % (who, rest))
            log = host.log_text()
            check("stopping (SIGTERM)" in log and "host stopped" in log,
                  "the host log does not show a clean stop: %r" % log[-1500:])
            check(host.credits("Alice") == before, "the shutdown charged Alice's unsaved edit")

        with BbsHost(data_dir=f.data) as host:
            rows = host.db_rows()
            check("Bobo\tQRTBKPLS_REG" in rows, "Bob's saved registry was lost: %r" % rows)
            check(not any(r.startswith("Alice\tQRTBKPLS_DESC") for r in rows),
                  "Alice's unsaved edit was stored: %r" % rows)
            carol = host.login("Carol")
            look = plain(carol.type("/lookup bobo", "]: "))
            check("Bob the Stout" in look, "the registry is not shown after the restart: %r" % look)


if __name__ == "__main__":
    suite.main()
