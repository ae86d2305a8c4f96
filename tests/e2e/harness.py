"""Drives the real quorvel binary for the end-to-end tests.

The server runs as a child process with its standard output and error read
by background threads. Every wait has a deadline; a timeout fails with what
has arrived so far. QUORVEL_BIN names the binary (CTest sets it), and
QUORVEL_SERVER_BIN, when set, overrides it: another build, such as the
Windows one. QUORVEL_LAUNCHER is an optional command to run it under (wine),
and QUORVEL_TIMEOUT_SCALE stretches every deadline for slow launchers.
"""

import contextlib
import os
import pty
import random
import re
import shlex
import signal
import socket
import subprocess
import threading
import time
import tty
import unittest

BIN = os.environ.get("QUORVEL_SERVER_BIN") or os.environ.get("QUORVEL_BIN", "")
LAUNCHER = shlex.split(os.environ.get("QUORVEL_LAUNCHER", ""))
SCALE = float(os.environ.get("QUORVEL_TIMEOUT_SCALE", "1"))
WINE = any("wine" in os.path.basename(word) for word in LAUNCHER)
SANITIZED = os.environ.get("QUORVEL_SANITIZED", "OFF") not in ("", "0", "OFF")
TIMEOUT = 10.0 * SCALE
HERE = os.path.dirname(os.path.abspath(__file__))

RULE = b"=" * 43
REPLY = (b"HTTP/1.1 200 OK\r\n"
         b"Server: quorvel (Power by dellabrix)\r\n"
         b"Content-Type: text/html\r\n"
         b"Content-Length: 14\r\n"
         b"Connection: close\r\n"
         b"\r\n"
         b"You look good!")
# What standard error says, once a run, at the first preflight without --cors.
CORS_HINT = (b"A browser asked for cross-origin access (an OPTIONS preflight); "
             b"quorvel --cors grants it\n")
with open(os.path.join(HERE, "banner.txt"), "rb") as f:
    BANNER = f.read()
PORT_LINE = re.compile(rb"Listening on port:(\d+)\n\n")
ANNOUNCEMENT = re.compile(rb"=+\nA new connection 127\.0\.0\.1:(\d+)\n=+\n")


def startup_output(port):
    return BANNER + b"\n" + b"Listening on port:%d\n\n" % port


def announcement(client_port, host=b"127.0.0.1"):
    return RULE + b"\nA new connection %s:%d\n" % (host, client_port) + RULE + b"\n"


def free_port():
    """A port nobody holds (for tests that must name one), taken below the
    range the system hands out to clients: no client of a test running
    alongside can take it before the listener binds it."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        clients_from = int(f.read().split()[0])
    for _ in range(100):
        port = random.randrange(20000, max(clients_from, 20001))
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
            return port
    raise AssertionError("no free port below %d" % clients_from)


def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", port))
        except OSError:
            return False
        return True


def wait_accepted(port):
    """Waits until the listener on port has accepted every connection made
    to it so far: its accept queue, as /proc/net shows it, is empty."""
    deadline = time.monotonic() + TIMEOUT
    while True:
        queued = None
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(table) as f:
                for line in f.readlines()[1:]:
                    words = line.split()
                    if words[1].endswith(":%04X" % port) and words[3] == "0A":  # listening
                        queued = int(words[4].split(":")[1], 16)
        if queued == 0:
            return
        if time.monotonic() > deadline:
            raise AssertionError("%s connections still wait to be accepted" % queued)
        time.sleep(0.005)


def require(condition, why):
    """Skips a test whose tool is missing, unless CI demands every test."""
    if not condition:
        if os.environ.get("QUORVEL_REQUIRE_ALL"):
            raise AssertionError("required but missing: " + why)
        raise unittest.SkipTest(why)


class Stream:
    """Collects everything a pipe delivers, for waits with a deadline."""

    def __init__(self, pipe, pace=0.0):
        """pace: seconds to idle between reads of 4 KiB, a slow reader."""
        self.data = bytearray()
        self.closed = False
        self.about = lambda: ""  # said when a wait fails: what the writer became
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._pump, args=(pipe, pace), daemon=True)
        self.thread.start()

    def _pump(self, pipe, pace):
        fd = pipe.fileno()
        while True:
            if pace:
                time.sleep(pace)
            try:
                chunk = os.read(fd, 4096 if pace else 1 << 16)
            except OSError:  # a terminal's reading end, once the program has gone
                chunk = b""
            with self.cond:
                if not chunk:
                    self.closed = True
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def wait(self, predicate, timeout, what):
        """Waits until predicate(data) holds; returns the data. The data
        only grows (until trimmed), so slices of it stay valid."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate(self.data):
                left = deadline - time.monotonic()
                if left <= 0 or (self.closed and not predicate(self.data)):
                    raise AssertionError("timed out waiting for %s%s; got so far:\n%r"
                                         % (what, self.about(), bytes(self.data[-4000:])))
                self.cond.wait(min(left, 0.5))
            return self.data

    def trim(self, upto):
        """Forgets the first upto bytes, for long runs."""
        with self.cond:
            del self.data[:upto]


