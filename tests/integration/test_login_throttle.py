"""Password guessing: failed logins slow down per client address across
sessions; each leaves one journal line, escaped, that the ban filter reads."""

import os
import re
import subprocess
import tempfile
import time
import unittest

from ftp_harness import (GREETING, HERE, LOGGED_IN, ServerTestCase, second_loopback_usable,
                         tool_available)

USER = "scan"
PASSWORD = "s3cret"
NEED_PASSWORD = b"331 Password required for scan\r\n"
WRONG = b"530 Not logged in, user or password incorrect!\r\n"
UNKNOWN_USER = b"503 UserID Not Registered\r\n"
FAILURE_LINE = re.compile(r'\d{4}-\d\d-\d\d \d\d:\d\d:\d\d login failed for "(.*)" from (\S+)')
FILTER = os.path.join(HERE, "..", "..", "res", "fail2ban", "filter.d", "lumbra-ftpd.conf")
# Waits of 1, 2, 4, 8, then 16 s after each failure: checks at 0, 1, 3, 7, 15 s.
MOST_CHECKS_IN_20_S = 5


class NamedLogin(ServerTestCase):
    server_options = dict(anonymous=False, user=USER, password=PASSWORD)

    def failures(self, at_least=0):
        for _ in range(100):
            found = [m.groups() for m in map(FAILURE_LINE.fullmatch, list(self.server.output_lines)) if m]
            if len(found) >= at_least:
                break
            time.sleep(0.05)
        return found

    def greeted(self, **kw):
        c = self.connect(**kw)
        self.assertEqual(c.read_line(), GREETING)
        return c

    def test_a_guesser_that_pipelines_reconnects_and_hangs_up_gets_a_handful_of_checks(self):
        if not second_loopback_usable():
            self.skipTest("127.0.0.2 cannot be bound here")
        start = time.monotonic()
        left = lambda: start + 20 - time.monotonic()
        guesser = self.greeted()
        guesser.send(b"USER scan\r\nPASS g1\r\nPASS g2\r\nPASS g3\r\n")
        self.assertEqual(guesser.read_line(), NEED_PASSWORD)
        replies, times = [], []
        for _ in range(3):
            replies.append(guesser.read_line(left()))
            times.append(time.monotonic())
        self.assertEqual(replies, [WRONG] * 3)
        self.assertGreater(times[1] - times[0], 0.9, "1 s after the first failure")
        self.assertGreater(times[2] - times[1], 1.9, "2 s after the second")
        # Hanging up on a waiting reply counts as a failure: the next turn
        # comes 8 s after the hang-up, not 4 s after the third failure.
        guesser.send(b"USER scan\r\nPASS g4\r\n")
        guesser.close()
        hung_up, closes = time.monotonic(), 1
        other = self.connect(source="127.0.0.2")
        asked = time.monotonic()
        other.login(USER, PASSWORD)
        self.assertLess(time.monotonic() - asked, 1.0, "another address is not slowed")
        other.command("QUIT")
        guesser = self.greeted()
        guesser.send(b"USER scan\r\nPASS g5\r\n")
        self.assertEqual(guesser.read_line(left()), NEED_PASSWORD)
        self.assertGreater(time.monotonic() - hung_up, 7.5)
        self.assertEqual(guesser.read_line(), WRONG)
        for n in range(5):  # reconnect and hang up, again and again
            hammer = self.connect()
            if hammer.read_line() == GREETING:
                hammer.send(b"USER scan\r\nPASS h%d\r\n" % n)
                closes += 1
            hammer.close()
        guesser.send(b"PASS g6\r\n")
        self.assertEqual(guesser.read_available(left()), b"", "no turn before 16 s have passed")
        stopping = time.monotonic()
        self.assertEqual(self.server.stop(), 0)
        self.assertLess(time.monotonic() - stopping, 3.0, "a stop ends a waiting session at once")
        checks = 4  # g1, g2, g3, g5: at most MOST_CHECKS_IN_20_S
        self.assertEqual([a for _, a in self.failures()], ["127.0.0.1"] * (checks + closes),
                         "one line per checked guess and per hang-up")

    def test_the_right_password_after_the_wait_logs_in_and_starts_afresh(self):
        c = self.greeted()
        self.assertEqual(c.command("USER scan"), NEED_PASSWORD)
        self.assertEqual(c.command("PASS bad1"), WRONG)
        self.assertEqual(c.command("PASS bad2"), WRONG)
        asked = time.monotonic()
        self.assertEqual(c.command("PASS " + PASSWORD), LOGGED_IN)
        self.assertGreater(time.monotonic() - asked, 1.5, "answered when a wrong one would be")
        asked = time.monotonic()
        self.assertEqual(c.command("PASS bad3"), WRONG)
        self.assertLess(time.monotonic() - asked, 0.9, "the login started the count afresh")
        self.assertEqual(c.command("PWD"), b'257 "/" is current directory\r\n', "still logged in")
        self.assertEqual(len(self.failures(at_least=3)), 3)

    def test_the_journal_line_escapes_the_name_and_the_ban_filter_reads_it(self):
        c = self.greeted()
        forged = b'a"\\\x01\n2026-01-01 00:00:00 login failed for "root" from 10.9.8.7'
        self.assertEqual(c.command(b"USER " + forged), UNKNOWN_USER)
        line = self.server.wait_for_output(lambda l: " login failed " in l)
        self.assertEqual(line[20:], r'login failed for "a\"\\\x01\x0A2026-01-01 00:00:00 login failed '
                                    r'for \"root\" from 10.9.8.7" from 127.0.0.1')
        self.assertRegex(line[:20], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d $")
        if not (os.path.exists(FILTER) and tool_available("fail2ban-regex")):
            self.skipTest("no res/fail2ban/filter.d/lumbra-ftpd.conf here, or no fail2ban-regex")
        with tempfile.NamedTemporaryFile("w", suffix=".log") as log:
            log.write("\n".join(self.server.output_lines) + "\n")
            log.flush()
            run = subprocess.run(["fail2ban-regex", "-o", "ip", log.name, os.path.abspath(FILTER)],
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.split(), ["127.0.0.1"], "the line once, with the client's address")


class AnonymousLogin(ServerTestCase):

    def test_nothing_to_guess_so_nothing_is_counted_slowed_or_written(self):
        c = self.connect()
        replies = [c.read_line()] + [c.command(line) for line in ["USER nobody"] * 6 + ["USER anonymous", "PASS"]]
        self.assertEqual(replies[1:], [UNKNOWN_USER] * 6 + [b"331 Password required for anonymous\r\n", LOGGED_IN])
        self.assertIsNone(self.server.wait_for_output(lambda l: " login failed " in l, wait=0.3))


if __name__ == "__main__":
    unittest.main()
