#!/usr/bin/python3
"""MUD clients over telnet, as they negotiate: known by their terminal types, served in line mode."""

import json

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("mud_clients")

CHARSET = 42
PROMPTS = ("User-ID: ", "Password: ", GAME_PROMPT, "Extension: ", "choice:\x1b[0m ", "continue? ")
TERMINAL_OPTIONS = {BINARY, ECHO, SGA, TTYPE, EOR, NAWS}


def unmarked_prompts(client):
    """The prompts the client saw that no IAC EOR followed at once."""
    marked = {at for kind, at in client.marks if kind == "EOR"}
    text = client.seen.encode("latin-1")
    ends = [m.end() for p in PROMPTS for m in re.finditer(re.escape(p.encode("latin-1")), text)]
    return [text[max(0, end - 30):end] for end in sorted(ends) if end not in marked]


@suite.case
def a_mudlet_like_client_types_visibly_in_line_mode_and_writes_a_description_in_the_line_editor():
    with BbsHost() as host:
        c = host.keep(Mudlet(host.port))
        out = c.login("Alice")
        equal(c.echo_words(), [WILL, WONT], "ECHO taken for the password only, given back right after it")
        check("alice" not in out, "the password came back: %r" % out)
        holds(c.type("stats", GAME_PROMPT), "Character: Alia", "!stats")   # its own line is not echoed
        c.enter_plus()
        banner = c.open_editor()
        holds(banner, "Editing: up to 800 characters.", "!\x1b[?1049h", "!\x1b[H")   # the line editor
        c.send("Bows drawn at dawn.")
        holds(plain(c.type("/s", CHOICE)), "Your character description:\nBows drawn at dawn.\n", "!/s")
        c.type("x", CHOICE)
        c.type("x", GAME_PROMPT)
        c.read_for(0.3)   # the last prompt's mark
        equal(c.echo_words(), [WILL, WONT], "ECHO words of the whole session")
        check(not unmarked_prompts(c), "prompts without IAC EOR: %r" % unmarked_prompts(c))
        check({kind for kind, _ in c.marks} == {"EOR"} and len(c.marks) >= 8, "prompt marks: %r" % c.marks)
        check((WILL, ECHO) not in c.commands[c.commands.index((WONT, ECHO)):], "character mode offered later")
        holds(host.log_text(), "is a MUD client (MUDLET): served in line mode")


@suite.case
def gmcp_tells_the_character_at_logon_and_each_change_and_takes_nothing_to_the_game():
    with BbsHost() as host:
        c = host.keep(Mudlet(host.port))
        c.login("Alice")
        c.read_for(0.3)
        equal(c.gmcp_got("Char.Name"), [{"name": "Alia", "fullname": "Alia the Wanderer of the North"}], "Char.Name")
        equal(c.gmcp_got("Char.Status"), [{"level": 7, "race": "Elf", "profession": "Ranger", "guild": "Silver Leaf",
                                           "copper": 12000, "lives": 3, "time_played": 18000}], "Char.Status at logon")
        equal(c.gmcp_got("Char.Vitals"), [{"hp": 62}], "Char.Vitals")
        c.enter_plus()
        c.buy_life()
        c.read_for(0.3)
        status = c.gmcp_got("Char.Status")
        equal([s["lives"] for s in status], [3, 4], "lives told before and after buying one")
        check(status[1]["copper"] < status[0]["copper"], "the life's copper not told: %r" % status)
        equal(len(c.gmcp_got("Char.Name")), 1, "an unchanged Char.Name sent again")
        equal(host.lives("Alia"), 4, "the game's lives")

        before = len(c.seen)
        c.gmcp("Core.Ping")
        c.gmcp("Char.Skills.Get stats")   # not known: ignored, and no line for the game
        c.gmcp("Core.Hello " + json.dumps({"client": "x" * 5000}))   # too long: dropped
        c.gmcp("Core.Supports.Remove [\"Char 1\"]")
        c.read_for(0.3)
        equal(c.seen[before:], "", "what GMCP messages brought to the screen")
        equal(c.gmcp_got("Core.Ping"), [None], "Core.Ping's answer")
        holds(host.log_text(), "a GMCP message of 5025 bytes dropped")
        c.type("x", GAME_PROMPT)
        holds(c.type("stats", GAME_PROMPT), "Lives: 4")
        c.send("quit")
        c.wait_closed()
        equal(c.gmcp_got("Core.Goodbye"), [None], "Core.Goodbye at the end")
        equal(len(c.gmcp_got("Char.Status")), 2, "Char.Status sent after the client stopped supporting Char")


