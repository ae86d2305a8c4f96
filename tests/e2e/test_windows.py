"""The Windows build under Wine: Ctrl-C while a request streams in, text on
a console whatever its code page, and a start-up failure in a console of
its own. Skipped unless the program runs under Wine."""

import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from harness import (BIN, LAUNCHER, TIMEOUT, WINE, Client, Server, announcement, free_port,
                     require, wait_accepted)

CONTROL_C_EXIT = -1073741510  # STATUS_CONTROL_C_EXIT, 0xC000013A, as cmd shows it
PROMPT = "Press any key to close this window."
CHUNK = bytes(range(256)) * 256  # 64 KiB
LENGTH = 64 << 20
HEAD = b"POST /up HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % LENGTH
STATUS = re.compile(rb"status (-?\d+)")


def windows_only():
    if not WINE:
        raise unittest.SkipTest("the Windows build under Wine")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")  # Wine's Z: is the root


def wait_for(poll, what):
    """poll()'s first true value, polled until the deadline."""
    deadline = time.monotonic() + TIMEOUT
    while True:
        value = poll()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


def received(path):
    """(pid, bytes) that the preloaded counter wrote, or None yet."""
    try:
        with open(path) as f:
            pid, total = f.read().split()
        return int(pid), int(total)
    except (OSError, ValueError):
        return None


