"""The bridge against Debian's mosquitto as the upstream on loopback:
topics both ways with the remote prefix, no echo, QoS 1 held across an
upstream outage and the bound on what is held, two hubs meeting upstream,
TLS with the upstream's authority, a login and a client certificate, an
upstream that is down when the hub starts or freezes."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import unittest

import paho.mqtt.client as mqtt

from halyx_harness import TIMEOUT, Daemon, finish, free_port, make_certs, wait_until


class Upstream:
    """A mosquitto on its own port, started and stopped in the foreground;
    `persistence` keeps its sessions across a restart; `lines` go last."""

    def __init__(self, test, tls_cert=None, persistence=False, lines=()):
        self.dir = tempfile.mkdtemp(prefix="halyx-upstream-")
        test.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        test.addCleanup(self.stop)
        self.port = free_port()
        conf = [f"listener {self.port} 127.0.0.1", "allow_anonymous true", f"log_dest file {self.dir}/log"]
        if os.getuid() == 0:
            conf.append("user root")
        if tls_cert:
            conf += [f"certfile {tls_cert('server.crt')}", f"keyfile {tls_cert('server.key')}"]
        if persistence:
            conf += ["persistence true", f"persistence_location {self.dir}/"]
        with open(os.path.join(self.dir, "mosquitto.conf"), "w") as f:
            f.write("\n".join(conf + list(lines)) + "\n")
        self.process = None

    def start(self):
        opened = f"Opening ipv4 listen socket on port {self.port}"
        before = self.log().count(opened)
        self.process = subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(self.dir, "mosquitto.conf")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: self.log().count(opened) > before), self.log()
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(TIMEOUT)

    def log(self):
        try:
            with open(os.path.join(self.dir, "log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""


class Peer:
    """A paho client at MQTT 3.1.1 that keeps what it receives; `tls`: tls_set's arguments."""

    def __init__(self, test, port, client_id, subscriptions=(), clean=True, login=None, **tls):
        self.received = []
        self.lock = threading.Lock()
        self.subscribed = threading.Event()
        self.client = mqtt.Client(client_id=client_id, clean_session=clean, protocol=mqtt.MQTTv311)
        if tls:
            self.client.tls_set(**tls)
        if login:
            self.client.username_pw_set(*login)
        self.client.on_message = self._message
        self.client.on_subscribe = lambda *args: self.subscribed.set()
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        test.addCleanup(self.close)
        if subscriptions:
            self.client.subscribe([(f, 1) for f in subscriptions])
            assert self.subscribed.wait(TIMEOUT)

    def _message(self, client, userdata, message):
        with self.lock:
            self.received.append((message.topic, message.payload.decode(), message.retain))

    def messages(self, topic):
        with self.lock:
            return [(payload, retain) for t, payload, retain in self.received if t == topic]

    def last(self, topic):
        return (self.messages(topic)[-1:] or [(None, None)])[0][0]

    def wait(self, topic, payload):
        return wait_until(lambda: any(p == payload for p, _ in self.messages(topic)))

    def publish(self, topic, payload, qos=1, retain=False):
        self.client.publish(topic, payload, qos=qos, retain=retain).wait_for_publish()

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


