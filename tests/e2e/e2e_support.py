"""The real bbshost on a free loopback port with a data folder of its own, and its clients (pexpect telnet, raw).
Test scripts take all from here with import *, the standard modules imported here too."""

import contextlib
import errno
import json
import os
import random
import re
import resource
import shutil
import signal
import socket
import stat
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import zlib

import pexpect

BBSHOST = os.environ.get("BBSHOST", "")
# bbshost as the tests build it: BBS_FAST_HASH=1 (host_env) makes its password hashes cheap; bbshost ignores it.
BBSHOST_TESTING = os.environ.get("BBSHOST_TESTING", "")
CONFIG_DIR = os.environ.get("PLUS_CONFIG_DIR", "")
EXPECT_TIMEOUT, START_TIMEOUT, STOP_TIMEOUT = 10, 60, 20   # seconds
GAME_PROMPT = "]: "
CHOICE = "choice:"
ADDRESS_REFUSED, USERID_REFUSED = "Too many failed logons from your address.", "Too many failed logons for this user-ID."
# What make install puts under PREFIX (the settings under PREFIX/etc unless it is /usr).
INSTALLED = [
    "bin/bbshost", "etc/default/brakvold-plus", "etc/fail2ban/filter.d/brakvold-plus.conf",
    "etc/fail2ban/jail.d/brakvold-plus.conf", "etc/logrotate.d/brakvold-plus",
    "lib/brakvold-plus/QRTBKPLS.MCT", "lib/brakvold-plus/libbbs.so", "lib/brakvold-plus/libqrtbkpls.so",
    "lib/brakvold-plus/libqrtbrak.so", "lib/systemd/system/brakvold-plus.service",
    "share/brakvold-plus/config/QRTBKPLS.MDF", "share/brakvold-plus/config/QRTBKPLS.MSG",
    "share/brakvold-plus/config/brakvold.ini", "share/brakvold-plus/web/index.html",
    "share/brakvold-plus/web/terminal.css", "share/brakvold-plus/web/terminal.js",
    "share/brakvold-plus/web/xterm-loader.js", "share/doc/brakvold-plus/changelog.gz",
    "share/doc/brakvold-plus/copyright", "share/doc/brakvold-plus/sysop.md", "share/man/man1/bbshost.1.gz",]
ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def plain(text):
    return ANSI.sub("", text).replace("\r", "")


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def holds(text, *parts):
    """Each part is in the text ("!part": is not); the text."""
    for part in parts:
        lacks = part[:1] in ("!", b"!")
        check((part[lacks:] in text) != lacks, "%s %r: %r" % ("holds" if lacks else "lacks", part[lacks:], text[-3000:]))
    return text


def equal(got, wanted, what):
    check(got == wanted, "%s: %r, not %r" % (what, got, wanted))


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def in_parallel(function, args, timeout=60):
    """function(*each of args) in threads of their own, waited for."""
    threads = [threading.Thread(target=function, args=a) for a in args]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)


_ports_handed_out = set()


def free_port():
    """A port free on both loopbacks, drawn below the kernel's ephemeral range so that the outgoing connections of
    tests running beside this one cannot take it between now and the host's bind."""
    for _ in range(200):
        port = random.randrange(20000, 32000)
        if port in _ports_handed_out:
            continue
        try:
            for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
                with socket.socket(family, socket.SOCK_STREAM) as s:
                    try:
                        s.bind((address, port))
                    except OSError as error:
                        if error.errno == errno.EADDRINUSE:
                            raise
        except OSError:
            continue
        _ports_handed_out.add(port)
        return port
    raise Failure("no free port found between 20000 and 32000")


def host_env(fast_hash=True):
    env = {name: value for name, value in os.environ.items() if name != "BBS_FAST_HASH"}
    return dict(env, TERM="dumb", **({"BBS_FAST_HASH": "1"} if fast_hash else {}))   # cheap password hashing


def without_asan_quarantine():
    """ASAN_OPTIONS for hosts that keep no freed memory in ASan's quarantine (in the sanitizer build), where it
    would look like growth."""
    return ":".join(part for part in (os.environ.get("ASAN_OPTIONS", ""), "quarantine_size_mb=0",
                                      "thread_local_quarantine_size_kb=0") if part)


