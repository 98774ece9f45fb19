"""A raw MQTT 3.1/3.1.1 client for exact-byte tests.

Builders return the bytes of one packet; `Client` sends them over a real
socket and reads whole packets back; its expect_* methods compare exact bytes
and, on a mismatch, show both packets decoded.
"""

import socket
import struct
import time

from halyx_harness import TIMEOUT, DaemonTestCase

NAMES = ("RESERVED CONNECT CONNACK PUBLISH PUBACK PUBREC PUBREL PUBCOMP SUBSCRIBE SUBACK "
         "UNSUBSCRIBE UNSUBACK PINGREQ PINGRESP DISCONNECT RESERVED").split()


# --- builders ---------------------------------------------------------------

def string(value):
    """Two-byte length followed by the bytes."""
    data = value.encode() if isinstance(value, str) else bytes(value)
    return struct.pack("!H", len(data)) + data


def packet(first_byte, body=b""):
    length, n = bytearray(), len(body)
    while True:
        n, byte = divmod(n, 128)
        length.append(byte | (0x80 if n else 0))
        if not n:
            return bytes([first_byte]) + bytes(length) + body


def connect(client_id, version=4, keepalive=60, will=None, username=None, password=None, protocol=None):
    """CONNECT for MQTT 3.1.1 ("MQTT", level 4) or 3.1 ("MQIsdp", level 3),
    or with the (name, level) of `protocol`. `will` is (topic, message,
    qos, retain); `username` and `password` are sent when not None."""
    name, level = protocol or ({4: "MQTT", 3: "MQIsdp"}[version], version)
    flags, payload = 0x02, string(client_id)
    if will:
        topic, message, qos, retain = will
        flags |= 0x04 | (qos << 3) | (0x20 if retain else 0)
        payload += string(topic) + string(message)
    for bit, field in ((0x80, username), (0x40, password)):
        if field is not None:
            flags |= bit
            payload += string(field)
    return packet(0x10, string(name) + bytes([level, flags]) + struct.pack("!H", keepalive) + payload)


def connack(code=0):
    return bytes([0x20, 0x02, 0x00, code])


def publish(topic, payload=b"", qos=0, mid=None, retain=False):
    mid_bytes = struct.pack("!H", mid) if qos else b""
    payload = payload.encode() if isinstance(payload, str) else payload
    return packet(0x30 | (qos << 1) | (1 if retain else 0), string(topic) + mid_bytes + payload)


def _ack(first_byte):
    return lambda mid: bytes([first_byte, 0x02]) + struct.pack("!H", mid)


puback, pubrec, pubrel, pubcomp, unsuback = (_ack(b) for b in (0x40, 0x50, 0x62, 0x70, 0xB0))


def subscribe(mid, filters):
    """`filters` is a list of (filter, requested QoS)."""
    return packet(0x82, struct.pack("!H", mid) + b"".join(string(f) + bytes([qos]) for f, qos in filters))


def suback(mid, codes):
    return packet(0x90, struct.pack("!H", mid) + bytes(codes))


def unsubscribe(mid, filters):
    return packet(0xA2, struct.pack("!H", mid) + b"".join(string(f) for f in filters))


pingreq, pingresp, disconnect = b"\xc0\x00", b"\xd0\x00", b"\xe0\x00"


# --- decoding ---------------------------------------------------------------

def split_packet(data):
    """(packet length, body offset) of the packet at the start of `data`, or
    None while the packet is not all there."""
    length = 0
    for i in range(1, min(len(data), 5)):
        length += (data[i] & 0x7F) << (7 * (i - 1))
        if not data[i] & 0x80:
            return (i + 1 + length, i + 1) if len(data) >= i + 1 + length else None
    if len(data) >= 5:
        raise ValueError(f"remaining length longer than 4 bytes: {data[:8].hex(' ')}")
    return None


def parse_publish(pkt):
    """(qos, retain, topic, mid, payload) of a PUBLISH."""
    body = pkt[split_packet(pkt)[1]:]
    qos, end = (pkt[0] >> 1) & 3, 2 + struct.unpack("!H", body[:2])[0]
    mid = struct.unpack("!H", body[end:end + 2])[0] if qos else None
    return qos, pkt[0] & 1, body[2:end], mid, body[end + (2 if qos else 0):]


