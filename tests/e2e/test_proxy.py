#!/usr/bin/python3
"""Clients behind a trusted proxy: PROXY headers (v1, v2) on telnet and SSH, X-Forwarded-For and Forwarded on the web
terminal; the client they name is the session's address in `who`, the log, the bans; from anyone else they count
for nothing, and a trusted proxy that sends no good header is closed."""

import ssl
import struct

from e2e_support import *  # noqa: F401,F403 (the standard modules too)
from test_access import WaysHostV6, connected, has_ipv6_loopback
from test_fail2ban import fail2ban_regex, ssh_password_logon
from test_ways import TlsHost, WaysHost, WebClient, SshClient

suite = Suite("proxy")
PROXY, STRANGER = "127.0.9.1", "127.0.8.7"   # the proxy's network is trusted, 127.0.8.* and 127.0.0.1 are not
NOT_TRUSTED = "refused: a PROXY header from an address that is no trusted proxy"


class ProxiedHost(WaysHost):

    def __init__(self, trusted=("127.0.9.0/24",), **kwargs):
        super().__init__(options=[a for network in trusted for a in ("--trusted-proxy", network)], **kwargs)


class ProxiedHostV6(WaysHostV6):

    def __init__(self):
        super().__init__(options=["--trusted-proxy", "::1"])


def v1(client, port=4711):
    family, to = ("TCP6", "::1") if ":" in client else ("TCP4", "127.0.0.1")
    return ("PROXY %s %s %s %d 23\r\n" % (family, client, to, port)).encode()


def v2(client, port=4711, local=False):
    if ":" in client:
        family, body = 0x21, socket.inet_pton(socket.AF_INET6, client) + socket.inet_pton(socket.AF_INET6, "::1")
    else:
        family, body = 0x11, socket.inet_aton(client) + socket.inet_aton("127.0.0.1")
    body += struct.pack("!HH", port, 23) + b"\x04\x00\x03abc"   # a TLV, skipped
    return b"\r\n\r\n\x00\r\nQUIT\n" + bytes([0x20 if local else 0x21, family]) + struct.pack("!H", len(body)) + body


def telnet_through(host, header, source=PROXY):
    client = host.raw(source=source)
    client.send_raw(header)
    return client


def ssh_through(host, header, userid, source=PROXY, **kwargs):
    sock = connected(host.address, host.ssh_port, source)
    sock.sendall(header)
    client = host.keep(SshClient(host.ssh_port, userid, sock=sock, **kwargs))
    client.read_until(GAME_PROMPT)
    return client


def closed_unanswered(host, port, source, first):
    """A connection from `source` that sends `first` is closed: what it was sent before."""
    with connected(host.address, port, source) as sock:
        said = b""
        try:
            sock.sendall(first)
            while True:
                data = sock.recv(4096)
                if not data:
                    return said
                said += data
        except ConnectionResetError:
            return said


@suite.case
def headers_from_the_trusted_proxy_name_the_client_on_telnet_and_ssh():
    with ProxiedHost() as host:
        alice = telnet_through(host, v1("198.51.100.7")).logged_on("Alice")
        bob = telnet_through(host, v2("2001:db8::9", 4712)).logged_on("Bob")
        carol = ssh_through(host, v1("198.51.100.8", 4713), "Carol")
        sysop = ssh_through(host, v2("203.0.113.4", 4714), "Sysop")
        for client in (alice, bob, carol):
            client.served()
        # LOCAL (the proxy's health check) keeps the proxy's own address.
        telnet_through(host, v2("192.0.2.1", local=True)).read_until("User-ID: ")
        holds(sysop.type("who", "]: "), "198.51.100.7:4711", "2001:db8::9:4712", "198.51.100.8:4713",
              "203.0.113.4:4714", "%s:" % PROXY, "!192.0.2.1")
        holds(host.log_text(), "from 198.51.100.7:4711 by telnet", "from 2001:db8::9:4712 by telnet",
              "proxy %s:" % PROXY, "passes on a connection from 198.51.100.8:4713", "from 203.0.113.4:4714 by ssh",
              "!192.0.2.1")
        # Failed logons name the client, as the fail2ban filter reads them.
        wrong = telnet_through(host, v1("198.51.100.9"))
        wrong.read_until("User-ID: ")
        equal(wrong.answer("Alice", "wrong"), "Invalid login.", "a wrong password's answer")
        check(not ssh_logon_through(host, v2("198.51.100.10"), "Bob", "wrong"), "a wrong SSH password let Bob in")
        host.wait_log('failed logon as "Bob" from 198.51.100.10 by ssh', "the SSH failure")
        holds(host.log_text(), 'failed logon as "Alice" from 198.51.100.9:4711', '!failed logon as "Alice" from 127')
        check(shutil.which("fail2ban-regex"), "fail2ban-regex is missing (scripts/bootstrap installs fail2ban)")
        equal(sorted(set(fail2ban_regex(host.path("bbshost.log"), "ip"))), ["198.51.100.10", "198.51.100.9"],
              "what fail2ban would ban")


