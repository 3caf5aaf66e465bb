#!/usr/bin/python3
"""The terminal layer over telnet: options, GA/EOR, character mode, UTF-8/CP437, paging, editors."""

import unicodedata

import pyte

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("terminal")

LEFT, UP = b"\x1b[D", b"\x1b[A"
PROMPT = b"]: "


class ModernClient(RawClient):

    ALL = {BINARY, ECHO, SGA, TTYPE, EOR, NAWS, MSSP}

    def __init__(self, port, agree=ALL, **kwargs):
        super().__init__(port, agree=set(agree), **kwargs)

    def read_until(self, marker, timeout=EXPECT_TIMEOUT):
        marker = marker if isinstance(marker, bytes) else marker.encode("utf-8")
        return super().read_until(marker.decode("latin-1"), timeout).encode("latin-1")

    def read_for(self, seconds):
        return super().read_for(seconds).encode("latin-1")

    def send(self, data):
        data = data.encode("utf-8") if isinstance(data, str) else data
        self.send_raw(data.replace(bytes([IAC]), bytes([IAC, IAC])))

    def type(self, line, until=PROMPT):
        self.send(line + (b"\r" if isinstance(line, bytes) else "\r"))
        return self.read_until(until)

    def say(self, line, until=PROMPT):
        self.send(line + "\r\n")
        return self.read_until(until)

    def login(self, userid, password=None):
        self.read_until("User-ID: ")
        self.say(userid, "Password: ")
        return self.say(password or userid.lower())


def modern(host, userid=None, settle=True, **options):
    """A ModernClient, logged on (`greeted`: the answer to the password) and settled."""
    c = host.keep(ModernClient(host.port, **options))
    if userid:
        c.greeted = c.login(userid)
        if settle:
            c.type(b"")
    return c


def screen_of(client, size=(80, 24)):
    screen = pyte.Screen(*size)
    pyte.ByteStream(screen).feed(client.seen.encode("latin-1"))
    return screen


@suite.case
def options_at_connect_and_mssp():
    with BbsHost() as host:
        c = modern(host)
        c.read_until("User-ID: ")
        negotiations = [cmd for cmd in c.commands if cmd[0] in (WILL, WONT, DO, DONT)]
        check(negotiations[0] == (DO, NAWS), "NAWS is not asked first: %r" % negotiations)
        for wanted in ((DO, TTYPE), (WILL, BINARY), (DO, BINARY), (WILL, SGA), (WILL, EOR), (WILL, MSSP),
                       (WILL, COMPRESS2)):
            check(wanted in negotiations, "%r not offered: %r" % (wanted, negotiations))
        check((WILL, ECHO) not in negotiations, "ECHO offered before the password: %r" % negotiations)
        c.send(b"\r\n")
        c.read_until("User-ID: ")
        c.read_for(0.3)
        equal([cmd for cmd in c.commands if cmd[0] == "SB" and cmd[1] == TTYPE], [("SB", TTYPE, b"\x01")] * 2,
              "TTYPE SEND until the answer repeats")
        mssp = [cmd for cmd in c.commands if cmd[0] == "SB" and cmd[1] == MSSP]
        check(len(mssp) == 1, "no MSSP answer: %r" % c.commands)
        pairs = dict(item.decode().partition("\x02")[::2] for item in mssp[0][2].split(b"\x01")[1:])
        check({"NAME", "PLAYERS", "UPTIME", "CODEBASE"} <= set(pairs), "MSSP variables: %r" % pairs)
        check(pairs["PLAYERS"] == "0" and pairs["NAME"], "MSSP values: %r" % pairs)
        check(abs(int(pairs["UPTIME"]) - time.time()) < 3600, "UPTIME is no start time: %r" % pairs)


@suite.case
def a_client_refusing_everything_is_served_as_one_that_answers_nothing():
    script = ["stats", "help", "look Bobo", "a line of forty characters, then more: " * 3]
    with BbsHost() as host:
        def session(client):
            out = [client.read_until("User-ID: "), client.type("Alice", "Password: "), client.type("alice", "]: ")]
            out += [client.type(line, "]: ") for line in script]
            client.send("quit")
            client.read_for(0.5)
            return out

        silent, refusing = host.raw(), host.raw(agree=set())
        want, got = session(silent), session(refusing)
        for g, w in zip(got, want):
            check(g == w, "answered differently:\n%r\n%r" % (g, w))
        check(not [m for m in refusing.commands if m == (WILL, ECHO)][1:],
              "ECHO offered again after the password: %r" % refusing.commands)
        check(refusing.marks == [], "prompts marked for a client that agreed to nothing: %r" % refusing.marks)
        check((GA, None) not in silent.commands, "GA sent to a silent client: %r" % silent.commands)
        mud = modern(host, "Bob", agree={NAWS, TTYPE})
        kinds = [m[0] for m in mud.marks]
        check(set(kinds) == {"GA"} and len(kinds) >= 2, "prompts not marked by GA: %r" % mud.marks)


