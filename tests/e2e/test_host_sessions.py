#!/usr/bin/python3
"""Sessions in Brakvold Plus: a player's whole round, hang-ups, two users inside, SIGTERM."""

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("sessions")


@suite.case
def hang_up_in_the_editor_charges_and_stores_nothing():
    with BbsHost() as host:
        before = host.credits("Alice")
        alice, bob = host.login("Alice", plus=True), host.login("Bob")
        alice.open_editor("yes")
        alice.write("A draft that is never saved.", until="never saved.")
        alice.close()
        host.wait_offline(bob, "Alice")
        check(host.credits("Alice") == before, "a hang-up in the editor charged credits")
        check(not any(row.startswith("Alice\tQRTBKPLS_DESC") for row in host.db_rows()),
              "a hang-up in the editor stored a description")
        host.login("Alice", plus=True).steps(("d", CHOICE, "<None>"))   # the abandoned draft is not shown
        check("logoff: Alice" in host.log_text(), "the host log does not name the hang-up")


@suite.case
def hang_up_during_a_listing_stops_it_and_others_are_served():
    with BbsHost() as host:
        host.admin_ok("db", "fill", "R", "--count", "3000", "--tag", "QRTBKPLS_REG")
        bob, carol = host.login("Bob"), host.login("Carol", plus=True)
        carol.steps(("r", CHOICE), ("s", "(enter='a'):"), ("r", "Press <enter> to stop the listing."))
        carol.expect("-- More --")      # her window is 24 rows: Q lists the rest at once
        carol.p.send("q")
        carol.expect("R00050")          # well on its way
        carol.close()
        host.wait_offline(bob, "Carol")
        bob.steps(("stats", "]: ", "Character: Bobo"))
        carol = host.login("Carol")
        quiet = plain(carol.type("who", "]: ") + carol.type("stats", "]: "))
        check(not re.search(r"R\d{5}", quiet), "the listing went on after the hang-up: %r" % quiet)
        log = host.log_text()
        check("ERROR" not in log.upper().replace("ERRORS", ""), "the host log reports an error: %r" % log[-2000:])


@suite.case
def two_users_inside_leave_to_where_each_came_from():
    with BbsHost() as host:
        alice, bob = host.login("Alice", plus=True), host.login("Bob", plus=True)
        alice.steps(("x", "]: ", "[Brakvold Alia]: "), ("stats", "]: ", "Character: Alia"))
        bob.steps(("i", CHOICE, "adds a few extras"), ("X", "]: ", "[Brakvold Bobo]: "),
                  ("stats", "]: ", "Character: Bobo"))


@suite.case
def sigterm_with_users_online_stops_cleanly_and_loses_nothing():
    with made_folder() as f:
        with BbsHost(data_dir=f.data) as host:
            alice, bob = host.login("Alice", plus=True), host.login("Bob", plus=True)
            bob.steps(("r", CHOICE), ("e", "Q to quit without saving:"), ("1", ": "),
                      ("Bob the Stout", "Q to quit without saving:"), ("x", CHOICE))
            alice.open_editor()
            alice.write("Unsaved words.", until="Unsaved words.")
            before = host.credits("Alice")
            host.stop_cleanly()
            for client, who in ((alice, "Alice"), (bob, "Bob")):
                holds(client.expect_closed(), "shutting down")
            holds(host.log_text(), "stopping (SIGTERM)", "host stopped")
            check(host.credits("Alice") == before, "the shutdown charged Alice's unsaved edit")
        with BbsHost(data_dir=f.data) as host:
            rows = host.db_rows()
            check("Bobo\tQRTBKPLS_REG" in rows, "Bob's saved registry was lost: %r" % rows)
            check(not any(r.startswith("Alice\tQRTBKPLS_DESC") for r in rows),
                  "Alice's unsaved edit was stored: %r" % rows)
            host.login("Carol").steps(("/lookup bobo", "]: ", "Bob the Stout"))


