"""CONNECT handling: protocol versions, client identifiers, ordering and
authentication against the users of the configuration."""

import unittest

from mqtt_wire import BrokerTestCase, connack, connect, pingreq, pingresp, publish


class Connect(BrokerTestCase):
    def test_mqtt31_and_mqtt311_connects_are_accepted(self):
        for version in (3, 4):
            with self.subTest(version=version):
                self.connected(f"v{version}", version).expect_quiet()

    def test_unacceptable_connects_are_refused_with_their_code_and_closed(self):
        for what, data, code in (("name MQTT with level 3", connect("p", protocol=("MQTT", 3)), 1),
                                 ("name MQIsdp with level 4", connect("p", protocol=("MQIsdp", 4)), 1),
                                 ("level 5", connect("p", protocol=("MQTT", 5)), 1),
                                 ("empty client id", connect(""), 2),
                                 ("24-character client id", connect("c" * 24), 2)):
            with self.subTest(what):
                self.refused(data, code, what)

    def test_second_connect_is_refused_with_code_1_and_closed(self):
        client = self.connected("twice")
        client.send(connect("twice"))
        client.expect_packet(connack(1), "second CONNECT")
        client.expect_closed()

    def test_client_id_is_limited_in_characters_not_bytes(self):
        self.connected("\u00e9" * 23)  # 46 bytes


class Authentication(BrokerTestCase):
    users = [("alice", "secret", 1), ("bob", "hunter2", 0), ("carol", "first", 0), ("carol", "second", 1)]

    def test_user_with_right_password_is_accepted(self):
        self.connected("a1", username="alice", password="secret").expect_quiet()

    def test_bad_or_missing_credentials_are_refused_with_code_4_and_closed(self):
        for what, credentials in (("wrong password", dict(username="alice", password="secreT")),
                                  ("one byte shorter", dict(username="alice", password="secre")),
                                  ("one byte longer", dict(username="alice", password="secret1")),
                                  ("password of another user", dict(username="bob", password="secret")),
                                  ("empty password", dict(username="alice", password="")),
                                  ("user name only", dict(username="alice")),
                                  ("no credentials", {})):
            with self.subTest(what):
                self.refused(connect("auth", **credentials), 4, what)

    def test_user_without_publish_permission_is_closed_at_its_first_publish(self):
        alice = self.connected("a1", username="alice", password="secret")
        self.published(alice, "t/v", "old", retain=True)
        bob = self.subscribed("b1", [("t/#", 1)], username="bob", password="hunter2")
        bob.expect_publish("t/v", "old", 1, retain=True)
        bob.send(pingreq)
        bob.expect_packet(pingresp)
        bob.send(publish("t/v", "new", 1, 2, retain=True))
        bob.expect_closed("PUBLISH without permission")
        reader = self.subscribed("a2", [("t/v", 0)], username="alice", password="secret")
        reader.expect_publish("t/v", "old", 0, retain=True, what="the stored value stays unchanged")

    def test_same_name_twice_takes_the_publish_flag_of_the_matching_entry(self):
        self.published(self.connected("c2", username="carol", password="second"), "t/c", "x")
        first = self.connected("c1", username="carol", password="first")
        first.send(publish("t/c", "y", 1, 10))
        first.expect_closed("first entry may not publish")


if __name__ == "__main__":
    unittest.main(verbosity=2)
