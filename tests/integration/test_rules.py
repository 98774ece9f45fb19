"""The rules engine end to end: rules files the daemon reads at start-up or
receives on "$SYS/rulesengine/rules", rule chains fired by real clients'
publications and by the clock."""

import json
import os
import signal
import socket
import time
import unittest

from halyx_harness import (TIMEOUT, BrokerTestCase, Client, connack, connect, example_rules, finish, own_daemon,
                           publish, puback, wait_until)
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
    trigger("count/done", 9),
    {"type": "action-topic", "id": 9, "topic": "count/result", "value-topic": "$SYS/rulesengine/variables/counter",
     "nextid": 0, "retain": 0},
    # A thermostat: the condition must see the reading that fired it.
    trigger("home/temp", 10),
    {"type": "condition-topic-value", "id": 10, "topic": "home/temp", "condition": ">", "value": "20",
     "nextid-true": 11, "nextid-false": 12},
    action(11, "heater", "on"), action(12, "heater", "off"),
    # Two rules that keep triggering each other through a publication.
    trigger("loop/a", 13), action(13, "loop/a", "x"),
    # A rule's publication fires the next trigger.
    trigger("chain/start", 6), action(6, "chain/next", "go"), trigger("chain/next", 7), action(7, "sn/out", "done"),
    # A chain that never ends by itself.
    trigger("loop/start", 8), action(8, "loop/beat", "x", nextid=8),
    {"type": "comment", "text": "nodes of unknown types are skipped"},
)
COUNTER = "$SYS/rulesengine/variables/counter"
RULES_TOPIC = "$SYS/rulesengine/rules"
ERROR_TOPIC = "$SYS/rulesengine/error"
DEPTH_MAX = 16


class Rules(BrokerTestCase):
    rules = RULES

    def test_triggers_conditions_copies_and_chains(self):
        sub = self.subscribed("sub", [("copy/#", 0), ("branch", 0), ("heater", 0)])
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
        # A condition on the firing topic sees the reading that fired it.
        pub.send((publish("home/temp", "19") + publish("home/temp", "21")) * 50)
        for n in range(50):
            sub.expect_publish("heater", "off", what=f"reaction to 19, pair {n}")
            sub.expect_publish("heater", "on", what=f"reaction to 21, pair {n}")
        # A rule's publication fires further triggers, and reaches MQTT-SN.
        node = Node(self.daemon.mqttsn_port, TIMEOUT)
        self.addCleanup(node.sock.close)
        node.connect("node1")
        node.subscribe("sn/#")
        self.published(pub, "chain/start", "")
        self.assertEqual(node.receive(), ("sn/out", b"done", 0, False))

    def test_variable_increments_read_their_own_writes(self):
        sub = self.subscribed("sub", [(COUNTER, 0), ("count/result", 0)])
        sub.expect_publish(COUNTER, "41", retain=True)
        pub = self.connected("pub")
        pub.send(publish("count/tick") * 2000 + publish("count/done"))
        for n in range(42, 2042):
            sub.expect_publish(COUNTER, str(n), retain=True, what=f"increment to {n}")
        sub.expect_publish("count/result", "2041")

    def test_rules_that_trigger_each_other_stop_at_the_depth_cap_and_looping_chains_are_cut(self):
        sub = self.subscribed("sub", [("loop/a", 0), ("loop/beat", 0), ("branch", 0)])
        pub = self.connected("pub")
        warning = "warning rules: publication on loop/a is more than 16 rule steps deep"
        for episode in range(2):
            self.published(pub, "loop/a", "go")
            sub.expect_publish("loop/a", "go")
            for n in range(DEPTH_MAX + 1):
                sub.expect_publish("loop/a", "x", what=f"rule publication {n + 1}")
            sub.expect_quiet("the loop stopped")
        self.assertTrue(wait_until(lambda: warning in self.daemon.log()))
        self.assertEqual(self.daemon.log().count(warning), 1, "one warning per episode")
        self.published(pub, "loop/start", "")
        for n in range(1000):
            sub.expect_publish("loop/beat", "x", what=f"beat {n}")
        self.published(pub, "a/b", "30")
        sub.expect_publish("branch", "high", what="the engine still runs chains")
        self.assertTrue(wait_until(lambda: "stopped after 1000 steps" in self.daemon.log()))

    def test_rules_replaced_over_mqtt(self):
        sub = self.subscribed("sub", [(RULES_TOPIC, 0), (ERROR_TOPIC, 0), ("new/out", 0), ("branch", 0)])
        sub.expect_publish(RULES_TOPIC, RULES, retain=True)
        pub = self.connected("pub")
        new = rules(trigger("new/in", 1), action(1, "new/out", "ok"))
        pub.send(publish(RULES_TOPIC, new, 1, 7))
        pub.expect_packet(puback(7))
        sub.expect_publish(RULES_TOPIC, new, retain=True, what="the new file, published by the reload")
        sub.expect_publish(ERROR_TOPIC, "", what="no error")
        with open(self.daemon.rules_path) as f:
            self.assertEqual(f.read(), new)
        self.published(pub, "new/in", "")
        sub.expect_publish("new/out", "ok", what="the new trigger")
        self.published(pub, "a/b", "30")  # the old trigger is gone
        sub.expect_quiet()
        # Refused files change nothing: not the file, not the topic, not the running rules.
        trailing_comma = new[:-2] + ",\n" + new[-2:]
        for invalid, reason in (
                (trailing_comma, "not valid JSON at line 2, column 1"),
                ("", "the file is empty"),
                (rules(version="2.0"), 'version "2.0" is not at most 1.00'),
                (rules(trigger("t", 0)), 'node 1: trigger-topic needs a "nextid" other than 0'),
                (rules({"type": "action-value", "id": 1}), 'node 1: action-value needs "topic", a non-empty string')):
            with self.subTest(invalid):
                self.published(pub, RULES_TOPIC, invalid)
                sub.expect_publish(ERROR_TOPIC, reason, retain=True)
                self.assertIn(f"warning rules: new rules file refused, the running rules stay: {reason}\n",
                              self.daemon.log())
                with open(self.daemon.rules_path) as f:
                    self.assertEqual(f.read(), new)
                self.published(pub, "new/in", "")
                sub.expect_publish("new/out", "ok", what="the running rules")
        late = self.subscribed("late", [(RULES_TOPIC, 0), (ERROR_TOPIC, 0)])
        late.expect_publish(RULES_TOPIC, new, retain=True)
        late.expect_publish(ERROR_TOPIC, reason, retain=True)


