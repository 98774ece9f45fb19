"""General-purpose MQTT clients against the daemon: Debian's mosquitto_pub and
mosquitto_sub, and python3-paho-mqtt, each with MQTT 3.1 and 3.1.1."""

import queue
import socket
import subprocess
import unittest

import paho.mqtt.client as paho

from halyx_harness import DaemonTestCase, TIMEOUT

VERSIONS = {"31": paho.MQTTv31, "311": paho.MQTTv311}


class MosquittoClients(DaemonTestCase):
    def common(self, version, client_id):
        return ["-h", "127.0.0.1", "-p", str(self.daemon.mqtt_port), "-V", version,
                "-i", client_id]

    def start_sub(self, version, qos, topic_filter, count=1, wait_suback=True):
        """mosquitto_sub printing each message as "MSG topic qos retain payload";
        returns once its SUBACK has arrived."""
        proc = subprocess.Popen(
            ["stdbuf", "-oL", "mosquitto_sub", *self.common(version, f"sub{version}q{qos}"),
             "-q", str(qos), "-t", topic_filter, "-C", str(count), "-W", str(int(TIMEOUT)),
             "-d", "-F", "MSG %t %q %r %p"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.addCleanup(proc.kill)
        self.addCleanup(proc.stdout.close)
        proc.seen = []
        if wait_suback:
            for line in proc.stdout:
                proc.seen.append(line)
                if "received SUBACK" in line:
                    break
            else:
                self.fail("mosquitto_sub got no SUBACK:\n" + "".join(proc.seen))
        return proc

    def messages(self, proc):
        out, _ = proc.communicate(timeout=TIMEOUT + 10)
        lines = proc.seen + out.splitlines(keepends=True)
        self.assertEqual(proc.returncode, 0, "mosquitto_sub:\n" + "".join(lines))
        return [line.rstrip("\n").split(" ", 4)[1:] for line in lines if line.startswith("MSG ")]

    def pub(self, version, qos, topic, message, *extra):
        result = subprocess.run(
            ["mosquitto_pub", *self.common(version, f"pub{version}q{qos}"), "-q", str(qos),
             "-t", topic, "-m", message, *extra],
            capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_publish_and_subscribe_at_each_qos(self):
        for version in VERSIONS:
            for qos in (0, 1, 2):
                with self.subTest(version=version, qos=qos):
                    topic = f"cli/{version}/{qos}"
                    sub = self.start_sub(version, qos, topic)
                    self.pub(version, qos, topic, f"hello {version} {qos}")
                    self.assertEqual(self.messages(sub),
                                     [[topic, str(qos), "0", f"hello {version} {qos}"]])

    def test_retained_publication_reaches_a_later_subscriber(self):
        for version in VERSIONS:
            with self.subTest(version=version):
                topic = f"ret/{version}"
                self.pub(version, 1, topic, "kept", "-r")
                sub = self.start_sub(version, 1, topic, wait_suback=False)
                self.assertEqual(self.messages(sub), [[topic, "1", "1", "kept"]])

    def test_wildcard_subscriptions(self):
        for version in VERSIONS:
            with self.subTest(version=version):
                sub = self.start_sub(version, 1, f"wc/{version}/+/x/#", count=2)
                self.pub(version, 1, f"wc/{version}/a/y", "miss")
                self.pub(version, 1, f"wc/{version}/a/x", "parent")
                self.pub(version, 1, f"wc/{version}/b/x/deep/er", "deep")
                self.assertEqual(self.messages(sub), [[f"wc/{version}/a/x", "1", "0", "parent"],
                                                      [f"wc/{version}/b/x/deep/er", "1", "0", "deep"]])


class PahoClient:
    """A paho-mqtt client running its network loop in a thread; events are
    queued for the test to wait on."""

    def __init__(self, test, port, client_id, version, will=None):
        self.events = queue.Queue()
        self.client = paho.Client(client_id, clean_session=True, protocol=VERSIONS[version])
        self.client.on_connect = lambda c, u, flags, rc: self.events.put(("connack", rc))
        self.client.on_subscribe = lambda c, u, mid, granted: self.events.put(("suback", list(granted)))
        self.client.on_message = lambda c, u, msg: self.events.put(
            ("message", (msg.topic, msg.payload, msg.qos, msg.retain)))
        if will:
            self.client.will_set(*will)
        self.client.connect("127.0.0.1", port, keepalive=60)
        self.client.loop_start()
        test.addCleanup(self.stop)
        self.test = test
        self.expect("connack", 0)

    def next(self, kind):
        try:
            event = self.events.get(timeout=TIMEOUT)
        except queue.Empty:
            self.test.fail(f"paho: no {kind} within {TIMEOUT} s")
        self.test.assertEqual(event[0], kind, f"paho: {event}")
        return event[1]

    def expect(self, kind, value):
        self.test.assertEqual(self.next(kind), value)

    def subscribe(self, topic_filter, qos):
        self.client.subscribe(topic_filter, qos)
        self.expect("suback", [qos])

    def publish(self, topic, payload, qos):
        info = self.client.publish(topic, payload, qos)
        info.wait_for_publish(TIMEOUT)
        self.test.assertTrue(info.is_published(), f"paho: {topic} not acknowledged")

    def drop(self):
        """Ends the TCP connection without DISCONNECT."""
        self.client.loop_stop()
        self.client.socket().shutdown(socket.SHUT_RDWR)

    def stop(self):
        self.client.loop_stop()
        sock = self.client.socket()
        if sock:
            sock.close()


class PahoClients(DaemonTestCase):
    def test_publish_and_subscribe_at_each_qos(self):
        port = self.daemon.mqtt_port
        for pub_version, sub_version in (("31", "311"), ("311", "31")):
            sub = PahoClient(self, port, f"psub{sub_version}", sub_version)
            pub = PahoClient(self, port, f"ppub{pub_version}", pub_version)
            for qos in (0, 1, 2):
                with self.subTest(publisher=pub_version, subscriber=sub_version, qos=qos):
                    topic = f"paho/{pub_version}/{qos}"
                    sub.subscribe(topic, qos)
                    pub.publish(topic, f"v{qos}".encode(), qos)
                    self.assertEqual(sub.next("message"), (topic, f"v{qos}".encode(), qos, 0))

    def test_will_reaches_another_client_when_the_socket_drops(self):
        port = self.daemon.mqtt_port
        for version in VERSIONS:
            with self.subTest(version=version):
                watcher = PahoClient(self, port, f"watch{version}", version)
                watcher.subscribe(f"will/paho{version}", 1)
                client = PahoClient(self, port, f"dying{version}", version,
                                    will=(f"will/paho{version}", b"bye", 1, False))
                client.drop()
                self.assertEqual(watcher.next("message"), (f"will/paho{version}", b"bye", 1, 0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
