"""The request echo: every byte a client sends is shown once, in order, and
every request whose header block arrives gets the fixed reply."""

import http.client
import os
import random
import shutil
import socket
import tempfile
import threading
import time
import unittest

from clients import curl, node, node_available, python_request
from harness import (ANNOUNCEMENT, LAUNCHER, REPLY, SANITIZED, SCALE, TIMEOUT, WINE, Client, Server,
                     ServerCase, announcement, exchange, require, startup_output)

GET = b"GET /path?q=1 HTTP/1.1\r\nHost: test\r\nAccept: */*\r\n\r\n"
FETCH = """
(async () => {
    const [port, body] = process.argv.slice(1);
    const res = await fetch(`http://127.0.0.1:${port}/node`, {method: 'POST', body});
    process.stdout.write(res.status + ' ' + await res.text());
})();
"""


class RealClients(ServerCase):
    def curl_case(self, *args, stdin=None):
        body, sent = curl(self.server.port, *args, stdin=stdin)
        self.assertEqual(body, b"You look good!")
        self.server.expect_block(self, None, sent)
        return sent

    def test_curl_get(self):
        sent = self.curl_case()
        self.assertTrue(sent.startswith(b"GET /curl HTTP/1.1\r\n"), sent)

    def test_curl_post_form(self):
        sent = self.curl_case("-d", "name=value&other=1")
        self.assertTrue(sent.endswith(b"\r\n\r\nname=value&other=1"), sent)

    def test_curl_binary_bodies(self):
        rng = random.Random(7)
        # A small body with NUL bytes, and one large enough to arrive well
        # after its header block.
        for size in (64, 300 * 1024):
            with self.subTest(size=size):
                data = b"\0a\0" + bytes(rng.randrange(256) for _ in range(size))
                path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "quorvel-body-%d" % os.getpid())
                with open(path, "wb") as f:
                    f.write(data)
                try:
                    sent = self.curl_case("--data-binary", "@" + path)
                finally:
                    os.unlink(path)
                self.assertTrue(sent.endswith(data))

    def test_expect_100_continue(self):
        # A client that asks for a 100 (Continue) gets exactly that before it
        # sends the body; the others never see one. Each row: header block,
        # body bytes sent with it, the rest of the body, whether a 100 is due.
        expect = b"Expect: 100-continue\r\n"
        length = b"Content-Length: 5\r\n"
        cases = (
            ("length", b"POST / HTTP/1.1\r\n" + expect + length, b"", b"hello", True),
            ("any case and blanks", b"PUT / HTTP/1.1\r\nexpect: \t100-CONTINUE \r\n" + length,
             b"", b"hello", True),
            ("part of the body sent", b"POST / HTTP/1.1\r\n" + expect + length, b"he", b"llo",
             True),
            ("chunked", b"POST / HTTP/1.1\r\n" + expect + b"Transfer-Encoding: chunked\r\n",
             b"", b"5\r\nhello\r\n0\r\n\r\n", True),
            ("HTTP/1.0", b"POST / HTTP/1.0\r\n" + expect + length, b"", b"hello", False),
            ("no body", b"GET / HTTP/1.1\r\n" + expect, b"", b"", False),
            ("body sent with it", b"POST / HTTP/1.1\r\n" + expect + length, b"hello", b"",
             False),
        )
        interim = b"HTTP/1.1 100 Continue\r\n\r\n"
        for label, fields, first, rest, due in cases:
            with self.subTest(label), Client(self.server.port) as c:
                head = fields + b"\r\n"
                c.send(head + first)
                if due:
                    got = b""
                    while len(got) < len(interim):
                        got += c.sock.recv(len(interim) - len(got))
                    self.assertEqual(got, interim)
                c.send(rest)
                self.assertEqual(c.reply(), REPLY)
                self.server.expect_block(self, c.port, head + first + rest)
        # curl asks for it with a body over 1 MiB. Told to wait 20 s for it,
        # past its --max-time, curl finishes only if the 100 comes.
        path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "quorvel-expect-%d" % os.getpid())
        with open(path, "wb") as f:
            f.write(b"e" * (3 << 20))
        try:
            sent = self.curl_case("--data-binary", "@" + path, "--expect100-timeout", "20")
        finally:
            os.unlink(path)
        self.assertIn(b"\r\nExpect: 100-continue\r\n", sent)

    def test_python_http_client(self):
        for method, body in (("GET", None), ("POST", b"{\"a\": [1, 2, 3]}"), ("PUT", b"x" * 5000)):
            with self.subTest(method=method):
                status, data, sent, port = python_request(
                    self.server.port, method, "/py", body=body,
                    headers={"Content-Type": "application/json"})
                self.assertEqual((status, data), (200, b"You look good!"))
                self.server.expect_block(self, port, sent)

    def test_python_http_client_reusing_its_connection(self):
        # Told that each reply closes its connection, the client opens a new
        # one for the next request instead of failing on the closed one.
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=TIMEOUT)
        try:
            for i in range(20):
                conn.request("GET", "/again/%d" % i)
                resp = conn.getresponse()
                self.assertEqual((resp.status, resp.read()), (200, b"You look good!"))
                self.server.expect_block(self, None, b"GET /again/%d HTTP/1.1\r\n"
                                         b"Host: 127.0.0.1:%d\r\nAccept-Encoding: identity\r\n\r\n"
                                         % (i, self.server.port))
        finally:
            conn.close()

    def test_node_fetch_lower_case_length(self):
        require(node_available(), "node is not installed")
        body = ("body from node, \u00e9 and all. " * 40).encode()
        out = node(FETCH, self.server.port, body.decode())
        self.assertEqual(out, b"200 You look good!")
        # Node's own header lines are its business; the body tells whether
        # its lower-case content-length was honoured.
        tail = body + b"\n"
        data = self.server.out.wait(lambda d: d.endswith(tail), TIMEOUT, "node's block")
        m = ANNOUNCEMENT.match(data, self.server.mark)
        self.assertIsNotNone(m, data[self.server.mark:])
        head, _, rest = data[m.end():-1].partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"POST /node HTTP/1.1\r\n"), head)
        self.assertIn(b"\r\ncontent-length: %d\r\n" % len(body), head + b"\r\n")
        self.assertEqual(rest, body)
        self.server.mark = len(data)


