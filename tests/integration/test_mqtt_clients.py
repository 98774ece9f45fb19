"""General-purpose MQTT clients against the daemon: Debian's mosquitto_pub and
mosquitto_sub, and python3-paho-mqtt, each with MQTT 3.1 and 3.1.1."""

import queue
import socket
import subprocess
import unittest

import paho.mqtt.client as paho

from halyx_harness import TIMEOUT, DaemonTestCase

VERSIONS = {"31": paho.MQTTv31, "311": paho.MQTTv311}


class MosquittoClients(DaemonTestCase):
    def mosquitto(self, tool, version, qos, topic, *args):
        """Runs mosquitto_pub or mosquitto_sub, with its output line-buffered."""
        proc = subprocess.Popen(["stdbuf", "-oL", tool, "-h", "127.0.0.1", "-p", str(self.daemon.mqtt_port),
                                 "-V", version, "-i", tool, "-q", qos, "-t", topic, *args],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.addCleanup(lambda: (proc.kill(), proc.communicate()))
        return proc

    def pub(self, *args):
        proc = self.mosquitto("mosquitto_pub", *args)
        self.assertEqual((proc.wait(TIMEOUT), proc.stdout.read()), (0, ""), "mosquitto_pub")

    def test_retained_and_live_publications_reach_a_wildcard_subscriber_at_each_qos(self):
        for version in VERSIONS:
            for qos in "012":
                with self.subTest(version=version, qos=qos):
                    top = f"cli/{version}/{qos}"
                    self.pub(version, qos, f"{top}/kept", "-m", "kept", "-r")
                    sub = self.mosquitto("mosquitto_sub", version, qos, f"{top}/#", "-C", "2",
                                         "-W", str(int(TIMEOUT)), "-d", "-F", "MSG %t %q %r %p")
                    lines = []
                    for line in sub.stdout:  # the live publication follows the SUBACK
                        lines.append(line)
                        if "received SUBACK" in line:
                            self.pub(version, qos, f"{top}/live", "-m", "live")
                    self.assertEqual(sub.wait(TIMEOUT), 0, "mosquitto_sub:\n" + "".join(lines))
                    self.assertEqual([line.split()[1:] for line in lines if line.startswith("MSG ")],
                                     [[f"{top}/kept", qos, "1", "kept"], [f"{top}/live", qos, "0", "live"]])


class PahoClient:
    """A paho-mqtt client running its network loop in a thread; events are
    queued for the test to wait on."""

    def __init__(self, test, client_id, version, will=None):
        self.test, self.events = test, queue.Queue()
        self.client = paho.Client(client_id, clean_session=True, protocol=VERSIONS[version])
        self.client.on_connect = lambda c, u, flags, rc: self.events.put(("connack", rc))
        self.client.on_subscribe = lambda c, u, mid, granted: self.events.put(("suback", list(granted)))
        self.client.on_message = lambda c, u, m: self.events.put(("message",
                                                                  (m.topic, m.payload, m.qos, m.retain)))
        if will:
            self.client.will_set(*will)
        self.client.connect("127.0.0.1", test.daemon.mqtt_port, keepalive=60)
        self.client.loop_start()
        test.addCleanup(self.stop)
        self.expect("connack", 0)

    def expect(self, kind, value):
        try:
            event = self.events.get(timeout=TIMEOUT)
        except queue.Empty:
            event = f"no event within {TIMEOUT} s"
        self.test.assertEqual(event, (kind, value), "paho")

    def subscribe(self, topic_filter, qos):
        self.client.subscribe(topic_filter, qos)
        self.expect("suback", [qos])

    def publish(self, topic, payload, qos):
        info = self.client.publish(topic, payload, qos)
        info.wait_for_publish(TIMEOUT)
        self.test.assertTrue(info.is_published(), f"paho: {topic} not acknowledged")

    def stop(self):
        self.client.loop_stop()
        if sock := self.client.socket():
            sock.close()


class PahoClients(DaemonTestCase):
    def test_publish_subscribe_and_will_at_each_qos(self):
        for pub_version, sub_version in (("31", "311"), ("311", "31")):
            sub = PahoClient(self, f"psub{sub_version}", sub_version)
            will = (f"will/paho{pub_version}", b"bye", 1)
            pub = PahoClient(self, f"ppub{pub_version}", pub_version, will)
            for qos in (0, 1, 2):
                with self.subTest(publisher=pub_version, subscriber=sub_version, qos=qos):
                    topic = f"paho/{pub_version}/{qos}"
                    sub.subscribe(topic, qos)
                    pub.publish(topic, f"v{qos}".encode(), qos)
                    sub.expect("message", (topic, f"v{qos}".encode(), qos, 0))
            with self.subTest(publisher=pub_version, will=True):
                sub.subscribe(will[0], 1)
                pub.client.loop_stop()
                pub.client.socket().shutdown(socket.SHUT_RDWR)  # no DISCONNECT
                sub.expect("message", (*will, 0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
