"""The MQTT-SN gateway as nodes see it over UDP: the answer to each request,
registration before delivery, retained values, re-sends, sleep, moves,
wills, the bridge to MQTT clients, the project's own command line, and the
bounds on topics, topic ids and sessions."""

import select
import subprocess
import sys
import unittest

from halyx_harness import TIMEOUT, BrokerTestCase, parse_publish as parse_mqtt_publish, pingresp as mqtt_pingresp
from halyx_harness import example_rules, pingreq as mqtt_pingreq, publish as mqtt_publish
from mqttsn_client import (CONNACK, PUBACK, PUBCOMP, PUBLISH, PUBREC, PUBREL, REGACK, REGISTER, WILLMSG, WILLMSGREQ,
                           WILLMSGRESP, WILLMSGUPD, WILLTOPIC, WILLTOPICREQ, WILLTOPICRESP, WILLTOPICUPD, Node,
                           connect, disconnect, message, parse_publish, pingreq, pingresp, publish, suback,
                           subscribe, u16)


def exchanges(k):
    """(what, whether the node connects first, [(datagram sent, the reply, or
    None for none)]), where k is the topic id of the name t/known."""
    def refused(client_id="c", **connect_args):
        return [(connect(client_id, **connect_args), message(CONNACK, [3]))]

    def acked(msg_type, topic_id, msg_id, code=0):
        return message(msg_type, u16(topic_id, msg_id), [code])

    return (
        ("CONNECT with protocol id 2", False, refused(protocol=2)),
        ("CONNECT without a client id", False, refused("")),
        ("CONNECT resuming an unknown client id", False, refused(clean=False)),
        ("CONNECT with duration 0 leaves no record", False, refused(duration=0) + [(pingreq, disconnect)]),
        ("PINGREQ before any CONNECT", False, [(pingreq, disconnect)]),
        ("CONNECT with a will", False, [(connect("c", will=True), message(WILLTOPICREQ)),
                                        (message(WILLTOPIC, [0], "w/c"), message(WILLMSGREQ)),
                                        (message(WILLMSG, "bye"), message(CONNACK, [0]))]),
        ("will updates", True, [(message(WILLTOPICUPD, [0], "w/u"), message(WILLTOPICRESP, [0])),
                                (message(WILLMSGUPD, "x"), message(WILLMSGRESP, [0]))]),
        ("length octet above the datagram's length", True, [(message(REGISTER, u16(0, 1), "a/b", [0])[:-1], None)]),
        ("PINGREQ in the three-octet length form", True, [(b"\x01\x00\x04\x16", pingresp)]),
        ("PUBLISH of more than 110 octets", True, [(publish(k, 0x20, "x" * 104, 1), None)]),
        ("REGISTER of wildcard names", True, [(message(REGISTER, u16(0, 0x10), "a/+"), acked(REGACK, 0, 0x10, 3)),
                                              (message(REGISTER, u16(0, 0x11), "a/#"), acked(REGACK, 0, 0x11, 3))]),
        ("PUBLISH QoS 1 to a registered topic id", True, [(publish(k, 0x21, "v", 1), acked(PUBACK, k, 0x21))]),
        ("PUBLISH QoS 1 to an unknown topic id", True,
         [(publish(0x7777, 0x22, "v", 1), acked(PUBACK, 0x7777, 0x22, 2))]),
        ("PUBLISH QoS 1 to a short topic name", True,
         [(publish(0x6162, 0x23, "v", 1, id_type=2), acked(PUBACK, 0x6162, 0x23, 3))]),
        ("PUBLISH QoS 2", True, [(publish(k, 0x24, "v", 2), message(PUBREC, u16(0x24))),
                                 (message(PUBREL, u16(0x24)), message(PUBCOMP, u16(0x24)))]),
        ("PUBLISH QoS -1 from a connected node", True, [(publish(k, 0x25, "v", 3), message(PUBREC, u16(0x25)))]),
        ("SUBSCRIBE to a registered name", True, [(subscribe(0x31, "t/known", 1), suback(k, 0x31, qos=1))]),
        ("SUBSCRIBE to a wildcard filter", True, [(subscribe(0x32, "t/+", 2), suback(0, 0x32, qos=2))]),
        ("SUBSCRIBE to a known pre-defined id", True, [(subscribe(0x33, k), suback(k, 0x33))]),
        ("SUBSCRIBE to an unknown pre-defined id", True, [(subscribe(0x34, 0x7777), suback(0x7777, 0x34, 2))]),
    )


