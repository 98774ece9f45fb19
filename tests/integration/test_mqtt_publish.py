"""PUBLISH handling and delivery to MQTT subscribers: acknowledgements per
QoS, delivery QoS, overlapping subscriptions and the RETAIN flag."""

import unittest

from halyx_harness import DaemonTestCase
from mqtt_wire import (connected, expect_packet, expect_publish, expect_quiet, publish,
                       puback, pubcomp, pubrec, pubrel, subscribe, suback, subscribed)


class Publish(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.port = self.daemon.mqtt_port

    def test_qos0_publication_reaches_a_subscriber(self):
        sub = subscribed(self, self.port, "sub", [("a/b", 0)])
        pub = connected(self, self.port, "pub")
        pub.send(publish("a/b", "hello"))
        expect_publish(self, sub, "a/b", "hello", 0)
        expect_quiet(self, pub, "no reply to a QoS 0 PUBLISH")

    def test_qos1_publication_is_acknowledged_with_its_identifier(self):
        sub = subscribed(self, self.port, "sub", [("a/b", 1)])
        pub = connected(self, self.port, "pub")
        pub.send(publish("a/b", "one", 1, 0x1234))
        expect_packet(self, pub, puback(0x1234))
        expect_publish(self, sub, "a/b", "one", 1)

    def test_qos2_publication_is_delivered_before_pubrel(self):
        sub = subscribed(self, self.port, "sub", [("a/b", 2)])
        pub = connected(self, self.port, "pub")
        pub.send(publish("a/b", "two", 2, 0x0102))
        expect_packet(self, pub, pubrec(0x0102))
        expect_publish(self, sub, "a/b", "two", 2, what="delivery before the PUBREL")
        pub.send(pubrel(0x0102))
        expect_packet(self, pub, pubcomp(0x0102))

    def test_pubrec_for_a_delivery_is_answered_with_pubrel(self):
        sub = subscribed(self, self.port, "sub", [("a/b", 2)])
        pub = connected(self, self.port, "pub")
        pub.send(publish("a/b", "two", 2, 7))
        expect_packet(self, pub, pubrec(7))
        pub.send(pubrel(7))
        expect_packet(self, pub, pubcomp(7))
        mid = expect_publish(self, sub, "a/b", "two", 2)
        sub.send(pubrec(mid))
        expect_packet(self, sub, pubrel(mid), "PUBREL for the subscriber's PUBREC")
        sub.send(pubcomp(mid))
        expect_quiet(self, sub)

    def test_delivery_uses_the_qos_of_the_subscription(self):
        sub = subscribed(self, self.port, "sub", [("a/b", 2)])
        pub = connected(self, self.port, "pub")
        pub.send(publish("a/b", "zero"))
        expect_publish(self, sub, "a/b", "zero", 2, what="QoS 0 publication to a QoS 2 subscription")

    def test_oldest_matching_subscription_decides_and_delivery_is_single(self):
        sub = subscribed(self, self.port, "sub", [("a/+", 0)])
        sub.send(subscribe(2, [("a/b", 1)]))
        expect_packet(self, sub, suback(2, [1]))
        pub = connected(self, self.port, "pub")
        pub.send(publish("a/b", "once", 1, 3))
        expect_packet(self, pub, puback(3))
        expect_publish(self, sub, "a/b", "once", 0, what="one delivery at the first filter's QoS")
        expect_quiet(self, sub, "no second delivery")

    def test_publisher_receives_its_own_publication_after_its_puback(self):
        client = subscribed(self, self.port, "self", [("me/#", 0)])
        client.send(publish("me/x", "echo", 1, 44))
        expect_packet(self, client, puback(44))
        expect_publish(self, client, "me/x", "echo", 0)

    def test_live_retained_publication_keeps_retain(self):
        sub = subscribed(self, self.port, "sub", [("r/t", 0)])
        pub = connected(self, self.port, "pub")
        pub.send(publish("r/t", "kept", retain=True))
        expect_publish(self, sub, "r/t", "kept", 0, retain=True)

    def test_empty_retained_publication_is_forwarded_without_retain(self):
        sub = subscribed(self, self.port, "sub", [("r/t", 0)])
        pub = connected(self, self.port, "pub")
        pub.send(publish("r/t", "", retain=True))
        expect_publish(self, sub, "r/t", "", 0, retain=False)

    def test_publication_reaches_every_matching_client(self):
        subs = [subscribed(self, self.port, f"s{i}", [(f, 1)])
                for i, f in enumerate(("f/g/h", "f/+/h", "f/#", "+/g/#"))]
        other = subscribed(self, self.port, "other", [("f/g", 1)])
        pub = connected(self, self.port, "pub")
        pub.send(publish("f/g/h", "fan", 1, 5))
        expect_packet(self, pub, puback(5))
        for sub in subs:
            expect_publish(self, sub, "f/g/h", "fan", 1)
        expect_quiet(self, other, "a filter that does not match gets nothing")


if __name__ == "__main__":
    unittest.main(verbosity=2)
