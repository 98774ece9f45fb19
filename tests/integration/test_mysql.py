"""The real daemon's database connection, against a throwaway MariaDB server
(tests/mariadb-throwaway): made at start-up and closed at the stop; a
refused login ends the start-up; a database not enabled is never asked."""

import os
import shutil
import signal
import subprocess
import tempfile
import unittest

from halyx_harness import finish, own_daemon, wait_until

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mariadb-throwaway")


def server(*args):
    done = subprocess.run([SERVER, *args], capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise AssertionError(f"mariadb-throwaway {args[0]} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


class Mysql(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="halyx-db-")
        cls.port = int(server("start", cls.dir))

    @classmethod
    def tearDownClass(cls):
        server("stop", cls.dir)
        shutil.rmtree(cls.dir, ignore_errors=True)

    def daemon(self, **keys):
        return own_daemon(self, mysql={"mysql_enable": 1, "mysql_server": "127.0.0.1", "mysql_user": "halyx",
                                       "mysql_password": "halyx-pw", "mysql_database": "halyx",
                                       "mysql_port": self.port, **keys})

    def status(self, query):
        return server("sql", self.dir, query).split()[-1]

    def sessions(self):
        return self.status("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = 'halyx'")

    def test_start_up_connects_and_the_stop_closes_the_connection(self):
        d = self.daemon().start()
        self.assertTrue(wait_until(lambda: "debug Connected to MySQL server at 127.0.0.1\n" in d.log()), d.log())
        self.assertEqual(self.sessions(), "1")
        with open(f"/proc/{d.pid}/status") as f:  # the client library would ignore SIGPIPE
            ignored = int(next(line for line in f if line.startswith("SigIgn:")).split()[1], 16)
        self.assertFalse(ignored & (1 << (signal.SIGPIPE - 1)), "SIGPIPE ignored")
        self.assertTrue(finish(d, False), "daemon did not stop cleanly")
        self.assertTrue(wait_until(lambda: self.sessions() == "0"), "connection left open")

    def test_a_refused_login_ends_the_start_up_with_status_one(self):
        d = self.daemon(mysql_password="wrong").start(wait_ready=False)
        self.assertEqual(d.launch.returncode, 1, d.log())
        self.assertRegex(d.launch.stderr, r"^halyx: MariaDB server \S+ port \d+: could not connect\n$")
        self.assertIn("debug MySQL Error on line 260: Access denied for user 'halyx'@'127.0.0.1' "
                      "(using password: YES)\n", d.log())

    def test_mysql_enable_2_connects_nothing(self):
        # Each status query is one connection of its own.
        before = int(self.status("SHOW GLOBAL STATUS LIKE 'Connections'"))
        d = self.daemon(mysql_enable=2).start()
        self.assertEqual(d.stop(), 0, d.log())
        self.assertEqual(int(self.status("SHOW GLOBAL STATUS LIKE 'Connections'")), before + 1)
        self.assertNotIn("MySQL", d.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
