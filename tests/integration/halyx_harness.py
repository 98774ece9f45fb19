"""Runs the real halyx binary for end-to-end tests and talks raw MQTT 3.1.1
to it. The test process makes itself a child subreaper, so the detached
daemon is re-parented to it and its exit status can be read.

Run as a program, it serves the Node tests: it starts one daemon, prints its
ports as JSON, stops it once its standard input ends ("failed" before that
shows the daemon's log), and exits 0 only if the daemon stopped cleanly."""

import contextlib
import ctypes
import fcntl
import json
import os
import random
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PR_SET_CHILD_SUBREAPER = 36
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

HALYX_BIN = os.environ.get("HALYX_BIN") or os.path.join(os.path.dirname(__file__), "../../build/halyx")
TIMEOUT = 20.0  # generous bound for any single awaited event


def _sanitizer():
    """"thread", "address" or None: HALYX_SANITIZER, else what the binary links."""
    if "HALYX_SANITIZER" in os.environ:
        return os.environ["HALYX_SANITIZER"] or None
    try:
        with open(HALYX_BIN, "rb") as f:
            binary = f.read()
    except OSError:
        return None
    return next((name for name, entry in (("thread", b"__tsan_init"), ("address", b"__asan_init"))
                 if entry in binary), None)


SANITIZER = _sanitizer()


def memory_bound_kb(plain_kb):
    """Allowed growth, or None: ThreadSanitizer's shadow memory is several times
    the daemon's; AddressSanitizer's quarantine makes sizes meaningless."""
    return {None: plain_kb, "thread": plain_kb * 8}.get(SANITIZER)


_PORT_LOCKS = os.open(os.path.join(tempfile.gettempdir(), f"halyx-test-ports-{os.getuid()}.lock"),
                      os.O_RDWR | os.O_CREAT, 0o600)
_ports_taken = set()  # a process's own locks do not stop it


def free_port(kind=socket.SOCK_STREAM):
    """A free port below the ephemeral range, which the load tests' outgoing
    connections could take before the daemon binds it. The port stays
    reserved for this process (a lock on that byte of a shared file), so a
    suite running beside it cannot pick it between our pick and the daemon's
    bind, nor while a daemon of ours restarts on it."""
    while True:
        port = random.randrange(10000, 32768)
        if port in _ports_taken:
            continue
        _ports_taken.add(port)
        try:
            fcntl.lockf(_PORT_LOCKS, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, port)
        except OSError:
            continue
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue  # kept locked: somebody else's, no use to anyone here


def example_rules():
    """The bundled example rules without their schedules: a run at 22:00 or
    06:30 would see them move the set point under the test."""
    with open(os.path.join(os.path.dirname(__file__), "../../examples/halyx.rules")) as f:
        example = json.load(f)
    example["nodes"] = [node for node in example["nodes"] if node["type"] != "trigger-cron"]
    return json.dumps(example)


def udp_bound(port):
    """Asks the kernel: a trial bind could take the port from the daemon."""
    with open("/proc/net/udp") as f:
        return any(int(line.split()[1].split(":")[1], 16) == port for line in f.readlines()[1:])


def wait_until(predicate, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return value


def make_certs(directory):
    """openssl-made NAME.crt and NAME.key in `directory`: authorities ca and
    rogue_ca, server (127.0.0.1, localhost) and client signed by ca, rogue
    signed by rogue_ca. Returns the path of a file name."""
    path = lambda name: os.path.join(directory, name)
    for name, ca, san in (("ca", None, ""), ("rogue_ca", None, ""), ("client", "ca", ""), ("rogue", "rogue_ca", ""),
                          ("server", "ca", "IP:127.0.0.1,DNS:localhost")):
        signed = ca and ["-CA", path(ca + ".crt"), "-CAkey", path(ca + ".key"), "-addext", "basicConstraints=CA:FALSE"]
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", path(name + ".key"), "-out", path(name + ".crt"), "-days", "2",
                        "-subj", f"/CN=halyx test {name}", *(signed or []),
                        *(["-addext", "subjectAltName=" + san] if san else [])], check=True, capture_output=True)
    return path


