"""A small MQTT-SN 1.2 client over UDP: the messages, a Node that talks to a
gateway, and a command line:
    mqttsn_client.py --port P pub -t TOPIC -m MSG [-q QOS] [-r]
    mqttsn_client.py --port P sub -t FILTER [-q QOS] [-n COUNT]"""

import argparse
import os
import socket
import struct

(CONNECT, CONNACK, WILLTOPICREQ, WILLTOPIC, WILLMSGREQ, WILLMSG, REGISTER, REGACK, PUBLISH, PUBACK, PUBCOMP,
 PUBREC, PUBREL) = range(0x04, 0x11)
SUBSCRIBE, SUBACK, UNSUBSCRIBE, UNSUBACK, PINGREQ, PINGRESP, DISCONNECT = range(0x12, 0x19)
WILLTOPICUPD, WILLTOPICRESP, WILLMSGUPD, WILLMSGRESP = range(0x1A, 0x1E)
NAMES = {value: name for name, value in dict(globals()).items() if name.isupper() and isinstance(value, int)}


def message(msg_type, *parts):
    """`parts` are bytes, text (UTF-8), or lists of octets. The length takes
    one octet, or 0x01 and two octets beyond 255 octets."""
    body = b"".join(p.encode() if isinstance(p, str) else bytes(p) for p in parts)
    if len(body) + 2 <= 255:
        return bytes([len(body) + 2, msg_type]) + body
    return struct.pack("!BHB", 1, len(body) + 4, msg_type) + body


def u16(*values):
    return struct.pack(f"!{len(values)}H", *values)


def flags(qos=0, dup=False, retain=False, will=False, clean=False, id_type=0):
    return [dup << 7 | (qos & 3) << 5 | retain << 4 | will << 3 | clean << 2 | id_type]


def connect(client_id, duration=60, will=False, clean=True, protocol=1):
    return message(CONNECT, flags(will=will, clean=clean), [protocol], u16(duration), client_id)


def publish(topic_id, msg_id, data, qos=0, retain=False, dup=False, id_type=0):
    return message(PUBLISH, flags(qos, dup, retain, id_type=id_type), u16(topic_id, msg_id), data)


def subscribe(msg_id, topic, qos=0):
    """By name for text, by pre-defined topic id for a number."""
    by_id = isinstance(topic, int)
    return message(SUBSCRIBE, flags(qos, id_type=by_id), u16(msg_id), u16(topic) if by_id else topic)


def suback(topic_id, msg_id, code=0, qos=0):
    return message(SUBACK, flags(qos), u16(topic_id, msg_id), [code])


pingreq, pingresp, disconnect = message(PINGREQ), message(PINGRESP), message(DISCONNECT)


def parse(dgram):
    """(message type, body) in either length form."""
    return (dgram[3], dgram[4:]) if dgram[0] == 1 else (dgram[1], dgram[2:])


def parse_publish(dgram):
    """(topic id, message id, data, qos, retain)."""
    body = parse(dgram)[1]
    return (*struct.unpack("!HH", body[1:5]), body[5:], body[0] >> 5 & 3, body[0] >> 4 & 1)


def describe(dgram):
    return "nothing" if dgram is None else f"{NAMES.get(parse(dgram)[0], '?')} [{dgram.hex(' ')}]"


