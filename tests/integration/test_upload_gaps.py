"""The gaps between the upload cases: replies in the order of the commands
while a transfer runs, one report for every upload that began, ABOR after a
clean close or during the wait for a data connection, names with control
characters, a data listener out of descriptors, and a client whose control
connection ends before its upload does."""

import contextlib
import os
import resource
import time
import unittest

from ftp_harness import BYE, OPENING_BINARY, TRANSFER_COMPLETE, FtpdServer, ServerTestCase, data_connect
from test_faults import fill_home
from test_ftpd_loop import lowest_free_descriptor
from test_transfers import payload

LISTING_OPENS = b"150 Opening ASCII mode data connection for directory list.\r\n"
LISTING_SENT = b"226 Transfer Completed\r\n"
ABORTED = b"426 Data connection closed.\r\n"
ABOR_DONE = b"226 ABOR command successful.\r\n"
DATA = payload(300000, 16)

# Every verb of the command table and one it lacks, with the code of its
# reply once the transfer it was sent during has ended.
VERBS = [("USER anonymous", b"331"), ("PASS x", b"230"), ("QUIT", b"221"), ("BYE", b"221"),
         ("TYPE I", b"200"), ("PWD", b"257"), ("CWD /", b"250"), ("CDUP", b"550"),
         ("RNFR missing", b"550"), ("RNTO other", b"550"), ("DELE missing", b"550"),
         ("MKD made-{t}", b"257"), ("RMD missing", b"550"), ("PORT 127,0,0,1,200,1", b"200"),
         ("PASV", b"227"), ("EPSV", b"229"), ("NLST", b"150"), ("LIST", b"150"),
         ("STOR later.bin", b"150"), ("SYST", b"215"), ("NOOP", b"200"),
         ("OPTS UTF8 ON", b"200"), ("FEAT", b"502")]


def samples_running(pid, count):
    """Of `count` looks at the process 50 ms apart, those that found a thread
    of it running or ready to run."""
    running = 0
    for _ in range(count):
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/stat" % (pid, task)) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "R":
                    running += 1
                    break
        time.sleep(0.05)
    return running


def failure_lines(server, name):
    return [line for line in server.output_lines if line.endswith(" upload failed " + name)]


class CommandOrder(ServerTestCase):

    def start_upload(self, c, name="walk.bin"):
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR " + name), OPENING_BINARY)
        return data_connect(port)

    def test_every_verb_during_an_upload_and_a_listing_is_answered_after_its_end(self):
        os.mkdir(os.path.join(self.home, "listed"))
        fill_home(os.path.join(self.home, "listed"))  # more listing than the sockets hold
        for line, code in VERBS:
            for transfer in (self.upload_with, self.listing_with):
                with self.subTest(line=line, transfer=transfer.__name__):
                    c = self.logged_in()
                    final = transfer(c, line.format(t=transfer.__name__))
                    self.assertEqual(c.read_line(timeout=10), final)
                    self.assertEqual(c.read_line(timeout=10)[:3], code)
                    if code != b"221":  # free the one place for the next round
                        c.send("USER anonymous\r\nPASS x\r\nQUIT\r\n")
                    self.assertTrue(c.wait_closed())
                    c.close()
        self.assertEqual(self.read_file("walk.bin"), DATA)  # not even USER or PASS lost it

    def upload_with(self, c, line):
        d = self.start_upload(c)
        d.sendall(DATA[:100000])
        c.send(line + "\r\n")
        d.sendall(DATA[100000:])
        d.close()
        return TRANSFER_COMPLETE

    def listing_with(self, c, line):
        d = data_connect(c.pasv()[1])
        self.assertEqual(c.command("LIST listed"), LISTING_OPENS)
        c.send(line + "\r\n")
        while d.recv(65536):
            pass
        d.close()
        return LISTING_SENT

    def test_a_stalled_upload_answers_noop_and_its_kind_but_holds_the_rest(self):
        c = self.logged_in()
        d = self.start_upload(c)
        d.sendall(DATA[:1000])
        started = time.monotonic()
        c.send("NOOP\r\nPASS x\r\nSYST\r\n")
        self.assertEqual(c.read_line(timeout=10), b"200 OK\r\n")
        self.assertGreater(time.monotonic() - started, 1.5, "answered before the data went quiet")
        d.sendall(DATA[1000:])
        d.close()
        self.assertEqual([c.read_line(timeout=10) for _ in range(3)],
                         [TRANSFER_COMPLETE, b"230 User successfully logged in.\r\n",
                          b"215 UNIX emulated by Orvello\r\n"])

    def test_a_command_right_after_the_close_is_answered_after_the_226(self):
        c = self.logged_in()
        for _ in range(10):
            d = self.start_upload(c)
            d.sendall(DATA)
            d.close()
            c.send("NOOP\r\n")
            self.assertEqual([c.read_line(timeout=10) for _ in range(2)], [TRANSFER_COMPLETE, b"200 OK\r\n"])
        for _ in range(5):  # ABOR after the close finds the upload complete
            d = self.start_upload(c, "abor.bin")
            d.sendall(DATA[:5000])
            d.close()
            self.assertEqual([c.command("ABOR"), c.read_line()], [TRANSFER_COMPLETE, ABOR_DONE])
            self.assertEqual(self.read_file("abor.bin"), DATA[:5000])

    def test_abor_ends_the_wait_for_a_data_connection(self):
        c = self.logged_in()
        c.pasv()
        self.assertEqual(c.command("STOR never.bin"), OPENING_BINARY)
        self.assertEqual([c.command("ABOR", timeout=3), c.read_line()], [ABORTED, ABOR_DONE])