@suite.case
def character_mode_edits_the_line():
    with BbsHost() as host:
        bob = host.raw_user("Bob")
        alice = modern(host, "Alice")
        equal([cmd for cmd in alice.commands if cmd in ((WILL, ECHO), (WONT, ECHO))],
              [(WILL, ECHO), (WONT, ECHO), (WILL, ECHO)],
              "ECHO taken for the password, given back, taken for character mode")
        check(b"alice" not in alice.greeted, "the password came back: %r" % alice.greeted)
        cases = [
            (b"tell Bobo abc" + LEFT + LEFT + b"X\r", "tells you: aXbc"),
            (b"tell Bobo wrong\x15tell Bobo right\r", "tells you: right"),                 # Ctrl-U
            (b"tell Bobo one two\x17three\r", "tells you: one three"),                     # Ctrl-W
            (b"ell Bobo abc\x01t\x05d\r", "tells you: abcd"),                          # Ctrl-A, Ctrl-E
            (b"ell Bobo xy\x1b[Ht\x1b[Fz\r", "tells you: xyz"),                          # Home, End
            (b"tell Bobo abcd\x7f\x08e\r", "tells you: abe"),                              # DEL, BS
            (UP + b"!\r", "tells you: abe!"),                                               # history
        ]
        alice.send(b"tell Bobo abc" + LEFT + LEFT + b"X")
        alice.read_for(0.5)
        screen = screen_of(alice)
        row = screen.display[screen.cursor.y]
        check(row.rstrip() == "[Brakvold Alia]: tell Bobo aXbc" and screen.cursor.x == row.index("aX") + 2,
              "the edited line on the screen: %r, cursor at %d" % (row, screen.cursor.x))
        alice.send(b"\x15")   # Ctrl-U
        alice.read_for(0.3)
        for keys, told in cases:
            alice.send(keys)
            alice.read_until(PROMPT)
            holds(bob.read_until("]: "), told)
        alice.send(b"stats")
        equal(alice.read_for(0.5), b"stats", "the echo of the typed keys")
        holds(alice.type(b""), b"Character: Alia")
        marks = [m[0] for m in alice.marks]
        check(set(marks) == {"EOR"} and len(marks) > 9, "prompts not marked by EOR alone: %r" % alice.marks)
        check(PROMPT + bytes([IAC, EOR_CMD]) in alice.raw, "no IAC EOR right after the prompt")


@suite.case
def utf8_and_cp437_both_ways():
    with BbsHost() as host:
        alice = modern(host, "Alice")
        bob = modern(host, "Bob", ttype=b"SYNCTERM")
        carol = modern(host, "Carol", ttype=b"DUMB")
        text = "серебряный лук"
        alice.type("tell Bobo " + text)
        alice.type("tell Bobo Grüße")
        told = bob.read_until("Grüße".encode("cp437"))
        check("Gr\x81\xe1e" in told.decode("latin-1"), "CP437 output is not CP437: %r" % told)
        check(b"?????????? ???" in told, "characters CP437 lacks are not '?': %r" % told)
        bob.send("tell Alia Grüße".encode("cp437"))
        echo = bob.read_for(0.5)
        check(echo.endswith("Grüße".encode("cp437")), "the echo is not CP437: %r" % echo)
        bob.type(b"")
        holds(alice.read_until("tells you: Grüße"), "Grüße".encode("utf-8"))   # CP437 input reached UTF-8
        alice.read_until(PROMPT)
        holds(alice.type("tell Bobo " + text), ("You tell Bobo: " + text).encode("utf-8"))   # UTF-8 back whole
        colourful = alice.type("help")
        for command in (b"ext", b"look NAME", b"stats", b"mail", b"who", b"tell NAME", b"help", b"quit"):
            check(b"\r\n  " + command + b" " in colourful, "help does not list %r: %r" % (command, colourful))
        holds(carol.type("help"), b"!\x1b", b"Commands:")


