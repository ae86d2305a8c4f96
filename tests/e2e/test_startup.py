"""Start-up: the banner, the port option, start-up failures, the accept loop
and the fixed reply."""

import datetime
import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from clients import curl, python_request
from harness import (BIN, CORS_HINT, HERE, LAUNCHER, REPLY, RULE, SCALE, TIMEOUT, WINE, Client,
                     FileStream, Server, announcement, exchange, free_port, port_is_free,
                     require, startup_output)

DEFAULT_PORT = 10082
GET = b"GET / HTTP/1.1\r\n\r\n"


class StartupOutput(unittest.TestCase):
    def test_banner_and_port_line_exact(self):
        with Server("-l", "0") as s:
            self.assertEqual(bytes(s.out.data[:s.mark]), startup_output(s.port))
            self.assertNotEqual(s.port, 0, "-l 0 must show the port really bound")

    def test_value_without_digits_picks_a_reachable_port(self):
        with Server("-l", "none") as s:
            self.assertNotEqual(s.port, 0)
            exchange(self, s, b"GET / HTTP/1.1\r\n\r\n")


class PortOption(unittest.TestCase):
    def check_default(self, *args, warned=()):
        """Listens on the default port, and answers 200; each of warned, a
        word that looks like an option and is none, said ignored."""
        # The last run's socket may outlive it a moment (under Wine).
        deadline = time.monotonic() + TIMEOUT
        while not port_is_free(DEFAULT_PORT) and time.monotonic() < deadline:
            time.sleep(0.05)
        require(port_is_free(DEFAULT_PORT), "port %d is in use here" % DEFAULT_PORT)
        with Server(*args) as s:
            s.stderr_allowed = True
            self.assertEqual(s.port, DEFAULT_PORT)
            self.assertEqual(bytes(s.out.data[:s.mark]), startup_output(DEFAULT_PORT))
            exchange(self, s, b"GET / HTTP/1.1\r\n\r\n")
        self.assertEqual(bytes(s.err.data).replace(b"\r\n", b"\n"), b"".join(
            b"%s: no such option, ignored (quorvel --help lists them)\n" % w.encode()
            for w in warned))

    def test_default_port(self):
        self.check_default()

    def test_option_without_value_is_ignored(self):
        self.check_default("-l")

    def test_unrecognised_spellings_are_ignored(self):
        # Said on standard error, as a misspelt option is easy to miss: the
        # status asked for that way is not given. Every such word is said.
        many = ["-x%d" % n for n in range(20)]
        for args, warned in ((["-L", "1234"], ["-L"]), (["-l1234"], ["-l1234"]),
                             (["--l", "1234"], ["--l"]), (["-x", "-y", "-l"], ["-x", "-y"]),
                             (["--status=503"], ["--status=503"]), (["-s503", "x"], ["-s503"]),
                             (["-"], ["-"]), (many, many)):
            with self.subTest(args=args):
                self.check_default(*args, warned=warned)

    def test_values(self):
        for label, value_of in (
                ("plain", lambda p: str(p)),
                ("first value wins", lambda p: [str(p), "-l", "1"]),
                ("modulo 65536", lambda p: str(p + 65536)),
                ("modulo twice", lambda p: str(p + 2 * 65536)),
                ("negative", lambda p: str(p - 65536)),
                ("atoi syntax", lambda p: "  +%dabc" % p),
                ("beyond 32 bits", lambda p: str(p + 65536 * 10**12)),
        ):
            with self.subTest(label):
                port = free_port()
                value = value_of(port)
                args = ["-l"] + (value if isinstance(value, list) else [value])
                with Server(*args) as s:
                    self.assertEqual(s.port, port)
                    self.assertEqual(bytes(s.out.data[:s.mark]), startup_output(port))
                    exchange(self, s, b"GET / HTTP/1.1\r\n\r\n")

    def test_minus_one_is_65535(self):
        require(port_is_free(65535), "port 65535 is in use here")
        with Server("-l", "-1") as s:
            self.assertEqual(s.port, 65535)