class FileStream(Stream):
    """Like Stream, for output that goes to a file: reads what the file
    holds each time it is asked, polling until the deadline."""

    def __init__(self, path):
        self.path = path
        self.data = bytearray()
        self.closed = False
        self.about = lambda: ""
        self.thread = threading.Thread(target=lambda: None)
        self.thread.start()

    def wait(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            with open(self.path, "rb") as f:
                self.data = bytearray(f.read())
            if predicate(self.data):
                return self.data
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for %s in %s%s"
                                     % (what, self.path, self.about()))
            time.sleep(0.02)


class Server:
    """One quorvel process. Use as a context manager; stopping it checks
    that nothing went to standard error unless the test allowed it."""

    def __init__(self, *args, wait_ready=True, launcher=None, binary=None, stdout=None,
                 nonblocking=False, pace=0.0, terminal=False, env=None, preexec_fn=None):
        """stdout: a file to send standard output to instead of the pipe;
        self.out then reads the file. nonblocking: the pipe's write end is
        handed over non-blocking; pace: its reader is slow (see Stream).
        terminal: standard output is a pseudo-terminal, raw, so that what
        the program writes arrives unchanged. env: variables to add to the
        program's environment. preexec_fn: run in the child before the
        program starts."""
        launcher = LAUNCHER if launcher is None else launcher
        cmd = launcher + [binary or BIN] + list(args)
        self.wine = any("wine" in os.path.basename(word) for word in launcher)
        write_end = subprocess.PIPE if stdout is None else stdout
        if nonblocking:
            read_end, write_end = os.pipe()
            os.set_blocking(write_end, False)
        elif terminal:
            read_end, write_end = pty.openpty()
            tty.setraw(write_end)
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     stdout=write_end, env=dict(os.environ, **(env or {})),
                                     preexec_fn=preexec_fn)
        if nonblocking or terminal:
            os.close(write_end)
            self.proc.stdout = os.fdopen(read_end, "rb", buffering=0)
        self.out = FileStream(stdout.name) if stdout else Stream(self.proc.stdout, pace)
        self.err = Stream(self.proc.stderr)
        self.out.about = lambda: " (exit status %r; stderr %r)" % (self.proc.poll(),
                                                                   bytes(self.err.data[-400:]))
        self.err.about = lambda: " (exit status %r)" % self.proc.poll()
        self._mark = 0  # how much of stdout the test has checked so far (see mark)
        self.owed = b""  # the end of the last block checked, still to come
        self.port = None
        self.stderr_allowed = False
        if wait_ready:
            data = self.out.wait(lambda d: PORT_LINE.search(d), TIMEOUT, "the port line")
            m = PORT_LINE.search(data)
            self.port = int(m.group(1))
            self.mark = m.end()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def mark(self):
        """How much of stdout the test has checked so far, the newline that
        ends the last block checked included (see expect_block)."""
        if self.owed:
            owed, self.owed = self.owed, b""
            end = self._mark + len(owed)
            data = self.out.wait(lambda d: len(d) >= end, TIMEOUT, "the end of the block")
            if bytes(data[self._mark:end]) != owed:
                raise AssertionError("the block ends in %r, not %r"
                                     % (bytes(data[self._mark:end + 40]), owed))
            self._mark = end
        return self._mark

    @mark.setter
    def mark(self, value):
        self.owed = b""
        self._mark = value

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        """Stops the program with SIGTERM, as a user or a container runtime
        would, and checks that it ended as asked: status 128 + 15. Under
        Wine, where a Windows program gets no such signal, with SIGINT,
        which Wine turns into a Ctrl-C: status 0xC000013A, of which a Linux
        parent sees the low byte. (Wine's own server may keep the sockets
        of a program killed in the middle of a call, and with them its
        port, until it ends itself.)"""
        running = self.proc.poll() is None
        if running:
            self.proc.send_signal(signal.SIGINT if self.wine else signal.SIGTERM)
        try:
            rc = self.wait_exit()
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        expected = 0x3A if self.wine else 143
        if running and rc != expected:
            raise AssertionError("exit status %r after the stop; stderr: %r"
                                 % (rc, bytes(self.err.data)))
        if running:
            self.mark  # the block left open ends as the listener stops
        if not self.stderr_allowed and self.err.data:
            raise AssertionError("server wrote to stderr: %r" % bytes(self.err.data))

    def wait_exit(self):
        rc = self.proc.wait(timeout=TIMEOUT)
        for stream, pipe in ((self.out, self.proc.stdout), (self.err, self.proc.stderr)):
            stream.thread.join(TIMEOUT)
            if pipe is not None:
                pipe.close()
        return rc

    def trim(self):
        """Drops the output checked so far (long runs keep memory flat)."""
        self.out.trim(self.mark)
        self.mark = 0

    def next_output(self, size, what="output"):
        """The next size bytes of stdout after what was already checked."""
        end = self.mark + size
        data = self.out.wait(lambda d: len(d) >= end, TIMEOUT, what)
        chunk = bytes(data[self.mark:end])
        self.mark = end
        return chunk

    def expect_block(self, test, client_port, echoed, closed_early=False):
        """Checks the next console block: announcement, echo, newline. With
        client_port None, any loopback peer port is accepted. closed_early:
        the header block never completed; what was echoed of it is followed
        by a newline (if anything was), "socket close fd=N" and the newline.
        A block that was answered ends once its client closes, another
        client speaks, or the connection's quiet time is up (what came
        meanwhile is shown in it): its newline is checked when the test next
        looks at stdout (mark). Returns the client's port."""
        start = self.mark
        if client_port is None:
            data = self.out.wait(lambda d: ANNOUNCEMENT.match(d, start), TIMEOUT, "announcement")
            client_port = int(ANNOUNCEMENT.match(data, start).group(1))
        echoed = echoed or b""
        if closed_early:
            echoed += (b"\n" if echoed else b"") + b"socket close fd="
        head = announcement(client_port) + echoed
        test.assertEqual(self.next_output(len(head), "connection block"), head)
        if closed_early:
            rest = self.out.wait(lambda d: d.find(b"\n", self.mark) >= 0, TIMEOUT, "fd")
            line_end = rest.index(b"\n", self.mark)
            test.assertRegex(rest[self.mark:line_end], rb"^\d+$")
            self.mark = line_end + 1
            test.assertEqual(self.next_output(1), b"\n")
        else:
            self.owed = b"\n"
        return client_port

    def expect_quiet(self, test):
        """Nothing printed beyond what was checked (call after a reply)."""
        test.assertEqual(bytes(self.out.data[self.mark:]), b"")


