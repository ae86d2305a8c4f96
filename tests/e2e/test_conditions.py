"""Awkward conditions around the listener: stalled and very long uploads,
a full disk, a non-blocking or closed standard output, no descriptors left.
Whatever was received still reaches the console, or the failure is said."""

import os
import resource
import fcntl
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import termios
import threading
import time
import unittest

from harness import (BIN, LAUNCHER, PORT_LINE, REPLY, SCALE, TIMEOUT, WINE, Client, FileStream,
                     Server, ServerCase, announcement, exchange, free_port, require,
                     startup_output, wait_accepted)

LENGTH = b"POST /up HTTP/1.1\r\nContent-Length: %d\r\n\r\n"
CHUNKED = b"POST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
GET = b"GET / HTTP/1.1\r\n\r\n"
BODY = bytes(range(256)) * 11 + b"x" * 184  # 3 000 bytes


def posix_only(test):
    if WINE:
        raise unittest.SkipTest("POSIX descriptors: under Wine they are Wine's, not the program's")


def connect_when_up(port):
    """For a listener whose output cannot be read: connect as soon as it
    listens (retrying until the deadline)."""
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            return Client(port)
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


class Uploads(unittest.TestCase):
    def test_stalled_and_long_bodies(self):
        # Each upload stops after its first part: what has arrived is on
        # standard output (a file) while the listener waits for more, and no
        # reply has come. Then the rest comes, or the client half-closes.
        cases = (
            ("header block, stalled", b"GET /half HTTP/1.1\r\nHost: x", b"\r\nX-Later:",
             b" 1\r\n\r\n"),
            ("length, stalled", LENGTH % 10000, BODY, b"y" * 7000),
            ("chunked, stalled", CHUNKED, b"bb8\r\n" + BODY, b"\r\n0\r\n\r\n"),
            # Waited for, but so would a length cut to 2^31-1: only sending
            # 2 GiB could tell them apart. The unit table checks the value.
            ("length past 2 GiB is waited for", LENGTH % 3000000000, BODY, None),
            ("chunk past 2 GiB", CHUNKED, b"80000000\r\n" + BODY, None),
            ("largest chunk", CHUNKED, b"7fffffffffffffff\r\n" + BODY, None),
        )
        with tempfile.NamedTemporaryFile(prefix="quorvel-out-") as out, \
                Server("-l", "0", stdout=out) as s:
            for label, head, first, rest in cases:
                with self.subTest(label):
                    self.stall(s, head, first, rest)

    def stall(self, s, head, first, rest):
        with Client(s.port) as c:
            c.send(head, first)
            shown = announcement(c.port) + head + first
            end = s.mark + len(shown)
            s.out.wait(lambda d: len(d) >= end, 2 * SCALE, "the part received")
            self.assertEqual(bytes(s.out.data[s.mark:]), shown)
            self.assertEqual(select.select([c.sock], [], [], 0.1)[0], [], "replied early")
            if rest is None:
                c.sock.shutdown(socket.SHUT_WR)
            else:
                c.send(rest)
            self.assertEqual(c.reply(), REPLY)
            s.expect_block(self, c.port, head + first + (rest or b""))


