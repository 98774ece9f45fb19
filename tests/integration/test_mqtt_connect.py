"""CONNECT handling: protocol versions, client identifiers, ordering and
authentication against the users of the configuration."""

import unittest

from halyx_harness import DaemonTestCase
from mqtt_wire import (Client, connack, connect, connect_raw, connected, expect_closed,
                       expect_packet, expect_publish, expect_quiet, pingreq, pingresp,
                       publish, puback, string, subscribe, suback, subscribed)


class Connect(DaemonTestCase):
    def refused(self, packet, code, what):
        client = Client(self.daemon.mqtt_port)
        self.addCleanup(client.close)
        client.send(packet)
        expect_packet(self, client, connack(code), what)
        expect_closed(self, client, what)

    def test_mqtt311_connect_is_accepted(self):
        client = connected(self, self.daemon.mqtt_port, "v311", version=4)
        expect_quiet(self, client)

    def test_mqtt31_connect_is_accepted(self):
        client = connected(self, self.daemon.mqtt_port, "v31", version=3)
        expect_quiet(self, client)

    def test_second_connect_is_refused_with_code_1_and_closed(self):
        client = connected(self, self.daemon.mqtt_port, "twice")
        client.send(connect("twice"))
        expect_packet(self, client, connack(1), "second CONNECT")
        expect_closed(self, client)

    def test_unknown_protocol_name_or_level_is_refused_with_code_1(self):
        for name, level in (("MQTT", 3), ("MQIsdp", 4), ("MQTT", 5), ("MQTX", 4)):
            with self.subTest(name=name, level=level):
                self.refused(connect_raw(string(name) + bytes([level]), "proto"), 1,
                             f"CONNECT {name}/{level}")

    def test_empty_client_id_is_refused_with_code_2(self):
        for version in (3, 4):
            with self.subTest(version=version):
                self.refused(connect("", version, clean=True), 2, "empty client id")

    def test_client_id_of_24_characters_is_refused_with_code_2(self):
        self.refused(connect("c" * 24), 2, "24-character client id")

    def test_client_id_of_23_characters_is_accepted(self):
        connected(self, self.daemon.mqtt_port, "c" * 23)

    def test_client_id_is_limited_in_characters_not_bytes(self):
        # 23 two-byte UTF-8 characters, 46 bytes.
        connected(self, self.daemon.mqtt_port, "\u00e9" * 23)

    def test_packets_before_connect_are_ignored(self):
        client = Client(self.daemon.mqtt_port)
        self.addCleanup(client.close)
        client.send(pingreq() + subscribe(1, [("a/b", 0)]) + publish("a/b", "x", 1, 5))
        client.send(connect("late"))
        expect_packet(self, client, connack(0), "first reply is the CONNACK")
        expect_quiet(self, client)


USERS = [("alice", "secret", 1), ("bob", "hunter2", 0),
         ("carol", "first", 0), ("carol", "second", 1)]


class Authentication(DaemonTestCase):
    daemon_kwargs = {"users": USERS}

    def test_user_with_right_password_is_accepted(self):
        connected(self, self.daemon.mqtt_port, "a1", username="alice", password="secret")

    def test_bad_or_missing_credentials_are_refused_with_code_4_and_closed(self):
        cases = {
            "wrong password": dict(username="alice", password="secreT"),
            "shorter password": dict(username="alice", password="secre"),
            "longer password": dict(username="alice", password="secret1"),
            "unknown user": dict(username="mallory", password="secret"),
            "name of another user": dict(username="bob", password="secret"),
            "no credentials": dict(),
            "user name only": dict(username="alice"),
            "empty password": dict(username="alice", password=""),
        }
        for what, credentials in cases.items():
            with self.subTest(what):
                client = Client(self.daemon.mqtt_port)
                self.addCleanup(client.close)
                client.send(connect("auth", **credentials))
                expect_packet(self, client, connack(4), what)
                expect_closed(self, client, what)

    def test_user_without_publish_permission_may_connect_subscribe_and_ping(self):
        client = subscribed(self, self.daemon.mqtt_port, "b1", [("t/#", 1)],
                            username="bob", password="hunter2")
        client.send(pingreq())
        expect_packet(self, client, pingresp())

    def test_first_publish_without_permission_closes_and_stores_nothing(self):
        port = self.daemon.mqtt_port
        alice = connected(self, port, "a1", username="alice", password="secret")
        alice.send(publish("t/v", "old", 1, 1, retain=True))
        expect_packet(self, alice, puback(1))
        bob = connected(self, port, "b1", username="bob", password="hunter2")
        bob.send(publish("t/v", "new", 1, 2, retain=True))
        expect_closed(self, bob, "publish without permission")
        reader = connected(self, port, "a2", username="alice", password="secret")
        reader.send(subscribe(3, [("t/v", 0)]))
        expect_packet(self, reader, suback(3, [0]))
        expect_publish(self, reader, "t/v", "old", 0, retain=True, what="value stays unchanged")

    def test_same_name_twice_takes_the_publish_flag_of_the_matching_entry(self):
        port = self.daemon.mqtt_port
        second = connected(self, port, "c2", username="carol", password="second")
        second.send(publish("t/c", "x", 1, 9))
        expect_packet(self, second, puback(9), "second entry may publish")
        first = connected(self, port, "c1", username="carol", password="first")
        first.send(publish("t/c", "y", 1, 10))
        expect_closed(self, first, "first entry may not publish")


if __name__ == "__main__":
    unittest.main(verbosity=2)
