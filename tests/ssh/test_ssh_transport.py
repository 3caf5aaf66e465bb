#!/usr/bin/python3
"""The SSH transport end to end: ssh_echo_server (tests/ssh) on 127.0.0.1,
driven by paramiko. Host key, password, keyboard-interactive and public-key
logons (refusals held back by the throttle without stopping the loop), the
terminal's type and size, bytes both ways, the request kinds that are
refused, clients that stop reading and clients that never log on.

Every server is started by the case that uses it and stopped by it, also
when the case fails. Environment: SSH_ECHO_SERVER (the program)."""

import base64
import hashlib
import logging
import os
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

import paramiko
from paramiko.common import cMSG_CHANNEL_REQUEST
from paramiko.message import Message

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e_support import Failure, Suite, check  # noqa: E402

SERVER = os.environ.get("SSH_ECHO_SERVER", "")
TIMEOUT = 10           # seconds for one expected answer
REFUSE_DELAY_MS = 1200  # how long the test server holds back a refused password

logging.getLogger("paramiko").setLevel(logging.CRITICAL)
suite = Suite("ssh")


class EchoServer:
    """A running ssh_echo_server with a key folder (its own unless given).
    Leaving the block cleanly stops it with SIGTERM and wants exit status 0
    (which carries the sanitizers' verdict); otherwise it is killed."""

    def __init__(self, *args, keys=None):
        check(SERVER and os.path.exists(SERVER), "SSH_ECHO_SERVER is not set to the program: %r" % SERVER)
        self.root = tempfile.mkdtemp(prefix="ssh-echo-")
        self.keys = keys or os.path.join(self.root, "keys")
        os.makedirs(self.keys, exist_ok=True)
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen([SERVER, "--keys", self.keys] + list(args), stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        threading.Thread(target=self._read, daemon=True).start()

    def __enter__(self):
        try:
            self.port = int(self.wait_line(r"listening on 127\.0\.0\.1:(\d+)").group(1))
        except Exception:
            self.close()
            raise
        return self

    def __exit__(self, exc_type, *exc):
        try:
            if exc_type is None:
                status = self.stop()
                check(status == 0, "the server exited with status %s:\n%s" % (status, self.output()))
        finally:
            self.close()
        return False

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.cond.notify_all()

    def output(self):
        with self.cond:
            return "\n".join(self.lines)

    def count(self, pattern):
        with self.cond:
            return sum(1 for line in self.lines if re.search(pattern, line))

    def wait_line(self, pattern, at_least=1):
        """Waits for the at_least-th output line matching the pattern; its match."""
        deadline = time.monotonic() + TIMEOUT
        with self.cond:
            while True:
                found = [m for m in (re.search(pattern, line) for line in self.lines) if m]
                if len(found) >= at_least:
                    return found[at_least - 1]
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise Failure("the server did not print %r; its output:\n%s" %
                                  (pattern, "\n".join(self.lines)))
                self.cond.wait(0.2)

    def stop(self):
        """SIGTERM and wait; the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                raise Failure("the server did not stop on SIGTERM")
        return self.proc.returncode

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(TIMEOUT)
        shutil.rmtree(self.root, ignore_errors=True)


# ---- clients ---------------------------------------------------------------------

def transport(port):
    t = paramiko.Transport(("127.0.0.1", port))
    t.banner_timeout = t.auth_timeout = TIMEOUT
    t.start_client(timeout=TIMEOUT)
    return t


def logged_on(port):
    t = transport(port)
    t.auth_password("tester", "secret")
    return t


def shell(t, term="xterm", width=80, height=24, pty=True, window=None):
    chan = t.open_session(window_size=window, timeout=TIMEOUT)
    chan.settimeout(TIMEOUT)
    if pty:
        chan.get_pty(term, width, height)
    chan.invoke_shell()
    return chan


def read_until(chan, wanted, timeout=TIMEOUT):
    """Bytes from the channel up to and with `wanted`."""
    got = b""
    deadline = time.monotonic() + timeout
    while wanted not in got:
        check(time.monotonic() < deadline, "expected %r, got %r" % (wanted, got[-300:]))
        try:
            piece = chan.recv(65536)
        except socket.timeout:
            continue
        check(piece, "channel closed while waiting for %r; got %r" % (wanted, got[-300:]))
        got += piece
    return got


def echo(chan, text):
    chan.sendall(text.encode() + b"\r")
    read_until(chan, text.encode() + b"\r")


def fingerprint(key):
    return "SHA256:" + base64.b64encode(hashlib.sha256(key.asbytes()).digest()).decode().rstrip("=")


def logon(port, how, user, secret):
    """One logon attempt by password, keyboard-interactive or key; whether it got in."""
    prompts_seen = []

    def answer(title, instructions, prompts):
        prompts_seen.append(prompts)
        return [secret for _ in prompts]

    t = transport(port)
    try:
        {"password": lambda: t.auth_password(user, secret),
         "interactive": lambda: t.auth_interactive(user, answer),
         "key": lambda: t.auth_publickey(user, secret)}[how]()
        return t.is_authenticated()
    except paramiko.AuthenticationException:
        return False
    finally:
        t.close()
        if how == "interactive":
            check(prompts_seen == [[("Password: ", False)]], "keyboard-interactive prompts: %r" % prompts_seen)


# ---- cases ---------------------------------------------------------------------

@suite.case
def host_key_made_owner_only_and_kept_across_restarts():
    with EchoServer() as first:
        made = first.wait_line(r"host key (SHA256:\S+) created").group(1)
        path = os.path.join(first.keys, "ssh_host_ed25519_key")
        check(stat.S_IMODE(os.stat(path).st_mode) == 0o600, "the host key file is not owner-only")
        first.stop()
        with EchoServer(keys=first.keys) as second:
            check(second.wait_line(r"host key (SHA256:\S+) loaded").group(1) == made, "a new key after a restart")
            t = transport(second.port)
            try:
                key = t.get_remote_server_key()
                check(key.get_name() == "ssh-ed25519" and fingerprint(key) == made,
                      "the client saw %s %s, the server printed %s" % (key.get_name(), fingerprint(key), made))
            finally:
                t.close()
        # A key others could read is not used.
        os.chmod(path, 0o644)
        refused = subprocess.run([SERVER, "--keys", first.keys], capture_output=True, timeout=TIMEOUT)
        check(refused.returncode == 1 and b"ssh_host_ed25519_key" in refused.stderr and b"0644" in refused.stderr,
              "a group-readable key was not refused: %r" % refused.stderr)


@suite.case
def logons_accepted_and_refusals_held_back():
    cases = [  # (how, user, password, accepted)
        ("password", "tester", "secret", True),
        ("password", "tester", "wrong", False),
        ("password", "nobody", "secret", False),
        ("interactive", "tester", "secret", True),
        ("interactive", "tester", "wrong", False),
    ]
    with EchoServer("--refuse-delay-ms", str(REFUSE_DELAY_MS)) as server:
        for how, user, password, accepted in cases:
            started = time.monotonic()
            got_in = logon(server.port, how, user, password)
            took = time.monotonic() - started
            check(got_in == accepted, "%s %s/%s: accepted=%s" % (how, user, password, got_in))
            check(accepted or took >= REFUSE_DELAY_MS / 1000.0 * 0.9,
                  "%s %s/%s: refused after %.2f s, not held back" % (how, user, password, took))
        check(server.count(r"password for (tester|nobody) from 127\.0\.0\.1$") == len(cases),
              "the password check did not get each attempt with the peer address:\n" + server.output())

        # "none" is refused, naming the methods there are.
        t = transport(server.port)
        try:
            t.auth_none("tester")
            raise Failure("the none method was accepted")
        except paramiko.BadAuthenticationType as e:
            check(sorted(e.allowed_types) == ["keyboard-interactive", "password"], "offered %r" % e.allowed_types)
        finally:
            t.close()

        # While one refusal is held back, another user logs on and is served.
        attempts = server.count(r"password for ")
        held = threading.Thread(target=logon, args=(server.port, "password", "tester", "wrong"))
        held.start()
        try:
            server.wait_line(r"password for ", at_least=attempts + 1)
            t = logged_on(server.port)
            try:
                echo(shell(t), "served while another waits")
                check(held.is_alive(), "the held-back refusal was answered before the other user was served")
            finally:
                t.close()
        finally:
            held.join(TIMEOUT)

        # The third refused password ends the connection.
        t = transport(server.port)
        try:
            for attempt in range(3):
                try:
                    t.auth_password("tester", "wrong%d" % attempt)
                except paramiko.AuthenticationException:
                    pass
                except (paramiko.SSHException, EOFError):
                    break
            server.wait_line(r"closed: too many failed logons")
            deadline = time.monotonic() + TIMEOUT
            while t.is_active() and time.monotonic() < deadline:
                time.sleep(0.05)
            check(not t.is_active(), "the connection stayed open after three refused passwords")
        finally:
            t.close()


@suite.case
def public_key_logon_for_the_registered_key_only():
    registered, other = paramiko.ECDSAKey.generate(), paramiko.ECDSAKey.generate()
    root = tempfile.mkdtemp(prefix="ssh-key-")
    try:
        key_file = os.path.join(root, "tester.pub")
        with open(key_file, "w") as f:
            f.write("%s %s tester@test\n" % (registered.get_name(), registered.get_base64()))
        with EchoServer("--authorized-key", key_file) as server:
            check(logon(server.port, "key", "tester", registered), "the registered key was refused")
            check(not logon(server.port, "key", "tester", other), "an unregistered key was accepted")
            check(not logon(server.port, "key", "nobody", registered), "the key was accepted for another user")
    finally:
        shutil.rmtree(root, ignore_errors=True)


@suite.case
def terminal_size_and_bytes_both_ways():
    with EchoServer() as server:
        for pty, term, width, height, welcome in (  # the welcome line says what arrived
                (True, "xterm-256color", 100, 30, b"term=xterm-256color size=100x30"),
                (False, "", 0, 0, b"term= size=80x24")):
            t = logged_on(server.port)
            try:
                chan = shell(t, term, width, height, pty=pty)
                read_until(chan, b"welcome tester from 127.0.0.1 " + welcome + b"\r\n")
                chan.resize_pty(132, 43)
                read_until(chan, b"size 132x43\r\n")
            finally:
                t.close()

        t = logged_on(server.port)
        try:
            chan = shell(t)
            read_until(chan, b"\r\n")
            every_byte = bytes(range(256))
            chan.sendall(every_byte)
            read_until(chan, every_byte)
            block = os.urandom(300 * 1024)  # more than a window's and a queue's worth
            sender = threading.Thread(target=chan.sendall, args=(block,))
            sender.start()
            back = read_until(chan, block[-64:], timeout=30)
            sender.join(TIMEOUT)
            check(back == block, "the block came back changed (%d of %d bytes)" % (len(back), len(block)))
            # Output queued before the host closes is delivered, then the channel ends.
            chan.sendall(b"\rquit\r")
            read_until(chan, b"bye\r\n")
            check(chan.recv_exit_status() == 0, "exit status %r" % chan.recv_exit_status())
        finally:
            t.close()
        server.wait_line(r"closed tester: closed by the host")


def channel_request(t, kind, payload=b""):
    """A request on a new session channel that wants a reply; True when granted."""
    chan = t.open_session(timeout=TIMEOUT)
    m = Message()
    m.add_byte(cMSG_CHANNEL_REQUEST)
    m.add_int(chan.remote_chanid)
    m.add_string(kind)
    m.add_boolean(True)
    m.add_bytes(payload)
    chan._event_pending()
    chan.transport._send_user_message(m)
    check(chan.event.wait(TIMEOUT), "no answer to the %s request" % kind)
    return chan.event_ready


def granted(t, call, refusal):
    try:
        call()
        return True
    except refusal:
        return False


def second_session(t):
    first = shell(t)
    opened = granted(t, lambda: t.open_session(timeout=TIMEOUT), paramiko.ChannelException)
    echo(first, "the first session goes on")
    return opened


@suite.case
def other_requests_refused():
    x11 = Message().add_boolean(False).add_string("MIT-MAGIC-COOKIE-1").add_string("00" * 16).add_int(0).asbytes()
    cases = [  # (what, asks, what the server logs)
        ("exec", lambda t: channel_request(t, "exec", Message().add_string("id").asbytes()), "refused exec"),
        ("sftp", lambda t: granted(t, lambda: paramiko.SFTPClient.from_transport(t), paramiko.SSHException),
         "refused subsystem sftp"),
        ("x11", lambda t: channel_request(t, "x11-req", x11), "refused x11-req"),
        ("agent", lambda t: channel_request(t, "auth-agent-req@openssh.com"), None),  # libssh refuses it itself
        ("direct-tcpip", lambda t: granted(t, lambda: t.open_channel(
            "direct-tcpip", ("127.0.0.1", 22), ("127.0.0.1", 40000), timeout=TIMEOUT), paramiko.ChannelException),
         "refused a direct-tcpip channel"),
        ("tcpip-forward", lambda t: t.global_request("tcpip-forward", ("127.0.0.1", 0), wait=True) is not None,
         r"refused port forwarding \(tcpip-forward\)"),
        ("second session", second_session, "refused a second session channel"),
    ]
    with EchoServer() as server:
        for what, asks, logged in cases:
            t = logged_on(server.port)
            try:
                check(asks(t) is False, "%s: granted" % what)
                check(t.is_active(), "%s: the server dropped the connection instead of refusing" % what)
            finally:
                t.close()
            if logged:
                server.wait_line(logged)
        t = logged_on(server.port)
        try:
            echo(shell(t), "after the refusals")
        finally:
            t.close()


def flood_client(port):
    """Run as a child process: logs on, asks for a flood with a window far
    bigger than any socket buffer and than what the test floods, says so,
    then waits to be stopped."""
    chan = shell(logged_on(port), window=2 ** 31)
    read_until(chan, b"\r\n")
    chan.sendall(b"flood\r")
    print("flooding", flush=True)
    time.sleep(60)


def stalled_at_the_window(port, cleanup):
    t = logged_on(port)
    cleanup.append(t.close)
    chan = shell(t, window=32 * 1024)
    read_until(chan, b"\r\n")
    chan.sendall(b"flood\r")  # and never read again


def stalled_at_the_socket(port, cleanup):
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--flood-client", str(port)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    cleanup.append(lambda: (child.kill(), child.wait(TIMEOUT)))
    ready, _, _ = select.select([child.stdout], [], [], TIMEOUT)
    check(ready and child.stdout.readline().strip() == b"flooding", "the flooding client did not start")
    time.sleep(0.2)
    os.kill(child.pid, signal.SIGSTOP)  # its socket stops being read


@suite.case
def a_client_that_stops_reading_is_cut_off_and_others_are_served():
    for stall in (stalled_at_the_window, stalled_at_the_socket):
        with EchoServer("--max-queued", str(64 * 1024)) as server:
            cleanup = []
            try:
                other = logged_on(server.port)
                cleanup.append(other.close)
                served = shell(other)
                read_until(served, b"\r\n")
                stall(server.port, cleanup)
                deadline = time.monotonic() + 60
                rounds = 0
                while not server.count(r"closed tester: output queue full"):
                    check(time.monotonic() < deadline, "%s: not cut off:\n%s" % (stall.__name__, server.output()))
                    echo(served, "ping %d" % rounds)
                    rounds += 1
                    time.sleep(0.05)
                echo(served, "still served after the cut-off")
                check(server.count(r"closed tester") == 1, "%s: more than the stalled client was closed:\n%s" %
                      (stall.__name__, server.output()))
            finally:
                for step in reversed(cleanup):
                    step()


def closed_within(sock, timeout):
    """Reads (and drops) until the server closes the socket; False on timeout."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if select.select([sock], [], [], 0.2)[0]:
            try:
                if not sock.recv(4096):
                    return True
            except ConnectionResetError:
                return True
    return False


@suite.case
def clients_that_never_log_on_are_timed_out():
    openings = {"silent": b"", "banner only": b"SSH-2.0-quiet\r\n", "half a banner": b"SSH-2."}
    with EchoServer("--logon-limit-ms", "2000") as server:
        socks = {}
        try:
            for what, sent in openings.items():
                socks[what] = socket.create_connection(("127.0.0.1", server.port), timeout=TIMEOUT)
                socks[what].sendall(sent)
            idle = logged_on(server.port)  # authenticated, but never asks for a shell
            t = logged_on(server.port)  # logs on in time and is served meanwhile
            try:
                echo(shell(t), "served among the idle")
            finally:
                t.close()
            for what, sock in socks.items():
                check(closed_within(sock, TIMEOUT), "the %s client was not closed" % what)
            deadline = time.monotonic() + TIMEOUT
            while idle.is_active() and time.monotonic() < deadline:
                time.sleep(0.05)
            check(not idle.is_active(), "the client that never asked for a shell was not closed")
            idle.close()
        finally:
            for sock in socks.values():
                sock.close()
        check(server.count(r"closed: logon time limit reached") == 4,
              "not every idle client was timed out:\n" + server.output())


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--flood-client":
        flood_client(int(sys.argv[2]))
        sys.exit(0)
    sys.exit(suite.run())
