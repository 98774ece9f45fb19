"""Hostile byte streams and many short-lived clients: after each, the daemon
goes on serving well-formed clients."""

import socket
import struct
import unittest

from mqtt_wire import BrokerTestCase, describe, disconnect, publish, puback, subscribe, unsubscribe

# Each is sent by a connected client and closes its connection without reply.
MALFORMED = (
    b"\xff" * 16,  # garbage
    b"\x30\xff\xff\xff\xff\x01" + b"\x00" * 8,  # Remaining Length over four bytes
    publish("", "x"),
    b"\x30\x04\x00\x09ab",  # topic overrunning the packet
    b"\x32\x05\x00\x03a/b",  # QoS 1 without its identifier
    subscribe(1, [("", 0)]),
    subscribe(1, [("a", 3)]),
    b"\x82\x06\x00\x01\x00\x05a\x00",  # filter overrunning the packet
    unsubscribe(1, [""]),
)


class Robustness(BrokerTestCase):
    def still_served(self, client_id):
        """A fresh subscriber and publisher exchange a message."""
        sub = self.subscribed(f"{client_id}-sub", [("ok/t", 0)])
        self.published(self.connected(f"{client_id}-pub"), "ok/t", "still here")
        sub.expect_publish("ok/t", "still here", what="delivery after the bad clients")

    def test_malformed_packet_closes_only_its_sender(self):
        other = self.subscribed("other", [("#", 0)])
        other.expect_quiet()
        for i, data in enumerate(MALFORMED):
            with self.subTest(describe(data)):
                bad = self.connected(f"bad{i}")
                bad.send(data)
                bad.expect_closed(describe(data))
                other.send(publish("ok/t", str(i), 1, i + 1))
                other.expect_packet(puback(i + 1), "PUBACK to the other client, nothing before it")
                other.expect_publish("ok/t", str(i), what="the other client still receives")

    def test_deliveries_to_a_reset_connection_do_not_stop_the_daemon(self):
        for round_ in range(5):
            sub = self.subscribed(f"gone{round_}", [("r/#", 1)])
            sub.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sub.sock.close()  # reset, not an orderly close
            pub = self.connected(f"pub{round_}")
            for mid in range(1, 21):
                pub.send(publish("r/t", b"v" * 1000, 1, mid))
            for mid in range(1, 21):
                pub.expect_packet(puback(mid))
        self.still_served("after")

    def test_many_clients_connecting_and_disconnecting_leave_it_answering(self):
        clients = [self.connected(f"m{i}", will=(f"many/{i}", "x", 0, False)) for i in range(60)]
        for i, client in enumerate(clients):
            if i % 2:
                client.send(disconnect)
            else:
                client.sock.shutdown(socket.SHUT_RDWR)
        for i, client in enumerate(clients):
            client.expect_closed(f"client m{i}")
        self.still_served("after")


if __name__ == "__main__":
    unittest.main(verbosity=2)
