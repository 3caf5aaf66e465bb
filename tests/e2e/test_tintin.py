#!/usr/bin/python3
"""TinTin++, a real MUD client, in a tmux pane of a fixed size: by telnet and inside TLS it logs on, goes into the
game, buys a character description and writes it in the line editor; the pane shows what its user saw, and the
host's log, the database and the game what was done."""

import ssl

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("tintin")
TINTIN = "/usr/games/tt++"
WIDTH, HEIGHT = 100, 50


class TinTin:
    """tt++ in a detached tmux session on a server of its own (socket, HOME and configuration in `folder`)."""

    def __init__(self, folder):
        self.home = os.path.join(folder, "home")
        os.makedirs(self.home)
        self.socket = os.path.join(folder, "tmux.sock")
        self.tmux("new-session", "-d", "-s", "tt", "-x", str(WIDTH), "-y", str(HEIGHT), TINTIN + " -G")

    def tmux(self, *args):
        return run_ok(["tmux", "-S", self.socket, "-f", "/dev/null"] + list(args), timeout=EXPECT_TIMEOUT,
                      env=dict(os.environ, HOME=self.home, TERM="xterm-256color"))

    def pane(self):
        return self.tmux("capture-pane", "-p", "-t", "tt")

    def type(self, line, until):
        """Types the line and Enter; the pane once it shows `until` more often than before (a prompt seen again)."""
        seen = self.pane().count(until)
        self.send(line)
        return self.shows(until, seen + 1)

    def send(self, line):
        self.tmux("send-keys", "-t", "tt", "-l", line)
        self.tmux("send-keys", "-t", "tt", "Enter")

    def shows(self, text, times=1):
        deadline = time.monotonic() + EXPECT_TIMEOUT
        while True:
            pane = self.pane()
            if pane.count(text) >= times:
                return pane
            if time.monotonic() >= deadline:
                raise Failure("the pane does not show %r %d times:\n%s" % (text, times, pane))
            time.sleep(0.1)

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=EXPECT_TIMEOUT)


class TintinHost(BbsHost):
    """The host with telnet inside TLS beside plain telnet."""

    def __init__(self, cert, key):
        super().__init__(options=["--tls-cert", cert, "--tls-key", key])

    def more_listeners(self):
        self.tls_port = free_port()
        return ["--tls-port", str(self.tls_port)]

    def more_listening(self):
        return ["listening on 127.0.0.1:%d (telnets)" % self.tls_port]


def lines(pane):
    return [line.rstrip() for line in pane.splitlines()]


@suite.case
def tintin_writes_a_description_in_the_line_editor_by_telnet_and_inside_tls():
    with scratch("bbshost-e2e-tintin-") as folder:
        cert, key = self_signed(folder, "host")
        with TintinHost(cert, key) as host:
            rows = [  # how TinTin++ connects, the port, the user, his character, what he writes
                ("#session", host.port, "telnet", "Alice", "Alia", "Bows drawn at dawn."),
                ("#ssl", host.tls_port, "telnets", "Bob", "Bobo", "A beard braided with copper rings.")]
            sysop = host.login("Sysop", plus=True)
            sysop.type("s", CHOICE)
            for command, port, way, userid, player, description in rows:
                client = TinTin(os.path.join(folder, way))
                try:
                    credits = host.credits(userid)
                    client.type("%s bbs 127.0.0.1 %d" % (command, port), "User-ID:")
                    client.type(userid, "Password:")
                    pane = client.type(userid.lower(), "[Brakvold %s]:" % player)
                    check("Password:\n" in pane and userid.lower() not in pane, "the password was shown:\n" + pane)
                    check(re.search(r"logon of %s at channel \d+ from 127\.0\.0\.1:\d+ by %s\n" % (userid, way),
                                    host.log_text()), "%s's logon by %s is not in the host log" % (userid, way))
                    known = r"\n\S+ %s client 127\.0\.0\.1:\d+ is a MUD client \(TINTIN\+\+\): served in line mode\n"
                    check(re.search(known % way, host.log_text()), "TinTin++ by %s not known as a MUD client" % way)
                    client.type("ext", "Extension:")
                    client.type("*", "Brakvold Plus choice:")
                    client.type("d", "Brakvold Plus choice:")
                    holds(client.type("d", "Do you wish to continue?"),
                          "\nThis will cost you 100 credits, 0 copper, and 0 days off your membership.\n")
                    holds(client.type("y", "/h helps."), "Editing: up to 800 characters.")
                    client.send(description)
                    pane = lines(client.type("/s", "Brakvold Plus choice:"))
                    at = len(pane) - 1 - pane[::-1].index("Your character description:")
                    equal(pane[at + 1:at + 5], [description, "(This description waits for a sysop's approval.)", "",
                                                "Brakvold Plus choice:"], "the description shown after /s")
                    client.type("x", "Brakvold Plus choice:")
                    client.type("x", "[Brakvold %s]:" % player)
                    equal(host.credits(userid), credits - 100, "%s's credits after the description" % userid)
                    holds(host.db_rows(), "%s\tQRTBKPLS_DESC" % userid)
                    sysop.steps(("a", "Approve which user's description? "), (userid, CHOICE, "Done."))
                    holds(client.type("look " + player, "[Brakvold %s]:" % player), description)
                    if command == "#ssl":  # TinTin++ keeps the certificate it was shown
                        saved = os.path.join(client.home, ".tintin", "ssl", "127.0.0.1_%d.crt" % port)
                        equal(ssl.PEM_cert_to_DER_cert(read(saved)), ssl.PEM_cert_to_DER_cert(read(cert)),
                              "the certificate TinTin++ saved")
                finally:
                    client.close()


if __name__ == "__main__":
    suite.main()
