"""lumbra-ftpd with the stored settings: --save changes them without a
desktop, and a start without options serves what was saved."""

import ftplib
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from ftp_harness import ftpd_path, read_line_from_pipe

# The real adapter list leaves loopback out; tests may only use 127.0.0.1.
LOOPBACK_ADAPTER = "lo=127.0.0.1"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class StoredSettings(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="lumbra-stored-")
        self.env = dict(os.environ, HOME=os.path.join(self.root, "user"),
                        XDG_CONFIG_HOME=os.path.join(self.root, "cfg"),
                        LUMBRA_ADAPTERS=LOOPBACK_ADAPTER)
        os.makedirs(self.env["HOME"])
        self.home = os.path.join(self.root, "scans")
        self.proc = None

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.assertEqual(self.proc.wait(timeout=10), 0)
        if self.proc:
            self.proc.stdout.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def ftpd(self, *args, stdin=None):
        return subprocess.run([ftpd_path(), *args], input=stdin, env=self.env,
                              capture_output=True, timeout=30)

    def serve(self, *args):
        self.proc = subprocess.Popen([ftpd_path(), *args], env=self.env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        line = read_line_from_pipe(self.proc.stdout, 10)
        m = re.fullmatch(rb"listening on (\S+):(\d+)\n", line)
        self.assertIsNotNone(m, (line, self.proc.stderr.read1() if self.proc.poll() is not None else b""))
        return m.group(1).decode(), int(m.group(2))

    def settings_file(self):
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "Tessaly", "Lumbra.reg"), "rb") as f:
            return f.read()

    def test_saved_named_login_is_served_without_options(self):
        port = free_port()
        saved = self.ftpd("--save", "--port", str(port), "--home", self.home,
                          "--user", "Scanner", "--timeout", "3", stdin=b"s3cret pass\n")
        self.assertEqual(saved.returncode, 0, saved.stderr)
        self.assertIn("환경설정정보 등록에 성공하였습니다.", saved.stderr.decode())
        stored = self.settings_file()
        self.assertIn(b'"UserID"="Scanner"', stored)
        self.assertIn(b'"NIC"="lo"', stored)
        self.assertNotIn(b"s3cret", stored)  # enciphered, never in plain text

        self.assertEqual(self.serve(), ("127.0.0.1", port))
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=10)
        with self.assertRaises(ftplib.error_perm):
            ftp.login("Scanner", "wrong")
        self.assertTrue(ftp.login("scanner", "s3cret pass").startswith("230"))
        ftp.mkd("job")
        ftp.quit()
        self.assertTrue(os.path.isdir(os.path.join(self.home, "job")))

    def test_options_override_single_stored_settings(self):
        saved = self.ftpd("--save", "--port", str(free_port()), "--home", self.home, "--anonymous")
        self.assertEqual(saved.returncode, 0, saved.stderr)
        other_home = os.path.join(self.root, "other")
        address, port = self.serve("--port", "0", "--home", other_home)
        self.assertEqual(address, "127.0.0.1")
        ftp = ftplib.FTP()
        ftp.connect(address, port, timeout=10)
        ftp.login()
        ftp.quit()
        self.assertTrue(os.path.isdir(other_home))  # made at login
        self.assertFalse(os.path.exists(self.home))

    def test_a_damaged_settings_file_stops_the_start_and_is_left_as_it_was(self):
        folder = os.path.join(self.env["XDG_CONFIG_HOME"], "Tessaly")
        os.makedirs(folder)
        damaged = b"REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Tessaly\\Lumbra]\n\"Port\"=dword:zz\n"
        with open(os.path.join(folder, "Lumbra.reg"), "wb") as f:
            f.write(damaged)
        result = self.ftpd()
        self.assertEqual(result.returncode, 1)
        self.assertIn("취득에 실패하였습니다.", result.stderr.decode())
        self.assertEqual(self.settings_file(), damaged)

    def test_auto_start_entry_follows_the_saved_setting(self):
        autostart = os.path.join(self.env["XDG_CONFIG_HOME"], "autostart", "Lumbra.desktop")
        # A fresh store has auto-start on but no entry yet: switching it off
        # finds nothing to remove, says so, and writes no setting.
        off = self.ftpd("--save", "--auto-start", "off", "--port", "2121")
        self.assertEqual(off.returncode, 1)
        self.assertIn("프로그램 자동실행 취소 설정에 실패하였습니다.(2", off.stderr.decode())
        self.assertNotIn(b'"Port"', self.settings_file())
        # Unchanged, the entry is not touched.
        self.assertEqual(self.ftpd("--save", "--auto-start", "on").returncode, 0)
        self.assertFalse(os.path.exists(autostart))


if __name__ == "__main__":
    unittest.main()
