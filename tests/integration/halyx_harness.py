"""Runs the real halyx binary for end-to-end tests.

Each Daemon gets its own temporary directory, configuration file, log file
and free ports. The test process makes itself a child subreaper, so the
detached daemon is re-parented to it and its exit status can be read.
"""

import ctypes
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

PR_SET_CHILD_SUBREAPER = 36
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

HALYX_BIN = os.environ.get("HALYX_BIN") or os.path.join(os.path.dirname(__file__), "../../build/halyx")
TIMEOUT = 20.0  # generous bound for any single awaited event


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return value


class Daemon:
    """One halyx process with its own files and ports; `users` are
    (name, password, publish flag) entries of the configuration; `nofile`
    caps its descriptors, soft and hard limit alike, since the daemon may
    raise its soft limit to the hard one. start() after an exit runs the
    same configuration again."""

    def __init__(self, users=(), nofile=None):
        self.dir = tempfile.mkdtemp(prefix="halyx-test-")
        self.conf_path = os.path.join(self.dir, "halyx.conf")
        self.log_path = os.path.join(self.dir, "halyx.log")
        self.mqtt_port, self.ws_port = free_port(), free_port()
        conf = (f"mqtt_iface = lo\nmqtt_port = {self.mqtt_port}\nmqtt_ws_port = {self.ws_port}\n"
                f"mqttsn_iface = lo\nmqttsn_port = {free_port(socket.SOCK_DGRAM)}\n"
                f"http_port = {free_port()}\nhttp_files_path = {self.dir}\n")
        if users:
            conf += "mqtt_auth_enable = 1\n" + "".join(
                f"user_name = {name}\nuser_password = {password}\nuser_publish_enable = {publish}\n"
                for name, password, publish in users)
        with open(self.conf_path, "w") as f:
            f.write(conf)
        self.pid = self.status = None
        self.nofile = nofile

    def start(self, wait_ready=True):
        """Runs the binary; the parent returns at once with the child's id."""
        env = dict(os.environ, HALYX_CONF=self.conf_path, HALYX_LOG_FILE=self.log_path,
                   HALYX_RULES=os.path.join(self.dir, "halyx.rules"))
        limit = self.nofile and (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (self.nofile,) * 2))
        self.pid = self.status = None
        self.launch = subprocess.run([HALYX_BIN], env=env, capture_output=True, text=True, timeout=TIMEOUT,
                                     preexec_fn=limit or None)
        m = re.search(r"process id of child process (\d+)", self.launch.stdout)
        if not m:
            raise AssertionError(f"no child pid in output: {self.launch.stdout!r} {self.launch.stderr!r}")
        self.pid = int(m.group(1))
        if wait_ready and not wait_until(self._listening):
            raise AssertionError("daemon did not open its MQTT port\n" + self.log())
        return self

    def _listening(self):
        if not self.running():
            raise AssertionError("daemon ended during start-up\n" + self.log())
        try:
            socket.create_connection(("127.0.0.1", self.mqtt_port), timeout=1).close()
            return True
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
        """Exit status of the daemon, minus the signal number when a signal
        ended it, or None while it runs."""
        wait_until(lambda: not self.running(), timeout)
        if self.status is None:
            return None
        return os.WEXITSTATUS(self.status) if os.WIFEXITED(self.status) else -os.WTERMSIG(self.status)

    def stop(self):
        if self.running():
            os.kill(self.pid, signal.SIGTERM)
        return self.wait_exit()

    def kill(self):
        if self.running():
            os.kill(self.pid, signal.SIGKILL)
            self.wait_exit()

    def memory_kb(self, field="VmHWM"):
        """A size from /proc/<pid>/status in KiB; VmHWM is the peak resident size."""
        with open(f"/proc/{self.pid}/status") as f:
            return int(re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M).group(1))

    def log_lines(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def log(self):
        return "\n".join(self.log_lines())


class DaemonTestCase(unittest.TestCase):
    """Starts a fresh daemon per test; prints its log when a test fails and
    fails a test after which the daemon does not stop cleanly."""

    users, nofile = (), None

    def setUp(self):
        self.daemon = Daemon(self.users, self.nofile).start()

    def tearDown(self):
        result = self._outcome.result  # a failed subtest is listed as its own test, naming this one
        failed = any(getattr(t, "test_case", t) is self for t, _ in result.failures + result.errors)
        status = self.daemon.stop()
        if failed or status != 0:  # the tail only: a daemon gone wrong may have logged megabytes
            tail = "\n".join(self.daemon.log_lines()[-200:])
            print(f"\n--- daemon log ({self.daemon.log_path}), last 200 lines ---\n{tail}")
        else:
            shutil.rmtree(self.daemon.dir, ignore_errors=True)
        self.daemon.kill()
        self.assertEqual(status, 0, "daemon did not stop cleanly")