class Queries(unittest.TestCase):
    def test_help_and_version(self):
        # Anywhere on the command line; the answer on standard output, status
        # 0, and nothing started: the port named, held here, is not tried.
        version = os.environ.get("QUORVEL_VERSION", "")
        usage = lambda out: out.startswith(b"Usage: quorvel [-l PORT] [-b ADDRESS] [--cors] [-o FILE] [-t]\n") and \
            b"10082" in out
        for args, answered in ((["--help"], usage), (["-h"], usage), (["-l", "PORT", "-h"], usage),
                               (["--help", "-b"], usage), (["-o", "--help"], usage),
                               (["--version"], lambda out: out == b"quorvel %s\n" % version.encode()),
                               (["--version", "-l", "PORT"], lambda out: out.startswith(b"quorvel ")),
                               *([(["-l", "PORT", "/?"], usage)] if WINE else [])):
            with self.subTest(args=args), socket.socket() as holder:
                holder.bind(("0.0.0.0", 0))
                holder.listen(1)
                port = holder.getsockname()[1]
                done = subprocess.run(LAUNCHER + [BIN] + [str(port) if a == "PORT" else a
                                                          for a in args],
                                      capture_output=True, stdin=subprocess.DEVNULL,
                                      timeout=TIMEOUT)
                self.assertEqual((done.returncode, done.stderr), (0, b""))
                self.assertTrue(answered(done.stdout), done.stdout)
        # The name the program was started by is no argument: started as
        # "--version", it listens (and finds the port taken).
        if not LAUNCHER:
            with socket.socket() as holder:
                holder.bind(("0.0.0.0", 0))
                holder.listen(1)
                done = subprocess.run(["--version", "-l", str(holder.getsockname()[1])],
                                      executable=BIN, capture_output=True,
                                      stdin=subprocess.DEVNULL, timeout=TIMEOUT)
            self.assertEqual((done.returncode, done.stdout), (1, b""))
            self.assertTrue(done.stderr.startswith(b"bind() error: "), done.stderr)
        # An answer that cannot be written is a failure, said as such.
        with open("/dev/full", "wb") as full:
            done = subprocess.run(LAUNCHER + [BIN, "--version"], stdout=full,
                                  stderr=subprocess.PIPE, timeout=TIMEOUT)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.replace(b"\r\n", b"\n"),
                         b"write() error: No space left on device\n")


class StartupFailure(unittest.TestCase):
    def test_port_in_use(self):
        # The file of -o is made only once the listener could start.
        with socket.socket() as holder, tempfile.TemporaryDirectory() as tmp:
            holder.bind(("0.0.0.0", 0))
            holder.listen(1)
            port = holder.getsockname()[1]
            copy = os.path.join(tmp, "requests.log")
            s = Server("-l", str(port), "-o", copy, wait_ready=False)
            s.stderr_allowed = True
            self.assertEqual(s.wait_exit(), 1)
            # Standard error stays in text mode on Windows: CRLF there.
            err = bytes(s.err.data).replace(b"\r\n", b"\n")
            self.assertEqual(err, b"bind() error: Address already in use\n")
            self.assertEqual(bytes(s.out.data), b"")
            self.assertFalse(os.path.exists(copy))


