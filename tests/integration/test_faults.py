"""Faults while serving: a client that stops reading a long listing, and a
home folder that is removed or made read-only under a logged-in client. Each
ends with a clear reply or a clean end of the session, never a crash or a
stuck thread."""

import fcntl
import os
import re
import shutil
import socket
import stat
import struct
import tempfile
import termios
import time
import unittest

from ftp_harness import (GREETING, TIMED_OUT, FtpdServer, ServerTestCase,
                         data_connect)
from test_flood import open_descriptors, server_at_rest, settles_to, thread_count

REPLY = re.compile(rb"[1-5]\d\d [^\r\n]*\r\n")
# Some 5 MB of listing: more than the socket buffers of a loopback connection
# take in (they grow to 4 MB), so the server really has to wait for the reader.
LISTING_FILES = 18000
LONG_NAME = "scan_%05d_" + "with_a_rather_long_descriptive_name_" * 5 + ".pdf"


def fill_home(home, count=LISTING_FILES):
    for i in range(count):
        with open(os.path.join(home, LONG_NAME % i), "wb"):
            pass


def stalled_reader(port):
    """A data connection with a tiny receive buffer that is never read."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.settimeout(5)
    s.connect(("127.0.0.1", port))
    return s


def sends_block(sock, still=0.3, limit=20):
    """True once the bytes waiting unread on sock have stopped growing: the
    buffers are full and the sender is held up."""
    queued, since, deadline = -1, time.monotonic(), time.monotonic() + limit
    while time.monotonic() < deadline:
        now = struct.unpack("i", fcntl.ioctl(sock, termios.FIONREAD, b"\0" * 4))[0]
        if now != queued:
            queued, since = now, time.monotonic()
        elif queued > 0 and time.monotonic() - since >= still:
            return True
        time.sleep(0.02)
    return False


class StalledListingSteps:
    """One home folder with a long listing, shared by the tests of a class
    (each test has a server of its own on it)."""

    @classmethod
    def setUpClass(cls):
        cls.tree = tempfile.mkdtemp(prefix="lumbra-long-listing-")
        fill_home(cls.tree)
        cls.server_options = dict(cls.server_options, home=cls.tree)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tree, ignore_errors=True)

    def start_stalled_listing(self, expect_silence=True):
        self.pid = self.server.proc.pid
        self.baseline_threads, self.baseline_fds = server_at_rest(self)
        c = self.logged_in()
        port = c.pasv()[1]
        # 18 000 entries are gathered before the reply: seconds under a sanitizer.
        self.assertEqual(c.command("LIST", timeout=60),
                         b"150 Opening ASCII mode data connection for directory list.\r\n")
        data = stalled_reader(port)
        self.addCleanup(data.close)
        if expect_silence:
            self.assertTrue(sends_block(data), "the server never had to wait for the reader")
            self.assertEqual(c.read_available(0.3), b"", "the listing fitted into the buffers")
        return c, data

    def assert_nothing_left(self):
        self.assertEqual(settles_to(lambda: thread_count(self.pid), self.baseline_threads),
                         self.baseline_threads, "a connection thread is stuck")
        self.assertEqual(settles_to(lambda: open_descriptors(self.pid), self.baseline_fds),
                         self.baseline_fds)
        nxt = self.connect()
        self.assertEqual(nxt.read_line(), GREETING)


class StalledListing(StalledListingSteps, ServerTestCase):

    def test_abor_ends_the_stalled_listing_and_the_session_goes_on(self):
        c, data = self.start_stalled_listing()
        c.send(b"ABOR\r\n")
        replies = [c.read_line(), c.read_line()]
        self.assertEqual(replies[-1], b"226 ABOR command successful.\r\n")
        self.assertRegex(replies[0], REPLY)
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
        self.assertEqual(c.command("QUIT"), b"221 Bye\r\n")
        data.close()
        c.close()
        self.assert_nothing_left()

    def test_hanging_up_the_control_connection_ends_the_session(self):
        c, data = self.start_stalled_listing()
        c.close()
        time.sleep(0.3)
        data.close()
        self.assert_nothing_left()

    def test_a_reader_that_never_returns_leaves_when_the_other_side_closes(self):
        c, data = self.start_stalled_listing()
        # The data connection goes away unread: the listing ends with a reply,
        # never a claim of success over a connection that took nothing.
        data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        data.close()  # a reset
        line = c.read_line(timeout=10)
        self.assertRegex(line, REPLY)
        self.assertNotEqual(line[:3], b"226")
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
        c.close()
        self.assert_nothing_left()


class StalledListingTimesOut(StalledListingSteps, ServerTestCase):
    server_options = dict(timeout=0)

    def test_the_idle_time_out_ends_a_listing_nobody_reads(self):
        c, data = self.start_stalled_listing(expect_silence=False)
        got = b""
        deadline = time.monotonic() + 10
        while TIMED_OUT not in got and time.monotonic() < deadline:
            got += c.read_available(0.5)
        self.assertIn(TIMED_OUT, got)
        self.assertNotIn(b"226", got, "the listing was never taken in full")
        self.assertTrue(c.wait_closed(5))
        data.close()
        c.close()
        self.assert_nothing_left()


class HomeFolderSteps:
    """Every command still gets a reply, the session goes on, and nothing is
    made outside where the home folder was."""

    # The transfers first: later a MKD may bring the home folder back.
    COMMANDS = ["PWD", "NLST", "LIST", "STOR c.pdf", "CWD /", "CWD sub", "RMD sub", "DELE a.pdf",
                "RNFR a.pdf", "RNTO b.pdf", "MKD new", "CDUP", "NOOP"]

    def run_commands(self, c):
        replies = {}
        for command in self.COMMANDS:
            if command in ("NLST", "LIST", "STOR c.pdf"):
                port = c.pasv()[1]
                c.send(command.encode() + b"\r\n")
                first = c.read_line()
                self.assertRegex(first, REPLY, command)
                if first.startswith(b"150"):
                    data = data_connect(port)
                    data.close()
                    first = c.read_line(timeout=10)
                replies[command] = first
            else:
                replies[command] = c.command(command)
            self.assertRegex(replies[command], REPLY, command)
        return replies

    def prepare(self):
        os.makedirs(os.path.join(self.home, "sub"))
        with open(os.path.join(self.home, "a.pdf"), "wb") as f:
            f.write(b"a")
        c = self.logged_in()
        self.assertEqual(c.command("CWD sub"), b'250 "/sub" is current directory.\r\n')
        self.parent_before = sorted(os.listdir(self.server.root))
        return c

    def make_read_only(self):
        for folder in (os.path.join(self.home, "sub"), self.home):
            os.chmod(folder, stat.S_IRUSR | stat.S_IXUSR | stat.S_IRGRP | stat.S_IXGRP
                     | stat.S_IROTH | stat.S_IXOTH)
        self.addCleanup(lambda: [os.chmod(f, 0o755) for f in (self.home, os.path.join(self.home, "sub"))
                                 if os.path.exists(f)])

    def assert_read_only_refusals(self, replies):
        for command in ("MKD new", "DELE a.pdf", "RMD sub", "STOR c.pdf"):
            self.assertTrue(replies[command][:1] in (b"4", b"5"), (command, replies[command]))
        self.assertEqual(sorted(os.listdir(self.home)), ["a.pdf", "sub"], "nothing changed")


class HomeFolderGoesAway(HomeFolderSteps, ServerTestCase):

    def test_home_folder_removed_while_serving(self):
        c = self.prepare()
        shutil.rmtree(self.home)
        replies = self.run_commands(c)
        for command in ("NLST", "LIST", "STOR c.pdf", "CWD sub", "RMD sub", "DELE a.pdf", "RNFR a.pdf"):
            self.assertTrue(replies[command][:1] in (b"4", b"5"), (command, replies[command]))
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
        # A folder made afterwards brings the home folder back, as the first
        # login does; nothing lands anywhere else.
        self.assertEqual(replies["MKD new"], b"257 Directory created successfully.\r\n")
        self.assertEqual(sorted(os.listdir(self.server.root)), self.parent_before)
        self.assertEqual(os.listdir(self.home), ["new"])



class NobodyServer(FtpdServer):
    """The server as the unprivileged user nobody, so that file permissions
    hold for it even when the tests run as root."""

    def arguments(self):
        return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + super().arguments()

    def environment(self):
        # The sanitizers' suppression files may lie in a clone that nobody
        # cannot read (a 0700 home folder): it gets copies of its own.
        env = super().environment()
        for name in ("ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in env:
                env[name] = re.sub(r"(?:^|(?<=:))suppressions=([^:]+)", self.readable_copy, env[name])
        return env

    def readable_copy(self, match):
        # Only the option itself: print_suppressions=0 names no file.
        copy = os.path.join(self.root, os.path.basename(match[1]))
        shutil.copyfile(match[1], copy)
        os.chmod(copy, 0o644)
        return "suppressions=" + copy

    def start(self, wait=10.0):
        os.chmod(self.root, 0o755)
        for folder in (self.root, self.home, os.path.join(self.root, "cfg"),
                       os.path.join(self.root, "userhome")):
            os.makedirs(folder, exist_ok=True)
            os.chown(folder, *nobody_ids())
        return super().start(wait)


def nobody_ids():
    import pwd
    entry = pwd.getpwnam("nobody")
    return entry.pw_uid, entry.pw_gid


@unittest.skipIf(os.geteuid() == 0 and not shutil.which("setpriv"), "needs setpriv to serve as nobody")
class HomeFolderMadeReadOnly(HomeFolderSteps, ServerTestCase):
    """Root writes into read-only folders: as root the server runs as nobody."""

    def setUp(self):
        if os.geteuid() != 0:
            return super().setUp()
        self.server = NobodyServer()
        self.addCleanup(self.server.cleanup)
        self.server.start()
        self.home = self.server.home
        self._clients = []

    def prepare(self):
        c = super().prepare()
        if os.geteuid() == 0:
            os.chown(os.path.join(self.home, "sub"), *nobody_ids())
            os.chown(os.path.join(self.home, "a.pdf"), *nobody_ids())
        return c

    def test_home_folder_made_read_only_while_serving(self):
        c = self.prepare()
        self.make_read_only()
        replies = self.run_commands(c)
        self.assert_read_only_refusals(replies)
