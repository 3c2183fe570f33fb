"""The Debian packages on this machine itself: built with tools/package.sh
(or taken from dist/ when newer than every source file), installed with
apt-get, the server run by a normal user on port 21 (the postinst's
capability), the fail2ban filter read against the server's failed-login
line, and a purge that leaves nothing of the packages behind. The machine is
left as it was found, also when a step fails."""

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from ftp_harness import GREETING, read_line_from_pipe

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PACKAGES = ("lumbra-ftpd", "orvello")
TEST_USER = "lumbra-test"
FILTER = "/etc/fail2ban/filter.d/lumbra-ftpd.conf"
SERVICE_LINK = "/etc/systemd/system/multi-user.target.wants/lumbra-ftpd@%s.service" % TEST_USER
SLICE = "system-lumbra\\x2dftpd.slice"

# Real failed logins, one with a name that tries to name another address,
# and stored-file lines whose client-chosen names imitate a failed login.
FILTER_LINES = (
    ('login failed for "scan" from 192.168.0.77', True),
    ('login failed for "x\\" from 6.6.6.6" from 192.168.0.78', True),
    ('stored 424242 bytes /home/a/VESK_SCAN/x login failed for "a" from 1.2.3.4.pdf', False),
    ('stored 424242 bytes /home/a/VESK_SCAN/x login failed for "a" from 1.2.3.4', False),
    ('upload failed /home/a/VESK_SCAN/x login failed for "a" from 1.2.3.5', False),
)
MATCHED = ["192.168.0.77", "192.168.0.78"]


def run(*command, timeout=120, **kw):
    if "input" not in kw:
        kw["stdin"] = subprocess.DEVNULL
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout, **kw)


def installed(package):
    status = run("dpkg-query", "-W", "-f=${db:Status-Status}", package).stdout
    return status not in ("", "not-installed", "config-files") and "no packages found" not in status


def version():
    return run("dpkg-parsechangelog", "-S", "Version", cwd=ROOT).stdout.strip()


def fresh_debs():
    """dist/'s packages when both are newer than every source file, else None."""
    arch = run("dpkg", "--print-architecture").stdout.strip()
    debs = [os.path.join(ROOT, "dist", "%s_%s_%s.deb" % (p, version(), arch)) for p in PACKAGES]
    listing = run("git", "ls-files", "-z", "--cached", "--others", "--exclude-standard", cwd=ROOT)
    if listing.returncode != 0 or not all(os.path.exists(d) for d in debs):
        return None
    sources = [os.path.join(ROOT, f) for f in listing.stdout.split("\0") if f]
    newest = max(os.path.getmtime(f) for f in sources if os.path.exists(f))
    return debs if min(os.path.getmtime(d) for d in debs) > newest else None


def skip_reason():
    if os.geteuid() != 0:
        return "installs packages on this machine: needs root (CI runs as root)"
    if not shutil.which("dpkg-buildpackage") or not shutil.which("apt-get"):
        return "dpkg-buildpackage or apt-get is not available"
    if os.environ.get("LUMBRA_SANITIZE"):
        return "the packages are built without sanitizers; the plain build's run checks them"
    if any(installed(p) for p in PACKAGES):
        return "lumbra-ftpd or orvello is installed here already; the test would remove it"
    return None


SKIP_REASON = skip_reason()