class AddressOption(unittest.TestCase):
    def test_one_local_address(self):
        require(ipv6_loopback(), "no IPv6 loopback (::1) here")
        for address, served, refused in (("127.0.0.1", "127.0.0.1", "::1"),
                                         ("::1", "::1", "127.0.0.1"),
                                         ("::ffff:127.0.0.1", "127.0.0.1", "::1")):
            with self.subTest(address), Server("-b", address, "-l", "0") as s:
                self.assertEqual(bytes(s.out.data[:s.mark]), startup_output(s.port))
                with Client(s.port, served) as c:
                    c.send(b"GET / HTTP/1.1\r\n\r\n")
                    self.assertEqual(c.reply(), REPLY)
                with self.assertRaises(ConnectionRefusedError):
                    Client(s.port, refused)

    def test_bad_values(self):
        # Said on standard error in one line that names the option and the
        # value, status 1, nothing started.
        address = b", such as 127.0.0.1 or ::1\n"
        missing = os.path.join(HERE, "no such folder", "requests.log")
        codes = (b": expected status codes of three digits, 200 to 599, separated by commas "
                 b"(at most 100), such as 503,503,200\n")
        ms = (b": expected milliseconds, 0 to 86400000 (a day), separated by commas "
              b"(at most 100), such as 3000,0\n")
        token = b": the field's name must be a token (letters, digits and !#$%&'*+-.^_`|~)\n"
        big = tempfile.NamedTemporaryFile(prefix="quorvel-body-")
        self.addCleanup(big.close)
        big.truncate((16 << 20) + 1)  # a byte over the most a body may be
        for args, shown in (
                (["-b", "abc"], b"-b abc: expected a numeric IPv4 or IPv6 address" + address),
                (["-b", "1.2.3"], b"-b 1.2.3: expected a numeric IPv4 or IPv6 address" + address),
                (["-b", "::g"], b"-b ::g: expected a numeric IPv4 or IPv6 address" + address),
                (["-l", "0", "-b"], b"-b: expected a numeric IPv4 or IPv6 address after it" +
                 address),
                (["-o", missing], b"-o %s: No such file or directory\n" % missing.encode()),
                (["-l", "0", "-o"], b"-o: expected a file name after it\n"),
                # -l's two words are its own.
                (["-o", "-l", "0"], b"-o: expected a file name after it\n"),
                (["-s", "99"], b"-s 99" + codes), (["--status", "600"], b"--status 600" + codes),
                (["-s", "2x0"], b"-s 2x0" + codes), (["-s", ""], b"-s ''" + codes),
                (["-s", "503,"], b"-s 503," + codes), (["-s", "5031"], b"-s 5031" + codes),
                (["-s", "199"], b"-s 199" + codes), (["-s", "0503"], b"-s 0503" + codes),
                (["-s", ",".join(["503"] * 101)], b"-s " + b",".join([b"503"] * 101)[:248] +
                 b"..." + codes),
                (["-l", "0", "-s"], b"-s: expected status codes, such as 503 or 503,503,200, "
                 b"after it\n"),
                (["-H", "NoColon"], b"-H NoColon: expected NAME: VALUE, NAME: to leave a field "
                 b"out, or NAME; for an empty one\n"),
                (["-H", "Content-Length: 5"],
                 b"-H 'Content-Length: 5': quorvel writes Content-Length itself\n"),
                (["-H", "vary: x", "--cors"], b"-H 'vary: x': quorvel writes vary itself with "
                 b"--cors\n"),
                (["--header", "Bad Name: x"], b"--header 'Bad Name: x'" + token),
                (["--header", "Connection: x"], b"--header 'Connection: x': quorvel writes "
                 b"Connection itself\n"),
                (["-H", "X;y"], b"-H X;y: nothing may follow the ; of an empty field (NAME;)\n"),
                (["-H", "X: a\rb"], b"-H 'X: a\\rb': the value must be visible ASCII, spaces "
                 b"and tabs\n"),
                (["--body", "@" + missing], b"--body '@%s': No such file or directory\n"
                 % missing.encode()),
                (["--body", "@" + big.name], b"--body @%s: larger than 16 MiB, the most a body "
                 b"may be\n" % big.name.encode()),
                (["--delay", "-1"], b"--delay -1" + ms), (["--delay", "abc"], b"--delay abc" + ms),
                (["--delay", "3000abc"], b"--delay 3000abc" + ms), (["--delay", ""], b"--delay ''" + ms),
                (["--delay", "86400001"], b"--delay 86400001" + ms)):
            with self.subTest(args=args):
                done = subprocess.run(LAUNCHER + [BIN] + args, capture_output=True,
                                      stdin=subprocess.DEVNULL, timeout=TIMEOUT)
                self.assertEqual((done.returncode, done.stdout), (1, b""))
                self.assertEqual(done.stderr.replace(b"\r\n", b"\n"), shown)

    def test_a_value_is_that_value_alone(self):
        # -o takes the next word, whatever it looks like: the copy goes to a
        # file named -t, and -t is not on.
        # The file is made with the permissions 0666 leaves under the umask.
        with tempfile.TemporaryDirectory(prefix="quorvel-options-") as tmp:
            with Server("-l", "0", "-o", "-t", "requests.log",
                        preexec_fn=lambda: (os.chdir(tmp), os.umask(0o027))) as s:
                exchange(self, s, b"GET / HTTP/1.1\r\n\r\n")
            self.assertEqual(os.listdir(tmp), ["-t"])
            with open(os.path.join(tmp, "-t"), "rb") as f:
                self.assertEqual(f.read(), bytes(s.out.data))
            if not WINE:  # POSIX permissions
                self.assertEqual(os.stat(os.path.join(tmp, "-t")).st_mode & 0o777, 0o640)


