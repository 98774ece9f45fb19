"""Wills: published whenever a session ends, however it ends; keep-alive
supervision of silent clients."""

import unittest

from mqtt_wire import BrokerTestCase, connack, connect, disconnect, pingreq, pingresp

WILL = ("will/c", "gone", 0, False)


class Will(BrokerTestCase):
    def setUp(self):
        super().setUp()
        self.watcher = self.subscribed("watcher", [("will/#", 0)])

    def test_will_is_published_however_the_session_ends(self):
        # What the client sends to end its session, and the replies it gets
        # before the close: never its own will, though it subscribed to it.
        endings = (("broken connection", None, []), ("DISCONNECT", disconnect, []),
                   ("refused second CONNECT", connect("c"), [connack(1)]))
        for i, (what, data, replies) in enumerate(endings):
            with self.subTest(what):
                client = self.subscribed(f"c{i}", [("will/#", 0)], will=(f"will/{what}", what, 0, False))
                if data is None:
                    client.sock.close()
                else:
                    client.send(data)
                    for reply in replies:
                        client.expect_packet(reply, what)
                    client.expect_closed(what)
                self.watcher.expect_publish(f"will/{what}", what)

    def test_silent_client_is_closed_at_keepalive_expiry_and_its_will_published(self):
        # The broker's timer ticks about once a second and closes a client
        # with keep-alive 2 about three ticks after its last packet.
        client = self.connected("c", keepalive=2, will=WILL)
        client.expect_closed("silent client with keep-alive 2")
        self.watcher.expect_publish("will/c", "gone")

    def test_client_with_keepalive_zero_is_not_dropped_for_silence(self):
        client = self.connected("c", keepalive=0, will=WILL)
        # Several timer ticks: a client with keep-alive 2 would be gone.
        self.assertIsNone(client.read_packet(timeout=4.5), "nothing arrives while silent")
        client.send(pingreq)
        client.expect_packet(pingresp, "still connected")
        self.watcher.expect_quiet("no will published")


if __name__ == "__main__":
    unittest.main(verbosity=2)
