"""One client at a time: refusal of further clients, reconnects, peers that
hang up, and the end of connections when the server is told to stop."""

import signal
import socket
import time
import unittest

from ftp_harness import (BYE, GREETING, TOO_MANY, ConnectionClosed, FtpdServer,
                         ServerTestCase, data_connect)


def greeting_or_refusal(client, timeout=5):
    """The first line of a new connection, or b"" when closed without one."""
    try:
        return client.read_line(timeout)
    except ConnectionClosed:
        return b""


class ConnectionLimit(ServerTestCase):

    def test_second_client_is_refused_and_the_first_is_undisturbed(self):
        first = self.logged_in()
        second = self.connect()
        self.assertEqual(second.read_line(), TOO_MANY)
        self.assertTrue(second.wait_closed(5), "the refused client is disconnected")
        self.assertEqual(second.buffer, b"", "nothing follows the refusal")
        self.assertEqual(first.command("NOOP"), b"200 OK\r\n")
        self.assertEqual(first.command("PWD"), b'257 "/" is current directory\r\n')

    def test_clients_arriving_together_while_one_is_served_are_all_refused(self):
        first = self.connect()
        self.assertEqual(first.read_line(), GREETING)
        others = [self.connect() for _ in range(6)]
        for i, other in enumerate(others):
            self.assertEqual(greeting_or_refusal(other), TOO_MANY, "client %d" % i)
        for other in others:
            self.assertTrue(other.wait_closed(5))
        self.assertEqual(first.command("USER anonymous"), b"331 Password required for anonymous\r\n")

    def test_refused_while_a_refused_worker_is_ending_or_greeted_only_after_the_first_left(self):
        first = self.logged_in()
        refused = self.connect()
        late = self.connect()  # arrives while the refused worker may still be ending
        self.assertEqual(refused.read_line(), TOO_MANY)
        self.assertEqual(greeting_or_refusal(late), TOO_MANY,
                         "no second live session while the first is served")
        self.assertEqual(first.command("QUIT"), BYE)
        self.assertTrue(first.wait_closed(5))
        # Once the first has left (and the refused workers have ended) the
        # next client is greeted.
        deadline = time.monotonic() + 5
        while True:
            nxt = self.connect()
            line = greeting_or_refusal(nxt)
            if line == GREETING or time.monotonic() > deadline:
                break
            self.assertEqual(line, TOO_MANY)
            nxt.wait_closed(2)
            time.sleep(0.1)
        self.assertEqual(line, GREETING)

    def test_next_client_is_greeted_at_once_after_quit(self):
        first = self.logged_in()
        refused = self.connect()
        self.assertEqual(refused.read_line(), TOO_MANY)
        self.assertTrue(refused.wait_closed(5))
        self.assertEqual(first.command("QUIT"), BYE)
        nxt = self.connect()
        self.assertEqual(nxt.read_line(), GREETING)

    def test_after_a_quit_only_one_of_two_new_clients_is_greeted(self):
        holder = self.logged_in()
        for i in range(10):
            self.assertEqual(holder.command("QUIT"), BYE)
            a = self.connect()
            b = self.connect()
            la, lb = greeting_or_refusal(a), greeting_or_refusal(b)
            self.assertEqual(sorted([la, lb]), sorted([GREETING, TOO_MANY]), "round %d" % i)
            holder, refused = (a, b) if la == GREETING else (b, a)
            self.assertTrue(refused.wait_closed(5))
            self.assertEqual(holder.command("USER anonymous"),
                             b"331 Password required for anonymous\r\n", "round %d" % i)
            self.assertEqual(holder.command("PASS x"), b"230 User successfully logged in.\r\n")

    def test_peer_that_hangs_up_frees_the_slot_at_once(self):
        first = self.logged_in()
        first.close()
        nxt = self.connect()
        self.assertEqual(nxt.read_line(timeout=2), GREETING)
        self.assertEqual(nxt.command("USER anonymous"), b"331 Password required for anonymous\r\n")

    def test_peer_that_hangs_up_before_the_greeting_frees_the_slot(self):
        s = socket.create_connection(("127.0.0.1", self.server.port), timeout=5)
        s.close()
        time.sleep(0.1)
        nxt = self.connect()
        self.assertEqual(nxt.read_line(timeout=2), GREETING)

    def test_quick_quit_and_reconnect_is_always_greeted(self):
        for i in range(20):
            c = self.server.client()
            try:
                self.assertEqual(c.read_line(), GREETING, "round %d" % i)
                self.assertEqual(c.command("USER anonymous"),
                                 b"331 Password required for anonymous\r\n")
                self.assertEqual(c.command("PASS x"), b"230 User successfully logged in.\r\n")
                self.assertEqual(c.command("QUIT"), BYE)
            finally:
                c.close()

    def test_quick_hang_up_and_reconnect_is_always_greeted(self):
        for i in range(20):
            c = self.server.client()
            try:
                self.assertEqual(c.read_line(), GREETING, "round %d" % i)
                if i % 2:
                    c.command("NOOP")
            finally:
                c.close()

    def test_reconnect_without_waiting_for_the_bye(self):
        for i in range(10):
            c = self.server.client()
            try:
                self.assertEqual(c.read_line(), GREETING, "round %d" % i)
                c.send(b"USER anonymous\r\nPASS x\r\nQUIT\r\n")
            finally:
                c.close()
        last = self.connect()
        self.assertEqual(last.read_line(), GREETING)


