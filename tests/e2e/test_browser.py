"""Real browsers: a page of another origin posts JSON to the listener with
fetch, as a web application under development does, and may read the reply
only when --cors grants cross-origin access. Chromium and Firefox run
headless, each with a fresh profile, and reach nothing but loopback."""

import http.server
import json
import os
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

from harness import ANNOUNCEMENT, CORS_HINT, SCALE, TIMEOUT, Server, require

# A browser takes seconds to start: here Chromium reports within about 2 s,
# Firefox within 5. Their deadline is longer than the listener's.
BROWSER_TIMEOUT = 4 * TIMEOUT
# Each listener is asked twice, without credentials (fetch's default) and
# with them, each time at a URL of its own: the browser's preflight cache
# then cannot spare the second fetch its preflight, and each block in the
# output says which fetch it is. The listener that grants access is then
# asked RUNS more times with credentials, one fetch after another, timed: a
# web app's calls, each with its preflight.
CREDENTIALS = ("same-origin", "include")
RUNS = 5


def body(credentials):
    """The JSON a fetch sends, as the bytes that go out (UTF-8)."""
    return json.dumps({"credentials": credentials, "note": "grüße ✓"},
                      ensure_ascii=False).encode()


# The fetches go one after the other, so the requests arrive in order; what
# each read, or the error it failed with, and how many ms it took, go back
# to the page's origin.
PAGE = """<!doctype html>
<meta charset="utf-8">
<script>
(async () => {
  const results = [];
  for (const [url, credentials, body] of FETCHES) {
    const start = performance.now();
    try {
      const reply = await fetch(url, {method: "POST", credentials, body,
          headers: {"Content-Type": "application/json", "X-Debug": "1"}});
      results.push(["read: " + reply.status + " " + await reply.text(),
                    performance.now() - start]);
    } catch (e) {
      results.push([e.name + ": " + e.message, performance.now() - start]);
    }
  }
  await fetch("/result", {method: "POST", body: JSON.stringify(results)});
})();
</script>
"""

# Firefox's profile: no first-run pages, telemetry, studies, updates,
# captive-portal or connectivity checks; and no name is looked up at all
# (localhost is answered within), so that nothing leaves loopback.
USER_JS = "".join('user_pref("%s", %s);\n' % pref for pref in (
    ("browser.shell.checkDefaultBrowser", "false"),
    ("browser.startup.homepage_override.mstone", '"ignore"'),
    ("browser.aboutwelcome.enabled", "false"),
    ("datareporting.policy.dataSubmissionEnabled", "false"),
    ("datareporting.healthreport.uploadEnabled", "false"),
    ("toolkit.telemetry.enabled", "false"),
    ("app.normandy.enabled", "false"),
    ("app.update.auto", "false"),
    ("network.captive-portal-service.enabled", "false"),
    ("network.connectivity-service.enabled", "false"),
    ("network.dns.disabled", "true")))


def chromium(profile, url):
    # Every name but localhost fails to resolve and 127.0.0.1 is taken as
    # it is: nothing leaves loopback, whatever else Chromium would fetch.
    return [shutil.which("chromium"), "--headless", "--no-sandbox", "--disable-gpu",
            "--disable-quic", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile,
            "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE localhost, EXCLUDE 127.0.0.1", url]


def firefox(profile, url):
    with open(os.path.join(profile, "user.js"), "w") as f:
        f.write(USER_JS)
    return [shutil.which("firefox-esr"), "--headless", "--no-remote", "--profile", profile, url]


# Each browser, and how its fetch fails where access is not granted (the
# rest of the message is the browser's own).
BROWSERS = {"chromium": (chromium, "TypeError: Failed to fetch"),
            "firefox-esr": (firefox, "TypeError: NetworkError")}

# A connection that sent nothing. When a fetch with credentials starts,
# Firefox opens a spare connection (a speculative one) besides the one its
# preflight, which never carries credentials, goes on, and closes it unused
# 5 s later: the listener holds it meanwhile, serving the others, and shows
# it as an early close. Chromium opened none here.
SPARE = re.compile(rb"socket close fd=\d+\n\n")


def requests(data, start):
    """The block of each connection that sent something, in the output from
    start on, without its announcement. A block is complete once it ends in
    the listener's own newline, not one of a CR LF (the bodies hold none)."""
    marks = list(ANNOUNCEMENT.finditer(data, start))
    ends = [m.start() for m in marks[1:]] + [len(data)]
    return [bytes(data[m.end():end]) for m, end in zip(marks, ends)
            if not SPARE.fullmatch(data, m.end(), end)]


class Pages(http.server.BaseHTTPRequestHandler):
    """The page's origin: GET / gives the page, POST /result takes its results."""

    def do_GET(self):
        page = self.server.page.encode() if self.path == "/" else b""
        self.send_response(200 if page else 404)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def do_POST(self):
        self.server.results.put(self.rfile.read(int(self.headers["Content-Length"])))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