@unittest.skipIf(SKIP_REASON, SKIP_REASON)
class InstalledPackages(unittest.TestCase):
    def test_install_serve_and_purge(self):
        debs = fresh_debs()
        if debs is None:
            build = run("bash", "tools/package.sh", cwd=ROOT, timeout=1800)
            self.assertEqual(build.returncode, 0, build.stdout[-4000:])
            debs = fresh_debs()
            self.assertIsNotNone(debs, "tools/package.sh left no packages in dist/")
        self.addCleanup(self.purge)
        install = run("apt-get", "install", "-y", "-q", "--no-install-recommends", *debs,
                      timeout=600, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        self.assertEqual(install.returncode, 0, install.stdout[-4000:])

        with self.subTest("a normal user serves on port 21"):
            self.assert_user_serves_port_21()
        with self.subTest("fail2ban reads the failed logins, and only them"):
            self.assert_filter_matches()
        with self.subTest("--version"):
            result = run("lumbra-ftpd", "--version")
            self.assertEqual((result.returncode, result.stdout), (0, "lumbra-ftpd %s\n" % version()))
        with self.subTest("a purge leaves nothing"):
            if shutil.which("systemctl"):
                self.addCleanup(lambda: os.path.lexists(SERVICE_LINK) and os.unlink(SERVICE_LINK))
                self.assertEqual(run("systemctl", "enable", "lumbra-ftpd@%s" % TEST_USER).returncode, 0)
                self.assertTrue(os.path.islink(SERVICE_LINK))
            files = [line.split()[5].lstrip(".") for d in debs
                     for line in run("dpkg-deb", "-c", d).stdout.splitlines() if not line.startswith("d")]
            self.purge()
            left = [f for f in files + [SERVICE_LINK] if os.path.lexists(f)]
            self.assertEqual(left, [])
            self.assertFalse(any(installed(p) for p in PACKAGES))

    def purge(self):
        run("apt-get", "purge", "-y", "-q", *PACKAGES, timeout=300,
            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))

    def normal_user(self):
        """The uid and gid of the normal user, created for the test if missing."""
        try:
            entry = pwd.getpwnam(TEST_USER)
        except KeyError:
            subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                            TEST_USER], check=True)
            self.addCleanup(subprocess.run, ["userdel", TEST_USER])
            entry = pwd.getpwnam(TEST_USER)
        return entry.pw_uid, entry.pw_gid

    def assert_user_serves_port_21(self):
        uid, gid = self.normal_user()
        folder = tempfile.mkdtemp(prefix="lumbra-package-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        os.chown(folder, uid, gid)
        env = {"PATH": "/usr/bin:/bin", "HOME": folder, "XDG_CONFIG_HOME": os.path.join(folder, "cfg")}
        server = subprocess.Popen(
            ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups", "/usr/bin/lumbra-ftpd",
             "--bind", "127.0.0.1", "--port", "21", "--home", os.path.join(folder, "scans"), "--anonymous"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        listening = read_line_from_pipe(server.stdout, 10)
        if listening == b"listening on 127.0.0.1:21\n":
            with socket.create_connection(("127.0.0.1", 21), timeout=5) as client:
                greeting = client.makefile("rb").readline()
        server.terminate()
        _, errors = server.communicate(timeout=10)
        self.assertEqual(listening, b"listening on 127.0.0.1:21\n", errors)
        self.assertEqual((greeting, server.returncode), (GREETING, 0))

    def assert_filter_matches(self):
        if not shutil.which("fail2ban-regex"):
            self.skipTest("fail2ban is not installed")
        folder = tempfile.mkdtemp(prefix="lumbra-fail2ban-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        lines = os.path.join(folder, "lines")
        with open(lines, "w") as f:
            f.writelines("2026-12-08 09:15:02 %s\n" % text for text, _ in FILTER_LINES)
        self.assertEqual(run("fail2ban-regex", "-o", "ip", lines, FILTER).stdout.split(), MATCHED)

        # The same lines as the journal holds them, with one real failed
        # login from a program outside the services, which must not count.
        journal_remote = "/lib/systemd/systemd-journal-remote"
        if not os.path.exists(journal_remote):
            return
        entries = [(SLICE, "lumbra-ftpd", text) for text, _ in FILTER_LINES]
        entries.append(("user-0.slice", "bash", FILTER_LINES[0][0].replace(".77", ".99")))
        export = "".join(
            "__REALTIME_TIMESTAMP=%d\n__MONOTONIC_TIMESTAMP=%d\n_BOOT_ID=%s\n_HOSTNAME=pc\n"
            "_SYSTEMD_SLICE=%s\n_COMM=%s\nSYSLOG_IDENTIFIER=%s\n_PID=%d\nMESSAGE=%s\n\n"
            % (int(time.time() * 1e6) + i, i + 1, "0123456789abcdef" * 2, slice_, comm, comm, 100 + i,
               "2026-12-08 09:15:02 " + text)
            for i, (slice_, comm, text) in enumerate(entries))
        journal = os.path.join(folder, "f.journal")
        self.assertEqual(run(journal_remote, "--output=" + journal, "-", input=export).returncode, 0)
        source = "systemd-journal[journalfiles=%s]" % journal
        self.assertEqual(run("fail2ban-regex", "-o", "ip", source, FILTER).stdout.split(), MATCHED)


if __name__ == "__main__":
    unittest.main()