def describe(pkt):
    """One-line human reading of a packet's bytes."""
    if not pkt:
        return "nothing" if pkt is None else "connection closed"
    raw = pkt[:48].hex(" ") + (" ..." if len(pkt) > 48 else "")
    try:
        name, body = NAMES[pkt[0] >> 4], pkt[split_packet(pkt)[1]:]
        if name == "PUBLISH":
            text = "PUBLISH(qos={}, retain={}, topic={!r}, mid={}, payload={!r})".format(
                *parse_publish(pkt))
        elif name == "CONNACK":
            text = f"CONNACK(code={body[1]})"
        elif len(body) >= 2:
            text = f"{name}(mid={struct.unpack('!H', body[:2])[0]}, rest={list(body[2:])})"
        else:
            text = name
        return f"{text} [{raw}]"
    except Exception:  # an undecodable packet is shown by its bytes alone
        return f"? [{raw}]"


# --- client -----------------------------------------------------------------

class Client:
    """One TCP connection to the broker, read packet by packet."""

    def __init__(self, port, rcvbuf=None):
        """A small `rcvbuf`, set before connecting, keeps the window the
        broker may fill small."""
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(TIMEOUT)
        self.sock.connect(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf, self.closed = b"", False

    def send(self, data):
        """A peer that has already closed is not an error here; the
        following read reports it."""
        try:
            self.sock.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def read_packet(self, timeout=TIMEOUT):
        """Next whole packet; b"" once the broker closed the connection;
        None when nothing complete arrived within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while not (whole := split_packet(self.buf) if self.buf else None):
            if self.closed:  # a partial packet before the close is returned as it is
                pkt, self.buf = self.buf, b""
                return pkt
            if (left := deadline - time.monotonic()) <= 0:
                return None
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return None
            except ConnectionResetError:
                chunk = b""
            self.closed = not chunk
            self.buf += chunk
        pkt, self.buf = self.buf[:whole[0]], self.buf[whole[0]:]
        return pkt

    def expect_packet(self, expected, what="packet"):
        """Reads one packet and asserts it is exactly `expected`."""
        actual = self.read_packet()
        if actual != expected:
            raise AssertionError(f"{what}:\n  expected {describe(expected)}\n  received {describe(actual)}")

    def expect_publish(self, topic, payload, qos=0, retain=False, what="publication"):
        """Compares all bytes of the next PUBLISH but its identifier, which
        the broker chooses and which must be non-zero for QoS 1 and 2.
        Returns the identifier."""
        actual = self.read_packet()
        mid = None
        if qos and actual and NAMES[actual[0] >> 4] == "PUBLISH":
            mid = parse_publish(actual)[3]
        if actual != publish(topic, payload, qos, mid or 0, retain) or (qos and not mid):
            expected = describe(publish(topic, payload, qos, 0, retain)) + (" (any mid but 0)" if qos else "")
            raise AssertionError(f"{what}:\n  expected {expected}\n  received {describe(actual)}")
        return mid

    def expect_closed(self, what="connection"):
        """Asserts that the broker closes the connection without sending
        anything more."""
        self.expect_packet(b"", f"{what}: the broker closes the connection without a reply")

    def expect_quiet(self, what="no further packet before PINGRESP"):
        """Asserts that nothing is queued for the client: the broker answers
        each client in order, so anything sent to it earlier would arrive
        before the PINGRESP."""
        self.send(pingreq)
        self.expect_packet(pingresp, what)


class BrokerTestCase(DaemonTestCase):
    """Test case with helpers for raw clients of its daemon's MQTT port;
    every client is closed at the end of the test."""

    def client(self):
        client = Client(self.daemon.mqtt_port)
        self.addCleanup(client.sock.close)
        return client

    def connected(self, client_id, version=4, **connect_args):
        client = self.client()
        client.send(connect(client_id, version, **connect_args))
        client.expect_packet(connack(0), f"CONNACK for {client_id}")
        return client

    def subscribed(self, client_id, filters, **connect_args):
        client = self.connected(client_id, **connect_args)
        client.send(subscribe(1, filters))
        client.expect_packet(suback(1, [qos for _, qos in filters]), f"SUBACK for {client_id}")
        return client

    def refused(self, data, code, what):
        client = self.client()
        client.send(data)
        client.expect_packet(connack(code), what)
        client.expect_closed(what)

    @staticmethod
    def published(client, topic, payload, mid=0x7001, retain=False):
        """Publishes at QoS 1 and waits for the PUBACK, so that the broker has
        stored the value and handed out its deliveries."""
        client.send(publish(topic, payload, 1, mid, retain))
        client.expect_packet(puback(mid), f"PUBACK for {topic}")
