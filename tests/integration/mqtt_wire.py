"""A raw MQTT 3.1/3.1.1 client for exact-byte tests.

Builders return the bytes of one packet; `Client` sends them over a real
socket and reads whole packets back. `expect_packet` compares exact bytes
and, on a mismatch, shows both packets decoded.
"""

import socket
import struct
import time

from halyx_harness import TIMEOUT

CONNECT, CONNACK, PUBLISH, PUBACK, PUBREC, PUBREL, PUBCOMP = 1, 2, 3, 4, 5, 6, 7
SUBSCRIBE, SUBACK, UNSUBSCRIBE, UNSUBACK = 8, 9, 10, 11
PINGREQ, PINGRESP, DISCONNECT = 12, 13, 14
NAMES = {0: "RESERVED0", 1: "CONNECT", 2: "CONNACK", 3: "PUBLISH", 4: "PUBACK",
         5: "PUBREC", 6: "PUBREL", 7: "PUBCOMP", 8: "SUBSCRIBE", 9: "SUBACK",
         10: "UNSUBSCRIBE", 11: "UNSUBACK", 12: "PINGREQ", 13: "PINGRESP",
         14: "DISCONNECT", 15: "RESERVED15"}


# --- builders ---------------------------------------------------------------

def _bytes(value):
    return value.encode() if isinstance(value, str) else bytes(value)


def string(value):
    """Two-byte length followed by the bytes."""
    data = _bytes(value)
    return struct.pack("!H", len(data)) + data


def remaining_length(n):
    out = bytearray()
    while True:
        byte, n = n % 128, n // 128
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def packet(first_byte, body=b""):
    return bytes([first_byte]) + remaining_length(len(body)) + body


def connect(client_id, version=4, keepalive=60, clean=True, will=None,
            username=None, password=None):
    """CONNECT for MQTT 3.1.1 ("MQTT", level 4) or 3.1 ("MQIsdp", level 3).

    `will` is (topic, message, qos, retain); `username` and `password` are
    sent when not None (an empty value is sent as a zero-length field).
    """
    name = {4: "MQTT", 3: "MQIsdp"}[version]
    return connect_raw(string(name) + bytes([version]), client_id, keepalive,
                       clean, will, username, password)


def connect_raw(protocol, client_id, keepalive=60, clean=True, will=None,
                username=None, password=None):
    """CONNECT with the given protocol name and level bytes."""
    flags = 0x02 if clean else 0
    payload = string(client_id)
    if will is not None:
        topic, message, qos, retain = will
        flags |= 0x04 | (qos << 3) | (0x20 if retain else 0)
        payload += string(topic) + string(message)
    if username is not None:
        flags |= 0x80
        payload += string(username)
    if password is not None:
        flags |= 0x40
        payload += string(password)
    return packet(0x10, protocol + bytes([flags]) + struct.pack("!H", keepalive) + payload)


def connack(code=0):
    return bytes([0x20, 0x02, 0x00, code])


def publish(topic, payload=b"", qos=0, mid=None, retain=False, dup=False):
    body = string(topic)
    if qos:
        body += struct.pack("!H", mid)
    body += _bytes(payload)
    return packet(0x30 | (0x08 if dup else 0) | (qos << 1) | (1 if retain else 0), body)


def _ack(first_byte, mid):
    return bytes([first_byte, 0x02]) + struct.pack("!H", mid)


def puback(mid):
    return _ack(0x40, mid)


def pubrec(mid):
    return _ack(0x50, mid)


def pubrel(mid):
    return _ack(0x62, mid)


def pubcomp(mid):
    return _ack(0x70, mid)


def unsuback(mid):
    return _ack(0xB0, mid)


def subscribe(mid, filters):
    """`filters` is a list of (filter, requested QoS)."""
    body = struct.pack("!H", mid)
    for topic_filter, qos in filters:
        body += string(topic_filter) + bytes([qos])
    return packet(0x82, body)


def suback(mid, codes):
    return packet(0x90, struct.pack("!H", mid) + bytes(codes))


def unsubscribe(mid, filters):
    return packet(0xA2, struct.pack("!H", mid) + b"".join(string(f) for f in filters))


def pingreq():
    return b"\xc0\x00"


def pingresp():
    return b"\xd0\x00"


def disconnect():
    return b"\xe0\x00"


# --- decoding ---------------------------------------------------------------

def split_packet(data):
    """(packet length, body offset) of the packet at the start of `data`, or
    None while the packet is not all there."""
    rem_len, multiplier, i = 0, 1, 1
    while True:
        if i >= len(data):
            return None
        if i > 4:
            raise ValueError(f"remaining length longer than 4 bytes: {data[:8].hex(' ')}")
        byte = data[i]
        rem_len += (byte & 0x7F) * multiplier
        multiplier *= 128
        i += 1
        if not byte & 0x80:
            break
    if len(data) < i + rem_len:
        return None
    return i + rem_len, i


def parse_publish(pkt):
    """Fields of a PUBLISH: dict with qos, retain, dup, topic, mid, payload."""
    _, offset = split_packet(pkt)
    body = pkt[offset:]
    qos = (pkt[0] >> 1) & 3
    topic_len = struct.unpack("!H", body[:2])[0]
    topic = body[2:2 + topic_len]
    pos = 2 + topic_len
    mid = None
    if qos:
        mid = struct.unpack("!H", body[pos:pos + 2])[0]
        pos += 2
    return dict(qos=qos, retain=pkt[0] & 1, dup=(pkt[0] >> 3) & 1,
                topic=topic, mid=mid, payload=body[pos:])