class TimedOutClientFreesTheSlot(ServerTestCase):
    server_options = dict(timeout=0)

    def test_after_time_out_the_next_client_is_greeted(self):
        first = self.connect()
        self.assertEqual(first.read_line(), GREETING)
        self.assertEqual(first.read_line(timeout=4),
                         b"426 Connection timed out, aborting transfer\r\n")
        self.assertTrue(first.wait_closed(3))
        nxt = self.connect()
        self.assertEqual(nxt.read_line(), GREETING)


class StopWithClients(unittest.TestCase):
    """SIGTERM and SIGINT end the connections and the process with code 0."""

    def start(self):
        server = FtpdServer()
        self.addCleanup(server.cleanup)
        server.start()
        return server

    def check_stop(self, sig):
        server = self.start()
        c = server.client()
        self.addCleanup(c.close)
        c.login()
        refused = server.client()
        self.addCleanup(refused.close)
        self.assertEqual(refused.read_line(), TOO_MANY)
        server.proc.send_signal(sig)
        self.assertTrue(c.wait_closed(8), "the client sees its connection closed")
        self.assertEqual(server.proc.wait(timeout=10), 0)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", server.port), timeout=2).close()

    def test_sigterm_with_a_connected_client(self):
        self.check_stop(signal.SIGTERM)

    def test_sigint_with_a_connected_client(self):
        self.check_stop(signal.SIGINT)

    def test_sigterm_during_an_upload(self):
        server = self.start()
        c = server.client()
        self.addCleanup(c.close)
        c.login()
        port = c.pasv()[1]
        self.assertEqual(c.command("STOR busy.bin"),
                         b"150 Opening BINARY mode data connection for file transfer.\r\n")
        d = data_connect(port)
        self.addCleanup(d.close)
        d.sendall(b"x" * 100000)
        server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(server.proc.wait(timeout=10), 0)
        self.assertTrue(c.wait_closed(3))

    def test_sigterm_during_a_wait_for_a_data_connection(self):
        server = self.start()
        c = server.client()
        self.addCleanup(c.close)
        c.login()
        c.pasv()
        self.assertEqual(c.command("STOR waiting.bin"),
                         b"150 Opening BINARY mode data connection for file transfer.\r\n")
        server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(server.proc.wait(timeout=15), 0)
        self.assertTrue(c.wait_closed(3))


if __name__ == "__main__":
    unittest.main()
