"""The store end to end: retained values, rule variables and topic ids come
back after a stop or a kill; a corrupt or unwritable store; no write while
nothing changes; the history over HTTP; the bridge's held publications."""

import json
import os
import socket
import sqlite3
import time
import unittest
import urllib.parse

from halyx_harness import (TIMEOUT, BrokerTestCase, Daemon, connack, connect, parse_publish, puback, publish, suback,
                            subscribe, wait_until)
from mqttsn_client import Node
from test_bridge import Peer, Upstream
from test_mqtt_standard import connect311, session_connack

COUNTER = "$SYS/rulesengine/variables/counter"
WWW = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../www")


def rules(initial):
    return json.dumps({"version": "1.00", "nodes": [
        {"type": "variable-init", "variable": "counter", "value": initial, "retain": 1},
        {"type": "trigger-topic", "topic": "count/tick", "nextid": 1},
        {"type": "variable-increment", "id": 1, "variable": "counter", "nextid": 0, "retain": 1}]})


def http_get(port, target):
    with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as sock:
        sock.sendall(f"GET {target} HTTP/1.0\r\n\r\n".encode())
        data = b"".join(iter(lambda: sock.recv(65536), b""))
    head, _, body = data.partition(b"\n\r\n") if b"\n\r\n" in data else data.partition(b"\n\n")
    return head.decode(errors="replace"), body


class StoreCase(BrokerTestCase):
    extra = "persistence_interval = 1\nhistory_max_points = 8\n"
    initial = "41"

    def setUp(self):
        self.daemon = Daemon(rules=rules(self.initial), http_files=WWW)
        self.db = os.path.join(self.daemon.dir, "halyx.db")
        with open(self.daemon.conf_path, "a") as f:
            f.write(f"persistence_file = {self.db}\n{self.extra}")
        self.daemon.start()

    def query(self, sql, *args):
        """Rows of a read-only query; [] while the file is not a store yet."""
        try:
            with sqlite3.connect(f"file:{self.db}?mode=ro", uri=True, timeout=TIMEOUT) as db:
                return db.execute(sql, args).fetchall()
        except sqlite3.Error:
            return []

    def stored(self, name):
        return self.query("SELECT value FROM topics WHERE name = ?", name.encode())

    def retained_names(self, prefix):
        return sum(n.startswith(prefix.encode()) for n, in self.query("SELECT name FROM topics WHERE retain = 1"))

    def retained(self, filters):
        """Every retained publication a new subscriber gets, as {topic: payload}."""
        sub = self.subscribed(f"r{time.monotonic_ns()}", [(f, 0) for f in filters])
        got = {}
        while pkt := sub.read_packet(timeout=1):
            _, _, topic, _, payload = parse_publish(pkt)
            got[topic.decode()] = payload
        return got

    def publish_all(self, items, retain=True):
        pub = self.connected(f"p{time.monotonic_ns()}")
        pub.send(b"".join(publish(t, v, 0, None, retain) for t, v in items))
        self.published(pub, "sync", "x")

    def restart(self, kill):
        if kill:
            self.daemon.kill()
        else:
            self.assertEqual(self.daemon.stop(), 0)
        self.daemon.start()


