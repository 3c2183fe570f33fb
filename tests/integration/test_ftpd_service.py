"""lumbra-ftpd as a service: a line per arriving scan on standard output,
a way out of a damaged settings file, and an exit after the 5-second wait
even when a connection thread is stuck."""

import fcntl
import ftplib
import io
import os
import re
import signal
import socket
import subprocess
import time
import unittest

from ftp_harness import (FtpdServer, ServerTestCase, TRANSFER_COMPLETE, OPENING_BINARY, GREETING,
                         data_connect, ftpd_path)

DAMAGED = b"REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Tessaly\\Lumbra]\n\"Port\"=dword:zz\n"
STORED_LINE = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d stored (\d+) bytes (.+)")


class ScanLines(ServerTestCase):
    def test_one_line_per_stored_file_with_size_and_path(self):
        c = self.logged_in()
        self.assertTrue(c.command("MKD job").startswith(b"257 "))
        for name, size in (("a.pdf", 0), ("job/b.pdf", 70000)):
            with data_connect(c.epsv()) as d:
                self.assertEqual(c.command("STOR " + name), OPENING_BINARY)
                d.sendall(b"s" * size)
            self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        lines = []
        deadline = time.monotonic() + 5
        while len(lines) < 2 and time.monotonic() < deadline:
            lines = [m.groups() for m in map(STORED_LINE.fullmatch, self.server.output_lines) if m]
            time.sleep(0.05)
        self.assertEqual(lines, [("0", os.path.join(self.home, "a.pdf")),
                                 ("70000", os.path.join(self.home, "job", "b.pdf"))])


class UndrainedOutput(unittest.TestCase):
    """Nobody reads the server's standard output (a one-page pipe): lines
    are dropped, and the server goes on storing scans and ends normally."""

    F_SETPIPE_SZ = 1031

    def test_a_full_output_pipe_never_stops_the_server(self):
        server = FtpdServer()
        self.addCleanup(server.cleanup)
        os.makedirs(server.home)
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        fcntl.fcntl(write_end, self.F_SETPIPE_SZ, 4096)
        proc = subprocess.Popen(server.arguments(), stdin=subprocess.DEVNULL, stdout=write_end,
                                stderr=subprocess.DEVNULL, env=server.environment())
        os.close(write_end)
        try:
            first = os.read(read_end, 4096).split(b"\n")[0]
            port = int(re.fullmatch(rb"listening on 127\.0\.0\.1:(\d+)", first).group(1))
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", port, timeout=10)
            ftp.login()
            for i in range(120):  # far more lines than the pipe holds
                ftp.storbinary("STOR s%03d.pdf" % i, io.BytesIO(b"page"))
            ftp.quit()
            self.assertEqual(len(os.listdir(server.home)), 120)
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=10), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


class DamagedSettings(unittest.TestCase):
    def setUp(self):
        self.server = FtpdServer()
        self.addCleanup(self.server.cleanup)
        self.folder = os.path.join(self.server.root, "cfg", "Tessaly")
        self.file = os.path.join(self.folder, "Lumbra.reg")
        os.makedirs(self.folder)
        with open(self.file, "wb") as f:
            f.write(DAMAGED)

    def ftpd(self, *args):
        return subprocess.run([ftpd_path(), *args], env=self.server.environment(),
                              capture_output=True, timeout=30)

    def test_the_load_error_names_the_file(self):
        result = self.ftpd()
        self.assertEqual(result.returncode, 1)
        stderr = result.stderr.decode()
        self.assertIn("환경설정정보(자동시작) 취득에 실패하였습니다.", stderr)
        self.assertIn(self.file + " is damaged", stderr)

    def test_a_save_keeps_the_damaged_file_beside_and_writes_fresh_settings(self):
        saved = self.ftpd("--save", "--port", "2121", "--anonymous")
        self.assertEqual(saved.returncode, 0, saved.stderr)
        self.assertIn("환경설정정보 등록에 성공하였습니다.", saved.stdout.decode())
        with open(self.file + ".damaged", "rb") as f:
            self.assertEqual(f.read(), DAMAGED)
        with open(self.file, "rb") as f:
            self.assertIn(b'"Port"=dword:00000849', f.read())
        # And the next start serves them.
        self.server.start()
        self.assertEqual(self.server.stop(), 0)


class StuckThreadExit(unittest.TestCase):
    """A client that sends command after command and reads no reply stalls
    its thread in a reply; SIGTERM or SIGINT still ends the process once the
    5-second wait for the connection threads is over."""

    # The wait, and 10 s more for a loaded machine under a sanitizer.
    EXIT_BOUND = 5 + 10

    def stall(self, port):
        s = socket.socket()
        self.addCleanup(s.close)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", port))
        s.settimeout(5)
        self.assertEqual(s.recv(len(GREETING)), GREETING)
        s.sendall(b"USER anonymous\r\nPASS x\r\n")
        s.setblocking(False)
        noops = b"NOOP\r\n" * 4096
        quiet_since = time.monotonic()
        deadline = time.monotonic() + 20
        while time.monotonic() - quiet_since < 1.5 and time.monotonic() < deadline:
            try:
                s.send(noops)
                quiet_since = time.monotonic()
            except BlockingIOError:
                time.sleep(0.05)

    def test_a_stop_signal_ends_the_process_despite_the_stuck_thread(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum.name):
                server = FtpdServer()
                self.addCleanup(server.cleanup)
                server.start()
                self.stall(server.port)
                server.proc.send_signal(signum)
                self.assertEqual(server.proc.wait(timeout=self.EXIT_BOUND), 0)


if __name__ == "__main__":
    unittest.main()