DESCRIPTION = "A tall elf with silver hair and a green cloak."
SYSOP_ENTRY = "Sysop: character descriptions"


@suite.case
def description_life_registry_and_lookup():
    with BbsHost() as host:
        alice = host.login("Alice", plus=True)
        check("Brakvold Plus" in alice.menu and "Buy an extra life" in alice.menu and SYSOP_ENTRY not in alice.menu,
              "not a player's main menu after ext and *: %r" % alice.menu)
        alice.steps(("d", CHOICE, "<None>"), ("d", "Do you wish to continue? ",
                     "This will cost you 100 credits, 0 copper, and 0 days off your membership."),
                    ("yes", "/h helps.", "Editing: up to 800 characters."))
        alice.steps(("Some words that will be cleared.", None), ("/c", "Text cleared."), (DESCRIPTION, None))
        listing = plain(alice.type("/l", DESCRIPTION))
        check("cleared" not in listing.split("/l")[-1], "/c did not clear the text: %r" % listing)
        alice.steps(("/h", "/h shows this help.", "/s saves"),
                    ("/s", CHOICE, DESCRIPTION, "waits for a sysop's approval"), ("x", CHOICE))
        bob = host.login("Bob")
        bob.steps(("look Alia", "]: ", "Alia", "!" + DESCRIPTION))   # pending: not shown
        host.login("Sysop").steps(
            ("mail", "]: ", "Description needs approval", "Alice"), ("ext", "Extension: "), ("*", CHOICE, SYSOP_ENTRY),
            ("s", CHOICE), ("l", CHOICE, "Alice\n", "1 descriptions found."),
            ("a", "Approve which user's description? "), ("Alice", CHOICE, "Done."), ("x", CHOICE), ("x", "]: "))
        bob.steps(("LOOK alia", "]: ", DESCRIPTION))
        alice.steps(("l", "Do you wish to buy one? ", "500", "1000"), ("y", CHOICE, "one more life"),
                    ("r", CHOICE, "Registry"), ("e", "without saving:", "Field to change"),
                    ("1", ": "), ("Alice Liddell", "without saving:"), ("11", ": "), ("27", "without saving:"),
                    ("x", CHOICE), ("x", CHOICE), ("x", "]: ", "[Brakvold Alia]"))   # stored, then back to the game
        bob.steps(("/LOOKUP Alia", "Alice Liddell", "Alia", "Elf", "Age: 27"))
        alice.steps(("stats", "]: ", "Lives: 4", "Copper: 11000"))   # the life given and paid
        alice.send("quit")
        alice.expect_closed()
        host.stop_cleanly()
        host.shows((("user", "show", "Alice"), "credits=4400 days=30 class=Member keys="),   # 100 + 500 credits
                   (("player", "show", "Alia"), "copper=11000 lives=4 played=18000"))
        holds(host.db_rows(), "Alice\tQRTBKPLS_DESC", "Alia\tQRTBKPLS_REG")
        out = host.admin_ok("mail", "list", "Sysop")
        check(any(line.split("\t")[1:] == ["Description needs approval", "Alice"] for line in out.splitlines()),
              "mail list does not show the approval mail: %r" % out)


@suite.case
def editor_limits_and_abandon():
    with BbsHost() as host:
        alice = host.login("Alice", plus=True)
        alice.open_editor()
        alice.steps(("x" * 100, "characters.", "Line wrapped at 79 characters."))
        for _ in range(8):
            alice.send("y" * 79)
        alice.steps(("z" * 79, "Text is full."), ("/l", "y" * 79), ("/a", CHOICE, "<None>"), ("x", CHOICE), ("x", "]: "))
        alice.send("quit")
        alice.expect_closed()
        host.stop_cleanly()
        host.shows((("user", "show", "Alice"), "credits=5000 days=30 class=Member keys="))   # not charged
        holds(host.admin_ok("db", "list"), "!QRTBKPLS_DESC")


suite.main()