class CorsOption(unittest.TestCase):
    def test_grant_and_hint(self):
        # With --cors a preflight is granted what it asks; without, the
        # reply is the same as ever, and standard error says once per run
        # what would grant it.
        preflight = (b"OPTIONS /api HTTP/1.1\r\nHost: x\r\nOrigin: http://localhost:8000\r\n"
                     b"Access-Control-Request-Method: POST\r\n\r\n")
        fields = REPLY.index(b"Connection: close")
        granted = (REPLY[:fields] + b"Access-Control-Allow-Origin: http://localhost:8000\r\n"
                   b"Access-Control-Allow-Credentials: true\r\nVary: Origin\r\n"
                   b"Access-Control-Allow-Methods: POST\r\n" + REPLY[fields:])
        with Server("-l", "0", "--cors") as s, Client(s.port) as c:
            c.send(preflight)
            self.assertEqual(c.reply(), granted)
            s.expect_block(self, c.port, preflight)
        with Server("-l", "0") as s:
            s.stderr_allowed = True
            for _ in range(2):
                exchange(self, s, preflight)
            s.err.wait(lambda d: d.endswith(b"\n"), TIMEOUT, "the hint")
            s.stop()
            self.assertEqual(bytes(s.err.data).replace(b"\r\n", b"\n"), CORS_HINT)


def told(port, status, ms=rb"\d+"):
    """The line standard error has for a reply, with -s or --delay."""
    return rb"127\.0\.0\.1:%d answered %s after %s ms\n" % (port, status, ms)


def told_lines(server, count):
    """Waits for count lines on standard error, where what went back is
    told once each block has ended (the listener may be killed, not
    stopped, at the end of the test)."""
    server.mark
    server.err.wait(lambda d: d.count(b"\n") >= count, TIMEOUT, "what went back")