def host_program(fast_hash=True):
    """The program to run: bbshost-testing with cheap password hashing, else bbshost."""
    return BBSHOST_TESTING if fast_hash else BBSHOST


def wait_until(probe, what, attempts=100):
    for _ in range(attempts):
        if probe():
            return
        time.sleep(0.05)
    raise Failure("gave up waiting for " + what)


def config_args():
    return ["--config", CONFIG_DIR] if CONFIG_DIR else []


def read(path):
    with open(path, encoding="latin-1") as f:
        return f.read()


def write_atomically(path, text):
    """As an editor that saves to a new file and renames it over the old one."""
    temp = "%s.%d.new" % (path, os.getpid())
    with open(temp, "w", encoding="latin-1") as f:
        f.write(text)
    os.replace(temp, path)


def edited(text, pattern, replacement):
    new, count = re.subn(pattern, replacement if callable(replacement) else lambda m: replacement, text)
    check(count == 1, "%r is not in the file once" % pattern)
    return new


def edit_file(path, pattern, replacement):
    write_atomically(path, edited(read(path), pattern, replacement))


def set_option(data, name, value):
    """Option or message NAME of the data folder's QRTBKPLS.MSG gets the text VALUE."""
    edit_file(os.path.join(data, "QRTBKPLS.MSG"), r"(\n\d+ %s \{)[^}]*\}" % name, lambda m: m.group(1) + str(value) + "}")


def set_ini(data, key, value):
    edit_file(os.path.join(data, "brakvold.ini"), r"(?m)^%s=.*$" % key, "%s=%s" % (key, value))


def read_only(path):
    return contextlib.closing(sqlite3.connect("file:%s?mode=ro" % path, uri=True))


def run_ok(args, stderr=subprocess.PIPE, timeout=120, **kwargs):
    """A program that must end with status 0; its standard output."""
    proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=stderr, timeout=timeout, **kwargs)
    out = proc.stdout.decode("utf-8", "replace")
    check(proc.returncode == 0, "%s: %s %s %r" % (" ".join(args), proc.returncode, out[-3000:], proc.stderr))
    return out


def run_admin(data, *args, stdin="", cwd=None):
    """An admin command run in `cwd`; `stdin` is what it reads (user add: the password). (status, stdout, stderr)."""
    proc = subprocess.run([host_program(), "--data", os.path.abspath(data)] + list(args), input=stdin.encode("utf-8"),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=host_env(), timeout=120, cwd=cwd)
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")


def admin_ok(data, *args, stdin="", cwd=None):
    status, out, err = run_admin(data, *args, stdin=stdin, cwd=cwd)
    check(status == 0, "%s failed with %s: %r %r" % (" ".join(args), status, out, err))
    return out


def shows(data, *pairs):
    for args, wanted in pairs:
        out = admin_ok(data, *args)
        check(out.strip() == wanted, "%s printed %r, not %r" % (" ".join(args), out, wanted))


def refused(data, *args, status=2, says="", stdin=""):
    """The command fails with `status` and an error that says `says`; the error."""
    got, out, err = run_admin(data, *args, stdin=stdin)
    check(got == status, "%s answered %s instead of %s: %r %r" % (" ".join(args), got, status, out, err))
    check(says in err and err.strip(), "%s: the error does not say %r: %r" % (" ".join(args), says, err))
    return err


def on_terminal(args, dialogue):
    """bbshost ARGS on a pty, answering each (prompt, line); (exit status, all it showed)."""
    term = pexpect.spawn(host_program(), args, env=host_env(), encoding="utf-8", timeout=60)
    try:
        for prompt, line in dialogue:
            term.expect_exact(prompt)
            term.sendline(line)
        term.expect(pexpect.EOF)
        shown = term.before
    finally:
        term.close(force=True)
    return term.exitstatus, shown