class Persistence(StoreCase):
    def test_state_comes_back_after_sigterm_and_kill(self):
        node = Node(self.daemon.mqttsn_port, TIMEOUT)
        node.connect("node")
        ids = {name: node.register(name) for name in ("sn/a", "sn/b")}
        for kill in (False, True):
            with self.subTest(kill=kill):
                topics = {f"t/{kill}/{i}": f"v{i}" for i in range(1000)}
                self.publish_all(topics.items())
                self.published(self.connected("tick"), "count/tick", "1")
                expected = "43" if kill else "42"
                # Past one interval the file holds it all, so a kill loses nothing.
                self.assertTrue(wait_until(lambda: self.retained_names(f"t/{kill}/") == 1000
                                           and self.stored(COUNTER) == [(expected.encode(),)]))
                self.restart(kill)
                got = self.retained([f"t/{kill}/#", COUNTER])
                self.assertEqual({t: p for t, p in got.items() if t.startswith("t/")},
                                 {t: v.encode() for t, v in topics.items()})
                self.assertEqual(got[COUNTER], expected.encode(), "the variable set at run time")
                node = Node(self.daemon.mqttsn_port, TIMEOUT)
                node.connect("node")
                self.assertEqual({name: node.register(name) for name in ids}, ids, "same topic ids")
                self.assertNotIn(node.register(f"sn/new/{kill}"), ids.values())

    def test_changed_rules_file_applies_its_initial_values(self):
        self.published(self.connected("tick"), "count/tick", "1")
        self.assertTrue(wait_until(lambda: self.stored(COUNTER) == [(b"42",)]))
        self.assertEqual(self.daemon.stop(), 0)
        with open(self.daemon.rules_path, "w") as f:
            f.write(rules("7"))
        self.daemon.start()
        self.assertEqual(self.retained([COUNTER]), {COUNTER: b"7"})

    def test_no_write_while_nothing_changes(self):
        self.publish_all([("quiet/a", "on")])
        self.assertTrue(wait_until(lambda: self.stored("quiet/a")))
        # Settled: a write seen, then a full interval without one.
        files = (self.db, self.db + "-wal")

        def state():
            return [(os.stat(f).st_mtime_ns, os.stat(f).st_size) for f in files if os.path.exists(f)]
        before = state()
        self.publish_all([("quiet/a", "on")])  # the same value again changes nothing
        time.sleep(3.5)  # several intervals; nothing is awaited here
        self.assertEqual(state(), before)

    def test_history_in_order_over_http_and_after_restart(self):
        topic = "home/living room/temp"
        values = ["21.5", "22", "-3e1", "abc", "", "1e999", "23.25"]
        for v in values:  # one at a time: each gets its own time
            self.publish_all([(topic, v)], retain=False)
        self.publish_all([("$SYS/x", "5")], retain=False)
        url = f"/api/history?topic={urllib.parse.quote(topic, safe='')}&since=0"

        def points():
            head, body = http_get(self.daemon.http_port, url)
            return head, json.loads(body) if head.startswith("HTTP/1.1 200") else None
        self.assertTrue(wait_until(lambda: (p := points()[1]) and len(p["points"]) == 4))
        for restarted in (False, True):
            with self.subTest(restarted=restarted):
                head, answer = points()
                self.assertIn("Content-type: application/json", head)
                self.assertEqual(answer["topic"], topic)
                self.assertEqual([v for _, v in answer["points"]], [21.5, 22, -30, 23.25])
                times = [t for t, _ in answer["points"]]
                self.assertEqual(times, sorted(times))
                self.assertLess(abs(times[-1] / 1000 - time.time()), 600)
                self.restart(False)
        # Past history_max_points the oldest points thin out; the newest stay.
        self.publish_all([("thin", str(i)) for i in range(30)], retain=False)
        thin = "/api/history?topic=thin&since=0"
        self.assertTrue(wait_until(lambda: (a := json.loads(http_get(self.daemon.http_port, thin)[1]))["points"]
                                   and a["points"][-1][1] == 29))
        kept = [v for _, v in json.loads(http_get(self.daemon.http_port, thin)[1])["points"]]
        self.assertLessEqual(len(kept), 8)
        self.assertEqual(kept, sorted(kept))
        since = int(time.time()) + 3600
        cases = [(f"/api/history?topic={urllib.parse.quote(topic)}&since={since}", 200, []),
                 ("/api/history?topic=%24SYS%2Fx", 200, []),
                 ("/api/history?topic=none", 200, []),
                 ("/api/history?since=0", 400, None),
                 ("/api/history?topic=a%2B&since=0", 400, None),
                 ("/api/history?topic=a&since=x", 400, None),
                 ("/index.html?topic=a", 404, None)]
        for target, code, pts in cases:
            with self.subTest(target):
                head, body = http_get(self.daemon.http_port, target)
                self.assertTrue(head.startswith(f"HTTP/1.1 {code}"), head)
                if pts is not None:
                    self.assertEqual(json.loads(body)["points"], pts)