def cron(expression, node_id, topic):
    return [{"type": "trigger-cron", "value": expression, "nextid": node_id}, action(node_id, topic, expression)]


class Cron(BrokerTestCase):
    # A bad field never fires; 7 is Sunday. Evaluated in file order, so the
    # firings before "* * * * *" arrive before it.
    rules = rules(*cron("* * * * xyz", 1, "cron/bad"), *cron("* * * * monday", 2, "cron/bad"),
                  *cron("* * * * 7", 3, "cron/sunday"), *cron("* * * * *", 4, "cron/tick"))

    def test_every_minute_fires_once_at_the_next_minute(self):
        sub = self.subscribed("sub", [("cron/#", 0)])
        sunday = time.localtime((int(time.time()) // 60 + 1) * 60).tm_wday == 6  # at the next firing
        if sunday:
            sub.expect_publish("cron/sunday", "* * * * 7", timeout=70 + TIMEOUT)
        sub.expect_publish("cron/tick", "* * * * *", timeout=70 + TIMEOUT, what="a firing within the next minute")
        sub.expect_quiet("one firing per minute, none for bad expressions")
        log = self.daemon.log()
        for expression, field in (("* * * * xyz", "xyz"), ("* * * * monday", "monday")):
            self.assertIn(f'warning cron: expression "{expression}" has a bad day-of-week field "{field}"', log)


class EngineStartAndStop(unittest.TestCase):
    """Rules files that arrive while the engine is not up: before main has
    started it, and while the daemon stops."""

    def daemon(self, **keys):
        return own_daemon(self, rules=RULES, **keys)

    @staticmethod
    def client(d):
        c = Client(d.mqtt_port)
        c.send(connect("pub"))
        c.expect_packet(connack(0))
        return c

    def test_a_rules_file_before_the_engine_is_up_is_refused(self):
        # A database that accepts and never greets holds the start-up after
        # the broker runs and before the rules engine starts.
        with socket.create_server(("127.0.0.1", 0)) as db:
            db.settimeout(TIMEOUT)
            d = self.daemon(mysql={"mysql_enable": 1, "mysql_server": "127.0.0.1", "mysql_port": db.getsockname()[1],
                                   "mysql_user": "u", "mysql_password": "p", "mysql_database": "d"}).start(foreground=True)
            held, _ = db.accept()
            with held:
                c = self.client(d)
                c.send(publish(RULES_TOPIC, rules(trigger("new/in", 1), action(1, "new/out", "ok")), 1, 7))
                c.expect_packet(puback(7))
                c.expect_quiet()
                with open(d.rules_path) as f:
                    self.assertEqual(f.read(), RULES)
                self.assertIn("refused, the running rules stay: the rules engine is not running", d.log())
                c.sock.close()

    def test_a_stop_during_rules_reloads_ends_cleanly(self):
        d = self.daemon().start()
        c = self.client(d)
        self.addCleanup(c.sock.close)
        # Chains that ask the broker for values, then reloads that stop and
        # start the engine while the stop comes.
        c.send((publish("count/tick") * 40 + publish(RULES_TOPIC, RULES)) * 100)
        self.assertTrue(wait_until(lambda: "pubtopic: $SYS/rulesengine/rules" in d.log()))
        os.kill(d.pid, signal.SIGTERM)
        self.assertTrue(finish(d, False), "daemon did not stop cleanly")


class ExampleThermostat(BrokerTestCase):
    rules = example_rules()

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
