"""The HTTP file server of the real daemon: files with their content types,
the CGI marker and the error pages byte for byte, confinement to the served
directory, and clients that misbehave or idle while others are served."""

import contextlib
import os
import shutil
import socket
import tempfile
import unittest

import mqttsn_client as sn
from halyx_harness import (TIMEOUT, Client, Daemon, DaemonTestCase, connack, connect, finish, listening_ports,
                           own_daemon)

PROMPT = 2.0  # bound for a reply that nothing but the daemon's own loop delays

OK = b"HTTP/1.1 200 OK\nServer: Quorvia Halyx\n"
ERRORS = {501: ("Not Implemented", "Quorvia Halyx does not implement this method"),
          404: ("Not found", "Error 404 - File not found"),
          403: ("Forbidden", "You are not allowed to access this resource")}
FILES = {"index.html": b"<html>home</html>\n", "style.css": b"body {}\n", "logo.png": bytes(range(256)) * 3,
         "pic.gif": b"GIF89a", "photo.jpg": b"\xff\xd8\xff", "data.bin": b"\x00raw", "page.html.txt": b"text"}


def page(code, cause):
    short, long = ERRORS[code]
    return (f"HTTP/1.1 {code} {short}\nContent-type: text/html\n\n<html><title>Quorvia Halyx Error</title><body>\n"
            f"{code}: {short}\n<p>{long}: {cause}</p>\n<hr><em>Quorvia Halyx</em>\n").encode()


def served(name, content_type, body=None):
    body = FILES[name] if body is None else body
    return OK + f"Content-length: {len(body)}\nContent-type: {content_type}\n\r\n".encode() + body


def read_all(sock):
    """Everything the daemon sends until it closes the connection."""
    data = b""
    with contextlib.suppress(ConnectionResetError):
        while chunk := sock.recv(65536):
            data += chunk
    return data


