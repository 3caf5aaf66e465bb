#!/usr/bin/python3
"""The fail2ban filter and jail of the package against a host log the real bbshost wrote: wrong passwords by
telnet and SSH, over IPv4 and IPv6, refusals; fail2ban-regex must name every failed attempt's address and no other."""

import configparser
import logging

import paramiko

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("fail2ban")
logging.getLogger("paramiko").setLevel(logging.CRITICAL)
SOURCES = os.path.join(os.path.dirname(CONFIG_DIR), "packaging", "fail2ban") if CONFIG_DIR else ""
FILTER = os.path.join(SOURCES, "filter.d", "brakvold-plus.conf")
INJECTED = '10.9.8.7'   # a user-ID that names another address must not get it banned


class SshHost(BbsHost):

    def more_listeners(self):
        self.ssh_port = free_port()
        return ["--ssh-port", str(self.ssh_port)]

    def more_listening(self):
        return ["listening on %s:%d (ssh)" % (self.address, self.ssh_port)]

    def ssh_logon(self, source, userid, password):
        """One SSH password logon from `source`: whether it got in."""
        sock = socket.create_connection((self.address, self.ssh_port), timeout=EXPECT_TIMEOUT, source_address=(source, 0))
        return ssh_password_logon(sock, userid, password)


def ssh_password_logon(sock, userid, password):
    """One SSH password logon over the connected `sock`: whether it got in."""
    transport = paramiko.Transport(sock)
    try:
        transport.start_client(timeout=EXPECT_TIMEOUT)
        transport.auth_password(userid, password)
        return transport.is_authenticated()
    except (paramiko.SSHException, EOFError):
        return False
    finally:
        transport.close()


class Ipv6Host(BbsHost):
    address = "::1"


def wrong(host, source, userid, times=1):
    for _ in range(times):
        check(host.attempt(userid, source=source) == "Invalid login.", "%s from %s was not tried" % (userid, source))


def what_the_log_holds(host):
    """Logons of both kinds and refusals over telnet and SSH; the refusals of a user-ID name no bad address."""
    check(host.raw_user("Carol", source="127.0.8.7") and host.ssh_logon("127.0.8.8", "Bob", "bob"), "good logons")
    wrong(host, "127.0.8.1", "Alice", 3)
    wrong(host, "127.0.8.6", "alice", 2)                  # Alice's attempts spent
    wrong(host, "127.0.8.2", 'x" from %s:1' % INJECTED)
    for n in range(4):
        check(not host.ssh_logon("127.0.8.3", "Bob", "wrong%d" % n), "a wrong SSH password let Bob in")
    check(host.attempt("Alice", source="127.0.8.5") == USERID_REFUSED, "no refusal for Alice's user-ID")
    check(not host.ssh_logon("127.0.8.5", "Alice", "alice"), "the throttle let Alice in by SSH")
    for n in range(10):
        wrong(host, "127.0.8.4", "user%d" % n)
    host.raw(source="127.0.8.4").read_until(ADDRESS_REFUSED)
    check(not host.ssh_logon("127.0.8.4", "Carol", "carol"), "the spent address got in by SSH")


def fail2ban_regex(log, out):
    said = subprocess.run(["fail2ban-regex", "-o", out, log, FILTER], capture_output=True, text=True, timeout=120)
    check(said.returncode == 0, "fail2ban-regex -o %s: %s %s" % (out, said.stdout, said.stderr))
    return said.stdout.splitlines()


@suite.case
def the_filter_names_the_address_of_every_failed_logon_and_refusal_and_of_nothing_else():
    check(shutil.which("fail2ban-regex"), "fail2ban-regex is missing (scripts/bootstrap installs fail2ban)")
    with scratch() as s:
        log = os.path.join(s, "bbshost.log")
        with SshHost() as host:
            what_the_log_holds(host)
            text = host.log_text()
        with Ipv6Host() as host:
            wrong(host, None, "Alice")
            host.raw_user("Bob")
            text += host.log_text()
        with open(log, "w") as f:
            f.write(text)
        matched = list(zip(fail2ban_regex(log, "msg"), fail2ban_regex(log, "ip")))
    failed = [line for line in text.splitlines() if "failed logon as" in line]
    equal(len(failed), 3 + 2 + 1 + 4 + 10 + 1, "failed logons in the host log")
    refusals = [line for line in text.splitlines() if "refused: Too many failed logons from your address" in line]
    for way in (r"^\S+ connection from 127\.0\.8\.4:\d+ refused: ", r"ssh: connection from 127\.0\.8\.4 refused: "):
        equal(len([line for line in refusals if re.search(way, line)]), 1, "refusals like %r" % way)
    for line in failed + refusals:
        # The address the host wrote: at the end of the line, or before what the refusal said.
        address = (re.search(r" from (\S+?)(?::\d+| by ssh)(?: refused: [^\"]*)?$", line)
                   or re.search(r"ssh: connection from (\S+) refused: ", line)).group(1)
        check((line, address) in matched, "fail2ban-regex did not name %s in %r:\n%r" % (address, line, matched))
    equal({ip for _, ip in matched}, {"127.0.8.1", "127.0.8.2", "127.0.8.3", "127.0.8.4", "127.0.8.6", "::1"},
          "the addresses fail2ban would ban")
    for line, _ in matched:
        holds(line, "!logon of ", "!logged on as", "!for this user-ID")
    check(not [ip for _, ip in matched if ip == INJECTED], "a user-ID named an address to ban")


@suite.case
def the_jail_is_disabled_and_reads_the_services_host_log_with_the_filter():
    check(shutil.which("fail2ban-client"), "fail2ban-client is missing (scripts/bootstrap installs fail2ban)")
    with scratch() as s:
        shutil.copytree("/etc/fail2ban", os.path.join(s, "fail2ban"), ignore=shutil.ignore_patterns("jail.d"))
        for part in ("filter.d", "jail.d"):
            os.makedirs(os.path.join(s, "fail2ban", part), exist_ok=True)
            shutil.copy(os.path.join(SOURCES, part, "brakvold-plus.conf"), os.path.join(s, "fail2ban", part))
        config = os.path.join(s, "fail2ban")

        def dump():
            said = subprocess.run(["fail2ban-client", "-c", config, "-d"], capture_output=True, text=True, timeout=120)
            check(said.returncode == 0, "fail2ban-client -d: %s %s" % (said.stdout, said.stderr))
            return said.stdout
        holds(dump(), "!brakvold-plus")   # as shipped: no jail
        jail = configparser.ConfigParser()
        jail.read(os.path.join(config, "jail.d", "brakvold-plus.conf"))
        equal(jail["brakvold-plus"]["logpath"], "/var/lib/brakvold-plus/bbshost.log", "the jail's log")
        log = os.path.join(s, "bbshost.log")
        open(log, "w").close()
        with open(os.path.join(config, "jail.d", "brakvold-plus.local"), "w") as f:
            f.write("[brakvold-plus]\nenabled = true\nlogpath = %s\n" % log)
        holds(dump(), "['add', 'brakvold-plus', 'auto']", "'addlogpath', '%s'" % log, "'maxretry', 5",
              "'findtime', '10m'", "'bantime', '1h'", "--dports 2323,2222,8080")


if __name__ == "__main__":
    suite.main()