class Browsers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pages = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Pages)
        cls.pages.results = queue.Queue()
        threading.Thread(target=cls.pages.serve_forever, daemon=True).start()
        # localhost, not 127.0.0.1: an origin other than the listener's.
        cls.origin = "http://localhost:%d" % cls.pages.server_address[1]

    @classmethod
    def tearDownClass(cls):
        cls.pages.shutdown()
        cls.pages.server_close()

    def test_chromium(self):
        self.check("chromium")

    def test_firefox(self):
        self.check("firefox-esr")

    def check(self, name):
        require(shutil.which(name), "%s is not installed (Debian: %s)" % (name, name))
        command, refused = BROWSERS[name]
        with Server("-l", "0", "--cors") as granted, Server("-l", "0") as plain, \
                Server("-l", "0", "--cors", "-s", "503") as failing:
            plain.stderr_allowed = failing.stderr_allowed = True
            runs = ["include&run=%d" % n for n in range(1, RUNS + 1)]
            fetches = [(s, c) for s in (granted, plain) for c in CREDENTIALS]
            fetches += [(failing, "include")] + [(granted, c) for c in runs]
            self.pages.page = PAGE.replace("FETCHES", json.dumps([
                ("http://127.0.0.1:%d/api?credentials=%s" % (s.port, c), c.split("&")[0],
                 body(c.split("&")[0]).decode()) for s, c in fetches]))
            results = self.load(command, name)
            self.assertEqual(len(results), len(fetches), results)
            for (s, c), (result, ms) in zip(fetches, results):
                if s is plain:
                    self.assertTrue(result.startswith(refused), (c, result))
                else:
                    # The preflight passes, and the request itself gets the
                    # status asked for.
                    status = 503 if s is failing else 200
                    self.assertEqual(result, "read: %d You look good!" % status, c)
            # No connection the browser keeps for later holds the others.
            took = sum(ms for _, ms in results[-RUNS:])
            self.assertLess(took, 3000 * SCALE, "%d fetches in turn took %d ms" % (RUNS, took))
            # Granted, each fetch is a preflight and then the POST; refused,
            # the preflight alone.
            self.check_requests(granted, [(m, c) for c in CREDENTIALS + tuple(runs)
                                          for m in ("OPTIONS", "POST")])
            self.check_requests(plain, [("OPTIONS", c) for c in CREDENTIALS])
            self.check_requests(failing, [("OPTIONS", "include"), ("POST", "include")])
            failing.err.wait(lambda d: d.count(b"\n") >= 2, TIMEOUT, "what went back")
        # Both stopped: without --cors standard error holds the hint, once
        # for both preflights; with it, nothing (Server.stop checks that).
        self.assertEqual(bytes(plain.err.data).replace(b"\r\n", b"\n"), CORS_HINT)
        self.assertRegex(bytes(failing.err.data).replace(b"\r\n", b"\n"),
                         rb"\A127\.0\.0\.1:\d+ answered 200 OK after 0 ms\n"
                         rb"127\.0\.0\.1:\d+ answered 503 Service Unavailable after 0 ms\n\Z")

    def load(self, command, name):
        """Opens the page in a browser of its own and returns what the page
        reported; the browser is ended by its pid."""
        home = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        profile, log = os.path.join(home, "profile"), os.path.join(home, "log")
        os.mkdir(profile)
        deadline = time.monotonic() + BROWSER_TIMEOUT
        # The same folder is the browser's home and temporary folder, so it
        # writes nothing outside (crash report settings, a downloads folder,
        # Chromium's single-instance socket).
        with open(log, "wb") as f:
            browser = subprocess.Popen(command(profile, self.origin + "/"), stdout=f, stderr=f,
                                       stdin=subprocess.DEVNULL,
                                       env=dict(os.environ, HOME=home, TMPDIR=home))
        try:
            while browser.poll() is None and time.monotonic() < deadline:
                try:
                    return json.loads(self.pages.results.get(timeout=0.2))
                except queue.Empty:
                    pass
            with open(log, "rb") as f:
                self.fail("%s (status %s) gave no result; its log ends:\n%s" % (
                    name, browser.poll(), f.read()[-3000:].decode(errors="replace")))
        finally:
            browser.terminate()
            try:
                browser.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                browser.kill()
                browser.wait(TIMEOUT)

    def check_requests(self, server, expected):
        """Checks the requests that reached server, each (method, credentials):
        the request line, the fields that ask for access and the body, byte
        for byte. The browser's other fields are its own business."""
        start = server.mark
        # The page has had its replies, so every byte is in; the last
        # block's newline follows once the listener's quiet time is up.
        data = server.out.wait(lambda d: len(requests(d, start)) >= len(expected) and
                               re.search(rb"[^\r]\n\Z", requests(d, start)[-1]),
                               TIMEOUT, "%d requests" % len(expected))
        blocks = requests(data, start)
        self.assertEqual(len(blocks), len(expected), blocks)
        for block, (method, credentials) in zip(blocks, expected):
            head, _, rest = block.partition(b"\r\n\r\n")
            lines = head.split(b"\r\n")
            self.assertEqual(lines[0].decode(),
                             "%s /api?credentials=%s HTTP/1.1" % (method, credentials))
            fields = {name.lower(): value
                      for name, _, value in (line.partition(b": ") for line in lines[1:])}
            self.assertEqual(fields.get(b"origin"), self.origin.encode(), block)
            if method == "OPTIONS":
                self.assertEqual(fields.get(b"access-control-request-method"), b"POST", block)
                self.assertEqual(fields.get(b"access-control-request-headers"),
                                 b"content-type,x-debug", block)
                self.assertEqual(rest, b"\n", block)
            else:
                self.assertEqual(fields.get(b"x-debug"), b"1", block)
                self.assertEqual(rest, body(credentials.split("&")[0]) + b"\n", block)


if __name__ == "__main__":
    unittest.main()
