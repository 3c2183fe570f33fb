"""The desktop program as a whole: lumbra started on the offscreen platform
with stored settings (auto-start on, 127.0.0.1), a real FTP client uploading
a scan, and the end of the session (SIGTERM) ending the program in order.

The program under test runs as a copy named lumbra-under-test: the user's
own lumbra may be running on this computer, and one copy per computer is
counted by the name "lumbra"."""

import ftplib
import io
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

LOOPBACK_ADAPTER = "lo=127.0.0.1"
START_WAIT = 15.0
EXIT_WAIT = 20.0


def bin_dir():
    return os.environ.get("LUMBRA_BIN_DIR") or os.path.normpath(
        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_listener(port, proc, wait):
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.1)
    return False


@unittest.skipUnless(os.path.exists(os.path.join(bin_dir(), "lumbra")), "lumbra was not built")
@unittest.skipIf(os.environ.get("LUMBRA_SANITIZE") == "thread",
                 "Qt's widget libraries are not instrumented for the thread sanitizer")
class DesktopProgram(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="lumbra-desktop-")
        self.home = os.path.join(self.root, "scans")
        self.port = free_port()
        self.env = dict(os.environ, HOME=os.path.join(self.root, "user"),
                        XDG_CONFIG_HOME=os.path.join(self.root, "cfg"),
                        XDG_RUNTIME_DIR=os.path.join(self.root, "run"),
                        LUMBRA_ADAPTERS=LOOPBACK_ADAPTER, QT_QPA_PLATFORM="offscreen")
        os.makedirs(self.env["HOME"])
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.proc = None
        self.store_settings()

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)

    def store_settings(self):
        save = subprocess.run(
            [os.path.join(bin_dir(), "lumbra-ftpd"), "--save", "--bind", "127.0.0.1",
             "--port", str(self.port), "--home", self.home, "--anonymous", "--auto-start", "on"],
            env=self.env, capture_output=True, text=True, timeout=30)
        self.assertEqual(save.returncode, 0, save.stderr)

    def start_lumbra(self):
        program = os.path.join(self.root, "lumbra-under-test")
        shutil.copy2(os.path.join(bin_dir(), "lumbra"), program)
        self.proc = subprocess.Popen([program], env=self.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(wait_for_listener(self.port, self.proc, START_WAIT),
                        "lumbra did not start its server")

    def test_upload_then_sigterm_ends_connection_and_program(self):
        self.start_lumbra()
        with ftplib.FTP() as ftp:
            ftp.connect("127.0.0.1", self.port, timeout=10)
            ftp.login()
            ftp.storbinary("STOR scan0001.pdf", io.BytesIO(b"%PDF-1.4 scanned page\n" * 500))
        with open(os.path.join(self.home, "scan0001.pdf"), "rb") as f:
            self.assertEqual(f.read(), b"%PDF-1.4 scanned page\n" * 500)

        # A device still connected when the session ends.
        device = ftplib.FTP()
        device.connect("127.0.0.1", self.port, timeout=10)
        device.login()
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(timeout=EXIT_WAIT), 0)
        device.sock.settimeout(5)
        try:
            self.assertEqual(device.sock.recv(1024), b"", "connection still open")
        except ConnectionResetError:
            pass  # ended just as well
        device.close()
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", self.port), timeout=2).close()

    def test_sigterm_ends_the_program_within_the_wait_despite_a_stuck_connection(self):
        self.start_lumbra()
        # Commands sent without reading a reply stall the connection thread.
        stuck = socket.socket()
        stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stuck.connect(("127.0.0.1", self.port))
        stuck.sendall(b"USER anonymous\r\nPASS x\r\n")
        stuck.setblocking(False)
        quiet_since = time.monotonic()
        deadline = time.monotonic() + 20
        while time.monotonic() - quiet_since < 1.5 and time.monotonic() < deadline:
            try:
                stuck.send(b"NOOP\r\n" * 4096)
                quiet_since = time.monotonic()
            except BlockingIOError:
                time.sleep(0.05)
        try:
            # EXIT_WAIT: the 5-second wait for the thread, with a margin for
            # a loaded machine under a sanitizer.
            self.proc.send_signal(signal.SIGTERM)
            self.assertEqual(self.proc.wait(timeout=EXIT_WAIT), 0)
        finally:
            stuck.close()


if __name__ == "__main__":
    unittest.main()