def ssh_logon_through(host, header, userid, password):
    sock = connected(host.address, host.ssh_port, PROXY)
    sock.sendall(header)
    return ssh_password_logon(sock, userid, password)


@suite.case
def a_banned_client_behind_the_proxy_is_closed_and_the_proxy_is_not():
    with ProxiedHost() as host:
        host.admin_ok("ban", "add", "198.51.100.0/24", "--reason", "guessing")
        for port, header in ((host.port, v1("198.51.100.66")), (host.ssh_port, v2("198.51.100.67"))):
            equal(closed_unanswered(host, port, PROXY, header), b"", "what the banned client was sent")
        try:
            WebClient(host.http_port, source=PROXY, fields="X-Forwarded-For: 198.51.100.68\r\n").close()
            raise Failure("the banned web client was upgraded")
        except Closed:
            pass
        log = host.log_text()
        for client in ("198.51.100.66:4711", "198.51.100.67:4711", "198.51.100.68:"):
            holds(log, "connection from %s" % client)
            check(re.search(r"connection from %s\S* refused: banned \(guessing\)" % re.escape(client), log),
                  "no ban of %s in the log" % client)
        holds(log, "!connection from %s:" % PROXY)
        telnet_through(host, v1("203.0.113.5")).logged_on("Alice").served("Alice through the same proxy")


@suite.case
def the_tls_port_takes_the_header_before_the_handshake_from_the_trusted_proxy_only():
    with scratch("bbshost-e2e-proxy-tls-") as folder:
        cert, key = self_signed(folder, "ours")
        with TlsHost(cert, key, options=["--trusted-proxy", "127.0.9.0/24"]) as host:
            context = ssl.create_default_context(cafile=cert)
            for n, header in enumerate((v1("198.51.100.21"), v2("2001:db8::21"))):
                client = host.keep(RawClient(host.tls_port, source=PROXY, header=header, tls=context))
                client.logged_on(("Alice", "Bob")[n]).served()
            equal(closed_unanswered(host, host.tls_port, STRANGER, v1("198.51.100.22")), b"",
                  "what a stranger's PROXY header got on the TLS port")
            host.wait_log(NOT_TRUSTED, "the refusal on the TLS port")
            holds(host.log_text(), "from 198.51.100.21:4711 by telnets", "from 2001:db8::21:4711 by telnets",
                  "!198.51.100.22")


@suite.case
def a_proxy_header_from_an_untrusted_address_is_refused_and_changes_nothing():
    with ProxiedHost() as host:
        for port in (host.port, host.ssh_port):
            for header in (v1("198.51.100.7"), v2("198.51.100.7")):
                said = closed_unanswered(host, port, STRANGER, header)
                check(port == host.port or said == b"", "SSH answered a stranger's PROXY header: %r" % said)
        host.wait_log(NOT_TRUSTED, "the refusals")
        equal(host.log_text().count(NOT_TRUSTED), 4, "refusals of PROXY headers from %s" % STRANGER)
        # Without a header, an untrusted address comes in as itself.
        host.raw_user("Alice", source=STRANGER).served()
        bob = host.keep(SshClient(host.ssh_port, "Bob", sock=connected(host.address, host.ssh_port, "127.0.8.8")))
        bob.read_until(GAME_PROMPT)
        holds(host.log_text(), "!198.51.100.7", "logon of Alice at channel", "from %s:" % STRANGER,
              "from 127.0.8.8:")


