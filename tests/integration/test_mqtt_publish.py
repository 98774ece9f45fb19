"""PUBLISH handling and delivery to MQTT subscribers: acknowledgements per
QoS, delivery QoS, overlapping subscriptions and the RETAIN flag."""

import unittest

from mqtt_wire import BrokerTestCase, publish, puback, pubcomp, pubrec, pubrel, subscribe, suback


class Publish(BrokerTestCase):
    def test_qos1_publication_is_acknowledged_with_its_identifier_then_delivered(self):
        sub = self.subscribed("sub", [("a/b", 1)])
        pub = self.connected("pub")
        pub.send(publish("a/b", "one", 1, 0x1234))
        pub.expect_packet(puback(0x1234))
        sub.expect_publish("a/b", "one", 1)

    def test_qos2_publication_is_delivered_before_pubrel_and_completed_after_it(self):
        sub = self.subscribed("sub", [("a/b", 2)])
        pub = self.connected("pub")
        pub.send(publish("a/b", "two", 2, 0x0102))
        pub.expect_packet(pubrec(0x0102))
        sub.expect_publish("a/b", "two", 2, what="delivery before the PUBREL")
        pub.send(pubrel(0x0102))
        pub.expect_packet(pubcomp(0x0102))

    def test_qos0_publication_is_delivered_at_the_qos_of_the_subscription(self):
        sub = self.subscribed("sub", [("a/b", 2)])
        self.connected("pub").send(publish("a/b", "zero"))
        sub.expect_publish("a/b", "zero", 2)

    def test_pubrec_for_a_delivery_is_answered_with_pubrel(self):
        sub = self.subscribed("sub", [("a/b", 2)])
        self.connected("pub").send(publish("a/b", "two"))
        mid = sub.expect_publish("a/b", "two", 2)
        sub.send(pubrec(mid))
        sub.expect_packet(pubrel(mid), "PUBREL for the subscriber's PUBREC")

    def test_oldest_matching_subscription_decides_and_delivery_is_single(self):
        sub = self.subscribed("sub", [("a/+", 0)])
        sub.send(subscribe(2, [("a/b", 1)]))
        sub.expect_packet(suback(2, [1]))
        self.published(self.connected("pub"), "a/b", "once")
        sub.expect_publish("a/b", "once", 0, what="one delivery at the first filter's QoS")
        sub.expect_quiet("no second delivery")

    def test_live_retained_publication_keeps_retain_unless_its_payload_is_empty(self):
        sub = self.subscribed("sub", [("r/t", 0)])
        pub = self.connected("pub")
        pub.send(publish("r/t", "kept", retain=True))
        sub.expect_publish("r/t", "kept", 0, retain=True, what="retained value forwarded with RETAIN")
        pub.send(publish("r/t", "", retain=True))
        sub.expect_publish("r/t", "", 0, retain=False, what="empty retained value forwarded without RETAIN")


if __name__ == "__main__":
    unittest.main(verbosity=2)
