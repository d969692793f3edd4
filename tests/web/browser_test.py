#!/usr/bin/python3
"""The chat page in headless Chromium against a real kelvra-serverd, with a
TCP user on the other side. Usage: browser_test.py BIN_DIR [SCREENSHOT_PATH]"""
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bin")
SHOT = sys.argv[2] if len(sys.argv) > 2 else ""
WAIT = 30  # seconds a step may take at most; never asserted on


def record(code, p1=b"", p2=b"", sw=False):
    def text(b):
        return (b"\x06" + bytes([len(b)]) if len(b) < 256 else b"\x0c" + struct.pack("<I", len(b))) + b
    return (b"\x01\x06\x08KLVR8002\x02\x00" + struct.pack("<bb", 2, code) + b"\x02\x00" +
            text(p1) + text(p2) + (b"\x09" if sw else b"\x08") + b"\x00")


class TcpUser:
    """A protocol client over plain TCP that keeps every record it receives."""

    def __init__(self, port, nick):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.buf = b""
        self.got = []
        self.send(0, nick.encode(), b"1")
        self.send(3, nick.encode(), b"")
        self.wait_for(lambda r: r[0] == 109)

    def send(self, code, p1=b"", p2=b"", sw=False):
        self.sock.sendall(record(code, p1, p2, sw))

    def _parse(self):
        while True:
            b, pos = self.buf, 11
            try:
                ints = []
                for _ in range(3):
                    size = {2: 1, 3: 2, 4: 4}[b[pos]]
                    ints.append(int.from_bytes(b[pos + 1:pos + 1 + size], "little", signed=True))
                    pos += 1 + size
                texts = []
                for _ in range(2):
                    if b[pos] == 6:
                        n, pos = b[pos + 1], pos + 2
                    else:
                        n, pos = struct.unpack_from("<I", b, pos + 1)[0], pos + 5
                    if pos + n > len(b):
                        return
                    texts.append(b[pos:pos + n].decode("cp1252", "replace"))
                    pos += n
                sw, end = b[pos], b[pos + 1]
            except (IndexError, KeyError, struct.error):
                return
            assert end == 0
            self.buf = b[pos + 2:]
            if ints[1] == 116:
                self.send(5)
            self.got.append((ints[1], texts[0], texts[1], sw == 9))

    def wait_for(self, match):
        while True:
            for r in self.got:
                if match(r):
                    self.got.remove(r)
                    return r
            data = self.sock.recv(65536)
            if not data:
                raise AssertionError("connection closed while waiting")
            self.buf += data
            self._parse()

    def close(self):
        self.send(1)
        self.sock.close()


def chromium(folder, *more):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--no-first-run", "--window-size=1100,720",
                "--user-data-dir=" + os.path.join(folder, "profile")) + more:
        options.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def web_port_of(server):
    """The port of the "web page on http(s)://A:P/" line; the lines before it name other ports."""
    while True:
        words = server.stdout.readline().split()
        if not words:
            raise AssertionError("kelvra-serverd ended before its web port listened")
        if words[0] == "web":
            return words[-1].split("://")[0], int(words[-1].rstrip("/").rsplit(":", 1)[1])


class SecurePageTest(unittest.TestCase):
    """With a TLS port the page comes over HTTPS and opens its WebSocket as
    wss:// from its own https origin."""

    def test_logs_on_over_wss(self):
        with tempfile.TemporaryDirectory() as tmp:
            cert, key = os.path.join(tmp, "web.crt"), os.path.join(tmp, "web.key")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj",
                            "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                           check=True, capture_output=True, timeout=WAIT)
            settings = os.path.join(tmp, "kelvra.conf")
            with open(settings, "w") as f:
                f.write("[General]\nLogfile={0}/klog.dat\nMailfile={0}/kmail.dat\n".format(tmp))
            server = subprocess.Popen(
                [os.path.join(BIN, "kelvra-serverd"), "--nick", "Srv", "--bind", "127.0.0.1",
                 "--port", "0", "--tls-port", "0", "--tls-cert", cert, "--tls-key", key,
                 "--web-port", "0", "--settings", settings,
                 "--control", "none"], stdout=subprocess.PIPE, text=True, cwd=tmp)
            driver = None
            try:
                scheme, port = web_port_of(server)
                self.assertEqual(scheme, "https")
                driver = chromium(tmp, "--ignore-certificate-errors")
                driver.get("https://127.0.0.1:%d/" % port)
                self.assertEqual(driver.title, "Kelvra Chat")
                driver.find_element(By.CSS_SELECTOR, "#nick").send_keys("websecure")
                driver.find_element(By.CSS_SELECTOR, "#logon").click()
                WebDriverWait(driver, WAIT, poll_frequency=0.1).until(
                    lambda d: "Logged on as websecure" in
                    d.find_element(By.CSS_SELECTOR, "#status").get_attribute("textContent"))
            finally:
                if driver:
                    driver.quit()
                server.send_signal(signal.SIGTERM)
                server.wait(timeout=WAIT)
                server.stdout.close()


class WebClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.control = os.path.join(cls.tmp.name, "control")
        cls.admin = os.path.join(BIN, "kelvra-admin")
        cls.chat_port = cls.web_port = 0
        # The login log and the mail file in the test's folder, not beside the program.
        with open(os.path.join(cls.tmp.name, "kelvra.conf"), "w") as f:
            f.write("[General]\nLogfile={0}/klog.dat\nMailfile={0}/kmail.dat\n".format(cls.tmp.name))
        cls.start_server()
        cls.driver = chromium(cls.tmp.name)
        cls.driver.get("http://127.0.0.1:%d/" % cls.web_port)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.stop_server()
        cls.tmp.cleanup()

    @classmethod
    def start_server(cls):
        args = [os.path.join(BIN, "kelvra-serverd"), "--nick", "Srv", "--bind", "127.0.0.1",
                "--port", str(cls.chat_port), "--web-port", str(cls.web_port),
                "--settings", os.path.join(cls.tmp.name, "kelvra.conf")]
        if os.path.exists(cls.admin):
            args += ["--control", cls.control]
        cls.server = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, cwd=cls.tmp.name)
        words = cls.server.stdout.readline().split()
        cls.chat_port = int(words[-1].rsplit(":", 1)[1])
        cls.web_port = web_port_of(cls.server)[1]

    @classmethod
    def stop_server(cls):
        cls.server.send_signal(signal.SIGTERM)
        cls.server.wait(timeout=WAIT)

    # ---- page helpers --------------------------------------------------
    def el(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def wait_until(self, check):
        return WebDriverWait(self.driver, WAIT, poll_frequency=0.1).until(lambda d: check())

    def wait_text(self, css, text):
        self.wait_until(lambda: any(text in e.get_attribute("textContent") for e in self.driver.find_elements(By.CSS_SELECTOR, css)))

    def log_on(self, nick, password=""):
        if self.el("#login").is_displayed() is False:
            self.el("#logoff").click()
        for field, value in (("#nick", nick), ("#password", password)):
            self.el(field).clear()
            self.el(field).send_keys(value)
        self.el("#logon").click()

    def say(self, text):
        self.el("#text").send_keys(text + Keys.ENTER)

    # ---- the scenario, in order ----------------------------------------
    def test_1_refused_login_is_shown_and_the_form_kept(self):
        self.assertEqual(self.driver.title, "Kelvra Chat")
        self.log_on("srv")
        self.wait_text("#login-error", "srv is the server's own nickname")
        self.assertEqual(self.el("#nick").get_attribute("value"), "srv")

    def test_2_web_and_tcp_users_chat_and_send_private_messages(self):
        bob = TcpUser(self.chat_port, "tcpbob")
        bob.send(7, b"Lobby")
        bob.wait_for(lambda r: r[0] == 112)
        self.log_on("webann")
        self.wait_text("#rooms", "Lobby")
        self.el("#rooms button").click()
        bob.wait_for(lambda r: r[0] == 113 and r[2] == "Swebann has joined the chat")
        bob.send(8, b"Lobby", b"<tcpbob> hello caf\xe9")
        self.wait_text(".pane li", "<tcpbob> hello café")
        # Tab completes the nickname; a character outside code page 1252 goes as "?".
        self.el("#text").send_keys("hi tcpb", Keys.TAB, "and €uro ✓", Keys.ENTER)
        r = bob.wait_for(lambda r: r[0] == 113 and r[2].startswith("N<webann>"))
        self.assertEqual(r[2], "N<webann> hi tcpbob and €uro ?")
        self.wait_text(".pane li", "could not be sent")
        self.say("/msg tcpbob psst")
        self.assertEqual(bob.wait_for(lambda r: r[0] == 111)[1:3], ("webann", "psst"))
        bob.send(9, b"webann", b"secret back")
        self.wait_text(".pane li", "<tcpbob> secret back")
        self.assertRegex(self.el(".pane li .time").get_attribute("textContent"), r"^\d\d:\d\d$")
        if SHOT:
            os.makedirs(os.path.dirname(SHOT), exist_ok=True)
            self.el("#tabs button:last-child").click()
            self.driver.save_screenshot(SHOT)
        bob.close()

    def test_3_mail_crosses_both_ways(self):
        bob = TcpUser(self.chat_port, "tcpbob2")
        bob.send(9, b"webmail", b"waiting for you")
        self.log_on("webmail")
        self.wait_text(".pane li", "(mail) <tcpbob2> waiting for you")
        self.wait_text(".pane li", "1 message was waiting")
        self.el("#to").send_keys("tcpcarol")
        self.say("see you later")
        self.wait_text(".pane li", "tcpcarol is not online")
        carol = TcpUser(self.chat_port, "tcpcarol")
        carol.send(2)
        self.assertEqual(carol.wait_for(lambda r: r[0] == 111)[1:3], ("webmail", "see you later"))
        bob.close()
        carol.close()

    def test_4_kick_is_shown(self):
        if not os.path.exists(self.admin):
            self.skipTest("kelvra-admin is not built")
        self.log_on("webkick")
        self.wait_text("#status", "Logged on as webkick")
        subprocess.run([self.admin, "--socket", self.control, "kick", "webkick"], check=True,
                       timeout=WAIT)
        self.wait_text("#login-error", "kicked by the operator")

    def test_5_reconnects_after_a_server_restart(self):
        self.log_on("webre")
        self.wait_text("#status", "Logged on as webre")
        self.say("/create Den")
        self.wait_text("#tabs", "Den")
        self.stop_server()
        self.wait_text(".pane li", "The server shut down")
        self.start_server()
        self.wait_text("#status", "Logged on as webre")
        bob = TcpUser(self.chat_port, "tcpdan")
        bob.send(6, b"Den")
        r = bob.wait_for(lambda r: r[0] == 113 and r[2].startswith("SUsers on this chat"))
        self.assertEqual(r[2], "SUsers on this chat : webre.")
        bob.close()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
