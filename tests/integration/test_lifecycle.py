"""Start-up, detaching and shut-down of the real daemon."""

import os
import shutil
import signal
import socket
import unittest

from halyx_harness import Daemon, wait_until


class Lifecycle(unittest.TestCase):
    def tearDown(self):
        if getattr(self, "daemon", None):
            self.daemon.kill()
            shutil.rmtree(self.daemon.dir, ignore_errors=True)

    def test_parent_exits_zero_and_names_the_detached_child(self):
        self.daemon = d = Daemon().start()
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
        with open(f"/proc/{d.pid}/status") as f:
            status = f.read()
        self.assertIn("Umask:\t0000", status)
        # SIGTERM is caught; the others keep their default action (a
        # sanitizer build adds handlers for faults such as SIGSEGV only).
        caught = int(next(l for l in status.splitlines() if l.startswith("SigCgt:")).split()[1], 16)
        ignored = int(next(l for l in status.splitlines() if l.startswith("SigIgn:")).split()[1], 16)
        self.assertTrue(caught & (1 << (signal.SIGTERM - 1)))
        for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGPIPE, signal.SIGUSR1,
                    signal.SIGUSR2, signal.SIGALRM, signal.SIGCHLD):
            bit = 1 << (sig - 1)
            self.assertFalse(caught & bit or ignored & bit, f"{sig.name} has a handler or is ignored")
        for fd in range(3):
            self.assertEqual(os.readlink(f"/proc/{d.pid}/fd/{fd}"), "/dev/null")
        self.assertEqual(d.stop(), 0)

    def test_sigterm_stops_with_exit_as_last_log_line(self):
        self.daemon = d = Daemon().start()
        self.assertEqual(d.stop(), 0)
        lines = d.log_lines()
        self.assertIn("warning Received SIGTERM signal.", lines)
        self.assertEqual(lines[-1], "notice exit")

    def test_missing_configuration_file_exits_one(self):
        self.daemon = d = Daemon()
        os.unlink(d.conf_path)
        d.start(wait_ready=False)
        self.assertEqual(d.launch.returncode, 0)
        self.assertEqual(d.wait_exit(), 1)
        self.assertTrue(any(l.startswith("debug can't open ") and d.conf_path in l
                            for l in d.log_lines()), d.log())

    def test_port_in_use_ends_start_up_with_status_one(self):
        self.daemon = d = Daemon()
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", d.mqtt_port))
            taken.listen()
            d.start(wait_ready=False)
            self.assertEqual(d.wait_exit(), 1)
        self.assertTrue(any("Socket Error on line" in l and "Address already in use" in l
                            for l in d.log_lines()), d.log())

    def test_other_signals_keep_their_default_action(self):
        self.daemon = d = Daemon().start()
        os.kill(d.pid, signal.SIGHUP)
        self.assertEqual(d.wait_exit(), -signal.SIGHUP)

    def test_second_sigterm_while_stopping_is_harmless(self):
        self.daemon = d = Daemon().start()
        os.kill(d.pid, signal.SIGTERM)
        os.kill(d.pid, signal.SIGTERM)
        self.assertEqual(d.wait_exit(), 0)
        self.assertEqual(d.log_lines()[-1], "notice exit")


if __name__ == "__main__":
    unittest.main(verbosity=2)
