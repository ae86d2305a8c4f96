"""Runs the 32-bit Windows build (PE32) under 32-bit Wine and checks it
against the Linux build: the same requests give the same console output,
ports aside, and a taken port fails start-up the same way.

    python3 tests/e2e/pe32.py BUILD-WIN-I686/quorvel.exe BUILD/quorvel

Needs Debian's wine32:i386 and a way to run i386 programs (here the kernel's
32-bit support is off: binfmt_misc hands them to qemu-i386-static). Starting
32-bit Wine that way takes about a minute, so this is a script of its own,
not part of the ctest suite; the two slow starts run side by side. Wine uses
WINEPREFIX, which must be a 64-bit prefix (its syswow64 holds the i386 DLLs);
it is made with wine64 if it does not exist.
"""

import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

os.environ.setdefault("QUORVEL_TIMEOUT_SCALE", "20")
os.environ.setdefault("WINEDEBUG", "-all")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import REPLY, TIMEOUT, Client, Server, wine_kept_up  # noqa: E402

WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"

# Raw requests, sent alike to both builds.
REQUESTS = [
    b"GET /pe32?q=1 HTTP/1.1\r\nHost: quorvel\r\nAccept: */*\r\n\r\n",
    b"POST /bytes HTTP/1.1\r\nHost: quorvel\r\nContent-Length: 12\r\n\r\n"
    b"a\0b\nc\rd\xff\xfe\0\r\n",
    b"POST /chunked HTTP/1.1\r\nHost: quorvel\r\nTransfer-Encoding: chunked\r\n\r\n"
    b"5\r\nhello\r\n3;x=y\r\n\0\xff\n\r\n0\r\nTrailer: t\r\n\r\n",
]


def step(text):
    print("pe32: %s (%.0f s)" % (text, time.monotonic() - START), flush=True)


def make_prefix():
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    if not os.path.isdir(os.path.join(prefix, "drive_c", "windows", "syswow64")):
        step("making the 64-bit Wine prefix " + prefix)
        subprocess.run([WINE64, "wineboot", "-i"], check=True, timeout=900,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    kernel32 = os.path.join(prefix, "drive_c", "windows", "syswow64", "kernel32.dll")
    if not os.path.exists(kernel32):
        sys.exit("pe32: %s has no i386 DLLs (is wine32:i386 installed?)" % prefix)


def serve(server):
    """Sends every request, checks each reply and console block; returns
    the console output."""
    check = unittest.TestCase()  # the harness reports through its assertions
    for request in REQUESTS:
        head, _, body = request.partition(b"\r\n\r\n")
        with Client(server.port) as c:
            # The body in a second segment, to be read in the body stage.
            c.send(head + b"\r\n\r\n", body, pause=0.2)
            check.assertEqual(c.reply(), REPLY)
            server.expect_block(check, c.port, request)
    # The last block ends once its client's close is seen; the PE32 build is
    # killed, not stopped, so its end is waited for here.
    server.mark
    return bytes(server.out.data)


def port_in_use(exe, results):
    with socket.socket() as holder:
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        s = Server("-l", str(holder.getsockname()[1]), wait_ready=False, launcher=[WINE32],
                   binary=exe)
        s.stderr_allowed = True
        results["exit"] = s.wait_exit()
        results["stderr"] = bytes(s.err.data).replace(b"\r\n", b"\n")
        results["stdout"] = bytes(s.out.data)


def normalise(output, server):
    """The console output with the ports that differ between runs taken out."""
    output = output.replace(b"Listening on port:%d\n" % server.port, b"Listening on port:P\n")
    return re.sub(rb"(A new connection 127\.0\.0\.1:)\d+\n", rb"\1C\n", output)


def main():
    exe, linux = sys.argv[1], sys.argv[2]
    make_prefix()
    with wine_kept_up([WINE64]):
        return run(exe, linux)


def run(exe, linux):
    failed = []

    step("starting the PE32 build twice: to serve, and on a port in use")
    refused = {}
    refusal = threading.Thread(target=port_in_use, args=(exe, refused))
    refusal.start()
    pe32 = Server("-l", "0", launcher=[WINE32], binary=exe)
    step("PE32 build listening on port %d" % pe32.port)
    linux_server = Server("-l", "0", launcher=[], binary=linux)
    outputs = {}
    for name, server in (("linux", linux_server), ("pe32", pe32)):
        try:
            output = serve(server)
        except AssertionError as e:
            failed.append("%s: %s" % (name, e))
            output = bytes(server.out.data)
        outputs[name] = normalise(output, server)
        if server is pe32:
            # 32-bit Wine under qemu ends at a SIGINT, which the harness's
            # stop sends to Wine, with a broken pipe to its server and
            # status 1: it is killed instead. (Wine's server may keep the
            # sockets of a program killed in a call; the keeper started that
            # server, so what it says of them as it ends goes nowhere.)
            server.proc.kill()
            server.proc.wait(TIMEOUT)
        server.stop()
    step("requests served")
    if outputs["linux"] != outputs["pe32"]:
        failed.append("console output differs:\nlinux %r\npe32  %r"
                      % (outputs["linux"][-600:], outputs["pe32"][-600:]))

    refusal.join(TIMEOUT)
    step("port-in-use start ended with status %r" % refused.get("exit"))
    if (refused.get("exit"), refused.get("stdout"), refused.get("stderr")) != (
            1, b"", b"bind() error: Address already in use\n"):
        failed.append("port in use: %r" % refused)
    print("pe32: bind failure reported as %r" % refused.get("stderr"))

    for line in failed:
        print("pe32: FAILED " + line)
    step("done: %s" % ("FAILED" if failed else "all checks passed"))
    return 1 if failed else 0


START = time.monotonic()
if __name__ == "__main__":
    sys.exit(main())