@suite.case
def paging_and_a_listing_that_waits():
    with BbsHost() as host:
        host.admin_ok("db", "fill", "R", "--count", "300", "--tag", "QRTBKPLS_REG")
        bob = host.raw_user("Bob")
        carol = modern(host, "Carol", size=(80, 24))
        carol.enter_plus()
        carol.steps(("r", "choice:"), ("s", "(enter='a'):"))
        carol.send("r\r")
        first = carol.read_until("-- More --")
        rows = first.split(b"\r\n")[1:]   # after the echo of her line
        check(len(rows) == 24 and rows[-1].endswith(b"-- More --"), "a page is not 23 rows and the prompt: %r" % rows)
        screen = screen_of(carol)
        check(screen.display[23].startswith("-- More --") and screen.display[0].strip(),
              "the page does not fill the window above the prompt: %r" % screen.display)
        check("Time played" in bob.type("stats", "]: "), "Bob is not served")
        equal(carol.read_for(1.0), b"", "output past the page")
        listed = first.count(b"R00")
        carol.send(b" ")
        second = carol.read_until("-- More --")
        check(second.count(b"R00") > 0, "space did not bring the next page: %r" % second)
        carol.send(b"q")
        holds(carol.read_for(1.0), b"!-- More --")
        check(listed > 5, "too little on the first page: %r" % first)


@suite.case
def a_client_in_telnet_text_mode_never_gets_a_bare_return():
    # Without BINARY, a CR the client receives must be followed by LF or NUL: the pager's erase and the
    # full-screen editor's redraws are bare returns in the terminal layer.
    with BbsHost() as host:
        host.admin_ok("db", "fill", "R", "--count", "100", "--tag", "QRTBKPLS_REG")
        carol = modern(host, "Carol", agree=ModernClient.ALL - {BINARY}, size=(80, 24))
        carol.enter_plus()
        carol.steps(("r", "choice:"), ("s", "(enter='a'):"))
        carol.send("r\r")
        seen = carol.read_until("-- More --")
        carol.send(b" ")
        seen += carol.read_until("-- More --")
        check(b"\r\0" in seen, "the erase of the prompt is not there: %r" % seen[-200:])
        bare = re.search(rb"\r(?![\n\0])", seen)
        check(bare is None, "a bare return: %r" % seen[max(0, bare.start() - 40):bare.end() + 40] if bare else b"")


@suite.case
def short_windows_page_help_and_lines_turn_pages_in_line_mode():
    with BbsHost() as host:
        c = modern(host, "Alice", agree=ModernClient.ALL - {SGA}, size=(80, 6))
        page = c.say("help", "-- More --")
        check(page.count(b"\r\n") == 5, "a page of 6 rows is not 5 lines and the prompt: %r" % page)
        rest = b""
        for _ in range(5):
            c.send("\r\n")
            rest += c.read_until_any(["-- More --", PROMPT.decode()])[1].encode("latin-1")
            if PROMPT in rest:
                break
        check(b"quit" in rest and PROMPT in rest, "the next pages did not come: %r" % rest)
        c.read_for(0.5)
        for typed, said in (("paging", b"Paging is on."), ("paging off", b"Paging is off."),
                            ("paging maybe", b"Type paging ON or paging OFF.")):
            holds(c.say(typed), said)
        holds(c.say("help"), b"!-- More --", b"quit")
        check(b"Paging is on." in c.say("paging on"), "paging on did not answer")
        check(b"-- More --" in c.say("help", "-- More --"), "not paged once paging is on again")


@suite.case
def a_window_too_small_to_page_takes_no_more_answers_than_an_ordinary_one():
    # A 300-record listing with every "-- More --" answered by space, in an ordinary window first and then in
    # windows of a row or a column or two (or none) as NAWS tells them.
    with BbsHost() as host:
        host.admin_ok("db", "fill", "R", "--count", "300", "--tag", "QRTBKPLS_REG")
        carol = modern(host, "Carol", size=(80, 24))
        carol.enter_plus()
        ordinary = None
        for w, h in ((80, 24), (1, 1), (0, 0), (2, 2), (3, 3), (10, 2)):
            carol.send_raw(bytes([IAC, SB, NAWS, 0, w, 0, h, IAC, SE]))
            answers = 0
            for line, until in (("r", "choice:"), ("s", "(enter='a'):"), ("r", "choice:"), ("x", "choice:")):
                carol.send(line + "\r")
                while carol.read_until_any(["-- More --", until])[0] != until:
                    answers += 1
                    check(answers <= (ordinary or 100), "%dx%d: %d answers, %s at 80x24" % (w, h, answers, ordinary))
                    carol.send(b" ")
            ordinary = answers if ordinary is None else ordinary
        check(ordinary > 5, "80x24 paged %d times" % ordinary)

def open_description_editor(client):
    client.enter_plus()
    client.steps(("d", "choice:"), ("d", "Do you wish to continue? "))
    client.send("yes\r")
    return client.read_until("\x1b[2J")


