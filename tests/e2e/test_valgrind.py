"""valgrind's memcheck over a short run of mixed requests, then a stop by
SIGTERM through the listener's usual exit: no errors and no leaks."""

import os
import re
import shutil
import socket
import tempfile
import unittest

from harness import REPLY, SANITIZED, TIMEOUT, Client, Server, exchange, require


class Memcheck(unittest.TestCase):
    def test_mixed_requests(self):
        require(shutil.which("valgrind"), "valgrind is not installed")
        if SANITIZED or os.environ.get("QUORVEL_LAUNCHER"):
            raise unittest.SkipTest("memcheck needs the plain binary, run directly")
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "memcheck.log")
            s = Server("-l", "0", launcher=["valgrind", "--leak-check=full",
                                            "--errors-for-leak-kinds=definite,indirect",
                                            "--log-file=" + log])
            with s:
                self.mixed_requests(s)
            with open(log) as f:
                report = f.read()
        self.assertRegex(report, r"ERROR SUMMARY: 0 errors", report)
        lost = re.search(r"definitely lost: ([\d,]+) bytes", report)
        self.assertTrue(lost is None or lost.group(1) == "0", report)

    def mixed_requests(self, s):
        exchange(self, s, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        exchange(self, s, b"POST / HTTP/1.1\r\ncontent-length: 10\r\n\r\n01", b"23456789",
                 pause=0.05)
        exchange(self, s, b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
                 b"3;x\r\nabc\r\n", b"0\r\nT: 1\r\n\r\n", pause=0.05)
        exchange(self, s, b"GET /\0 HTTP/1.1\r\nX: " + b"y" * 300000 + b"\r\n\r\n")
        exchange(self, s, b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n")
        with Client(s.port) as c:
            c.send(b"GET / HTTP/1.1\r\nHost: half")
            c.sock.shutdown(socket.SHUT_WR)
            self.assertEqual(c.reply(), b"")
            s.expect_block(self, c.port, b"GET / HTTP/1.1\r\nHost: half", closed_early=True)
        c = Client(s.port)
        c.send(b"POST / HTTP/1.1\r\nContent-Length: 50\r\n\r\nabc")
        s.out.wait(lambda d: d.endswith(b"abc"), TIMEOUT, "the partial body")
        c.reset()
        s.expect_block(self, c.port, b"POST / HTTP/1.1\r\nContent-Length: 50\r\n\r\nabc")
        # Waits that end with their time: a connection just accepted and
        # silent, and an answered client that stays for its quiet time.
        with Client(s.port) as silent, Client(s.port) as stays:
            stays.send(b"GET /stays HTTP/1.1\r\n\r\n")
            self.assertEqual(stays.reply(), REPLY)
            s.expect_block(self, stays.port, b"GET /stays HTTP/1.1\r\n\r\n")
            s.mark
        s.expect_block(self, silent.port, b"", closed_early=True)
        exchange(self, s, b"GET /last HTTP/1.1\r\n\r\n")


if __name__ == "__main__":
    unittest.main()