class AwkwardPeers(ServerCase):
    """Raw sockets doing what clients do not do on purpose."""

    def tearDown(self):
        exchange(self, self.server, GET)  # the next client is still served
        self.assertTrue(self.server.alive())

    def test_blank_line_split_across_sends(self):
        for cut in (2, 1, 3):
            with self.subTest(cut=cut):
                exchange(self, self.server, GET[:-cut], GET[-cut:], pause=0.05)

    def test_one_byte_at_a_time(self):
        request = b"POST /slow HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"
        exchange(self, self.server, *[request[i:i + 1] for i in range(len(request))],
                 pause=0.002)

    def test_body_split_around_a_pause(self):
        head = b"POST /b HTTP/1.1\r\nContent-Length: 10\r\n\r\n"
        exchange(self, self.server, head + b"0123", b"456789", pause=0.1)

    def test_body_in_many_pieces(self):
        head = b"POST /b HTTP/1.1\r\nContent-Length: 2000\r\n\r\n"
        body = bytes(range(256)) * 7 + b"z" * 208
        exchange(self, self.server, head, *[body[i:i + 300] for i in range(0, 2000, 300)],
                 pause=0.01)

    def test_body_with_nul_bytes(self):
        exchange(self, self.server,
                 b"POST / HTTP/1.1\r\nContent-Length: 6\r\n\r\n", b"a\0b\0\0c", pause=0.05)

    def test_nul_before_the_blank_line(self):
        exchange(self, self.server, b"GET /\0 HTTP/1.1\r\nX-Nul: a\0b\r\n\r\n")

    def test_length_field_spellings(self):
        for field in (b"content-length: 5", b"CONTENT-LENGTH:5", b"Content-Length:\t5\t",
                      b"X-A: 1\n\nContent-Length: 5"):  # an empty bare-LF line before it
            with self.subTest(field=field):
                exchange(self, self.server, b"POST / HTTP/1.1\r\n" + field + b"\r\n\r\n",
                         b"hello", pause=0.05)

    def test_length_text_elsewhere_is_not_a_length(self):
        # Inside another field: no body is expected, the reply comes at once.
        exchange(self, self.server, b"GET / HTTP/1.1\r\nX-Note: Content-Length: 99\r\n\r\n")
        # Inside a body: only the real field's 30 bytes are waited for.
        body = b"Content-Length: 99999\r\n\r\nxxxxx"
        self.assertEqual(len(body), 30)
        exchange(self, self.server,
                 b"POST / HTTP/1.1\r\nContent-Length: 30\r\n\r\n", body, pause=0.05)

    def test_lengths_out_of_range(self):
        # 600 digits saturate: the body is read until the peer stops sending.
        head = b"POST / HTTP/1.1\r\nContent-Length: " + b"7" * 600 + b"\r\n\r\n"
        with Client(self.server.port) as c:
            c.send(head, b"partial body", pause=0.05)
            c.sock.shutdown(socket.SHUT_WR)
            self.assertEqual(c.reply(), REPLY)
            self.server.expect_block(self, c.port, head + b"partial body")
        # A negative length announces nothing more.
        exchange(self, self.server, b"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\nhello")

    def test_pipelined_requests_echoed_once(self):
        exchange(self, self.server,
                 b"POST /1 HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
                 b"GET /2 HTTP/1.1\r\nHost: x\r\n\r\n")
        exchange(self, self.server, GET + GET)

    def test_header_block_of_several_mib(self):
        line = b"X-Filler: " + b"f" * 1000 + b"\r\n"
        request = b"GET /big HTTP/1.1\r\n" + line * (4 * 1024) + b"\r\n"
        with Client(self.server.port) as c:
            sender = threading.Thread(target=c.send, args=(request,))
            sender.start()
            self.assertEqual(c.reply(), REPLY)
            sender.join()
        self.server.expect_block(self, c.port, request)

    def test_peer_closes_before_the_header_block_is_complete(self):
        # Whatever arrived is shown, then the close line on a line of its own.
        rng = random.Random(11)
        hello = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(rng.randrange(256)
                                                                    for _ in range(500))
        for label, partial in (
                ("nothing", b""),
                ("half a header block", b"GET / HTTP/1.1\r\nHost: half"),
                ("longer than a receive", b"GET / HTTP/1.1\r\n" + b"X-Long: " + b"l" * 100000),
                ("binary, NUL included (TLS on the plain port)", hello),
        ):
            with self.subTest(label), Client(self.server.port) as c:
                c.send(partial)
                c.sock.shutdown(socket.SHUT_WR)
                self.assertEqual(c.reply(), b"")  # no reply
                self.server.expect_block(self, c.port, partial, closed_early=True)

    def test_bytes_beyond_the_request(self):
        # Sent after the request, before the reply or once it has been
        # read: the reply arrives whole, and what was sent is shown in the
        # block. A close with those bytes unread would reset the connection,
        # destroying a reply not read yet.
        preface = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
        settings = b"\0\0\x06\x04\0\0\0\0\0\0\x03\0\0\0\x64"
        chunked = b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello"
        for label, request, late, after in (
                ("a body without a length, in its own write",
                 b"POST / HTTP/1.1\r\nHost: x\r\n\r\n", b'{"late": true}', False),
                ("the HTTP/2 preface, then a frame", preface, settings, False),
                ("after a malformed chunked body", chunked + b"XY", b"more", False),
                ("a pipelined request in a later segment", GET, GET, False),
                ("sent once the reply was read", GET, b"late\r\n", 0),
                ("sent half a second after the reply", GET, b"later\r\n", 0.5),
                ("a MiB without a length", b"POST / HTTP/1.1\r\n\r\n", bytes(range(256)) * 4096,
                 False),
        ):
            with self.subTest(label), Client(self.server.port) as c:
                c.send(request)
                if after is not False:
                    self.assertEqual(c.reply(), REPLY)
                    time.sleep(after)  # the client's own pace, under test
                    c.send(late)
                else:
                    self.server.out.wait(lambda d: d.endswith(request), TIMEOUT, "the request")
                    c.send(late)
                    time.sleep(0.05)  # the reply has come, and more than the request
                    self.assertEqual(c.reply(), REPLY)
                c.sock.shutdown(socket.SHUT_WR)
                self.server.expect_block(self, c.port, request + late)

    def test_answered_client_that_stays(self):
        # A client that neither closes nor stops sending once it has its
        # reply holds the listener for the quiet time at most: what it sent
        # until then is shown.
        with Client(self.server.port) as c:
            c.send(GET)
            self.assertEqual(c.reply(), REPLY)  # its end at once
            start = time.monotonic()
            stop = threading.Event()
            threading.Thread(target=dribble, args=(c.sock, stop), daemon=True).start()
            try:
                head = announcement(c.port) + GET
                at = self.server.mark + len(head)
                data = self.server.out.wait(lambda d: d.find(b"\n", at) >= 0, 2 * SCALE,
                                            "the end of the block")
            finally:
                stop.set()
            self.assertLess(time.monotonic() - start, 2 * SCALE)
            end = data.index(b"\n", at)
            self.assertEqual(bytes(data[self.server.mark:at]), head)
            self.assertEqual(bytes(data[at:end]), b"x" * (end - at))
            self.server.mark = end + 1

    def test_peer_resets(self):
        # Mid header block: reported like a close. Mid body: the reply goes
        # nowhere, quietly. Nothing else happens.
        for sent, closed_early in (
                (b"GET / HTT", True),
                (b"POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123456789", False)):
            with self.subTest(closed_early=closed_early):
                c = Client(self.server.port)
                c.send(sent)
                self.server.out.wait(lambda d: d.endswith(sent), TIMEOUT, "what was sent")
                c.reset()
                self.server.expect_block(self, c.port, sent, closed_early=closed_early)