@suite.case
def full_screen_editor_saves_and_a_hang_up_abandons():
    with BbsHost() as host:
        before = host.credits("Alice")
        alice = modern(host, "Alice")
        bob = host.raw_user("Bob")
        open_description_editor(alice)
        bob.type("tell Alia hello there", "]: ")
        alice.send(b"abc" + LEFT + LEFT + b"X")
        holds(alice.read_for(0.5), b"!hello there")
        screen = screen_of(alice)
        check(screen.display[0].rstrip() == "aXbc" and (screen.cursor.y, screen.cursor.x) == (0, 2),
              "the editor's screen: %r, cursor %r" % (screen.display[:2], (screen.cursor.y, screen.cursor.x)))
        check("Ctrl-Z save" in screen.display[23], "no key help on the last row: %r" % screen.display[23])
        alice.send(b"\x1a")   # Ctrl-Z saves
        shown = alice.read_until("choice:")
        check(b"Your character description:" in shown and b"aXbc\r\n" in shown,
              "the saved text is not aXbc: %r" % shown)
        check(b"hello there" in shown, "the held tell never came: %r" % shown)
        check(host.credits("Alice") < before, "saving charged nothing")
        alice.send("d\r")
        asked = alice.read_for(1.0)
        if b"Do you wish to continue? " in asked:
            alice.send("yes\r")
            asked += alice.read_until("\x1b[2J")
        check(b"\x1b[2J" in asked and b"aXbc" in asked, "the editor did not open on the text: %r" % asked)
        paid = host.credits("Alice")
        for keys, pause in ((b"more", 0.3), (b"\x1b", 0.6), (b"a", 0.3)):   # a lone Esc: the key after a pause
            alice.send(keys)
            alice.read_for(pause)
        alice.send(b"y")
        holds(alice.read_until("choice:"), b"aXbc", b"!aXbcmore")

        carol_before = host.credits("Carol")
        carol = modern(host, "Carol")
        open_description_editor(carol)
        carol.send(b"a draft never saved")
        carol.read_for(0.3)
        carol.close()
        host.wait_offline(bob, "Carol")
        check(host.credits("Carol") == carol_before, "a hang-up in the full-screen editor charged credits")
        check(paid == host.credits("Alice"), "abandoning charged")


class ScrollbackScreen(pyte.HistoryScreen):
    """A screen that keeps what a clear of the whole screen erased in its scrollback, as most terminal
    emulators do (pyte keeps only the lines scrolled off)."""

    def erase_in_display(self, how=0, *args, **kwargs):
        if how in (2, 3):
            for y in range(self.lines):
                self.history.top.append({x: self.buffer[y][x] for x in range(self.columns)})
        super().erase_in_display(how, *args, **kwargs)

    def every_row(self):
        return ["".join(row[x].data for x in range(self.columns)) for row in self.history.top] + self.display


@suite.case
def the_full_screen_editor_comes_without_the_line_editors_banner():
    banner = "Editing: up to 800 characters."
    with BbsHost() as host:
        alice = modern(host, "Alice")
        open_description_editor(alice)
        alice.send(b"words\x1a")   # typed, then saved with Ctrl-Z
        holds(alice.read_until("choice:"), b"words")
        screen = ScrollbackScreen(80, 24, history=1000)
        pyte.ByteStream(screen).feed(alice.seen.encode("latin-1"))
        rows = screen.every_row()
        check(any("Do you wish to continue? yes" in row for row in rows), "no scrollback kept: %r" % rows)
        check(not [row for row in rows if banner in row], "the banner is in the scrollback or on the screen: %r" % rows)
        bob = modern(host, "Bob", agree=ModernClient.ALL - {SGA, ECHO})   # line mode: the line editor
        bob.enter_plus()
        bob.steps(("d", "choice:"), ("d", "Do you wish to continue? "))
        holds(bob.type("yes", "/h helps."), banner.encode(), b"!\x1b[2J")


def showing(client, rows, cursor, size, after):
    """The client's screen once its first rows are `rows` (compared composed, NFC, as pyte keeps a letter with its
    marks) and its cursor at `cursor` (row, column); a failure telling what it shows instead."""
    wanted = ([unicodedata.normalize("NFC", row) for row in rows], cursor)
    for _ in range(50):
        screen = screen_of(client, size)
        try:
            display = screen.display
        except IndexError:  # pyte's own check: something was written over half of a wide character
            display = ["<half a wide character overwritten>"]
        got = ([row.rstrip() for row in display[:len(rows)]], (screen.cursor.y, screen.cursor.x))
        if got == wanted:
            return screen
        client.read_for(0.1)
    raise Failure("%s the editor shows %r, not %r" % (after, got, wanted))


