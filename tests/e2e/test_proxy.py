"""A real gateway in front: nginx proxies curl's requests to the listener."""

import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from clients import curl
from harness import ANNOUNCEMENT, TIMEOUT, Server, free_port, require

CONF = """
master_process off;
daemon off;
worker_processes 1;
error_log {dir}/error.log;
pid {dir}/nginx.pid;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
        listen 127.0.0.1:{port};
        location / {{ proxy_pass http://127.0.0.1:{upstream}; }}
    }}
}}
"""


def wait_listening(port):
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise AssertionError("nginx never listened on %d" % port)
            time.sleep(0.02)


class BehindNginx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require(shutil.which("nginx") or os.path.exists("/usr/sbin/nginx"),
                "nginx is not installed (Debian: nginx-light)")
        cls.server = Server("-l", "0")
        cls.dir = tempfile.TemporaryDirectory()
        cls.port = free_port()
        conf = os.path.join(cls.dir.name, "nginx.conf")
        with open(conf, "w") as f:
            f.write(CONF.format(dir=cls.dir.name, port=cls.port, upstream=cls.server.port))
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        cls.nginx = subprocess.Popen([nginx, "-c", conf, "-p", cls.dir.name],
                                     stdin=subprocess.DEVNULL)
        wait_listening(cls.port)

    @classmethod
    def tearDownClass(cls):
        cls.nginx.kill()
        cls.nginx.wait(TIMEOUT)
        cls.server.stop()
        cls.dir.cleanup()

    def through_proxy(self, method_line, body, *args, stdin=None):
        reply, _ = curl(self.port, *args, stdin=stdin)
        self.assertEqual(reply, b"You look good!")
        data = self.server.out.wait(lambda d: d.endswith(b"\r\n\r\n" + body + b"\n"), TIMEOUT,
                                    "echo")
        m = ANNOUNCEMENT.match(data, self.server.mark)
        self.assertIsNotNone(m, bytes(data[self.server.mark:]))
        head, _, rest = bytes(data[m.end():-1]).partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(method_line + b"\r\n"), head)
        self.assertIn(b"\r\nConnection: close", head)
        self.assertEqual(rest, body)
        self.server.mark = len(data)
        return head

    def test_get(self):
        self.through_proxy(b"GET /curl HTTP/1.0", b"")

    def test_post(self):
        head = self.through_proxy(b"POST /curl HTTP/1.0", b"a=1&b=2", "-d", "a=1&b=2")
        self.assertIn(b"\r\nContent-Length: 7", head)

    def test_chunked_upload_arrives_with_a_length(self):
        data = b"streamed through the gateway\n" * 100
        head = self.through_proxy(b"PUT /curl HTTP/1.0", data, "-T", "-", stdin=data)
        self.assertIn(b"\r\nContent-Length: %d" % len(data), head)


if __name__ == "__main__":
    unittest.main()