class HttpServer(DaemonTestCase):
    def setUp(self):
        base = tempfile.mkdtemp(prefix="halyx-www-")
        self.addCleanup(shutil.rmtree, base, ignore_errors=True)
        self.files = os.path.join(base, "www")
        os.makedirs(os.path.join(self.files, "cgi-bin"))
        os.mkdir(os.path.join(self.files, "sub"))
        # A secret beside the served directory, which no request may reach.
        for path, body in {**FILES, "../secret.txt": b"secret", "cgi-bin/run": b"", "cgi-bin/plain": b""}.items():
            with open(os.path.join(self.files, path), "wb") as f:
                f.write(body)
        os.chmod(os.path.join(self.files, "cgi-bin/run"), 0o744)
        self.daemon = Daemon(http_files=self.files).start()

    def connect(self):
        sock = socket.create_connection(("127.0.0.1", self.daemon.http_port), timeout=TIMEOUT)
        self.addCleanup(sock.close)
        return sock

    def get(self, data, sock=None):
        sock = sock or self.connect()
        with contextlib.suppress(BrokenPipeError, ConnectionResetError):  # the daemon may close early
            sock.sendall(data)
        return read_all(sock)

    def test_responses(self):
        long_name = "/" + "a" * 1000  # with the directory, past the 1023 bytes a file name may have
        for request, expected in (
                (b"GET / HTTP/1.1\r\nHost: halyx\r\n\r\n", served("index.html", "text/html")),
                (b"get /style.css HTTP/1.0\r\n\r\n", served("style.css", "text/css; charset=utf-8")),
                (b"GET /logo.png HTTP/1.0\n", served("logo.png", "image/png")),
                (b"GET /pic.gif HTTP/1.0\n", served("pic.gif", "image/gif")),
                (b"GET /photo.jpg HTTP/1.0\n", served("photo.jpg", "image/jpg")),
                (b"GET /data.bin HTTP/1.0\n", served("data.bin", "text/plain")),
                (b"GET /page.html.txt HTTP/1.0\n", served("page.html.txt", "text/html")),
                (b"GET /cgi-bin/run?a=1 HTTP/1.0\r\n\r\n", OK),
                (b"GET /cgi-bin/plain?a=1 HTTP/1.0\r\n\r\n", page(403, "/cgi-bin/plain")),
                (b"GET /cgi-bin/none HTTP/1.0\r\n\r\n", page(404, "/cgi-bin/none")),
                (b"POST /x HTTP/1.1\r\n\r\n", page(501, "POST")),
                (b"GET /missing.html HTTP/1.1\r\n\r\n", page(404, "/missing.html")),
                (b"GET /sub/ HTTP/1.0\r\n\r\n", page(404, "/sub/")),
                (b"GET /sub HTTP/1.0\r\n\r\n", page(403, "/sub")),
                (b'GET /<i>&" HTTP/1.0\r\n\r\n', page(404, "/&lt;i&gt;&amp;&quot;")),
                (f"GET /{'a' * 1000} HTTP/1.0\r\n\r\n".encode(), page(404, long_name[:1023 - len(page(404, ""))]))):
            with self.subTest(request[:40]):
                self.assertEqual(self.get(request), expected)

    def test_hub_settings_from_the_configuration_unless_a_file_stands_there(self):
        body = f'{{"mqtt_ws_port": {self.daemon.ws_port}, "mqtt_ws_tls_port": 0}}\n'.encode()
        generated = OK + (f"Content-length: {len(body)}\nContent-type: application/json\nCache-Control: no-store"
                          "\n\r\n").encode() + body
        self.assertEqual(self.get(b"GET /halyx.json HTTP/1.0\r\n\r\n"), generated)
        self.assertEqual(self.get(b"GET /sub/halyx.json HTTP/1.0\r\n\r\n"), page(404, "/sub/halyx.json"))
        with open(os.path.join(self.files, "halyx.json"), "wb") as f:
            f.write(b'{"mqtt_ws_port": 1}')
        self.assertEqual(self.get(b"GET /halyx.json HTTP/1.0\r\n\r\n"),
                         served("halyx.json", "text/plain", b'{"mqtt_ws_port": 1}'))

    def test_large_file_arrives_whole(self):
        body = os.urandom(300 * 1024)
        with open(os.path.join(self.files, "big.bin"), "wb") as f:
            f.write(body)
        self.assertEqual(self.get(b"GET /big.bin HTTP/1.0\r\n\r\n"), served("big.bin", "text/plain", body))

    def test_nothing_outside_the_directory(self):
        # Links that lead out of it, and links within it (the directory
        # itself is reached through one, see Daemon).
        real = os.path.realpath(self.files)
        os.mkdir(real + "2")  # a directory whose name starts with the served one's
        with open(real + "2/x.txt", "w") as f:
            f.write("x")
        links = {"out.txt": os.path.dirname(real) + "/secret.txt", "etc": "/etc", "cgi-bin/sh": "/bin/sh",
                 "twin": real + "2", "sub/up": "..", "alias.css": "style.css", "inner": "sub/../cgi-bin"}
        for name, target in links.items():
            os.symlink(target, os.path.join(self.files, name))
        for uri in ("/../secret.txt", "/%2e%2e/secret.txt", "/%2E./secret.txt", "/.%2e/secret.txt", "/..",
                    "/sub/../../secret.txt", "/..%2fsecret.txt", "/cgi-bin/../../secret.txt?a", "secret.txt",
                    "/out.txt", "/etc/passwd", "/etc", "/cgi-bin/sh", "/twin/x.txt"):
            with self.subTest(uri):
                self.assertEqual(self.get(f"GET {uri} HTTP/1.0\r\n\r\n".encode()), page(403, uri))
        for uri, expected in (("/alias.css", served("style.css", "text/css; charset=utf-8")),
                              ("/sub/up/data.bin", served("data.bin", "text/plain")),
                              ("/inner/plain", served("plain", "text/plain", b"")),
                              ("/etc/no-such-file", page(404, "/etc/no-such-file"))):
            with self.subTest(uri):
                self.assertEqual(self.get(f"GET {uri} HTTP/1.0\r\n\r\n".encode()), expected)

    def test_bad_requests_are_closed_without_reply_and_the_server_goes_on(self):
        for request in (b"\x00\xff\x16 junk\n", b"GET /\r\n\r\n", b"\r\n", b"x" * 1100):
            with self.subTest(request[:20]):
                self.assertEqual(self.get(request), b"")
        self.assertEqual(self.get(b"GET / HTTP/1.0\r\n\r\n"), served("index.html", "text/html"))

    def test_idle_clients_block_nobody_and_are_closed_and_a_request_line_may_come_in_pieces(self):
        idle, partial, pieces = self.connect(), self.connect(), self.connect()
        partial.sendall(b"GET / HTTP/1.0")
        pieces.sendall(b"GET /sty")
        self.assertEqual(self.get(b"GET /data.bin HTTP/1.0\r\n\r\n"), served("data.bin", "text/plain"))
        self.assertEqual(self.get(b"le.css HTTP/1.0\r\n\r\n", pieces), served("style.css", "text/css; charset=utf-8"))
        # Both are closed once they have had 10 s for their request line.
        self.assertEqual(read_all(idle), b"")
        self.assertEqual(read_all(partial), b"")

    def test_relative_directory_is_below_the_start_directory_and_the_port_takes_its_low_16_bits(self):
        other = own_daemon(self, http_files=self.files)
        with open(other.conf_path, "a") as f:  # the later lines win
            f.write(f"http_files_path = www\nhttp_port = {3 * 65536 + other.http_port}\n")
        cwd = os.getcwd()
        os.chdir(other.dir)
        try:
            other.start()
        finally:
            os.chdir(cwd)
        with socket.create_connection(("127.0.0.1", other.http_port), timeout=TIMEOUT) as sock:
            self.assertEqual(self.get(b"GET /data.bin HTTP/1.0\n", sock), served("data.bin", "text/plain"))
        # A listener for each port, the HTTP one on every address.
        self.assertEqual(listening_ports(other.pid), {other.mqtt_port, other.ws_port, other.http_port})
        self.assertRegex(other.log(), rf"debug HTTP: \w*: 0\.0\.0\.0:{other.http_port}\n")
        self.assertTrue(finish(other, False))

    def test_bind_address_is_the_only_address_served(self):
        bound = own_daemon(self, http_files=self.files, conf="bind_address = 127.0.0.2\n")
        bound.start(wait_ready=False)  # the daemon has opened its listeners once this returns

        def ask(host, port, kind, request):
            with socket.socket(socket.AF_INET, kind) as sock:
                sock.settimeout(TIMEOUT)
                sock.connect((host, port))  # connected, so a refused datagram is reported too
                sock.sendall(request)
                return read_all(sock) if port == bound.http_port else sock.recv(64)

        http = (bound.http_port, socket.SOCK_STREAM, b"GET /data.bin HTTP/1.0\n", served("data.bin", "text/plain"))
        for name, port, kind, request, answer in (
                ("MQTT", bound.mqtt_port, socket.SOCK_STREAM, connect("c"), connack(0)), ("HTTP", *http),
                ("MQTT-SN", bound.mqttsn_port, socket.SOCK_DGRAM, sn.connect("n"), sn.message(sn.CONNACK, [0]))):
            with self.subTest(name):
                self.assertEqual(ask("127.0.0.2", port, kind, request), answer)
                self.assertRaises(ConnectionRefusedError, ask, "127.0.0.1", port, kind, request)
        self.assertIn(f"debug HTTP: lo: 127.0.0.2:{bound.http_port}\n", bound.log())
        self.assertTrue(finish(bound, False))

    def test_idle_connections_leave_descriptors_for_mqtt(self):
        # Without its own bound, HTTP would take every descriptor.
        crowded = own_daemon(self, http_files=self.files, conf="http_max_connections = 1000\n", nofile=128).start()
        idle = []
        for _ in range(150):  # each is accepted, or refused and closed at once
            idle.append(socket.create_connection(("127.0.0.1", crowded.http_port), timeout=TIMEOUT))
            self.addCleanup(idle[-1].close)
        client = Client(crowded.mqtt_port)
        self.addCleanup(client.sock.close)
        client.send(connect("c"))
        self.assertEqual(client.read_packet(PROMPT), connack(0), "CONNACK while HTTP is full")
        self.assertEqual(read_all(idle[-1]), b"", "refused past the reserve")
        # The start-up probe's close may end an episode early.
        self.assertIn(crowded.log().count("kept for MQTT"), (1, 2), "the bound logged once per episode")
        self.assertTrue(finish(crowded, False))


if __name__ == "__main__":
    unittest.main(verbosity=2)