@suite.case
def wide_characters_take_two_columns_and_marks_none_in_the_full_screen_editor():
    size, right, left, home, end = (100, 30), "\x1b[C", "\x1b[D", "\x1b[H", "\x1b[F"
    first = "Второй ряд: серебряный лук 🏹 and 漢字"
    no_bow, marks, hangul = first.replace("🏹", ""), "e\u0301e\u0301 cafe\u0301", "한국어 " * 10 + "한국어"
    text = [no_bow, marks, hangul, "한국어"]
    with BbsHost() as host:
        alice = modern(host, "Alice", size=size)
        open_description_editor(alice)
        # Each step: keys, then the rows the text area shows and where the cursor stands (row, column).
        for keys, rows, cursor in (
                (first, [first], (0, 38)),
                (left * 8 + right, [first], (0, 29)),                        # over a wide character: two columns
                ("\x7f", [no_bow], (0, 27)),
                (end + "\re\u0301te\u0301 cafe\u0301" + home + right + right, [no_bow, "e\u0301te\u0301 cafe\u0301"], (1, 2)),
                ("\x7f", [no_bow, marks], (1, 1)),                           # a mark is no step of its own
                (end + "\r" + "한국어 " * 12, text, (3, 7)),                  # the last word wraps at 79 columns
                (left * 3 + "\x1b[A", text, (2, 2))):
            alice.send(keys)
            screen = showing(alice, rows, cursor, size, "after %r" % keys)
        check(screen.display[28].startswith(" Line 3/10   Column 3   "), "the status line: %r" % screen.display[28])
        alice.send(b"\x1a")
        shown = alice.read_until("choice:")
        check(b"Your character description:" in shown and "\r\n".join(text).encode() in shown,
              "the saved text: %r" % shown)
        alice.send("d\r")     # opened again, the text is laid out as it was typed
        if b"Do you wish to continue? " in alice.read_for(1.0):
            alice.send("yes\r")
        showing(alice, text, (0, 0), size, "opened again,")


@suite.case
def keys_in_the_full_screen_editor_keep_an_idle_user_on():
    with BbsHost(options=["--idle-timeout", "0.1"]) as host:
        alice = modern(host, "Alice")
        open_description_editor(alice)
        until = time.monotonic() + 8
        while time.monotonic() < until:
            alice.send(b"x")
            holds(alice.read_for(1.0), b"!idle")
        holds(alice.read_until("goodbye."), b"you will be logged off in 3 seconds.")


@suite.case
def a_small_window_keeps_the_line_editor():
    with BbsHost() as host:
        alice = modern(host, "Alice", size=(60, 24))
        alice.enter_plus()
        holds(alice.open_editor("yes"), b"!\x1b[2J")
        alice.type("a line", "a line")
        holds(alice.type("/s", "choice:"), b"a line")


@suite.case
def compressed_output_once_agreed():
    with BbsHost() as host:
        c = modern(host, "Alice", settle=False, agree=ModernClient.ALL | {COMPRESS2})
        check(c.inflate is not None, "output not compressed after DO COMPRESS2")
        holds(c.type("stats"), b"Character: Alia")


@suite.case
def bidirectional_overrides_and_isolates_reach_no_other_user():
    # Alice's registry line (typed) and her description (the full-screen editor) hold every embedding, override
    # and isolate; Bob's /lookup and look show her words without them, a right-to-left mark kept.
    typed = "Right\u202ato\u202bleft\u202c \u202dand\u202e back\u2066 \u2067in\u2068side\u2069 \u200fmark"
    shown = "Righttoleft and back inside \u200fmark"
    with BbsHost() as host:
        alice, bob = modern(host, "Alice"), host.raw_user("Bob")
        alice.enter_plus()
        alice.steps(("r", "choice:"), ("e", "without saving:"), ("1", ": "), (typed, "without saving:"),
                    ("x", "choice:"), ("x", "choice:"), ("x", PROMPT))
        open_description_editor(alice)
        alice.send(typed.replace("Right", "Left") + "\x1a")   # Ctrl-Z saves
        alice.read_until("choice:")
        host.login("Sysop", plus=True).steps(
            ("s", CHOICE), ("a", "Approve which user's description? "), ("Alice", CHOICE, "Done."))
        for command, wanted in (("/lookup Alia", shown), ("look Alia", shown.replace("Right", "Left"))):
            out = bob.type(command, "]: ").encode("latin-1").decode("utf-8")
            holds(out, wanted, *("!" + c for c in typed if 0x202a <= ord(c) <= 0x2069))


suite.main()
