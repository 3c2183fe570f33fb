"""Confinement under attack: while a client works, another local process
swaps a folder and a file of the home folder for symbolic links to an
outside folder and back, atomically and as fast as it can. Whatever the
timing, nothing outside may be written, deleted, moved or created, and no
listing may show what lies outside.

Each verb is raced for 2 s ($RACE_SECONDS for a longer run) and at least 20
rounds, however slow the machine, within a minute more."""

import ftplib
import io
import os
import shutil
import subprocess
import sys
import textwrap
import time
import unittest

from ftp_harness import REPLY_TIMEOUT, SharedServerTestCase

RACE_SECONDS = float(os.environ.get("RACE_SECONDS", "2.0"))
MIN_ROUNDS = 20
RACE_LIMIT = RACE_SECONDS + 60
OUTSIDE_ONLY = "only-outside.txt"

# Runs in a process of its own so that it swaps at full speed on the other
# core: exchanges <home>/sub (a real folder) with <home>/swap (a link to the
# outside folder), and <home>/file.pdf (a real file) with <home>/fswap (a
# link to an outside file). A name that a command removed comes back as a
# link, so there is always something to swap.
SWAPPER = textwrap.dedent("""
    import ctypes, os, signal, sys, time
    libc = ctypes.CDLL(None, use_errno=True)
    AT_FDCWD, RENAME_EXCHANGE = -100, 2
    home, outside, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    pairs = [(os.path.join(home, "sub"), os.path.join(home, "swap"), outside),
             (os.path.join(home, "file.pdf"), os.path.join(home, "fswap"),
              os.path.join(outside, "file.pdf"))]
    pairs = [(a.encode(), b.encode(), t) for a, b, t in pairs]
    end = time.monotonic() + seconds
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    print("swapping", flush=True)
    count = 0
    while not stop and time.monotonic() < end:
        for a, b, target in pairs:
            if libc.renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) == 0:
                count += 1
            else:
                for name in (a, b):
                    if not os.path.lexists(name):
                        try:
                            os.symlink(target, name)
                        except OSError:
                            pass
    print(count, flush=True)
""")


def snapshot(top):
    """Every entry below `top` with its kind, size, time and content."""
    found = {}
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            content = None
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    content = f.read()
            found[os.path.relpath(path, top)] = (st.st_mode, st.st_size, st.st_mtime_ns,
                                                 st.st_ino, content)
    return found