class Console(unittest.TestCase):
    def test_full_disk_is_reported_once_a_connection(self):
        port = free_port()
        with open("/dev/full", "wb") as full:
            s = Server("-l", str(port), stdout=full, wait_ready=False)
        with s:
            s.stderr_allowed = True
            line = b"No space left on device\n"
            lines = lambda n: lambda d: d.replace(b"\r\n", b"\n").count(line) >= n
            s.err.wait(lines(1), TIMEOUT, "the banner's failure")
            with connect_when_up(port) as c:
                c.send(LENGTH % 3000, BODY[:1000], BODY[1000:], pause=0.05)
                self.assertEqual(c.reply(), REPLY)
            s.err.wait(lines(2), TIMEOUT, "the failure of the first connection")
            exchange_blind(self, port)
            s.err.wait(lines(3), TIMEOUT, "the failure of the second")
            self.assertEqual(bytes(s.err.data).replace(b"\r\n", b"\n"),
                             b"write() error: No space left on device\n" * 3)

    def test_each_output_fails_on_its_own(self):
        # Standard output or the copy of -o failing (a full disk, a pipe
        # whose reader has gone): said once per connection (and for the
        # banner), while the listener and the other output go on, whole.
        request = LENGTH % 3000 + BODY
        with tempfile.TemporaryDirectory(prefix="quorvel-outputs-") as tmp:
            copy, fifo = os.path.join(tmp, "copy.log"), os.path.join(tmp, "fifo")
            cases = [("the copy to a full disk", None, "/dev/full",
                      b"/dev/full: No space left on device"),
                     ("standard output to a full disk", "/dev/full", copy,
                      b"No space left on device")]
            if not WINE:
                os.mkfifo(fifo)
                cases.append(("the copy to a pipe whose reader has gone", None, fifo,
                              fifo.encode() + b": Broken pipe"))
            for label, stdout, path, reason in cases:
                with self.subTest(label):
                    line = b"write() error: " + reason + b"\n"
                    port = free_port()
                    # A FIFO's reader comes first, and goes once the banner is in.
                    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK) if path == fifo else None
                    with open(stdout or os.devnull, "wb") as out:
                        s = Server("-l", str(port), "-o", path, stdout=out if stdout else None,
                                   wait_ready=False)
                    with s:
                        s.stderr_allowed = True
                        if reader is not None:
                            got = b""
                            deadline = time.monotonic() + TIMEOUT
                            while not PORT_LINE.search(got) and time.monotonic() < deadline:
                                if select.select([reader], [], [], 0.1)[0]:
                                    got += os.read(reader, 65536)
                            self.assertRegex(got, PORT_LINE, "the banner in the pipe")
                            os.close(reader)
                        ports = []
                        for n in (1, 2):
                            with connect_when_up(port) as c:
                                c.send(request)
                                self.assertEqual(c.reply(), REPLY)
                                ports.append(c.port)
                            s.err.wait(lambda d: d.replace(b"\r\n", b"\n").count(line) >= n + 1 -
                                       (reader is not None), TIMEOUT, "the failure")
                        # The other output whole, once the last block ends.
                        shown = b"".join(announcement(p) + request + b"\n" for p in ports)
                        if stdout is None:
                            s.out.wait(lambda d: d.endswith(shown), TIMEOUT, "standard output")
                        else:
                            FileStream(copy).wait(lambda d: d == startup_output(port) + shown,
                                                  TIMEOUT, "the copy")
                        if reader is not None:
                            # Output to the pipe is tried again with each
                            # connection: a new reader gets the next.
                            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
                            self.addCleanup(os.close, reader)
                            with connect_when_up(port) as c:
                                c.send(request)
                                self.assertEqual(c.reply(), REPLY)
                            got = b""
                            deadline = time.monotonic() + TIMEOUT
                            while not got.endswith(request + b"\n"):
                                self.assertLess(time.monotonic(), deadline, got[-200:])
                                if select.select([reader], [], [], 0.1)[0]:
                                    got += os.read(reader, 65536)
                            self.assertEqual(got, announcement(c.port) + request + b"\n")
                    self.assertEqual(bytes(s.err.data).replace(b"\r\n", b"\n"),
                                     line * (3 - (reader is not None)))

    def test_copy_to_a_pipe_that_nobody_reads_yet(self):
        # Opening a FIFO for writing waits for its reader: nothing shows,
        # not even the banner, and a stop ends the wait.
        posix_only(self)
        with tempfile.TemporaryDirectory(prefix="quorvel-fifo-") as tmp:
            fifo = os.path.join(tmp, "fifo")
            os.mkfifo(fifo)
            s = Server("-l", "0", "-o", fifo, wait_ready=False)
            with s:
                deadline = time.monotonic() + TIMEOUT
                while True:  # until it sleeps, in the open
                    with open("/proc/%d/stat" % s.proc.pid) as f:
                        if f.read().rsplit(")", 1)[1].split()[0] == "S":
                            break
                    self.assertLess(time.monotonic(), deadline, "it never waited")
                    time.sleep(0.01)
                start = time.monotonic()
                s.proc.terminate()
                self.assertEqual(s.wait_exit(), 143)
                self.assertLess(time.monotonic() - start, 2.0 * SCALE)
                self.assertEqual(bytes(s.out.data), b"")

    def test_non_blocking_pipe_with_a_slow_reader(self):
        posix_only(self)
        with Server("-l", "0", nonblocking=True, pace=0.001) as s:
            for i in range(10):
                body = bytes([65 + i]) * 200000
                exchange(self, s, LENGTH % len(body) + body)

    def test_closed_standard_descriptors(self):
        # Nothing meant for the console, nor a report, reaches a client.
        posix_only(self)
        for label, closed, stdout in (
                ("output", (1,), subprocess.DEVNULL),
                ("input and output", (0, 1), subprocess.DEVNULL),
                ("input and error, output failing", (0, 2), "/dev/full"),
        ):
            with self.subTest(label):
                port = free_port()
                out = open(stdout, "wb") if isinstance(stdout, str) else stdout
                proc = subprocess.Popen(LAUNCHER + [BIN, "-l", str(port)],
                                        stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=subprocess.DEVNULL,
                                        preexec_fn=lambda: [os.close(fd) for fd in closed])
                try:
                    with connect_when_up(port) as c:
                        c.send(GET)
                        self.assertEqual(c.reply(), REPLY)
                    exchange_blind(self, port)
                    self.assertIsNone(proc.poll())
                finally:
                    proc.kill()
                    proc.wait(TIMEOUT)
                    if out is not stdout:
                        out.close()


