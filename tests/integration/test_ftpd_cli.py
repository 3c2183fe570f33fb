"""The lumbra-ftpd command line: the listening line, failed starts and bad
options."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

from ftp_harness import GREETING, FtpdServer, ftpd_path


class CommandLine(unittest.TestCase):

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="lumbra-cli-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        self.env = dict(os.environ, HOME=os.path.join(self.root, "u"),
                        XDG_CONFIG_HOME=os.path.join(self.root, "cfg"))

    def run_ftpd(self, *args, timeout=10):
        """Run a start that is expected to end by itself."""
        return subprocess.run([ftpd_path()] + list(args), stdin=subprocess.DEVNULL,
                              capture_output=True, env=self.env, timeout=timeout,
                              cwd=self.root)

    def assertOneLine(self, text):
        self.assertTrue(text.endswith(b"\n"), text)
        self.assertEqual(text.count(b"\n"), 1, text)
        self.assertGreater(len(text.strip()), 0)

    def test_listening_line(self):
        server = FtpdServer(root=self.root)
        server.start()
        try:
            self.assertGreater(server.port, 0)
            c = server.client()
            self.assertEqual(c.read_line(), GREETING)
            c.close()
        finally:
            self.assertEqual(server.stop(), 0)
        self.assertEqual(server.stderr_text(), "")

    def test_port_in_use(self):
        blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(blocker.close)
        blocker.bind(("127.0.0.1", 0))
        blocker.listen(1)
        port = blocker.getsockname()[1]
        r = self.run_ftpd("--bind", "127.0.0.1", "--port", str(port), "--home", self.home)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout, b"")
        self.assertOneLine(r.stderr)
        self.assertIn(str(port).encode(), r.stderr)
        self.assertRegex(r.stderr.decode(), re.compile("in use", re.I))

    def test_address_not_local(self):
        # 192.0.2.0/24 is reserved for documentation and never local.
        r = self.run_ftpd("--bind", "192.0.2.77", "--port", "0", "--home", self.home)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout, b"")
        self.assertOneLine(r.stderr)
        self.assertIn(b"192.0.2.77", r.stderr)

    def test_bad_options_print_usage(self):
        pw = os.path.join(self.root, "pw")
        with open(pw, "w") as f:
            f.write("secret\n")
        base = ["--bind", "127.0.0.1", "--home", self.home]
        cases = [
            ["--port", "abc"],
            ["--port", "-1"],
            ["--port", "65536"],
            ["--port", ""],
            ["--port"],
            ["--port", "0", "--frobnicate"],
            ["--port", "0", "--timeout", "x"],
            ["--port", "0", "--timeout", "-3"],
            ["--port", "0", "--timeout"],
            ["--port", "0", "--user", "scanner"],
            ["--port", "0", "--password-file", pw],
            ["--port", "0", "--anonymous", "--user", "scanner", "--password-file", pw],
            ["--port", "0", "stray-argument"],
            ["--port", "0", "--home"],
            ["--port", "0", "--bind"],
        ]
        for extra in cases:
            with self.subTest(args=extra):
                r = self.run_ftpd(*(base + extra))
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stdout, b"")
                self.assertIn(b"usage", r.stderr.lower())

    def test_password_file_login(self):
        server = FtpdServer(root=self.root, anonymous=False, user="scanner",
                            password_file_bytes=b"pa ss\n")
        server.start()
        try:
            c = server.client()
            c.login("scanner", "pa ss")
            self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
            c.close()
        finally:
            self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    unittest.main()