class NodeTestCase(BrokerTestCase):
    def node(self, client_id=None, **connect_args):
        node = Node(self.daemon.mqttsn_port, TIMEOUT)
        self.addCleanup(node.sock.close)
        if client_id is not None:
            node.connect(client_id, **connect_args)
        return node

    def tearDown(self):
        with self.subTest("afterwards a new node still connects"):
            self.node("newcomer")
        super().tearDown()


class Gateway(NodeTestCase):
    def test_each_request_gets_its_answer(self):
        k = self.node("first").register("t/known")
        for i, (what, connected, steps) in enumerate(exchanges(k)):
            with self.subTest(what):
                node = self.node(f"row{i}" if connected else None)
                if connected:
                    self.assertEqual(node.register("t/known"), k, "one topic id per name for all nodes")
                # Every address gets a DISCONNECT for its DISCONNECT: nothing else may come first.
                for sent, reply in [*steps, (disconnect, disconnect)]:
                    node.send(sent)
                    if reply:
                        node.expect(None, reply, f"reply to {sent.hex(' ')}")
        # Every answer is traced under its own name.
        self.assertIn("<MQTTSN_WILLTOPICREQ\n", self.daemon.log())

    def test_topics_are_registered_before_delivery_and_retained_values_follow_the_suback(self):
        pub = self.node("pub")
        ids = {name: pub.register(name) for name in ("r/a", "r/b", "r/plain", "r/live")}
        for name in ("r/a", "r/b", "r/plain"):
            pub.publish(ids[name], name[2:], 1, retain=name != "r/plain")
        sub = self.node("sub")
        sub.expect(subscribe(1, "r/+", 1), suback(0, 1, qos=1))
        received = [sub.receive(), sub.receive()]
        pub.publish(ids["r/live"], "live", 0)
        received.append(sub.receive())
        self.assertEqual(received, [("r/a", b"a", 1, 1), ("r/b", b"b", 1, 1), ("r/live", b"live", 1, 0)])
        # Queued registrations go before queued publications.
        self.assertEqual(sub.seen, ["REGISTER", "REGISTER", "PUBLISH", "PUBLISH", "REGISTER", "PUBLISH"])
        self.assertEqual(sub.names, {v: k for k, v in ids.items() if k != "r/plain"}, "the REGISTERed ids")
        sub.expect(pingreq, pingresp, "no value of the topic published without RETAIN")

    def test_a_topic_is_registered_once_per_node_until_a_clean_connect(self):
        sub, pub = self.node("sub"), self.node("pub")
        for _ in range(2):
            sub.subscribe("once/t")
            topic_id = pub.register("once/t")
            sub.seen = []
            for value in ("1", "2", "3"):
                pub.publish(topic_id, value, 1)
                self.assertEqual(sub.receive(), ("once/t", value.encode(), 0, 0))
            self.assertEqual(sub.seen, ["REGISTER", "PUBLISH", "PUBLISH", "PUBLISH"])
            # A node connecting afresh knows no topic id.
            sub.connect("sub")

    def test_resends_sleep_and_moves(self):
        # An unacknowledged QoS 1 delivery is sent again, with DUP.
        sub, pub = self.node("sub"), self.node("pub")
        topic_id = sub.subscribe("q/t", 1)
        pub.publish(pub.register("q/t"), "v", 1)
        sub.send(message(REGACK, sub.read_body(REGISTER)[:4], [0]))
        msg_id = parse_publish(first := message(PUBLISH, sub.read_body(PUBLISH)))[1]
        self.assertEqual(first, publish(topic_id, msg_id, "v", 1))
        # Ticks come once a second; the re-send is due at the sixth.
        sub.expect(None, publish(topic_id, msg_id, "v", 1, dup=True), "the same PUBLISH again, with DUP")
        sub.send(message(PUBACK, u16(topic_id, msg_id), [0]))
        # A sleeping node gets the latest value once, when it wakes.
        sleeper = self.node("sleeper")
        sleeper.subscribe("s/t", 1)
        sleeper.sleep(30)
        topic_id = pub.register("s/t")
        for value in ("1", "2", "3"):
            pub.publish(topic_id, value, 1)
        self.assertEqual(sleeper.wake(), [("s/t", b"3", 1, 0)], "the first datagrams after the sleep")
        self.assertEqual(sleeper.seen, ["REGISTER", "PUBLISH", "PINGRESP"])
        # A node at a new address keeps its subscriptions.
        old = self.node("mover")
        old.subscribe("m/t")
        new = self.node("mover", clean=False)
        pub.publish(pub.register("m/t"), "here", 1)
        self.assertEqual(new.receive(), ("m/t", b"here", 0, 0))
        old.expect(pingreq, disconnect, "the old address is unknown and received nothing")

    def test_wills_reach_subscribers_but_not_the_departing_node(self):
        watcher, peer = self.subscribed("watcher", [("will/#", 0)]), self.node("peer")
        peer.subscribe("will/#")
        for what, duration in (("DISCONNECT", 60), ("keep-alive expiry", 1)):
            with self.subTest(what):
                node = self.node(what, duration=duration, will=(f"will/{what}", what, False))
                node.subscribe("will/#")
                if duration > 1:  # else the node stays silent past its keep-alive
                    node.send(disconnect)
                watcher.expect_publish(f"will/{what}", what, what="the will, to an MQTT subscriber")
                self.assertEqual(peer.receive(), (f"will/{what}", what.encode(), 0, 0), "the will, to a node")
                # The gateway answers in order: its own will would come first.
                node.expect(pingreq, disconnect, "the departed node's first datagram")

    def test_publications_cross_between_mqtt_and_mqtt_sn_with_one_topic_id_each(self):
        mqtt, nodes = self.subscribed("mqtt", [("b/#", 1)]), [self.node("a"), self.node("b")]
        ids = [node.subscribe("b/to-sn", qos) for node, qos in zip(nodes, (1, 0))]
        self.assertEqual(ids[0], ids[1], "one id for the topic nobody published yet")
        self.assertNotEqual(ids[0], 0)
        self.published(mqtt, "b/to-sn", "from mqtt")
        mqtt.expect_publish("b/to-sn", "from mqtt", 1)
        for node, qos in zip(nodes, (1, 0)):
            self.assertEqual(node.receive(), ("b/to-sn", b"from mqtt", qos, 0))
            self.assertEqual(node.names, {ids[0]: "b/to-sn"}, "the REGISTERed id is the SUBACK's")
        topic_id = nodes[0].register("b/to-mqtt")
        self.assertNotIn(topic_id, (0, ids[0]))
        nodes[1].publish(nodes[1].register("b/to-mqtt"), "from a node", 2)
        mqtt.expect_publish("b/to-mqtt", "from a node", 1)

    def test_topic_ids_run_out_rather_than_wrap(self):
        # Topics keep their ids: once all 65535 are given, a new name gets
        # none, and a node's publication by id still reaches its own topic.
        mqtt = self.subscribed("mqtt", [("bulk/7", 0)])
        bulk = self.connected("bulk")
        bulk.send(b"".join(mqtt_publish(f"bulk/{i}", "") for i in range(65535)))
        bulk.expect_quiet("all bulk publications handled")
        mqtt.expect_publish("bulk/7", "")
        node = self.node("node")
        node.expect(message(REGISTER, u16(0, 0x41), "sensor/new"), message(REGACK, u16(0, 0x41), [1]), "congestion")
        node.expect(subscribe(0x42, "sensor/newer"), suback(0, 0x42, 1), "congestion")
        node.publish(node.register("bulk/7"), "42", 1)
        mqtt.expect_publish("bulk/7", "42")
        self.assertEqual(self.daemon.log().count("topic ids are taken"), 1, "logged once")

    def test_command_line_publishes_and_subscribes(self):
        cli = [sys.executable, "mqttsn_client.py", "--port", str(self.daemon.mqttsn_port)]
        pub = ["pub", "-t", "cli/kept", "-m", "kept value", "-q", "2", "-r"]
        subprocess.run(cli + pub, timeout=TIMEOUT, check=True)
        sub = subprocess.Popen(cli + ["sub", "-t", "cli/#", "-q", "1", "-n", "2"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (sub.kill(), sub.communicate()))
        self.assertTrue(select.select([sub.stdout], [], [], TIMEOUT)[0], "the retained value is printed")
        self.assertEqual(sub.stdout.readline(), "cli/kept kept value\n")
        subprocess.run(cli + ["pub", "-t", "cli/live", "-m", "live"], timeout=TIMEOUT, check=True)
        self.assertEqual((sub.communicate(timeout=TIMEOUT)[0], sub.returncode), ("cli/live live\n", 0))


class Bounds(NodeTestCase):
    conf = "max_topics = 50\nmqttsn_max_sessions = 4\n"

    def warnings(self, key):
        return [line for line in self.daemon.log().splitlines() if line.startswith("warning") and key in line]

    def test_new_topics_past_max_topics_are_refused_to_every_client(self):
        sub, pub = self.subscribed("sub", [("t/#", 0)]), self.connected("pub")
        for i in range(60):
            self.published(pub, f"t/{i}", "v")  # acknowledged, stored or not
        self.published(pub, "t/0", "again")
        sub.send(mqtt_pingreq)
        received = list(iter(lambda: (p := sub.read_packet()) != mqtt_pingresp and parse_mqtt_publish(p)[2], False))
        kept = len(received) - 1  # a few topics are the daemon's own
        self.assertTrue(40 < kept < 50, received)
        self.assertEqual(received, [f"t/{i}".encode() for i in range(kept)] + [b"t/0"], "the first topics only")
        node = self.node("node")
        self.assertNotEqual(node.register("t/1"), 0, "a known topic")
        node.expect(message(REGISTER, u16(0, 0x51), "t/new"), message(REGACK, u16(0, 0x51), [1]), "congestion")
        node.expect(subscribe(0x52, "t/newer"), suback(0, 0x52, 1), "congestion")
        self.assertEqual(len(self.warnings("max_topics")), 1, "logged once")

    def test_sessions_past_mqttsn_max_sessions_are_refused_until_one_leaves(self):
        nodes = [self.node(f"n{i}") for i in range(4)]
        congestion = message(CONNACK, [1])
        for _ in range(2):
            self.node().expect(connect("extra"), congestion, "CONNACK congestion")
        moved = self.node("n0")  # a known client id at a new address takes no new place
        nodes[1].expect(disconnect, disconnect)
        self.node("extra")
        self.node().expect(connect("late"), congestion, "CONNACK congestion")
        self.assertEqual(len(self.warnings("mqttsn_max_sessions")), 2, "once per episode")
        moved.expect(disconnect, disconnect)  # room for the newcomer of tearDown


SETPOINT, RULES_TOPIC = "$SYS/rulesengine/variables/setpoint", "$SYS/rulesengine/rules"


class NodesUnderLogins(NodeTestCase):
    """With users configured, nodes (which carry no credentials) keep off the
    hub's "$" topics: the rule variables and the rules file."""
    users = [("alice", "secret", 1)]
    rules = example_rules()

    def test_nodes_cannot_reach_dollar_topics_by_name_id_wildcard_or_will(self):
        alice = dict(username="alice", password="secret")
        node = self.node("node")
        # Topic ids are handed out in order: every id up to the last given
        # is tried, so the "$SYS" topics' ids are among them.
        last = node.register("home/last")
        refused = []
        for topic_id in range(1, last + 1):
            node.send(publish(topic_id, topic_id, "99", 1))
            code = node.read_body(PUBACK, f"PUBACK for topic id {topic_id}")[-1]
            self.assertIn(code, (0, 3))
            refused += [topic_id] * (code == 3)
        self.assertTrue(refused, "some topic ids are the hub's")
        steps = [
            (message(REGISTER, u16(0, 0x61), SETPOINT), message(REGACK, u16(0, 0x61), [3])),
            (message(REGISTER, u16(0, 0x62), RULES_TOPIC), message(REGACK, u16(0, 0x62), [3])),
            (subscribe(0x63, "$SYS/#"), suback(0, 0x63, 3)),
            (subscribe(0x64, "$SYS/rulesengine/+"), suback(0, 0x64, 3)),
            (subscribe(0x65, refused[0]), suback(refused[0], 0x65, 3)),
            (publish(refused[0], 0x66, "99", 2), message(PUBACK, u16(refused[0], 0x66), [3])),
            (publish(refused[0], 0x67, "99", 0), message(PUBACK, u16(refused[0], 0x67), [3])),
            (message(WILLTOPICUPD, [0], RULES_TOPIC), message(WILLTOPICRESP, [3])),
            (message(WILLMSGUPD, "{}"), message(WILLMSGRESP, [0])),
            (subscribe(0x68, "#"), suback(0, 0x68)),
        ]
        for sent, reply in steps:
            node.expect(sent, reply, f"reply to {sent.hex(' ')}")
        # "#" brings the retained values of ordinary topics only, live ones too.
        self.published(self.connected("mqtt", **alice), "home/marker", "m")
        received = list(iter(node.receive, ("home/marker", b"m", 0, 0)))
        self.assertEqual([topic for topic, *_ in received if topic.startswith("$")], [], received)
        node.expect(disconnect, disconnect)  # the will, had it been kept, goes now
        watcher = self.subscribed("watcher", [(SETPOINT, 0), (RULES_TOPIC, 0)], **alice)
        watcher.expect_publish(SETPOINT, "20", retain=True, what="the set point as the rules file has it")
        watcher.expect_publish(RULES_TOPIC, self.rules, retain=True, what="the rules file unchanged")
        watcher.expect_quiet()


class ReadOnlyNodes(NodeTestCase):
    conf = "mqttsn_publish_enable = 0\n"

    def test_nodes_subscribe_but_neither_publish_nor_leave_wills(self):
        mqtt = self.subscribed("mqtt", [("ro/#", 0)])
        node = self.node("node", will=("ro/will", "gone", False))
        topic_id = node.register("ro/t")
        for qos in (0, 1, 2):
            node.expect(publish(topic_id, 0x70 + qos, "v", qos), message(PUBACK, u16(topic_id, 0x70 + qos), [3]))
        node.subscribe("ro/#")
        self.published(mqtt, "ro/t", "from mqtt")
        self.assertEqual(node.receive(), ("ro/t", b"from mqtt", 0, 0))
        node.expect(disconnect, disconnect)
        mqtt.expect_publish("ro/t", "from mqtt", what="the MQTT client's own value, no node's before it")
        mqtt.expect_quiet("no will")


if __name__ == "__main__":
    unittest.main(verbosity=2)
