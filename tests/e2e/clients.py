"""Real HTTP clients, each reporting the exact bytes it put on the wire."""

import http.client
import os
import shutil
import subprocess
import tempfile

from harness import TIMEOUT


def curl(port, *args, stdin=None):
    """Runs curl against the server. Returns (reply body, bytes sent), the
    bytes read back from curl's own trace of what it sent."""
    with tempfile.TemporaryDirectory() as tmp:
        trace = os.path.join(tmp, "trace")
        cmd = ["curl", "-sS", "--max-time", str(int(TIMEOUT)), "--trace", trace,
               *args, "http://127.0.0.1:%d/curl" % port]
        done = subprocess.run(cmd, input=stdin, capture_output=True, timeout=TIMEOUT * 2)
        if done.returncode != 0:
            raise AssertionError("curl failed: %r" % done.stderr)
        with open(trace, "rb") as f:
            return done.stdout, sent_in_trace(f.read())


def sent_in_trace(trace):
    """The bytes of every "=> Send" section of a curl --trace file."""
    sent = bytearray()
    sending = False
    for line in trace.split(b"\n"):
        if line.startswith(b"=>") or line.startswith(b"<=") or line.startswith(b"=="):
            sending = line.startswith(b"=> Send")
        elif sending and len(line) > 6 and line[4:6] == b": ":
            sent += bytes.fromhex(line[6:6 + 48].decode())
    return bytes(sent)


class RecordingConnection(http.client.HTTPConnection):
    """http.client's connection, keeping a copy of everything it sends."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.sent = bytearray()

    def send(self, data):
        self.sent += data
        super().send(data)


def python_request(port, method, path, body=None, headers=None):
    """Returns (status, reply body, bytes sent, local port)."""
    conn = RecordingConnection("127.0.0.1", port, timeout=TIMEOUT)
    conn.connect()
    local_port = conn.sock.getsockname()[1]
    conn.request(method, path, body=body, headers=headers or {})
    resp = conn.getresponse()
    data = resp.read()
    conn.close()
    return resp.status, data, bytes(conn.sent), local_port


def node_available():
    return shutil.which("node") is not None


def node(script, *args):
    """Runs a Node.js script; returns its standard output."""
    done = subprocess.run(["node", "-e", script, "--", *map(str, args)], capture_output=True,
                          timeout=TIMEOUT * 2)
    if done.returncode != 0:
        raise AssertionError("node failed: %r" % done.stderr)
    return done.stdout
