"""Passive ports a firewall can open: lumbra-ftpd --passive-ports LOW-HIGH
(stored with --save) is shown at start and honoured by PASV and EPSV, and
the listener is bound to the control connection's own address."""

import os
import re
import socket
import subprocess
import unittest

from ftp_harness import (FtpdServer, ServerTestCase, TRANSFER_COMPLETE, OPENING_BINARY,
                         data_connect, ftpd_path)


def free_port_run(count):
    """The first of `count` consecutive ports that are free on 127.0.0.1 now."""
    for _ in range(50):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            first = probe.getsockname()[1]
        if first + count > 65536:
            continue
        try:
            held = []
            for port in range(first, first + count):
                s = socket.socket()
                held.append(s)
                s.bind(("127.0.0.1", port))
            return first
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise RuntimeError("no run of free ports")


def listening_address(port):
    """The local address of the socket listening on `port`, from /proc/net/tcp."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            address, hex_port = fields[1].split(":")
            if int(hex_port, 16) == port and fields[3] == "0A":
                raw = bytes.fromhex(address)[::-1]
                return socket.inet_ntoa(raw)
    return None


class PassiveRange(ServerTestCase):
    count = 3

    def setUp(self):
        self.low = free_port_run(self.count)
        self.high = self.low + self.count - 1
        self.server_options = {"extra_args": ["--passive-ports", "%d-%d" % (self.low, self.high)]}
        super().setUp()

    def upload(self, client, name, data, use_epsv):
        port = client.epsv() if use_epsv else client.pasv()[1]
        self.assertTrue(self.low <= port <= self.high, port)
        with data_connect(port) as d:
            self.assertEqual(client.command("STOR " + name), OPENING_BINARY)
            d.sendall(data)
        self.assertEqual(client.read_line(), TRANSFER_COMPLETE)
        return port

    def test_the_range_is_shown_at_start(self):
        line = self.server.wait_for_output(lambda l: l.startswith("passive ports"))
        self.assertEqual(line, "passive ports %d-%d" % (self.low, self.high))

    def test_pasv_and_epsv_offer_ports_of_the_range_on_the_control_address(self):
        c = self.logged_in()
        host, port = c.pasv()
        self.assertEqual(host, "127.0.0.1")
        self.assertTrue(self.low <= port <= self.high, port)
        self.assertEqual(listening_address(port), "127.0.0.1")
        for i in range(6):
            self.upload(c, "scan%d.pdf" % i, b"page %d" % i, use_epsv=i % 2 == 0)
            self.assertEqual(self.read_file("scan%d.pdf" % i), b"page %d" % i)

    def test_a_range_whose_ports_are_all_taken_refuses_the_data_socket(self):
        blockers = []
        try:
            for port in range(self.low, self.high + 1):
                s = socket.socket()
                s.bind(("127.0.0.1", port))
                s.listen(1)
                blockers.append(s)
            c = self.logged_in()
            self.assertEqual(c.command("PASV"), b"421 Failed to create data socket\r\n")
            self.assertEqual(c.command("EPSV"), b"421 Failed to create data socket\r\n")
            blockers.pop().close()
            self.assertEqual(c.epsv(), self.high)
        finally:
            for s in blockers:
                s.close()


class OnePortRange(PassiveRange):
    """One port serves upload after upload: the earlier connections' TIME_WAIT
    does not keep it from listening again."""
    count = 1

    def test_one_port_serves_one_upload_after_another(self):
        c = self.logged_in()
        for i in range(5):
            self.assertEqual(self.upload(c, "p%d.tif" % i, b"x" * 5000, use_epsv=i % 2 == 1), self.low)


class WithoutRange(ServerTestCase):
    def test_the_system_chooses_and_says_so(self):
        line = self.server.wait_for_output(lambda l: l.startswith("passive ports"))
        self.assertEqual(line, "passive ports chosen by the system")
        c = self.logged_in()
        port = c.epsv()
        self.assertEqual(listening_address(port), "127.0.0.1")


class StoredRange(unittest.TestCase):
    def setUp(self):
        self.server = FtpdServer(extra_args=[])
        self.addCleanup(self.server.cleanup)

    def ftpd(self, *args):
        return subprocess.run([ftpd_path(), *args], env=self.server.environment(),
                              capture_output=True, timeout=30)

    def test_save_stores_the_range_and_off_removes_it(self):
        low = free_port_run(2)
        saved = self.ftpd("--save", "--passive-ports", "%d-%d" % (low, low + 1))
        self.assertEqual(saved.returncode, 0, saved.stderr)
        settings = os.path.join(self.server.root, "cfg", "Tessaly", "Lumbra.reg")
        with open(settings, "rb") as f:
            self.assertIn(b'"PassivePorts"="%d-%d"' % (low, low + 1), f.read())
        self.server.start()
        line = self.server.wait_for_output(lambda l: l.startswith("passive ports"))
        self.assertEqual(line, "passive ports %d-%d" % (low, low + 1))
        self.assertEqual(self.server.stop(), 0)

        self.assertEqual(self.ftpd("--save", "--passive-ports", "off").returncode, 0)
        with open(settings, "rb") as f:
            self.assertNotIn(b"PassivePorts", f.read())

    def test_bad_ranges_are_refused_with_the_usage(self):
        for bad in ("50100-50000", "80-90", "50000-70000", "50000-", "x-y", "50000 - 50100"):
            result = self.ftpd("--save", "--passive-ports", bad)
            self.assertEqual(result.returncode, 2, bad)
            self.assertIn(b"--passive-ports", result.stderr)


if __name__ == "__main__":
    unittest.main()
