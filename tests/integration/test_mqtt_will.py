"""Wills: published whenever a session ends, however it ends; keep-alive
supervision of silent clients."""

import unittest

from halyx_harness import DaemonTestCase
from mqtt_wire import (connack, connect, connected, disconnect, expect_closed,
                       expect_packet, expect_publish, expect_quiet, pingreq, pingresp,
                       subscribed)

WILL = ("will/c", "gone", 0, False)


class Will(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.port = self.daemon.mqtt_port
        self.watcher = subscribed(self, self.port, "watcher", [("will/#", 0)])

    def test_will_on_broken_connection(self):
        client = connected(self, self.port, "c", will=WILL)
        client.close()
        expect_publish(self, self.watcher, "will/c", "gone")

    def test_will_on_disconnect(self):
        client = connected(self, self.port, "c", will=WILL)
        client.send(disconnect())
        expect_closed(self, client, "DISCONNECT")
        expect_publish(self, self.watcher, "will/c", "gone")

    def test_will_on_refused_second_connect(self):
        client = connected(self, self.port, "c", will=WILL)
        client.send(connect("c"))
        expect_packet(self, client, connack(1))
        expect_closed(self, client)
        expect_publish(self, self.watcher, "will/c", "gone")

    def test_will_of_an_mqtt31_client(self):
        client = connected(self, self.port, "c31", version=3, will=("will/31", "bye", 1, False))
        client.close()
        expect_publish(self, self.watcher, "will/31", "bye")

    def test_will_is_delivered_at_the_subscription_qos(self):
        watcher = subscribed(self, self.port, "w2", [("will/q", 2)])
        client = connected(self, self.port, "c", will=("will/q", "q", 0, False))
        client.close()
        expect_publish(self, watcher, "will/q", "q", 2)

    def test_empty_will_message_is_accepted_and_published(self):
        client = connected(self, self.port, "c", will=("will/empty", "", 0, False))
        client.close()
        expect_publish(self, self.watcher, "will/empty", "")

    def test_retained_will_is_kept_for_later_subscribers(self):
        client = connected(self, self.port, "c", will=("will/r", "last", 0, True))
        client.close()
        expect_publish(self, self.watcher, "will/r", "last", retain=True)
        late = subscribed(self, self.port, "late", [("will/r", 0)])
        expect_publish(self, late, "will/r", "last", retain=True)

    def test_client_without_will_ends_silently(self):
        client = connected(self, self.port, "c")
        client.send(disconnect())
        expect_closed(self, client)
        expect_quiet(self, self.watcher)

    def test_silent_client_is_closed_at_keepalive_expiry_and_its_will_published(self):
        # The broker's timer ticks about once a second and closes a client
        # with keep-alive 2 about three ticks after its last packet.
        client = connected(self, self.port, "c", keepalive=2, will=WILL)
        expect_closed(self, client, "silent client with keep-alive 2")
        expect_publish(self, self.watcher, "will/c", "gone")

    def test_client_with_keepalive_zero_is_not_dropped_for_silence(self):
        client = connected(self, self.port, "c", keepalive=0, will=WILL)
        # Several timer ticks: a client with keep-alive 2 would be gone.
        self.assertIsNone(client.read_packet(timeout=4.5), "nothing arrives while silent")
        client.send(pingreq())
        expect_packet(self, client, pingresp(), "still connected")
        expect_quiet(self, self.watcher, "no will published")


if __name__ == "__main__":
    unittest.main(verbosity=2)
