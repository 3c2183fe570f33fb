"""lumbra-ftpd with the stored settings: --save changes them without a
desktop, and a start without options serves what was saved."""

import ftplib
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
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

    def saved_values(self):
        """Port, Timeout, HomePath and UserID as the file holds them now."""
        text = self.settings_file()
        values = {}
        for name in (b"Port", b"Timeout"):
            m = re.search(b'"' + name + b'"=dword:([0-9a-f]{8})\n', text)
            values[name] = int(m.group(1), 16) if m else None
        for name in (b"HomePath", b"UserID"):
            m = re.search(b'"' + name + b'"="([^"]*)"\n', text)
            values[name] = m.group(1).decode() if m else None
        return values

    def test_a_save_killed_at_any_moment_leaves_old_or_new_values_that_serve(self):
        ports = free_port(), free_port()
        sets = [dict(args=["--port", str(ports[i]), "--timeout", str(3 + i),
                           "--home", os.path.join(self.root, "home%d" % i), "--user", user],
                     password=password,
                     values={b"Port": ports[i], b"Timeout": 3 + i,
                             b"HomePath": os.path.join(self.root, "home%d" % i), b"UserID": user})
                for i, (user, password) in enumerate([("alpha", b"one"), ("beta", b"two")])]
        first = self.ftpd("--save", *sets[0]["args"], stdin=sets[0]["password"] + b"\n")
        self.assertEqual(first.returncode, 0, first.stderr)
        rng = random.Random(10)
        for round_ in range(30):
            chosen = sets[round_ % 2]
            proc = subprocess.Popen([ftpd_path(), "--save", *chosen["args"]], env=self.env,
                                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            proc.stdin.write(chosen["password"] + b"\n")
            proc.stdin.close()
            time.sleep(rng.uniform(0, 0.3))  # a save takes some 0.2 s from start-up to its last write
            proc.kill()
            proc.wait(timeout=10)
            values = self.saved_values()
            for name, value in values.items():
                self.assertIn(value, (sets[0]["values"][name], sets[1]["values"][name]),
                              "round %d: %s" % (round_, name))
        # What is left serves: its port, and the password of one of the saves.
        address, port = self.serve()
        self.assertIn(port, ports)
        user = self.saved_values()[b"UserID"]
        logged_in = []
        for candidate in (b"one", b"two"):
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", port, timeout=10)
            try:
                logged_in.append(ftp.login(user, candidate.decode()))
            except ftplib.error_perm:
                pass
            ftp.close()
        self.assertEqual(len(logged_in), 1, logged_in)

    def test_a_truncated_settings_file_stops_the_start_and_is_left_as_it_was(self):
        saved = self.ftpd("--save", "--port", str(free_port()), "--home", self.home,
                          "--user", "Scanner", stdin=b"s3cret\n")
        self.assertEqual(saved.returncode, 0, saved.stderr)
        whole = self.settings_file()
        path = os.path.join(self.env["XDG_CONFIG_HOME"], "Tessaly", "Lumbra.reg")
        # Every cut at the end of a line, where nothing but the file's end tells,
        # and some inside lines.
        cuts = sorted(set([i + 1 for i, b in enumerate(whole[:-1]) if b == ord("\n")]
                          + list(range(0, len(whole) - 1, 23))))
        for cut in cuts:
            with open(path, "wb") as f:
                f.write(whole[:cut])
            result = self.ftpd()
            self.assertEqual(result.returncode, 1, "cut at %d: %r" % (cut, whole[:cut][-30:]))
            self.assertIn("취득에 실패하였습니다.", result.stderr.decode())
            self.assertEqual(self.settings_file(), whole[:cut], "cut at %d" % cut)

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
