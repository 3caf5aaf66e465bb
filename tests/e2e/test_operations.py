#!/usr/bin/python3
"""A sysop's day-to-day operations: time-stamped logs, SIGUSR1, the idle timeout, `who`."""

import calendar

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("operations")

STAMP = re.compile(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) ")
LIFE = ["Deducted 500 credits from %s for a life.",       # the shipped prices of a life
        "Brakvold: took 1000 copper, account %s, player %s.",
        "%s purchased a life."]


def unstamped(text, since, what, line_end="\n"):
    """The lines of a log without their time stamps, which must be UTC since `since`."""
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
    client.steps(("ext", "Extension: "), ("*", CHOICE), ("l", "buy one? "), ("y", CHOICE, "one more life"), ("x", "]: "))


def life_lines(userid, player):
    return [LIFE[0] % userid, LIFE[1] % (userid, player), LIFE[2] % userid]


@suite.case
def both_logs_stamp_every_line_in_utc_and_keep_the_game_lines_as_written():
    since = time.time()
    with BbsHost() as host:
        alice = host.login("Alice")
        buy_life(alice)
        host.wait_log(LIFE[2] % "Alice", "the purchase in the game log", "brakvold.log")
        host.stop_cleanly()
        events = unstamped(host.log_text(), since, "the host log")
        for event in ("started: listening on 127.0.0.1:%d" % host.port, "logon of Alice at channel",
                      "hang-up of Alice", "stopped"):
            check(any(line.startswith(event) for line in events), "no %r in the host log: %r" % (event, events))
        game = unstamped(host.log_text("brakvold.log"), since, "the game log", line_end="\r\n")
        for line in life_lines("Alice", "Alia"):
            check(game.count(line) == 1, "%r is not in the game log once: %r" % (line, game))
        check(all("Alice" not in line or line in life_lines("Alice", "Alia") for line in game),
              "more about Alice in the game log: %r" % game)


@suite.case
def sigusr1_reopens_both_logs_after_they_were_moved_and_loses_nothing():
    since = time.time()
    with BbsHost() as host:
        alice = host.login("Alice")
        buy_life(alice)
        host.wait_log(LIFE[2] % "Alice", "the first purchase in the game log", "brakvold.log")
        for name in ("bbshost.log", "brakvold.log"):
            os.rename(host.path(name), host.path(name + ".1"))
        host.login("Bob")
        buy_life(alice)
        wait_until(lambda: host.log_text("brakvold.log.1").count(LIFE[2] % "Alice") == 2,
                   "the second purchase in the moved game log")
        host.proc.send_signal(signal.SIGUSR1)
        host.wait_log("logs reopened", "the host log to be reopened")
        carol = host.login("Carol")
        buy_life(carol)
        host.wait_log(LIFE[2] % "Carol", "the third purchase in the new game log", "brakvold.log")
        host.stop_cleanly()

        old = unstamped(host.log_text("bbshost.log.1"), since, "the moved host log")
        new = unstamped(host.log_text(), since, "the new host log")
        check(any(line.startswith("logon of Bob") for line in old), "Bob's logon is not in the moved log: %r" % old)
        check(old[-1] == "SIGUSR1: reopening the logs", "the moved host log goes on after the signal: %r" % old[-3:])
        check(new[0] == "logs reopened", "the new host log does not begin with the reopening: %r" % new[:3])
        check(any(line.startswith("logon of Carol") for line in new), "Carol's logon is not in the new log: %r" % new)
        check("stopped" in new and "stopped" not in old, "the stop is not in the new host log only: %r" % new[-3:])
        check(not any(line.startswith(("error", "warning")) for line in old + new),
              "the reopening went wrong: %r" % [line for line in old + new if line.startswith(("error", "warning"))])

        old_game = unstamped(host.log_text("brakvold.log.1"), since, "the moved game log", line_end="\r\n")
        new_game = unstamped(host.log_text("brakvold.log"), since, "the new game log", line_end="\r\n")
        for line in life_lines("Alice", "Alia"):
            check(old_game.count(line) == 2 and line not in new_game, "%r is not twice in the moved game log only" % line)
        for line in life_lines("Carol", "Cara"):
            check(new_game.count(line) == 1 and line not in old_game, "%r is not once in the new game log only" % line)
        for name in ("bbshost.log", "brakvold.log"):
            equal(mode_of(host.path(name)), 0o600, "the mode of the new " + name)