class Daemon:
    """One halyx process with its own files and ports. `users`: (name,
    password, publish flag); `nofile` caps soft and hard limit alike, since
    the daemon may raise the soft one; `conf`: text or {key: value}; `tls`
    ({key: value}) adds make_certs (self.cert) and the TLS ports."""

    def __init__(self, users=(), nofile=None, rules=None, http_files=None, mysql=None, conf=None, tls=None):
        self.dir = tempfile.mkdtemp(prefix="halyx-test-")
        self.conf_path = os.path.join(self.dir, "halyx.conf")
        self.log_path = os.path.join(self.dir, "halyx.log")
        self.mqtt_port, self.ws_port, self.mqttsn_port = free_port(), free_port(), free_port(socket.SOCK_DGRAM)
        text = (f"mqtt_iface = lo\nmqtt_port = {self.mqtt_port}\nmqtt_ws_port = {self.ws_port}\n"
                f"mqttsn_port = {self.mqttsn_port}\n")
        self.http_port = free_port() if http_files else 0
        if http_files:  # through a link, since halyx takes at most 64 characters of the path
            os.symlink(os.path.abspath(http_files), os.path.join(self.dir, "www"))
            text += f"http_iface = lo\nhttp_port = {self.http_port}\nhttp_files_path = {self.dir}/www\n"
        if users:
            text += "mqtt_auth_enable = 1\n" + "".join(
                f"user_name = {name}\nuser_password = {password}\nuser_publish_enable = {publish}\n"
                for name, password, publish in users)
        text += "".join(f"{key} = {value}\n" for key, value in (mysql or {}).items())
        self.tls_port = self.wss_port = self.https_port = 0
        if tls is not None:
            self.cert = make_certs(self.dir)
            self.tls_port, self.wss_port = free_port(), free_port()
            self.https_port = free_port() if http_files else 0
            tls = dict({"mqtt_tls_port": self.tls_port, "mqtt_ws_tls_port": self.wss_port,
                        "http_tls_port": self.https_port, "tls_cert_file": self.cert("server.crt"),
                        "tls_key_file": self.cert("server.key")}, **tls)
            text += "".join(f"{key} = {value}\n" for key, value in tls.items())
        text += conf if isinstance(conf, str) else "".join(f"{key} = {value}\n" for key, value in (conf or {}).items())
        with open(self.conf_path, "w") as f:
            f.write(text)
        self.rules_path = os.path.join(self.dir, "halyx.rules")
        if rules is not None:
            with open(self.rules_path, "w") as f:
                f.write(rules)
        self.pid = self.status = None
        self.reports_shown = False
        self.nofile = nofile

    def start(self, wait_ready=True, foreground=False):
        """Returns once the daemon serves (in the foreground, at once)."""
        env = dict(os.environ, HALYX_CONF=self.conf_path, HALYX_LOG_FILE=self.log_path,
                   HALYX_RULES=self.rules_path)
        # The detached daemon's standard error is /dev/null: sanitizer reports
        # go to files of its directory instead, which wait_exit() shows.
        for var in ("ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"):
            env[var] = ":".join(filter(None, (env.get(var), f"log_path={self.dir}/sanitizer")))
        limit = self.nofile and (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (self.nofile,) * 2))
        self.pid = self.status = None
        self.reports_shown = False
        if foreground:
            self.pid = subprocess.Popen([HALYX_BIN, "-f"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, preexec_fn=limit or None).pid
            return self
        self.launch = subprocess.run([HALYX_BIN], env=env, capture_output=True, text=True, timeout=TIMEOUT,
                                     preexec_fn=limit or None)
        m = re.search(r"process id of child process (\d+)", self.launch.stdout)
        if not m and self.launch.returncode != 0 and not wait_ready:
            return self  # start-up failed, as launch.stderr tells
        if not m:
            raise AssertionError(f"no child pid in output: {self.launch.stdout!r} {self.launch.stderr!r}")
        self.pid = int(m.group(1))
        if wait_ready and not wait_until(self._listening):
            raise AssertionError("daemon did not open its ports\n" + self.log())
        return self

    def _listening(self):
        if not self.running():
            raise AssertionError("daemon ended during start-up\n" + self.log())
        try:
            for port in filter(None, (self.mqtt_port, self.ws_port, self.http_port, self.tls_port, self.wss_port,
                                      self.https_port)):
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return udp_bound(self.mqttsn_port)
        except OSError:
            return False

    def running(self):
        if self.pid is None or self.status is not None:
            return False
        pid, status = os.waitpid(self.pid, os.WNOHANG)
        if pid == self.pid:
            self.status = status
        return pid != self.pid

    def wait_exit(self, timeout=TIMEOUT):
        """Exit status, minus the signal that ended it; None while it runs."""
        wait_until(lambda: not self.running(), timeout)
        if self.status is None:
            return None
        if not self.reports_shown and (reports := self.sanitizer_reports()):
            print(f"\n--- sanitizer reports of the daemon ---\n{reports}", file=sys.stderr)
        self.reports_shown = True
        return os.WEXITSTATUS(self.status) if os.WIFEXITED(self.status) else -os.WTERMSIG(self.status)

    def stop(self):
        if self.running():
            os.kill(self.pid, signal.SIGTERM)
        return self.wait_exit()

    def kill(self):
        if self.running():
            os.kill(self.pid, signal.SIGKILL)
            self.wait_exit()

    def memory_kb(self):
        with open(f"/proc/{self.pid}/status") as f:
            return int(re.search(r"^VmHWM:\s+(\d+) kB", f.read(), re.M).group(1))

    def sanitizer_reports(self):
        names = sorted(n for n in os.listdir(self.dir) if n.startswith("sanitizer."))
        return "".join(open(os.path.join(self.dir, n), errors="replace").read() for n in names)

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""


def finish(daemon, failed):
    """Stops the daemon; whether it exited 0 with "notice exit" last. Shows
    the log's tail (it may hold megabytes) after a failure or unclean stop."""
    status, lines = daemon.stop(), daemon.log().splitlines()
    reports = daemon.sanitizer_reports()
    clean = status == 0 and lines[-1:] == ["notice exit"] and not reports
    if failed or not clean:
        tail = "\n".join(lines[-200:])
        print(f"\n--- daemon log ({daemon.log_path}), exit status {status}, last 200 lines ---\n{tail}",
              file=sys.stderr)
    else:
        shutil.rmtree(daemon.dir, ignore_errors=True)
    daemon.kill()
    return clean


def own_daemon(test, **options):
    """A daemon that is killed and removed at the end of `test`."""
    daemon = Daemon(**options)
    test.addCleanup(shutil.rmtree, daemon.dir, ignore_errors=True)
    test.addCleanup(daemon.kill)
    return daemon


def listening_ports(pid):
    """TCP ports the process listens on."""
    sockets = {os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")}
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return {int(row[1].split(":")[1], 16) for row in rows if row[3] == "0A" and f"socket:[{row[9]}]" in sockets}


class DaemonTestCase(unittest.TestCase):

    users, nofile, rules, conf = (), None, None, None

    def setUp(self):
        self.daemon = Daemon(self.users, self.nofile, self.rules, conf=self.conf).start()

    def tearDown(self):
        result = self._outcome.result  # a failed subtest is listed as its own test, naming this one
        failed = any(getattr(t, "test_case", t) is self for t, _ in result.failures + result.errors)
        self.assertTrue(finish(self.daemon, failed), "daemon did not stop cleanly")


NAMES = ("RESERVED CONNECT CONNACK PUBLISH PUBACK PUBREC PUBREL PUBCOMP SUBSCRIBE SUBACK "
         "UNSUBSCRIBE UNSUBACK PINGREQ PINGRESP DISCONNECT RESERVED").split()


def string(value):
    data = value.encode() if isinstance(value, str) else bytes(value)
    return struct.pack("!H", len(data)) + data


def packet(first_byte, body=b""):
    length, n = bytearray(), len(body)
    while True:
        n, byte = divmod(n, 128)
        length.append(byte | (0x80 if n else 0))
        if not n:
            return bytes([first_byte]) + bytes(length) + body


def connect(client_id, keepalive=60, will=None, username=None, password=None, protocol=("MQTT", 4)):
    """Clean session; `will` is (topic, message, qos, retain)."""
    (name, level), flags, payload = protocol, 0x02, string(client_id)
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
    return packet(0x82, struct.pack("!H", mid) + b"".join(string(f) + bytes([qos]) for f, qos in filters))


def suback(mid, codes):
    return packet(0x90, struct.pack("!H", mid) + bytes(codes))


def unsubscribe(mid, filters):
    return packet(0xA2, struct.pack("!H", mid) + b"".join(string(f) for f in filters))


pingreq, pingresp, disconnect = b"\xc0\x00", b"\xd0\x00", b"\xe0\x00"


def split_packet(data):
    """(packet length, body offset), or None while incomplete."""
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
    if not pkt:
        return "nothing" if pkt is None else "connection closed"
    return f"{NAMES[pkt[0] >> 4]} [{pkt[:48].hex(' ')}{' ...' if len(pkt) > 48 else ''}]"


class Client:
    """A raw MQTT connection; `source`: a local port others may share."""

    def __init__(self, port, rcvbuf=None, source=None):
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        if source:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.sock.bind(("127.0.0.1", source))
        self.sock.settimeout(TIMEOUT)
        self.sock.connect(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf, self.closed = b"", False

    def send(self, data):
        with contextlib.suppress(BrokenPipeError, ConnectionResetError):  # the next read tells of a close
            self.sock.sendall(data)

    def read_packet(self, timeout=TIMEOUT):
        """Next whole packet; b"" once closed; None after `timeout`."""
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
        actual = self.read_packet()
        if actual != expected:
            raise AssertionError(f"{what}:\n  expected {describe(expected)}\n  received {describe(actual)}")

    def expect_publish(self, topic, payload, qos=0, retain=False, what="publication", timeout=TIMEOUT):
        """Compares all but the identifier, which must be non-zero at QoS 1
        and 2; returns it."""
        actual = self.read_packet(timeout)
        mid = parse_publish(actual)[3] if qos and actual and NAMES[actual[0] >> 4] == "PUBLISH" else None
        if actual != publish(topic, payload, qos, mid or 0, retain) or (qos and not mid):
            expected = describe(publish(topic, payload, qos, 0, retain)) + (" (any mid but 0)" if qos else "")
            raise AssertionError(f"{what}:\n  expected {expected}\n  received {describe(actual)}")
        return mid

    def expect_closed(self, what="connection"):
        self.expect_packet(b"", f"{what}: the broker closes the connection without a reply")

    def expect_quiet(self, what="no further packet before PINGRESP"):
        """Nothing is queued: it would arrive before the PINGRESP."""
        self.send(pingreq)
        self.expect_packet(pingresp, what)


class BrokerTestCase(DaemonTestCase):

    def client(self, port=None, rcvbuf=None, source=None):
        client = Client(port or self.daemon.mqtt_port, rcvbuf, source)
        self.addCleanup(client.sock.close)
        return client

    def connected(self, client_id, rcvbuf=None, **connect_args):
        client = self.client(rcvbuf=rcvbuf)
        client.send(connect(client_id, **connect_args))
        client.expect_packet(connack(0), f"CONNACK for {client_id}")
        return client

    def subscribed(self, client_id, filters, **connect_args):
        client = self.connected(client_id, **connect_args)
        client.send(subscribe(1, filters))
        client.expect_packet(suback(1, [qos for _, qos in filters]), f"SUBACK for {client_id}")
        return client

    @staticmethod
    def published(client, topic, payload, mid=0x7001, retain=False):
        """At QoS 1: after the PUBACK the broker has handed out deliveries."""
        client.send(publish(topic, payload, 1, mid, retain))
        client.expect_packet(puback(mid), f"PUBACK for {topic}")


if __name__ == "__main__":
    # HALYX_HTTP_FILES: a directory the daemon serves on its httpPort;
    # HALYX_USERS: JSON [[name, password, publish flag], ...];
    # HALYX_TEST_CONF: JSON {key: value, ...} of further configuration;
    # HALYX_TLS=1: TLS ports too, with the authority's certificate as caFile;
    # HALYX_PERSISTENCE=1: a store in the daemon's directory, written each second.
    tls_on = os.environ.get("HALYX_TLS") == "1"
    node_daemon = Daemon(json.loads(os.environ.get("HALYX_USERS", "[]")),
                         http_files=os.environ.get("HALYX_HTTP_FILES"),
                         conf=json.loads(os.environ.get("HALYX_TEST_CONF", "{}")), tls={} if tls_on else None)
    if os.environ.get("HALYX_PERSISTENCE"):
        with open(node_daemon.conf_path, "a") as f:
            f.write(f"persistence_file = {node_daemon.dir}/halyx.db\npersistence_interval = 1\n")
    node_daemon.start()
    print(json.dumps({"mqttPort": node_daemon.mqtt_port, "wsPort": node_daemon.ws_port,
                      "httpPort": node_daemon.http_port, "wssPort": node_daemon.wss_port,
                      "httpsPort": node_daemon.https_port,
                      "caFile": node_daemon.cert("ca.crt") if tls_on else None}), flush=True)
    sys.exit(0 if finish(node_daemon, sys.stdin.read() != "") else 1)
