"""The rules engine end to end: rules files the daemon reads at start-up or
receives on "$SYS/rulesengine/rules", rule chains fired by real clients'
publications and by the clock."""

import json
import os
import unittest

from halyx_harness import TIMEOUT, BrokerTestCase, publish, puback, wait_until
from mqttsn_client import Node


def rules(*nodes, version="1.00"):
    return json.dumps({"version": version, "nodes": list(nodes)})


def trigger(topic, nextid):
    return {"type": "trigger-topic", "topic": topic, "nextid": nextid}


def action(node_id, topic, value, nextid=0, retain=0):
    return {"type": "action-value", "id": node_id, "topic": topic, "value": value, "nextid": nextid,
            "retain": retain}


RULES = rules(
    trigger("a/b", 1),
    {"type": "action-topic", "id": 1, "topic": "copy/ab", "value-topic": "a/b", "nextid": 2, "retain": 0},
    {"type": "condition-topic-value", "id": 2, "topic": "a/b", "condition": ">", "value": "20",
     "nextid-true": 3, "nextid-false": 4},
    action(3, "branch", "high"), action(4, "branch", "low"),
    {"type": "variable-init", "variable": "counter", "value": "41", "retain": 1},
    trigger("count/tick", 5),
    {"type": "variable-increment", "id": 5, "variable": "counter", "nextid": 0, "retain": 1},
    # A rule's publication fires the next trigger.
    trigger("chain/start", 6), action(6, "chain/next", "go"), trigger("chain/next", 7), action(7, "sn/out", "done"),
    # A chain that never ends by itself.
    trigger("loop/start", 8), action(8, "loop/beat", "x", nextid=8),
    {"type": "comment", "text": "nodes of unknown types are skipped"},
)
COUNTER = "$SYS/rulesengine/variables/counter"
RULES_TOPIC = "$SYS/rulesengine/rules"


class Rules(BrokerTestCase):
    rules = RULES

    def test_trigger_conditions_and_copies(self):
        sub = self.subscribed("sub", [("copy/#", 0), ("branch", 0)])
        pub = self.connected("pub")
        self.published(pub, "a/bc", "30")  # no trigger: exact topics only
        sub.expect_quiet()
        for value, branch in (("21.5", "high"), ("10", "low"), ("abc", None)):
            with self.subTest(value):
                self.published(pub, "a/b", value)
                sub.expect_publish("copy/ab", value)
                if branch:  # ordering on a text ends the walk
                    sub.expect_publish("branch", branch)
                sub.expect_quiet()

    def test_variable_increment_publishes_the_next_value(self):
        sub = self.subscribed("sub", [(COUNTER, 0)])
        sub.expect_publish(COUNTER, "41", retain=True)
        self.published(self.connected("pub"), "count/tick", "")
        sub.expect_publish(COUNTER, "42", retain=True)

    def test_a_rule_publication_fires_further_triggers_and_reaches_mqtt_sn(self):
        node = Node(self.daemon.mqttsn_port, TIMEOUT)
        self.addCleanup(node.sock.close)
        node.connect("node1")
        node.subscribe("sn/#")
        self.published(self.connected("pub"), "chain/start", "")
        self.assertEqual(node.receive(), ("sn/out", b"done", 0, False))

    def test_a_looping_chain_is_cut_and_the_engine_goes_on(self):
        sub = self.subscribed("sub", [("loop/beat", 0), ("branch", 0)])
        pub = self.connected("pub")
        self.published(pub, "loop/start", "")
        for n in range(1000):
            sub.expect_publish("loop/beat", "x", what=f"beat {n}")
        self.published(pub, "a/b", "30")
        sub.expect_publish("branch", "high", what="the engine still runs chains")
        self.assertTrue(wait_until(lambda: "stopped after 1000 steps" in self.daemon.log()))

    def test_rules_replaced_over_mqtt(self):
        sub = self.subscribed("sub", [(RULES_TOPIC, 0), ("new/out", 0), ("branch", 0)])
        sub.expect_publish(RULES_TOPIC, RULES, retain=True)
        pub = self.connected("pub")
        new = rules(trigger("new/in", 1), action(1, "new/out", "ok"))
        pub.send(publish(RULES_TOPIC, new, 1, 7))
        pub.expect_packet(puback(7))
        sub.expect_publish(RULES_TOPIC, new, retain=True, what="the new file, published by the reload")
        with open(self.daemon.rules_path) as f:
            self.assertEqual(f.read(), new)
        self.published(pub, "new/in", "")
        sub.expect_publish("new/out", "ok", what="the new trigger")
        self.published(pub, "a/b", "30")  # the old trigger is gone
        sub.expect_quiet()
        for invalid in ("{not json", rules(version="2.0"), rules(trigger("t", 0))):
            with self.subTest(invalid):
                self.published(pub, RULES_TOPIC, invalid)
                sub.expect_publish(RULES_TOPIC, "", retain=True, what="an empty rules topic")


class Cron(BrokerTestCase):
    rules = rules({"type": "trigger-cron", "value": "* * * * *", "nextid": 1}, action(1, "cron/tick", "t"))

    def test_every_minute_fires_once_at_the_next_minute(self):
        sub = self.subscribed("sub", [("cron/tick", 0)])
        sub.expect_publish("cron/tick", "t", timeout=70 + TIMEOUT, what="a firing within the next minute")
        sub.expect_quiet("one firing per minute")


class ExampleThermostat(BrokerTestCase):
    with open(os.path.join(os.path.dirname(__file__), "../../examples/halyx.rules")) as f:
        rules = f.read()

    def test_the_heater_is_switched_only_when_its_state_changes(self):
        heater = self.subscribed("heater", [("home/livingroom/heater", 0)])
        sensor = self.connected("sensor")
        for temperature, setpoint, switched in (("18.5", None, "on"), ("19", None, None), ("18.5", "18", "off"),
                                                ("19", None, None), ("17", None, "on")):
            with self.subTest(temperature=temperature, setpoint=setpoint):
                if setpoint:
                    self.published(sensor, "$SYS/rulesengine/variables/setpoint", setpoint, retain=True)
                self.published(sensor, "home/livingroom/temperature", temperature)
                if switched:
                    heater.expect_publish("home/livingroom/heater", switched, retain=True)
                heater.expect_quiet()


if __name__ == "__main__":
    unittest.main(verbosity=2)
