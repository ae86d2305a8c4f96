#!/usr/bin/env python3
"""Runs a quorvel container image for real, as CI checks it.

    .ci/image.py IMAGE [--get-only]

Starts IMAGE with podman on a free loopback port, sends a GET and a POST
with curl from known local ports, and checks the replies and that
`podman stop` returns within 2 s and the container exited with 143
(SIGTERM); then that `podman logs` holds exactly the banner, the port line
and both console blocks. --get-only sends one GET and checks its reply
(for an image run under qemu). The podman options come from PODMAN_RUN.
"""

import os
import shlex
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from clients import curl  # noqa: E402
from harness import announcement, free_port, startup_output  # noqa: E402

PODMAN = ["podman", "--runtime", "runc"]
RUN = shlex.split(os.environ.get("PODMAN_RUN", "--network host"))


def podman(*args, check=True):
    done = subprocess.run(PODMAN + list(args), capture_output=True)
    if check and done.returncode != 0:
        sys.exit("image: podman %s failed: %r" % (" ".join(args), done.stderr))
    return done


def main():
    image, get_only = sys.argv[1], "--get-only" in sys.argv
    port = free_port()
    name = "quorvel-ci-%d" % os.getpid()
    podman("run", "-d", "--name", name, *RUN, image, "-l", str(port))
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    sys.exit("image: nothing listens on port %d" % port)
                time.sleep(0.1)
        requests = [()] if get_only else [(), ("-d", "name=value&ci=1")]
        sent = []
        for args in requests:
            local = free_port()
            body, bytes_sent = curl(port, "--local-port", str(local), *args)
            if body != b"You look good!":
                sys.exit("image: reply %r" % body)
            sent.append((local, bytes_sent))
        if get_only:
            print("image: %s answered a GET" % image)
            return 0
        began = time.monotonic()
        podman("stop", name)
        took = time.monotonic() - began
        code = podman("inspect", name, "--format", "{{.State.ExitCode}}").stdout.strip()
        if took >= 2.0 or code != b"143":
            sys.exit("image: podman stop took %.2f s, exit code %s" % (took, code.decode()))
        # Read once stopped: the last block ends when its connection is
        # closed, here by the stop.
        logs = podman("logs", name).stdout
        start = startup_output(port)
        if not logs.startswith(start):
            sys.exit("image: logs begin %r" % logs[:2000])
        rest = logs[len(start):]
        # The readiness probe shows as a connection closed before any request.
        probe_end = rest.index(b"socket close fd=")
        probe_end = rest.index(b"\n\n", probe_end) + 2
        expected = b"".join(announcement(local) + data + b"\n" for local, data in sent)
        if rest[probe_end:] != expected:
            sys.exit("image: logs end %r, expected %r" % (rest[probe_end:], expected))
        print("image: %s served a GET and a POST, logs exact; stopped in %.2f s with 143"
              % (image, took))
        return 0
    finally:
        podman("rm", "-f", name, check=False)


if __name__ == "__main__":
    sys.exit(main())