class CtrlC(unittest.TestCase):
    RUNS = 5

    def test_ctrl_c_writes_out_every_byte_received(self):
        # The request streams in; standard output is a file, slow to take
        # each write, so that received bytes are mostly still in the console
        # buffer when the Ctrl-C comes (not always: several runs). Wine turns
        # SIGINT into a CTRL_C_EVENT; cmd, the Windows parent, shows the
        # exit status.
        windows_only()
        lib = os.environ.get("QUORVEL_RECV_COUNT_LIB")
        require(lib, "recv_count is built by the native build only")
        with tempfile.TemporaryDirectory(prefix="quorvel-ctrl-c-") as tmp:
            bat = os.path.join(tmp, "run.bat")
            with open(bat, "w") as f:
                f.write("@%*\r\n@echo status %ERRORLEVEL% 1>&2\r\n")
            runs = [self.ctrl_c(lib, tmp, bat) for _ in range(self.RUNS)]
        self.assertEqual(runs, [(CONTROL_C_EXIT, 0)] * self.RUNS,
                         "each run's exit status and bytes received but not shown")

    def test_ctrl_c_while_waiting_ends_at_once(self):
        # The main thread, waiting for a client, with more silent
        # connections held than one wait of Windows takes handles (64), is
        # woken at once, well before the handler's own deadline (1.2 s)
        # would end the process. A Linux parent sees the status's low byte.
        windows_only()
        with Server("-l", "0") as s:
            silent = [Client(s.port) for _ in range(70)]
            for c in silent:
                self.addCleanup(c.sock.close)
            wait_accepted(s.port)
            start = time.monotonic()
            os.kill(s.proc.pid, signal.SIGINT)
            self.assertEqual(s.wait_exit(), CONTROL_C_EXIT & 0xFF)
            self.assertLess(time.monotonic() - start, 0.8)

    def test_ctrl_c_while_a_reply_waits_for_its_reader(self):
        # A large reply to a client that does not read it: the send waits,
        # and Ctrl-C still ends the program at once, what the client sent
        # taken without waiting.
        windows_only()
        lib = os.environ.get("QUORVEL_RECV_COUNT_LIB")
        require(lib, "recv_count is built by the native build only")
        with tempfile.NamedTemporaryFile(prefix="quorvel-body-") as body:
            body.write(b"b" * (16 << 20))
            body.flush()
            port = free_port()
            full = body.name + ".full"
            self.addCleanup(lambda: os.path.exists(full) and os.remove(full))
            env = {"LD_PRELOAD": lib, "QUORVEL_RECV_PORT": str(port), "QUORVEL_SEND_FULL": full}
            with Server("-l", str(port), "--body", "@" + body.name, env=env) as s, \
                    Client(s.port) as c:
                c.send(b"GET / HTTP/1.1\r\n\r\n")
                wait_for(lambda: os.path.exists(full), "a send that waits")
                start = time.monotonic()
                os.kill(s.proc.pid, signal.SIGINT)
                self.assertEqual(s.wait_exit(), CONTROL_C_EXIT & 0xFF)
                self.assertLess(time.monotonic() - start, 0.8)

    def ctrl_c(self, lib, tmp, bat):
        port = free_port()
        counted = os.path.join(tmp, "received-%d" % port)
        with open(os.path.join(tmp, "out-%d" % port), "wb") as out:
            env = {"LD_PRELOAD": lib, "QUORVEL_RECV_PORT": str(port), "QUORVEL_RECV_FILE": counted,
                   "QUORVEL_SLOW_OUTPUT": out.name, "WINEDEBUG": "-all"}
            s = Server("-l", str(port), stdout=out, env=env, binary=windows_path(BIN),
                       launcher=LAUNCHER + ["cmd", "/c", windows_path(bat)])
        pid = status = None
        try:
            with s, Client(s.port) as c:
                s.stderr_allowed = True
                c.send(HEAD)
                threading.Thread(target=feed, args=(c.sock,), daemon=True).start()
                pid = wait_for(lambda: streaming(counted), "a mebibyte received")
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    self.assertIn(b"quorvel.exe", f.read(), "counted in another process")
                os.kill(pid, signal.SIGINT)
                err = s.err.wait(lambda d: STATUS.search(d), TIMEOUT, "the exit status")
                status = int(STATUS.search(err).group(1))
                s.wait_exit()  # cmd ends by itself; a Ctrl-C as it ends may kill it
        finally:
            if status is None and pid is not None:
                os.kill(pid, signal.SIGKILL)  # Wine detaches it from cmd: nothing else ends it
        with open(out.name, "rb") as f:
            shown = f.read()[s.mark:]
        head = announcement(c.port) + HEAD
        self.assertEqual(shown[:len(head)], head)
        body = shown[len(head):]
        self.assertTrue(body == (CHUNK * (len(body) // len(CHUNK) + 1))[:len(body)],
                        "the body shown is not what was sent")
        return status, received(counted)[1] - len(HEAD) - len(body)


def streaming(path):
    """The receiving process's id once a mebibyte has come."""
    got = received(path)
    return got[0] if got and got[1] >= 1 << 20 else None


def feed(sock):
    """Sends the body until it is all sent or the program has gone."""
    try:
        for _ in range(LENGTH // len(CHUNK)):
            sock.sendall(CHUNK)
    except OSError:
        pass


class Tmux:
    """A private tmux server running one command in a window of its own,
    whose screen is read as text."""

    made = 0

    def __init__(self, command, env=None):
        Tmux.made += 1
        self.name = "quorvel-%d-%d" % (os.getpid(), Tmux.made)
        self.env = dict(os.environ, WINEDEBUG="-all", **(env or {}))
        self.tmux("new-session", "-d", "-x", "200", "-y", "50", command)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        subprocess.run(["tmux", "-L", self.name, "kill-server"], capture_output=True,
                       timeout=TIMEOUT)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.name, "-f", "/dev/null", "-u"] + list(args),
                              env=self.env, capture_output=True, check=True,
                              timeout=TIMEOUT).stdout.decode()

    def wait(self, predicate, what):
        """The screen, once predicate(screen) holds."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            screen = self.tmux("capture-pane", "-p")
            if predicate(screen):
                return screen
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for %s; the screen:\n%s" % (what, screen))
            time.sleep(0.05)


def under_tmux():
    windows_only()
    require(shutil.which("tmux"), "tmux is not installed (Debian: tmux)")


class ConsoleText(unittest.TestCase):
    def test_utf8_shows_as_its_characters_whatever_the_code_page(self):
        # Wine takes the console's code page from the locale: German, 850.
        # The euro sign, which 850 lacks, also comes split in two receives.
        under_tmux()
        require(shutil.which("localedef") and os.path.isdir("/usr/share/i18n/locales"),
                "no locale sources to build de_DE.UTF-8 from (Debian: locales)")
        with tempfile.TemporaryDirectory(prefix="quorvel-locale-") as locales:
            subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8",
                            os.path.join(locales, "de_DE.UTF-8")], check=True, timeout=TIMEOUT)
            with Tmux(shlex.join(LAUNCHER + [BIN, "-l", "0"]) + '; echo "status $?"; exec cat',
                      {"LOCPATH": locales, "LC_ALL": "de_DE.UTF-8"}) as t:
                port_line = re.compile(r"Listening on port:(\d+)")
                port = int(port_line.search(t.wait(port_line.search, "the port line")).group(1))
                with Client(port) as c:
                    c.send(b"GET /caf\xc3\xa9 HTTP/1.1\r\nX-Text: \xc3\xb3 \xe2\x82\xac \xff "
                           b"\x1b[2J\r\nX-Split: \xe2\x82")
                    t.wait(lambda screen: "X-Split:" in screen, "the first part")
                    c.send(b"\xac\r\n\r\n")
                    c.reply()
                # A character cut short by Ctrl-C, at the very end of the
                # output, shows as U+FFFD too.
                with Client(port) as last:
                    last.send(b"GET /last HTTP/1.1\r\nX-Cut: \xe2\x82")
                    t.wait(lambda screen: "X-Cut:" in screen, "the last request")
                    t.tmux("send-keys", "C-c")
                    screen = t.wait(lambda screen: "status " in screen, "the exit")
        lines = [line.rstrip(" ") for line in screen.splitlines()]
        at = lines.index("A new connection 127.0.0.1:%d" % c.port) + 2
        self.assertEqual(lines[at:at + 3], ["GET /café HTTP/1.1", "X-Text: ó € \ufffd ^[[2J",
                                            "X-Split: €"])
        cut = [line for line in lines if line.startswith("X-Cut: ")]  # then the ^C the tty echoes
        self.assertEqual(len(cut), 1, lines)
        self.assertIn("\ufffd", cut[0])


class Copy(unittest.TestCase):
    def test_other_programs_read_the_copy_while_it_grows(self):
        # The file of -o is shared: a Windows program (cmd's copy, which
        # asks to read it while others write) reads it while the listener
        # holds it open.
        windows_only()
        with tempfile.TemporaryDirectory(prefix="quorvel-copy-") as tmp:
            path, copied = os.path.join(tmp, "requests.txt"), os.path.join(tmp, "copied.txt")
            with Server("-l", "0", "-o", path) as s:
                done = subprocess.run(LAUNCHER + ["cmd", "/c", "copy", windows_path(path),
                                                  windows_path(copied)],
                                      capture_output=True, timeout=TIMEOUT)
                self.assertTrue(os.path.exists(copied), done.stdout + done.stderr)
                with open(copied, "rb") as f:
                    self.assertEqual(f.read(), bytes(s.out.data[:s.mark]))


class Reply(unittest.TestCase):
    def test_status_and_a_body_file_of_any_name(self):
        # --body @FILE opens the file by the name the system has in UTF-16,
        # as -o does, and sends its bytes as they are.
        windows_only()
        body = b"\0binary\r\n\xff caf\xc3\xa9"
        with tempfile.TemporaryDirectory(prefix="quorvel-body-") as tmp:
            path = os.path.join(tmp, "r\u00e9ponse \u65e5\u672c.bin")
            with open(path, "wb") as f:
                f.write(body)
            with Server("-l", "0", "-s", "503", "--body", "@" + path) as s, Client(s.port) as c:
                s.stderr_allowed = True
                c.send(b"GET / HTTP/1.1\r\n\r\n")
                self.assertEqual(c.reply(), b"HTTP/1.1 503 Service Unavailable\r\n"
                                 b"Server: quorvel (Power by dellabrix)\r\n"
                                 b"Content-Type: text/html\r\nContent-Length: %d\r\n"
                                 b"Connection: close\r\n\r\n" % len(body) + body)
                s.err.wait(lambda d: d.endswith(b"\n"), TIMEOUT, "what went back")
                self.assertEqual(bytes(s.err.data).replace(b"\r\n", b"\n"),
                                 b"127.0.0.1:%d answered 503 Service Unavailable after 0 ms\n"
                                 % c.port)
        # --body TEXT is the text as UTF-8, whatever the code page.
        text = "caf\u00e9 \u65e5\u672c \u2713"
        with Server("-l", "0", "--body", text) as s, Client(s.port) as c:
            c.send(b"GET / HTTP/1.1\r\n\r\n")
            self.assertTrue(c.reply().endswith(b"\r\n\r\n" + text.encode()))


class OwnConsole(unittest.TestCase):
    def test_start_up_failure_waits_for_a_key_when_alone_in_its_console(self):
        # With standard input not the console, nobody could press a key.
        # cat keeps the window, and what it shows, once the program has gone.
        under_tmux()
        with socket.socket() as holder:
            holder.bind(("0.0.0.0", 0))
            holder.listen(1)
            command = shlex.join(LAUNCHER + [BIN, "-l", str(holder.getsockname()[1])])
            from_cmd = shlex.join(LAUNCHER + ["cmd", "/c", windows_path(BIN), "-l",
                                              str(holder.getsockname()[1])])
            for label, run, waits in (("input from the console", command, True),
                                      ("input from /dev/null", command + " </dev/null", False),
                                      ("errors to a file", command + " 2>/dev/null", False),
                                      ("not alone: started from cmd", from_cmd, False)):
                with self.subTest(label), Tmux(run + '; echo "status $?"; exec cat') as t:
                    screen = t.wait(lambda s: PROMPT in s or "status " in s, "prompt or exit")
                    self.assertEqual(PROMPT in screen, waits, "the prompt; the screen:\n" + screen)
                    if waits:
                        self.assertIn("bind() error: Address already in use\n", screen)
                        t.tmux("send-keys", "x")
                        screen = t.wait(lambda s: "status " in s, "the exit after a key")
                    self.assertRegex(screen, r"(^|\n)status 1\n")


if __name__ == "__main__":
    unittest.main()