@suite.case
def a_trusted_proxy_without_a_good_header_is_closed_and_holds_nobody_up():
    with ProxiedHost() as host:
        started = time.monotonic()
        silent = [connected(host.address, port, PROXY) for port in (host.port, host.ssh_port)]
        half = connected(host.address, host.port, PROXY)
        half.sendall(b"PROXY TCP4 198.51.100.7 ")
        bad = {b"PROXY TCP4 198.51.100.7 127.0.0.1 4711\r\n": "a v1 header needs two addresses and two ports",
               b"SSH-2.0-OpenSSH_9.2\r\n": "no PROXY header",
               v2("198.51.100.7")[:12] + b"\x31\x11\x00\x00": "v2 version is not 2",
               v1("198.51.100.7")[:-2] + b"x" * 80: "a v1 header longer than 107 bytes"}
        for first in bad:
            equal(closed_unanswered(host, host.port, PROXY, first), b"", "what a bad header got")
        equal(closed_unanswered(host, host.ssh_port, PROXY, b"SSH-2.0-OpenSSH_9.2\r\n"), b"", "what SSH said")
        # Meanwhile others are served.
        telnet_through(host, v1("203.0.113.5")).logged_on("Alice").served()
        for sock in silent + [half]:
            check(sock.recv(4096) == b"", "a connection without its header was answered")
            sock.close()
        check(time.monotonic() - started < 30, "the silent connections were held past their header time")
        log = host.log_text()
        holds(log, *["refused: bad PROXY header (%s)" % why for why in bad.values()])
        equal(log.count("closed: no complete PROXY header within 5 seconds"), 3, "silent connections closed")


@suite.case
def forwarded_fields_name_the_web_client_only_from_the_trusted_proxy():
    with ProxiedHost() as host:
        cases = [(PROXY, "X-Forwarded-For: 203.0.113.1, 198.51.100.7\r\n", "198.51.100.7:"),
                 (PROXY, "X-Forwarded-For: 198.51.100.8, 127.0.9.5\r\n", "198.51.100.8:"),   # two trusted proxies
                 (PROXY, 'Forwarded: for=192.0.2.60;proto=http, for="[2001:db8::5]:4711"\r\n', "2001:db8::5:4711"),
                 (PROXY, "Forwarded: for=unknown\r\n", PROXY + ":"),
                 ("127.0.8.9", "X-Forwarded-For: 198.51.100.9\r\n", "127.0.8.9:"),
                 ("127.0.8.10", 'Forwarded: for="[2001:db8::6]"\r\n', "127.0.8.10:")]
        for n, (source, fields, client) in enumerate(cases):
            web = host.keep(WebClient(host.http_port, source=source, fields=fields))
            check(web.accepted, "the upgrade was refused:\n%s" % web.handshake)
            web.read_until("User-ID: ")
            web.steps(("Alice", "Password: "), ("alice", GAME_PROMPT))
            web.close()
            host.wait_log("from %s" % client, "the logon of web client %d" % n)
            check(re.search(r"logon of Alice at channel \d+ from %s\S* by web" % re.escape(client), host.log_text()),
                  "web client %d is not %s in the log" % (n, client))
        holds(host.log_text(), "!198.51.100.9", "!2001:db8::6")


@suite.case
def an_ipv6_proxy_and_bad_trusted_proxy_options():
    if has_ipv6_loopback():
        with ProxiedHostV6() as host:
            telnet_through(host, v2("198.51.100.7"), source="::1").logged_on("Alice").served()
            holds(host.log_text(), "logon of Alice at channel", "from 198.51.100.7:4711 by telnet")
    with made_folder() as made:
        for value in ("10.0.0.0/33", "proxy.example", "2001:db8::/129"):
            serve_expecting_failure(made.data, "--trusted-proxy", "127.0.0.1", "--trusted-proxy", value,
                                    says=("--trusted-proxy " + value,))


if __name__ == "__main__":
    suite.main()