class ConfinementRace(SharedServerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.outside = os.path.join(cls.root, "outside")

    def setUp(self):
        for root in (self.home, self.outside):
            shutil.rmtree(root, ignore_errors=True)
            os.makedirs(root)
        # The outside folder holds every name the commands aim at inside, so
        # a command that got through would find its target there.
        for root in (self.outside, os.path.join(self.home, "sub")):
            os.makedirs(os.path.join(root, "dir"), exist_ok=True)
            os.makedirs(os.path.join(root, "keep"), exist_ok=True)
            for name in ("secret.txt", "file.pdf", "up.pdf"):
                with open(os.path.join(root, name), "wb") as f:
                    f.write(b"original " + name.encode())
        with open(os.path.join(self.outside, OUTSIDE_ONLY), "wb") as f:
            f.write(b"o")
        with open(os.path.join(self.home, "file.pdf"), "wb") as f:
            f.write(b"inside file")
        with open(os.path.join(self.home, "mine.pdf"), "wb") as f:
            f.write(b"mine")
        os.symlink(self.outside, os.path.join(self.home, "swap"))
        os.symlink(os.path.join(self.outside, "file.pdf"), os.path.join(self.home, "fswap"))
        # The real folder, whatever name it has at the moment.
        self.sub_fd = os.open(os.path.join(self.home, "sub"), os.O_RDONLY | os.O_DIRECTORY)
        self.addCleanup(os.close, self.sub_fd)
        self.before = snapshot(self.outside)
        self.swapper = None

    # -- the race ------------------------------------------------------------
    def start_swapper(self):
        self.swapper = subprocess.Popen(
            [sys.executable, "-c", SWAPPER, self.home, self.outside, str(RACE_LIMIT)],
            stdout=subprocess.PIPE)
        self.addCleanup(self.stop_swapper)
        self.assertEqual(self.swapper.stdout.readline(), b"swapping\n")

    def stop_swapper(self):
        if self.swapper is None:
            return 0
        swapper, self.swapper = self.swapper, None
        swapper.terminate()
        out, _ = swapper.communicate(timeout=10)
        return int(out or b"0")

    def connect(self):
        f = ftplib.FTP(timeout=REPLY_TIMEOUT)
        f.connect("127.0.0.1", self.server.port)
        f.login("anonymous", "x")
        return f

    def reconnect(self):
        self.f.close()
        self.f = self.connect()

    def race(self, step):
        """Runs step(i) over and over on the session self.f against the
        swapper, for RACE_SECONDS and at least MIN_ROUNDS rounds (however
        slow the machine, within RACE_LIMIT), then checks that the outside
        folder is as it was."""
        self.f = self.connect()
        try:
            self.start_swapper()
            started = time.monotonic()
            i = 0
            while (i < MIN_ROUNDS or time.monotonic() - started < RACE_SECONDS) \
                    and time.monotonic() - started < RACE_LIMIT:
                step(i)
                i += 1
            self.f.quit()
        finally:
            self.f.close()
        swaps = self.stop_swapper()
        if os.environ.get("RACE_VERBOSE"):
            print("%d rounds, %d swaps" % (i, swaps), file=sys.stderr)
        self.assertEqual(snapshot(self.outside), self.before)
        self.assertGreaterEqual(i, MIN_ROUNDS)
        self.assertGreater(swaps, 1000)
        return i

    def command(self, line):
        try:
            return self.f.sendcmd(line)
        except ftplib.Error as e:
            return str(e)

    def put_back(self):
        """Restores, inside the real folder, what a command removed."""
        for name in ("dir", "keep"):
            try:
                os.mkdir(name, dir_fd=self.sub_fd)
            except FileExistsError:
                pass
        for name in ("secret.txt", "file.pdf"):
            fd = os.open(name, os.O_WRONLY | os.O_CREAT, 0o666, dir_fd=self.sub_fd)
            os.close(fd)

    def assertNotListedOutside(self, data):
        self.assertNotIn(OUTSIDE_ONLY.encode(), data)

    # -- every verb ----------------------------------------------------------
    def test_mkd(self):
        self.race(lambda i: (self.command("MKD sub/new%d" % (i % 50)),
                                self.command("MKD sub/deep%d/a/b" % (i % 50))))

    def test_rmd(self):
        def step(i):
            self.command("RMD sub/dir")
            self.command("RMD sub/keep")
            self.put_back()
        self.race(step)

    def test_dele(self):
        def step(i):
            for name in ("sub/secret.txt", "sub/file.pdf", "/sub/./secret.txt", "file.pdf"):
                self.command("DELE " + name)
            self.put_back()
        self.race(step)

    def test_rnfr_rnto(self):
        def step(i):
            # Out of the swapped folder, and into it.
            self.command("RNFR sub/secret.txt")
            self.command("RNTO moved%d.txt" % i)
            self.command("RNFR mine.pdf")
            self.command("RNTO sub/moved.pdf")
            self.command("RNFR sub/moved.pdf")
            self.command("RNTO mine.pdf")
            self.command("RNFR file.pdf")
            self.command("RNTO sub/file%d.pdf" % i)
            self.put_back()
        self.race(step)

    def listing(self, command):
        chunks = []
        try:
            self.f.retrbinary(command, chunks.append)
        except ftplib.Error:
            # A refused listing leaves the passive connection that ftplib
            # made beforehand; a fresh session keeps the replies in step.
            self.reconnect()
        return b"".join(chunks)

    def test_list_and_nlst(self):
        def step(i):
            for command in ("LIST sub", "NLST sub", "LIST sub/dir", "LIST file.pdf"):
                self.assertNotListedOutside(self.listing(command))
        self.race(step)

    def test_cwd(self):
        def step(i):
            self.command("CWD /sub")
            self.assertNotListedOutside(self.listing("LIST"))
            self.command("MKD made%d" % (i % 20))
            self.command("RMD dir")
            self.command("DELE secret.txt")
            self.put_back()
        self.race(step)

    def test_stor(self):
        def step(i):
            try:
                self.f.storbinary("STOR sub/up.pdf", io.BytesIO(b"uploaded %d" % i))
                self.f.storbinary("STOR sub/new%d.pdf" % (i % 20), io.BytesIO(b"new"))
                self.f.storbinary("STOR file.pdf", io.BytesIO(b"over"))
            except ftplib.Error:
                self.reconnect()
        self.race(step)


if __name__ == "__main__":
    unittest.main()