def serve_expecting_failure(data, *more, status=1, says=(), timeout=60):
    """The host on `data` with options `more` exits with `status`, its errors saying `says`: (stdout, stderr)."""
    args = [host_program(), "--data", data, "--bind", "127.0.0.1", "--port", str(free_port()), "--channels", "4"]
    proc = subprocess.Popen(args + config_args() + list(more), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=host_env())
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        raise Failure("the host kept running on %s:\n%s\n%s" % (data, out, err))
    out, err = out.decode("utf-8", "replace"), err.decode("utf-8", "replace")
    check(proc.returncode == status, "%s: %s %r %r" % (data, proc.returncode, out, err))
    return out, holds(err, *says)


def self_signed(folder, name):
    """A throwaway certificate for 127.0.0.1 and its key, made in `folder`: (certificate file, key file)."""
    cert, key = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    run_ok(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
            "-addext", "subjectAltName=IP:127.0.0.1", "-out", cert, "-keyout", key])
    return cert, key


@contextlib.contextmanager
def scratch(prefix="bbshost-e2e-"):
    root = tempfile.mkdtemp(prefix=prefix)
    try:
        yield root
    finally:
        shutil.rmtree(root, ignore_errors=True)


@contextlib.contextmanager
def made_folder(prefix="bbshost-e2e-"):
    """A data folder made by a first start of the host, then stopped; `scratch` beside it."""
    with scratch(prefix) as root:
        with BbsHost(data_dir=os.path.join(root, "data")) as first:
            check(first.stop() == 0, "the first host did not stop cleanly")
        first.scratch = root
        yield first


