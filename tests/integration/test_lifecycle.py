"""Start-up, detaching and shut-down of the real daemon; every daemon that
DaemonTestCase starts is also stopped with SIGTERM and checked to exit 0."""

import os
import shutil
import signal
import socket
import unittest

from halyx_harness import Daemon


class Lifecycle(unittest.TestCase):
    def daemon(self):
        d = Daemon()
        self.addCleanup(shutil.rmtree, d.dir, ignore_errors=True)
        self.addCleanup(d.kill)
        return d

    def test_parent_exits_zero_and_names_the_detached_child(self):
        d = self.daemon().start()
        self.assertEqual(d.launch.returncode, 0)
        self.assertIn(f"process id of child process {d.pid} \n", d.launch.stdout)
        # The child reports the real id of the parent it was forked from.
        self.assertRegex(d.launch.stdout, r"process id of parent process [1-9]\d* \n")
        self.assertIn("process forked successfully, ready to receive messages\n", d.launch.stdout)
        self.assertTrue(d.running())
        self.assertEqual(os.readlink(f"/proc/{d.pid}/cwd"), "/")
        with open(f"/proc/{d.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        session, tty = int(fields[3]), int(fields[4])
        self.assertEqual(session, d.pid, "daemon leads its own session")
        self.assertEqual(tty, 0, "no controlling terminal")
        self.assertEqual(self.status(d)["Umask"], "0000")
        for fd in range(3):
            self.assertEqual(os.readlink(f"/proc/{d.pid}/fd/{fd}"), "/dev/null")

    @staticmethod
    def status(d):
        with open(f"/proc/{d.pid}/status") as f:
            return dict(line.split(":\t", 1) for line in f.read().splitlines())

    def test_only_sigterm_is_caught(self):
        # The others keep their default action (a sanitizer build adds
        # handlers for faults such as SIGSEGV only).
        status = self.status(self.daemon().start())
        caught, ignored = int(status["SigCgt"], 16), int(status["SigIgn"], 16)
        self.assertTrue(caught & (1 << (signal.SIGTERM - 1)))
        for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGPIPE, signal.SIGUSR1,
                    signal.SIGUSR2, signal.SIGALRM, signal.SIGCHLD):
            bit = 1 << (sig - 1)
            self.assertFalse(caught & bit or ignored & bit, f"{sig.name} has a handler or is ignored")

    def test_exit_status_after_signals(self):
        # A second SIGTERM while stopping is harmless; SIGHUP keeps its
        # default action.
        for signals, status in (((signal.SIGTERM, signal.SIGTERM), 0), ((signal.SIGHUP,), -signal.SIGHUP)):
            with self.subTest(signals=signals):
                d = self.daemon().start()
                for sig in signals:
                    os.kill(d.pid, sig)
                self.assertEqual(d.wait_exit(), status)
                if status == 0:
                    self.assertEqual(d.log().splitlines()[-1], "notice exit")

    def test_start_up_failures_end_with_status_one_and_name_their_cause(self):
        for what in ("missing configuration file", "port in use"):
            with self.subTest(what), socket.socket() as taken:
                d = self.daemon()
                if what == "port in use":
                    taken.bind(("0.0.0.0", d.mqtt_port))
                    taken.listen()
                else:
                    os.unlink(d.conf_path)
                d.start(wait_ready=False)
                self.assertEqual(d.launch.returncode, 0)
                self.assertEqual(d.wait_exit(), 1)
                self.assertIn(d.conf_path if what != "port in use" else "Address already in use", d.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
