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
START_TIMEOUT = 30     # seconds for the server to say where it listens
REFUSE_DELAY_MS = 1200 # how long the test server holds back a refused password

logging.getLogger("paramiko").setLevel(logging.CRITICAL)
suite = Suite("ssh")


class EchoServer:
    """A running ssh_echo_server with a key folder (its own unless given)."""

    def __init__(self, *args, keys=None):
        self.root = tempfile.mkdtemp(prefix="ssh-echo-")
        self.keys = keys or os.path.join(self.root, "keys")
        os.makedirs(self.keys, exist_ok=True)
        self.args = list(args)
        self.proc = None
        self.port = None
        self._lines = []
        self._ended = False
        self._cond = threading.Condition()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, exc_type, *exc):
        try:
            if exc_type is None:  # a clean stop, and with it the sanitizers' verdict
                status = self.stop()
                check(status == 0, "the server exited with status %s:\n%s" % (status, self.output()))
        finally:
            self.close()
        return False

    def start(self):
        check(SERVER and os.path.exists(SERVER), "SSH_ECHO_SERVER is not set to the program: %r" % SERVER)
        self.proc = subprocess.Popen([SERVER, "--keys", self.keys] + self.args, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        threading.Thread(target=self._pump, daemon=True).start()
        found = self.wait_line(r"listening on 127\.0\.0\.1:(\d+)", START_TIMEOUT)
        self.port = int(found.group(1))

    def _pump(self):
        for raw in iter(self.proc.stdout.readline, b""):
            with self._cond:
                self._lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._ended = True
            self._cond.notify_all()

    def output(self):
        with self._cond:
            return "\n".join(self._lines)

    def wait_line(self, pattern, timeout=TIMEOUT):
        """The first output line matching the regular expression, waited for."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self._lines:
                    found = regex.search(line)
                    if found:
                        return found
                if self._ended:
                    break
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(min(left, 0.2))
        raise Failure("the server did not print %r; its output:\n%s" % (pattern, self.output()))

    def count(self, pattern):
        regex = re.compile(pattern)
        with self._cond:
            return sum(1 for line in self._lines if regex.search(line))

    def stop(self):
        """SIGTERM and wait; the exit status."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(TIMEOUT)
                raise Failure("the server did not stop on SIGTERM")
        return self.proc.returncode

    def close(self):
        try:
            if self.proc is not None and self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait(TIMEOUT)
        finally:
            shutil.rmtree(self.root, ignore_errors=True)


# ---- clients ---------------------------------------------------------------------

def transport(port):
    t = paramiko.Transport(("127.0.0.1", port))
    t.banner_timeout = TIMEOUT
    t.auth_timeout = TIMEOUT
    t.start_client(timeout=TIMEOUT)
    return t


def logged_on(port, user="tester", password="secret"):
    t = transport(port)
    t.auth_password(user, password)
    return t


def shell(t, term="xterm", width=80, height=24, pty=True, window=None):
    chan = t.open_session(window_size=window, timeout=TIMEOUT)
    chan.settimeout(TIMEOUT)
    if pty:
        chan.get_pty(term, width, height)
    chan.invoke_shell()
    return chan


def read_until(chan, wanted, timeout=TIMEOUT):
    """Bytes from the channel up to and with `wanted` (bytes)."""
    got = b""
    deadline = time.monotonic() + timeout
    while wanted not in got:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Failure("expected %r, got %r" % (wanted, got[-300:]))
        chan.settimeout(left)
        try:
            piece = chan.recv(65536)
        except socket.timeout:
            continue
        if not piece:
            raise Failure("channel closed while waiting for %r; got %r" % (wanted, got[-300:]))
        got += piece
    return got


def echo(chan, text):
    chan.sendall(text.encode() + b"\r")
    read_until(chan, text.encode() + b"\r")


def fingerprint(key):
    return "SHA256:" + base64.b64encode(hashlib.sha256(key.asbytes()).digest()).decode().rstrip("=")


def channel_request(chan, kind, payload=b"", timeout=TIMEOUT):
    """Sends a channel request that wants a reply; True when granted."""
    m = Message()
    m.add_byte(cMSG_CHANNEL_REQUEST)
    m.add_int(chan.remote_chanid)
    m.add_string(kind)
    m.add_boolean(True)
    m.add_bytes(payload)
    chan._event_pending()
    chan.transport._send_user_message(m)
    check(chan.event.wait(timeout), "no answer to the %s request" % kind)
    return chan.event_ready


def closed_within(sock, timeout):
    """Reads (and drops) until the server closes the socket; False on timeout."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([sock], [], [], 0.2)
        if ready:
            try:
                if not sock.recv(4096):
                    return True
            except ConnectionResetError:
                return True
    return False


# ---- cases ---------------------------------------------------------------------

@suite.case
def host_key_made_owner_only_and_kept_across_restarts():
    with EchoServer() as first:
        made = first.wait_line(r"host key (SHA256:\S+) created").group(1)
        path = os.path.join(first.keys, "ssh_host_ed25519_key")
        mode = stat.S_IMODE(os.stat(path).st_mode)
        check(mode == 0o600, "the host key file has mode %o" % mode)
        t = transport(first.port)
        try:
            seen = fingerprint(t.get_remote_server_key())
            check(t.get_remote_server_key().get_name() == "ssh-ed25519", "host key type %s" %
                  t.get_remote_server_key().get_name())
        finally:
            t.close()
        check(seen == made, "the client saw %s, the server printed %s" % (seen, made))
        first.stop()

        with EchoServer(keys=first.keys) as second:
            again = second.wait_line(r"host key (SHA256:\S+) loaded").group(1)
            check(again == made, "after a restart the key is %s, was %s" % (again, made))
            t = transport(second.port)
            try:
                check(fingerprint(t.get_remote_server_key()) == made, "the client saw another key after a restart")
            finally:
                t.close()

        # A key others could read is not used.
        os.chmod(path, 0o644)
        refused = subprocess.run([SERVER, "--keys", first.keys], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 timeout=TIMEOUT)
        check(refused.returncode == 1 and b"ssh_host_ed25519_key" in refused.stderr and b"0644" in refused.stderr,
              "a group-readable key was not refused: %r" % refused.stderr)


def password_logon(port, user, password):
    t = transport(port)
    try:
        t.auth_password(user, password)
        return t.is_authenticated()
    except paramiko.AuthenticationException:
        return False
    finally:
        t.close()


def interactive_logon(port, user, password):
    prompts_seen = []

    def answer(title, instructions, prompts):
        prompts_seen.append(prompts)
        return [password for _ in prompts]

    t = transport(port)
    try:
        t.auth_interactive(user, answer)
        ok = t.is_authenticated()
    except paramiko.AuthenticationException:
        ok = False
    finally:
        t.close()
    check(prompts_seen == [[("Password: ", False)]], "keyboard-interactive prompts: %r" % prompts_seen)
    return ok


@suite.case
def logons_accepted_and_refusals_held_back():
    cases = [  # (how, user, password, accepted)
        (password_logon, "tester", "secret", True),
        (password_logon, "tester", "wrong", False),
        (password_logon, "nobody", "secret", False),
        (interactive_logon, "tester", "secret", True),
        (interactive_logon, "tester", "wrong", False),
    ]
    with EchoServer("--refuse-delay-ms", str(REFUSE_DELAY_MS)) as server:
        for how, user, password, accepted in cases:
            label = "%s %s/%s" % (how.__name__, user, password)
            started = time.monotonic()
            result = how(server.port, user, password)
            took = time.monotonic() - started
            check(result == accepted, "%s: accepted=%s" % (label, result))
            if not accepted:
                check(took >= REFUSE_DELAY_MS / 1000.0 * 0.9, "%s: refused after %.2f s, not held back" % (label, took))
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
        held = threading.Thread(target=password_logon, args=(server.port, "tester", "wrong"))
        held.start()
        try:
            server.wait_line(r"password for tester.*", TIMEOUT)
            t = logged_on(server.port)
            try:
                started = time.monotonic()
                echo(shell(t), "served while another waits")
                check(held.is_alive(), "the held-back refusal was answered before the other user was served "
                      "(%.2f s)" % (time.monotonic() - started))
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
            deadline = time.monotonic() + TIMEOUT
            while t.is_active() and time.monotonic() < deadline:
                time.sleep(0.05)
            check(not t.is_active(), "the connection stayed open after three refused passwords")
        finally:
            t.close()
        server.wait_line(r"closed: too many failed logons")


@suite.case
def public_key_logon_for_the_registered_key_only():
    registered = paramiko.ECDSAKey.generate()
    other = paramiko.ECDSAKey.generate()
    root = tempfile.mkdtemp(prefix="ssh-key-")
    try:
        key_file = os.path.join(root, "tester.pub")
        with open(key_file, "w") as f:
            f.write("%s %s tester@test\n" % (registered.get_name(), registered.get_base64()))
        with EchoServer("--authorized-key", key_file) as server:
            for key, accepted in ((registered, True), (other, False)):
                t = transport(server.port)
                try:
                    try:
                        t.auth_publickey("tester", key)
                        ok = t.is_authenticated()
                    except paramiko.AuthenticationException:
                        ok = False
                    check(ok == accepted, "key %s: accepted=%s" % (fingerprint(key), ok))
                    if ok:
                        echo(shell(t), "signed in with a key")
                finally:
                    t.close()
    finally:
        shutil.rmtree(root, ignore_errors=True)


@suite.case
def terminal_size_and_bytes_both_ways():
    with EchoServer() as server:
        cases = [  # (pty, term, width, height, the welcome says)
            (True, "xterm-256color", 100, 30, b"term=xterm-256color size=100x30"),
            (False, None, None, None, b"term= size=80x24"),
        ]
        for pty, term, width, height, welcome in cases:
            t = logged_on(server.port)
            try:
                chan = shell(t, term or "", width or 0, height or 0, pty=pty)
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
            block = os.urandom(300 * 1024)  # more than a window and a queue's worth
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


def refused_exec(t):
    chan = t.open_session(timeout=TIMEOUT)
    return channel_request(chan, "exec", Message().add_string("id").asbytes())


def refused_sftp(t):
    try:
        paramiko.SFTPClient.from_transport(t)
        return True
    except paramiko.SSHException:
        return False


def refused_x11(t):
    chan = t.open_session(timeout=TIMEOUT)
    payload = Message().add_boolean(False).add_string("MIT-MAGIC-COOKIE-1").add_string("00" * 16).add_int(0)
    return channel_request(chan, "x11-req", payload.asbytes())


def refused_agent(t):
    chan = t.open_session(timeout=TIMEOUT)
    return channel_request(chan, "auth-agent-req@openssh.com")


def refused_direct_tcpip(t):
    try:
        t.open_channel("direct-tcpip", ("127.0.0.1", 22), ("127.0.0.1", 40000), timeout=TIMEOUT)
        return True
    except paramiko.ChannelException:
        return False


def refused_tcpip_forward(t):
    return t.global_request("tcpip-forward", ("127.0.0.1", 0), wait=True) is not None


def refused_second_session(t):
    first = shell(t)
    try:
        t.open_session(timeout=TIMEOUT)
        return True
    except paramiko.ChannelException:
        echo(first, "the first session goes on")
        return False


@suite.case
def other_requests_refused():
    cases = [  # (how, what the server logs)
        (refused_exec, "refused exec"),
        (refused_sftp, "refused subsystem sftp"),
        (refused_x11, "refused x11-req"),
        (refused_agent, None),  # libssh refuses it before any message is made
        (refused_direct_tcpip, "refused a direct-tcpip channel"),
        (refused_tcpip_forward, r"refused port forwarding \(tcpip-forward\)"),
        (refused_second_session, "refused a second session channel"),
    ]
    with EchoServer() as server:
        for how, logged in cases:
            t = logged_on(server.port)
            try:
                check(how(t) is False, "%s: granted" % how.__name__)
                check(t.is_active(), "%s: the server dropped the connection instead of refusing" % how.__name__)
            finally:
                t.close()
            if logged:
                server.wait_line(logged)
        # Still serving.
        t = logged_on(server.port)
        try:
            echo(shell(t), "after the refusals")
        finally:
            t.close()


def flood_client(port):
    """Run as a child process: logs on, asks for a flood with a window far
    bigger than any socket buffer and than what the test floods, says so, then waits to be stopped."""
    t = logged_on(port)
    chan = shell(t, window=2 ** 31)
    read_until(chan, b"\r\n")
    chan.sendall(b"flood\r")
    print("flooding", flush=True)
    time.sleep(60)


def stalled_at_the_window(port, stack):
    t = logged_on(port)
    stack.append(t.close)
    chan = shell(t, window=32 * 1024)
    read_until(chan, b"\r\n")
    chan.sendall(b"flood\r")  # and never read again


def stalled_at_the_socket(port, stack):
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--flood-client", str(port)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    stack.append(lambda: (child.kill(), child.wait(TIMEOUT)))
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


@suite.case
def clients_that_never_log_on_are_timed_out():
    def silent(port):
        return socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)

    def banner_only(port):
        s = silent(port)
        s.sendall(b"SSH-2.0-quiet\r\n")
        return s

    def half_banner(port):
        s = silent(port)
        s.sendall(b"SSH-2.")
        return s

    with EchoServer("--logon-limit-ms", "2000") as server:
        socks = [make(server.port) for make in (silent, banner_only, half_banner)]
        try:
            # Authenticated, but no shell ever asked for.
            idle = logged_on(server.port)
            # Meanwhile a user who does log on in time is served.
            t = logged_on(server.port)
            try:
                echo(shell(t), "served among the idle")
            finally:
                t.close()
            for s, what in zip(socks, ("silent", "banner only", "half a banner")):
                check(closed_within(s, TIMEOUT), "the %s client was not closed" % what)
            deadline = time.monotonic() + TIMEOUT
            while idle.is_active() and time.monotonic() < deadline:
                time.sleep(0.05)
            check(not idle.is_active(), "the client that never asked for a shell was not closed")
            idle.close()
        finally:
            for s in socks:
                s.close()
        server.wait_line(r"logon time limit reached")
        check(server.count(r"closed: logon time limit reached") == 4,
              "not every idle client was timed out:\n" + server.output())


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--flood-client":
        flood_client(int(sys.argv[2]))
        sys.exit(0)
    sys.exit(suite.run())