WARNING = "You have been idle for 3 seconds; you will be logged off in 3 seconds."
GOODBYE = "You have been idle for 6 seconds; goodbye."


@suite.case
def idle_users_are_warned_then_logged_off_like_a_hang_up_and_lines_keep_them_on():
    with BbsHost(options=["--idle-timeout", "0.1"]) as host:
        alice, bob = host.login("Alice", plus=True), host.login("Bob")
        alice.open_editor("yes")
        alice.send("A draft that is never saved.")
        until = time.monotonic() + 8
        while time.monotonic() < until:
            check("idle" not in bob.type("stats", "]: "), "Bob was warned while he typed: %r" % bob.seen[-300:])
            time.sleep(1)

        alice.expect(WARNING)
        alice.expect(GOODBYE)
        alice.expect_closed()
        host.wait_log("logoff: Alice", "Alice's hang-up in the host log")
        check(re.search(r"idle timeout: Alice at channel \d+ logged off after 6 seconds without a line", host.log_text()),
              "the idle logoff is not in the host log")
        again = host.login("Alice", plus=True)
        again.steps(("d", "choice:", "<None>"))   # the abandoned draft was not stored
        again.close()

        carol = host.login("Carol")
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
        idle = sum(int(part) * 60 ** i for i, part in enumerate(reversed(m.group(4).split(":"))))
        rows.append((m.group(1).strip(), m.group(2), m.group(3), idle, m.group(5)))
    return rows


def players_part(text):
    text = plain(text)
    start = text.index("In Brakvold now:")
    end = text.find("Sessions:", start)
    if end < 0:
        end = text.index("[Brakvold", start)
    return text[start:end].rstrip("\n")


@suite.case
def who_shows_a_sysop_every_session_and_others_only_the_players():
    with BbsHost() as host:
        sysop, alice, bob = host.login("Sysop"), host.login("Alice"), host.login("Bob", plus=True)
        stranger = host.connect()
        stranger.expect("User-ID: ")
        time.sleep(2)

        answer = sysop.type("who", "]: ")
        rows = sessions(answer)
        by_user = {row[0]: row for row in rows}
        check(sorted((row[0], row[1], row[4]) for row in rows) == [  # one row per session: user-ID, way, where
            ("(logging on)", "telnet", "logon"), ("Alice", "telnet", "game"), ("Bob", "telnet", "module Brakvold Plus"),
            ("Sysop", "telnet", "game")], "the sessions: %r" % rows)
        check(len({row[2] for row in rows}) == 4, "the addresses are not each session's own: %r" % rows)
        check(by_user["Sysop"][3] <= 1, "the sysop who just typed is shown idle: %r" % (by_user["Sysop"],))
        check(by_user["Alice"][3] >= 2, "Alice, idle for two seconds, is shown at %r" % (by_user["Alice"],))
        log = host.log_text()
        for row in rows:
            check("connection from " + row[2] in log, "%s is no connection of the host log" % row[2])

        plain_answer = alice.type("who", "]: ")
        check("Sessions:" not in plain_answer and "(logging on)" not in plain_answer,
              "Alice sees the sessions: %r" % plain_answer)
        check(players_part(plain_answer) == players_part(answer),
              "the players differ: %r / %r" % (plain_answer, answer))

        check("SYSKEY {SYSOP}" in host.log_text("QRTBKPLS.MSG"), "the shipped SYSKEY is not SYSOP")
        set_option(host.data, "SYSKEY", "BOSS")
        host.admin_ok("user", "set", "Alice", "--key", "BOSS")
        host.reload()
        check(len(sessions(alice.type("who", "]: "))) == 4, "Alice with the key BOSS sees no sessions")
        check("Sessions:" not in sysop.type("who", "]: "), "the key SYSOP still shows the sessions")

        stranger.close()
        host.stop_cleanly()


suite.main()
