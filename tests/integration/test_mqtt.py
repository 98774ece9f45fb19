"""The broker as raw MQTT clients see it: acknowledgements and delivery QoS,
subscriptions, retained values, wills and keep-alive, users, and faults that
close only the connection that made them."""

import contextlib
import socket
import struct
import subprocess
import time
import unittest

from halyx_harness import (HALYX_BIN, TIMEOUT, BrokerTestCase, connack, connect, disconnect, packet, pingreq, publish, puback, pubcomp,
                           pubrec, pubrel, string, subscribe, suback, unsuback, unsubscribe)


class Broker(BrokerTestCase):
    def test_each_qos_is_acknowledged_and_delivered_at_the_qos_of_the_subscription(self):
        subs = {qos: self.subscribed(f"sub{qos}", [("a/b", qos)]) for qos in (0, 1, 2)}
        pub = self.connected("pub")
        for qos, mid, ack in ((0, None, None), (1, 0x1234, puback), (2, 0x0102, pubrec)):
            with self.subTest(qos=qos):
                pub.send(publish("a/b", f"q{qos}", qos, mid))
                if ack:
                    pub.expect_packet(ack(mid), f"acknowledgement of QoS {qos} with its identifier")
                mids = [sub.expect_publish("a/b", f"q{qos}", sub_qos, what="delivery, for QoS 2 before the PUBREL")
                        for sub_qos, sub in subs.items()]
                if qos == 2:
                    pub.send(pubrel(mid))
                    pub.expect_packet(pubcomp(mid))
        # The subscriber's PUBREC for its last QoS 2 delivery.
        subs[2].send(pubrec(mids[2]))
        subs[2].expect_packet(pubrel(mids[2]), "PUBREL for the subscriber's PUBREC")

    def test_overlapping_filters_give_one_delivery_at_the_qos_of_the_oldest_until_unsubscribed(self):
        # A filter repeated in one request takes its later QoS, yet has its
        # own code in the SUBACK.
        sub = self.subscribed("sub", [("a/+", 0), ("x", 1)])
        sub.send(subscribe(2, [("a/b", 1), ("z", 0), ("z", 2)]))
        sub.expect_packet(suback(2, [1, 0, 2]))
        pub = self.connected("pub")
        for topic, qos in (("a/b", 0), ("z", 2)):
            self.published(pub, topic, "v")
            sub.expect_publish(topic, "v", qos, what=f"one delivery of {topic} at QoS {qos}")
        sub.expect_quiet("no second delivery")
        sub.send(unsubscribe(0x0A0B, ["z", "never/subscribed"]))  # an unknown filter is no error
        sub.expect_packet(unsuback(0x0A0B))
        self.published(pub, "z", "after")
        self.published(pub, "x", "still")
        sub.expect_publish("x", "still", 1, what="the other subscription stays")
        sub.expect_quiet("no delivery after the UNSUBSCRIBE")

    def test_retained_values_are_forwarded_live_and_follow_the_suback(self):
        # A live retained publication keeps RETAIN unless its payload is
        # empty, which clears the value.
        early = self.subscribed("early", [("r/#", 0)])
        pub = self.connected("pub")
        for topic, payload, retain in (("r/kept", "kept", True), ("r/live", "live only", False),
                                       ("r/gone", "x", True), ("r/gone", "", True)):
            self.published(pub, topic, payload, retain=retain)
            early.expect_publish(topic, payload, retain=retain and payload != "", what="live delivery")
        # So does an empty will with RETAIN, like an empty retained PUBLISH.
        self.published(pub, "r/will", "x", retain=True)
        early.expect_publish("r/will", "x", retain=True)
        self.connected("leaver", will=("r/will", "", 0, True)).sock.close()
        early.expect_publish("r/will", "", what="the empty will, live")
        late = self.subscribed("late", [("r/#", 0)])
        late.expect_publish("r/kept", "kept", retain=True, what="the retained value after the SUBACK")
        late.expect_quiet("no value for a topic published without RETAIN or cleared")

    def test_fifty_thousand_topics_reach_a_wildcard_subscriber_in_order(self):
        # Each publication creates a topic: a broker that walks its topics
        # per publication takes minutes here.
        count = 50000
        sub = self.subscribed("sub", [("mt/+/x", 0)])
        self.connected("pub").send(b"".join(publish(f"mt/{i}/x", str(i)) for i in range(count)))
        expected = b"".join(publish(f"mt/{i}/x", str(i)) for i in range(count))
        received, deadline = b"", time.monotonic() + TIMEOUT
        with contextlib.suppress(TimeoutError):
            while len(received) < len(expected) and (left := deadline - time.monotonic()) > 0:
                sub.sock.settimeout(left)
                received += sub.sock.recv(1 << 20) or b"closed"
        self.assertTrue(received == expected, f"{len(received)} of {len(expected)} bytes in {TIMEOUT} s, in order")

    def test_will_is_published_however_the_session_ends(self):
        watcher = self.subscribed("watcher", [("will/#", 0)])
        # Keep-alive 0 means no supervision: this client, silent throughout,
        # outlives the one closed for silence below.
        unsupervised = self.connected("k0", keepalive=0, will=("will/k0", "gone", 0, False))
        # What the client sends to end its session, and the replies it gets
        # before the close: never its own will, though it subscribed to it.
        endings = (("broken connection", None, []), ("DISCONNECT", disconnect, []),
                   ("refused second CONNECT", connect("c"), [connack(1)]), ("keep-alive 2 expiry", b"", []))
        for i, (what, data, replies) in enumerate(endings):
            with self.subTest(what):
                client = self.subscribed(f"c{i}", [("will/#", 0)], keepalive=2, will=(f"will/{what}", what, 0, False))
                if data is None:
                    client.sock.close()
                else:
                    client.send(data)
                    for reply in replies:
                        client.expect_packet(reply, what)
                    client.expect_closed(what)
                watcher.expect_publish(f"will/{what}", what)
        unsupervised.expect_quiet("the client with keep-alive 0 is still connected")
        watcher.expect_quiet("no will of the client with keep-alive 0")

    def test_clients_going_away_in_any_way_leave_it_serving(self):
        # Deliveries race the resets of their subscribers.
        for i in range(5):
            gone = self.subscribed(f"gone{i}", [("r/#", 1)])
            gone.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            gone.sock.close()  # reset, not an orderly close
        pub = self.connected("pub")
        pub.send(b"".join(publish("r/t", b"v" * 1000, 1, mid) for mid in range(1, 101)))
        for mid in range(1, 101):
            pub.expect_packet(puback(mid))
        many = [self.connected(f"m{i}", will=(f"many/{i}", "x", 0, False)) for i in range(60)]
        for i, client in enumerate(many):
            if i % 2:
                client.send(disconnect)
            else:
                client.sock.shutdown(socket.SHUT_RDWR)
        for i, client in enumerate(many):
            client.expect_closed(f"client m{i}")
        sub = self.subscribed("sub", [("ok/t", 0)])
        self.published(pub, "ok/t", "still here")
        sub.expect_publish("ok/t", "still here", what="delivery after the clients went away")


