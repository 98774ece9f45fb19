"""Clients that misbehave or overload the daemon: each of them must not hold
up the others, take unbounded memory, or keep descriptors for ever."""

import contextlib
import select
import socket
import threading
import time
import unittest

from halyx_harness import (TIMEOUT, BrokerTestCase, connack, connect, describe, disconnect, memory_bound_kb,
                           parse_publish, pingreq, pingresp, publish, puback, split_packet, subscribe, suback,
                           wait_until)

PROMPT = 2.0  # bound for a reply that nothing but the broker's own loop delays
MEMORY_KB = 24 * 1024  # growth of the daemon's peak resident size allowed under load
UPGRADE = (b"GET /mqtt HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
           b"Sec-WebSocket-Protocol: mqttv3.1\r\n\r\n")


def readable(client):
    return bool(client.buf or select.select([client.sock], [], [], 0)[0])


def ws_framed(client):
    """MQTT packets in short WebSocket frames, masked with a zero key towards
    the broker; a short frame back reads like a packet with a 2-byte header."""
    send, read = client.send, client.read_packet
    client.send = lambda data: send(bytes([0x82, 0x80 | len(data)]) + bytes(4) + data)
    client.read_packet = lambda timeout=TIMEOUT: (frame := read(timeout)) and frame[2:]
    return client


class AbuseTestCase(BrokerTestCase):
    def background(self, work):
        """Runs `work` in a thread joined at the end of the test; a socket
        error there shows up as a missing reply in the test itself."""
        def run():
            with contextlib.suppress(OSError):
                work()
        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        self.addCleanup(thread.join, TIMEOUT)

    def websocket(self, upgrade=True, source=None):
        """A socket on the WebSocket port that sent the upgrade request and
        got its 101 answer, or that sent all of the request but its last line."""
        client = self.client(self.daemon.ws_port, source=source)
        client.send(UPGRADE if upgrade else UPGRADE[:-2])
        while upgrade and b"\r\n\r\n" not in client.buf:
            client.buf += client.sock.recv(4096) or self.fail("upgrade request not answered")
        if upgrade:
            head, client.buf = client.buf.split(b"\r\n\r\n", 1)
            self.assertTrue(head.startswith(b"HTTP/1.1 101 "), head)
        return client

    def assert_memory_bounded(self, idle_kb):
        if (bound := memory_bound_kb(MEMORY_KB)) is None:
            return
        grown = self.daemon.memory_kb() - idle_kb
        self.assertLess(grown, bound, f"peak resident size grew by {grown} KiB")


class Load(AbuseTestCase):
    # Small output bounds, so that a stalled reader reaches them soon;
    # tracing every message would make the daemon the slow end.
    conf = {"log_level": 6, "mqtt_output_hard_limit": 2 << 20, "mqtt_output_stall_timeout": 2}

    def test_trickling_socket_does_not_delay_connacks_of_others(self):
        trickler, stop = self.connected("trickler"), threading.Event()
        unfinished = publish("slow/t", b"x" * 4000)  # 5 ms a byte: not complete before the test ends
        self.background(lambda: [trickler.send(bytes([b])) for b in unfinished if not stop.wait(0.005)])
        self.addCleanup(stop.set)
        for i in range(5):
            client = self.client()
            client.send(connect(f"c{i}"))
            self.assertEqual(client.read_packet(PROMPT), connack(0), f"CONNACK for c{i} while a socket trickles")

    def test_subscriber_that_never_reads_is_dropped_without_holding_up_others(self):
        # 8 MB: more than the kernel buffers towards the stalled socket plus its hard bound.
        count = 1000
        payloads = [f"{n:04}".encode() + b"x" * 8188 for n in range(count)]
        stalled = self.subscribed("stalled", [("big/t", 0)], rcvbuf=4096)
        healthy, pub = self.subscribed("healthy", [("big/t", 0)]), self.connected("pub")
        idle_kb = self.daemon.memory_kb()
        self.background(lambda: pub.send(b"".join(publish("big/t", p) for p in payloads)))
        deadline = time.monotonic() + TIMEOUT  # for the whole stream, so a crawling one fails too
        for n, payload in enumerate(payloads):
            pkt = healthy.read_packet(deadline - time.monotonic())
            self.assertTrue(pkt == publish("big/t", payload), f"message {n} of {count}: {describe(pkt)}")
        self.assertTrue(wait_until(lambda: "slow consumer" in self.daemon.log()), "slow consumer closed")
        self.assertEqual(self.daemon.log().count("dropping its QoS 0 deliveries"), 1, "drops logged once")
        drained = 0
        while pkt := stalled.read_packet():
            drained += len(pkt)
        self.assertTrue(stalled.closed, "stalled subscriber closed")
        self.assertLess(drained, count * 8192, "stalled subscriber closed before it got everything")
        self.assert_memory_bounded(idle_kb)

    def test_flood_of_qos1_publishes_is_delivered_and_acknowledged_exactly_once(self):
        senders, count = 10, 2000
        sub = self.subscribed("sub", [("flood/t", 0)])
        pubs = [self.connected(f"p{i}") for i in range(senders)]
        idle_kb = self.daemon.memory_kb()
        for i, pub in enumerate(pubs):
            data = b"".join(publish("flood/t", f"{i} {n}", 1, n + 1) for n in range(count))
            self.background(lambda pub=pub, data=data: pub.send(data))
        received = {i: [] for i in range(senders)}
        deadline = time.monotonic() + TIMEOUT  # for the whole flood, so a crawling one fails too
        for k in range(senders * count):
            pkt = sub.read_packet(deadline - time.monotonic())
            self.assertTrue(pkt and pkt[0] == 0x30, f"delivery {k} of {senders * count}: {pkt!r}")
            i, n = map(int, parse_publish(pkt)[4].split())
            received[i].append(n)
        self.assertEqual(received, {i: list(range(count)) for i in range(senders)}, "each once, in order")
        for i, pub in enumerate(pubs):
            for mid in range(1, count + 1):
                pub.expect_packet(puback(mid), f"PUBACK {mid} to p{i}")
        sub.expect_quiet("no duplicate delivery")
        self.assert_memory_bounded(idle_kb)


