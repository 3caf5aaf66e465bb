#!/usr/bin/python3
"""The terminal layer over telnet, against the real bbshost on loopback, with
a raw socket client that negotiates as a modern client does (or refuses
everything, as the oldest ones do):

- the options: NAWS asked first, then TTYPE, BINARY, SGA, EOR, MSSP and
  COMPRESS2 offered; MSSP answered; a client refusing everything is served
  the very data a client that answers nothing is (line mode, no paging,
  no GA); a client that agrees to options but not SGA gets GA after each
  prompt;
- character mode once the client agrees to SGA and ECHO after the logon:
  the host edits the line (cursor keys, history), a line reaches the game
  only on Enter; EOR marks each prompt when agreed to;
- UTF-8 both ways, CP437 both ways for an ANSI-BBS terminal (TTYPE
  SYNCTERM), no escape sequences for a DUMB one;
- "-- More --" paging where the window's height is known, and a listing of
  statuses that waits for the reader;
- the full-screen editor for a description (Ctrl-Z saves, Esc A abandons,
  a hang-up abandons and charges nothing), the line editor where the
  window is too small;
- MCCP2: output compressed once the client agrees;
- `help` at the game prompt.
Where python3-pyte is installed, the screens are checked as drawn too."""

import os
import re
import socket
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import EXPECT_TIMEOUT, BbsHost, Failure, Suite, check, plain  # noqa: E402
from raw_telnet import RawClient  # noqa: E402

try:
    import pyte   # the screen checks need it (scripts/bootstrap installs python3-pyte)
except ImportError:
    pyte = None

suite = Suite("terminal")

IAC, DONT, DO, WONT, WILL, SB, SE, GA, EOR_CMD = 255, 254, 253, 252, 251, 250, 240, 249, 239
BINARY, ECHO, SGA, TTYPE, EOR, NAWS, MSSP, COMPRESS2 = 0, 1, 3, 24, 25, 31, 70, 86
LEFT, UP = b"\x1b[D", b"\x1b[A"
PROMPT = b"]: "


