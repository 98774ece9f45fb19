"""Runs the real halyx binary for end-to-end tests.

Each Daemon gets its own temporary directory, configuration file, log file
and free ports. The test process makes itself a child subreaper, so the
detached daemon is re-parented to it and its exit status can be read.
"""

import ctypes
import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import unittest

PR_SET_CHILD_SUBREAPER = 36
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

HALYX_BIN = os.environ.get("HALYX_BIN") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "halyx")

TIMEOUT = 20.0  # generous bound for any single awaited event


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=TIMEOUT, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


class Daemon:
    """One halyx process with its own files and ports."""

    def __init__(self, conf_text=None, users=None, extra_conf="", ws=True):
        self.dir = tempfile.mkdtemp(prefix="halyx-test-")
        self.conf_path = os.path.join(self.dir, "halyx.conf")
        self.rules_path = os.path.join(self.dir, "halyx.rules")
        self.log_path = os.path.join(self.dir, "halyx.log")
        self.mqtt_port = free_port()
        self.ws_port = free_port() if ws else 0
        self.mqttsn_port = free_port(socket.SOCK_DGRAM)
        self.http_port = free_port()
        if conf_text is None:
            conf_text = (
                f"mqtt_iface = lo\n"
                f"mqtt_port = {self.mqtt_port}\n"
                f"mqtt_ws_port = {self.ws_port}\n"
                f"mqttsn_iface = lo\n"
                f"mqttsn_port = {self.mqttsn_port}\n"
                f"http_port = {self.http_port}\n"
                f"http_files_path = {self.dir}\n")
            if users:
                conf_text += "mqtt_auth_enable = 1\n"
                for name, password, publish in users:
                    conf_text += (f"user_name = {name}\nuser_password = {password}\n"
                                  f"user_publish_enable = {publish}\n")
            conf_text += extra_conf
        with open(self.conf_path, "w") as f:
            f.write(conf_text)
        self.pid = None
        self.status = None
        self.launch = None

    def env(self, **overrides):
        env = dict(os.environ)
        env.update(HALYX_CONF=self.conf_path, HALYX_RULES=self.rules_path,
                   HALYX_LOG_FILE=self.log_path)
        env.update(overrides)
        return env

    def start(self, wait_ready=True, **env_overrides):
        """Runs the binary; the parent returns at once with the child's id."""
        self.launch = subprocess.run([HALYX_BIN], env=self.env(**env_overrides),
                                     capture_output=True, text=True, timeout=TIMEOUT)
        m = re.search(r"process id of child process (\d+)", self.launch.stdout)
        if not m:
            raise AssertionError(f"no child pid in output: {self.launch.stdout!r} "
                                 f"{self.launch.stderr!r}")
        self.pid = int(m.group(1))
        if wait_ready and self.mqtt_port:
            if not wait_until(self._listening):
                raise AssertionError("daemon did not open its MQTT port\n" + self.log())
        return self

    def _listening(self):
        if not self.running():
            raise AssertionError("daemon ended during start-up\n" + self.log())
        try:
            with socket.create_connection(("127.0.0.1", self.mqtt_port), timeout=1):
                return True
        except OSError:
            return False

    def running(self):
        if self.pid is None or self.status is not None:
            return False
        pid, status = os.waitpid(self.pid, os.WNOHANG)
        if pid == self.pid:
            self.status = status
            return False
        return True

    def wait_exit(self, timeout=TIMEOUT):
        """Exit status of the daemon (waitpid status decoded), or None."""
        if wait_until(lambda: not self.running(), timeout=timeout):
            pass
        if self.status is None:
            return None
        if os.WIFEXITED(self.status):
            return os.WEXITSTATUS(self.status)
        return -os.WTERMSIG(self.status)

    def stop(self, timeout=TIMEOUT):
        if self.running():
            os.kill(self.pid, signal.SIGTERM)
        return self.wait_exit(timeout)

    def kill(self):
        if self.running():
            os.kill(self.pid, signal.SIGKILL)
            self.wait_exit()

    def log_lines(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def log(self):
        return "\n".join(self.log_lines())

    def wait_log(self, text, timeout=TIMEOUT, count=1):
        """Waits until `text` appears in at least `count` log lines."""
        def seen():
            return sum(1 for line in self.log_lines() if text in line) >= count
        if not wait_until(seen, timeout=timeout):
            raise AssertionError(f"log line {text!r} not seen\n" + self.log())


class DaemonTestCase(unittest.TestCase):
    """Starts a fresh daemon per test; prints its log when a test fails."""

    daemon_kwargs = {}

    def setUp(self):
        self.daemon = Daemon(**self.daemon_kwargs)
        self.daemon.start()

    def tearDown(self):
        outcome = getattr(self, "_outcome", None)
        failed = False
        if outcome is not None and hasattr(outcome, "result"):
            result = outcome.result
            failed = any(test is self for test, _ in result.failures + result.errors)
        status = self.daemon.stop()
        if failed:
            print(f"\n--- daemon log ({self.daemon.log_path}) ---\n{self.daemon.log()}")
        self.daemon.kill()
        self.assertEqual(status, 0, "daemon did not stop cleanly\n" + self.daemon.log())
