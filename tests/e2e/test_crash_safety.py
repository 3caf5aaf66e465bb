#!/usr/bin/python3
"""SIGKILL during saves and purchases: every confirmed save kept, none half, charges matching."""

import random

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("crash_safety")

PLAYERS = [("Alice", "Alia"), ("Bob", "Bobo"), ("Carol", "Cara")]

# Every description save is paid for (approved at once).
DESC_CREDITS, DESC_COPPER, DESC_DAYS, LIFE_CREDITS, LIFE_COPPER = 100, 1, 1, 500, 10
OPTIONS = {"DESCCRD": DESC_CREDITS, "DESCCOP": DESC_COPPER, "DESCDAY": DESC_DAYS,
           "LIFECRD": LIFE_CREDITS, "LIFECOP": LIFE_COPPER, "DESCAPP": "NO"}
ROUNDS, UIDSIZ, TAGSIZ, DESC_SIZE, REG_SIZE, DESC_TEXT, REG_LINE1, REG_LINESIZ = 3, 30, 25, 960, 672, 55, 58, 61


def cstr(data, offset, size):
    raw = data[offset:offset + size]
    end = raw.find(b"\0")
    return (raw if end < 0 else raw[:end]).decode("latin-1")


def snapshot(data_dir):
    path = os.path.join(data_dir, "bbs.db")
    with read_only(path) as db:
        equal([row[0] for row in db.execute("PRAGMA integrity_check")], ["ok"], "integrity check after the crash")
        records = {}
        for (data,) in db.execute("SELECT data FROM generic"):
            userid, tag = cstr(data, 0, UIDSIZ), cstr(data, UIDSIZ, TAGSIZ)
            key = (userid.upper(), tag.upper())
            check(key not in records, "record %r/%r is stored twice" % (userid, tag))
            if tag == "QRTBKPLS_DESC":
                check(len(data) == DESC_SIZE, "description of %s has %d bytes" % (userid, len(data)))
                records[key] = cstr(data, DESC_TEXT, 801)
            elif tag == "QRTBKPLS_REG":
                check(len(data) == REG_SIZE, "registry of %s has %d bytes" % (userid, len(data)))
                records[key] = cstr(data, REG_LINE1, REG_LINESIZ)
            else:
                raise Failure("unexpected record %r/%r" % (userid, tag))
        accounts = {u.upper(): (c, d) for u, c, d in db.execute("SELECT userid, credits, days FROM accounts")}
        players = {n.upper(): (l, c) for n, l, c in db.execute("SELECT name, lives, copper FROM players")}
    return {userid: dict(desc=records.get((userid.upper(), "QRTBKPLS_DESC")),
                         reg=records.get((name.upper(), "QRTBKPLS_REG")),
                         **dict(zip(("credits", "days"), accounts[userid.upper()])),
                         **dict(zip(("lives", "copper"), players[name.upper()])))
            for userid, name in PLAYERS}


class Player(threading.Thread):
    """A description, a registry line and a life, again and again; what was confirmed and on its way."""

    def __init__(self, port, userid, round_no, killed):
        super().__init__(daemon=True)
        self.port, self.userid, self.round_no, self.killed = port, userid, round_no, killed
        self.desc_confirmed = self.desc_in_flight = self.reg_confirmed = self.reg_in_flight = self.error = None
        self.desc_saves = self.lives_bought = self.loops = 0
        self.life_in_flight = False

    def run(self):
        try:
            c = RawClient(self.port)
            c.login(self.userid, plus=True)
            n = 0
            while True:
                n += 1
                self.description(c, "%s r%d text %d" % (self.userid, self.round_no, n))
                self.registry(c, "%s r%d line %d" % (self.userid, self.round_no, n))
                self.life(c)
                self.loops += 1
        except Exception as e:  # noqa: BLE001 - judged below
            if not self.killed.is_set():
                self.error = "%s: %s" % (type(e).__name__, e)

    def description(self, c, text):
        c.open_editor()
        c.type("/c", "Text cleared.")
        c.send(text)
        self.desc_in_flight = text
        out = c.type("/s", "choice:")
        if "cannot pay" in out:
            raise Failure("%s could not pay for a description: %r" % (self.userid, out))
        check(text in out, "the saved description is not shown: %r" % out)
        self.desc_confirmed, self.desc_in_flight = text, None
        self.desc_saves += 1
        c.type("x", "choice:")

    def registry(self, c, line):
        c.steps(("r", "choice:"), ("e", "without saving:"), ("1", ": "), (line, "without saving:"))
        self.reg_in_flight = line
        c.steps(("x", "choice:", "Custom registry"))
        self.reg_confirmed, self.reg_in_flight = line, None
        c.type("x", "choice:")

    def life(self, c):
        c.type("l", "buy one? ")
        self.life_in_flight = True
        out = c.type("y", "choice:")
        if "one more life" in out:
            self.lives_bought += 1
        else:
            check("as many lives" in out, "a life was refused for another reason: %r" % out)
        self.life_in_flight = False