def retained_names(conn):
    """The clients' retained topics a store holds (not the hub's own "$SYS/...")."""
    return sorted(n for n, in conn.execute("SELECT name FROM topics WHERE retain = 1") if not n.startswith(b"$"))


class StandardRetained(StoreCase):
    extra = StoreCase.extra + "mqtt_standard = 1\n"

    def test_the_retained_message_comes_back_apart_from_the_last_value(self):
        self.publish_all([("std/t", "kept")])
        self.publish_all([("std/t", "later")], retain=False)
        self.assertTrue(wait_until(lambda: self.stored("std/t") == [(b"kept",)]))
        self.restart(kill=True)
        self.assertEqual(self.retained(["std/#"]), {"std/t": b"kept"})

    def keeper(self, present):
        sub = self.client()
        sub.send(connect311("keeper", clean=False))
        sub.expect_packet(session_connack(present), "CONNACK of the kept session")
        return sub

    def test_kept_session_comes_back_after_sigterm_and_kill(self):
        sub = self.keeper(0)
        sub.send(subscribe(1, [("keep/#", 1)]))
        sub.expect_packet(suback(1, [1]))
        for kill in (False, True):
            with self.subTest(kill=kill):
                # One delivery left unacknowledged, two more while away.
                self.published(self.connected(f"p{kill}"), "keep/sent", f"s{kill}")
                mid = sub.expect_publish("keep/sent", f"s{kill}", 1)
                sub.send(bytes([0xE0, 0]))
                sub.sock.close()
                pub = self.connected(f"q{kill}")
                for i in range(2):
                    self.published(pub, "keep/away", f"a{kill}{i}", mid=i + 1)
                # Past one interval the file holds it, so a kill loses nothing;
                # a stop writes it at the end.
                self.assertTrue(not kill or wait_until(lambda: self.query(
                    "SELECT 1 FROM mqtt_sessions WHERE instr(deliveries, ?)", f"a{kill}1".encode())))
                self.restart(kill)
                sub = self.keeper(1)
                resent = bytearray(publish("keep/sent", f"s{kill}", 1, mid))
                resent[0] |= 0x08
                sub.expect_packet(bytes(resent), "the unacknowledged delivery again, with DUP")
                got = [sub.expect_publish("keep/away", f"a{kill}{i}", 1) for i in range(2)]
                sub.send(b"".join(puback(m) for m in [mid] + got))
                self.published(self.connected(f"r{kill}"), "keep/new", "n")
                sub.send(puback(sub.expect_publish("keep/new", "n", 1, what="the kept subscription")))
        # Clean session 1 ends the session, in the file too.
        self.client().send(connect311("keeper", clean=True))
        self.assertTrue(wait_until(lambda: self.query("SELECT COUNT(*) FROM mqtt_sessions") == [(0,)]))


