"""lumbra-ftpd with a stored network adapter that has no address yet (a
service started before the network is up): it says so, serves nothing on
any other address meanwhile, and serves the adapter's address as soon as it
has one."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from ftp_harness import GREETING, RawClient, ftpd_path, read_line_from_pipe, second_loopback_usable

LOOK_EVERY = 2.0  # how often the server looks for the address, in seconds
WAITING = (b"lumbra-ftpd: the network adapter eth1 has no IPv4 address; waiting for it "
           b"(choose another with --bind or --save --bind)\n")


def port_free_everywhere():
    with socket.socket() as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


@unittest.skipUnless(second_loopback_usable(), "127.0.0.2 cannot be bound here")
class StoredAdapterWithoutAddress(unittest.TestCase):
    def setUp(self):
        root = tempfile.mkdtemp(prefix="lumbra-it-")
        self.addCleanup(shutil.rmtree, root, True)
        self.adapters = os.path.join(root, "adapters")
        self.env = dict(os.environ, HOME=os.path.join(root, "userhome"), XDG_CONFIG_HOME=os.path.join(root, "cfg"),
                        LUMBRA_ADAPTERS_FILE=self.adapters)
        self.port = port_free_everywhere()
        self.set_adapters("lo=127.0.0.1,eth1=127.0.0.2")
        saved = subprocess.run([ftpd_path(), "--save", "--bind", "127.0.0.2", "--port", str(self.port),
                                "--home", os.path.join(root, "home"), "--anonymous"],
                               env=self.env, capture_output=True, timeout=30)
        self.assertEqual(saved.returncode, 0, saved.stderr)

    def set_adapters(self, line):
        """The machine's adapter list, replaced at once as the kernel's would be."""
        with open(self.adapters + ".new", "w") as f:
            f.write(line + "\n")
        os.replace(self.adapters + ".new", self.adapters)

    def refused(self, host):
        try:
            socket.create_connection((host, self.port), timeout=5).close()
            return False
        except ConnectionRefusedError:
            return True

    def test_waits_for_the_adapter_then_serves_its_address(self):
        self.set_adapters("lo=127.0.0.1")
        proc = subprocess.Popen([ftpd_path()], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(proc.stderr.close)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.kill)
        self.assertEqual(read_line_from_pipe(proc.stderr, 10), WAITING)
        self.assertTrue(self.refused("127.0.0.1") and self.refused("127.0.0.2"))

        self.set_adapters("lo=127.0.0.1,eth1=127.0.0.2")
        line = read_line_from_pipe(proc.stdout, 3 * LOOK_EVERY + 5)
        self.assertEqual(line, b"listening on 127.0.0.2:%d\n" % self.port)
        client = RawClient("127.0.0.2", self.port)
        self.assertEqual(client.greeting(), GREETING)
        client.close()
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0)


if __name__ == "__main__":
    unittest.main()
