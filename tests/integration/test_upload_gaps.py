"""Replies in command order during a transfer, one report per upload, ABOR after a clean
close or in the wait for data, names with control characters, a data listener out of handles."""

import contextlib
import os
import pathlib
import resource
import time
import unittest

from ftp_harness import OPENING_BINARY, TRANSFER_COMPLETE, FtpdServer, ServerTestCase, data_connect
from test_faults import fill_home
from test_ftpd_loop import lowest_free_descriptor
from test_transfers import payload

LISTING_OPENS = b"150 Opening ASCII mode data connection for directory list.\r\n"
LISTING_SENT = b"226 Transfer Completed\r\n"
ABORTED = [b"426 Data connection closed.\r\n", b"226 ABOR command successful.\r\n"]
DATA = payload(300000, 16)

# Every verb of the command table and one it lacks, with the code of its
# reply once the transfer it was sent during has ended.
VERBS = {"USER anonymous": b"331", "PASS x": b"230", "QUIT": b"221", "BYE": b"221", "TYPE I": b"200",
         "PWD": b"257", "CWD /": b"250", "CDUP": b"550", "RNFR missing": b"550", "RNTO other": b"550",
         "DELE missing": b"550", "MKD made-{t}": b"257", "RMD missing": b"550",
         "PORT 127,0,0,1,200,1": b"200", "PASV": b"227", "EPSV": b"229", "NLST": b"150",
         "LIST": b"150", "STOR later.bin": b"150", "SYST": b"215", "NOOP": b"200",
         "OPTS UTF8 ON": b"200", "FEAT": b"502"}


def samples_running(pid, count=30):
    """Of `count` looks 50 ms apart, those that found a thread of pid running
    or ready to run: a spinning thread always is, however loaded the machine."""
    running = 0
    for _ in range(count):
        tasks = pathlib.Path("/proc/%d/task" % pid).glob("*/stat")
        running += any(t.read_text().rsplit(")", 1)[1].split()[0] == "R" for t in tasks)
        time.sleep(0.05)
    return running


def start_upload(c, name, data=b""):
    port = c.pasv()[1]
    assert c.command("STOR " + name) == OPENING_BINARY
    (d := data_connect(port)).sendall(data)
    return d


class UploadGaps(ServerTestCase):

    def test_every_verb_during_an_upload_and_a_listing_is_answered_after_its_end(self):
        os.mkdir(os.path.join(self.home, "listed"))
        fill_home(os.path.join(self.home, "listed"))  # more listing than the sockets hold
        for line, code in VERBS.items():
            for transfer in (self.upload_with, self.listing_with):
                with self.subTest(line=line, transfer=transfer.__name__):
                    final = transfer(c := self.logged_in(), line.format(t=transfer.__name__))
                    self.assertEqual([c.read_line(timeout=30), c.read_line(timeout=30)[:3]], [final, code])
                    if code != b"221":  # free the one place for the next round
                        c.send("USER anonymous\r\nPASS x\r\nQUIT\r\n")
                    self.assertTrue(c.wait_closed())
        self.assertEqual(self.read_file("walk.bin"), DATA)  # not even USER or PASS lost it

    def upload_with(self, c, line):
        d = start_upload(c, "walk.bin", DATA[:100000])
        c.send(line + "\r\n")
        d.sendall(DATA[100000:])
        d.close()
        return TRANSFER_COMPLETE

    def listing_with(self, c, line):
        d = data_connect(c.pasv()[1], timeout=30)  # sanitizer builds list slowly
        self.assertEqual(c.command("LIST listed", timeout=30), LISTING_OPENS)
        c.send(line + "\r\n")
        b"".join(iter(lambda: d.recv(65536), b""))
        d.close()
        return LISTING_SENT

    def test_noop_or_abor_right_after_the_close_is_answered_after_the_226(self):
        c = self.logged_in()
        for i in range(16):  # ABOR finds the upload complete
            start_upload(c, "close.bin", DATA[:5000 + i]).close()
            c.send("ABOR\r\n" if i % 2 else "NOOP\r\n")
            self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE)
            self.assertEqual(c.read_line()[:3], b"226" if i % 2 else b"200")
            self.assertEqual(self.read_file("close.bin"), DATA[:5000 + i])

    def test_a_name_with_a_control_character_is_refused_and_never_listed(self):
        self.write_file("scan.pdf", b"x")
        self.write_file("evil\n2026-12-08 09:00:00 stored 1 bytes FORGED.pdf", b"x")
        c = self.logged_in()
        for name in ("a\nb.pdf", "a\rb.pdf", "a\tb.pdf", "a\x01b", "a\x7fb"):
            for verb, reply in (("STOR", b"550 Filename invalid."), ("DELE", b"550 File not found."),
                                ("RNFR", b"550 File not found."), ("RMD", b"550 Directory not found."),
                                ("MKD", b"450 Internal error creating the directory."),
                                ("CWD", b'550 "a')):
                with self.subTest(verb=verb, name=name):
                    self.assertEqual(c.command(verb + " " + name)[:len(reply)], reply)
        self.assertEqual([c.command("RNFR scan.pdf")[:3], c.command("RNTO x\ny.pdf")[:3]], [b"350", b"550"])
        d = data_connect(c.pasv()[1])
        self.assertEqual(c.command("LIST"), LISTING_OPENS)
        listing = b"".join(iter(lambda: d.recv(65536), b""))
        self.assertEqual(c.read_line(), LISTING_SENT)
        self.assertEqual([line[-8:] for line in listing.split(b"\r\n")], [b"scan.pdf", b""])
        self.assertEqual(len(os.listdir(self.home)), 2)

    def test_the_data_listener_pauses_instead_of_spinning_when_out_of_handles(self):
        c = self.logged_in()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR waited.pdf"), OPENING_BINARY)
        pid = self.server.proc.pid
        soft, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (lowest_free_descriptor(pid), hard))
        try:
            d = data_connect(port)  # queued in the kernel; accept fails for want of a handle
            self.assertLess(samples_running(pid), 10)
        finally:
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (soft, hard))
        d.sendall(DATA)
        d.close()
        self.assertEqual(c.read_line(timeout=10), TRANSFER_COMPLETE)
        self.assertEqual(self.read_file("waited.pdf"), DATA)


