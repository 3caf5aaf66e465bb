#!/usr/bin/env python3
"""The web terminal: the page over HTTP, the WebSocket session, TLS, and headless Chromium."""

import os
import ssl
import sys
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import *  # noqa: E402,F401,F403
from ways_support import WaysHost, WebClient, http_get  # noqa: E402

suite = Suite("web")


def banner_lines(text):
    return [line.strip() for line in plain(text).split("\n") if line.strip()]


@suite.case
def the_page_and_its_files_are_served():
    with WaysHost() as host:
        for path, status, kind, text in [  # path, status, content type start, a text the body holds
                ("/", 200, "text/html", b"terminal.js"), ("/terminal.js", 200, "text/javascript", b"WebSocket"),
                ("/xterm.js", 200, "text/javascript", b"Terminal"),
                ("/nothing-here", 404, None, None), ("/../../etc/passwd", 404, None, None)]:
            got, headers, body = http_get(host.http_port, path)
            check(got == status, "%s: status %d, wanted %d" % (path, got, status))
            if kind:
                check(headers.get("Content-Type", "").startswith(kind),
                      "%s: content type %r" % (path, headers.get("Content-Type")))
                check(text in body, "%s: %r is not in the body" % (path, text))
        host.raw_user("Carol").served("Carol")


@suite.case
def alice_logs_on_through_the_websocket():
    with WaysHost() as host:
        telnet = host.raw()
        telnet_banner = banner_lines(telnet.read_until("User-ID: "))
        telnet.close()
        alice = host.web()
        check(alice.accepted, "the upgrade was refused:\n%s" % alice.handshake)
        alice.window_size(100, 30)
        web_banner = banner_lines(alice.read_until("User-ID: "))
        check(telnet_banner and web_banner == telnet_banner,
              "the banners differ:\ntelnet %r\nweb    %r" % (telnet_banner, web_banner))
        alice.steps(("Alice", "Password: ", "Alice"), ("alice", GAME_PROMPT, "!alice"),   # echoed, the password not
                    ("Grüße", GAME_PROMPT), ("ext", "Extension: "), ("*", CHOICE, "Brakvold Plus", "Buy an extra life"))


@suite.case
def the_pages_window_size_message_sizes_the_pages():
    with WaysHost() as host:
        host.admin_ok("db", "fill", "R", "--count", "300", "--tag", "QRTBKPLS_REG")
        carol = host.web()
        carol.window_size(80, 12)
        carol.login("Carol")
        carol.steps(("ext", "Extension: "), ("*", CHOICE), ("r", CHOICE), ("s", "(enter='a'):"))
        carol.send("r")
        first = carol.read_until("-- More --")
        check(first.count("R00") == 10, "a page of a 12-row window: %r" % first)
        carol.window_size(80, 30)
        carol._send_bytes(b" ")
        second = carol.read_until("-- More --")
        check(second.count("R00") == 29, "the next page did not fill 30 rows: %r" % second)


@suite.case
def a_foreign_origin_is_refused_and_the_host_stops_with_web_users_on():
    with WaysHost() as host:
        evil = WebClient(host.http_port, origin="http://evil.example")
        evil.close()
        check(not evil.accepted and evil.status == 403, "a foreign origin got status %d" % evil.status)
        alice = host.web()  # the refusal took no logon place
        alice.login("Alice")
        check(host.stop() == 0, "the host did not stop cleanly")
        check(alice.wait_closed(), "the web session outlived the host")


