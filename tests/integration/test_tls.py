"""MQTT and the dashboard over TLS against real peers: Debian's mosquitto
clients, Python's ssl module, certificates made per daemon with openssl
(MQTT.js over wss:// is in test_websocket.js). Hostile clients on the TLS
ports must hold up nobody."""

import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import unittest
import urllib.request

from halyx_harness import (TIMEOUT, BrokerTestCase, Client, Daemon, connack, connect, finish, free_port,
                           listening_ports, own_daemon)

PAGE = b"<html>served over TLS</html>\n"
# More than the sockets hold: the server writes it in parts as it is read.
LARGE = bytes(range(256)) * 8192


def mosquitto(tool, port, cert, *args, client=None):
    """mosquitto_pub or mosquitto_sub over TLS at MQTT 3.1.1; `client` names
    the certificate it presents (none by default)."""
    command = [tool, "-h", "127.0.0.1", "-p", str(port), "-V", "mqttv311", "-i", tool, "--cafile", cert("ca.crt"),
               *args]
    if client:
        command += ["--cert", cert(client + ".crt"), "--key", cert(client + ".key")]
    return subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)


def context(cert, client=None):
    ctx = ssl.create_default_context(cafile=cert("ca.crt"))
    if client:
        ctx.load_cert_chain(cert(client + ".crt"), cert(client + ".key"))
    return ctx


def https_get(daemon, path, client=None):
    url = f"https://localhost:{daemon.https_port}{path}"
    with urllib.request.urlopen(url, context=context(daemon.cert, client), timeout=TIMEOUT) as response:
        return response.read()


