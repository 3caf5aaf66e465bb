#!/usr/bin/python3
"""A sysop's day-to-day operations on the running bbshost: time-stamped
logs, reopening them for logrotate (SIGUSR1), the idle timeout of logged-on
users, and `who` for sysops, each through the real program over loopback."""

import calendar
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (BBSHOST, CONFIG_DIR, Client, Failure, Suite, check, free_port,  # noqa: E402
                         host_env, plain, run_admin, wait_until)

suite = Suite("operations")

START_TIMEOUT = 60
STOP_TIMEOUT = 20
STAMP = re.compile(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) ")
LIFE = ["Deducted 500 credits from %s for a life.",       # the shipped prices of a life
        "Brakvold: took 1000 copper, account %s, player %s.",
        "%s purchased a life."]


class Host:
    """bbshost on a free loopback port with a data folder of its own (the
    demo population) and the options given; stopped by close()."""

    def __init__(self, *options):
        self.root = tempfile.mkdtemp(prefix="bbshost-e2e-ops-")
        self.data = os.path.join(self.root, "data")
        self.options = list(options)
        self.proc = None
        self.port = None
        self.clients = []
        self.out = []
        self.lock = threading.Condition()

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        check(BBSHOST and os.path.exists(BBSHOST), "BBSHOST is not set to the program: %r" % BBSHOST)
        self.port = free_port()
        args = [BBSHOST, "--data", self.data, "--bind", "127.0.0.1", "--port", str(self.port)]
        if CONFIG_DIR:
            args += ["--config", CONFIG_DIR]
        self.proc = subprocess.Popen(args + self.options, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     env=host_env(), cwd=self.root)
        threading.Thread(target=self._pump, daemon=True).start()
        wanted = "listening on 127.0.0.1:%d" % self.port
        deadline = time.monotonic() + START_TIMEOUT
        with self.lock:
            while not any(wanted in line for line in self.out):
                check(self.proc.poll() is None, "bbshost exited with %s:\n%s" % (self.proc.returncode, self.output()))
                check(time.monotonic() < deadline, "bbshost did not listen:\n" + self.output())
                self.lock.wait(0.5)

    def _pump(self):
        for raw in iter(self.proc.stdout.readline, b""):
            with self.lock:
                self.out.append(raw.decode("utf-8", "replace"))
                self.lock.notify_all()

    def output(self):
        with self.lock:
            return "".join(self.out)

    def stop(self):
        """SIGTERM; the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                raise Failure("bbshost did not stop on SIGTERM")
        return self.proc.returncode

    def close(self):
        for client in self.clients:
            client.close()
        try:
            if self.proc is not None and self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait(STOP_TIMEOUT)
        finally:
            shutil.rmtree(self.root, ignore_errors=True)

    def connect(self):
        client = Client(self.port)
        self.clients.append(client)
        return client

    def login(self, userid, password):
        client = self.connect()
        client.login(userid, password)
        return client

    def path(self, name):
        return os.path.join(self.data, name)

    def text(self, name):
        try:
            with open(self.path(name), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""


def unstamped(text, since, what, line_end="\n"):
    """The lines of a log, each without its time stamp; fails when a line has
    none, or one that is not UTC between `since` and now."""
    now = time.time()
    lines = text.split(line_end)
    check(lines[-1] == "", "%s does not end its last line: %r" % (what, text[-300:]))
    rest = []
    for line in lines[:-1]:
        m = STAMP.match(line)
        check(m, "%s: a line without its time stamp: %r" % (what, line))
        when = calendar.timegm(time.strptime(m.group(1), "%Y-%m-%dT%H:%M:%SZ"))
        check(since - 1 <= when <= now + 1, "%s: %s is not the time it was written (UTC)" % (what, m.group(1)))
        rest.append(line[m.end():])
    return rest


def buy_life(client):
    client.enter_plus()
    client.type("l", "buy one? ")
    check("one more life" in client.type("y", "choice:"), "the life was not bought")
    client.type("x", "]: ")


def life_lines(userid, player):
    return [LIFE[0] % userid, LIFE[1] % (userid, player), LIFE[2] % userid]


@suite.case
def both_logs_stamp_every_line_in_utc_and_keep_the_game_lines_as_written():
    since = time.time()
    with Host() as host:
        alice = host.login("Alice", "alice")
        buy_life(alice)
        wait_until(lambda: LIFE[2] % "Alice" in host.text("brakvold.log"), "the purchase in the game log")
        check(host.stop() == 0, "the host did not stop cleanly")
        events = unstamped(host.text("bbshost.log"), since, "the host log")
        for event in ("started: listening on 127.0.0.1:%d" % host.port, "logon of Alice at channel",
                      "hang-up of Alice", "stopped"):
            check(any(line.startswith(event) for line in events), "no %r in the host log: %r" % (event, events))
        # Each charge line of the module as it wrote it, CR LF and all,
        # after the stamp; nothing else about the purchase.
        game = unstamped(host.text("brakvold.log"), since, "the game log", line_end="\r\n")
        for line in life_lines("Alice", "Alia"):
            check(game.count(line) == 1, "%r is not in the game log once: %r" % (line, game))
        check(all("Alice" not in line or line in life_lines("Alice", "Alia") for line in game),
              "more about Alice in the game log: %r" % game)


@suite.case
def sigusr1_reopens_both_logs_after_they_were_moved_and_loses_nothing():
    since = time.time()
    with Host() as host:
        alice = host.login("Alice", "alice")
        buy_life(alice)
        wait_until(lambda: LIFE[2] % "Alice" in host.text("brakvold.log"), "the first purchase in the game log")
        for name in ("bbshost.log", "brakvold.log"):
            os.rename(host.path(name), host.path(name + ".1"))
        # Until the signal the host writes on in the moved files.
        host.login("Bob", "bob")
        buy_life(alice)
        wait_until(lambda: host.text("brakvold.log.1").count(LIFE[2] % "Alice") == 2,
                   "the second purchase in the moved game log")
        host.proc.send_signal(signal.SIGUSR1)
        wait_until(lambda: "logs reopened" in host.text("bbshost.log"), "the host log to be reopened")
        carol = host.login("Carol", "carol")
        buy_life(carol)
        wait_until(lambda: LIFE[2] % "Carol" in host.text("brakvold.log"), "the third purchase in the new game log")
        check(host.stop() == 0, "the host did not stop cleanly")

        old = unstamped(host.text("bbshost.log.1"), since, "the moved host log")
        new = unstamped(host.text("bbshost.log"), since, "the new host log")
        check(any(line.startswith("logon of Bob") for line in old), "Bob's logon is not in the moved log: %r" % old)
        check(old[-1] == "SIGUSR1: reopening the logs", "the moved host log goes on after the signal: %r" % old[-3:])
        check(new[0] == "logs reopened", "the new host log does not begin with the reopening: %r" % new[:3])
        check(any(line.startswith("logon of Carol") for line in new), "Carol's logon is not in the new log: %r" % new)
        check("stopped" in new and "stopped" not in old, "the stop is not in the new host log only: %r" % new[-3:])
        check(not any(line.startswith(("error", "warning")) for line in old + new),
              "the reopening went wrong: %r" % [line for line in old + new if line.startswith(("error", "warning"))])

        old_game = unstamped(host.text("brakvold.log.1"), since, "the moved game log", line_end="\r\n")
        new_game = unstamped(host.text("brakvold.log"), since, "the new game log", line_end="\r\n")
        for line in life_lines("Alice", "Alia"):
            check(old_game.count(line) == 2 and line not in new_game, "%r is not twice in the moved game log only" % line)
        for line in life_lines("Carol", "Cara"):
            check(new_game.count(line) == 1 and line not in old_game, "%r is not once in the new game log only" % line)
        for name in ("bbshost.log", "brakvold.log"):
            mode = stat.S_IMODE(os.stat(host.path(name)).st_mode)
            check(mode == 0o600, "the new %s has mode %o" % (name, mode))


# --idle-timeout 0.1: six seconds, the warning half-way (a minute before
# the end of longer timeouts).
IDLE_OPTION = ["--idle-timeout", "0.1"]
WARNING = "You have been idle for 3 seconds; you will be logged off in 3 seconds."
GOODBYE = "You have been idle for 6 seconds; goodbye."


@suite.case
def idle_users_are_warned_then_logged_off_like_a_hang_up_and_lines_keep_them_on():
    with Host(*IDLE_OPTION) as host:
        alice = host.login("Alice", "alice")
        bob = host.login("Bob", "bob")
        # Alice in the editor of her description, with a draft never saved.
        alice.enter_plus()
        alice.type("d", "choice:")
        alice.type("d", "Do you wish to continue? ")
        alice.type("yes", "/h helps.")
        alice.send("A draft that is never saved.")

        # Bob types a line a second: he is never warned.
        until = time.monotonic() + 8
        while time.monotonic() < until:
            check("idle" not in bob.type("stats", "]: "), "Bob was warned while he typed: %r" % bob.seen[-300:])
            time.sleep(1)

        alice.expect(WARNING)
        alice.expect(GOODBYE)
        alice.expect_closed()
        wait_until(lambda: "logoff: Alice" in host.text("bbshost.log"), "Alice's hang-up in the host log")
        log = host.text("bbshost.log")
        check(re.search(r"idle timeout: Alice at channel \d+ logged off after 6 seconds without a line", log),
              "the idle logoff is not in the host log:\n" + log[-1500:])
        # Logged off through the hang-up: the editor was abandoned, nothing
        # stored, and she can log on again at once.
        again = host.login("Alice", "alice")
        again.enter_plus()
        check("<None>" in plain(again.type("d", "choice:")), "Alice's abandoned draft was stored")
        again.close()

        # A line after the warning starts the idle time again: the next
        # warning comes three seconds after it.
        carol = host.login("Carol", "carol")
        carol.expect(WARNING)
        typed = time.monotonic()
        carol.type("stats", "]: ")
        carol.expect(WARNING)
        check(time.monotonic() - typed >= 2.5, "Carol's line did not start her idle time again")
        carol.expect(GOODBYE)
        carol.expect_closed()

    status, _, err = run_admin(os.devnull, "--idle-timeout=-1")
    check(status != 0 and "idle-timeout" in err, "a negative idle timeout was taken: %s %r" % (status, err))


SESSION_ROW = re.compile(r"^  (\S.{28}) (\S+) +(127\.0\.0\.1:\d+) +(\d+:\d\d(?::\d\d)?)  (.+)$")


def sessions(text):
    """The rows of `who`'s session table: (user-ID, way, address, idle seconds, where)."""
    lines = plain(text).split("\n")
    check("Sessions:" in lines, "no session table: %r" % text)
    rows = []
    for line in lines[lines.index("Sessions:") + 2:]:
        m = SESSION_ROW.match(line)
        if not m:
            break
        idle = 0
        for part in m.group(4).split(":"):
            idle = idle * 60 + int(part)
        rows.append((m.group(1).strip(), m.group(2), m.group(3), idle, m.group(5)))
    return rows