class QuietMudlet(Mudlet):
    """Agrees to GMCP but asks for no package until told to (as a client whose GMCP scripts load late)."""

    def _answer(self, verb, option):
        RawClient._answer(self, verb, option)


@suite.case
def gmcp_tells_a_character_asked_for_late_and_changes_made_by_the_sysop_or_by_the_player():
    with BbsHost() as host:
        alice = host.keep(QuietMudlet(host.port))
        alice.login("Alice")
        bob = host.keep(Mudlet(host.port))
        bob.login("Bob")
        alice.read_for(0.3)
        equal(alice.gmcp_got("Char.Status"), [], "Char.Status before the client asked for Char")
        alice.gmcp('Core.Supports.Set ["Char 1"]')
        alice.read_for(0.3)   # nobody types meanwhile
        equal([s["lives"] for s in alice.gmcp_got("Char.Status")], [3], "Char.Status once asked for")
        equal(len(alice.gmcp_got("Char.Name")), 1, "Char.Name once asked for")

        host.admin_ok("player", "set", "Alia", "--lives", "7")   # another program writes the game's tables
        bob.type("stats", GAME_PROMPT)   # anybody's next call
        alice.read_for(0.3)
        equal([s["lives"] for s in alice.gmcp_got("Char.Status")], [3, 7], "the sysop's change told")

        bob_status = len(bob.gmcp_got("Char.Status"))
        bob.enter_plus()
        bob.buy_life()
        bob.read_for(0.3)
        alice.read_for(0.1)
        equal([s["lives"] for s in bob.gmcp_got("Char.Status")][bob_status - 1:], [2, 3], "Bobo's life told")
        equal(host.lives("Bobo"), 3, "Bobo's lives in the game")
        equal(len(alice.gmcp_got("Char.Status")), 2, "Alia told Bobo's purchase")
        alice.gmcp('Core.Supports.Remove ["Char"]')
        alice.gmcp('Core.Supports.Add ["Char.Vitals"]')
        alice.read_for(0.3)
        equal(len(alice.gmcp_got("Char.Vitals")), 1, "Char.Vitals added later, told once")


@suite.case
def charset_utf8_is_agreed_when_the_client_asks_for_it():
    with BbsHost() as host:
        c = host.keep(Mudlet(host.port))
        c.read_until("User-ID: ")
        c.send_raw(bytes([IAC, WILL, CHARSET]))
        for offered, answer in [(b";ISO-8859-1;UTF-8", b"\x02UTF-8"), (b" iso-8859-1 utf-8", b"\x02UTF-8"),
                                (b"[TTABLE]\x01;utf-8", b"\x02UTF-8"), (b";ISO-8859-1;CP437", b"\x03"), (b"", b"\x03")]:
            c.send_raw(bytes([IAC, SB, CHARSET, 1]) + offered + bytes([IAC, SE]))
            c.read_for(0.2)
            equal([cmd[2] for cmd in c.commands if cmd[:2] == ("SB", CHARSET)][-1:], [answer], "answer to %r" % offered)
        check((DO, CHARSET) in c.commands, "CHARSET not agreed to: %r" % c.commands)
        holds(c.type("Alice", "Password: "), "!Alice")


def mssp_table(host):
    return mssp_of(host.keep(Mudlet(host.port)))


