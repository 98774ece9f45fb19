"""SUBSCRIBE and UNSUBSCRIBE: return codes, retained values after the
SUBACK, wildcard reach and the end of deliveries."""

import unittest

from halyx_harness import DaemonTestCase
from mqtt_wire import (PUBLISH, connected, describe, expect_packet, expect_publish,
                       expect_quiet, parse_publish, publish, published, subscribe, suback,
                       subscribed, unsuback, unsubscribe)


class Subscribe(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.port = self.daemon.mqtt_port

    def test_suback_grants_each_requested_qos_in_order(self):
        client = connected(self, self.port, "sub")
        for mid, filters in ((1, [("x", 1), ("y", 0)]), (2, [("z/#", 2)]),
                             (3, [("p", 2), ("q", 0), ("r", 1)])):
            with self.subTest(filters=filters):
                client.send(subscribe(mid, filters))
                expect_packet(self, client, suback(mid, [qos for _, qos in filters]))

    def test_repeated_filter_gets_one_code_each_and_the_later_qos(self):
        sub = connected(self, self.port, "sub")
        sub.send(subscribe(4, [("x", 0), ("x", 2)]))
        expect_packet(self, sub, suback(4, [0, 2]))
        pub = connected(self, self.port, "pub")
        published(self, pub, "x", "v")
        expect_publish(self, sub, "x", "v", 2)
        expect_quiet(self, sub, "one subscription, one delivery")

    def test_retained_values_follow_the_suback(self):
        pub = connected(self, self.port, "pub")
        published(self, pub, "a/b", "kept", retain=True)
        published(self, pub, "a/c", "live only")
        sub = connected(self, self.port, "sub")
        sub.send(subscribe(1, [("a/#", 0)]))
        expect_packet(self, sub, suback(1, [0]))
        expect_publish(self, sub, "a/b", "kept", 0, retain=True)
        expect_quiet(self, sub, "no value for the topic published without RETAIN")

    def test_retained_value_uses_the_qos_of_the_filter_being_processed(self):
        pub = connected(self, self.port, "pub")
        published(self, pub, "a/b", "kept", retain=True)
        sub = subscribed(self, self.port, "sub", [("a/#", 0)])
        expect_publish(self, sub, "a/b", "kept", 0, retain=True)
        sub.send(subscribe(2, [("a/b", 1)]))
        expect_packet(self, sub, suback(2, [1]))
        expect_publish(self, sub, "a/b", "kept", 1, retain=True)

    def test_latest_retained_value_replaces_the_earlier_one(self):
        pub = connected(self, self.port, "pub")
        published(self, pub, "a/b", "first", retain=True)
        published(self, pub, "a/b", "second", retain=True)
        sub = subscribed(self, self.port, "sub", [("a/b", 0)])
        expect_publish(self, sub, "a/b", "second", 0, retain=True)
        expect_quiet(self, sub)

    def test_value_published_without_retain_clears_the_retained_one(self):
        pub = connected(self, self.port, "pub")
        published(self, pub, "a/b", "first", retain=True)
        published(self, pub, "a/b", "second")
        sub = subscribed(self, self.port, "sub", [("a/b", 0)])
        expect_quiet(self, sub, "no retained value after a plain publication")

    def test_hash_filter_receives_dollar_topics(self):
        sub = connected(self, self.port, "sub")
        sub.send(subscribe(1, [("#", 0)]))
        expect_packet(self, sub, suback(1, [0]))
        pub = connected(self, self.port, "pub")
        pub.send(publish("$SYS/probe/x", "dollar"))
        # The daemon's own retained topics may come first.
        while True:
            pkt = sub.read_packet()
            self.assertTrue(pkt and pkt[0] >> 4 == PUBLISH, describe(pkt))
            fields = parse_publish(pkt)
            if fields["topic"] == b"$SYS/probe/x":
                self.assertEqual((fields["payload"], fields["qos"], fields["retain"]),
                                 (b"dollar", 0, 0), describe(pkt))
                break
            self.assertEqual(fields["retain"], 1, f"unexpected {describe(pkt)}")

    def test_unsubscribe_of_an_unknown_filter_is_acknowledged(self):
        client = connected(self, self.port, "sub")
        client.send(unsubscribe(0x0A0B, ["never/subscribed"]))
        expect_packet(self, client, unsuback(0x0A0B))

    def test_no_delivery_after_unsubscribe(self):
        sub = subscribed(self, self.port, "sub", [("u/t", 1), ("v/t", 0)])
        pub = connected(self, self.port, "pub")
        published(self, pub, "u/t", "before")
        expect_publish(self, sub, "u/t", "before", 1)
        sub.send(unsubscribe(2, ["u/t"]))
        expect_packet(self, sub, unsuback(2))
        published(self, pub, "u/t", "after", mid=2)
        published(self, pub, "v/t", "still", mid=3)
        expect_publish(self, sub, "v/t", "still", 0, what="the other subscription stays")
        expect_quiet(self, sub)

    def test_unsubscribe_matches_the_filter_exactly(self):
        sub = subscribed(self, self.port, "sub", [("w/#", 0)])
        sub.send(unsubscribe(2, ["w/+"]))
        expect_packet(self, sub, unsuback(2))
        pub = connected(self, self.port, "pub")
        published(self, pub, "w/x", "kept")
        expect_publish(self, sub, "w/x", "kept", 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