def dribble(sock, stop):
    """Sends a byte every 20 ms, 200 at most, until told to stop or the
    peer has gone."""
    try:
        for _ in range(200):
            if stop.wait(0.02):
                return
            sock.send(b"x")
    except OSError:
        pass


def posted(*parts):
    """A POST whose body is sent as the given parts."""
    return [b"POST / HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(b"".join(parts))] + list(parts)


HEAD = b"GET / HTTP/1.1\r\n"
# What each request shows on a terminal. Each part is sent in its own segment,
# so that body parts arrive as separate blocks.
TERMINAL_CASES = (
    ("escape sequences", [HEAD + b"X-Clear: \x1b[2J\x1b[H fine\r\nX-Title: \x1b]2;t\x07!\r\n\r\n"],
     HEAD + b"X-Clear: ^[[2J^[[H fine\r\nX-Title: ^[]2;t^G!\r\n\r\n"),
    ("other C0 controls and DEL, TAB passing", [b"GET /\0\x01\x08\x1f\t\x7f HTTP/1.1\r\n\r\n"],
     b"GET /^@^A^H^_\t^? HTTP/1.1\r\n\r\n"),
    ("lone CR", [HEAD + b"X-Over: /safe\rEVIL\r\n\r\n"], HEAD + b"X-Over: /safe^MEVIL\r\n\r\n"),
    ("C1 controls in UTF-8", [HEAD + b"X-C1: \xc2\x9b2J \xc2\x80\xc2\x9f\xc2\r\n\r\n"],
     HEAD + b"X-C1: <U+009B>2J <U+0080><U+009F>\xc2\r\n\r\n"),
    ("UTF-8 text", [HEAD + b"X-Text: caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xc2\xa0\xc2\xbf\r\n\r\n"],
     HEAD + b"X-Text: caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xc2\xa0\xc2\xbf\r\n\r\n"),
    ("CR LF split across two sends", posted(b"line\r", b"\nnext"), b"line\r\nnext"),
    ("lone CR at a block's end", posted(b"abc\r", b"def"), b"abc^Mdef"),
    ("C1 split across two sends, CR at the end", posted(b"x\xc2", b"\x9by\r"), b"x<U+009B>y^M"),
)


class Terminal(unittest.TestCase):
    def test_control_characters_shown_visibly(self):
        # On a terminal no client drives the screen; to a pipe the same
        # requests are shown exactly as sent.
        if WINE:
            raise unittest.SkipTest("a pseudo-terminal is not a Windows console")
        with Server("-l", "0", terminal=True) as tty, Server("-l", "0") as pipe:
            for label, parts, shown in TERMINAL_CASES:
                with self.subTest(label):
                    with Client(tty.port) as c:
                        c.send(*parts, pause=0.05)
                        self.assertEqual(c.reply(), REPLY)
                    head = parts[0] if len(parts) > 1 else b""
                    tty.expect_block(self, c.port, head + shown)
                    exchange(self, pipe, *parts, pause=0.05)


    def test_stop_after_a_lone_cr(self):
        # A CR is held back until the byte after it says whether it ends a
        # line; a stop is no such byte, and the CR shows as itself.
        if WINE:
            raise unittest.SkipTest("a pseudo-terminal is not a Windows console")
        with Server("-l", "0", terminal=True) as tty, Client(tty.port) as c:
            c.send(b"GET / HTTP/1.1\r\nX: a\r")
            tty.out.wait(lambda d: d.endswith(b"X: a"), TIMEOUT, "the field")
            tty.proc.terminate()
            self.assertEqual(tty.wait_exit(), 143)
            self.assertTrue(bytes(tty.out.data).endswith(b"\r\nX: a^M"), bytes(tty.out.data[-40:]))

    def test_copy_beside_a_terminal(self):
        # -o: the file gets the exact bytes, as standard output redirected
        # to a file would, while the terminal shows them made visible. A
        # second run appends to it.
        if WINE:
            raise unittest.SkipTest("a pseudo-terminal is not a Windows console")
        body = b"\x1b[2J\0a\rb" + bytes(range(0x80, 0x100))
        head = b"POST / HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body)
        shown = head + b"^[[2J^@a^Mb" + bytes(range(0x80, 0x100))
        with tempfile.TemporaryDirectory(prefix="quorvel-copy-") as tmp:
            path = os.path.join(tmp, "requests.log")
            copied = b""
            for _ in range(2):
                with Server("-l", "0", "-o", path, terminal=True) as tty, Client(tty.port) as c:
                    c.send(head + body)
                    self.assertEqual(c.reply(), REPLY)
                    tty.expect_block(self, c.port, shown)
                    tty.expect_quiet(self)
                copied += startup_output(tty.port) + announcement(c.port) + head + body + b"\n"
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), copied)