@suite.case
def mssp_tells_the_hosts_facts_and_the_sysops_settings_checked_at_start_and_at_sighup():
    with made_folder() as first:
        conf = first.path("mssp.conf")
        holds(read(conf), "\nCONTACT =\n", "\nGENRE =\n", "\nMINIMUM AGE =\n")
        for line, says in [("PLAYERS = 5", "mssp.conf:%d: \"PLAYERS\" is the host's own"),
                           ("COLOUR = 1", "mssp.conf:%d: \"COLOUR\" is no MSSP variable a sysop sets"),
                           ("GENRE = Cooking", "mssp.conf:%d: GENRE: \"Cooking\" is not one of Adult, Fantasy"),
                           ("CREATED = last year", "mssp.conf:%d: CREATED: \"last year\" is not a whole number"),
                           ("just words", "mssp.conf:%d: no \"VARIABLE = value\"")]:
            good = read(conf)
            variable = line.split(" =")[0]
            empty = "\n%s =\n" % variable
            bad = good.replace(empty, "\n%s\n" % line) if empty in good else good + line + "\n"
            write_atomically(conf, bad)
            number = bad.split("\n").index(line) + 1
            serve_expecting_failure(first.data, says=[says % number])
            write_atomically(conf, good)
        edit_file(conf, r"\nCONTACT =\n", "\nCONTACT = sysop@brakvold.example\n")
        edit_file(conf, r"\nGENRE =\n", "\nGENRE = Fantasy\n")
        with BbsHost(data_dir=first.data) as host:
            table = mssp_table(host)
            names = [name for name, _ in table]
            equal(names, ["NAME", "PLAYERS", "UPTIME", "PORT", "SSL", "CODEBASE", "ANSI", "UTF-8", "VT100",
                          "XTERM 256 COLORS", "GMCP", "MCCP", "MSSP", "PAY FOR PERKS", "CONTACT", "GENRE"], "MSSP names")
            values = dict(table)
            equal((values["PORT"], values["SSL"], values["PAY FOR PERKS"], values["CONTACT"], values["GENRE"]),
                  (str(host.port), "0", "1", "sysop@brakvold.example", "Fantasy"), "MSSP values")
            edit_file(conf, r"\nGENRE = Fantasy\n", "\nGENRE = Horror\n")
            host.reload()
            equal(dict(mssp_table(host))["GENRE"], "Horror", "GENRE after SIGHUP")
            edit_file(conf, r"\nSTATUS =\n", "\nSTATUS = Finished\n")
            holds(host.reload()[0], "MSSP settings kept as they were: %s:" % conf, "STATUS: \"Finished\" is not one of")
            equal(dict(mssp_table(host))["GENRE"], "Horror", "GENRE after a SIGHUP with a mistake")


@suite.case
def each_kind_of_client_is_served_its_way():
    """(terminal types it names, agreed to, ECHO words over a session, the full-screen editor, escapes sent)"""
    rows = [
        ([b"XTERM-256COLOR"], TERMINAL_OPTIONS, [WILL, WONT, WILL], True, True),
        ([b"TINTIN++", b"XTERM-256COLOR", b"MTTS 2831"], TERMINAL_OPTIONS, [WILL, WONT], False, True),
        ([b"XTERM", b"MTTS 137"], TERMINAL_OPTIONS, [WILL, WONT], False, True),           # MTTS without VT100
        ([b"MUSHCLIENT", b"MTTS 79"], TERMINAL_OPTIONS, [WILL, WONT], False, False),      # a screen reader
        ([b"XTERM", b"MTTS 15"], TERMINAL_OPTIONS, [WILL, WONT, WILL], True, True),       # MTTS with VT100
    ]
    with BbsHost() as host:
        for types, agrees, echo_words, full_screen, escapes in rows:
            c = host.raw(agree=agrees, ttype=types, size=(100, 30))
            c.login("Alice", plus=True)
            words = [cmd[0] for cmd in c.commands if cmd in ((WILL, ECHO), (WONT, ECHO))]
            equal(words, echo_words, "ECHO words for %r" % types)
            c.send("d")
            c.read_until(CHOICE)
            c.send("d")
            c.read_until("continue? ")
            c.send("y")
            c.read_until("y" if full_screen else "")   # the host's echo in character mode
            if full_screen:
                c.read_until("\x1b[2J")
                c.send_raw(b"\x1a")   # Ctrl-Z: saved as it is
            else:
                c.read_until("/h helps.")
                c.send("/a")
            c.read_until(CHOICE)
            equal("\x1b[" in c.seen, escapes, "escape sequences sent to %r" % types)
            c.type("x", CHOICE)
            c.type("x", GAME_PROMPT)
            c.send("quit")
            c.wait_closed()


suite.main()
