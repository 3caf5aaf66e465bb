#!/usr/bin/env python3
"""The web terminal as a way into bbshost: the page over HTTP, and the
terminal's WebSocket (a raw-socket client here, as the page's script
speaks it) carrying the same logon and game as telnet. A browser run
through selenium and chromium happens only where both are installed."""

import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import GAME_PROMPT, Suite, check, plain  # noqa: E402
from ways_support import WaysHost, WebClient, http_get  # noqa: E402

suite = Suite("web")


def banner_lines(text):
    return [line.strip() for line in plain(text).split("\n") if line.strip()]


@suite.case
def the_page_and_its_files_are_served():
    with WaysHost() as host:
        cases = [  # path, status, content type start, a text the body holds
            ("/", 200, "text/html", b"terminal.js"),
            ("/terminal.js", 200, "text/javascript", b"WebSocket"),
            ("/xterm.js", 200, "text/javascript", b"Terminal"),
            ("/nothing-here", 404, None, None),
            ("/../../etc/passwd", 404, None, None),
        ]
        for path, status, kind, text in cases:
            got, headers, body = http_get(host.http_port, path)
            check(got == status, "%s: status %d, wanted %d" % (path, got, status))
            if kind:
                check(headers.get("Content-Type", "").startswith(kind),
                      "%s: content type %r" % (path, headers.get("Content-Type")))
                check(text in body, "%s: %r is not in the body" % (path, text))
        # Nothing of the page is a session: the telnet logon is not held up.
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
        alice.send("Alice")
        out = alice.read_until("Password: ")
        check("Alice" in out, "the host does not echo what is typed: %r" % out)
        alice.send("alice")
        out = alice.read_until(GAME_PROMPT)
        check("alice" not in out, "the password was echoed: %r" % out)
        # UTF-8 typed in the browser is a line like any other.
        alice.type("Grüße", GAME_PROMPT)
        menu = plain(alice.enter_plus())
        check("Brakvold Plus" in menu and "Buy an extra life" in menu, "not the Plus menu: %r" % menu)


@suite.case
def the_pages_window_size_message_sizes_the_pages():
    with WaysHost() as host:
        status, _, err = host.admin("db", "fill", "R", "--count", "300", "--tag", "QRTBKPLS_REG")
        check(status == 0, "db fill failed: %r" % err)
        carol = host.web()
        carol.window_size(80, 12)
        carol.login("Carol")
        carol.type("ext", "Extension: ")
        carol.type("*", "choice:")
        carol.type("r", "choice:")
        carol.type("s", "(enter='a'):")
        carol.send("r")
        first = carol.read_until("-- More --")
        check(first.count("R00") == 10, "a page of a 12-row window: %r" % first)
        carol.window_size(80, 30)
        carol._send_bytes(b" ")
        second = carol.read_until("-- More --")
        check(second.count("R00") == 29, "the next page did not fill 30 rows: %r" % second)


@suite.case
def a_websocket_from_another_origin_is_refused():
    with WaysHost() as host:
        evil = WebClient(host.http_port, origin="http://evil.example")
        try:
            check(not evil.accepted and evil.status == 403, "a foreign origin got status %d" % evil.status)
        finally:
            evil.close()
        # The session count is not touched: a real client still gets in.
        good = host.web()
        good.read_until("User-ID: ")


@suite.case
def host_stops_with_web_users_on():
    with WaysHost() as host:
        alice = host.web()
        alice.login("Alice")
        check(host.stop() == 0, "the host did not stop cleanly")
        check(alice.wait_closed(), "the web session outlived the host")


@suite.case
def a_browser_runs_the_page():
    try:
        import selenium  # noqa: F401
    except ImportError:
        print("NOTE web.a_browser_runs_the_page: python3-selenium is not installed; the browser run is skipped")
        return
    if not shutil.which("chromium") or not shutil.which("chromedriver"):
        print("NOTE web.a_browser_runs_the_page: chromium/chromedriver are not installed; skipped")
        return
    from selenium import webdriver
    from selenium.webdriver.common.by import By
    import time
    options = webdriver.ChromeOptions()
    options.add_argument("--headless")
    options.add_argument("--no-sandbox")
    # What the page receives, recorded before its own script runs (xterm
    # draws on a canvas, so the text is not in the document).
    recorder = """
        window.received = '';
        const Native = window.WebSocket;
        window.WebSocket = function (url, protocols) {
            const ws = new Native(url, protocols);
            const decoder = new TextDecoder();
            ws.addEventListener('message', (e) => {
                window.received += typeof e.data === 'string' ? e.data : decoder.decode(e.data, {stream: true});
            });
            return ws;
        };
        window.WebSocket.OPEN = Native.OPEN;
    """

    def shown(driver, text, what):
        deadline = time.monotonic() + 20
        got = ""
        while text not in got and time.monotonic() < deadline:
            time.sleep(0.2)
            got = driver.execute_script("return window.received || ''")
        check(text in got, "the page got no %s: %r" % (what, got[-500:]))

    with WaysHost() as host:
        driver = webdriver.Chrome(options=options)
        try:
            driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": recorder})
            driver.get("http://127.0.0.1:%d/" % host.http_port)
            shown(driver, "User-ID: ", "logon prompt")
            keys = driver.find_element(By.CSS_SELECTOR, ".xterm-helper-textarea")
            keys.send_keys("Alice\n")
            shown(driver, "Password: ", "password prompt")
            keys.send_keys("alice\n")
            shown(driver, "]: ", "game prompt")
        finally:
            driver.quit()

if __name__ == "__main__":
    suite.main()