def judge(before, after, players):
    for p in players:
        b, a = before[p.userid], after[p.userid]
        who = "%s (round %d, %d loops)" % (p.userid, p.round_no, p.loops)
        allowed = {p.desc_confirmed if p.desc_saves else b["desc"]} | ({p.desc_in_flight} if p.desc_in_flight else set())
        check(a["desc"] in allowed, "%s: description %r, expected one of %r" % (who, a["desc"], allowed))
        saves = p.desc_saves + (1 if p.desc_in_flight and a["desc"] == p.desc_in_flight else 0)
        allowed = {p.reg_confirmed if p.reg_confirmed else b["reg"]} | ({p.reg_in_flight} if p.reg_in_flight else set())
        check(a["reg"] in allowed, "%s: registry line %r, expected one of %r" % (who, a["reg"], allowed))
        gained = a["lives"] - b["lives"]
        check(gained == p.lives_bought or (p.life_in_flight and gained == p.lives_bought + 1),
              "%s: %d lives gained, %d confirmed, one in flight: %s" % (who, gained, p.lives_bought, p.life_in_flight))
        for field, paid in (("credits", DESC_CREDITS * saves + LIFE_CREDITS * gained),
                            ("copper", DESC_COPPER * saves + LIFE_COPPER * gained), ("days", DESC_DAYS * saves)):
            check(b[field] - a[field] == paid, "%s: %s %d -> %d for %d descriptions and %d lives" %
                  (who, field, b[field], a[field], saves, gained))


@suite.case
def sigkill_while_players_save_and_buy():
    rng = random.Random(os.environ.get("CRASH_SEED", str(time.time())))
    with made_folder() as first:
        for name, value in OPTIONS.items():
            set_option(first.data, name, value)
        for userid, _ in PLAYERS:
            first.admin_ok("user", "set", userid, "--credits", "1000000", "--days", "10000")
        state = snapshot(first.data)
        total_saves = 0
        for round_no in range(1, ROUNDS + 1):
            with BbsHost(data_dir=first.data) as host:
                killed = threading.Event()
                players = [Player(host.port, userid, round_no, killed) for userid, _ in PLAYERS]
                for p in players:
                    p.start()
                deadline = time.monotonic() + rng.uniform(1.0, 2.5)
                while time.monotonic() < deadline and all(p.error is None for p in players):
                    time.sleep(0.05)
                killed.set()
                host.proc.kill()
                host.proc.wait(20)
                for p in players:
                    p.join(20)
                    check(not p.is_alive(), "%s's loop did not end after the kill" % p.userid)
                    check(p.error is None, "%s failed before the kill: %s" % (p.userid, p.error))
                check(sum(p.loops for p in players) > 0, "no player finished a loop before the kill")
                after = snapshot(first.data)
                judge(state, after, players)
                total_saves += sum(p.desc_saves for p in players)
                state = after

        with BbsHost(data_dir=first.data) as host:
            stored = state["Alice"]["desc"]   # shown by the restarted host
            holds(host.raw_user("Alice", plus=True).type("d", "choice:"), *[stored] if stored else [])
            host.stop_cleanly()
        rows = first.db_rows()
        check(len(rows) == len(set(r.upper() for r in rows)), "db list after the crashes: %r" % rows)
        check(total_saves > 0, "no description save was confirmed in %d rounds" % ROUNDS)


suite.main()
