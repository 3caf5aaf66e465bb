#!/usr/bin/python3
"""A player's whole round through Brakvold Plus over telnet: a description
bought and written in the line editor, approved by the Sysop from a second
connection and seen with look; a life bought; a registry edited and looked
up with the global command; and back to the game with X. Afterwards the
admin commands show what was charged, stored and mailed."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import CHOICE, BbsHost, Suite, check, plain  # noqa: E402

suite = Suite("plus_flow")

DESCRIPTION = "A tall elf with silver hair and a green cloak."


@suite.case
def description_life_registry_and_lookup():
    with BbsHost() as host:
        alice = host.login("Alice")
        menu = plain(alice.enter_plus())
        check("Brakvold Plus" in menu and "Buy an extra life" in menu,
              "no main menu after ext and *: %r" % menu)
        check("Sysop: character descriptions" not in menu, "a player sees the sysop line: %r" % menu)

        # ---- the description: price, editor, save ------------------------------
        screen = plain(alice.type("d", CHOICE))
        check("<None>" in screen, "a new player has a description: %r" % screen)
        price = plain(alice.type("d", "Do you wish to continue? "))
        check("This will cost you 100 credits, 0 copper, and 0 days off your membership." in price,
              "wrong price screen: %r" % price)
        head = plain(alice.type("yes", "/h helps."))
        check("Editing: up to 800 characters." in head, "no editor header: %r" % head)
        alice.send("Some words that will be cleared.")
        cleared = plain(alice.type("/c", "Text cleared."))
        alice.send(DESCRIPTION)
        listing = plain(alice.type("/l", DESCRIPTION))
        check("cleared" not in listing.split("/l")[-1], "/c did not clear the text: %r" % listing)
        helptext = plain(alice.type("/h", "/h shows this help."))
        check("/s saves" in helptext, "no editor help: %r" % helptext)
        saved = plain(alice.type("/s", CHOICE))
        check(DESCRIPTION in saved and "waits for a sysop's approval" in saved,
              "the saved description is not shown as pending: %r" % saved)
        alice.type("x", CHOICE)  # back to the main menu

        # Bob does not see a pending description.
        bob = host.login("Bob")
        look = plain(bob.type("look Alia", "]: "))
        check("Alia" in look and DESCRIPTION not in look, "a pending description is shown: %r" % look)

        # ---- the Sysop lists and approves it --------------------------------------
        sysop = host.login("Sysop")
        mail = plain(sysop.type("mail", "]: "))
        check("Description needs approval" in mail and "Alice" in mail,
              "the Sysop got no approval mail: %r" % mail)
        menu = plain(sysop.enter_plus())
        check("Sysop: character descriptions" in menu, "the Sysop has no sysop line: %r" % menu)
        sysop.type("s", CHOICE)
        pending = plain(sysop.type("l", "descriptions found."))
        check("Alice\n" in pending and "1 descriptions found." in pending,
              "the pending listing does not name Alice once: %r" % pending)
        sysop.expect(CHOICE)
        sysop.type("a", "Approve which user's description? ")
        done = plain(sysop.type("Alice", CHOICE))
        check("Done." in done, "approval not confirmed: %r" % done)
        sysop.type("x", CHOICE)
        sysop.type("x", "]: ")

        look = plain(bob.type("LOOK alia", "]: "))
        check(DESCRIPTION in look, "the approved description is not shown by look: %r" % look)

        # ---- a life ------------------------------------------------------------------
        cost = plain(alice.type("l", "Do you wish to buy one? "))
        check("500" in cost and "1000" in cost, "wrong life price: %r" % cost)
        bought = plain(alice.type("y", CHOICE))
        check("one more life" in bought, "the life was not bought: %r" % bought)

        # ---- the registry ------------------------------------------------------------
        alice.type("r", "Registry")
        alice.expect(CHOICE)
        alice.type("e", "Field to change")
        alice.expect("without saving:")
        alice.edit_registry("1", "Alice Liddell")
        alice.edit_registry("11", "27")
        alice.type("x", CHOICE)  # stored, registry menu
        alice.type("x", CHOICE)  # main menu
        back = plain(alice.type("x", "]: "))  # back in the game
        check("[Brakvold Alia]" in back, "X did not return to the game prompt: %r" % back)

        # The global lookup works at the game prompt, and in any letter case.
        bob.send("/LOOKUP Alia")
        lookup = plain(bob.expect("Alice Liddell"))
        check("Alia" in lookup and "Elf" in lookup and "Age: 27" in lookup,
              "the lookup lacks the public record or the registry age: %r" % lookup)
        stats = plain(alice.type("stats", "]: "))
        check("Lives: 4" in stats and "Copper: 11000" in stats, "the life was not given or paid: %r" % stats)
        alice.send("quit")
        alice.expect_closed()

        check(host.stop() == 0, "bbshost did not stop cleanly")

        # ---- what the data folder holds now -------------------------------------------
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
        # 800 characters fit (101 so far: 79, a CR and 21); the line that
        # would pass them is refused.
        for _ in range(8):
            alice.send("y" * 79)
        full = plain(alice.type("z" * 79, "Text is full."))
        check("Text is full." in full, "the text grew past its size: %r" % full)
        text = plain(alice.type("/l", "y" * 79))
        abandoned = plain(alice.type("/a", CHOICE))
        check("<None>" in abandoned, "abandoning stored a description: %r" % abandoned)
        alice.type("x", CHOICE)
        alice.type("x", "]: ")
        alice.send("quit")
        alice.expect_closed()
        check(host.stop() == 0, "bbshost did not stop cleanly")
        out = host.admin_ok("user", "show", "Alice")
        check(out.strip().startswith("credits=5000 "), "an abandoned edit was charged: %r" % out)
        out = host.admin_ok("db", "list")
        check("QRTBKPLS_DESC" not in out, "an abandoned edit left a record: %r" % out)


if __name__ == "__main__":
    suite.main()
