"""Uploads into lumbra-ftpd: byte-exact files over PASV, EPSV and PORT with a
raw client, ftplib, curl and lftp; the data-connection failure sequences;
PORT and passive-connection safety; plain-scan pacing; a full disk."""

import ftplib
import hashlib
import io
import os
import random
import re
import select
import shutil
import socket
import subprocess
import threading
import time
import unittest

from ftp_harness import (GREETING, OPENING_BINARY, TRANSFER_COMPLETE,
                         RawClient, ServerTestCase, closed_port, data_connect, data_listener,
                         port_argument, second_loopback_usable, tool_available)

CANT_OPEN = b"425 Can't open data connection\r\n"
CANT_OPEN_DOT = b"425 Can't open data connection.\r\n"
PORT_OK = b"200 Port command successful.\r\n"
ILLEGAL_PORT = b"500 Illegal PORT command.\r\n"
PORT_SYNTAX = b"501 Syntax error in parameters or arguments.\r\n"
ABOR_OK = b"226 ABOR command successful.\r\n"

BIG_TESTS = os.environ.get("LUMBRA_BIG_TESTS") == "1"
# The plain build is fast enough to move several GiB on every run; the
# sanitizer builds take that long only when asked.
PLAIN_BUILD = not os.environ.get("LUMBRA_SANITIZE")


def payload(size, seed=0):
    """Deterministic bytes that are not a repeating short pattern."""
    return random.Random(seed * 7919 + size).randbytes(size)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def file_sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def accepts_within(listener, seconds):
    """True when someone connects to listener within the time."""
    ready, _, _ = select.select([listener], [], [], seconds)
    if not ready:
        return False
    conn, _ = listener.accept()
    conn.close()
    return True


def refuses(port):
    """True when nothing listens on port of 127.0.0.1."""
    try:
        data_connect(port, timeout=2).close()
        return False
    except OSError:
        return True