class ServerCase(unittest.TestCase):
    """Cases that share one listener, started for the class: each case also
    shows that the ones before it left the listener healthy."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server("-l", "0")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()


class Client:
    """A raw TCP client with a deadline on every receive."""

    def __init__(self, port, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.port = self.sock.getsockname()[1]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.sock.close()

    def send(self, *parts, pause=0.0):
        """Sends each part in its own write; a pause between parts keeps
        them in separate segments, the way a slow client's bytes arrive."""
        for i, part in enumerate(parts):
            if i and pause:
                time.sleep(pause)
            self.sock.sendall(part)

    def reply(self):
        """Everything the server sends until it closes."""
        data = bytearray()
        while True:
            chunk = self.sock.recv(65536)
            if not chunk:
                return bytes(data)
            data += chunk

    def reset(self):
        """Closes with a reset instead of an orderly close."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
        self.sock.close()


def exchange(test, server, *parts, pause=0.0, echoed=None, early=()):
    """Sends a request, checks the reply and the console block, after the
    blocks of early, ports of connections that closed without a byte."""
    with Client(server.port) as c:
        c.send(*parts, pause=pause)
        test.assertEqual(c.reply(), REPLY)
        for port in early:
            server.expect_block(test, port, b"", closed_early=True)
        server.expect_block(test, c.port, b"".join(parts) if echoed is None else echoed)


@contextlib.contextmanager
def wine_kept_up(launcher=None):
    """Keeps Wine up from run to run, started with no pipe of a Server's: the
    processes Wine starts with it hold on to its output, and would keep a
    Server's streams open for seconds after the program has gone (and its
    server writes there, as it ends, what a killed program left in it)."""
    launcher = LAUNCHER if launcher is None else launcher
    if not any("wine" in os.path.basename(word) for word in launcher):
        yield
        return
    keeper = subprocess.Popen(launcher + ["cmd", "/k", "echo up"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        Stream(keeper.stdout).wait(lambda d: b"up\r\n" in d, TIMEOUT, "Wine")
        yield
    finally:
        keeper.stdin.close()  # cmd ends at the end of its input
        try:
            keeper.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            keeper.kill()  # it is ours to end, and no test's result
            keeper.wait(TIMEOUT)