class Reports(unittest.TestCase):
    """Every upload whose 150 went out is reported once, however it ends;
    the server's home has a line feed in its name, which no line may carry."""

    def test_every_upload_that_began_is_reported_once(self):
        server = FtpdServer(home="scans\nFORGED")
        self.addCleanup(server.cleanup)
        server.start()
        os.mkdir(os.path.join(server.home, "folder.pdf"))
        with open(os.path.join(server.home, "kept.pdf"), "wb") as f:
            f.write(b"the earlier scan")
        c = server.client().login()
        ends = {"kept.pdf": self.control_lost_first, "quit.pdf": self.quit_then_gone,
                "aborted.pdf": self.aborted, "folder.pdf": self.unopenable,
                "unconnected.pdf": self.abor_in_wait}
        for name, end in ends.items():
            with self.subTest(end=end.__name__):
                c = end(server, c, name)
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR stopped.pdf"), OPENING_BINARY)
        d = data_connect(port)
        d.sendall(DATA[:1000])
        self.assertEqual(c.command("NOOP", timeout=10), b"200 OK\r\n")  # the upload has stalled
        self.assertEqual(server.stop(), 0)
        escaped = server.home.replace("\n", "\\x0a")
        for name in list(ends) + ["stopped.pdf"]:
            self.assertEqual(len(failure_lines(server, escaped + "/" + name)), 1, name)
        self.assertFalse([line for line in server.output_lines
                          if " stored " in line or line.startswith("FORGED")])
        with open(os.path.join(server.home, "kept.pdf"), "rb") as f:
            self.assertEqual(f.read(), b"the earlier scan")

    def begin(self, c, name):
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR " + name), OPENING_BINARY)
        d = data_connect(port)
        d.sendall(DATA[:100000])
        return d

    def control_lost_first(self, server, c, name):
        d = self.begin(c, name)
        c.close()
        self.assertTrue(server.wait_for_output(lambda line: line.endswith("/" + name)))
        with contextlib.suppress(OSError):  # the data's clean end comes too late
            d.sendall(DATA[100000:])
            d.close()
        return server.client().login()

    def quit_then_gone(self, server, c, name):
        d = self.begin(c, name)
        c.send("QUIT\r\n")
        c.close()
        self.assertTrue(server.wait_for_output(lambda line: line.endswith("/" + name)))
        d.close()
        return server.client().login()

    def aborted(self, server, c, name):
        d = self.begin(c, name)
        self.assertEqual([c.command("ABOR"), c.read_line()], [ABORTED, ABOR_DONE])
        d.close()
        return c

    def unopenable(self, server, c, name):
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR " + name), OPENING_BINARY)
        data_connect(port).close()
        self.assertEqual(c.read_line(), b"450 Can't access file\r\n")
        return c

    def abor_in_wait(self, server, c, name):
        c.pasv()
        self.assertEqual(c.command("STOR " + name), OPENING_BINARY)
        self.assertEqual([c.command("ABOR", timeout=3), c.read_line()], [ABORTED, ABOR_DONE])
        return c


class Names(ServerTestCase):

    def test_a_name_with_a_control_character_is_refused_and_never_listed(self):
        self.write_file("scan.pdf", b"x")
        self.write_file("evil\n2026-12-08 09:00:00 stored 1 bytes FORGED.pdf", b"x")
        c = self.logged_in()
        for name in ("a\nb.pdf", "a\rb.pdf", "a\tb.pdf", "a\x01b", "a\x7fb"):
            for line, reply in (("STOR ", b"550 Filename invalid.\r\n"), ("DELE ", b"550 File not found.\r\n"),
                                ("RNFR ", b"550 File not found.\r\n"), ("RMD ", b"550 Directory not found.\r\n"),
                                ("MKD ", b"450 Internal error creating the directory.\r\n")):
                with self.subTest(command=line + repr(name)):
                    self.assertEqual(c.command(line + name), reply)
            self.assertEqual(c.command("CWD " + name)[:4], b"550 ")
        self.assertEqual(c.command("RNFR scan.pdf")[:3], b"350")
        self.assertEqual(c.command("RNTO x\ny.pdf"), b"550 File rename failed.\r\n")
        port = c.pasv()[1]
        d = data_connect(port)
        self.assertEqual(c.command("LIST"), LISTING_OPENS)
        listing = b""
        while chunk := d.recv(65536):
            listing += chunk
        self.assertEqual(c.read_line(), LISTING_SENT)
        self.assertEqual([line[-8:] for line in listing.split(b"\r\n")], [b"scan.pdf", b""])
        self.assertEqual(len(os.listdir(self.home)), 2)


class DataListenerOutOfDescriptors(ServerTestCase):

    def test_the_data_listener_pauses_instead_of_spinning(self):
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR waited.pdf"), OPENING_BINARY)
        pid = self.server.proc.pid
        soft, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (lowest_free_descriptor(pid), hard))
        try:
            d = data_connect(port)  # queued in the kernel; accept fails for want of a descriptor
            # A thread that spins is running or waiting to run whenever it
            # is looked at, however loaded the machine; a paused one sleeps.
            self.assertLess(samples_running(pid, 30), 10)
        finally:
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (soft, hard))
        d.sendall(DATA)
        d.close()
        self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE)
        self.assertEqual(self.read_file("waited.pdf"), DATA)


if __name__ == "__main__":
    unittest.main()