class Reports(unittest.TestCase):

    def test_every_upload_that_began_is_reported_once_and_on_one_line(self):
        server = FtpdServer(home="scans\nFORGED")  # no line may split at its name
        self.addCleanup(server.cleanup)
        server.start()
        os.mkdir(os.path.join(server.home, "folder.pdf"))
        pathlib.Path(server.home, "kept.pdf").write_bytes(b"the earlier scan")
        c = server.client().login()
        d = start_upload(c, "kept.pdf", DATA[:100000])
        c.send("QUIT\r\n")  # waits for the upload's end, which the control's end forestalls
        c.close()
        self.assertTrue(server.wait_for_output(lambda line: line.endswith("/kept.pdf")))
        with contextlib.suppress(OSError):  # the data's clean end comes too late
            d.sendall(DATA[100000:])
            d.close()
        c = server.client().login()
        d = start_upload(c, "aborted.pdf", DATA[:100000])
        self.assertEqual([c.command("ABOR"), c.read_line()], ABORTED)
        start_upload(c, "folder.pdf").close()  # the staging file cannot be opened
        self.assertEqual(c.read_line(), b"450 Can't access file\r\n")
        c.pasv()
        self.assertEqual(c.command("STOR unconnected.pdf"), OPENING_BINARY)
        self.assertEqual([c.command("ABOR", timeout=3), c.read_line()], ABORTED)  # no 10 s wait
        d, started = start_upload(c, "stopped.pdf", DATA[:1000]), time.monotonic()
        self.assertEqual(c.command("NOOP", timeout=10), b"200 OK\r\n")  # once the upload has stalled
        self.assertGreater(time.monotonic() - started, 1.5, "NOOP was answered while data could come")
        self.assertEqual(server.stop(), 0)
        failed = [line.split(" upload failed ")[-1] for line in server.output_lines if "upload failed" in line]
        home = server.home.replace("\n", "\\x0a")
        self.assertEqual(sorted(failed), [home + "/" + name for name in
                                          ("aborted.pdf", "folder.pdf", "kept.pdf", "stopped.pdf", "unconnected.pdf")])
        self.assertFalse([line for line in server.output_lines if " stored " in line or line.startswith("FORGED")])
        self.assertEqual(pathlib.Path(server.home, "kept.pdf").read_bytes(), b"the earlier scan")


if __name__ == "__main__":
    unittest.main()
