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
            self.proc.stderr.close()
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
                          "--user", "Scanner", "--timeout", "7", stdin=b"s3cret pass\n")
        self.assertEqual(saved.returncode, 0, saved.stderr)
        self.assertEqual(saved.stdout.decode(), "환경설정정보 등록에 성공하였습니다.\n")
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
        """Every value line of the file, the enciphered password included."""
        return tuple(re.findall(rb'^"[^"]+"=.*$', self.settings_file(), re.M))

    def test_a_save_killed_at_any_moment_leaves_all_old_or_all_new_values(self):
        ports = free_port(), free_port()
        sets = [dict(args=["--port", str(ports[i]), "--timeout", str(5 + i),
                           "--home", os.path.join(self.root, "home%d" % i), "--user", user],
                     password=password)
                for i, (user, password) in enumerate([("alice", b"pw1"), ("bob", b"pw2")])]
        for chosen in sets + sets[:1]:  # each set's file once; the first set stays
            saved = self.ftpd("--save", *chosen["args"], stdin=chosen["password"] + b"\n")
            self.assertEqual(saved.returncode, 0, saved.stderr)
            chosen.setdefault("values", self.saved_values())
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
            # A user with the other save's password would lock the scanner out.
            self.assertIn(self.saved_values(), (sets[0]["values"], sets[1]["values"]), "round %d" % round_)
        # What is left serves: its port, and the password of its own save;
        # the load has removed every temporary file a killed save left.
        address, port = self.serve()
        self.assertEqual(sorted(os.listdir(os.path.join(self.env["XDG_CONFIG_HOME"], "Tessaly"))),
                         ["Lumbra.reg", "Lumbra.reg.lock"])
        user, password = [(s["args"][-1], s["password"]) for s in sets if s["args"][1] == str(port)][0]
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=10)
        self.assertTrue(ftp.login(user, password.decode()).startswith("230"))
        ftp.quit()

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

    def test_every_save_makes_the_autostart_entry_agree(self):
        autostart = os.path.join(self.env["XDG_CONFIG_HOME"], "autostart", "Lumbra.desktop")
        beside = os.path.join(os.path.dirname(ftpd_path()), "lumbra")
        program = os.path.realpath(beside if os.path.exists(beside) else ftpd_path())  # the desktop one if built

        def entry():
            if not os.path.exists(autostart):
                return None
            with open(autostart) as f:
                return re.search(r"^Exec=\"(.*)\"$", f.read(), re.M).group(1)

        # (options, entry before: None, ours or another path, entry after)
        cases = [(["--auto-start", "off"], None, None),  # a fresh store: nothing to remove is no failure
                 (["--auto-start", "on"], None, program),
                 ([], "/old/place/lumbra", program),  # on, as stored: a stale entry is rewritten
                 (["--auto-start", "off"], program, None)]
        for options, before, after in cases:
            with self.subTest(options=options, before=before):
                if before:
                    os.makedirs(os.path.dirname(autostart), exist_ok=True)
                    with open(autostart, "w") as f:
                        f.write('[Desktop Entry]\nType=Application\nExec="%s"\n' % before)
                saved = self.ftpd("--save", *options)
                self.assertEqual((saved.returncode, saved.stderr), (0, b""))
                self.assertEqual(entry(), after)

    def test_a_stored_timeout_out_of_range_is_reported_and_replaced_by_the_default(self):
        saved = self.ftpd("--save", "--port", str(free_port()), "--home", self.home)
        self.assertEqual(saved.returncode, 0, saved.stderr)
        text = self.settings_file().replace(b'"Timeout"=dword:00000005', b'"Timeout"=dword:00000000')
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "Tessaly", "Lumbra.reg"), "wb") as f:
            f.write(text)
        self.serve()
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(timeout=10), 0)
        self.assertIn(b"the stored time-out 0 is not 5 to 300 minutes; the default 5 is used",
                      self.proc.stderr.read())
        # The next save stores the default in its place.
        self.assertEqual(self.ftpd("--save").returncode, 0)
        self.assertIn(b'"Timeout"=dword:00000005', self.settings_file())

if __name__ == "__main__":
    unittest.main()