class Identity(AbuseTestCase):
    def test_two_connections_from_one_source_address_are_two_sessions(self):
        with socket.socket() as probe:  # a free local port for both to share
            probe.bind(("127.0.0.1", 0))
            source = probe.getsockname()[1]
        tcp, ws = self.client(source=source), ws_framed(self.websocket(source=source))
        self.assertEqual(tcp.sock.getsockname(), ws.sock.getsockname())
        for client, client_id in ((tcp, "tcp"), (ws, "ws")):
            client.send(connect(client_id))
            client.expect_packet(connack(0), f"CONNACK for {client_id}")
            client.send(subscribe(1, [("same/t", 0)]))
            client.expect_packet(suback(1, [0]), f"SUBACK for {client_id}")
        self.published(self.connected("pub"), "same/t", "v")
        for client in (tcp, ws):
            client.expect_publish("same/t", "v", what="a delivery to each")
        tcp.send(disconnect)
        tcp.expect_closed("the plain session ends alone")
        ws.expect_quiet("the WebSocket session lives on")


class Burst(AbuseTestCase):
    conf = {"log_level": 6}  # the output bounds as they are by default

    def test_burst_reaches_a_subscriber_that_keeps_reading_whole(self):
        count = 300_000
        messages = [publish("burst/t", f"{n:06}" + "x" * 23) for n in range(count)]  # 40 bytes each
        sub, pub = self.subscribed("sub", [("burst/t", 0)]), self.connected("pub")
        self.background(lambda: pub.send(b"".join(messages)))
        # A client that looks at each message as it comes, slower than the
        # daemon: the burst piles up in front of it.
        n, buf, chunk, deadline = 0, b"", b".", time.monotonic() + 3 * TIMEOUT  # for the whole burst
        while n < count and chunk and (left := deadline - time.monotonic()) > 0:
            sub.sock.settimeout(left)
            try:
                chunk = sub.sock.recv(4096)
            except socket.timeout:
                break
            except ConnectionResetError:
                chunk = b""
            buf += chunk
            while n < count and (whole := split_packet(buf)):
                self.assertEqual(buf[:whole[0]], messages[n], f"message {n}")
                buf, n = buf[whole[0]:], n + 1
        self.assertEqual(n, count, "every message arrived")
        sub.expect_quiet("the subscriber is still connected")


class Supervision(AbuseTestCase):
    def test_sockets_that_never_start_a_session_are_closed_and_a_restart_binds_the_same_ports_at_once(self):
        # Supervision closes them after about 10 s; all three wait together.
        silent = {"TCP without CONNECT": self.client(), "WebSocket without upgrade": self.websocket(False),
                  "WebSocket without CONNECT": self.websocket()}
        for what, client in silent.items():
            client.expect_closed(what)
        clients = [self.connected("c1"), self.connected("c2"), self.websocket()]
        self.assertEqual(self.daemon.stop(), 0)
        for client in clients:  # closed by the daemon first: its ports keep TIME_WAIT sockets
            client.expect_closed("client of the stopped daemon")
            client.sock.close()
        self.daemon.start()
        self.connected("again").expect_quiet()


class Bounds(AbuseTestCase):
    conf = {"max_connections": 3}

    def test_connections_past_the_bound_are_refused_until_one_closes(self):
        clients = [self.connected("c1"), self.connected("c2"), self.connected("c3")]
        self.client().expect_closed("a fourth plain connection")
        self.websocket(upgrade=False).expect_closed("a fourth on the WebSocket port")
        self.assertEqual(self.daemon.log().count("connections open, refusing"), 1, "logged once per episode")
        clients[0].send(disconnect)
        clients[0].expect_closed("c1 leaves")
        self.connected("c4").expect_quiet("served once a connection closed")


class FewDescriptors(AbuseTestCase):
    nofile = 64
    conf = {"log_level": 5}  # running out is a warning

    def test_descriptor_exhaustion_pauses_accepting_until_some_are_free(self):
        def logged():
            return self.daemon.log().count("Too many open files")
        connected, waiting = [], []
        for i in range(80):  # accepted in the order they connect, one at a time
            client = self.client()
            client.send(connect(f"c{i}"))
            if not waiting and wait_until(lambda: readable(client) or logged()) and readable(client):
                client.expect_packet(connack(0), f"CONNACK for c{i}")
                connected.append(client)
            else:
                waiting.append(client)
        self.assertGreaterEqual(len(waiting), 10, "the descriptor limit was reached")
        connected[-1].send(pingreq)
        connected[-1].expect_packet(pingresp, "connected clients are still served")
        time.sleep(1)  # a daemon retrying accept in a loop would log thousands of lines meanwhile
        self.assertIn(logged(), (1, 2), "accept failures logged once per episode")
        self.assertFalse(readable(waiting[-1]), "the last client still waits")
        for client in connected[:20]:
            client.sock.close()
        for i, client in enumerate(waiting[:10]):
            client.expect_packet(connack(0), f"CONNACK for waiting client {i} once descriptors are free")


if __name__ == "__main__":
    unittest.main(verbosity=2)