def describe(pkt):
    """One-line human reading of a packet's bytes."""
    if pkt is None:
        return "nothing"
    if pkt == b"":
        return "connection closed"
    raw = pkt[:48].hex(" ") + (" ..." if len(pkt) > 48 else "")
    try:
        kind = pkt[0] >> 4
        name = NAMES[kind]
        _, offset = split_packet(pkt)
        body = pkt[offset:]
        if kind == PUBLISH:
            p = parse_publish(pkt)
            payload = p["payload"]
            shown = payload if len(payload) <= 40 else payload[:40] + b"..."
            text = (f"PUBLISH(qos={p['qos']}, retain={p['retain']}, dup={p['dup']}, "
                    f"topic={p['topic']!r}, mid={p['mid']}, "
                    f"payload[{len(payload)}]={shown!r})")
        elif kind in (PUBACK, PUBREC, PUBREL, PUBCOMP, UNSUBACK):
            text = f"{name}(mid={struct.unpack('!H', body[:2])[0]})"
        elif kind == CONNACK:
            text = f"CONNACK(flags={body[0]}, code={body[1]})"
        elif kind == SUBACK:
            text = f"SUBACK(mid={struct.unpack('!H', body[:2])[0]}, codes={list(body[2:])})"
        else:
            text = name
        return f"{text} [{raw}]"
    except Exception:  # an undecodable packet is shown by its bytes alone
        return f"? [{raw}]"


# --- client -----------------------------------------------------------------

class Client:
    """One TCP connection to the broker, read packet by packet."""

    def __init__(self, port, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        self.closed = False

    def send(self, data):
        """Sends all bytes; a peer that has already closed is not an error
        here, the following read reports it."""
        try:
            self.sock.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def read_packet(self, timeout=TIMEOUT):
        """Next whole packet; b"" when the broker closed the connection;
        None when nothing complete arrived within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            whole = split_packet(self.buf) if self.buf else None
            if whole:
                pkt, self.buf = self.buf[:whole[0]], self.buf[whole[0]:]
                return pkt
            if self.closed:
                return b""
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return None
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                self.closed = True
                if self.buf:  # a partial packet before the close
                    pkt, self.buf = self.buf, b""
                    return pkt
            self.buf += chunk

    def close(self):
        self.sock.close()


def expect_packet(test, client, expected, what=""):
    """Reads one packet and asserts it is exactly `expected`."""
    actual = client.read_packet()
    if actual != expected:
        test.fail(f"{what or 'packet'}:\n  expected {describe(expected)}\n"
                  f"  received {describe(actual)}")
    return actual


def expect_publish(test, client, topic, payload, qos=0, retain=False, what=""):
    """Reads one PUBLISH and compares all of its bytes; the packet identifier
    is chosen by the broker, so only its presence (non-zero, for QoS 1 and 2)
    is checked. Returns the identifier."""
    actual = client.read_packet()
    mid = None
    if qos and actual and actual[0] >> 4 == PUBLISH:
        try:
            mid = parse_publish(actual)["mid"]
        except Exception:
            mid = None
    expected = publish(topic, payload, qos, mid if mid else 0, retain)
    if actual != expected or (qos and not mid):
        test.fail(f"{what or 'publication'}:\n  expected {describe(expected)}"
                  f"{' (any non-zero mid)' if qos else ''}\n  received {describe(actual)}")
    return mid


def expect_closed(test, client, what="connection"):
    """Asserts that the broker closes the connection without sending
    anything more."""
    actual = client.read_packet()
    if actual != b"":
        test.fail(f"{what}: expected the broker to close the connection without a reply, "
                  f"received {describe(actual)}")


def expect_quiet(test, client, what=""):
    """Asserts that nothing is queued for the client: a PINGREQ is answered
    by a PINGRESP with nothing before it. The broker answers each client in
    order, so anything sent to it earlier would arrive first."""
    client.send(pingreq())
    expect_packet(test, client, pingresp(), what or "no further packet before PINGRESP")


def connected(test, port, client_id, version=4, **connect_args):
    """A client whose CONNECT has been accepted."""
    client = Client(port)
    client.send(connect(client_id, version, **connect_args))
    expect_packet(test, client, connack(0), f"CONNACK for {client_id}")
    test.addCleanup(client.close)
    return client


def subscribed(test, port, client_id, filters, mid=1, **connect_args):
    """A connected client holding the given subscriptions."""
    client = connected(test, port, client_id, **connect_args)
    client.send(subscribe(mid, filters))
    expect_packet(test, client, suback(mid, [qos for _, qos in filters]), "SUBACK")
    return client


def published(test, client, topic, payload, mid=0x7001, retain=False):
    """Publishes at QoS 1 and waits for the PUBACK, so that the broker has
    stored the value and handed out its deliveries before the test goes on."""
    client.send(publish(topic, payload, 1, mid, retain))
    expect_packet(test, client, puback(mid), f"PUBACK for {topic}")