class ModernClient:
    """A telnet client on a socket that answers the host's options.

    agree: the options it agrees to (ours, when the host offers WILL, and
    its own, when the host asks DO); everything else is refused. Reads keep
    the data bytes (`data`, telnet commands removed, IAC IAC as one 0xFF)
    and a token stream with the commands in place (`stream`: bytes and
    ("EOR",) / ("GA",) markers) for checking where prompts are marked."""

    ALL = {BINARY, ECHO, SGA, TTYPE, EOR, NAWS, MSSP}

    def __init__(self, port, agree=ALL, ttype=b"XTERM-256COLOR", size=(80, 24)):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=EXPECT_TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.agree, self.ttype, self.size = set(agree), ttype, size
        self.data = b""          # not yet handed out
        self.commands = []       # (verb, option), ("SB", option, bytes), (GA,) or (EOR,)
        self.marks = []          # ("EOR"/"GA", bytes of data before it, counted from the start)
        self.total = 0           # data bytes read in all
        self.raw = b""
        self.seen = b""          # all data read, for a screen
        self.inflate = None
        self.eof = False
        self._pending = b""

    # ---- the telnet side ---------------------------------------------------------

    def _answer(self, verb, option):
        # (RFC 1143 answers: a WONT or DONT is acknowledged too.)
        if verb in (WILL, WONT):     # the host's own option
            if verb == WILL:
                self.sock.sendall(bytes([IAC, DO if option in self.agree else DONT, option]))
            else:
                self.sock.sendall(bytes([IAC, DONT, option]))
        else:                        # the host asks for ours
            if verb == DONT:
                self.sock.sendall(bytes([IAC, WONT, option]))
            if verb == DO:
                ok = option in self.agree
                self.sock.sendall(bytes([IAC, WILL if ok else WONT, option]))
                if ok and option == NAWS:
                    w, h = self.size
                    self.sock.sendall(bytes([IAC, SB, NAWS, w >> 8, w & 255, h >> 8, h & 255, IAC, SE]))

    def _parse(self, buf):
        """Parses what it can; returns the unparsed rest (an unfinished command)."""
        out = bytearray()
        i = 0
        while i < len(buf):
            b = buf[i]
            if b != IAC:
                out.append(b)
                i += 1
                continue
            if i + 1 >= len(buf):
                break
            c = buf[i + 1]
            if c == IAC:
                out.append(IAC)
                i += 2
            elif c in (WILL, WONT, DO, DONT):
                if i + 2 >= len(buf):
                    break
                self.commands.append((c, buf[i + 2]))
                self._answer(c, buf[i + 2])
                i += 3
            elif c == SB:
                end = buf.find(bytes([IAC, SE]), i)
                if end < 0:
                    break
                option, body = buf[i + 2], bytes(buf[i + 3:end])
                self.commands.append(("SB", option, body))
                i = end + 2
                if option == TTYPE and body[:1] == b"\x01":
                    self.sock.sendall(bytes([IAC, SB, TTYPE, 0]) + self.ttype + bytes([IAC, SE]))
                if option == COMPRESS2:
                    # What follows is compressed (MCCP2).
                    self.total += len(out)
                    self.data += bytes(out)
                    self.seen += bytes(out)
                    self.inflate = zlib.decompressobj()
                    rest = self.inflate.decompress(bytes(buf[i:]))
                    return self._parse(rest)
            else:
                if c in (GA, EOR_CMD):
                    self.marks.append(("GA" if c == GA else "EOR", self.total + len(out)))
                self.commands.append((c,))
                i += 2
        self.total += len(out)
        self.data += bytes(out)
        self.seen += bytes(out)
        return bytes(buf[i:])

    def _receive(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout()
        self.sock.settimeout(left)
        chunk = self.sock.recv(65536)
        if not chunk:
            self.eof = True
            return
        self.raw += chunk
        if self.inflate is not None:
            chunk = self.inflate.decompress(chunk)
        self._pending = self._parse(self._pending + chunk)

    def read_until(self, marker, timeout=EXPECT_TIMEOUT):
        if isinstance(marker, str):
            marker = marker.encode("utf-8")
        deadline = time.monotonic() + timeout
        while marker not in self.data:
            if self.eof:
                raise Failure("closed while waiting for %r; got %r" % (marker, self.data[-1500:]))
            try:
                self._receive(deadline)
            except socket.timeout:
                raise Failure("no %r within %ss; got %r" % (marker, timeout, self.data[-1500:]))
        end = self.data.index(marker) + len(marker)
        out, self.data = self.data[:end], self.data[end:]
        return out

    def read_for(self, seconds):
        deadline = time.monotonic() + seconds
        try:
            while not self.eof:
                self._receive(deadline)
        except (socket.timeout, OSError):
            pass
        out, self.data = self.data, b""
        return out

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("utf-8")
        self.sock.sendall(data.replace(bytes([IAC]), bytes([IAC, IAC])))

    def type(self, line, until=PROMPT):
        self.send(line + (b"\r" if isinstance(line, bytes) else "\r"))
        return self.read_until(until)

    def login(self, userid, password):
        self.read_until("User-ID: ")
        self.send(userid + "\r\n")
        self.read_until("Password: ")
        self.send(password + "\r\n")
        return self.read_until(PROMPT)

    def settle(self):
        """One round trip: every answer of the options is in by its end."""
        self.send(b"\r")
        self.read_until(PROMPT)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def modern(host, userid, password, **options):
    c = ModernClient(host.port, **options)
    host.clients.append(c)
    c.login(userid, password)
    c.settle()
    return c


def raw(host, userid, password):
    c = RawClient(host.port)
    host.clients.append(c)
    c.login(userid, password)
    return c


@suite.case
def options_at_connect_and_mssp():
    with BbsHost() as host:
        c = ModernClient(host.port)
        host.clients.append(c)
        c.read_until("User-ID: ")
        negotiations = [cmd for cmd in c.commands if len(cmd) == 2]
        check(negotiations[0] == (DO, NAWS), "NAWS is not asked first: %r" % negotiations)
        for wanted in ((DO, TTYPE), (WILL, BINARY), (DO, BINARY), (WILL, SGA), (WILL, EOR), (WILL, MSSP),
                       (WILL, COMPRESS2)):
            check(wanted in negotiations, "%r not offered: %r" % (wanted, negotiations))
        check((WILL, ECHO) not in negotiations, "ECHO offered before the password: %r" % negotiations)
        c.send(b"\r\n")
        c.read_until("User-ID: ")
        ttype_send = [cmd for cmd in c.commands if cmd[0] == "SB" and cmd[1] == TTYPE]
        check(ttype_send == [("SB", TTYPE, b"\x01")], "no TTYPE SEND after WILL TTYPE: %r" % c.commands)
        mssp = [cmd for cmd in c.commands if cmd[0] == "SB" and cmd[1] == MSSP]
        check(len(mssp) == 1, "no MSSP answer: %r" % c.commands)
        pairs = {}
        for item in mssp[0][2].split(b"\x01")[1:]:
            name, _, value = item.partition(b"\x02")
            pairs[name.decode()] = value.decode()
        check(set(pairs) == {"NAME", "PLAYERS", "UPTIME", "CODEBASE"}, "MSSP variables: %r" % pairs)
        check(pairs["PLAYERS"] == "0" and pairs["NAME"], "MSSP values: %r" % pairs)
        check(abs(int(pairs["UPTIME"]) - time.time()) < 3600, "UPTIME is no start time: %r" % pairs)


@suite.case
def a_client_refusing_everything_is_served_as_one_that_answers_nothing():
    script = ["stats", "help", "look Bobo", "a line of forty characters, then more: " * 3]
    with BbsHost() as host:
        def session(client, read):
            greeting = read("User-ID: ")
            client.send("Alice")
            password = read("Password: ")
            client.send("alice")
            answers = [read("]: ")]
            for line in script:
                client.send(line)
                answers.append(read("]: "))
            client.send("quit")
            client.read_for(0.5) if hasattr(client, "read_for") else None
            return [greeting, password] + answers

        silent = RawClient(host.port)
        host.clients.append(silent)
        silent.send = lambda line, c=silent: c.sock.sendall(line.encode("latin-1") + b"\r\n")
        want = session(silent, lambda m: silent.read_until(m).encode("latin-1"))
        refusing = ModernClient(host.port, agree=set())
        host.clients.append(refusing)
        refusing_send = refusing.send
        refusing.send = lambda line: refusing_send(line + "\r\n")
        got = session(refusing, refusing.read_until)
        for g, w in zip(got, want):
            check(g == w, "answered differently:\n%r\n%r" % (g, w))
        check(not [m for m in refusing.commands if m == (WILL, ECHO)][1:],
              "ECHO offered again after the password: %r" % refusing.commands)
        # A client that agreed to nothing gets no GA either: the bytes of a
        # plain telnet session.
        check(refusing.marks == [], "prompts marked for a client that agreed to nothing: %r" % refusing.marks)
        check((GA, None) not in silent.commands, "GA sent to a silent client: %r" % silent.commands)
        # A MUD client that takes NAWS and TTYPE but keeps GA: GA marks the
        # prompts after its answers came (the password's, the game's).
        mud = modern(host, "Bob", "bob", agree={NAWS, TTYPE})
        kinds = [m[0] for m in mud.marks]
        check(set(kinds) == {"GA"} and len(kinds) >= 2, "prompts not marked by GA: %r" % mud.marks)


@suite.case
def character_mode_edits_the_line():
    with BbsHost() as host:
        bob = raw(host, "Bob", "bob")
        alice = modern(host, "Alice", "alice")
        echo = [cmd for cmd in alice.commands if cmd in ((WILL, ECHO), (WONT, ECHO))]
        check(echo == [(WILL, ECHO), (WONT, ECHO), (WILL, ECHO)],
              "ECHO not taken for the password, given back, taken for character mode: %r" % echo)
        cases = [
            # keys typed, what Bob is told
            (b"tell Bobo abc" + LEFT + LEFT + b"X\r", "tells you: aXbc"),
            (b"tell Bobo wrong\x15tell Bobo right\r", "tells you: right"),                 # Ctrl-U
            (b"tell Bobo one two\x17three\r", "tells you: one three"),                     # Ctrl-W
            (b"ell Bobo abc\x01t\x05d\r", "tells you: abcd"),                          # Ctrl-A, Ctrl-E
            (b"ell Bobo xy\x1b[Ht\x1b[Fz\r", "tells you: xyz"),                          # Home, End
            (b"tell Bobo abcd\x7f\x08e\r", "tells you: abe"),                              # DEL, BS
            (UP + b"!\r", "tells you: abe!"),                                               # history
        ]
        # On the screen (where pyte is there to draw it): the line as edited,
        # the cursor after the X.
        if pyte is not None:
            alice.send(b"tell Bobo abc" + LEFT + LEFT + b"X")
            alice.read_for(0.5)
            screen = pyte.Screen(80, 24)
            pyte.ByteStream(screen).feed(alice.seen)
            row = screen.display[screen.cursor.y]
            check(row.rstrip() == "[Brakvold Alia]: tell Bobo aXbc" and screen.cursor.x == row.index("aX") + 2,
                  "the edited line on the screen: %r, cursor at %d" % (row, screen.cursor.x))
            alice.send(b"\x15")   # Ctrl-U
            alice.read_for(0.3)
        else:
            print("python3-pyte is not installed: the screen check is left out")
        for keys, told in cases:
            alice.send(keys)
            alice.read_until(PROMPT)
            got = bob.read_until("]: ")
            check(told in got, "%r: Bob was told %r" % (keys, got))
        # Nothing reaches the game before Enter; the echo comes from the host.
        alice.send(b"stats")
        echo = alice.read_for(0.5)
        check(echo == b"stats", "the typed keys were not echoed as typed: %r" % echo)
        out = alice.type(b"")
        check(b"Character: Alia" in out, "the line did not reach the game on Enter: %r" % out)
        # EOR (agreed to) after each prompt, no GA; the user-ID prompt, sent
        # before the client's answers came, is not marked.
        marks = [m[0] for m in alice.marks]
        check(set(marks) == {"EOR"} and len(marks) > 9,
              "prompts not marked by EOR alone: %r" % alice.marks)
        check(PROMPT + bytes([IAC, EOR_CMD]) in alice.raw, "no IAC EOR right after the prompt")


@suite.case
def password_is_never_echoed():
    with BbsHost() as host:
        c = ModernClient(host.port)
        host.clients.append(c)
        c.read_until("User-ID: ")
        c.send("Alice\r\n")
        c.read_until("Password: ")
        check((WILL, ECHO) in c.commands, "echo not taken over for the password")
        c.send("alice\r\n")
        after = c.read_until(PROMPT)
        check(b"alice" not in after, "the password came back: %r" % after)


@suite.case
def utf8_and_cp437_both_ways():
    with BbsHost() as host:
        alice = modern(host, "Alice", "alice")
        bob = modern(host, "Bob", "bob", ttype=b"SYNCTERM")
        carol = modern(host, "Carol", "carol", ttype=b"DUMB")
        text = "серебряный лук"
        alice.type("tell Bobo " + text)
        alice.type("tell Bobo Grüße")
        told = bob.read_until("Grüße".encode("cp437"))
        check("Gr\x81\xe1e" in told.decode("latin-1"), "CP437 output is not CP437: %r" % told)
        check(b"?????????? ???" in told, "characters CP437 lacks are not '?': %r" % told)
        # Bob types CP437; Alice reads UTF-8, and his echo is CP437 too.
        bob.send("tell Alia Grüße".encode("cp437"))
        echo = bob.read_for(0.5)
        check(echo.endswith("Grüße".encode("cp437")), "the echo is not CP437: %r" % echo)
        bob.type(b"")
        got = alice.read_until("tells you: Grüße")
        check("Grüße".encode("utf-8") in got, "CP437 input did not reach UTF-8: %r" % got)
        alice.read_until(PROMPT)
        # The Russian round trip: typed, told, echoed in UTF-8.
        out = alice.type("tell Bobo " + text)
        check(("You tell Bobo: " + text).encode("utf-8") in out, "UTF-8 did not come back whole: %r" % out)
        # A DUMB terminal gets the same text without escape sequences.
        colourful = alice.type("help")
        for command in (b"ext", b"look NAME", b"stats", b"mail", b"who", b"tell NAME", b"help", b"quit"):
            check(b"\r\n  " + command + b" " in colourful, "help does not list %r: %r" % (command, colourful))
        dumb = carol.type("help")
        check(b"\x1b" not in dumb and b"Commands:" in dumb, "escapes reached a DUMB terminal: %r" % dumb)


@suite.case
def paging_and_a_listing_that_waits():
    with BbsHost() as host:
        status, _, err = host.admin("db", "fill", "R", "--count", "300", "--tag", "QRTBKPLS_REG")
        check(status == 0, "db fill failed: %r" % err)
        bob = raw(host, "Bob", "bob")
        carol = modern(host, "Carol", "carol", size=(80, 24))
        carol.type("ext", "Extension: ")
        carol.type("*", "choice:")
        carol.type("r", "choice:")
        carol.type("s", "(enter='a'):")
        carol.send("r\r")
        first = carol.read_until("-- More --")
        rows = first.split(b"\r\n")[1:]   # after the echo of her line
        check(len(rows) == 24 and rows[-1].endswith(b"-- More --"),
              "a page is not 23 rows and the prompt: %r" % rows)
        screen = screen_of(carol)
        if screen is not None:
            check(screen.display[23].startswith("-- More --") and screen.display[0].strip(),
                  "the page does not fill the window above the prompt: %r" % screen.display)
        # The listing waits for her: Bob is served, her page stays put.
        check("Time played" in bob.type("stats", "]: "), "Bob is not served")
        held = carol.read_for(1.0)
        check(held == b"", "output went on past the page: %r" % held)
        listed = first.count(b"R00")
        # Space: the next page; the listing goes on.
        carol.send(b" ")
        second = carol.read_until("-- More --")
        check(second.count(b"R00") > 0, "space did not bring the next page: %r" % second)
        # Q: the rest unpaged; the listing runs on, Enter stops it.
        carol.send(b"q")
        rest = carol.read_for(1.0)
        check(b"-- More --" not in rest, "paged after Q: %r" % rest[-300:])
        check(listed > 5, "too little on the first page: %r" % first)


@suite.case
def short_windows_page_help_and_lines_turn_pages_in_line_mode():
    with BbsHost() as host:
        # Line mode (no SGA), with a window of 6 rows: a line turns the page.
        c = modern(host, "Alice", "alice", agree=ModernClient.ALL - {SGA}, size=(80, 6))
        c.send("help\r\n")
        page = c.read_until("-- More --")
        check(page.count(b"\r\n") == 5, "a page of 6 rows is not 5 lines and the prompt: %r" % page)
        rest = b""
        for _ in range(5):
            c.send("\r\n")
            rest += c.read_until("-- More --" if b"quit" not in rest else PROMPT)
            if PROMPT in rest:
                break
        check(b"quit" in rest and PROMPT in rest, "the next pages did not come: %r" % rest)
        # The user switches paging off: help comes whole; and on again.
        c.read_for(0.5)
        for typed, said in (("paging", b"Paging is on."), ("paging off", b"Paging is off."),
                            ("paging maybe", b"Type paging ON or paging OFF.")):
            c.send(typed + "\r\n")
            got = c.read_until(PROMPT)
            check(said in got, "%r did not answer %r: %r" % (typed, said, got))
        c.send("help\r\n")
        whole = c.read_until(PROMPT)
        check(b"-- More --" not in whole and b"quit" in whole, "paged with paging off: %r" % whole)
        c.send("paging on\r\n")
        check(b"Paging is on." in c.read_until(PROMPT), "paging on did not answer")
        c.send("help\r\n")
        check(b"-- More --" in c.read_until("-- More --"), "not paged once paging is on again")


def screen_of(client, size=(80, 24)):
    """The client's screen as pyte draws all it was sent; None without pyte."""
    if pyte is None:
        print("python3-pyte is not installed: a screen check is left out")
        return None
    screen = pyte.Screen(*size)
    pyte.ByteStream(screen).feed(client.seen)
    return screen


def credits_of(host, userid):
    status, out, err = host.admin("user", "show", userid)
    check(status == 0, "user show %s failed: %r" % (userid, err))
    match = re.search(r"credits=(\d+)", out)
    check(match is not None, "user show printed no credits: %r" % out)
    return int(match.group(1))


def open_description_editor(client):
    client.type("ext", "Extension: ")
    client.type("*", "choice:")
    client.type("d", "choice:")
    client.type("d", "Do you wish to continue? ")
    client.send("yes\r")
    return client.read_until("\x1b[2J")


@suite.case
def full_screen_editor_saves_and_a_hang_up_abandons():
    with BbsHost() as host:
        before = credits_of(host, "Alice")
        alice = modern(host, "Alice", "alice")
        bob = raw(host, "Bob", "bob")
        open_description_editor(alice)
        # A tell meanwhile waits until the editor closes.
        bob.type("tell Alia hello there", "]: ")
        alice.send(b"abc" + LEFT + LEFT + b"X")
        typed = alice.read_for(0.5)
        check(b"hello there" not in typed, "a tell broke into the editor: %r" % typed)
        screen = screen_of(alice)
        if screen is not None:
            check(screen.display[0].rstrip() == "aXbc" and (screen.cursor.y, screen.cursor.x) == (0, 2),
                  "the editor's screen: %r, cursor %r" % (screen.display[:2], (screen.cursor.y, screen.cursor.x)))
            check("Ctrl-Z save" in screen.display[23], "no key help on the last row: %r" % screen.display[23])
        alice.send(b"\x1a")   # Ctrl-Z saves
        shown = alice.read_until("choice:")
        check(b"Your character description:" in shown and b"aXbc\r\n" in shown,
              "the saved text is not aXbc: %r" % shown)
        check(b"hello there" in shown, "the held tell never came: %r" % shown)
        check(credits_of(host, "Alice") < before, "saving charged nothing")
        # The menu: Esc, then A abandons (asking first: the text changed).
        alice.send("d\r")
        asked = alice.read_for(1.0)
        if b"Do you wish to continue? " in asked:
            alice.send("yes\r")
            asked += alice.read_until("\x1b[2J")
        check(b"\x1b[2J" in asked and b"aXbc" in asked, "the editor did not open on the text: %r" % asked)
        paid = credits_of(host, "Alice")
        alice.send(b"more")
        alice.read_for(0.3)
        alice.send(b"\x1b")
        alice.read_for(0.6)    # a lone Esc is the key after a pause
        alice.send(b"a")
        alice.read_for(0.3)
        alice.send(b"y")
        shown = alice.read_until("choice:")
        check(b"aXbc" in shown and b"aXbcmore" not in shown, "the abandoned text was stored: %r" % shown)

        # Carol hangs up in it: nothing stored, nothing charged.
        carol_before = credits_of(host, "Carol")
        carol = modern(host, "Carol", "carol")
        open_description_editor(carol)
        carol.send(b"a draft never saved")
        carol.read_for(0.3)
        carol.close()
        for _ in range(100):
            if "  Carol " not in plain(bob.type("who", "]: ")):
                break
            time.sleep(0.05)
        check(credits_of(host, "Carol") == carol_before, "a hang-up in the full-screen editor charged credits")
        check(paid == credits_of(host, "Alice"), "abandoning charged")


@suite.case
def keys_in_the_full_screen_editor_keep_an_idle_user_on():
    # --idle-timeout 0.1: six seconds, the warning after three.
    with BbsHost(options=["--idle-timeout", "0.1"]) as host:
        alice = modern(host, "Alice", "alice")
        open_description_editor(alice)
        until = time.monotonic() + 8
        while time.monotonic() < until:
            alice.send(b"x")
            got = alice.read_for(1.0)
            check(b"idle" not in got, "warned while typing in the editor: %r" % got)
        # Then idle: warned and logged off over the editor's screen.
        shown = alice.read_until("goodbye.")
        check(b"you will be logged off in 3 seconds." in shown, "no warning over the editor: %r" % shown)


@suite.case
def a_small_window_keeps_the_line_editor():
    with BbsHost() as host:
        alice = modern(host, "Alice", "alice", size=(60, 24))
        alice.type("ext", "Extension: ")
        alice.type("*", "choice:")
        alice.type("d", "choice:")
        alice.type("d", "Do you wish to continue? ")
        out = alice.type("yes", "/h helps.")
        check(b"\x1b[2J" not in out, "the full-screen editor opened in 60 columns: %r" % out)
        alice.type("a line", "a line")
        shown = alice.type("/s", "choice:")
        check(b"a line" in shown, "the line editor did not store: %r" % shown)


@suite.case
def compressed_output_once_agreed():
    with BbsHost() as host:
        c = ModernClient(host.port, agree=ModernClient.ALL | {COMPRESS2})
        host.clients.append(c)
        c.login("Alice", "alice")
        check(c.inflate is not None, "output not compressed after DO COMPRESS2")
        out = c.type("stats")
        check(b"Character: Alia" in out, "compressed output unreadable: %r" % out)


if __name__ == "__main__":
    sys.exit(suite.run())
