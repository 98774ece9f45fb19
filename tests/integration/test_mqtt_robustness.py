"""Hostile and unusual byte streams: malformed packets, oversized input,
packets split or joined across TCP segments, many short-lived clients.
After each, the daemon must go on serving well-formed clients."""

import socket
import struct
import time
import unittest

from halyx_harness import DaemonTestCase
from mqtt_wire import (Client, connack, connect, connected, describe, disconnect,
                       expect_closed, expect_packet, expect_publish, expect_quiet,
                       parse_publish, pingreq, pingresp, puback, publish, published, subscribe,
                       suback, subscribed, unsubscribe)

# Each is sent by a connected client and must close its connection without
# any reply.
MALFORMED = {
    "remaining_length_over_four_bytes": b"\x30\xff\xff\xff\xff\x01" + b"\x00" * 8,
    "garbage": b"\xff" * 16,
    "publish_with_empty_topic": publish("", "x"),
    "publish_topic_overrunning_the_packet": b"\x30\x04\x00\x09ab",
    "qos1_publish_without_its_identifier": b"\x32\x05\x00\x03a/b",
    "qos1_publish_with_half_an_identifier": b"\x32\x06\x00\x03a/b\x00",
    "subscribe_with_empty_filter": subscribe(1, [("", 0)]),
    "subscribe_filter_overrunning_the_packet": b"\x82\x06\x00\x01\x00\x05a\x00",
    "subscribe_filter_without_its_qos_byte": b"\x82\x06\x00\x01\x00\x02ab",
    "subscribe_requesting_qos_3": subscribe(1, [("a", 3)]),
    "subscribe_with_bad_second_filter": b"\x82\x0a\x00\x01\x00\x01a\x00\x00\x09b\x01",
    "unsubscribe_with_empty_filter": unsubscribe(1, [""]),
    "unsubscribe_filter_overrunning_the_packet": b"\xa2\x05\x00\x01\x00\x07a",
}


class Robustness(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.port = self.daemon.mqtt_port

    def others_still_served(self):
        """A fresh subscriber and publisher exchange a message, and the
        daemon accepts new connections."""
        sub = subscribed(self, self.port, "ok-sub", [("ok/t", 1)], mid=11)
        pub = connected(self, self.port, "ok-pub")
        published(self, pub, "ok/t", "still here")
        expect_publish(self, sub, "ok/t", "still here", 1, what="delivery after the bad client")

    def check_malformed(self, data):
        watcher = subscribed(self, self.port, "watcher", [("#", 0)])
        watcher.send(pingreq())
        while (pkt := watcher.read_packet()) != pingresp():  # the daemon's own retained topics
            self.assertTrue(pkt and pkt[0] == 0x31, describe(pkt))
        bad = connected(self, self.port, "bad")
        bad.send(data)
        expect_closed(self, bad, describe(data))
        expect_quiet(self, watcher, "the malformed packet is not delivered")
        self.others_still_served()

    def test_connect_with_client_id_overrunning_the_packet_is_not_accepted(self):
        bad = Client(self.port)
        self.addCleanup(bad.close)
        bad.send(b"\x10\x0f\x00\x04MQTT\x04\x02\x00\x3c\x00\x20abc")
        while True:
            pkt = bad.read_packet()
            self.assertIsNotNone(pkt, "connection neither refused nor closed")
            if pkt == b"":
                break
            self.assertNotEqual(pkt, connack(0), "malformed CONNECT accepted")
        self.others_still_served()

    def test_pending_bytes_up_to_32768_are_accepted(self):
        client = connected(self, self.port, "big")
        packet = publish("a/b", b"p" * 32757, 1, 1)
        self.assertEqual(len(packet), 32768)
        client.send(packet)
        expect_packet(self, client, puback(1), "PUBACK for a 32768-byte packet")

    def test_packet_over_32768_bytes_closes_the_connection(self):
        client = connected(self, self.port, "big")
        client.send(publish("a/b", b"p" * 32758, 1, 1))
        expect_closed(self, client, "32769-byte packet")
        self.others_still_served()

    def test_pingreq_split_over_two_segments_is_answered_once(self):
        client = connected(self, self.port, "split")
        client.send(pingreq()[:1])
        time.sleep(0.3)  # lets the first byte travel alone; not a condition of the test
        client.send(pingreq()[1:])
        expect_packet(self, client, pingresp())
        client.send(subscribe(2, [("s", 0)]))
        expect_packet(self, client, suback(2, [0]), "next reply is the SUBACK, not a second PINGRESP")

    def test_two_packets_in_one_segment_are_answered_in_order(self):
        client = connected(self, self.port, "joined")
        client.send(publish("j/t", "x", 1, 3) + pingreq() + subscribe(4, [("j/#", 1)]))
        expect_packet(self, client, puback(3))
        expect_packet(self, client, pingresp())
        expect_packet(self, client, suback(4, [1]))

    def test_packet_completed_by_a_later_segment_is_answered_after_the_one_before(self):
        client = connected(self, self.port, "tail")
        sub = subscribe(5, [("t/#", 2)])
        client.send(pingreq() + sub[:3])
        time.sleep(0.3)  # lets the tail travel alone; not a condition of the test
        client.send(sub[3:])
        expect_packet(self, client, pingresp())
        expect_packet(self, client, suback(5, [2]))

    def test_many_clients_ending_each_publish_one_will(self):
        watcher = subscribed(self, self.port, "watcher", [("many/#", 0)])
        count = 60
        clients = [connected(self, self.port, f"m{i}", will=(f"many/{i}", str(i), 0, False))
                   for i in range(count)]
        for i, client in enumerate(clients):
            if i % 3 == 0:
                client.send(disconnect())
            elif i % 3 == 1:
                client.sock.shutdown(socket.SHUT_RDWR)
            else:
                client.send(connect(f"m{i}"))  # refused, then closed
        seen = []
        for _ in range(count):
            pkt = watcher.read_packet()
            self.assertTrue(pkt, f"only {len(seen)} of {count} wills arrived")
            fields = parse_publish(pkt)
            seen.append(fields["topic"].decode())
        self.assertEqual(sorted(seen), sorted(f"many/{i}" for i in range(count)))
        expect_quiet(self, watcher, "one will per client")
        self.others_still_served()

    def test_deliveries_to_a_reset_connection_do_not_stop_the_daemon(self):
        for round_ in range(5):
            sub = subscribed(self, self.port, f"gone{round_}", [("r/#", 1)])
            sub.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sub.close()  # reset, not an orderly close
            pub = connected(self, self.port, f"pub{round_}")
            for mid in range(1, 21):
                pub.send(publish("r/t", b"v" * 1000, 1, mid))
            for mid in range(1, 21):
                expect_packet(self, pub, puback(mid))
        self.others_still_served()


def _add_malformed_tests():
    for name, data in MALFORMED.items():
        def test(self, data=data):
            self.check_malformed(data)
        test.__name__ = f"test_{name}_closes_only_its_sender"
        setattr(Robustness, test.__name__, test)


_add_malformed_tests()

if __name__ == "__main__":
    unittest.main(verbosity=2)
