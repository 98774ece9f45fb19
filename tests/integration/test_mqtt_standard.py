"""mqtt_standard = 1: MQTT 3.1.1 semantics for MQTT clients, end to end
with raw packets where the flags matter, python3-paho-mqtt and MQTT.js.
Without the key the other suites pin the hub's own semantics."""

import json
import os
import struct
import subprocess
import unittest

from halyx_harness import (TIMEOUT, BrokerTestCase, Client, connack, disconnect, finish, own_daemon, packet,
                           parse_publish, puback, pubcomp, publish, pubrec, pubrel, string, suback, subscribe)
from test_mqtt_clients import PahoClient

NODE_MODULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "node", "node_modules")


def connect311(client_id, clean=True, will=None, level=4):
    """CONNECT with the clean session flag as given; `will` is (topic, message, qos)."""
    flags, payload = (0x02 if clean else 0), string(client_id)
    if will:
        flags |= 0x04 | (will[2] << 3)
        payload += string(will[0]) + string(will[1])
    name = ("MQTT", 4) if level == 4 else ("MQIsdp", 3)
    return packet(0x10, string(name[0]) + bytes([name[1], flags]) + struct.pack("!H", 60) + payload)


def session_connack(present, code=0):
    return bytes([0x20, 0x02, present, code])