def players_part(text):
    """The game's list of players in `who`'s answer."""
    text = plain(text)
    start = text.index("In Brakvold now:")
    end = text.find("Sessions:", start)
    if end < 0:
        end = text.index("[Brakvold", start)
    return text[start:end].rstrip("\n")


@suite.case
def who_shows_a_sysop_every_session_and_others_only_the_players():
    with Host() as host:
        sysop = host.login("Sysop", "sysop")
        alice = host.login("Alice", "alice")
        bob = host.login("Bob", "bob")
        bob.enter_plus()
        stranger = host.connect()
        stranger.expect("User-ID: ")
        time.sleep(2)

        answer = sysop.type("who", "]: ")
        rows = sessions(answer)
        by_user = {row[0]: row for row in rows}
        check(len(rows) == 4 and set(by_user) == {"Sysop", "Alice", "Bob", "(logging on)"},
              "not one row per session: %r" % rows)
        check(all(row[1] == "telnet" for row in rows), "the way in is not telnet: %r" % rows)
        check(len({row[2] for row in rows}) == 4, "the addresses are not each session's own: %r" % rows)
        expected_where = {"Sysop": "game", "Alice": "game", "Bob": "module Brakvold Plus", "(logging on)": "logon"}
        for user, where in expected_where.items():
            check(by_user[user][4] == where, "%s is shown at %r, not %r" % (user, by_user[user][4], where))
        check(by_user["Sysop"][3] <= 1, "the sysop who just typed is shown idle: %r" % (by_user["Sysop"],))
        check(by_user["Alice"][3] >= 2, "Alice, idle for two seconds, is shown at %r" % (by_user["Alice"],))
        # The connections of the host log are the addresses shown.
        log = host.text("bbshost.log")
        for row in rows:
            check("connection from " + row[2] in log, "%s is no connection of the host log" % row[2])

        # Alice holds no sysop key: the game's own list, the same as the sysop's.
        plain_answer = alice.type("who", "]: ")
        check("Sessions:" not in plain_answer and "(logging on)" not in plain_answer,
              "Alice sees the sessions: %r" % plain_answer)
        check(players_part(plain_answer) == players_part(answer),
              "the players differ: %r / %r" % (plain_answer, answer))

        # The sysop key is the module's SYSKEY: moved to BOSS (and the host
        # told), Alice with that key sees the sessions and Sysop does not.
        path = host.path("QRTBKPLS.MSG")
        with open(path, encoding="latin-1") as f:
            source = f.read()
        check("SYSKEY {SYSOP}" in source, "the shipped SYSKEY is not SYSOP")
        with open(path, "w", encoding="latin-1") as f:
            f.write(source.replace("SYSKEY {SYSOP}", "SYSKEY {BOSS}"))
        status, _, err = run_admin(host.data, "user", "set", "Alice", "--key", "BOSS")
        check(status == 0, "user set failed: %r" % err)
        host.proc.send_signal(signal.SIGHUP)
        wait_until(lambda: "reload done" in host.text("bbshost.log"), "the reload")
        check(len(sessions(alice.type("who", "]: "))) == 4, "Alice with the key BOSS sees no sessions")
        check("Sessions:" not in sysop.type("who", "]: "), "the key SYSOP still shows the sessions")

        stranger.close()
        check(host.stop() == 0, "the host did not stop cleanly")


if __name__ == "__main__":
    sys.exit(suite.run())