class BbsHost:
    """A running bbshost on 127.0.0.1 (or `address`) with a data folder of its own; program: another bbshost."""
    address = "127.0.0.1"

    def admin(self, *args, stdin=""):
        return run_admin(self.data, *args, stdin=stdin)

    def admin_ok(self, *args, stdin="", cwd=None):
        return admin_ok(self.data, *args, stdin=stdin, cwd=cwd)

    def refused(self, *args, **kwargs):
        return refused(self.data, *args, **kwargs)

    def shows(self, *pairs):
        shows(self.data, *pairs)

    def account(self, userid):
        out = self.admin_ok("user", "show", userid)
        fields = dict(re.findall(r"(\w+)=(\S*)", out))
        check("credits" in fields and "class" in fields, "user show %s: %r" % (userid, out))
        return fields

    def credits(self, userid):
        return int(self.account(userid)["credits"])

    def lives(self, player):
        return int(re.search(r"lives=(\d+)", self.admin_ok("player", "show", player)).group(1))

    def db_rows(self):
        return self.admin_ok("db", "list").splitlines()

    def path(self, name):
        return os.path.join(self.data, name)

    def log_text(self, name="bbshost.log"):
        try:
            with open(self.path(name), encoding="utf-8", errors="replace", newline="") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def game_log(self):
        return self.log_text("brakvold.log")


    def __init__(self, channels=8, data_dir=None, fast_hash=True, open_files=None, options=(), bind=True, program=None):
        self.root = tempfile.mkdtemp(prefix="bbshost-e2e-")
        self.data = data_dir or os.path.join(self.root, "data")
        self.channels, self.fast_hash, self.open_files = channels, fast_hash, open_files
        self.options = list(options) + (["--bind", self.address] if bind else [])
        self.program = program
        self.port = self.proc = None
        self.clients = []
        self._out, self._err = [], []
        self._lock = threading.Condition()
        self._reloads = 0

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
        """Starts the host; a port another test took between its choice and the host's bind is chosen again."""
        for attempt in range(5):
            try:
                return self._start_once()
            except Failure as failure:
                if "Address already in use" not in str(failure) or attempt == 4:
                    raise
                self._out.clear()
                self._err.clear()

    def _start_once(self):
        run = self.program or host_program(self.fast_hash)
        check(run and os.path.exists(run), "BBSHOST or BBSHOST_TESTING is not set to the program: %r" % run)
        self.port = free_port()
        args = [run, "--data", self.data, "--port", str(self.port),
                "--channels", str(self.channels)] + (config_args() if not self.program else []) + self.options
        args += self.more_listeners()
        limit = None
        if self.open_files:
            def limit():
                resource.setrlimit(resource.RLIMIT_NOFILE, (self.open_files, self.open_files))
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=host_env(self.fast_hash), cwd=self.root, preexec_fn=limit)
        for stream, sink in ((self.proc.stdout, self._out), (self.proc.stderr, self._err)):
            threading.Thread(target=self._pump, args=(stream, sink), daemon=True).start()
        wanted = ["listening on %s:%d" % (self.address, self.port)] + self.more_listening()
        deadline = time.monotonic() + START_TIMEOUT
        with self._lock:
            while not all(any(w in line for line in self._out) for w in wanted):
                if self.proc.poll() is not None:
                    raise Failure("bbshost exited with %s before listening:\n%s" %
                                  (self.proc.returncode, self.output()))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failure("bbshost did not say %r:\n%s" % (wanted, self.output()))
                self._lock.wait(min(left, 0.5))
        self._reloads = self.log_text().count("reload done")

    def more_listeners(self):
        return []

    def more_listening(self):
        return []

    def _pump(self, stream, sink):
        for raw in iter(stream.readline, b""):
            with self._lock:
                sink.append(raw.decode("utf-8", "replace"))
                self._lock.notify_all()
        stream.close()

    def output(self):
        with self._lock:
            return "stdout:\n" + "".join(self._out) + "stderr:\n" + "".join(self._err)

    def reload(self):
        """SIGHUP until the host log says the reload is done; what it added to the host and game logs."""
        host_log, game_log = len(self.log_text()), len(self.game_log())
        self._reloads += 1
        self.proc.send_signal(signal.SIGHUP)
        wait_until(lambda: self.log_text().count("reload done") >= self._reloads,
                   "reload %d" % self._reloads, attempts=1200)
        return self.log_text()[host_log:], self.game_log()[game_log:]

    def wait_log(self, text, what, name="bbshost.log", attempts=100):
        wait_until(lambda: text in self.log_text(name), what, attempts)

    def stop(self):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(STOP_TIMEOUT)
                raise Failure("bbshost did not stop on SIGTERM and was killed")
        return self.proc.returncode

    def stop_cleanly(self):
        check(self.stop() == 0, "the host did not stop cleanly")

    def close(self):
        for client in self.clients:
            client.close()
        self.clients = []
        try:
            if self.proc is not None and self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait(STOP_TIMEOUT)
        finally:
            shutil.rmtree(self.root, ignore_errors=True)

    def keep(self, client):
        """The client, closed with the host."""
        self.clients.append(client)
        return client

    def connect(self):
        return self.keep(Client(self.port))

    def login(self, userid, password=None, plus=False):
        return self.connect().logged_on(userid, password, plus)

    def raw(self, *args, **kwargs):
        return self.keep(RawClient(self.port, *args, host=self.address, **kwargs))

    def attempt(self, userid, password="wrong", **kwargs):
        client = self.raw(**kwargs)
        client.read_until("User-ID: ")
        try:
            return client.answer(userid, password)
        finally:
            client.close()

    def raw_user(self, userid, password=None, plus=False, **kwargs):
        return self.raw(**kwargs).logged_on(userid, password, plus)

    def wait_offline(self, watcher, userid):
        wait_until(lambda: watcher.gone_from_who("  " + userid + " "), userid + " to leave the host")