class StandardMode(BrokerTestCase):
    conf = {"mqtt_standard": 1, "mqtt_max_queued_messages": 4}

    def connect(self, client_id, clean=True, will=None, present=0):
        client = self.client()
        client.send(connect311(client_id, clean, will))
        client.expect_packet(session_connack(present), f"CONNACK for {client_id}")
        return client

    def subscribe(self, client, filters):
        client.send(subscribe(1, filters))
        client.expect_packet(suback(1, [qos for _, qos in filters]), "SUBACK")

    def test_retained_message_is_kept_apart_from_the_last_value(self):
        pub = self.connect("pub")
        live = self.connect("live")
        self.subscribe(live, [("ret/#", 0)])
        # (publications on the topic, what a new subscriber gets)
        cases = [
            ("plain after retained", [("kept", True), ("plain", False)], b"kept"),
            ("empty retained clears", [("kept", True), ("", True), ("plain", False)], None),
            ("plain only", [("plain", False)], None),
        ]
        for n, (name, publications, replayed) in enumerate(cases):
            with self.subTest(name):
                topic = f"ret/{n}"
                for payload, retain in publications:
                    self.published(pub, topic, payload, retain=retain)
                    # Live deliveries carry RETAIN 0, retained or not.
                    live.expect_publish(topic, payload, 0, False, "live delivery")
                sub = self.connect(f"sub{n}")
                self.subscribe(sub, [(topic, 1)])
                if replayed:
                    sub.expect_publish(topic, replayed, 1, True, "retained message after SUBACK")
                sub.expect_quiet()

    def test_will_only_without_disconnect_and_on_take_over_and_client_ids(self):
        watch = self.connect("watch")
        self.subscribe(watch, [("will/#", 0)])
        for end in ("DISCONNECT", "socket closed", "take-over"):
            with self.subTest(end):
                client = self.connect("willer", will=(f"will/{end}", "gone", 0))
                if end == "DISCONNECT":
                    client.send(disconnect)
                    client.expect_closed()
                elif end == "socket closed":
                    client.sock.close()
                else:
                    newer = self.connect("willer")
                    client.expect_closed("older connection")
                    newer.expect_quiet("newer connection stays")
                if end != "DISCONNECT":
                    watch.expect_publish(f"will/{end}", "gone", 0, False, "will")
                watch.expect_quiet()
        # (client id, clean session, CONNACK code)
        for client_id, clean, code in (("", True, 0), ("", False, 2), ("a-client-id-longer-than-23-chars", True, 0)):
            with self.subTest(client_id=client_id, clean=clean):
                client = self.client()
                client.send(connect311(client_id, clean))
                client.expect_packet(connack(code))
                (client.expect_closed if code else client.expect_quiet)()

    def test_dollar_topics_and_delivered_qos(self):
        pub = self.connect("pub")
        # Overlapping filters: one delivery at the highest granted QoS,
        # capped by the publication's QoS.
        sub = self.connect("sub")
        self.subscribe(sub, [("#", 0), ("q/+", 2), ("q/a", 1), ("+/b", 1), ("$SYS/x", 1)])
        cases = [  # (topic, publication QoS, delivered QoS or None)
            ("q/a", 0, 0), ("q/a", 1, 1), ("q/a", 2, 2), ("x/b", 2, 1), ("x/y", 2, 0),
            ("$SYS/x", 1, 1), ("$x/b", 1, None), ("$x", 2, None),
        ]
        for n, (topic, qos, delivered) in enumerate(cases, 1):
            with self.subTest(topic=topic, qos=qos):
                pub.send(publish(topic, "v", qos, n))
                if qos == 1:
                    pub.expect_packet(puback(n))
                elif qos == 2:
                    pub.expect_packet(pubrec(n))
                    pub.send(pubrel(n))
                    pub.expect_packet(pubcomp(n))
                if delivered is not None:
                    mid = sub.expect_publish(topic, "v", delivered, False)
                    if delivered == 1:
                        sub.send(puback(mid))
                    elif delivered == 2:
                        sub.send(pubrec(mid))
                        sub.expect_packet(pubrel(mid))
                        sub.send(pubcomp(mid))
                sub.expect_quiet()

    def test_kept_session_queues_resends_and_drops_the_oldest(self):
        pub = self.connect("pub")
        sub = self.connect("keeper", clean=False)
        self.subscribe(sub, [("k/#", 2)])
        self.published(pub, "k/flight", "f")
        mid = sub.expect_publish("k/flight", "f", 1)
        pub.send(publish("k/two", "t", 2, 0x200))
        pub.expect_packet(pubrec(0x200))
        pub.send(pubrel(0x200))
        pub.expect_packet(pubcomp(0x200))
        mid2 = sub.expect_publish("k/two", "t", 2)
        sub.send(pubrec(mid2))
        sub.expect_packet(pubrel(mid2))
        # Unacknowledged: PUBLISH sent again with DUP, PUBREL again. After
        # the close the broker has taken the DISCONNECT, before the
        # publications below.
        sub.send(disconnect)
        sub.expect_closed()
        sub = self.client()
        for n in range(4):  # the bound is 4 with the two in flight: the first two queued are dropped
            self.published(pub, f"k/{n}", str(n), mid=0x100 + n)
        pub.send(publish("k/qos0", "lost", 0))
        pub.expect_quiet()
        sub.send(connect311("keeper", clean=False))
        sub.expect_packet(session_connack(1), "CONNACK with session present")
        again = sub.read_packet()
        self.assertEqual(again[0], 0x3A, "PUBLISH again with DUP at QoS 1")
        self.assertEqual(parse_publish(again)[2:], (b"k/flight", mid, b"f"))
        sub.send(puback(mid))
        sub.expect_packet(pubrel(mid2), "PUBREL again")
        sub.send(pubcomp(mid2))
        for n in (2, 3):
            sub.send(puback(sub.expect_publish(f"k/{n}", str(n), 1)))
        sub.expect_quiet()
        self.assertIn("keeper: 2 deliveries dropped at mqtt_max_queued_messages (4)", self.daemon.log())
        # Clean session 1 drops the kept session.
        sub.sock.close()
        fresh = self.connect("keeper")
        self.published(pub, "k/after", "a")
        fresh.expect_quiet()

    def test_paho_and_mqttjs(self):
        # paho receives what MQTT.js publishes (take-over is in the will test).
        paho = PahoClient(self, "paho", "311")
        paho.subscribe("ha/#", 1)
        # MQTT.js, Home Assistant style: retained discovery, non-retained
        # state on other topics; then a 300 KB publication over WebSocket.
        script = """
const mqtt = require(process.argv[1] + '/mqtt');
const c = mqtt.connect('mqtt://127.0.0.1:' + process.argv[2], {clientId: 'ha', reconnectPeriod: 0});
c.on('connect', async () => {
  await c.publishAsync('homeassistant/sensor/t/config', '{"name":"t"}', {qos: 1, retain: true});
  await c.publishAsync('ha/t/state', '21.5', {qos: 1});
  await c.publishAsync('homeassistant/sensor/t/config', '{"name":"t"}', {qos: 1, retain: true});
  await c.publishAsync('ha/t/state', '22.0', {qos: 0});
  const w = mqtt.connect('ws://127.0.0.1:' + process.argv[3],
                         {clientId: 'ws', reconnectPeriod: 0, protocolId: 'MQIsdp', protocolVersion: 3});
  await new Promise((resolve) => w.on('connect', resolve));
  await w.publishAsync('ha/big', Buffer.alloc(300000, 7), {qos: 1});
  w.end();
  const got = [];
  const d = mqtt.connect('mqtt://127.0.0.1:' + process.argv[2], {clientId: 'ha2', reconnectPeriod: 0});
  d.on('message', (t, p, pkt) => {
    got.push([t, p.toString(), pkt.retain]);
    if (t === 'ha/t/state') { console.log(JSON.stringify(got)); c.end(); d.end(); }
  });
  d.on('connect', async () => {
    await d.subscribeAsync(['homeassistant/#', 'ha/t/state'], {qos: 1});
    await d.publishAsync('ha/t/state', '23.0', {qos: 1});
  });
});
"""
        ports = [str(self.daemon.mqtt_port), str(self.daemon.ws_port)]
        out = subprocess.run(["node", "-e", script, NODE_MODULES, *ports],
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(json.loads(out.stdout or "null"), [["homeassistant/sensor/t/config", '{"name":"t"}', True],
                                                            ["ha/t/state", "23.0", False]], out.stderr)
        for topic, payload in (("ha/t/state", b"21.5"), ("ha/t/state", b"22.0"), ("ha/big", bytes([7]) * 300000),
                               ("ha/t/state", b"23.0")):
            paho.expect("message", (topic, payload, 1 if payload != b"22.0" else 0, 0))


class PacketBound(unittest.TestCase):
    def test_bound_closes_with_a_notice(self):
        # (configuration, payload size, the bound that closes, None: accepted)
        for conf, size, bound in (({}, 32800, 32768), ({"mqtt_max_packet_size": 40000}, 32800, None),
                                  ({"mqtt_standard": 1}, 1 << 20, 1 << 20)):
            with self.subTest(conf=conf):
                daemon = own_daemon(self, conf=conf).start()
                client = Client(daemon.mqtt_port)
                self.addCleanup(client.sock.close)
                client.send(connect311("plain"))
                client.expect_packet(connack(0))
                client.send(big := publish("p", bytes(size), 1, 1))
                client.expect_packet(puback(1) if bound is None else b"")
                notice = f'client "plain" sent a packet of {len(big)} bytes, more than mqtt_max_packet_size ({bound})'
                self.assertEqual(notice in daemon.log(), bound is not None)
                self.assertTrue(finish(daemon, False))


if __name__ == "__main__":
    unittest.main(verbosity=2)
