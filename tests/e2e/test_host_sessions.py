#!/usr/bin/python3
"""Sessions in Brakvold Plus: a player's whole round, hang-ups, two users inside, SIGTERM."""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import CHOICE, BbsHost, Suite, check, made_folder, plain  # noqa: E402

suite = Suite("sessions")


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
        host.wait_offline(bob, "Alice")
        check(host.credits("Alice") == before, "a hang-up in the editor charged credits")
        check(not any(row.startswith("Alice\tQRTBKPLS_DESC") for row in host.db_rows()),
              "a hang-up in the editor stored a description")
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
        carol.steps(("r", CHOICE), ("s", "(enter='a'):"), ("r", "Press <enter> to stop the listing."))
        carol.expect("-- More --")      # her window is 24 rows: Q lists the rest at once
        carol.p.send("q")
        carol.expect("R00050")          # well on its way
        carol.hang_up()
        host.wait_offline(bob, "Carol")
        stats = plain(bob.type("stats", "]: "))
        check("Character: Bobo" in stats, "Bob is not served after the hang-up: %r" % stats)
        carol = host.login("Carol")
        quiet = plain(carol.type("who", "]: ") + carol.type("stats", "]: "))
        check(not re.search(r"R\d{5}", quiet), "the listing went on after the hang-up: %r" % quiet)
        log = host.log_text()
        check("ERROR" not in log.upper().replace("ERRORS", ""), "the host log reports an error: %r" % log[-2000:])


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
        info = plain(bob.type("i", CHOICE))
        check("adds a few extras" in info, "Bob left the menus when Alice did: %r" % info)
        back = plain(bob.type("X", "]: "))
        check("[Brakvold Bobo]: " in back, "Bob is not back at his game prompt: %r" % back)
        check("Character: Bobo" in plain(bob.type("stats", "]: ")), "Bob's game does not answer")


@suite.case
def sigterm_with_users_online_stops_cleanly_and_loses_nothing():
    with made_folder() as f:
        with BbsHost(data_dir=f.data) as host:
            alice = host.login("Alice")
            bob = host.login("Bob")
            bob.enter_plus()
            bob.steps(("r", CHOICE), ("e", "Q to quit without saving:"))
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


DESCRIPTION = "A tall elf with silver hair and a green cloak."