class Dialogue:

    def type(self, line, until, timeout=EXPECT_TIMEOUT):
        self.send(line)
        return self.read_until(until, timeout)

    def steps(self, *steps):
        """type() each (line, until or None: send only, *texts); each answer less colours holds each text
        ("!text": lacks it). All the answers."""
        outs = []
        for line, until, *texts in steps:
            if until is None:
                self.send(line)
                continue
            outs.append(self.type(line, until))
            holds(plain(outs[-1]) if texts else "", *texts)
        return outs[0][:0].join(outs) if outs else ""

    def login(self, userid, password=None, until=GAME_PROMPT, timeout=EXPECT_TIMEOUT, plus=False):
        """From the User-ID prompt on (plus: into the Plus menu, shown in self.menu): all the output."""
        out = self.read_until("User-ID: ") + self.type(userid, "Password: ")
        out += self.type(password or userid.lower(), until, timeout)
        if plus:
            self.menu = plain(self.enter_plus())
        return out

    def logged_on(self, userid, password=None, plus=False):
        self.login(userid, password, plus=plus)
        return self

    def enter_plus(self):
        return self.steps(("ext", "Extension: "), ("*", CHOICE))

    def open_editor(self, answer="y"):
        return self.steps(("d", CHOICE), ("d", "Do you wish to continue? "), (answer, "/h helps."))

    def write(self, *lines, until):
        for line in lines:
            self.send(line)
        return self.type("/l", until)

    def buy_life(self):
        self.type("l", "buy one? ")
        return self.type("y", CHOICE)

    def served(self, who="the user", timeout=EXPECT_TIMEOUT):
        out = self.type("stats", GAME_PROMPT, timeout)
        check("Time played: " in out, "%s was not served: %r" % (who, out))
        return out

    def gone_from_who(self, name):
        return name not in plain(self.type("who", GAME_PROMPT))


class Closed(Failure):
    """The host closed the connection while a test waited for text."""