@suite.case
def with_a_certificate_the_web_terminal_is_https_only():
    folder = tempfile.mkdtemp(prefix="bbshost-e2e-tls-")
    try:
        pems = []
        for name in ("ours", "other"):  # self-signed for 127.0.0.1: certificate, key
            pems += [os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")]
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-out", pems[-2],
                            "-keyout", pems[-1]], check=True, capture_output=True, timeout=60)
        cert, key, _, other_key = pems
        port = free_port()
        with BbsHost(options=["--http-port", str(port), "--tls-cert", cert, "--tls-key", key]) as host:
            wait_until(lambda: "(web) at https://127.0.0.1:%d/" % port in host.output(), "the https start-up line")
            context = ssl.create_default_context(cafile=cert)
            with urllib.request.urlopen("https://127.0.0.1:%d/" % port, context=context, timeout=10) as page:
                check(page.status == 200 and b"terminal.js" in page.read(), "no page over https")
            with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:  # plain HTTP: no page
                raw.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                got = b"".join(iter(lambda: raw.recv(4096), b""))
                check(b"<html" not in got and b"HTTP/1.1" not in got, "plain HTTP got an answer: %r" % got)
            host.wait_log("TLS handshake failed", "the failed handshake in the log")
            alice = WebClient(port, origin="https://127.0.0.1:%d" % port, tls=context)
            host.clients.append(alice)
            check(alice.accepted, "the wss upgrade was refused:\n%s" % alice.handshake)
            alice.login("Alice")
            alice.served("Alice over wss")
        spare = str(free_port())
        for tls, status, said in [  # what cannot be loaded stops the start, naming the file and why
                (["--http-port", spare, "--tls-cert", cert], 2, "--tls-cert requires --tls-key"),
                (["--tls-cert", cert, "--tls-key", key], 2, "--tls-cert requires --http-port"),
                (["--http-port", spare, "--tls-cert", folder + "/none.pem", "--tls-key", key], 1, "none.pem: cannot be read"),
                (["--http-port", spare, "--tls-cert", key, "--tls-key", key], 1, "ours.key: holds no PEM CERTIFICATE"),
                (["--http-port", spare, "--tls-cert", cert, "--tls-key", other_key], 1, "key values mismatch")]:
            got, _, err = serve_expecting_failure(folder + "/data", *tls)
            check(got == status and said in err, "%s: %d, %r" % (said, got, err))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


SCREEN = """const t = window.terminal, b = t ? t._core.buffer : null, rows = [];
    for (let y = 0; b && y < t.rows; y++) rows.push(b.translateBufferLineToString(b.ydisp + y, true));
    return rows.join('\\n');"""


@suite.case
def a_browser_logs_on_and_edits_a_description():
    try:
        from selenium import webdriver
        from selenium.common.exceptions import WebDriverException
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
    except ImportError:
        raise Failure("no selenium for %s: scripts/bootstrap installs python3-selenium" % sys.executable)
    profile = tempfile.mkdtemp(prefix="bbshost-e2e-chromium-")
    options = webdriver.ChromeOptions()
    for flag in ("headless", "no-sandbox", "disable-gpu", "disable-quic", "no-first-run", "disable-background-networking",
                 "disable-component-update", "disable-sync", "window-size=1200,900", "user-data-dir=" + profile):
        options.add_argument("--" + flag)
    try:
        driver = webdriver.Chrome(options=options)
    except WebDriverException as e:
        shutil.rmtree(profile, ignore_errors=True)
        print("NOTE web.a_browser_logs_on_and_edits_a_description: skipped, Chromium cannot start here: %s"
              % str(e).splitlines()[0])
        return
    shots = os.path.join(tempfile.gettempdir(), "bbshost-e2e-web")
    os.makedirs(shots, exist_ok=True)
    screen = ""

    def shown(text):  # xterm.js's screen (its rows lose their trailing blanks), once it shows `text`
        nonlocal screen
        for _ in range(200):
            screen = driver.execute_script(SCREEN)
            if text.rstrip() in screen:
                return
            time.sleep(0.1)
        raise Failure("the terminal never showed %r" % text)

    try:
        with WaysHost() as host:
            driver.get("http://127.0.0.1:%d/" % host.http_port)
            keys = driver.find_element(By.CSS_SELECTOR, ".xterm-helper-textarea")
            for text, typed in [("User-ID: ", "Alice\n"), ("Password: ", "alice\n"), (GAME_PROMPT, "ext\n"),
                                ("Extension: ", "*\n"), ("Buy an extra life", "d\n"), (CHOICE, "d\n"),
                                ("continue? ", "yes\n"), ("Ctrl-Z save", "Written in Chromium")]:
                shown(text)
                keys.send_keys(typed)
            shown("Written in Chromium")
            check("Password" not in screen and "Ctrl-Z save" in screen, "not the editor's screen")
            keys.send_keys(Keys.CONTROL, "z")
            shown("Your character description:")
            check("Written in Chromium" in screen, "the saved text is not shown")
            check(driver.save_screenshot(os.path.join(shots, "editor-saved.png")), "no screenshot")
            print("NOTE web.a_browser_logs_on_and_edits_a_description: screenshot in %s" % shots)
    except Exception:
        driver.save_screenshot(os.path.join(shots, "failed.png"))
        print("screenshot of the failure in %s; the screen:\n%s" % (shots, screen))
        raise
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    suite.main()
