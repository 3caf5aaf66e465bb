#!/usr/bin/python3
"""Another process holds bbs.db locked while users type: all told, then all answered in order."""

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("busy_database")

BUSY = "database is busy"

# Holds BEGIN IMMEDIATE on the database until a line comes on stdin.
LOCKER = r"""
import sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=10)
db.execute("BEGIN IMMEDIATE")
db.execute("UPDATE accounts SET credits = credits WHERE userid = 'Sysop'")
print("locked", flush=True)
sys.stdin.readline()
db.execute("COMMIT")
print("released", flush=True)
"""


class Lock:
    """A write transaction of another process, held until release()."""

    def __init__(self, data):
        self.proc = subprocess.Popen([sys.executable, "-c", LOCKER, os.path.join(data, "bbs.db")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        equal(self.proc.stdout.readline().strip(), "locked", "the locking process says")

    def release(self):
        if self.proc.poll() is None:
            print("go", file=self.proc.stdin, flush=True)
            check(self.proc.stdout.readline().strip() == "released", "the lock was not released")
            self.proc.wait(10)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


# (typed during the lock, the text of its answer)
TYPED = [("stats", "Character: "), ("who", "In Brakvold now:"), ("ext", "Extension: ")]


def answered_in_order(client, who, markers):
    text = ""
    for marker in markers:
        text += client.read_until(marker)
    positions = [text.find(marker) for marker in markers]
    check(positions == sorted(positions) and -1 not in positions,
          "%s's answers are out of order or missing: %r" % (who, text))


@suite.case
def lines_logons_and_hang_ups_wait_for_the_lock_and_run_in_order():
    with BbsHost() as host:
        users = {userid: host.raw_user(userid) for userid in ("Alice", "Bob", "Carol")}
        with contextlib.closing(Lock(host.data)) as lock:
            for c in (users["Alice"], users["Bob"]):
                for line, _ in TYPED:
                    c.send(line)
            users["Carol"].close()   # hangs up during the lock
            sysop = host.raw()
            sysop.read_until("User-ID: ")
            sysop.type("Sysop", "Password: ")
            for line in ("sysop", "who", "ext"):
                sysop.send(line)
            host.raw().read_until("User-ID: ")
            for c in (users["Alice"], users["Bob"], sysop):   # told, but not answered during the lock
                holds(plain(c.read_until(BUSY)), "!Welcome", "!Character: ", "!In Brakvold now:", "!Extension: ")
            check("logoff: Carol" not in host.log_text(), "the hang-up ran without its transaction")
            time.sleep(0.5)   # the lock lasts a while longer
            lock.release()
        markers = [marker for _, marker in TYPED]
        answered_in_order(users["Alice"], "Alice", markers)
        answered_in_order(users["Bob"], "Bob", markers)
        answered_in_order(sysop, "Sysop", ["Welcome to Brakvold", "In Brakvold now:", "Extension: "])
        host.wait_log("logoff: Carol", "Carol's hang-up to run")
        host.raw_user("Carol").steps(("stats", GAME_PROMPT, "Character: Cara"))   # served again
        holds(host.log_text(), "locked", "free again")


@suite.case
def a_stop_during_the_lock_waits_for_it_and_runs_what_waited():
    with BbsHost() as host:
        alice = host.raw_user("Alice")
        with contextlib.closing(Lock(host.data)) as lock:
            alice.send("stats")
            alice.read_until(BUSY)
            releaser = threading.Timer(1.0, lock.release)
            releaser.start()
            try:
                status = host.stop()
            finally:
                releaser.join()
        check(status == 0, "bbshost exited with %r" % status)
        log = host.log_text()
        check("logoff: Alice" in log, "the hang-up did not run at the stop: %r" % log[-2000:])
        check("did not run" not in log, "calls were left undone: %r" % log[-2000:])


@suite.case
def a_reload_during_the_lock_runs_once_the_lock_is_gone_and_says_it_is_done():
    with BbsHost() as host:
        with contextlib.closing(Lock(host.data)) as lock:
            host.proc.send_signal(signal.SIGHUP)
            host.wait_log("reload waits for the database", "the reload to wait")
            check("reload done" not in host.log_text(), "the reload ran without its transaction")
            lock.release()
        host.wait_log("reload done", "the waiting reload to be done")
        log = host.log_text()
        check(log.count("reload done") == 1, "one reload, said done %d times" % log.count("reload done"))


suite.main()