class StoreFile(unittest.TestCase):
    def daemon(self, prepare, interval=1):
        daemon = Daemon(conf=f"persistence_interval = {interval}\n")
        self.addCleanup(daemon.kill)
        db = os.path.join(daemon.dir, "halyx.db")
        with open(daemon.conf_path, "a") as f:
            f.write(f"persistence_file = {db}\n")
        prepare(db)
        return daemon.start(), db

    def publish_retained(self, daemon, topic):
        with socket.create_connection(("127.0.0.1", daemon.mqtt_port), timeout=TIMEOUT) as sock:
            sock.sendall(connect(topic) + publish(topic, "v", 1, 1, True))
            reply = b""
            while len(reply) < 8 and (chunk := sock.recv(8 - len(reply))):
                reply += chunk
            self.assertEqual(reply, connack(0) + puback(1), "stored before the answer")

    def test_final_write_at_sigterm(self):
        daemon, db = self.daemon(lambda db: None, interval=3600)
        self.publish_retained(daemon, "last")
        self.assertEqual(daemon.stop(), 0)
        with sqlite3.connect(db) as conn:
            self.assertEqual(retained_names(conn), [b"last"])

    def test_corrupt_store_is_moved_aside_and_the_hub_starts_empty(self):
        def garbage(db):
            with open(db, "wb") as f:
                f.write(b"not a database " * 1000)
        daemon, db = self.daemon(garbage)
        aside = [n for n in os.listdir(daemon.dir) if n.startswith("halyx.db.corrupt-")]
        self.assertEqual(len(aside), 1)
        with open(os.path.join(daemon.dir, aside[0]), "rb") as f:
            self.assertTrue(f.read().startswith(b"not a database"), "kept as it was")
        self.assertRegex(daemon.log(), rf"(?m)^err .*{db}.*{aside[0]}")
        self.publish_retained(daemon, "after")
        self.assertTrue(wait_until(lambda: os.path.exists(db + "-wal") or os.path.getsize(db) > 0))
        self.assertEqual(daemon.stop(), 0)
        with sqlite3.connect(db) as conn:
            self.assertEqual(retained_names(conn), [b"after"])

    def test_unwritable_store_is_reported_once_and_the_hub_serves(self):
        daemon, db = self.daemon(os.mkdir)  # a directory where the file should be
        for i in range(3):
            self.publish_retained(daemon, f"w{i}")
            time.sleep(1.2)  # one interval each; nothing is awaited here
        warnings = [line for line in daemon.log().splitlines() if "cannot be written" in line]
        self.assertEqual(len(warnings), 1, warnings)
        self.assertTrue(warnings[0].startswith("warning"))
        os.rmdir(db)  # the episode ends: the next write lands, with all it missed
        self.assertTrue(wait_until(lambda: "written again" in daemon.log()))
        self.assertEqual(daemon.stop(), 0)
        with sqlite3.connect(db) as conn:
            self.assertEqual(retained_names(conn), [b"w0", b"w1", b"w2"])

    def test_bridge_held_publications_survive_restarts(self):
        upstream = Upstream(self, persistence=True).start()
        Peer(self, upstream.port, "remote", ["site/#"], clean=False).close()
        upstream.stop()
        def bridged(db):
            with open(os.path.join(os.path.dirname(db), "halyx.conf"), "a") as f:
                f.write(f"bridge_address = 127.0.0.1\nbridge_port = {upstream.port}\nbridge_out = site/#\n")
        daemon, db = self.daemon(bridged)
        held = lambda: self.query(db, "SELECT count(*) FROM bridge_held")
        # Taken before a kill once a write landed, and just before a SIGTERM.
        for first, end in ((0, 150), (150, 300)):
            local = Peer(self, daemon.mqtt_port, "local")
            for i in range(first, end):
                local.publish("site/n", str(i))
            local.close()
            if first == 0:
                self.assertTrue(wait_until(lambda: held() == [(150,)]), daemon.log())
                daemon.kill()
            else:
                self.assertEqual(daemon.stop(), 0)
            daemon.start()
        state = Peer(self, daemon.mqtt_port, "state", ["$SYS/bridge/#"])
        self.assertTrue(state.wait("$SYS/bridge/queued", "300"), daemon.log())
        upstream.start()
        self.assertTrue(state.wait("$SYS/bridge/queued", "0"), daemon.log())
        remote = Peer(self, upstream.port, "remote", clean=False)
        self.assertTrue(remote.wait("site/n", "299"), upstream.log())
        self.assertEqual(list(dict.fromkeys(int(p) for p, _ in remote.messages("site/n"))), list(range(300)))
        # Acknowledged ones leave the store: a restart sends nothing again.
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual(held(), [(0,)])

    def query(self, db, sql):
        with sqlite3.connect(f"file:{db}?mode=ro", uri=True, timeout=TIMEOUT) as conn:
            try:
                return conn.execute(sql).fetchall()
            except sqlite3.Error:
                return []


if __name__ == "__main__":
    unittest.main()
