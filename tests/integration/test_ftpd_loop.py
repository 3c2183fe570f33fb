"""lumbra-ftpd runs on its own main loop, without Qt: nothing of Qt is
loaded, and the listener's pause while the process is out of descriptors
neither spins nor loses the waiting client."""

import os
import resource
import time
import unittest

from ftp_harness import GREETING, ServerTestCase


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def lowest_free_descriptor(pid):
    used = {int(name) for name in os.listdir("/proc/%d/fd" % pid)}
    n = 0
    while n in used:
        n += 1
    return n


class OwnMainLoop(ServerTestCase):

    def test_no_qt_library_is_mapped(self):
        c = self.logged_in()
        self.assertEqual(c.command("NOOP")[:3], b"200")
        with open("/proc/%d/maps" % self.server.proc.pid) as f:
            maps = f.read()
        self.assertNotIn("libQt6", maps)
        self.assertNotIn("libicu", maps)

    def test_out_of_descriptors_pauses_the_listener_then_serves_the_waiting_client(self):
        pid = self.server.proc.pid
        soft, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (lowest_free_descriptor(pid), hard))
        try:
            waiting = self.connect()  # completes in the kernel's queue, not accepted
            before = cpu_seconds(pid)
            self.assertEqual(waiting.read_available(wait=1.5), b"")
            # Accept fails at every look; ten looks a second cost next to nothing.
            self.assertLess(cpu_seconds(pid) - before, 0.5)
        finally:
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (soft, hard))
        self.assertEqual(waiting.read_line(timeout=5), GREETING)
        self.assertEqual(waiting.command("USER anonymous")[:3], b"331")
        self.assertEqual(waiting.command("PASS x")[:3], b"230")
        self.assertEqual(waiting.command("NOOP")[:3], b"200")


if __name__ == "__main__":
    unittest.main()