def peer_closes_within(sock, seconds):
    """True when the other end closes (or resets) sock within the time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([sock], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            return False
        try:
            if sock.recv(4096) == b"":
                return True
        except OSError:
            return True
    return False


class UploadCase(ServerTestCase):
    """Helpers shared by the upload tests."""

    def stor_passive(self, c, name, data, epsv=False, connect_first=False):
        port = c.epsv() if epsv else c.pasv()[1]
        d = data_connect(port) if connect_first else None
        self.assertEqual(c.command("STOR " + name), OPENING_BINARY)
        if d is None:
            d = data_connect(port)
        d.sendall(data)
        d.close()
        return c.read_line(timeout=60)

    def stor_active(self, c, name, data):
        listener, arg = data_listener()
        with listener:
            self.assertEqual(c.command("PORT " + arg), PORT_OK)
            self.assertEqual(c.command("STOR " + name), OPENING_BINARY)
            d, peer = listener.accept()
            self.assertEqual(peer[0], "127.0.0.1")
            d.sendall(data)
            d.close()
        return c.read_line(timeout=60)

    def assertStored(self, relpath, data):
        path = os.path.join(self.home, relpath)
        self.assertTrue(os.path.isfile(path), relpath)
        self.assertEqual(os.path.getsize(path), len(data), relpath)
        self.assertEqual(file_sha(path), sha(data), relpath)


class RawUploads(UploadCase):
    SIZES = (0, 1, 4095, 4096, 4097, 3 * 1024 * 1024 + 17)

    def test_passive_uploads_are_byte_exact(self):
        c = self.logged_in()
        for size in self.SIZES:
            data = payload(size)
            name = "pasv_%d.bin" % size
            self.assertEqual(self.stor_passive(c, name, data), TRANSFER_COMPLETE, name)
            self.assertStored(name, data)

    def test_extended_passive_uploads_are_byte_exact(self):
        c = self.logged_in()
        for size in self.SIZES:
            data = payload(size, 1)
            name = "epsv_%d.bin" % size
            self.assertEqual(self.stor_passive(c, name, data, epsv=True), TRANSFER_COMPLETE, name)
            self.assertStored(name, data)

    def test_active_uploads_are_byte_exact(self):
        c = self.logged_in()
        for size in self.SIZES:
            data = payload(size, 2)
            name = "port_%d.bin" % size
            self.assertEqual(self.stor_active(c, name, data), TRANSFER_COMPLETE, name)
            self.assertStored(name, data)

    def test_data_connection_made_before_stor(self):
        c = self.logged_in()
        data = payload(70000, 3)
        self.assertEqual(self.stor_passive(c, "early.bin", data, connect_first=True),
                         TRANSFER_COMPLETE)
        self.assertStored("early.bin", data)

    def test_upload_into_folders_and_paths(self):
        os.makedirs(os.path.join(self.home, "Scans", "2024"))
        c = self.logged_in()
        a, b, d = payload(5000, 4), payload(6000, 5), payload(7000, 6)
        self.assertEqual(self.stor_passive(c, "scans/2024/a.pdf", a), TRANSFER_COMPLETE)
        self.assertEqual(c.command("CWD Scans"), b'250 "/scans" is current directory.\r\n')
        self.assertEqual(self.stor_passive(c, "b.pdf", b), TRANSFER_COMPLETE)
        self.assertEqual(self.stor_passive(c, "/top.pdf", d), TRANSFER_COMPLETE)
        self.assertStored("Scans/2024/a.pdf", a)
        self.assertStored("Scans/b.pdf", b)
        self.assertStored("top.pdf", d)

    def test_korean_file_names_land_in_utf8_on_disk(self):
        c = self.logged_in()
        a, b = payload(1000, 7), payload(2000, 8)
        name = "스캔_001.pdf"
        # Code-page mode: the name travels in CP949.
        port = c.pasv()[1]
        c.send(b"STOR " + name.encode("cp949") + b"\r\n")
        self.assertEqual(c.read_line(), OPENING_BINARY)
        with data_connect(port) as d:
            d.sendall(a)
        self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertStored(name, a)
        # UTF-8 mode: the name travels in UTF-8.
        self.assertEqual(c.command("OPTS UTF8 ON"), b"200 OK\r\n")
        port = c.pasv()[1]
        c.send(b"STOR u_" + name.encode("utf-8") + b"\r\n")
        self.assertEqual(c.read_line(), OPENING_BINARY)
        with data_connect(port) as d:
            d.sendall(b)
        self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertStored("u_" + name, b)

    def test_stor_onto_a_longer_file_leaves_exactly_the_upload(self):
        self.write_file("old.pdf", b"X" * 100000)
        c = self.logged_in()
        data = payload(1234, 9)
        self.assertEqual(self.stor_passive(c, "old.pdf", data), TRANSFER_COMPLETE)
        self.assertStored("old.pdf", data)
        self.assertEqual(self.stor_active(c, "old.pdf", b""), TRANSFER_COMPLETE)
        self.assertStored("old.pdf", b"")

    def test_stor_without_a_name_or_onto_a_folder(self):
        os.makedirs(os.path.join(self.home, "afolder"))
        c = self.logged_in()
        self.assertEqual(c.command("STOR"), b"550 Filename invalid.\r\n")
        self.assertEqual(c.command("STOR /"), b"550 Filename invalid.\r\n")
        self.assertEqual(c.command("STOR nothere/x.pdf"), b"550 Filename invalid.\r\n")
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR afolder"), OPENING_BINARY)
        d = data_connect(port)
        self.assertEqual(c.read_line(), b"450 Can't access file\r\n")
        d.close()
        self.assertTrue(os.path.isdir(os.path.join(self.home, "afolder")))
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")


class PassiveReplies(UploadCase):

    def test_pasv_and_epsv_reply_format(self):
        c = self.logged_in()
        c.send(b"PASV\r\n")
        line = c.read_line()
        self.assertRegex(line, rb"^227 Entering Passive Mode\(127,0,0,1,\d{1,3},\d{1,3}\)\.\r\n$")
        self.assertRegex(c.command("EPSV"),
                         rb"^229 Entering Extended Passive Mode \(\|\|\|\d{1,5}\|\)\r\n$")
        self.assertRegex(c.command("EPSV ALL"),
                         rb"^229 Entering Extended Passive Mode \(\|\|\|\d{1,5}\|\)\r\n$")

    def test_the_announced_port_accepts_and_a_new_pasv_replaces_the_old(self):
        c = self.logged_in()
        _, first = c.pasv()
        _, second = c.pasv()
        data = payload(3000, 10)
        self.assertEqual(c.command("STOR x.bin"), OPENING_BINARY)
        with data_connect(second) as d:
            d.sendall(data)
        self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertStored("x.bin", data)
        # The same port can only come back once the first listener is closed.
        self.assertTrue(first == second or refuses(first), "the first passive port still listens")


class PassiveOnEveryAddress(UploadCase):
    server_options = dict(bind="0.0.0.0")

    def test_pasv_offers_the_address_the_client_reached(self):
        if not second_loopback_usable():
            self.skipTest("127.0.0.2 cannot be reached here")
        for host in ("127.0.0.2", "127.0.0.1"):
            c = RawClient(host, self.server.port)
            self._clients.append(c)
            offered, port = c.login().pasv()
            self.assertEqual(offered, host)
            self.assertEqual(c.command("STOR %s.bin" % host), OPENING_BINARY)
            with data_connect(port, host=host) as d:
                d.sendall(host.encode())
            self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
            self.assertStored("%s.bin" % host, host.encode())
            self.assertEqual(c.command("QUIT"), b"221 Bye\r\n")
            self.assertTrue(c.wait_closed())


class DataConnectionFailures(UploadCase):

    def test_stor_without_port_or_pasv(self):
        c = self.logged_in()
        self.assertEqual(c.command("STOR nodata.bin"), OPENING_BINARY)
        self.assertEqual(c.read_line(), CANT_OPEN)
        self.assertFalse(os.path.exists(os.path.join(self.home, "nodata.bin")))
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")

    def test_second_transfer_needs_a_new_pasv(self):
        c = self.logged_in()
        self.assertEqual(self.stor_passive(c, "one.bin", b"1"), TRANSFER_COMPLETE)
        self.assertEqual(c.command("STOR two.bin"), OPENING_BINARY)
        self.assertEqual(c.read_line(), CANT_OPEN)
        self.assertEqual(self.stor_active(c, "three.bin", b"3"), TRANSFER_COMPLETE)
        self.assertEqual(c.command("STOR four.bin"), OPENING_BINARY)
        self.assertEqual(c.read_line(), CANT_OPEN)
        self.assertFalse(os.path.exists(os.path.join(self.home, "two.bin")))
        self.assertFalse(os.path.exists(os.path.join(self.home, "four.bin")))
        # Also for a listing whose next command came in the same write.
        d = data_connect(c.pasv()[1])
        c.send(b"NLST\r\nNLST\r\n")
        self.assertEqual([c.read_line()[:3] for _ in range(4)], [b"150", b"226", b"150", b"425"])
        d.close()

    def test_pasv_never_connected_times_out_and_held_lines_follow(self):
        c = self.logged_in()
        c.pasv()
        start = time.monotonic()
        self.assertEqual(c.command("STOR never.bin"), OPENING_BINARY)
        c.send(b"NOOP\r\nSYST\r\n")
        self.assertEqual(c.read_line(timeout=20), b"421 Failed to create data connection socket\r\n")
        waited = time.monotonic() - start
        self.assertGreaterEqual(waited, 9.5)
        self.assertLess(waited, 15)
        # Lines that arrived during the wait are answered after it, in order.
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        self.assertEqual(c.read_line(), b"215 UNIX emulated by Orvello\r\n")
        self.assertFalse(os.path.exists(os.path.join(self.home, "never.bin")))
        self.assertEqual(c.command("STOR again.bin"), OPENING_BINARY)
        self.assertEqual(c.read_line(), CANT_OPEN, "the listener was discarded")

    def test_lines_during_the_wait_are_answered_after_the_stor(self):
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR held.bin"), OPENING_BINARY)
        c.send(b"NOOP\r\n")
        self.assertEqual(c.read_available(0.6), b"", "NOOP waits for the STOR")
        d = data_connect(port)
        data = payload(9000, 11)
        d.sendall(data)
        d.close()
        self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertEqual(c.read_line(), b"200 OK\r\n", "and for its upload")
        self.assertStored("held.bin", data)

    def test_pipelined_upload_after_a_failed_one_is_not_discarded(self):
        # The failed STOR asks for its data connection to be discarded; the
        # request must not hit the one the pipelined PASV opens meanwhile.
        os.makedirs(os.path.join(self.home, "folder"))
        c = self.logged_in()
        first = c.pasv()[1]
        c.send(b"STOR folder\r\nPASV\r\nSTOR after.bin\r\n")
        self.assertEqual(c.read_line(), OPENING_BINARY)
        d1 = data_connect(first)
        self.addCleanup(d1.close)
        self.assertEqual(c.read_line(), b"450 Can't access file\r\n")
        m = re.fullmatch(rb"227 Entering Passive Mode\(127,0,0,1,(\d+),(\d+)\)\.\r\n",
                         c.read_line())
        self.assertIsNotNone(m)
        self.assertEqual(c.read_line(), OPENING_BINARY)
        d2 = data_connect(int(m.group(1)) * 256 + int(m.group(2)))
        data = payload(20000, 13)
        time.sleep(0.3)
        d2.sendall(data)
        d2.close()
        self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertStored("after.bin", data)

    def test_abor_without_data_connection(self):
        c = self.logged_in()
        c.send(b"ABOR\r\nNOOP\r\n")
        self.assertEqual(c.read_line(), ABOR_OK)
        self.assertEqual(c.read_line(), b"200 OK\r\n")

    def test_abor_after_pasv_discards_the_listener(self):
        c = self.logged_in()
        c.pasv()
        c.send(b"ABOR\r\nNOOP\r\n")
        self.assertEqual(c.read_line(), ABOR_OK)
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        self.assertEqual(c.command("STOR x.bin"), OPENING_BINARY)
        self.assertEqual(c.read_line(), CANT_OPEN)

    def test_abor_during_an_upload(self):
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR partial.bin"), OPENING_BINARY)
        d = data_connect(port)
        self.addCleanup(d.close)
        d.sendall(payload(10000, 12))
        time.sleep(0.3)
        c.send(b"ABOR\r\n")
        self.assertEqual(c.read_line(), b"426 Data connection closed.\r\n")
        self.assertEqual(c.read_line(), ABOR_OK)
        self.assertTrue(peer_closes_within(d, 3), "the data connection is closed")
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
        data = payload(500, 13)
        self.assertEqual(self.stor_passive(c, "after.bin", data), TRANSFER_COMPLETE)
        self.assertStored("after.bin", data)

    def test_client_closes_passive_connection_before_any_command(self):
        c = self.logged_in()
        port = c.pasv()[1]
        d = data_connect(port)
        time.sleep(0.2)
        d.close()
        self.assertEqual(c.read_line(), b"426 Connection closed(transfer aborted.\r\n")
        self.assertEqual(c.command("STOR x.bin"), OPENING_BINARY)
        self.assertEqual(c.read_line(), CANT_OPEN)

    def test_refused_active_connect_leaves_the_target_alone(self):
        self.write_file("keep.pdf", b"original")
        path = os.path.join(self.home, "keep.pdf")
        os.utime(path, (1000000000, 1000000000))
        c = self.logged_in()
        arg = port_argument("127.0.0.1", closed_port())
        for target in ("keep.pdf", "new.pdf"):
            self.assertEqual(c.command("PORT " + arg), PORT_OK)
            self.assertEqual(c.command("STOR " + target), OPENING_BINARY)
            self.assertEqual(c.read_line(), CANT_OPEN_DOT, target)
            self.assertEqual(c.read_available(0.3), b"", target)
        self.assertFalse(os.path.exists(os.path.join(self.home, "new.pdf")))
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"original")
        self.assertEqual(os.stat(path).st_mtime, 1000000000)
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
        self.assertEqual(c.command("STOR again.pdf"), OPENING_BINARY)
        self.assertEqual(c.read_line(), CANT_OPEN, "the failed attempt used up the PORT")

    def test_refused_active_connect_for_a_listing_never_reports_success(self):
        listing_aborted = b"426 Connection closed [transfer aborted]\r\n"
        c = self.logged_in()
        for folder_has_entries in (False, True):
            if folder_has_entries:
                self.write_file("scan.pdf", b"x")
            self.assertEqual(c.command("PORT " + port_argument("127.0.0.1", closed_port())), PORT_OK)
            self.assertEqual(c.command("LIST"),
                             b"150 Opening ASCII mode data connection for directory list.\r\n")
            self.assertEqual(c.read_line(), CANT_OPEN_DOT)
            self.assertEqual(c.read_line(), listing_aborted)
            self.assertEqual(c.read_available(0.3), b"")

    def test_client_vanishes_mid_upload(self):
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR vanish.bin"), OPENING_BINARY)
        d = data_connect(port)
        d.sendall(payload(200000, 14))
        c.close()       # the control connection goes first ...
        time.sleep(0.2)
        try:
            d.sendall(payload(1000, 15))  # ... the data connection may already be gone
        except OSError:
            pass
        nxt = self.connect()
        self.assertEqual(nxt.read_line(timeout=3), GREETING)
        self.assertTrue(peer_closes_within(d, 3), "the old data connection is ended")
        d.close()
        self.assertEqual(nxt.command("USER anonymous"), b"331 Password required for anonymous\r\n")
        self.assertEqual(nxt.command("PASS x"), b"230 User successfully logged in.\r\n")
        data = payload(4097, 16)
        self.assertEqual(self.stor_passive(nxt, "next.bin", data), TRANSFER_COMPLETE)
        self.assertStored("next.bin", data)

    def test_client_hangs_up_while_the_server_waits_for_the_data_connection(self):
        c = self.logged_in()
        c.pasv()
        self.assertEqual(c.command("STOR pending.bin"), OPENING_BINARY)
        c.close()
        time.sleep(0.2)
        nxt = self.connect()
        self.assertEqual(nxt.read_line(timeout=3), GREETING,
                         "the slot is free without waiting out the data connection")

    def test_client_resets_both_connections_mid_upload(self):
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR reset.bin"), OPENING_BINARY)
        d = data_connect(port)
        d.sendall(payload(100000, 17))
        for s in (d, c.sock):
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            s.close()
        nxt = self.connect()
        self.assertEqual(nxt.read_line(timeout=3), GREETING)


class PortSafety(UploadCase):

    def test_port_to_another_host_is_refused_and_nothing_connects(self):
        if not second_loopback_usable():
            self.skipTest("127.0.0.2 cannot be bound here")
        c = self.logged_in()
        listener, arg = data_listener("127.0.0.2")
        with listener:
            self.assertEqual(c.command("PORT " + arg), ILLEGAL_PORT)
            self.assertEqual(c.command("STOR bounce.bin"), OPENING_BINARY)
            self.assertEqual(c.read_line(), CANT_OPEN)
            self.assertFalse(accepts_within(listener, 0.5), "no connection to the other host")
        self.assertFalse(os.path.exists(os.path.join(self.home, "bounce.bin")))

    def test_port_below_1024_is_refused(self):
        c = self.logged_in()
        for p in (21, 25, 1023, 0):
            self.assertEqual(c.command("PORT " + port_argument("127.0.0.1", p)), ILLEGAL_PORT, p)
        self.assertEqual(c.command("STOR low.bin"), OPENING_BINARY)
        self.assertEqual(c.read_line(), CANT_OPEN)

    def test_port_1024_and_above_is_accepted(self):
        c = self.logged_in()
        for p in (1024, 5001, 65535):
            self.assertEqual(c.command("PORT " + port_argument("127.0.0.1", p)), PORT_OK, p)

    def test_port_after_pasv_keeps_the_passive_mode(self):
        c = self.logged_in()
        port = c.pasv()[1]
        listener, arg = data_listener()
        with listener:
            self.assertEqual(c.command("PORT " + arg), PORT_OK)
            self.assertEqual(c.command("STOR mode.bin"), OPENING_BINARY)
            self.assertFalse(accepts_within(listener, 0.5), "no active connect after PASV")
            with data_connect(port) as d:
                d.sendall(b"passive")
            self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertStored("mode.bin", b"passive")

    def test_port_for_other_addresses_is_refused(self):
        c = self.logged_in()
        for host in ("10.0.0.5", "192.168.1.20", "0.0.0.0", "255.255.255.255", "127.0.0.2"):
            self.assertEqual(c.command("PORT " + port_argument(host, 5001)), ILLEGAL_PORT, host)

    def test_malformed_port_arguments(self):
        c = self.logged_in()
        for arg in ("", "abc", "127,0,0,1", "127,0,0,1,19", "127,0,0,1,19,x",
                    "a,b,c,d,e,f", "127,0,0,1,,137", "127,0,0,1,19,137,9"):
            self.assertEqual(c.command(("PORT " + arg) if arg else "PORT"), PORT_SYNTAX, arg)
        for arg in ("127,0,0,1,300,1", "127,0,0,1,19,256", "127,0,0,1,-1,5",
                    "256,0,0,1,19,137", "127,0,0,1,19,137 "):
            reply = c.command("PORT " + arg)
            self.assertTrue(reply.startswith(b"50"), "%r: %r" % (arg, reply))
        self.assertEqual(c.command("STOR x.bin"), OPENING_BINARY)
        self.assertEqual(c.read_line(), CANT_OPEN)

    def test_a_refused_port_changes_nothing(self):
        # A good PORT, then one refused for its port: the earlier address and
        # port stay in force whole, nothing of the refused one is taken.
        c = self.logged_in()
        listener, arg = data_listener()
        with listener:
            self.assertEqual(c.command("PORT " + arg), PORT_OK)
            self.assertEqual(c.command("PORT 127,0,0,1,0,25"), ILLEGAL_PORT)
            self.assertEqual(c.command("PORT 127,0,0,1,19"), PORT_SYNTAX)
            self.assertEqual(c.command("STOR mix.bin"), OPENING_BINARY)
            d, _ = listener.accept()
            d.sendall(b"ok")
            d.close()
            self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertStored("mix.bin", b"ok")

    def test_passive_connection_from_another_host_is_closed(self):
        if not second_loopback_usable():
            self.skipTest("127.0.0.2 cannot be bound here")
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR stolen.bin"), OPENING_BINARY)
        thief = data_connect(port, source="127.0.0.2")
        with thief:
            try:
                thief.sendall(b"EVIL" * 1000)
            except OSError:
                pass
            self.assertTrue(peer_closes_within(thief, 3), "the thief is closed at once")
        self.assertEqual(c.read_available(0.3), b"", "the session still waits for its client")
        data = payload(5000, 18)
        with data_connect(port) as d:
            d.sendall(data)
        self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertStored("stolen.bin", data)

    def test_passive_connection_from_another_host_before_stor(self):
        if not second_loopback_usable():
            self.skipTest("127.0.0.2 cannot be bound here")
        c = self.logged_in()
        port = c.pasv()[1]
        thief = data_connect(port, source="127.0.0.2")
        with thief:
            self.assertTrue(peer_closes_within(thief, 3), "the thief is closed at once")
        self.assertEqual(c.read_available(0.3), b"", "nothing is reported to the client")
        data = payload(3000, 19)
        self.assertEqual(c.command("STOR real.bin"), OPENING_BINARY)
        with data_connect(port) as d:
            d.sendall(data)
        self.assertEqual(c.read_line(), TRANSFER_COMPLETE)
        self.assertStored("real.bin", data)


class PlainScan(UploadCase):
    server_options = dict(plain_scan=True)

    def test_uploads_are_paced_and_a_command_waits_for_their_end(self):
        c = self.logged_in()
        port = c.pasv()[1]
        data = payload(40960, 20)
        self.assertEqual(c.command("STOR slow.bin"), OPENING_BINARY)
        start = time.monotonic()
        d = data_connect(port)
        d.sendall(data)
        # While bytes flow, and once the client has closed the data
        # connection, a command waits for the upload's end and is answered
        # after its 226.
        d.close()
        time.sleep(0.2)
        c.send(b"NOOP\r\n")
        self.assertEqual(c.read_line(timeout=30), TRANSFER_COMPLETE)
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        self.assertGreaterEqual(time.monotonic() - start, 2.0)
        self.assertStored("slow.bin", data)


class RealClients(UploadCase):

    def ftp(self):
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.server.port, timeout=20)
        self.addCleanup(f.close)
        self.assertEqual(f.getwelcome(), "220 Welcome to Orvello")
        f.login("anonymous", "x")
        return f

    def test_ftplib_passive_and_active(self):
        f = self.ftp()
        for passive in (True, False):
            f.set_pasv(passive)
            for size in (0, 1, 4096, 2 * 1024 * 1024 + 3):
                data = payload(size, 21 if passive else 22)
                name = "%s_%d.bin" % ("p" if passive else "a", size)
                self.assertEqual(f.storbinary("STOR " + name, io.BytesIO(data)),
                                 "226 Transfer complete")
                self.assertStored(name, data)
        self.assertEqual(f.quit(), "221 Bye")

    def write_local(self, name, data):
        path = os.path.join(self.server.root, name)
        with open(path, "wb") as fh:
            fh.write(data)
        return path

    def run_tool(self, args, timeout=60):
        r = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=timeout, cwd=self.server.root)
        self.assertEqual(r.returncode, 0, "%s failed: %s %s" % (args[0], r.stdout, r.stderr))
        return r

    @unittest.skipUnless(tool_available("curl"), "curl is not installed")
    def test_curl_passive_upload(self):
        os.makedirs(os.path.join(self.home, "inbox"))
        data = payload(1024 * 1024 + 5, 23)
        local = self.write_local("c1.bin", data)
        self.run_tool(["curl", "-sS", "--max-time", "30", "-T", local,
                       "ftp://127.0.0.1:%d/inbox/c1.bin" % self.server.port,
                       "-u", "anonymous:x"])
        self.assertStored("inbox/c1.bin", data)

    @unittest.skipUnless(tool_available("curl"), "curl is not installed")
    def test_curl_creates_missing_folders(self):
        data = payload(30000, 24)
        local = self.write_local("c2.bin", data)
        self.run_tool(["curl", "-sS", "--max-time", "30", "-T", local, "--ftp-create-dirs",
                       "ftp://127.0.0.1:%d/new/deeper/c2.bin" % self.server.port,
                       "-u", "anonymous:x"])
        self.assertStored("new/deeper/c2.bin", data)

    @unittest.skipUnless(tool_available("curl"), "curl is not installed")
    def test_curl_active_upload(self):
        data = payload(500000, 25)
        local = self.write_local("c3.bin", data)
        self.run_tool(["curl", "-sS", "--max-time", "30", "--ftp-port", "127.0.0.1",
                       "-T", local, "ftp://127.0.0.1:%d/c3.bin" % self.server.port,
                       "-u", "anonymous:x"])
        self.assertStored("c3.bin", data)

    def lftp(self, passive, local, remote_dir=""):
        script = ("set net:max-retries 1; set net:timeout 10; set net:reconnect-interval-base 1; "
                  "set ftp:ssl-allow no; set cmd:fail-exit yes; set ftp:passive-mode %s; "
                  "%sput %s; bye" % ("on" if passive else "off",
                                     ("cd %s; " % remote_dir) if remote_dir else "", local))
        self.run_tool(["lftp", "-e", script,
                       "ftp://anonymous:x@127.0.0.1:%d" % self.server.port])

    @unittest.skipUnless(tool_available("lftp"), "lftp is not installed")
    def test_lftp_passive_upload(self):
        os.makedirs(os.path.join(self.home, "lf"))
        data = payload(1500000, 26)
        local = self.write_local("l1.bin", data)
        self.lftp(True, local, "lf")
        self.assertStored("lf/l1.bin", data)

    @unittest.skipUnless(tool_available("lftp"), "lftp is not installed")
    def test_lftp_active_upload(self):
        data = payload(65537, 27)
        local = self.write_local("l2.bin", data)
        self.lftp(False, local)
        self.assertStored("l2.bin", data)


def can_mount_tmpfs(target):
    if os.geteuid() != 0 or not shutil.which("mount"):
        return False
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", target],
                       capture_output=True, timeout=10)
    return r.returncode == 0


class FullDisk(UploadCase):

    def test_full_disk_answers_450_and_the_session_goes_on(self):
        full = os.path.join(self.home, "full")
        os.makedirs(full)
        if not can_mount_tmpfs(full):
            self.skipTest("mounting a small tmpfs is not permitted here")
        self.addCleanup(subprocess.run, ["umount", "-l", full], capture_output=True, timeout=10)
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR full/big.bin"), OPENING_BINARY)
        d = data_connect(port, timeout=15)

        def feed():
            try:
                d.sendall(payload(2 * 1024 * 1024, 28))
            except OSError:
                pass
            finally:
                d.close()
        sender = threading.Thread(target=feed, daemon=True)
        sender.start()
        self.assertEqual(c.read_line(timeout=20), b"450 Can't access file.\r\n")
        sender.join(20)
        self.assertEqual(c.read_available(0.3), b"", "no 226 after the failure")
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
        data = payload(1000, 29)
        self.assertEqual(self.stor_passive(c, "fine.bin", data), TRANSFER_COMPLETE)
        self.assertStored("fine.bin", data)


@unittest.skipUnless(BIG_TESTS or PLAIN_BUILD, "set LUMBRA_BIG_TESTS=1 for the long tests")
class BigUploads(UploadCase):

    def test_upload_larger_than_4_gib(self):
        size = (4 << 30) + 4097
        free = shutil.disk_usage(self.home).free
        if free < size + (1 << 30):
            self.skipTest("not enough free disk space")
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR huge.bin"), OPENING_BINARY)
        block = payload(1 << 20, 30)
        h = hashlib.sha256()
        with data_connect(port, timeout=60) as d:
            sent = 0
            i = 0
            while sent < size:
                chunk = block[: min(len(block), size - sent)]
                # Vary each block a little so misplaced blocks show in the hash.
                chunk = i.to_bytes(8, "little") + chunk[8:] if len(chunk) >= 8 else chunk
                d.sendall(chunk)
                h.update(chunk)
                sent += len(chunk)
                i += 1
        self.assertEqual(c.read_line(timeout=600), TRANSFER_COMPLETE)
        path = os.path.join(self.home, "huge.bin")
        self.assertEqual(os.path.getsize(path), size)
        self.assertEqual(file_sha(path), h.hexdigest())


@unittest.skipUnless(BIG_TESTS or PLAIN_BUILD, "set LUMBRA_BIG_TESTS=1 for the long tests")
class DataTrafficKeepsTheSessionAlive(UploadCase):
    server_options = dict(timeout=1)

    def test_upload_longer_than_the_idle_time_with_a_silent_control_connection(self):
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR long.bin"), OPENING_BINARY)
        data = b""
        with data_connect(port) as d:
            end = time.monotonic() + 75
            i = 0
            while time.monotonic() < end:
                piece = payload(1000, 100 + i)
                d.sendall(piece)
                data += piece
                i += 1
                self.assertEqual(c.read_available(1.0), b"", "no time-out during the upload")
        self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE)
        self.assertEqual(sorted(os.listdir(self.home)), ["long.bin"])
        self.assertStored("long.bin", data)


if __name__ == "__main__":
    unittest.main()