class Stream(Dialogue):
    """read_until over a byte stream: _receive(deadline) gives text, "" (nothing yet) or None (closed)."""
    text = seen = ""
    eof = False

    def _pull(self, deadline):
        try:
            got = self._receive(deadline)
        except socket.timeout:
            got = ""
        except (OSError, EOFError):
            got = None
        if got is None:
            self.eof = True
        else:
            self.text += got
            self.seen += got

    def read_until_any(self, markers, timeout=EXPECT_TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            found = [(self.text.find(m), m) for m in markers if m in self.text]
            if found:
                i, m = min(found)
                out, self.text = self.text[:i + len(m)], self.text[i + len(m):]
                return m, out
            if self.eof:
                raise Closed("closed while waiting for %r; last output:\n%r" % (markers, self.seen[-1500:]))
            if time.monotonic() >= deadline:
                raise Failure("no %r within %ss; last output:\n%r" % (markers, timeout, self.seen[-1500:]))
            self._pull(deadline)

    def read_until(self, marker, timeout=EXPECT_TIMEOUT):
        return self.read_until_any([marker], timeout)[1]

    def answer(self, userid, password="wrong"):
        """After the User-ID prompt: what answers the logon: "]: " (in), "Invalid login." or a throttle's refusal."""
        self.send(userid)
        said, _ = self.read_until_any(["Password: ", ADDRESS_REFUSED, USERID_REFUSED])
        if said == "Password: ":
            self.send(password)
            said, _ = self.read_until_any(["]: ", "Invalid login."])
        return said

    def read_for(self, seconds):
        self.wait_closed(seconds)
        out, self.text = self.text, ""
        return out

    def wait_closed(self, timeout=EXPECT_TIMEOUT):
        deadline = time.monotonic() + timeout
        while not self.eof and time.monotonic() < deadline:
            self._pull(deadline)
        return self.eof


class Client(Dialogue):

    def __init__(self, port):
        self.p = pexpect.spawn("telnet", ["127.0.0.1", str(port)], encoding="latin-1",
                               timeout=EXPECT_TIMEOUT, env=host_env())
        self.seen = ""   # everything read so far, for failure messages

    def read_until(self, text, timeout=EXPECT_TIMEOUT):
        try:
            self.p.expect_exact(text, timeout=timeout)
        except (pexpect.TIMEOUT, pexpect.EOF) as e:
            got = self.p.before if isinstance(self.p.before, str) else ""
            raise Failure("expected %r, got %s; last output:\n%r" % (text, type(e).__name__, (self.seen + got)[-1500:]))
        self.seen += self.p.before + self.p.after
        return self.p.before + self.p.after

    expect = read_until

    def expect_closed(self, timeout=EXPECT_TIMEOUT):
        try:
            self.p.expect(pexpect.EOF, timeout=timeout)
        except pexpect.TIMEOUT:
            raise Failure("the connection stayed open; last output:\n%r" % (self.seen + self.p.before)[-1500:])
        self.seen += self.p.before
        return self.p.before

    def send(self, line):
        self.p.sendline(line)

    def close(self):
        if self.p is not None and self.p.isalive():
            self.p.close(force=True)


def on_despite_drops(host, userid, until=GAME_PROMPT, **kwargs):
    """Logged on (or told `until`) as a user would be: trying again while the host, its logon places filling,
    turns connections away at random."""
    for _ in range(300):
        c = host.raw(**kwargs)
        said, _ = c.read_until_any(["User-ID: ", "are logging on."])
        if said == "User-ID: ":
            c.type(userid, "Password: ")
            c.type(userid.lower(), until)
            return c
        c.close()
    raise Failure("%s was turned away 300 times" % userid)


class Suite(list):

    def __init__(self, name):
        super().__init__()
        self.name = name

    def case(self, function):
        self.append(function)
        return function

    def run(self):
        failed = 0
        for function in self:
            try:
                function()
                print("PASS %s.%s" % (self.name, function.__name__))
            except Exception:
                failed += 1
                print("FAIL %s.%s" % (self.name, function.__name__))
                traceback.print_exc(file=sys.stdout)
            sys.stdout.flush()
        print("%d passed, %d failed" % (len(self) - failed, failed))
        return 0 if failed == 0 and self else 1

    def main(self):
        sys.exit(self.run())

IAC, DONT, DO, WONT, WILL, SB, SE, GA, EOR_CMD = 255, 254, 253, 252, 251, 250, 240, 249, 239
BINARY, ECHO, SGA, TTYPE, EOR, NAWS, MSSP, COMPRESS2, GMCP = 0, 1, 3, 24, 25, 31, 70, 86, 201


class RawClient(Stream):
    def __init__(self, port, rcvbuf=None, timeout=EXPECT_TIMEOUT, source=None, agree=None,
                 ttype=b"XTERM-256COLOR", size=(80, 24), host="127.0.0.1", tls=None, header=b""):
        """source: a loopback address to connect from; agree: the options it agrees to; host: IPv4 or IPv6;
        ttype: its terminal type, or the list it names one after the other (repeating the last); tls: an
        ssl.SSLContext to speak telnet inside TLS with; header: bytes sent first, before TLS (a proxy's)."""
        self.sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM)
        if source:
            self.sock.bind((source, 0))
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(timeout)
        self.sock.connect((host, port))
        if header:
            self.sock.sendall(header)
        if tls:
            self.sock = tls.wrap_socket(self.sock, server_hostname=host)
        self.timeout = timeout
        self.agree, self.size = agree, size
        self.ttypes = list(ttype) if isinstance(ttype, (list, tuple)) else [ttype]
        self.raw = b""        # all bytes read, telnet commands and all
        self.commands = []    # the host's telnet commands: (verb, option), ("SB", option, body) or (command, None)
        self.marks = []       # ("GA" or "EOR", the count of data bytes before it)
        self.total = 0
        self.inflate = None   # MCCP2 once the host starts it
        self._state, self._verb, self._sub = "data", None, bytearray()

    def _answer(self, verb, option):
        if self.agree is None:
            return
        ok = option in self.agree
        if verb in (WILL, WONT):     # the host's own option
            self.send_raw(bytes([IAC, DO if ok and verb == WILL else DONT, option]))
        elif verb == DONT:
            self.send_raw(bytes([IAC, WONT, option]))
        else:                        # the host asks for ours
            self.send_raw(bytes([IAC, WILL if ok else WONT, option]))
            if ok and option == NAWS:
                w, h = self.size
                self.send_raw(bytes([IAC, SB, NAWS, w >> 8, w & 255, h >> 8, h & 255, IAC, SE]))

    def _strip(self, data):
        out = bytearray()
        i = 0
        while i < len(data):
            b, st = data[i], self._state
            i += 1
            if st == "data":
                if b == IAC:
                    self._state = "iac"
                else:
                    out.append(b)
            elif st == "iac":
                self._state = "data"
                if b == IAC:
                    out.append(IAC)
                elif b in (WILL, WONT, DO, DONT):
                    self._verb, self._state = b, "option"
                elif b == SB:
                    self._sub, self._state = bytearray(), "sb"
                else:
                    if b in (GA, EOR_CMD):
                        self.marks.append(("GA" if b == GA else "EOR", self.total + len(out)))
                    self.commands.append((b, None))
            elif st == "option":
                self.commands.append((self._verb, b))
                self._state = "data"
                self._answer(self._verb, b)
            elif st == "sb":
                if b == IAC:
                    self._state = "sb_iac"
                else:
                    self._sub.append(b)
            elif b == SE:    # sb_iac
                self._state = "data"
                option, body = (self._sub or b"\0")[0], bytes(self._sub[1:])
                self.commands.append(("SB", option, body))
                if option == TTYPE and body == b"\x01" and self.agree is not None:
                    self.send_raw(bytes([IAC, SB, TTYPE, 0]) + self.ttypes[0] + bytes([IAC, SE]))
                    self.ttypes = self.ttypes[1:] or self.ttypes
                if option == COMPRESS2:    # what follows is compressed
                    self.inflate = zlib.decompressobj()
                    data, i = self.inflate.decompress(data[i:]), 0
            else:
                self._sub.append(b)
                self._state = "sb"
        self.total += len(out)
        return out.decode("latin-1")

    def _receive(self, deadline):
        self.sock.settimeout(max(0.001, min(deadline - time.monotonic(), self.timeout)))
        chunk = self.sock.recv(65536)
        if not chunk:
            return None
        self.raw += chunk
        return self._strip(self.inflate.decompress(chunk) if self.inflate else chunk)

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, line):
        if isinstance(line, str):
            line = line.encode("latin-1")
        self.sock.sendall(line + b"\r\n")

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Mudlet(RawClient):
    """Negotiates as Mudlet does: DO SGA, DO ECHO, DO EOR, DO GMCP, WILL NAWS 120x40, TTYPE MUDLET and then its
    MTTS rounds; it sends whole lines and shows them itself."""

    AGREES = {SGA, ECHO, EOR, GMCP, NAWS, TTYPE, MSSP}
    TYPES = [b"MUDLET", b"ANSI-TRUECOLOR", b"MTTS 2349"]

    def __init__(self, port, ttype=TYPES, **kwargs):
        super().__init__(port, agree=self.AGREES, ttype=ttype, size=(120, 40), **kwargs)

    def _answer(self, verb, option):
        super()._answer(verb, option)
        if (verb, option) == (WILL, GMCP):
            self.gmcp('Core.Hello {"client": "Mudlet", "version": "4.17.2"}')
            self.gmcp('Core.Supports.Set ["Char 1", "Char.Skills 1", "Room 1"]')

    def gmcp(self, message):
        self.send_raw(bytes([IAC, SB, GMCP]) + message.encode().replace(b"\xff", b"\xff\xff") + bytes([IAC, SE]))

    def gmcp_got(self, name):
        """The bodies of the host's GMCP messages of that name, first to last (None: a message without a body)."""
        found = []
        for cmd in self.commands:
            if cmd[0] == "SB" and cmd[1] == GMCP:
                head, _, body = cmd[2].decode().partition(" ")
                if head == name:
                    found.append(json.loads(body) if body else None)
        return found

    def echo_words(self):
        return [cmd[0] for cmd in self.commands if cmd in ((WILL, ECHO), (WONT, ECHO))]


def mssp_of(client):
    """The MSSP table (name, value) the client was sent by the User-ID prompt; the client is closed."""
    client.read_until("User-ID: ")
    client.read_for(0.3)
    tables = [cmd[2] for cmd in client.commands if cmd[0] == "SB" and cmd[1] == MSSP]
    check(len(tables) == 1, "MSSP tables: %r" % tables)
    client.close()
    return [tuple(item.decode().split("\x02")) for item in tables[0].split(b"\x01")[1:]]


def vm_rss_kib(pid, field="VmRSS"):
    """The resident set of a process (or its peak, field="VmHWM"), in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise Failure("no %s for process %d" % (field, pid))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))
