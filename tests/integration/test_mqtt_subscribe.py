"""SUBSCRIBE and UNSUBSCRIBE: return codes, retained values after the
SUBACK and the end of deliveries."""

import unittest

from mqtt_wire import BrokerTestCase, subscribe, suback, unsuback, unsubscribe


class Subscribe(BrokerTestCase):
    def test_suback_grants_each_requested_qos_in_order_one_code_per_filter(self):
        client = self.connected("sub")
        for mid, filters in ((1, [("x", 1), ("y", 0)]), (2, [("z", 0), ("z", 2)])):
            with self.subTest(filters=filters):
                client.send(subscribe(mid, filters))
                client.expect_packet(suback(mid, [qos for _, qos in filters]))
        self.published(self.connected("pub"), "z", "v")
        client.expect_publish("z", "v", 2, what="one delivery at the later QoS of a repeated filter")
        client.expect_quiet()

    def test_retained_value_follows_the_suback(self):
        pub = self.connected("pub")
        self.published(pub, "a/b", "kept", retain=True)
        self.published(pub, "a/c", "live only")
        sub = self.subscribed("sub", [("a/#", 0)])
        sub.expect_publish("a/b", "kept", 0, retain=True)
        sub.expect_quiet("no value for the topic published without RETAIN")

    def test_unsubscribe_of_an_unknown_filter_is_acknowledged(self):
        client = self.connected("sub")
        client.send(unsubscribe(0x0A0B, ["never/subscribed"]))
        client.expect_packet(unsuback(0x0A0B))

    def test_no_delivery_after_unsubscribe(self):
        sub = self.subscribed("sub", [("u/t", 1), ("v/t", 0)])
        pub = self.connected("pub")
        self.published(pub, "u/t", "before")
        sub.expect_publish("u/t", "before", 1)
        sub.send(unsubscribe(2, ["u/t"]))
        sub.expect_packet(unsuback(2))
        self.published(pub, "u/t", "after")
        self.published(pub, "v/t", "still")
        sub.expect_publish("v/t", "still", 0, what="the other subscription stays")
        sub.expect_quiet()


if __name__ == "__main__":
    unittest.main(verbosity=2)
