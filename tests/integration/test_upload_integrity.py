"""Every scan arrives whole under its name, or the client is told that it did
not: resets, pipelined commands after a close, commands during an upload,
refused transfers with an open data connection, cut re-uploads, a crash,
and a client that never logs in."""

import contextlib
import ftplib
import io
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time
import unittest

from ftp_harness import (GREETING, LOGGED_IN, LOGIN_FIRST, OPENING_BINARY, TIMED_OUT, TRANSFER_COMPLETE,
                         FtpdServer, ServerTestCase, data_connect, tool_available)
from test_transfers import PLAIN_BUILD, UploadCase, can_mount_tmpfs, payload, peer_closes_within

ABORTED = b"426 Connection closed(transfer aborted\r\n"
PASV_REPLY = re.compile(rb"227 Entering Passive Mode\(127,0,0,1,(\d+),(\d+)\)\.\r\n")
# Sanitizer builds are several times slower: fewer rounds say the same there.
ROUNDS = 200 if PLAIN_BUILD else 40


def reset(sock):
    """Closes sock with a TCP reset instead of a clean end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def passive_port(reply):
    m = PASV_REPLY.fullmatch(reply)
    if not m:
        raise AssertionError("unexpected PASV reply %r" % reply)
    return int(m.group(1)) * 256 + int(m.group(2))


def visible_names(folder):
    return sorted(os.listdir(folder))


STAGING_NAME = re.compile(r"\.lumbra-upload-\d+-\d+\.part")


def wait_for_staged_bytes(folder, size=1, wait=10):
    """The name of a staging file in folder once `size` bytes have reached it."""
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        for name in filter(STAGING_NAME.fullmatch, os.listdir(folder)):
            if os.path.getsize(os.path.join(folder, name)) >= size:
                return name
        time.sleep(0.02)
    raise AssertionError("no staging file of %d bytes in %s" % (size, folder))


def server_end_queues(sock):
    """Bytes queued to send and to read at the server's end of sock's connection."""
    with open("/proc/net/tcp") as f:
        for fields in map(str.split, f):
            if fields[2].endswith(":%04X" % sock.getsockname()[1]):
                return tuple(int(n, 16) for n in fields[4].split(":"))
    return (0, 0)


def age_by_an_hour(path):
    # Too old for the sweep to spare an unlocked staging file for its youth.
    os.utime(path, (time.time() - 3600,) * 2)


class IntegrityCase(UploadCase):

    def start_upload(self, c, name):
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR " + name), OPENING_BINARY)
        return data_connect(port)

    def assertNothingBut(self, names):
        self.assertEqual(visible_names(self.home), sorted(names))


class ResetUploads(IntegrityCase):

    def test_a_reset_anywhere_in_an_upload_is_a_failure_and_leaves_nothing(self):
        c = self.logged_in()
        data = payload(327680, 1)
        for sent in (0, 4096, len(data) // 2, len(data)):
            d = self.start_upload(c, "cut.bin")
            d.sendall(data[:sent])
            time.sleep(0.1)
            reset(d)
            self.assertEqual(c.read_line(timeout=10), ABORTED, "reset after %d bytes" % sent)
            self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
            self.assertNothingBut([])

    def test_a_reset_re_upload_keeps_the_earlier_file(self):
        old = self.write_file("scan.pdf", b"the good scan")
        os.chmod(old, 0o640)
        c = self.logged_in()
        d = self.start_upload(c, "scan.pdf")
        d.sendall(payload(100000, 2))
        time.sleep(0.1)
        reset(d)
        self.assertEqual(c.read_line(timeout=10), ABORTED)
        self.assertEqual(self.read_file("scan.pdf"), b"the good scan")
        # A complete re-upload replaces it whole and keeps its permissions.
        data = payload(5000, 3)
        self.assertEqual(self.stor_passive(c, "scan.pdf", data), TRANSFER_COMPLETE)
        self.assertStored("scan.pdf", data)
        self.assertEqual(os.stat(old).st_mode & 0o777, 0o640)
        self.assertNothingBut(["scan.pdf"])


class EventOrder(IntegrityCase):

    def test_commands_sent_after_closing_the_data_connection_follow_its_226(self):
        c = self.logged_in()
        for i in range(ROUNDS):
            data = payload(1 + (i * 7919) % 70000, i)
            d = self.start_upload(c, "n%03d.bin" % i)
            d.sendall(data)
            d.close()
            c.send(b"NOOP\r\n")
            self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE, "round %d" % i)
            self.assertEqual(c.read_line(), b"200 OK\r\n", "round %d" % i)
            self.assertStored("n%03d.bin" % i, data)

    def test_pipelined_pasv_and_stor_after_a_close_chain_whole_files(self):
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR p000.bin"), OPENING_BINARY)
        d = data_connect(port)
        for i in range(ROUNDS):
            data = payload(1 + (i * 104729) % 50000, 1000 + i)
            d.sendall(data)
            d.close()
            c.send(("PASV\r\nSTOR p%03d.bin\r\n" % (i + 1)).encode())
            self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE, "round %d" % i)
            d = data_connect(passive_port(c.read_line()))
            self.assertEqual(c.read_line(), OPENING_BINARY)
            self.assertStored("p%03d.bin" % i, data)
        d.close()
        self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE)

    def test_transfer_commands_during_an_upload_wait_for_its_end(self):
        c = self.logged_in()
        first = payload(300000, 4)
        d = self.start_upload(c, "first.bin")
        d.sendall(first[:100000])
        c.send(b"PASV\r\nNOOP\r\n")
        # PASV waits, and the NOOP behind it keeps its place.
        self.assertEqual(c.read_available(0.5), b"")
        d.sendall(first[100000:])
        d.close()
        self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE)
        port = passive_port(c.read_line())
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        second = payload(7000, 5)
        self.assertEqual(c.command("STOR second.bin"), OPENING_BINARY)
        with data_connect(port) as d2:
            d2.sendall(second)
        self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE)
        self.assertStored("first.bin", first)
        self.assertStored("second.bin", second)

    def test_a_second_stor_during_an_upload_gets_none_of_its_bytes(self):
        c = self.logged_in()
        first = payload(200000, 6)
        d = self.start_upload(c, "one.bin")
        d.sendall(first[:50000])
        c.send(b"STOR two.bin\r\n")
        self.assertEqual(c.read_available(0.4), b"")
        d.sendall(first[50000:])
        d.close()
        self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE)
        self.assertEqual(c.read_line(), OPENING_BINARY)
        self.assertEqual(c.read_line(timeout=15),
                         b"425 Can't open data connection\r\n",
                         "the first upload used up its data connection")
        self.assertStored("one.bin", first)
        self.assertNothingBut(["one.bin"])

    def test_other_commands_wait_for_the_upload_and_abor_acts_at_once(self):
        c = self.logged_in()
        d = self.start_upload(c, "long.bin")
        self.addCleanup(d.close)
        d.sendall(payload(50000, 7))
        # ABOR behind waiting commands still ends the upload first.
        c.send(b"NOOP\r\nPWD\r\nPASV\r\nABOR\r\n")
        self.assertEqual(c.read_line(), b"426 Data connection closed.\r\n")
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        self.assertEqual(c.read_line(), b'257 "/" is current directory\r\n')
        passive_port(c.read_line())
        self.assertEqual(c.read_line(), b"226 ABOR command successful.\r\n")
        self.assertTrue(peer_closes_within(d, 3))
        self.assertNothingBut([])


class RefusedTransfers(IntegrityCase):

    def test_a_refused_stor_with_an_open_data_connection_keeps_ftplib_in_step(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=10)
        self.addCleanup(ftp.close)
        ftp.login("anonymous", "x")
        for i in range(5):
            with self.assertRaises(ftplib.error_perm):
                ftp.storbinary("STOR missing/x%d.bin" % i, io.BytesIO(b"x"))
            with self.assertRaises(ftplib.error_perm):
                ftp.retrlines("LIST missing")
            data = payload(3000 + i, 8 + i)
            self.assertTrue(ftp.storbinary("STOR ok%d.bin" % i, io.BytesIO(data)).startswith("226"))
            self.assertStored("ok%d.bin" % i, data)
        self.assertEqual(ftp.voidcmd("NOOP"), "200 OK")

    def test_a_passive_connection_closed_before_any_command_is_still_reported(self):
        c = self.logged_in()
        port = c.pasv()[1]
        data_connect(port).close()
        self.assertEqual(c.read_line(), b"426 Connection closed(transfer aborted.\r\n")


class CutReUploads(IntegrityCase):

    def setUp(self):
        super().setUp()
        self.write_file("keep.pdf", b"earlier scan")

    def assertEarlierFileKept(self):
        self.assertEqual(self.read_file("keep.pdf"), b"earlier scan")
        self.assertNothingBut(["keep.pdf"])

    def test_abor(self):
        c = self.logged_in()
        d = self.start_upload(c, "keep.pdf")
        self.addCleanup(d.close)
        d.sendall(payload(30000, 20))
        time.sleep(0.2)
        c.send(b"ABOR\r\n")
        self.assertEqual(c.read_line(), b"426 Data connection closed.\r\n")
        self.assertEqual(c.read_line(), b"226 ABOR command successful.\r\n")
        d.close()
        self.assertEqual(c.read_available(0.4), b"", "no 226 for the abandoned upload")
        self.assertEarlierFileKept()

    def test_control_connection_lost(self):
        c = self.logged_in()
        d = self.start_upload(c, "keep.pdf")
        self.addCleanup(d.close)
        d.sendall(payload(30000, 21))
        time.sleep(0.2)
        c.close()
        self.assertTrue(peer_closes_within(d, 5))
        self.assertEarlierFileKept()

    def test_server_stopped(self):
        c = self.logged_in()
        d = self.start_upload(c, "keep.pdf")
        self.addCleanup(d.close)
        d.sendall(payload(30000, 22))
        time.sleep(0.2)
        self.assertEqual(self.server.stop(), 0)
        self.assertEarlierFileKept()

    def test_full_disk(self):
        full = os.path.join(self.home, "full")
        os.makedirs(full)
        if not can_mount_tmpfs(full):
            self.skipTest("mounting a small tmpfs is not permitted here")
        self.addCleanup(subprocess.run, ["umount", "-l", full], capture_output=True, timeout=10)
        with open(os.path.join(full, "keep.pdf"), "wb") as f:
            f.write(b"earlier scan")
        c = self.logged_in()
        d = self.start_upload(c, "full/keep.pdf")
        sender = threading.Thread(target=lambda: self._feed(d, payload(2 << 20, 23)), daemon=True)
        sender.start()
        self.assertEqual(c.read_line(timeout=20), b"450 Can't access file.\r\n")
        sender.join(20)
        with open(os.path.join(full, "keep.pdf"), "rb") as f:
            self.assertEqual(f.read(), b"earlier scan")
        self.assertEqual(visible_names(full), ["keep.pdf"])

    @staticmethod
    def _feed(d, data):
        try:
            d.sendall(data)
        except OSError:
            pass
        finally:
            d.close()


class Crash(ServerTestCase):

    def test_a_killed_server_leaves_no_partial_scan_and_cleans_up_after_itself(self):
        self.write_file("scan.pdf", b"earlier scan")
        users_own = ".Lumbra-Upload-2024-report.pdf"
        self.write_file(users_own, b"not ours")
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR scan.pdf"), OPENING_BINARY)
        d = data_connect(port)
        self.addCleanup(d.close)
        d.sendall(payload(100000, 30))
        staging = wait_for_staged_bytes(self.home)
        self.server.proc.send_signal(signal.SIGKILL)
        self.server.proc.wait(5)
        self.assertEqual(self.read_file("scan.pdf"), b"earlier scan")
        self.assertEqual(visible_names(self.home), sorted([staging, users_own, "scan.pdf"]))
        age_by_an_hour(os.path.join(self.home, staging))

        # A new server neither shows nor serves the staging file, and the
        # next upload into that folder removes it.
        self.server = FtpdServer(root=self.server.root)
        self.server.start()
        c = self.logged_in()
        self.assertEqual(c.command("DELE " + staging), b"550 Permission denied\r\n")
        self.assertEqual(c.command("STOR " + staging), b"550 Permission denied.\r\n")
        self.assertEqual(c.command("LIST " + staging), b'550 "%s": Directory not found.\r\n' % staging.encode())
        self.assertNotEqual(c.command("DELE " + staging.upper())[:4], b"250 ")
        port = c.pasv()[1]
        self.assertEqual(c.command("NLST"),
                         b"150 Opening ASCII mode data connection for directory list.\r\n")
        with data_connect(port) as listing:
            lines = listing.makefile("rb").read().splitlines()
        self.assertEqual(sorted(line.rsplit(b" ", 1)[1] for line in lines), [users_own.encode(), b"scan.pdf"])
        self.assertEqual(c.read_line(), b"226 Transfer Completed\r\n")
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR next.pdf"), OPENING_BINARY)
        with data_connect(port) as d2:
            d2.sendall(b"next")
        self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertEqual(visible_names(self.home), sorted([users_own, "next.pdf", "scan.pdf"]))


class SharedFolder(IntegrityCase):
    """A live upload's staging file survives another server's sweep, from any PID namespace."""

    def check_a_live_upload_survives_another_servers_sweep(self, launcher):
        c = self.logged_in()
        data = payload(200000, 40)
        d = self.start_upload(c, "live.pdf")
        self.addCleanup(d.close)
        d.sendall(data[:100000])
        age_by_an_hour(os.path.join(self.home, wait_for_staged_bytes(self.home, 100000)))
        other = FtpdServer(home=self.home)
        other.arguments = lambda arguments=other.arguments: launcher + arguments()
        self.addCleanup(other.cleanup)
        with other.start().client() as oc:
            self.assertEqual(self.stor_passive(oc.login(), "other.pdf", b"other"), TRANSFER_COMPLETE)
        d.sendall(data[100000:])
        d.close()
        self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE)
        self.assertStored("live.pdf", data)

    def test_in_the_same_pid_namespace(self):
        self.check_a_live_upload_survives_another_servers_sweep([])

    def test_in_another_pid_namespace(self):
        if not tool_available("unshare") or subprocess.run(["unshare", "--pid", "--fork", "true"]).returncode:
            self.skipTest("no PID namespace can be made here (unshare --pid needs root)")
        self.check_a_live_upload_survives_another_servers_sweep(["unshare", "--pid", "--kill-child"])


class StuckAtStop(IntegrityCase):

    def test_a_stop_that_cannot_wait_removes_the_staging_file_and_reports_the_upload(self):
        self.write_file("keep.pdf", b"earlier scan")
        c = self.logged_in()
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        d = self.start_upload(c, "keep.pdf")
        self.addCleanup(d.close)
        d.sendall(payload(30000, 25))
        wait_for_staged_bytes(self.home)
        # Replies unread until the server's end neither sends nor reads: the
        # thread is stuck in a reply (up to 10 s), longer than the stop waits.
        c.sock.setblocking(False)
        last, since, started = None, time.monotonic(), time.monotonic()
        while time.monotonic() - started < 60:
            with contextlib.suppress(BlockingIOError):
                c.sock.send(b"PWD\r\n" * 4096)
            queues = server_end_queues(c.sock)
            if queues != last:
                last, since = queues, time.monotonic()
            elif all(queues) and time.monotonic() - since >= 1:
                break
            time.sleep(0.05)
        self.assertEqual(self.server.stop(wait=20), 0)
        self.assertEqual(self.read_file("keep.pdf"), b"earlier scan")
        self.assertNothingBut(["keep.pdf"])
        self.assertEqual([line[20:] for line in self.server.output_lines if " upload failed " in line],
                         ["upload failed " + os.path.join(self.home, "keep.pdf")])


class IdleTimeOutCut(IntegrityCase):
    server_options = dict(timeout=1)

    def test_an_upload_cut_by_the_idle_time_out_keeps_the_earlier_file(self):
        self.write_file("keep.pdf", b"earlier scan")
        c = self.logged_in()
        d = self.start_upload(c, "keep.pdf")
        self.addCleanup(d.close)
        d.sendall(payload(30000, 24))
        self.assertEqual(c.read_line(timeout=75), TIMED_OUT)
        self.assertTrue(peer_closes_within(d, 5))
        self.assertEqual(self.read_file("keep.pdf"), b"earlier scan")
        self.assertNothingBut(["keep.pdf"])


class LoginTimeLimit(ServerTestCase):

    def test_a_client_that_never_logs_in_loses_its_place_after_a_minute(self):
        c = self.connect()
        self.assertEqual(c.read_line(), GREETING)
        start = time.monotonic()
        reply = LOGIN_FIRST
        while reply == LOGIN_FIRST and time.monotonic() - start < 75:
            time.sleep(2)
            c.send(b"NOOP\r\n")   # activity does not extend the time to log in
            reply = c.read_line(timeout=5)
        self.assertEqual(reply, TIMED_OUT)
        waited = time.monotonic() - start
        self.assertGreaterEqual(waited, 58)
        self.assertLess(waited, 70)
        self.assertTrue(c.wait_closed(5))
        nxt = self.connect()
        self.assertEqual(nxt.read_line(), GREETING)
        self.assertEqual(nxt.command("USER anonymous"), b"331 Password required for anonymous\r\n")
        self.assertEqual(nxt.command("PASS x"), LOGGED_IN)


if __name__ == "__main__":
    unittest.main()