@suite.case
def description_life_registry_and_lookup():
    with BbsHost() as host:
        alice = host.login("Alice")
        menu = plain(alice.enter_plus())
        check("Brakvold Plus" in menu and "Buy an extra life" in menu, "no main menu after ext and *: %r" % menu)
        check("Sysop: character descriptions" not in menu, "a player sees the sysop line: %r" % menu)

        screen = plain(alice.type("d", CHOICE))
        check("<None>" in screen, "a new player has a description: %r" % screen)
        price = plain(alice.type("d", "Do you wish to continue? "))
        check("This will cost you 100 credits, 0 copper, and 0 days off your membership." in price,
              "wrong price screen: %r" % price)
        head = plain(alice.type("yes", "/h helps."))
        check("Editing: up to 800 characters." in head, "no editor header: %r" % head)
        alice.send("Some words that will be cleared.")
        alice.type("/c", "Text cleared.")
        alice.send(DESCRIPTION)
        listing = plain(alice.type("/l", DESCRIPTION))
        check("cleared" not in listing.split("/l")[-1], "/c did not clear the text: %r" % listing)
        helptext = plain(alice.type("/h", "/h shows this help."))
        check("/s saves" in helptext, "no editor help: %r" % helptext)
        saved = plain(alice.type("/s", CHOICE))
        check(DESCRIPTION in saved and "waits for a sysop's approval" in saved,
              "the saved description is not shown as pending: %r" % saved)
        alice.type("x", CHOICE)
        bob = host.login("Bob")
        look = plain(bob.type("look Alia", "]: "))
        check("Alia" in look and DESCRIPTION not in look, "a pending description is shown: %r" % look)

        sysop = host.login("Sysop")
        mail = plain(sysop.type("mail", "]: "))
        check("Description needs approval" in mail and "Alice" in mail, "the Sysop got no approval mail: %r" % mail)
        menu = plain(sysop.enter_plus())
        check("Sysop: character descriptions" in menu, "the Sysop has no sysop line: %r" % menu)
        sysop.type("s", CHOICE)
        pending = plain(sysop.type("l", "descriptions found."))
        check("Alice\n" in pending and "1 descriptions found." in pending,
              "the pending listing does not name Alice once: %r" % pending)
        sysop.expect(CHOICE)
        done = plain(sysop.steps(("a", "Approve which user's description? "), ("Alice", CHOICE)))
        check("Done." in done, "approval not confirmed: %r" % done)
        sysop.steps(("x", CHOICE), ("x", "]: "))

        look = plain(bob.type("LOOK alia", "]: "))
        check(DESCRIPTION in look, "the approved description is not shown by look: %r" % look)

        cost = plain(alice.type("l", "Do you wish to buy one? "))
        check("500" in cost and "1000" in cost, "wrong life price: %r" % cost)
        bought = plain(alice.type("y", CHOICE))
        check("one more life" in bought, "the life was not bought: %r" % bought)

        alice.type("r", "Registry")
        alice.expect(CHOICE)
        alice.type("e", "Field to change")
        alice.expect("without saving:")
        alice.edit_registry("1", "Alice Liddell")
        alice.edit_registry("11", "27")
        alice.steps(("x", CHOICE), ("x", CHOICE))   # stored: the registry menu, the main menu
        back = plain(alice.type("x", "]: "))
        check("[Brakvold Alia]" in back, "X did not return to the game prompt: %r" % back)

        bob.send("/LOOKUP Alia")
        lookup = plain(bob.expect("Alice Liddell"))
        check("Alia" in lookup and "Elf" in lookup and "Age: 27" in lookup,
              "the lookup lacks the public record or the registry age: %r" % lookup)
        stats = plain(alice.type("stats", "]: "))
        check("Lives: 4" in stats and "Copper: 11000" in stats, "the life was not given or paid: %r" % stats)
        alice.send("quit")
        alice.expect_closed()

        host.stop_cleanly()

        for command, shown, what in [
                (("user", "show", "Alice"), "credits=4400 days=30 class=Member keys=",
                 "Alice was not charged 100 + 500 credits"),
                (("player", "show", "Alia"), "copper=11000 lives=4 played=18000", "Alia's copper or lives are wrong")]:
            out = host.admin_ok(*command)
            check(out.strip() == shown, "%s: %r" % (what, out))
        rows = host.db_rows()
        check("Alice\tQRTBKPLS_DESC" in rows and "Alia\tQRTBKPLS_REG" in rows,
              "the description or the registry is not stored: %r" % rows)
        out = host.admin_ok("mail", "list", "Sysop")
        check(any(line.split("\t")[1:] == ["Description needs approval", "Alice"] for line in out.splitlines()),
              "mail list does not show the approval mail: %r" % out)


@suite.case
def editor_limits_and_abandon():
    with BbsHost() as host:
        alice = host.login("Alice")
        alice.enter_plus()
        alice.open_editor()
        cut = plain(alice.type("x" * 100, "characters."))
        check("Line wrapped at 79 characters." in cut, "a long line was not wrapped: %r" % cut)
        for _ in range(8):
            alice.send("y" * 79)
        full = plain(alice.type("z" * 79, "Text is full."))
        check("Text is full." in full, "the text grew past its size: %r" % full)
        alice.type("/l", "y" * 79)
        abandoned = plain(alice.type("/a", CHOICE))
        check("<None>" in abandoned, "abandoning stored a description: %r" % abandoned)
        alice.steps(("x", CHOICE), ("x", "]: "))
        alice.send("quit")
        alice.expect_closed()
        host.stop_cleanly()
        out = host.admin_ok("user", "show", "Alice")
        check(out.strip().startswith("credits=5000 "), "an abandoned edit was charged: %r" % out)
        out = host.admin_ok("db", "list")
        check("QRTBKPLS_DESC" not in out, "an abandoned edit left a record: %r" % out)


if __name__ == "__main__":
    suite.main()