ALICE, BOB = dict(username="alice", password="secret"), dict(username="bob", password="hunter2")

# What a client sends, whether after an accepted CONNECT, and the replies it
# gets before the broker closes the connection.
FAULTS = (
    ("PINGREQ as the first packet", False, pingreq + connect("f", **ALICE), []),
    ("protocol level 5, then PINGREQ", False, connect("f", protocol=("MQTT", 5), **ALICE) + pingreq, [connack(1)]),
    ("24-character client id", False, connect("c" * 24, **ALICE), [connack(2)]),
    ("wrong password, then PINGREQ", False, connect("f", username="alice", password="secreT") + pingreq, [connack(4)]),
    ("password of another user", False, connect("f", username="bob", password="secret"), [connack(4)]),
    ("empty password", False, connect("f", username="alice", password=""), [connack(4)]),
    ("user name only", False, connect("f", username="alice"), [connack(4)]),
    ("no credentials", False, connect("f"), [connack(4)]),
    ("PINGREQ after DISCONNECT", True, disconnect + pingreq, []),
    ("garbage", True, b"\xff" * 16, []),
    ("Remaining Length over four bytes", True, b"\x30\xff\xff\xff\xff\x01" + b"\x00" * 8, []),
    ("PUBLISH with QoS 3", True, packet(0x36, string("a/b") + b"\x00\x01x"), []),
    ("PUBLISH to an empty topic", True, publish("", "x"), []),
    ("PUBLISH to a topic with +", True, publish("a/+", "x"), []),
    ("PUBLISH to a topic with #", True, publish("a/#", "x", 1, 1), []),
    ("PUBLISH to a topic with U+0000", True, publish("a/\0b", "x"), []),
    ("SUBSCRIBE to a filter with U+0000", True, subscribe(1, [("a/\0", 0)]), []),
    ("PUBCOMP of 121 bytes", True, packet(0x70, b"\x00\x01" + b"\x00" * 119), []),
    ("PINGREQ with a body", True, packet(0xC0, b"\x00"), []),
    ("SUBSCRIBE to an empty filter", True, subscribe(1, [("", 0)]), []),
    ("UNSUBSCRIBE from an empty filter", True, unsubscribe(1, [""]), []),
)


