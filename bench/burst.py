"""Burst to one slower reader: one publisher hands --count QoS 0 messages
(--size octets per packet) to its socket at once; one subscriber, a plain
Python socket reader in a process of its own, reads as fast as it can and
counts PUBLISH packets. A Python reader is slower than a broker that batches
its output, as many real clients are, so this shows whether the broker holds
a subscriber that keeps reading through a burst, or cuts it off.

Prints "key value" lines like halyx_bench: delivered N/count, connected yes
or no (still connected at the end: it answers a PINGREQ), burst_s (from the
hand-over to the last delivery); notes go to standard error.

    /usr/bin/python3 bench/burst.py --port 1883 [--count 300000] [--size 40]
"""

import argparse
import json
import os
import socket
import struct
import sys
import time

TOPIC = b"burst/t"


def packet(first_byte, body):
    length, n = bytearray(), len(body)
    while True:
        n, byte = divmod(n, 128)
        length.append(byte | (0x80 if n else 0))
        if not n:
            return bytes([first_byte]) + bytes(length) + body


def string(data):
    return struct.pack("!H", len(data)) + data


def connected(port, client_id, rcvbuf=0):
    """A socket that sent CONNECT (clean session, no keep-alive) and read the
    four octets of its CONNACK 0."""
    sock = socket.socket()
    if rcvbuf:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.settimeout(10)
    sock.connect(("127.0.0.1", port))
    sock.sendall(packet(0x10, string(b"MQTT") + bytes([4, 0x02]) + struct.pack("!H", 0) + string(client_id)))
    if read_exactly(sock, 4) != b"\x20\x02\x00\x00":
        raise SystemExit(f"burst: no CONNACK 0 for {client_id.decode()}")
    return sock


def read_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def reader(port, count, quiet, cap, rcvbuf, ready, results):
    """The subscriber: reads and counts until every message is in, nothing
    came for `quiet` seconds, the broker closed it or `cap` seconds passed
    since the burst began; then checks with a PINGREQ that it is still
    connected. Writes its results as one JSON line to `results`."""
    sock = connected(port, b"burst-sub", rcvbuf)
    sock.sendall(packet(0x82, struct.pack("!H", 1) + string(TOPIC) + b"\x00"))
    if read_exactly(sock, 5) != b"\x90\x03\x00\x01\x00":
        raise SystemExit("burst: no SUBACK 0")
    os.write(ready, b"r")
    got, gaps, last, closed, buf, t_last = 0, 0, -1, False, b"", None
    start = None
    while got < count:
        sock.settimeout(quiet if start else cap)
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        except OSError:
            chunk = b""
        if not chunk:
            closed = True
            break
        t_last = time.monotonic()
        start = start or t_last
        buf += chunk
        at, end = 0, len(buf)
        while True:  # whole packets: first byte, remaining length, body
            length, shift, i = 0, 0, at + 1
            while i < end and buf[i] & 0x80:
                length, shift, i = length | (buf[i] & 0x7F) << shift, shift + 7, i + 1
            if i >= end:
                break
            length |= buf[i] << shift
            if i + 1 + length > end:
                break
            if buf[at] >> 4 == 3:  # PUBLISH at QoS 0: topic, then payload
                body = buf[i + 1:i + 1 + length]
                topic_end = 2 + (body[0] << 8 | body[1])
                try:
                    seq = int(body[topic_end:])
                except ValueError:
                    seq = -2
                gaps += body[2:topic_end] != TOPIC or seq != last + 1
                got, last = got + 1, seq
            at = i + 1 + length
        buf = buf[at:]
        if t_last - start > cap:
            break
    alive = False
    if not closed:
        try:
            sock.settimeout(5)
            sock.sendall(b"\xc0\x00")
            tail = buf
            while not tail.endswith(b"\xd0\x00"):
                chunk = sock.recv(65536)
                if not chunk:
                    break
                tail = tail[-1:] + chunk
            alive = tail.endswith(b"\xd0\x00")
        except OSError:
            pass
    os.write(results, (json.dumps({"got": got, "gaps": gaps, "connected": alive, "t_last": t_last}) + "\n").encode())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, default=300000)
    parser.add_argument("--size", type=int, default=40, help="octets of each PUBLISH packet, 12 to 129")
    parser.add_argument("--quiet", type=float, default=5, help="stop after this long without a delivery")
    parser.add_argument("--cap", type=float, default=60, help="longest the burst may take")
    parser.add_argument("--rcvbuf", type=int, default=0, help="the reader's SO_RCVBUF (0: the kernel's default)")
    parser.add_argument("--label", default="burst")
    parser.add_argument("--pid", type=int, help="ignored: the broker's process id that bench/run passes")
    o = parser.parse_args()
    payload = o.size - 2 - len(string(TOPIC))
    if not 1 <= payload <= 127 - len(string(TOPIC)):
        parser.error("--size out of range")

    ready_r, ready_w = os.pipe()
    results_r, results_w = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(ready_r)
        os.close(results_r)
        try:
            reader(o.port, o.count, o.quiet, o.cap, o.rcvbuf, ready_w, results_w)
        finally:
            os._exit(0)
    os.close(ready_w)
    os.close(results_w)
    pub = connected(o.port, b"burst-pub")
    # Every packet alike but for a sequence number in its payload.
    head = packet(0x30, string(TOPIC) + b"." * payload)[:-payload]
    burst = b"".join(head + b"%0*d" % (payload, n) for n in range(o.count))
    if os.read(ready_r, 1) != b"r":
        os.waitpid(child, 0)
        raise SystemExit("burst: the subscriber did not start")
    t0 = time.monotonic()
    try:
        pub.sendall(burst)
    except OSError as e:
        print(f"{o.label}: the publisher's socket failed: {e}", file=sys.stderr)
    line = b""
    while not line.endswith(b"\n"):
        chunk = os.read(results_r, 4096)
        if not chunk:
            break
        line += chunk
    os.waitpid(child, 0)
    close_client(pub)
    if not line:
        raise SystemExit("burst: the subscriber ended without results")
    r = json.loads(line)
    print(f"delivered {r['got']}/{o.count}")
    print(f"connected {'yes' if r['connected'] else 'no'}")
    if r["t_last"]:
        print(f"burst_s {r['t_last'] - t0:.3f}")
    if r["got"] < o.count:
        print(f"{o.label}: {o.count - r['got']} of {o.count} messages missing at the end of the wait",
              file=sys.stderr)
    if r["gaps"]:
        print(f"{o.label}: {r['gaps']} deliveries not the one after the one before", file=sys.stderr)
    if not r["connected"]:
        print(f"{o.label}: the subscriber was no longer connected", file=sys.stderr)


def close_client(sock):
    try:
        sock.sendall(b"\xe0\x00")
    except OSError:
        pass
    sock.close()


if __name__ == "__main__":
    main()
