"""Soak: ApacheBench opens connection after connection at concurrency 16,
with the listener's standard output going to a file. QUORVEL_SOAK_COUNT
sets the number of connections (100000 by default)."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import ANNOUNCEMENT, SANITIZED, TIMEOUT, Server, require

COUNT = int(os.environ.get("QUORVEL_SOAK_COUNT", "100000"))
WARMUP = 1000


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))


class Soak(unittest.TestCase):
    def ab(self, port, count):
        done = subprocess.run(["ab", "-q", "-n", str(count), "-c", "16",
                               "http://127.0.0.1:%d/soak" % port],
                              capture_output=True, timeout=TIMEOUT * 30)
        out = done.stdout.decode()
        self.assertEqual(done.returncode, 0, out + done.stderr.decode())
        self.assertRegex(out, r"Complete requests:\s+%d\n" % count)
        self.assertRegex(out, r"Failed requests:\s+0\n")
        self.assertRegex(out, r"Document Length:\s+14 bytes")

    def test_connections_echoed_and_memory_flat(self):
        require(shutil.which("ab"), "ab is not installed (Debian: apache2-utils)")
        require(os.path.exists("/proc/self/status"), "no /proc to read memory from")
        with tempfile.NamedTemporaryFile(prefix="quorvel-soak-") as out:
            with Server("-l", "0", stdout=out) as s:
                self.ab(s.port, WARMUP)
                early = rss_kib(s.proc.pid)
                self.ab(s.port, COUNT)
                late = rss_kib(s.proc.pid)
                # AddressSanitizer holds freed memory in quarantine on purpose.
                if not SANITIZED:
                    self.assertLessEqual(late, early * 1.10 + 64,
                                         "resident memory grew from %d to %d KiB" % (early, late))
                # The last block ends when its connection is closed.
                data = s.out.wait(lambda d: d.endswith(b"\n\n"), TIMEOUT, "the last block")
                data = bytes(data[s.mark:])
        # Every block is an announcement, the same request, and a newline.
        first = ANNOUNCEMENT.match(data)
        self.assertIsNotNone(first, data[:300])
        request = data[first.end():data.index(b"\r\n\r\n") + 4]
        self.assertTrue(request.startswith(b"GET /soak HTTP/1.0\r\n"), request)
        block = re.compile(ANNOUNCEMENT.pattern + re.escape(request + b"\n"))
        blocks = sum(1 for _ in block.finditer(data))
        self.assertEqual(blocks, WARMUP + COUNT)
        # ab may open a few connections more than it uses, up to one per
        # concurrent slot, and close them unused: those show as early closes.
        spare = re.compile(ANNOUNCEMENT.pattern + rb"socket close fd=\d+\n\n")
        rest = spare.sub(b"", block.sub(b"", data))
        self.assertEqual(rest[:2000], b"", "output outside the blocks")
        self.assertLessEqual(sum(1 for _ in spare.finditer(data)), 2 * 16)


if __name__ == "__main__":
    unittest.main()
