"""Chunked request bodies: read to the last chunk and its trailers, echoed
exactly as received, framing included, and answered."""

import socket
import unittest

from clients import curl, node, node_available
from harness import ANNOUNCEMENT, REPLY, TIMEOUT, Client, ServerCase, exchange, require

HEAD = b"POST /chunked HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"

NODE_STREAM = """
const http = require('http');
const [port, ...pieces] = process.argv.slice(1);
const req = http.request({host: '127.0.0.1', port, method: 'POST', path: '/stream'}, (res) => {
    let text = '';
    res.on('data', (d) => text += d);
    res.on('end', () => process.stdout.write(res.statusCode + ' ' + text));
});
req.on('error', (e) => { console.error(e); process.exit(1); });
let i = 0;
const next = () => {
    if (i < pieces.length) { req.write(pieces[i++]); setTimeout(next, 30); } else { req.end(); }
};
next();
"""


def dechunk(body):
    """Decodes a well-formed chunked body; returns (data, rest after it)."""
    data = b""
    while True:
        line, _, body = body.partition(b"\r\n")
        size = int(line.split(b";")[0], 16)
        if size == 0:
            end = 2 if body.startswith(b"\r\n") else body.index(b"\r\n\r\n") + 4
            return data, body[end:]
        data += body[:size]
        assert body[size:size + 2] == b"\r\n"
        body = body[size + 2:]


class ChunkedClients(ServerCase):
    def curl_upload(self, *args):
        data = b"line one\nline two\n\0binary\xff" * 300
        reply, sent = curl(self.server.port, *args, stdin=data)
        self.assertEqual(reply, b"You look good!")
        self.server.expect_block(self, None, sent)
        head, _, body = sent.partition(b"\r\n\r\n")
        self.assertIn(b"\r\nTransfer-Encoding: chunked", head)
        self.assertEqual(dechunk(body), (data, b""))

    def test_curl_upload_from_stdin(self):
        self.curl_upload("-T", "-")

    def test_curl_data_binary_from_stdin(self):
        self.curl_upload("--data-binary", "@-", "-H", "Transfer-Encoding: chunked")

    def test_node_http_stream_in_pieces(self):
        require(node_available(), "node is not installed")
        pieces = ["first piece, ", "a second one, ", "x" * 3000, " and the last."]
        out = node(NODE_STREAM, self.server.port, *pieces)
        self.assertEqual(out, b"200 You look good!")
        data = self.server.out.wait(lambda d: d.endswith(b"0\r\n\r\n\n"), TIMEOUT, "node block")
        m = ANNOUNCEMENT.match(data, self.server.mark)
        self.assertIsNotNone(m, data[self.server.mark:])
        head, _, body = data[m.end():-1].partition(b"\r\n\r\n")
        self.assertIn(b"\r\nTransfer-Encoding: chunked", head)
        self.assertEqual(dechunk(body), ("".join(pieces).encode(), b""))
        self.server.mark = len(data)


class ChunkedFraming(ServerCase):
    """Framing edge cases over raw sockets, one server for all."""

    def tearDown(self):
        exchange(self, self.server, b"GET /next HTTP/1.1\r\n\r\n")

    def test_well_formed_bodies_split_anywhere(self):
        bodies = [
            b"5\r\nhello\r\n0\r\n\r\n",
            b"1A\r\n" + b"u" * 26 + b"\r\n1a\r\n" + b"l" * 26 + b"\r\n0\r\n\r\n",
            b"4;name=value;flag\r\nwiki\r\n0;end\r\n\r\n",
            b"3\r\nabc\r\n0\r\nX-Trailer: one\r\nY-Trailer: two\r\n\r\n",
            b"0\r\n\r\n",
        ]
        for body in bodies:
            # Whole; then with the body cut inside the size line, inside the
            # data and inside the final CRLF.
            for cuts in ([], [1], [len(body) // 2], [len(body) - 1], [1, 3, len(body) - 2]):
                with self.subTest(body=body, cuts=cuts):
                    edges = [0] + cuts + [len(body)]
                    parts = [body[a:b] for a, b in zip(edges, edges[1:])]
                    exchange(self, self.server, HEAD, *parts, pause=0.03)

    def test_body_with_the_header_block(self):
        exchange(self, self.server, HEAD + b"3\r\nabc\r\n0\r\n\r\n")
        exchange(self, self.server, HEAD + b"3\r\nabc\r\n", b"0\r\n\r\n", pause=0.03)

    def test_chunked_wins_over_length(self):
        head = (b"POST / HTTP/1.1\r\nContent-Length: 3\r\n"
                b"transfer-encoding: gzip, CHUNKED\r\n\r\n")
        exchange(self, self.server, head, b"3\r\nabc\r\n", b"2\r\nde\r\n0\r\n\r\n", pause=0.03)

    def test_malformed_framing_stops_at_once(self):
        for body in (b"zz\r\nhello\r\n", b"5\r\nhelloXX\r\n", b"8000000000000000\r\n",
                     b"5\nhello"):
            with self.subTest(body=body):
                exchange(self, self.server, HEAD, body, pause=0.03)

    def test_peer_closes_mid_body(self):
        with Client(self.server.port) as c:
            c.send(HEAD, b"a\r\n01234", pause=0.03)
            c.sock.shutdown(socket.SHUT_WR)
            self.assertEqual(c.reply(), REPLY)
            self.server.expect_block(self, c.port, HEAD + b"a\r\n01234")


if __name__ == "__main__":
    unittest.main()