class Users(BrokerTestCase):
    users = [("alice", "secret", 1), ("bob", "hunter2", 0), ("carol", "first", 0), ("carol", "second", 1)]

    def test_faults_close_only_their_own_connection(self):
        # 23 two-byte characters: client ids are bounded in characters.
        other = self.subscribed("\u00e9" * 23, [("#", 0)], **ALICE)
        # "$" is not special to "#": the engine's retained version comes first.
        other.expect_publish("$SYS/rulesengine/version", "1.00", retain=True)
        for i, (what, after_connect, data, replies) in enumerate(FAULTS):
            with self.subTest(what):
                client = self.connected(f"f{i}", **ALICE) if after_connect else self.client()
                client.send(data)
                for reply in replies:
                    client.expect_packet(reply, what)
                client.expect_closed(what)
                other.send(publish("ok/t", str(i), 1, i + 1))
                other.expect_packet(puback(i + 1), "PUBACK to the other client, nothing before it")
                other.expect_publish("ok/t", str(i), what="the other client still receives")

    def test_user_without_publish_right_may_read_but_not_publish_and_has_no_will(self):
        # Of a name listed twice, the entry whose password matches decides.
        self.published(self.connected("c2", username="carol", password="second"), "t/v", "old", retain=True)
        watcher = self.subscribed("watcher", [("t/#", 0)], **ALICE)
        watcher.expect_publish("t/v", "old", retain=True)
        bob = self.subscribed("b1", [("t/#", 1)], will=("t/will", "bob", 0, False), **BOB)
        bob.expect_publish("t/v", "old", 1, retain=True)
        bob.sock.shutdown(socket.SHUT_WR)  # the connection ends without DISCONNECT
        bob.expect_closed()
        carol = self.connected("c1", username="carol", password="first")
        carol.send(publish("t/v", "new", 1, 2, retain=True))
        carol.expect_closed("PUBLISH without permission")
        self.published(self.connected("a1", **ALICE), "t/marker", "after")
        watcher.expect_publish("t/marker", "after", what="the marker, and no will or new value before it")
        watcher.expect_quiet()
        late = self.subscribed("a2", [("t/v", 0)], **ALICE)
        late.expect_publish("t/v", "old", retain=True, what="the stored value stays unchanged")

def hashed(command, password):
    """The hash a password-hashing command prints for `password` on its
    standard input."""
    return subprocess.run(command, input=password + "\n", capture_output=True, text=True, check=True,
                          timeout=TIMEOUT).stdout.strip()


class HashedPasswords(BrokerTestCase):
    def setUp(self):
        self.hashes = {"yescrypt": hashed([HALYX_BIN, "--hash-password"], "pass y"),
                       "sha512": hashed(["openssl", "passwd", "-6", "-stdin"], "pass 6"),
                       "sha256": hashed(["openssl", "passwd", "-5", "-stdin"], "pass 5")}
        self.users = [*((name, h, 1) for name, h in self.hashes.items()), ("plain", "pass-p", 1),
                      ("damaged", "$y$j9T$not-a-hash", 1)]
        super().setUp()

    def test_hashes_and_plain_passwords_admit_only_the_password_itself(self):
        self.assertTrue(self.hashes["yescrypt"].startswith("$y$"), self.hashes["yescrypt"])
        cases = [("yescrypt", "pass y", 0), ("sha512", "pass 6", 0), ("sha256", "pass 5", 0), ("plain", "pass-p", 0),
                 ("yescrypt", "pass Y", 4), ("sha512", "pass 5", 4), ("sha256", "pass 5\0", 4),
                 ("plain", "pass-", 4), ("plain", "pass-pp", 4), ("damaged", "$y$j9T$not-a-hash", 4),
                 *((name, h, 4) for name, h in self.hashes.items())]  # the stored text is not the password
        for i, (user, password, code) in enumerate(cases):
            with self.subTest(user=user, password=password):
                client = self.client()
                client.send(connect(f"h{i}", username=user, password=password))
                client.expect_packet(connack(code))
        self.assertIn("user damaged: the password hash is not one", self.daemon.log())

        sub = self.subscribed("watcher", [("hashed/#", 0)], username="plain", password="pass-p")
        for password, status in (("pass 6", 0), ("pass y", 4)):  # its status is the CONNACK code
            proc = subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.daemon.mqtt_port), "-V", "311",
                                   "-i", "mosq", "-u", "sha512", "-P", password, "-t", "hashed/t", "-m", password],
                                  capture_output=True, text=True, timeout=TIMEOUT)
            self.assertEqual(proc.returncode, status, proc.stdout + proc.stderr)
        sub.expect_publish("hashed/t", "pass 6", what="mosquitto_pub's message")
        sub.expect_quiet()


if __name__ == "__main__":
    unittest.main(verbosity=2)