class AskedReplies(unittest.TestCase):
    """-s and --delay, against clients that retry and give up."""

    def test_curl_retries_until_the_status_says_so(self):
        require(shutil.which("curl"), "curl is not installed (Debian: curl)")
        with Server("-l", "0", "-s", "503,503,200", "-H", "Retry-After: 1") as s:
            s.stderr_allowed = True
            body, sent = curl(s.port, "--retry", "3")  # exits 0, else it raises
            self.assertEqual(body, b"You look good!" * 3)  # each try's body
            request = sent[:len(sent) // 3]
            self.assertEqual(sent, request * 3)
            ports = [s.expect_block(self, None, request) for _ in range(3)]
            told_lines(s, 3)
        self.assertRegex(bytes(s.err.data).replace(b"\r\n", b"\n"),
                         b"\\A" + told(ports[0], b"503 Service Unavailable", b"0") +
                         told(ports[1], b"503 Service Unavailable", b"0") +
                         told(ports[2], b"200 OK", b"0") + b"\\Z")

    def test_a_client_times_out_then_its_retry_is_answered_at_once(self):
        request = b"GET /slow HTTP/1.1\r\nHost: x\r\n\r\n"
        with Server("-l", "0", "--delay", "3000,0") as s:
            s.stderr_allowed = True
            with Client(s.port) as c:
                c.sock.settimeout(1)
                c.send(request)
                with self.assertRaises(socket.timeout):
                    c.sock.recv(1)
            # It gave up and closed: the wait ends, the reply goes nowhere.
            s.expect_block(self, c.port, request)
            start = time.monotonic()
            status, data, sent, port = python_request(s.port, "GET", "/retry")
            self.assertEqual((status, data), (200, b"You look good!"))
            self.assertLess(time.monotonic() - start, 1.0 * SCALE)
            s.expect_block(self, port, sent)
            told_lines(s, 2)
        err = bytes(s.err.data).replace(b"\r\n", b"\n")
        self.assertRegex(err, b"\\A" + told(c.port, b"200 OK") + told(port, b"200 OK", b"0") + b"\\Z")
        # Held as long as it waited: about its time-out, not the 3 s asked.
        self.assertLess(int(re.search(rb"after (\d+) ms", err).group(1)), 3000)

    def test_a_client_that_half_closed_reads_its_reply(self):
        # What it sends during the delay is shown; its close ends the wait
        # at once, and its block.
        with Server("-l", "0", "--delay", "60000", "-s", "201") as s, Client(s.port) as c:
            s.stderr_allowed = True
            c.send(b"GET / HTTP/1.1\r\n\r\n")
            s.out.wait(lambda d: d.endswith(b"GET / HTTP/1.1\r\n\r\n"), TIMEOUT, "the request")
            c.send(b"more")
            c.sock.shutdown(socket.SHUT_WR)
            self.assertEqual(c.reply(), REPLY.replace(b"200 OK", b"201 Created"))
            s.expect_block(self, c.port, b"GET / HTTP/1.1\r\n\r\nmore")
            s.mark

    def test_turns(self):
        # -s and --delay in step, each the last given, the last of each
        # list repeating; a connection that closes before its header block
        # takes no turn.
        with Server("-l", "0", "-s", "404", "-s", "503,201", "--delay", "0,200") as s:
            s.stderr_allowed = True
            with Client(s.port) as gone:
                gone.send(b"GET /gone HTTP/1.1\r\n")
            s.expect_block(self, gone.port, b"GET /gone HTTP/1.1\r\n", closed_early=True)
            ports = []
            for status in (b"503 Service Unavailable", b"201 Created", b"201 Created"):
                with Client(s.port) as c:
                    c.send(GET)
                    self.assertEqual(c.reply(), REPLY.replace(b"200 OK", status))
                ports.append(s.expect_block(self, c.port, GET))
            told_lines(s, 3)
        self.assertEqual(bytes(s.err.data).replace(b"\r\n", b"\n"), b"".join(
            b"127.0.0.1:%d answered %s after %d ms\n" % (p, st, ms) for p, st, ms in zip(
                ports, (b"503 Service Unavailable", b"201 Created", b"201 Created"), (0, 200, 200))))


class AcceptLoop(unittest.TestCase):
    def test_reply_and_announcement(self):
        with Server("-l", "0") as s:
            with Client(s.port) as c:
                c.send(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
                self.assertEqual(c.reply(), REPLY)
                s.expect_block(self, c.port, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            # The block ends as its client closes, not at the end of the
            # connection's quiet time, a second after the reply.
            start = time.monotonic()
            s.mark
            self.assertLess(time.monotonic() - start, 0.5 * SCALE)
            s.expect_quiet(self)

    def test_time_and_copy(self):
        # -t: each announcement says when the connection came, in local time
        # with its offset (a half-hour zone here); without it the line is as
        # ever. -o: the file holds what standard output holds, byte for byte
        # (its name need not be ASCII, nor in a Windows code page).
        request = b"POST /t HTTP/1.1\r\nContent-Length: 6\r\n\r\n\r\n\0\xff\n\r"
        for zone, offset in (("Asia/Kolkata", b"+05:30"), ("Pacific/Marquesas", b"-09:30")):
            stamped = re.compile(rb"A new connection 127\.0\.0\.1:(\d+) at (\d{4}-\d\d-\d\dT"
                                 rb"\d\d:\d\d:\d\d\.\d{3})" + re.escape(offset) + rb"\n")
            sign = -1 if offset.startswith(b"-") else 1
            local = datetime.timezone(sign * datetime.timedelta(hours=int(offset[1:3]),
                                                                minutes=int(offset[4:])))
            with self.subTest(zone), tempfile.TemporaryDirectory() as tmp:
                path = os.path.join(tmp, "requests \u65e5\u672c.log")
                with Server("-l", "0", "-t", "-o", path, env={"TZ": zone}) as s:
                    with Client(s.port) as c:
                        c.send(request)
                        self.assertEqual(c.reply(), REPLY)
                    now = datetime.datetime.now(local)
                    data = s.out.wait(lambda d: stamped.search(d, s.mark), TIMEOUT, "the line")
                    m = stamped.search(data, s.mark)
                    self.assertEqual(int(m.group(1)), c.port)
                    when = datetime.datetime.strptime(m.group(2).decode(), "%Y-%m-%dT%H:%M:%S.%f")
                    self.assertLess(abs((now - when.replace(tzinfo=local)).total_seconds()), 5)
                    head = RULE + b"\n" + m.group(0) + RULE + b"\n"
                    self.assertEqual(s.next_output(len(head) + len(request)), head + request)
                    # The copy is written after standard output: it holds
                    # the same once the block has ended (and under Wine the
                    # listener is killed, not stopped).
                    shown = s.out.wait(lambda d: d.endswith(request + b"\n"), TIMEOUT, "the end")
                    FileStream(path).wait(lambda d: d == shown, TIMEOUT, "the copy")
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), bytes(s.out.data))

    def test_any_request_gets_the_same_reply(self):
        with Server("-l", "0") as s:
            for request in (b"DELETE /a?b=c HTTP/1.0\r\n\r\n", b"garbage\r\n\r\n",
                            b"\r\n\r\n", b"GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"):
                with self.subTest(request=request):
                    exchange(self, s, request)

    def test_ipv6_client(self):
        require(ipv6_loopback(), "no IPv6 loopback (::1) here")
        with Server("-l", "0") as s, Client(s.port, "::1") as c:
            c.send(b"GET /six HTTP/1.1\r\n\r\n")
            self.assertEqual(c.reply(), REPLY)
            block = announcement(c.port, b"[::1]") + b"GET /six HTTP/1.1\r\n\r\n\n"
            self.assertEqual(s.next_output(len(block)), block)

    def test_ipv4_alone_without_ipv6(self):
        # Where no IPv6 socket can be made, or none that takes IPv4 too, the
        # listener starts as before and serves IPv4, saying nothing of it.
        lib = os.environ.get("QUORVEL_FAULTS_LIB")
        if LAUNCHER or not lib:
            raise unittest.SkipTest("needs the native build, into which a library can be preloaded")
        for lacking in ("socket", "dual-stack"):
            with self.subTest(lacking), Server("-l", "0", env={
                    "LD_PRELOAD": lib, "QUORVEL_NO_IPV6": lacking,
                    "ASAN_OPTIONS": "verify_asan_link_order=0"}) as s:
                self.assertEqual(bytes(s.out.data[:s.mark]), startup_output(s.port))
                exchange(self, s, b"GET / HTTP/1.1\r\n\r\n")
                if ipv6_loopback():
                    with self.assertRaises(ConnectionRefusedError):
                        Client(s.port, "::1")
        # An IPv6 address asked for is not quietly replaced by every IPv4
        # interface.
        done = subprocess.run([BIN, "-b", "::1", "-l", "0"], capture_output=True, timeout=TIMEOUT,
                              stdin=subprocess.DEVNULL, env=dict(
                                  os.environ, LD_PRELOAD=lib, QUORVEL_NO_IPV6="socket",
                                  ASAN_OPTIONS="verify_asan_link_order=0"))
        self.assertEqual((done.returncode, done.stdout), (1, b""))
        self.assertTrue(done.stderr.startswith(b"socket() error: "), done.stderr)

    def test_the_first_to_speak_is_served_first(self):
        # One request at a time, in the order clients speak: a silent
        # connection holds nobody, and shows once it speaks, or closes.
        get = lambda name: b"GET /%s HTTP/1.1\r\n\r\n" % name
        with Server("-l", "0") as s:
            with Client(s.port) as silent, Client(s.port) as spare:
                with Client(s.port) as second:
                    second.send(get(b"second"))
                    self.assertEqual(second.reply(), REPLY)
                    s.expect_block(self, second.port, get(b"second"))
                spare.sock.close()
                s.expect_block(self, spare.port, b"", closed_early=True)
                silent.send(get(b"first"))
                self.assertEqual(silent.reply(), REPLY)
                s.expect_block(self, silent.port, get(b"first"))
            # A client stopped mid-request still holds the next one.
            with Client(s.port) as stalled:
                stalled.send(b"GET /stalled HTTP/1.1\r\n")
                s.out.wait(lambda d: d.endswith(b"GET /stalled HTTP/1.1\r\n"), TIMEOUT, "it")
                with Client(s.port) as waiting:
                    waiting.send(get(b"waiting"))
                    self.assertEqual(select.select([waiting.sock], [], [], 0.2)[0], [],
                                     "served past a stalled request")
                    stalled.send(b"\r\n")
                    self.assertEqual(stalled.reply(), REPLY)
                    self.assertEqual(waiting.reply(), REPLY)
                    s.expect_block(self, stalled.port, b"GET /stalled HTTP/1.1\r\n\r\n")
                    s.expect_block(self, waiting.port, get(b"waiting"))


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


if __name__ == "__main__":
    unittest.main()
