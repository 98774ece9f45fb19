"""Start-up, detaching, the command line, start-up failures, the log at
start, signals and shut-down of the real daemon."""

import os
import re
import signal
import socket
import subprocess
import time
import unittest

from halyx_harness import (HALYX_BIN, TIMEOUT, Client, connack, connect, own_daemon, subscribe, suback,
                           wait_until)

RULES = ('{"version": "1.00", "nodes": [{"type": "trigger-topic", "topic": "a", "nextid": 1},\n'
         '{"type": "action-value", "id": 1, "topic": "b", "value": "x", "nextid": 0, "retain": 0}]}\n')
SUMMARY = (r"notice halyx \d+\.\d+\.\d+ serving: configuration {conf}; MQTT port {mqtt}, WebSocket port {ws}, "
           r"MQTT-SN port {sn}, HTTP port off; rules {rules}: {nodes}\n")


def reaped_status():
    """Exit status of the next child that ends (this process is the
    daemons' subreaper), or None when none ends in time."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return None
        if pid:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    return None


class Lifecycle(unittest.TestCase):
    def daemon(self, **kwargs):
        return own_daemon(self, **kwargs)

    def run_halyx(self, d, *args, env=None, **kwargs):
        """The binary with `args`, its environment naming d's files unless
        `env` says otherwise."""
        env = dict(os.environ, HALYX_CONF=d.conf_path, HALYX_RULES=d.rules_path,
                   HALYX_LOG_FILE=d.log_path) | (env or {})
        env.pop("JOURNAL_STREAM", None)
        return subprocess.run([HALYX_BIN, *args], env=env, capture_output=True, text=True, timeout=TIMEOUT,
                              **kwargs)

    def summary(self, d, conf=None, rules=None, nodes="2 nodes, 1 trigger"):
        return SUMMARY.format(conf=re.escape(conf or d.conf_path), mqtt=d.mqtt_port, ws=d.ws_port,
                              sn=d.mqttsn_port, rules=re.escape(rules or d.rules_path), nodes=nodes)

    def test_parent_waits_for_the_daemon_and_names_it(self):
        # Files named on the command line win over the environment; relative
        # names are taken from the directory halyx starts in.
        d = self.daemon(rules=RULES)
        run = self.run_halyx(d, "-c", "halyx.conf", "-r", "halyx.rules", cwd=d.dir,
                             env={"HALYX_CONF": "/nonexistent.conf", "HALYX_RULES": "/nonexistent.rules"})
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        d.pid = int(re.search(r"process id of child process (\d+) \n", run.stdout).group(1))
        # The child reports the real id of the parent it was forked from.
        self.assertRegex(run.stdout, r"process id of parent process [1-9]\d* \n")
        self.assertIn("process forked successfully, ready to receive messages\n", run.stdout)
        # The parent returned once the daemon serves: no wait needed.
        socket.create_connection(("127.0.0.1", d.mqtt_port), timeout=TIMEOUT).close()
        self.assertRegex(d.log(), self.summary(d))
        self.assertEqual(os.readlink(f"/proc/{d.pid}/cwd"), "/")
        with open(f"/proc/{d.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        self.assertEqual(int(fields[3]), d.pid, "daemon leads its own session")
        self.assertEqual(int(fields[4]), 0, "no controlling terminal")
        with open(f"/proc/{d.pid}/status") as f:
            self.assertIn("Umask:\t0000\n", f.read())
        for fd in range(3):
            self.assertEqual(os.readlink(f"/proc/{d.pid}/fd/{fd}"), "/dev/null")
        self.assertEqual(d.stop(), 0)

    def test_command_lines_that_start_nothing(self):
        usage = r"usage: halyx \[-c FILE\] \[-r FILE\] \[-f\] \[-h\|--help\] \[--version\] \[--hash-password\]\n"
        for args, status, out, err in ((["--help"], 0, usage, "^$"), (["-h"], 0, usage, "^$"),
                                       (["--version"], 0, r"^halyx \d+\.\d+\.\d+\n$", "^$"),
                                       (["-x"], 2, "^$", usage), (["--bogus"], 2, "^$", usage),
                                       (["-c"], 2, "^$", usage), (["-f", "extra"], 2, "^$", usage),
                                       (["--hash-password"], 1, "^$", "password is empty"),
                                       (["--hash-password", "-c"], 2, "^$", usage)):
            with self.subTest(args=args):
                d = self.daemon()
                run = self.run_halyx(d, *args, input="\n")
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertRegex(run.stdout, out)
                self.assertRegex(run.stderr, err)
                with self.assertRaises(OSError, msg="nothing listens"):
                    socket.create_connection(("127.0.0.1", d.mqtt_port), timeout=1).close()
                self.assertFalse(os.path.exists(d.log_path), "nothing logged")

    def test_foreground_tells_systemd_logs_to_stderr_and_exits_zero_on_sigterm_and_sigint(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig.name):
                d = self.daemon(rules=RULES)
                # systemd's readiness socket, as a Type=notify unit has it.
                notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
                self.addCleanup(notify.close)
                notify.bind(os.path.join(d.dir, "notify"))
                notify.settimeout(TIMEOUT)
                env = dict(os.environ, HALYX_LOG_FILE=d.log_path, NOTIFY_SOCKET=os.path.join(d.dir, "notify"))
                env.pop("JOURNAL_STREAM", None)
                proc = subprocess.Popen([HALYX_BIN, "-f", "-c", d.conf_path, "-r", d.rules_path], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                self.addCleanup(proc.kill)
                self.assertEqual(notify.recv(4096), b"READY=1")
                # Not forked: the process started is the one serving.
                self.assertEqual(proc.poll(), None)
                socket.create_connection(("127.0.0.1", d.mqtt_port), timeout=TIMEOUT).close()
                proc.send_signal(sig)
                self.assertEqual(notify.recv(4096), b"STOPPING=1")
                _, err = proc.communicate(timeout=TIMEOUT)
                self.assertEqual(proc.returncode, 0)
                self.assertRegex(err, self.summary(d))
                self.assertIn(f"warning Received {sig.name} signal.\n", err)
                self.assertTrue(err.endswith("notice exit\n"), err)

    def test_start_up_failures_end_with_status_one_and_one_line_naming_the_cause(self):
        def taken(kind, port):
            s = socket.socket(socket.AF_INET, kind)
            self.addCleanup(s.close)
            s.bind(("0.0.0.0", port))
            if kind == socket.SOCK_STREAM:
                s.listen()

        def append(d, text):
            with open(d.conf_path, "a") as f:
                f.write(text)

        cases = (("missing configuration", [], lambda d: os.unlink(d.conf_path),
                  lambda d: f"{d.conf_path}: No such file or directory"),
                 ("missing configuration, foreground", ["-f"], lambda d: os.unlink(d.conf_path),
                  lambda d: f"{d.conf_path}: No such file or directory"),
                 ("MQTT port in use", [], lambda d: taken(socket.SOCK_STREAM, d.mqtt_port),
                  lambda d: f"MQTT port {d.mqtt_port}: Address already in use"),
                 ("WebSocket port in use", [], lambda d: taken(socket.SOCK_STREAM, d.ws_port),
                  lambda d: f"WebSocket port {d.ws_port}: Address already in use"),
                 ("MQTT-SN port in use", [], lambda d: taken(socket.SOCK_DGRAM, d.mqttsn_port),
                  lambda d: f"MQTT-SN port {d.mqttsn_port}: Address already in use"),
                 *((f"bind_address {value}", [], lambda d, v=value: append(d, f"bind_address = {v}\n"),
                    lambda d, v=value: f"bind_address = {v}: not an IPv4 address (a.b.c.d)")
                   for value in ("localhost", "127.0.0", "::1")))
        for what, args, setup, reason in cases:
            with self.subTest(what):
                d = self.daemon()
                append(d, "log_level = 6\n")  # as in production: the cause is still logged
                setup(d)
                run = self.run_halyx(d, *args)
                self.assertEqual(run.returncode, 1)
                self.assertEqual(run.stdout, "")
                self.assertTrue(run.stderr.endswith(f"halyx: {reason(d)}\n"), run.stderr)
                self.assertIn(f"err start-up failed: {reason(d)}\n", d.log())
                if not args:  # the daemon stops what it started and exits 1 itself
                    self.assertEqual(reaped_status(), 1)

    def test_signals(self):
        # SIGTERM and SIGINT stop (a second SIGTERM while stopping is
        # harmless); the others are logged and change nothing.
        for signals, status, line in (((signal.SIGTERM, signal.SIGTERM), 0, "warning Received SIGTERM signal."),
                                      ((signal.SIGINT,), 0, "warning Received SIGINT signal."),
                                      ((signal.SIGUSR1,), None, "notice Received SIGUSR1 signal: ignored"),
                                      ((signal.SIGUSR2,), None, "notice Received SIGUSR2 signal: ignored"),
                                      ((signal.SIGALRM,), None, "notice Received SIGALRM signal: ignored")):
            with self.subTest(signals=signals):
                d = self.daemon().start()
                for sig in signals:
                    os.kill(d.pid, sig)
                self.assertTrue(wait_until(lambda: line in d.log()), d.log())
                if status is None:
                    client = Client(d.mqtt_port)
                    client.send(connect("alive"))
                    client.expect_packet(connack(0), "the daemon still serves")
                    client.sock.close()
                    self.assertEqual(d.stop(), 0)
                else:
                    self.assertEqual(d.wait_exit(), status)
                self.assertEqual(d.log().splitlines()[-1], "notice exit")

    def test_configuration_mistakes_are_warned_then_sighup_reads_the_rules_again_and_reopens_the_log(self):
        d = self.daemon(rules=RULES)
        with open(d.conf_path) as f:
            lines = len(f.read().splitlines())
        with open(d.conf_path, "a") as f:
            f.write("log_level = 6\nmqtt_prot = 1883\nmysql_password = two words\nuser_name\n")
        d.start()
        c = re.escape(d.conf_path)
        self.assertRegex(d.log(), f"^warning {c} line {lines + 2}: unknown key mqtt_prot is ignored\n"
                                  f"warning {c} line {lines + 3}: the value of mysql_password is cut at \"two\"; "
                                  f"the rest of the line is ignored\n"
                                  f"warning {c} line {lines + 4}: not a \"key = value\" line; ignored\n"
                                  + self.summary(d) + "$")
        new_rules = RULES.replace('"value": "x"', '"value": "y"')
        with open(d.rules_path, "w") as f:
            f.write(new_rules)
        os.rename(d.log_path, d.log_path + ".1")  # as logrotate does
        os.kill(d.pid, signal.SIGHUP)
        self.assertTrue(wait_until(lambda: "Received SIGHUP signal" in d.log()), "no new log file")

        def rules_topic():
            c = Client(d.mqtt_port)
            c.send(connect("reader"))
            c.expect_packet(connack(0))
            c.send(subscribe(1, [("$SYS/rulesengine/rules", 0)]))
            c.expect_packet(suback(1, [0]))
            pkt = c.read_packet()
            c.sock.close()
            return pkt and pkt.endswith(new_rules.encode())

        self.assertTrue(wait_until(rules_topic), "the rules topic holds the file read again")
        self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