class BridgeTest(unittest.TestCase):

    def hub(self, upstream_port, **keys):
        """A started hub bridged to the upstream; a list value repeats its key."""
        conf = f"bridge_address = 127.0.0.1\nbridge_port = {upstream_port}\n"
        for key, value in dict({"bridge_keepalive": 5}, **keys).items():
            conf += "".join(f"{key} = {v}\n" for v in (value if isinstance(value, list) else [value]))
        daemon = Daemon(conf=conf)
        self.addCleanup(shutil.rmtree, daemon.dir, ignore_errors=True)
        self.addCleanup(lambda: self.assertTrue(finish(daemon, False), "daemon did not stop cleanly"))
        daemon.start()
        return daemon

    def bridge_state(self, daemon):
        return Peer(self, daemon.mqtt_port, "state", ["$SYS/bridge/#"])

    def certs(self):
        directory = tempfile.mkdtemp(prefix="halyx-certs-")
        self.addCleanup(shutil.rmtree, directory, ignore_errors=True)
        return make_certs(directory)

    def test_out_with_prefix_in_without_and_no_echo(self):
        upstream = Upstream(self).start()
        hub = self.hub(upstream.port, bridge_out=["sensors/#", "cmd/#"], bridge_in="cmd/#",
                       bridge_remote_prefix="site1/", bridge_client_id="site1")
        state = self.bridge_state(hub)
        self.assertTrue(state.wait("$SYS/bridge/state", "connected"), hub.log())
        local = Peer(self, hub.mqtt_port, "local", ["cmd/#", "sensors/#"])
        remote = Peer(self, upstream.port, "remote", ["#"])
        local.publish("sensors/t", "21.5", retain=True)
        local.publish("other/t", "not bridged")
        remote.publish("site1/cmd/light", "on")   # comes down, and matches an out filter
        remote.publish("site1/cmd/door", "locked", retain=True)
        local.publish("cmd/fan", "off")           # goes up; the upstream must not send it back
        remote.publish("site1/end", "marker")
        self.assertTrue(remote.wait("site1/end", "marker"))
        self.assertTrue(local.wait("cmd/light", "on"), hub.log())
        self.assertTrue(remote.wait("site1/cmd/fan", "off"))
        self.assertTrue(remote.wait("site1/sensors/t", "21.5"))
        # A round trip more for anything echoed to arrive.
        local.publish("cmd/last", "x")
        self.assertTrue(remote.wait("site1/cmd/last", "x"))
        self.assertTrue(local.wait("cmd/last", "x"))
        for peer, topic in ((remote, "site1/cmd/light"), (local, "cmd/light"), (local, "cmd/fan"),
                            (remote, "site1/cmd/fan")):
            self.assertEqual(len(peer.messages(topic)), 1, topic)
        self.assertEqual(remote.messages("site1/other/t") + remote.messages("other/t"), [])
        # The retained flag went up with the value, and came down with the other.
        self.assertTrue(local.wait("cmd/door", "locked"))
        for port, topic, payload in ((upstream.port, "site1/sensors/t", "21.5"), (hub.mqtt_port, "cmd/door", "locked")):
            late = Peer(self, port, "late", [topic])
            self.assertTrue(late.wait(topic, payload), topic)
            self.assertEqual(late.messages(topic), [(payload, True)])

    def test_outage_holds_the_newest_qos1_publications_in_order(self):
        # The bound, publications sent meanwhile, those that arrive ("site/n" and
        # a two-digit number are 8 bytes).
        for bound, sent, kept in (({}, 300, range(300)), ({"bridge_queue_max": 10}, 50, range(40, 50)),
                                  ({"bridge_queue_max_bytes": 80}, 50, range(40, 50))):
            with self.subTest(**bound):
                upstream = Upstream(self, persistence=True).start()
                remote = Peer(self, upstream.port, "remote", ["site/#"], clean=False)
                remote.close()
                hub = self.hub(upstream.port, bridge_out="site/#", **bound)
                state = self.bridge_state(hub)
                self.assertTrue(state.wait("$SYS/bridge/state", "connected"), hub.log())
                upstream.stop()
                self.assertTrue(state.wait("$SYS/bridge/state", "disconnected"), hub.log())
                local = Peer(self, hub.mqtt_port, "local")
                for i in range(sent):
                    local.publish("site/n", str(i))
                self.assertTrue(state.wait("$SYS/bridge/queued", str(len(kept))), state.received[-3:])
                upstream.start()
                remote = Peer(self, upstream.port, "remote", clean=False)
                self.assertTrue(remote.wait("site/n", str(sent - 1)), upstream.log())
                self.assertTrue(wait_until(lambda: state.last("$SYS/bridge/queued") == "0"), hub.log())
                payloads = [int(p) for p, _ in remote.messages("site/n")]
                self.assertEqual(list(dict.fromkeys(payloads)), list(kept))
                # One notice per change of state; one warning as dropping starts and one as it ends.
                log, dropped = hub.log(), sent - len(kept)
                self.assertEqual(log.count("bridge: connected"), 2, log)
                self.assertEqual(log.count("bridge_queue_max_bytes bound"), int(dropped > 0), log)
                self.assertEqual(log.count(f"bridge: {dropped} publications were dropped"), int(dropped > 0), log)

    def test_two_hubs_exchange_through_one_upstream(self):
        port6 = free_port()
        upstream = Upstream(self, lines=[f"listener {port6} ::1"]).start()
        # One hub over IPv4, the other over IPv6.
        hubs = [self.hub(port, bridge_out=f"{me}/#", bridge_in=f"{other}/#", bridge_client_id=me, bridge_address=address)
                for me, other, address, port in (("a", "b", "127.0.0.1", upstream.port), ("b", "a", "::1", port6))]
        for hub in hubs:
            self.assertTrue(self.bridge_state(hub).wait("$SYS/bridge/state", "connected"), hub.log())
        peers = [Peer(self, hub.mqtt_port, "peer", ["a/#", "b/#"]) for hub in hubs]
        peers[0].publish("a/temperature", "19.0")
        peers[1].publish("b/humidity", "55")
        self.assertTrue(peers[1].wait("a/temperature", "19.0"))
        self.assertTrue(peers[0].wait("b/humidity", "55"))

    def test_tls_verifies_the_upstream(self):
        cert = self.certs()
        upstream = Upstream(self, tls_cert=cert).start()
        remote = Peer(self, upstream.port, "remote", ["#"], ca_certs=cert("ca.crt"))
        for ca, connects in (("ca.crt", True), ("rogue_ca.crt", False)):
            with self.subTest(ca=ca):
                hub = self.hub(upstream.port, bridge_out="tls/#", bridge_tls_ca_file=cert(ca))
                Peer(self, hub.mqtt_port, "local").publish("tls/" + ca, "1")
                if connects:
                    self.assertTrue(remote.wait("tls/" + ca, "1"), hub.log())
                else:
                    self.assertTrue(wait_until(lambda: "certificate not trusted" in hub.log()), hub.log())
                    self.assertEqual(remote.messages("tls/" + ca), [])

    def test_upstream_down_at_start(self):
        upstream = Upstream(self)
        hub = self.hub(upstream.port, bridge_out="late/#")
        state = self.bridge_state(hub)
        self.assertTrue(state.wait("$SYS/bridge/state", "disconnected"))
        local = Peer(self, hub.mqtt_port, "local", ["late/#"])
        local.publish("late/value", "kept", retain=True)
        self.assertTrue(local.wait("late/value", "kept"))  # the hub serves meanwhile
        upstream.start()
        self.assertTrue(state.wait("$SYS/bridge/state", "connected"), hub.log())
        remote = Peer(self, upstream.port, "remote", ["late/#"])
        self.assertTrue(remote.wait("late/value", "kept"), hub.log())

    def test_plain_mqtt_311_after_the_bridge_level_is_refused(self):
        # No broker here refuses the bridge protocol level, as some do: a
        # listener that answers CONNECTs as such a broker would.
        server = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(server.close)
        levels = []

        def answer():
            for _ in range(2):
                conn, _ = server.accept()
                with conn:
                    head = conn.recv(2, socket.MSG_WAITALL)  # a CONNECT of under 128 bytes
                    body = conn.recv(head[1], socket.MSG_WAITALL)
                    levels.append(body[6])
                    conn.sendall(bytes([0x20, 2, 0, 1 if body[6] != 4 else 0]))
                    if body[6] == 4:
                        conn.recv(1)  # until the hub leaves
        threading.Thread(target=answer, daemon=True).start()
        hub = self.hub(server.getsockname()[1], bridge_out="x/#")
        self.assertTrue(self.bridge_state(hub).wait("$SYS/bridge/state", "connected"), hub.log())
        self.assertEqual(levels, [0x84, 4])

    def test_upstream_login_and_client_certificate(self):
        cert = self.certs()
        passwords = cert("passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "hub", "secret"], check=True)
        tls = dict(bridge_tls_ca_file=cert("ca.crt"))
        # upstream, its observer's credentials, the hub's keys that connect and those that do not, the
        # upstream's and the hub's words for the refusal
        for upstream_keys, observer, right, wrong, refused, reason in (
                (dict(lines=["allow_anonymous false", f"password_file {passwords}"]), dict(login=("hub", "secret")),
                 dict(bridge_user="hub", bridge_password="secret"), dict(bridge_user="hub", bridge_password="wrong"),
                 "not authorised", "refused, CONNACK code 5"),
                (dict(tls_cert=cert, lines=["require_certificate true", f"cafile {cert('ca.crt')}"]),
                 dict(ca_certs=cert("ca.crt"), certfile=cert("client.crt"), keyfile=cert("client.key")),
                 dict(bridge_tls_cert_file=cert("client.crt"), bridge_tls_key_file=cert("client.key"), **tls), tls,
                 "did not return a certificate", "TLS error")):
            with self.subTest(reason):
                upstream = Upstream(self, **upstream_keys).start()
                remote = Peer(self, upstream.port, "remote", ["#"], **observer)
                for keys, connects in ((right, True), (wrong, False)):
                    hub = self.hub(upstream.port, bridge_out="up/#", **keys)
                    state = self.bridge_state(hub)
                    local = Peer(self, hub.mqtt_port, "local", ["up/#"])
                    local.publish("up/x", str(connects))
                    self.assertTrue(local.wait("up/x", str(connects)))  # the hub serves either way
                    if connects:
                        self.assertTrue(remote.wait("up/x", "True"), hub.log())
                        continue
                    # Several attempts refused, one notice, never connected.
                    self.assertTrue(wait_until(lambda: upstream.log().count(refused) >= 3), upstream.log())
                    log = hub.log()
                    self.assertEqual(log.count("unreachable"), 1, log)
                    self.assertIn(f"unreachable ({reason})", log)
                    self.assertEqual({p for p, _ in state.messages("$SYS/bridge/state")}, {"disconnected"})
                    self.assertEqual(remote.messages("up/x"), [("True", False)])

    def test_frozen_upstream_is_noticed_by_the_keepalive(self):
        upstream = Upstream(self).start()
        self.addCleanup(upstream.process.send_signal, signal.SIGCONT)
        remote = Peer(self, upstream.port, "remote", ["ka/#"])
        hub = self.hub(upstream.port, bridge_out="ka/#", bridge_keepalive=2)
        state = self.bridge_state(hub)
        self.assertTrue(state.wait("$SYS/bridge/state", "connected"), hub.log())
        # Stopped, the upstream keeps the connection open and answers nothing.
        upstream.process.send_signal(signal.SIGSTOP)
        self.assertTrue(wait_until(lambda: state.last("$SYS/bridge/state") == "disconnected"), hub.log())
        self.assertIn("lost (no answer within the keep-alive)", hub.log())
        upstream.process.send_signal(signal.SIGCONT)
        self.assertTrue(wait_until(lambda: state.last("$SYS/bridge/state") == "connected"), hub.log())
        Peer(self, hub.mqtt_port, "local").publish("ka/x", "back")
        self.assertTrue(remote.wait("ka/x", "back"), hub.log())


if __name__ == "__main__":
    unittest.main()