def slow_connect(port, ctx, pause=0.002):
    """Handshakes sending one byte at a time, then sends a CONNECT over the
    session; returns the first packet received."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing, server_hostname="localhost")

    def flush():
        for byte in outgoing.read():
            sock.sendall(bytes([byte]))
            threading.Event().wait(pause)

    def step(action):
        while True:
            try:
                return action()
            except ssl.SSLWantReadError:
                flush()
                data = sock.recv(65536)
                if not data:
                    return b""
                incoming.write(data)

    with sock:
        step(tls.do_handshake)
        tls.write(connect("slow"))
        flush()
        return step(lambda: tls.read(4))


class TlsTest(BrokerTestCase):
    tls = {}

    def setUp(self):
        www = tempfile.mkdtemp(prefix="halyx-www-")
        self.addCleanup(shutil.rmtree, www)
        for name, content in (("index.html", PAGE), ("large.bin", LARGE)):
            with open(os.path.join(www, name), "wb") as f:
                f.write(content)
        self.daemon = Daemon(http_files=www, tls=dict(self.tls))
        # The authority's path is known once the certificates exist.
        with open(self.daemon.conf_path, "a") as f:
            f.write(f"tls_ca_file = {self.daemon.cert('ca.crt')}\n")
        self.daemon.start()


class TlsPeers(TlsTest):
    def test_clients_over_tls_meet_plain_ones_and_hostile_ones_hold_up_nobody(self):
        d = self.daemon
        plain = self.subscribed("plain", [("t/#", 0)])
        # With an authority configured but not required, a certificate is
        # checked when one is presented.
        for client in (None, "client"):
            with self.subTest(client=client):
                result = mosquitto("mosquitto_pub", d.tls_port, d.cert, "-t", "t/in", "-m", str(client), client=client)
                self.assertEqual(result.returncode, 0, result.stderr)
                plain.expect_publish("t/in", str(client).encode())
        self.published(plain, "t/out", b"retained", retain=True)
        result = mosquitto("mosquitto_sub", d.tls_port, d.cert, "-t", "t/out", "-C", "1", "-W", str(int(TIMEOUT)))
        self.assertEqual((result.returncode, result.stdout), (0, "retained\n"), result.stderr)
        self.assertEqual(https_get(d, "/index.html"), PAGE)
        self.assertEqual(https_get(d, "/large.bin"), LARGE)
        rogue = mosquitto("mosquitto_pub", d.tls_port, d.cert, "-t", "t/in", "-m", "x", client="rogue")
        self.assertNotEqual(rogue.returncode, 0, "a certificate from another authority is refused")
        # Hostile clients on the same daemon hold up nobody.
        idle = [socket.create_connection(("127.0.0.1", port)) for port in (d.tls_port, d.wss_port, d.https_port)]
        plain_bytes = Client(d.tls_port)
        plain_bytes.send(connect("plain-on-tls"))
        slow = []
        slow_thread = threading.Thread(target=lambda: slow.append(slow_connect(d.tls_port, context(d.cert))))
        slow_thread.start()
        try:
            plain_bytes.expect_closed("plain MQTT on the TLS port")
            result = mosquitto("mosquitto_pub", d.tls_port, d.cert, "-t", "t", "-m", "meanwhile")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(https_get(d, "/index.html"), PAGE)
            slow_thread.join(TIMEOUT)
            self.assertEqual(slow, [connack(0)], "a handshake sent byte by byte completes")
            for sock in idle:  # closed by the 10 s handshake deadline
                sock.settimeout(TIMEOUT)
                self.assertEqual(sock.recv(1), b"", "no handshake: closed")
        finally:
            slow_thread.join()
            for sock in idle:
                sock.close()
            plain_bytes.sock.close()


class TlsRequired(TlsTest):
    tls = {"tls_require_certificate": 1}

    def test_only_clients_with_a_certificate_of_the_authority(self):
        d = self.daemon
        for client, accepted in ((None, False), ("rogue", False), ("client", True)):
            with self.subTest(client=client):
                result = mosquitto("mosquitto_pub", d.tls_port, d.cert, "-t", "t", "-m", "x", client=client)
                self.assertEqual(result.returncode == 0, accepted, result.stderr)
                try:
                    page = https_get(d, "/index.html", client)
                except (OSError, ssl.SSLError):
                    page = None
                self.assertEqual(page, PAGE if accepted else None)


class TlsStart(unittest.TestCase):
    def test_unusable_files_end_the_start(self):
        cases = (
            ({"tls_cert_file": "/nonexistent/halyx.crt"}, "tls_cert_file /nonexistent/halyx.crt: No such file"),
            ({"tls_key_file": "/nonexistent/halyx.key"}, "tls_key_file /nonexistent/halyx.key: No such file"),
            ({"tls_key_file": "/etc/hostname"}, "tls_key_file /etc/hostname: "),
            ({"tls_require_certificate": 1}, "tls_require_certificate = 1 needs tls_ca_file"),
        )
        for tls, reason in cases:
            with self.subTest(reason=reason):
                daemon = own_daemon(self, tls=tls).start(wait_ready=False)
                self.assertEqual(daemon.launch.returncode, 1)
                self.assertIn(reason, daemon.launch.stderr)
                self.assertIn("err start-up failed: " + reason, daemon.log())

    def test_tls_ports_without_certificates_change_nothing(self):
        tls_ports = {key: free_port() for key in ("mqtt_tls_port", "mqtt_ws_tls_port", "http_tls_port")}
        daemon = own_daemon(self, conf=tls_ports).start()
        self.assertIn("notice TLS ports configured without tls_cert_file and tls_key_file", daemon.log())
        client = Client(daemon.mqtt_port)
        self.addCleanup(client.sock.close)
        client.send(connect("plain"))
        client.expect_packet(connack(0))
        # Listeners for the plain ports only; none for HTTP at port 0, whose thread still runs.
        self.assertEqual(listening_ports(daemon.pid), {daemon.mqtt_port, daemon.ws_port})
        self.assertRegex(daemon.log(), r"debug HTTP: \w*: 0\.0\.0\.0:0\n")
        self.assertTrue(finish(daemon, False), "daemon did not stop cleanly")


if __name__ == "__main__":
    unittest.main()