class Node:
    """One client socket; `names` maps topic ids to the names the gateway gave
    them, `seen` lists the types of the messages receive() read."""

    def __init__(self, port, timeout=20.0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.gateway, self.timeout, self.names, self.seen, self.msg_id = ("127.0.0.1", port), timeout, {}, [], 0

    def send(self, dgram):
        self.sock.sendto(dgram, self.gateway)

    def read(self, timeout=None):
        """The next datagram from the gateway, or None after `timeout` seconds."""
        self.sock.settimeout(timeout or self.timeout)
        try:
            while (got := self.sock.recvfrom(65536))[1] != self.gateway:
                pass
            return got[0]
        except socket.timeout:
            return None

    def expect(self, sent, expected, what="reply"):
        """Sends `sent` (if any); the next datagram must be `expected`."""
        if sent:
            self.send(sent)
        if (actual := self.read()) != expected:
            raise AssertionError(f"{what}:\n  expected {describe(expected)}\n  received {describe(actual)}")

    def read_body(self, msg_type, what=None):
        """The body of the next datagram, which must be of `msg_type`."""
        if not (dgram := self.read()) or parse(dgram)[0] != msg_type:
            raise AssertionError(f"{what or NAMES[msg_type]}: received {describe(dgram)}")
        return parse(dgram)[1]

    def acked(self, make, what):
        """The topic id in the REGACK or SUBACK of make(msg_id), which must accept it."""
        self.send(sent := make(self.next_id()))
        if (body := self.read_body(parse(sent)[0] + 1, what))[-3:] != struct.pack("!HB", self.msg_id, 0):
            raise AssertionError(f"{what}: received {describe(message(parse(sent)[0] + 1, body))}")
        return struct.unpack("!H", body[-5:-3])[0]

    def next_id(self):
        self.msg_id = self.msg_id % 0xFFFF + 1
        return self.msg_id

    def connect(self, client_id, duration=60, clean=True, will=None):
        """`will` is (topic, message, retain)."""
        if will:
            self.expect(connect(client_id, duration, True, clean), message(WILLTOPICREQ))
            self.expect(message(WILLTOPIC, flags(retain=will[2]), will[0]), message(WILLMSGREQ))
        last = message(WILLMSG, will[1]) if will else connect(client_id, duration, False, clean)
        self.expect(last, message(CONNACK, [0]), f"CONNACK for {client_id}")

    def register(self, name):
        topic_id = self.acked(lambda mid: message(REGISTER, u16(0, mid), name), f"REGACK for {name}")
        self.names[topic_id] = name
        return topic_id

    def subscribe(self, topic, qos=0):
        topic_id = self.acked(lambda mid: subscribe(mid, topic, qos), f"SUBACK for {topic}")
        self.names.setdefault(topic_id, topic)
        return topic_id

    def publish(self, topic_id, data, qos=0, retain=False):
        self.send(publish(topic_id, msg_id := self.next_id(), data, qos, retain))
        if qos == 1:
            self.expect(None, message(PUBACK, u16(topic_id, msg_id), [0]), "PUBACK")
        elif qos:  # 2, or 3 for QoS -1
            self.expect(None, message(PUBREC, u16(msg_id)), "PUBREC")
        if qos == 2:
            self.expect(message(PUBREL, u16(msg_id)), message(PUBCOMP, u16(msg_id)), "PUBCOMP")

    def sleep(self, duration):
        self.expect(message(DISCONNECT, u16(duration)), disconnect, "DISCONNECT for the sleep")

    def wake(self):
        """The publications queued during the sleep, which the PINGRESP must follow."""
        self.send(pingreq)
        publications = list(iter(lambda: self.receive(until=PINGRESP), None))
        if self.seen[-1:] != ["PINGRESP"]:
            raise AssertionError(f"no PINGRESP after the publications {publications}")
        return publications

    def receive(self, timeout=None, until=None):
        """The next publication as (topic name, data, qos, retain), answering
        REGISTER, PUBLISH and PUBREL; None after `timeout` seconds of silence
        or at a message of type `until`."""
        while dgram := self.read(timeout):
            msg_type, body = parse(dgram)
            self.seen.append(NAMES.get(msg_type))
            if msg_type == REGISTER:
                self.names[struct.unpack("!H", body[:2])[0]] = body[4:].decode(errors="replace")
                self.send(message(REGACK, body[:4], [0]))
            elif msg_type == PUBREL:
                self.send(message(PUBCOMP, body))
            elif msg_type == until:
                return None
            elif msg_type == PUBLISH:
                topic_id, msg_id, data, qos, retain = parse_publish(dgram)
                if qos in (1, 2):
                    self.send(message(PUBACK, body[1:5], [0]) if qos == 1 else message(PUBREC, body[3:5]))
                return self.names.get(topic_id, str(topic_id)), data, qos, retain
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--id", default=f"sn-{os.getpid()}", help="client id")
    commands = parser.add_subparsers(dest="command", required=True)
    pub, sub = commands.add_parser("pub"), commands.add_parser("sub")
    for command in (pub, sub):
        command.add_argument("-t", dest="topic", required=True)
        command.add_argument("-q", dest="qos", type=int, choices=(0, 1, 2), default=0)
    pub.add_argument("-m", dest="message", required=True)
    pub.add_argument("-r", dest="retain", action="store_true")
    sub.add_argument("-n", dest="count", type=int, help="exit after this many publications")
    args = parser.parse_args()
    node = Node(args.port)
    node.connect(args.id)
    if args.command == "pub":
        node.publish(node.register(args.topic), args.message, args.qos, args.retain)
    else:
        node.subscribe(args.topic, args.qos)
    while args.command == "sub" and args.count != 0:
        if publication := node.receive(timeout=30):
            print(publication[0], publication[1].decode(errors="replace"), flush=True)
            args.count = args.count and args.count - 1
        else:  # keeps the session alive within its 60-second duration
            node.send(pingreq)
    node.expect(disconnect, disconnect)


if __name__ == "__main__":
    main()