class BufferCannotGrow(unittest.TestCase):
    def test_header_block_beyond_memory(self):
        # Address space capped at 48 MiB: a header block of 64 MiB cannot be
        # held. The connection is dropped with a report, and the next client
        # is served as usual.
        if SANITIZED or LAUNCHER:
            raise unittest.SkipTest("needs the plain binary, run directly")
        require(shutil.which("prlimit"), "prlimit is not installed (Debian: util-linux)")
        with Server("-l", "0", launcher=["prlimit", "--as=%d" % (48 << 20)]) as s:
            s.stderr_allowed = True
            with Client(s.port) as c:
                line = b"X-Filler: " + b"f" * 1000 + b"\r\n"
                sent = b"GET /huge HTTP/1.1\r\n" + line * (64 * 1024)
                try:
                    c.send(sent)
                except OSError:
                    pass  # the server gave up on us mid-send
                try:
                    self.assertEqual(c.reply(), b"")
                except ConnectionResetError:
                    pass
            s.err.wait(lambda d: d.endswith(b"\n"), TIMEOUT, "the report")
            self.assertEqual(bytes(s.err.data), b"buf_push() error: Cannot allocate memory\n")
            # What arrived was shown, then the newline; the next client is
            # served as usual.
            with Client(s.port) as next_client:
                next_client.send(GET)
                self.assertEqual(next_client.reply(), REPLY)
            after = announcement(next_client.port) + GET + b"\n"
            data = s.out.wait(lambda d: d.endswith(after), TIMEOUT, "the next block")
            head = announcement(c.port) + b"GET /huge HTTP/1.1\r\n"
            self.assertEqual(bytes(data[s.mark:s.mark + len(head)]), head)
            shown = bytes(data[s.mark + len(announcement(c.port)):-len(after)])
            self.assertTrue(shown.endswith(b"\n"))
            self.assertGreater(len(shown), 1 << 20)
            self.assertTrue(sent.startswith(shown[:-1]), "not a prefix of what was sent")
            self.assertTrue(s.alive())


if __name__ == "__main__":
    unittest.main()
