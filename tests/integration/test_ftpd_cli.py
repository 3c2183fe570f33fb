"""The lumbra-ftpd command line: the listening line, failed starts, bad
options, the options over stored settings, and the conventions both programs
keep (--version, --help, the password prompt)."""

import contextlib
import ftplib
import io
import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from ftp_harness import GREETING, FtpdServer, ftpd_path, read_line_from_pipe

HERE = os.path.dirname(os.path.abspath(__file__))
SUCCESS = "환경설정정보 등록에 성공하였습니다.\n".encode()


def project_version():
    with open(os.path.join(HERE, "..", "..", "CMakeLists.txt")) as f:
        return re.search(r"project\(\w+ VERSION ([\d.]+)", f.read()).group(1)


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
            ["--port", "0", "--timeout", "0"],  # the network dialog's range: 5 to 300
            ["--port", "0", "--timeout", "4"],
            ["--port", "0", "--timeout", "301"],
            ["--save", "--timeout", "0"],
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

    def serve(self, *args, env):
        """A server over the stored settings; its address and port."""
        proc = subprocess.Popen([ftpd_path(), "--port", "0", *args], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.addCleanup(lambda: (proc.terminate(), proc.communicate(timeout=10)))
        line = read_line_from_pipe(proc.stdout, 10)
        m = re.fullmatch(rb"listening on (\S+):(\d+)\n", line)
        self.assertIsNotNone(m, (args, line))
        return m.group(1).decode(), int(m.group(2))

    def upload_seconds(self, port, login):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=10)
        ftp.login(*login)
        started = time.monotonic()
        ftp.storbinary("STOR scan.pdf", io.BytesIO(b"x" * 40960))
        elapsed = time.monotonic() - started
        ftp.quit()
        return elapsed

    def test_options_over_a_stored_named_login_with_plain_scan(self):
        env = dict(self.env, LUMBRA_ADAPTERS="lo=127.0.0.1")
        # Saved without adapters, so none is chosen: the first one serves, or
        # 127.0.0.1 when there is none (a chosen one would be waited for).
        saved = subprocess.run([ftpd_path(), "--save", "--home", self.home, "--user", "scanner",
                                "--plain-scan"], input=b"s3cret\n", capture_output=True,
                               env=dict(env, LUMBRA_ADAPTERS=""), timeout=30)
        self.assertEqual((saved.returncode, saved.stdout), (0, SUCCESS), saved.stderr)
        named = ("scanner", "s3cret")
        # Plain-scan takes 40 960 bytes in 10 reads 200 ms apart: 1.8 s at the
        # least. Without it they take milliseconds; 1.5 s leaves room for a
        # loaded machine.
        cases = [
            ([], env, named, True),
            (["--no-plain-scan"], env, named, False),
            (["--anonymous"], env, ("anonymous", "x"), True),
            ([], dict(env, LUMBRA_ADAPTERS=""), named, True),  # no adapter: 127.0.0.1
        ]
        for args, case_env, login, paced in cases:
            with self.subTest(args=args, adapters=case_env["LUMBRA_ADAPTERS"]):
                address, port = self.serve(*args, env=case_env)
                self.assertEqual(address, "127.0.0.1")
                seconds = self.upload_seconds(port, login)
                self.assertTrue(seconds >= 1.8 if paced else seconds < 1.5, seconds)

    def test_passwords_that_are_refused(self):
        empty = os.path.join(self.root, "empty")
        open(empty, "wb").close()
        cases = [
            (["--user", "scanner", "--password-file", os.path.join(self.root, "missing")],
             "cannot read the password file"),
            (["--user", "scanner", "--password-file", empty], "the password for scanner is empty"),
            (["--save", "--user", "scanner"], "the password for scanner is empty"),  # stdin at its end
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = self.run_ftpd("--port", "0", "--home", self.home, *args)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertEqual(r.stdout, b"")
                self.assertIn(message, r.stderr.decode())
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "Tessaly", "Lumbra.reg"), "rb") as f:
            self.assertNotIn(b'"UserID"', f.read())  # the refused save stored nothing

    def test_version_and_help_of_both_programs(self):
        version = project_version()
        env = {k: v for k, v in self.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        cases = [([ftpd_path(), "--version"], "lumbra-ftpd %s\n" % version),
                 ([ftpd_path(), "--help"], "usage: lumbra-ftpd")]
        lumbra = os.path.join(os.environ.get("LUMBRA_BIN_DIR") or os.path.dirname(ftpd_path()), "lumbra")
        if os.path.exists(lumbra):  # without a display: nothing of the tray starts
            cases += [([lumbra, "--version"], "lumbra %s\n" % version), ([lumbra, "--help"], "usage: lumbra ")]
        for command, expected in cases:
            with self.subTest(command=command):
                r = subprocess.run(command, capture_output=True, env=env, timeout=10)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertTrue(r.stdout.decode().startswith(expected), r.stdout)

    def test_a_password_typed_at_a_terminal_is_asked_for_and_not_shown(self):
        master, slave = os.openpty()
        proc = subprocess.Popen([ftpd_path(), "--save", "--user", "scanner", "--home", self.home],
                                stdin=slave, stdout=subprocess.PIPE, stderr=slave, env=self.env)
        os.close(slave)
        self.addCleanup(os.close, master)
        shown = b""
        deadline = time.monotonic() + 10
        while b"Password for scanner: " not in shown and time.monotonic() < deadline:
            if select.select([master], [], [], 0.5)[0]:
                shown += os.read(master, 1024)
        os.write(master, b"typed secret\n")  # an echo would come back at once
        stdout, _ = proc.communicate(timeout=30)
        with contextlib.suppress(OSError):  # EIO: nothing more, its other end has closed
            shown += os.read(master, 1024)
        self.assertEqual((proc.returncode, stdout), (0, SUCCESS), shown)
        self.assertIn(b"Password for scanner: ", shown)
        self.assertNotIn(b"typed secret", shown)


if __name__ == "__main__":
    unittest.main()
