#!/usr/bin/python3
"""What a sysop's monitoring sees: the Prometheus metrics (checked by promtool) and systemd's notifications."""

import http.client

from e2e_support import *  # noqa: F401,F403 (the standard modules too)
from test_ways import WaysHost

suite = Suite("monitoring")

SAMPLE = re.compile(r'^([a-z_]+)(\{[^}]*\})? (\S+)$')


class MonitoredHost(WaysHost):
    """Telnet, SSH, the web terminal and the metrics on ports of their own."""

    def more_listeners(self):
        self.metrics_port = free_port()
        return super().more_listeners() + ["--metrics-port", str(self.metrics_port)]

    def more_listening(self):
        return super().more_listening() + ["metrics at http://127.0.0.1:%d/metrics" % self.metrics_port]

    def request(self, method, path):
        connection = http.client.HTTPConnection("127.0.0.1", self.metrics_port, timeout=EXPECT_TIMEOUT)
        try:
            connection.request(method, path)
            answer = connection.getresponse()
            return answer.status, answer.getheader("Content-Type", ""), answer.read().decode("utf-8")
        finally:
            connection.close()

    def scrape(self):
        """The samples of a scrape that promtool accepts, by name and labels."""
        status, kind, body = self.request("GET", "/metrics")
        check(status == 200 and kind.startswith("text/plain; version=0.0.4"), "a scrape: %d %r" % (status, kind))
        linted = subprocess.run(["promtool", "check", "metrics"], input=body.encode(), capture_output=True, timeout=60)
        check(linted.returncode == 0, "promtool check metrics: %r\n%s" % (linted.stdout + linted.stderr, body))
        samples = {}
        for line in body.splitlines():
            if line.startswith("#"):
                continue
            m = SAMPLE.match(line)
            check(m, "a sample line: %r" % line)
            samples[m.group(1) + (m.group(2) or "")] = float(m.group(3))
        return samples, body


def counted(samples, name, **labels):
    return samples.get(name + "{" + ",".join('%s="%s"' % pair for pair in labels.items()) + "}", 0)


@suite.case
def a_scrape_validates_and_counts_the_logons_purchase_and_refusals_of_every_way():
    with MonitoredHost() as host:
        alice = host.login("Alice")
        check(host.attempt("Bob") == "Invalid login.", "a wrong password was taken")
        host.ssh("Bob")
        wait_until(lambda: "logon of Bob" in host.log_text(), "Bob's logon by SSH")
        carol = host.web()
        carol.login("Carol")
        # Another process holds the database while Alice's line waits for it.
        db = sqlite3.connect(host.path("bbs.db"), isolation_level=None)
        db.execute("BEGIN IMMEDIATE")
        alice.send("ext")
        time.sleep(0.5)
        db.execute("COMMIT")
        db.close()
        alice.read_until("Extension: ")
        alice.type("*", CHOICE)
        alice.buy_life()
        host.wait_log("Alice purchased a life.", "the purchase in the game log", "brakvold.log")

        samples, body = host.scrape()
        wanted = {
            'bbshost_sessions{way="telnet"}': 1, 'bbshost_sessions{way="ssh"}': 1, 'bbshost_sessions{way="web"}': 1,
            'bbshost_logons_total{way="telnet",result="ok"}': 1,
            'bbshost_logons_total{way="telnet",result="wrong_password"}': 1,
            'bbshost_logons_total{way="ssh",result="ok"}': 1, 'bbshost_logons_total{way="web",result="ok"}': 1,
            'bbshost_purchases_total{kind="life"}': 1,
            'bbshost_build_info{version="%s"}' % run_ok([BBSHOST, "--version"]).split()[-1]: 1,
        }
        for series, value in wanted.items():
            equal(samples.get(series), value, series)
        check(not any(k.startswith(("bbshost_purchases_total", "bbshost_throttle")) and k not in wanted
                      for k in samples), "more purchases or refusals than happened:\n" + body)
        # Every line typed by a user on was answered; the purchase committed and was synced.
        check(samples["bbshost_line_latency_seconds_count"] >= 3, "line latencies:\n" + body)
        check(samples['bbshost_line_latency_seconds_bucket{le="+Inf"}'] == samples["bbshost_line_latency_seconds_count"],
              "the +Inf bucket is not the count")
        check(samples["bbshost_commit_sync_seconds_count"] >= 1, "no commit was synced:\n" + body)
        check(0.4 <= samples["bbshost_database_busy_seconds_total"] < 5, "the database's busy spell:\n" + body)
        for private in ("Alice", "Bob", "Carol", "Alia", "127.0.0.1"):
            check(private not in body, "%r is in the metrics" % private)

        # A stranger guessing at a user-ID is refused at his sixth attempt.
        said = [host.attempt("Mallory", source="127.0.8.%d" % i) for i in range(6)]
        equal(said, ["Invalid login."] * 5 + [USERID_REFUSED], "the guesses")
        alice.close()
        wait_until(lambda: counted(host.scrape()[0], "bbshost_sessions", way="telnet") == 0, "Alice off")
        samples, body = host.scrape()
        for series, value in (('bbshost_throttle_refusals_total{reason="userid_penalized"}', 1),
                              ('bbshost_logons_total{way="telnet",result="refused"}', 1),
                              ('bbshost_logons_total{way="telnet",result="wrong_password"}', 6),
                              ('bbshost_sessions{way="ssh"}', 1)):
            equal(samples.get(series), value, series)

        for method, path, status in (("GET", "/", 404), ("GET", "/metrics/x", 404), ("POST", "/metrics", 405)):
            equal(host.request(method, path)[0], status, "%s %s" % (method, path))
        host.stop_cleanly()


@suite.case
def systemd_hears_ready_status_watchdog_and_stopping_on_its_socket():
    with scratch() as s:
        path = os.path.join(s, "notify")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        listener.bind(path)
        listener.settimeout(EXPECT_TIMEOUT)
        heard = []

        def hear(what):
            while not any(what in message for message in heard):
                heard.append(listener.recv(4096).decode())
            return [m for m in heard if what in m]

        os.environ.update(NOTIFY_SOCKET=path, WATCHDOG_USEC="200000")
        try:
            host = MonitoredHost()
            host.__enter__()
        finally:
            del os.environ["NOTIFY_SOCKET"], os.environ["WATCHDOG_USEC"]
        try:
            ready = hear("READY=1")[0]
            listening = host.output()
            check(all(("(%s)" % way) in listening for way in ("ssh", "web")) and "metrics at" in listening,
                  "READY=1 came before every listener was up:\n" + listening)
            holds(ready, "STATUS=0 users on")
            time.sleep(0.5)   # WATCHDOG_USEC/2 is 0.1 s
            listener.settimeout(0)
            with contextlib.suppress(BlockingIOError):
                while True:
                    heard.append(listener.recv(4096).decode())
            listener.settimeout(EXPECT_TIMEOUT)
            check(sum(m == "WATCHDOG=1" for m in heard) >= 3, "too few watchdog pings in 0.5 s: %r" % heard)
            host.login("Alice")
            host.ssh("Bob")
            hear("STATUS=2 users on")
            check(host.stop() == 0, "the host did not stop cleanly")
            hear("STOPPING=1")
            check("READY=1" in heard[0] and sum("READY=1" in m for m in heard) == 1, "READY=1 once, first: %r" % heard)
        finally:
            host.close()
            listener.close()

        with MonitoredHost() as quiet:   # without NOTIFY_SOCKET nothing is sent, and it serves as ever
            quiet.login("Alice")
            check(quiet.stop() == 0, "the host did not stop cleanly")


suite.main()