class NoDescriptors(unittest.TestCase):
    def test_accept_pauses_then_resumes(self):
        posix_only(self)
        require(shutil.which("prlimit"), "prlimit is not installed (Debian: util-linux)")
        require(hasattr(resource, "prlimit"), "Python's resource.prlimit is missing here")
        # Descriptors 0-2 and the listening socket use all four.
        with Server("-l", "0", launcher=["prlimit", "--nofile=4:1024"] + LAUNCHER) as s:
            s.stderr_allowed = True
            with Client(s.port) as c:
                c.send(GET)
                start, cpu = time.monotonic(), cpu_seconds(s.proc.pid)
                line = b"accept() error: Too many open files\n"
                s.err.wait(lambda d: d.count(line) >= 8, TIMEOUT, "eight reports")
                elapsed, used = time.monotonic() - start, cpu_seconds(s.proc.pid) - cpu
                self.assertEqual(s.err.data, line * (len(s.err.data) // len(line)))
                lines = len(s.err.data) // len(line)
                self.assertGreater(elapsed, 1.0, "%d reports in %.2f s" % (lines, elapsed))
                self.assertLess(used, 0.25 * SCALE, "CPU time while paused")
                # With descriptors to spare again, the waiting client is
                # served within about a second.
                resource.prlimit(s.proc.pid, resource.RLIMIT_NOFILE, (64, 1024))
                freed = time.monotonic()
                self.assertEqual(c.reply(), REPLY)
                self.assertLess(time.monotonic() - freed, 3.0 * SCALE)
                s.expect_block(self, c.port, GET)


    def test_held_connections_while_descriptors_run_out(self):
        # The descriptors held are those missing (the limit leaves no room):
        # between blocks the one silent the longest is closed to make room;
        # while a block is open, accept rests, and the held connections
        # are still served at once.
        posix_only(self)
        require(hasattr(resource, "prlimit"), "Python's resource.prlimit is missing here")
        line = b"accept() error: Too many open files\n"
        with Server("-l", "0") as s:
            s.stderr_allowed = True
            held = [Client(s.port) for _ in range(3)]
            for c in held:
                self.addCleanup(c.sock.close)
            wait_accepted(s.port)
            limit = len(os.listdir("/proc/%d/fd" % s.proc.pid))
            resource.prlimit(s.proc.pid, resource.RLIMIT_NOFILE, (limit, 1024))
            exchange(self, s, GET, early=[held[0].port])
            self.assertEqual(bytes(s.err.data), b"")
            with Client(s.port) as a, Client(s.port) as waiting:
                a.send(GET)
                self.assertEqual(a.reply(), REPLY)  # its block stays open a second
                s.err.wait(lambda d: d.count(line) >= 7, TIMEOUT, "seven reports")
                start = time.monotonic()
                held[1].send(GET)
                self.assertEqual(held[1].reply(), REPLY)
                self.assertLess(time.monotonic() - start, 0.2 * SCALE)
                resource.prlimit(s.proc.pid, resource.RLIMIT_NOFILE, (1024, 1024))
                s.expect_block(self, a.port, GET)
                s.expect_block(self, held[1].port, GET)
                waiting.send(GET)
                self.assertEqual(waiting.reply(), REPLY)
                s.expect_block(self, waiting.port, GET)


class SilentClients(unittest.TestCase):
    CAP = 256  # the most connections held at once

    def test_the_quiet_time(self):
        # An answered client that stays: a silent connection accepted
        # meanwhile does not end its quiet time, and one that closes shows
        # only after its block; a client that speaks ends it at once (not a
        # second later), and the late bytes are in the block.
        with Server("-l", "0") as s, Client(s.port) as a:
            a.send(GET)
            self.assertEqual(a.reply(), REPLY)
            gone = Client(s.port)
            wait_accepted(s.port)
            gone.sock.close()
            a.send(b"late")
            with Client(s.port) as c:
                start = time.monotonic()
                c.send(GET)
                self.assertEqual(c.reply(), REPLY)
                self.assertLess(time.monotonic() - start, 0.5 * SCALE)
            s.expect_block(self, a.port, GET + b"late")
            s.expect_block(self, gone.port, b"", closed_early=True)
            s.expect_block(self, c.port, GET)

    def test_silent_connections_hold_nobody(self):
        # Connections that send nothing are held, unseen, while clients that
        # speak are served. Past the cap, the one silent the longest is
        # closed and shown as an early close, to make room.
        with Server("-l", "0") as s:
            silent = []
            self.addCleanup(lambda: [c.sock.close() for c in silent])
            for count in (200, self.CAP + 10):
                while len(silent) < count:
                    silent.append(Client(s.port))
                wait_accepted(s.port)
                with Client(s.port) as c:
                    c.send(GET)
                    self.assertEqual(c.reply(), REPLY)
                    self.closed(s, silent, len(silent) + 1 - self.CAP)
                    s.expect_block(self, c.port, GET)
                    # The cap reached (again: the one served left room)
                    # and a block open, a new connection waits in the
                    # backlog: the listener does not spin on it meanwhile,
                    # and it is held once the block ends, at the end of
                    # its quiet time.
                    if count > self.CAP:
                        silent.append(Client(s.port))
                        wait_accepted(s.port)
                        silent.append(Client(s.port))
                        cpu = cpu_seconds(s.proc.pid)
                        s.mark  # a second: the wait is idle, under any launcher
                        self.assertLess(cpu_seconds(s.proc.pid) - cpu, 0.1)
                        self.closed(s, silent, 1)

    def closed(self, s, silent, count):
        """The first count silent connections were closed to make room:
        each shows as an early close."""
        while count > 0:
            gone = silent.pop(0)
            s.expect_block(self, gone.port, b"", closed_early=True)
            gone.sock.close()
            count -= 1


class Stop(unittest.TestCase):
    def test_stop_signals(self):
        # Each stop signal ends the listener at once with the status a shell
        # shows for it, nothing on standard error, and everything received
        # on standard output: mid-body, a prefix of what was sent, uncut.
        if WINE:
            raise unittest.SkipTest("Windows programs get no POSIX signals")
        cases = (
            ("SIGTERM in accept", signal.SIGTERM, "accept"),
            ("SIGINT in accept", signal.SIGINT, "accept"),
            ("SIGHUP in accept", signal.SIGHUP, "accept"),
            ("SIGINT mid header block", signal.SIGINT, "header"),
            ("SIGTERM while an answered client stays", signal.SIGTERM, "answered"),
            ("SIGTERM with silent connections held", signal.SIGTERM, "silent"),
            ("SIGTERM with a request held behind a stalled one", signal.SIGTERM, "behind"),
            ("SIGTERM mid-body, output a pipe", signal.SIGTERM, "body"),
            ("SIGTERM as PID 1 of a PID namespace", signal.SIGTERM, "pid1"),
        )
        for label, sig, where in cases:
            with self.subTest(label):
                launcher = LAUNCHER
                if where == "pid1":
                    unshare = ["unshare", "--pid", "--fork"]
                    require(subprocess.run(unshare + ["true"]).returncode == 0,
                            "unshare --pid is not allowed here")
                    launcher = unshare + LAUNCHER
                with Server("-l", "0", launcher=launcher) as s:
                    expected = bytes(s.out.data)
                    if where == "body":
                        expected += self.stream_body(s)
                    elif where == "header":
                        expected += self.half_header(s)
                    elif where == "answered":
                        expected += self.answered(s)
                    elif where == "silent":
                        self.silent(s, 3)
                    elif where == "behind":
                        silent = self.silent(s, 1)
                        expected += self.half_header(s)
                        silent.send(GET)  # it spoke, and waits its turn
                    pid = s.proc.pid
                    if where == "pid1":
                        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                            pid = int(f.read().split()[0])
                    start = time.monotonic()
                    os.kill(pid, sig)
                    self.assertEqual(s.wait_exit(), 128 + sig)
                    # In an answered client's quiet time, at once: well
                    # before that time (a second) is up. Connections held,
                    # silent or not served yet, show nothing.
                    self.assertLess(time.monotonic() - start,
                                    (0.5 if where == "answered" else 2.0) * SCALE)
                    shown = bytes(s.out.data)
                    self.assertEqual(shown, expected if where in ("answered", "silent") else
                                     expected[:len(shown)])
                    self.assertGreaterEqual(len(shown), len(bytes(s.out.data[:s.mark])))

    def test_stop_while_a_reply_waits(self):
        # A stop ends the wait of --delay at once, and a reply that waits
        # for a client that does not read it: the block ends with what came.
        posix_only(self)
        with tempfile.NamedTemporaryFile(prefix="quorvel-body-") as body:
            body.write(b"b" * (16 << 20))
            body.flush()
            for label, args in (("in the delay", ["--delay", "60000"]),
                                ("sending to a client that does not read", ["--body", "@" + body.name])):
                with self.subTest(label), Server("-l", "0", *args) as s:
                    c = Client(s.port)
                    self.addCleanup(c.sock.close)
                    c.send(GET)
                    if "--delay" in args:
                        s.out.wait(lambda d: d.endswith(GET), TIMEOUT, "the request")
                    else:
                        deadline = time.monotonic() + TIMEOUT
                        while pipe_holds(c.sock.fileno()) == 0:  # the reply has begun
                            self.assertLess(time.monotonic(), deadline, "no reply")
                            select.select([c.sock], [], [], 0.1)
                    start = time.monotonic()
                    s.proc.terminate()
                    self.assertEqual(s.wait_exit(), 143)
                    self.assertLess(time.monotonic() - start, 2.0 * SCALE)
                    self.assertEqual(bytes(s.out.data[s.mark:]), announcement(c.port) + GET + b"\n")

    def test_stop_while_output_is_stalled(self):
        # Standard output a pipe that nobody reads, a body streaming in: the
        # listener is stuck writing, and a stop still ends it, giving up
        # the output about a second after the signal.
        posix_only(self)
        port = free_port()
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        proc = subprocess.Popen(LAUNCHER + [BIN, "-l", str(port)], stdin=subprocess.DEVNULL,
                                stdout=write_end, stderr=subprocess.PIPE)
        os.close(write_end)
        try:
            c = connect_when_up(port)
            self.addCleanup(c.sock.close)
            c.send(LENGTH % 10 ** 9)
            threading.Thread(target=send_quietly, args=(c.sock, BODY * 3000), daemon=True).start()
            # Full but for a page: the listener's next write of the body must wait.
            nearly_full = fcntl.fcntl(read_end, 1032) - 4096  # F_GETPIPE_SZ
            deadline = time.monotonic() + TIMEOUT
            while pipe_holds(read_end) < nearly_full:
                self.assertLess(time.monotonic(), deadline, "the pipe never filled")
                time.sleep(0.01)
            start = time.monotonic()
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(TIMEOUT), 143)
            self.assertLess(time.monotonic() - start, 2.0 * SCALE)
            self.assertEqual(proc.stderr.read(), b"")
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(TIMEOUT)
            proc.stderr.close()

    def test_ignored_stop_signal_stays_ignored(self):
        # As under nohup: SIGHUP ignored when the listener starts.
        posix_only(self)
        with Server("-l", "0", preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN)) as s:
            os.kill(s.proc.pid, signal.SIGHUP)
            exchange(self, s, GET)
            self.assertTrue(s.alive())

    def test_other_signals_cut_nothing(self):
        # SIGALRM is no stop signal: a wait it interrupts, for a client, for
        # the rest of a header block or of a body, is taken up again.
        if WINE:
            raise unittest.SkipTest("Windows programs get no POSIX signals")
        cases = (
            ("waiting for a client", b"", GET),
            ("mid header block", b"GET /alarm HTTP/1.1\r\nHost:", b" x\r\n\r\n"),
            ("mid body", LENGTH % 6 + b"abc", b"def"),
        )
        with Server("-l", "0") as s:
            with self.subTest("in an answered client's quiet time"), Client(s.port) as c:
                # Cut short, it would close the connection with the late
                # bytes unread.
                c.send(GET)
                self.assertEqual(c.reply(), REPLY)
                interrupt(s.proc.pid, signal.SIGALRM)
                c.send(b"late")
                s.expect_block(self, c.port, GET + b"late")
            for label, first, rest in cases:
                with self.subTest(label):
                    if not first:
                        interrupt(s.proc.pid, signal.SIGALRM)
                    with Client(s.port) as c:
                        if first:
                            c.send(first)
                            end = s.mark + len(announcement(c.port) + first)
                            s.out.wait(lambda d: len(d) >= end, TIMEOUT, "the first part")
                            interrupt(s.proc.pid, signal.SIGALRM)
                        c.send(rest)
                        self.assertEqual(c.reply(), REPLY)
                    s.expect_block(self, c.port, first + rest)

    def test_sends_cut_short_go_on(self):
        # Every send fails with EINTR, and the next sends one byte, as if
        # signals kept cutting it short: the 100 (Continue) and the reply
        # still arrive whole.
        lib = os.environ.get("QUORVEL_FAULTS_LIB")
        if LAUNCHER or not lib:
            raise unittest.SkipTest("needs the native build, into which a library can be preloaded")
        head = b"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n"
        interim = b"HTTP/1.1 100 Continue\r\n\r\n"
        with Server("-l", "0", env={"LD_PRELOAD": lib, "QUORVEL_SLOW_SEND": "1",
                                    "ASAN_OPTIONS": "verify_asan_link_order=0"}) as s, \
                Client(s.port) as c:
            c.send(head)
            got = b""
            while len(got) < len(interim):
                got += c.sock.recv(len(interim) - len(got))
            self.assertEqual(got, interim)
            c.send(b"hello")
            self.assertEqual(c.reply(), REPLY)
            s.expect_block(self, c.port, head + b"hello")

    def test_other_signals_cut_no_output(self):
        # A write to standard output that SIGALRM interrupts (a pipe read
        # slowly, so the listener waits to write) goes on where it stopped.
        posix_only(self)
        with Server("-l", "0", pace=0.005) as s:
            body = bytes(range(256)) * 1024
            with Client(s.port) as c:
                c.send(LENGTH % len(body) + body)
                deadline = time.monotonic() + TIMEOUT
                while not select.select([c.sock], [], [], 0.002)[0]:
                    self.assertLess(time.monotonic(), deadline, "no reply")
                    os.kill(s.proc.pid, signal.SIGALRM)
                self.assertEqual(c.reply(), REPLY)
            s.expect_block(self, c.port, LENGTH % len(body) + body)

    def answered(self, s):
        """Leaves a client open once it has its reply, in the listener's
        quiet time after it, with bytes sent since; returns the console
        output it is due, all of it."""
        c = Client(s.port)
        self.addCleanup(c.sock.close)
        c.send(GET)
        self.assertEqual(c.reply(), REPLY)
        c.send(b"late")
        return announcement(c.port) + GET + b"late\n"

    def silent(self, s, count):
        """Opens count connections that send nothing, held by the listener;
        returns the last."""
        clients = [Client(s.port) for _ in range(count)]
        for c in clients:
            self.addCleanup(c.sock.close)
        wait_accepted(s.port)
        return clients[-1]

    def half_header(self, s):
        """Sends half a header block; returns the console output it is due
        (no newline follows a request cut by a stop), all shown."""
        c = Client(s.port)
        self.addCleanup(c.sock.close)
        c.send(b"GET /cut HTTP/1.1\r\nHost:")
        due = announcement(c.port) + b"GET /cut HTTP/1.1\r\nHost:"
        s.mark += len(due)
        s.out.wait(lambda d: len(d) >= s.mark, TIMEOUT, "the half header block")
        return due

    def stream_body(self, s):
        """Starts an upload that is still streaming in; returns the console
        output it is due, of which at least the first part has shown."""
        c = Client(s.port)
        self.addCleanup(c.sock.close)
        head, more = LENGTH % 10 ** 9, bytes(range(256)) * 4096
        c.send(head, BODY)
        due = announcement(c.port) + head + BODY
        s.mark += len(due)
        s.out.wait(lambda d: len(d) >= s.mark, TIMEOUT, "the first part")
        threading.Thread(target=send_quietly, args=(c.sock, more), daemon=True).start()
        s.out.wait(lambda d: len(d) > s.mark, TIMEOUT, "more of the body")
        return due + more


def send_quietly(sock, data):
    try:
        sock.sendall(data)
    except OSError:
        pass  # the listener has gone


def pipe_holds(fd):
    """How many bytes wait in a pipe."""
    return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, bytes(4)), "little")


def interrupt(pid, sig):
    """Sends sig and waits until it has been taken (no longer pending)."""
    os.kill(pid, sig)
    deadline = time.monotonic() + TIMEOUT
    while True:
        with open("/proc/%d/status" % pid) as f:
            pending = [line.split()[1] for line in f if line.startswith(("SigPnd", "ShdPnd"))]
        if all(int(mask, 16) == 0 for mask in pending) or time.monotonic() > deadline:
            return
        time.sleep(0.001)


def exchange_blind(test, port):
    with Client(port) as c:
        c.send(GET)
        test.assertEqual(c.reply(), REPLY)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


if __name__ == "__main__":
    unittest.main()
