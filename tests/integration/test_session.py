"""Control-connection behaviour of lumbra-ftpd seen byte for byte by a raw
client: greeting, line cutting, login, directory moves and confinement,
code pages, the small session commands and the idle time-out."""

import os
import time
import unittest

from ftp_harness import (BYE, GREETING, LOGGED_IN, LOGIN_FIRST, NOT_SUPPORTED,
                         TIMED_OUT, ServerTestCase, data_connect, second_loopback_usable)


def cwd_ok(path):
    return b'250 "' + path + b'" is current directory.\r\n'


def pwd_is(path):
    return b'257 "' + path + b'" is current directory\r\n'


def not_found(arg):
    return b'550 "' + arg + b'": Directory not found.\r\n'


def denied(arg):
    return b'550 "' + arg + b'": Permission denied.\r\n'


class GreetingAndLineCutting(ServerTestCase):

    def test_greeting_is_exact(self):
        c = self.connect()
        self.assertEqual(c.read_line(), GREETING)
        self.assertEqual(c.read_available(0.3), b"", "nothing after the greeting")

    def test_command_split_over_two_reads_is_one_command(self):
        c = self.logged_in()
        c.send(b"NO")
        self.assertEqual(c.read_available(0.4), b"", "half a command is not answered")
        c.send(b"OP\r\n")
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        self.assertEqual(c.read_available(0.3), b"")

    def test_cr_and_lf_split_over_two_reads_end_one_line(self):
        c = self.logged_in()
        c.send(b"NOOP\r")
        self.assertEqual(c.read_available(0.4), b"")
        c.send(b"\nSYST\r\n")
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        self.assertEqual(c.read_line(), b"215 UNIX emulated by Orvello\r\n")

    def test_two_lines_in_one_write_are_answered_in_order(self):
        c = self.logged_in()
        c.send(b"NOOP\r\nSYST\r\nPWD\r\n")
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        self.assertEqual(c.read_line(), b"215 UNIX emulated by Orvello\r\n")
        self.assertEqual(c.read_line(), pwd_is(b"/"))

    def test_lone_lf_and_lone_cr_do_not_end_a_line(self):
        c = self.logged_in()
        c.send(b"NOOP\n")
        self.assertEqual(c.read_available(0.4), b"", "a lone LF is not a line end")
        c.send(b"\r\n")
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        c.send(b"SYST\r")
        self.assertEqual(c.read_available(0.4), b"", "a lone CR is not a line end")
        c.send(b"\r\n")
        self.assertEqual(c.read_line(), b"215 UNIX emulated by Orvello\r\n")

    def test_nul_inside_a_chunk_drops_the_rest_of_that_chunk(self):
        c = self.logged_in()
        c.send(b"NOOP\r\n\x00SYST\r\nPWD\r\n")
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        self.assertEqual(c.read_available(0.5), b"", "text after the NUL is dropped")
        # The session goes on with the next chunk.
        self.assertEqual(c.command("SYST"), b"215 UNIX emulated by Orvello\r\n")
        c.send(b"\x00NOOP\r\n")
        self.assertEqual(c.read_available(0.4), b"", "a chunk that starts with NUL is dropped")
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")

    def test_verb_case_and_argument_spaces(self):
        c = self.logged_in()
        self.assertEqual(c.command("noop"), b"200 OK\r\n")
        self.assertEqual(c.command("tYpE a N"), b"200 Type set to a N\r\n")
        # Two spaces after the verb leave one leading space; trailing ones stay.
        self.assertEqual(c.command("TYPE  I "), b"200 Type set to  I \r\n")
        # Trailing CR and LF, in any mix, are trimmed before the CR LF end.
        c.send(b"TYPE A\n\r\n")
        self.assertEqual(c.read_line(), b"200 Type set to A\r\n")

    def test_over_long_line_is_refused_and_the_session_goes_on(self):
        c = self.logged_in()
        c.send(b"A" * 20000)
        self.assertEqual(c.read_line(), b"500 Command line too long.\r\n")
        c.send(b"B" * 5000 + b"\r\nNOOP\r\n")
        self.assertEqual(c.read_line(), b"200 OK\r\n",
                         "the rest of the over-long line is dropped up to its end")
        self.assertEqual(c.read_available(0.3), b"")
        # A long line under the limit is still served as usual.
        arg = b"x" * 4000
        self.assertEqual(c.command(b"TYPE " + arg), b"200 Type set to " + arg + b"\r\n")

    def test_over_long_line_whose_end_is_split_between_reads(self):
        c = self.logged_in()
        c.send(b"A" * 9000 + b"\r")
        self.assertEqual(c.read_line(), b"500 Command line too long.\r\n")
        time.sleep(0.2)
        c.send(b"\nNOOP\r\n")
        self.assertEqual(c.read_line(), b"200 OK\r\n")
        self.assertEqual(c.read_available(0.3), b"")

    def test_reply_to_noop_is_exactly_eight_bytes(self):
        c = self.logged_in()
        c.send(b"NOOP\r\n")
        self.assertEqual(c.read_available(0.5), b"200 OK\r\n")


class LoginGate(ServerTestCase):

    def test_commands_before_login_get_the_login_reply_and_the_connection_stays(self):
        c = self.connect()
        self.assertEqual(c.read_line(), GREETING)
        for verb in ("QUIT", "NOOP", "SYST", "PWD", "CWD /", "PASV", "STOR x", "BYE", "RETR x", ""):
            self.assertEqual(c.command(verb), LOGIN_FIRST, verb)
        self.assertEqual(c.command("USER anonymous"), b"331 Password required for anonymous\r\n")
        self.assertEqual(c.command("PASS x"), LOGGED_IN)
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")

    def test_anonymous_name_any_case_and_any_password(self):
        c = self.connect()
        c.read_line()
        self.assertEqual(c.command("USER ANONYMOUS"), b"331 Password required for ANONYMOUS\r\n")
        self.assertEqual(c.command("PASS"), LOGGED_IN, "an empty password is accepted")
        self.assertEqual(c.command("PWD"), pwd_is(b"/"))

    def test_wrong_user_then_pass_needs_user_first(self):
        c = self.connect()
        c.read_line()
        self.assertEqual(c.command("PASS x"), b'503 Needs ID("USER") first\r\n')
        self.assertEqual(c.command("USER scanner"), b"503 UserID Not Registered\r\n")
        self.assertEqual(c.command("PASS x"), b'503 Needs ID("USER") first\r\n')
        self.assertEqual(c.command("NOOP"), LOGIN_FIRST)

    def test_user_while_logged_in_logs_out(self):
        c = self.logged_in()
        self.assertEqual(c.command("USER anonymous"), b"331 Password required for anonymous\r\n")
        self.assertEqual(c.command("NOOP"), LOGIN_FIRST)
        self.assertEqual(c.command("PASS y"), LOGGED_IN)
        # Even a USER that names nobody logs out; the earlier name still allows PASS.
        self.assertEqual(c.command("USER nobody"), b"503 UserID Not Registered\r\n")
        self.assertEqual(c.command("NOOP"), LOGIN_FIRST)
        self.assertEqual(c.command("PASS z"), LOGGED_IN)

    def test_quit_and_bye(self):
        c = self.logged_in()
        self.assertEqual(c.command("QUIT"), BYE)
        self.assertTrue(c.wait_closed(3), "QUIT closes the connection")
        c2 = self.logged_in()
        self.assertEqual(c2.command("bye"), BYE)
        self.assertTrue(c2.wait_closed(3))


class NamedLogin(ServerTestCase):
    server_options = dict(anonymous=False, user="scanner", password="S3cret Pass")

    def test_right_password_logs_in(self):
        c = self.connect()
        c.read_line()
        self.assertEqual(c.command("USER SCANNER"), b"331 Password required for SCANNER\r\n")
        self.assertEqual(c.command("PASS S3cret Pass"), LOGGED_IN)
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")

    def test_wrong_password_and_case_of_password(self):
        # Each from an address of its own: failures slow an address's next logins.
        if not second_loopback_usable():
            self.skipTest("127.0.0.x cannot be bound here")
        for n, wrong in enumerate(("s3cret pass", "S3cret", "S3cret Pass ", "", "x")):
            c = self.connect(source="127.0.0.%d" % (10 + n))
            c.read_line()
            self.assertEqual(c.command("USER scanner"), b"331 Password required for scanner\r\n")
            self.assertEqual(c.command("PASS " + wrong if wrong else "PASS"),
                             b"530 Not logged in, user or password incorrect!\r\n", wrong)
            self.assertEqual(c.command("NOOP"), LOGIN_FIRST)
            if n < 4:
                c.close()
        self.assertEqual(c.command("PASS S3cret Pass"), LOGGED_IN)

    def test_anonymous_is_not_a_user_here(self):
        c = self.connect()
        c.read_line()
        self.assertEqual(c.command("USER anonymous"), b"503 UserID Not Registered\r\n")
        self.assertEqual(c.command("PASS S3cret Pass"), b'503 Needs ID("USER") first\r\n')

    def test_wrong_password_while_logged_in_stays_logged_in(self):
        os.makedirs(os.path.join(self.home, "sub"))
        c = self.logged_in("scanner", "S3cret Pass")
        self.assertEqual(c.command("CWD sub"), cwd_ok(b"/sub"))
        self.assertEqual(c.command("PASS nope"), b"530 Not logged in, user or password incorrect!\r\n")
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
        self.assertEqual(c.command("PWD"), pwd_is(b"/sub"))
        # The right password again logs in afresh at the root.
        self.assertEqual(c.command("PASS S3cret Pass"), LOGGED_IN)
        self.assertEqual(c.command("PWD"), pwd_is(b"/"))


class PasswordFileFirstLine(ServerTestCase):
    server_options = dict(anonymous=False, user="scanner",
                          password_file_bytes=b"first line\r\nsecond line\n")

    def test_only_the_first_line_is_the_password(self):
        c = self.connect()
        c.read_line()
        c.command("USER scanner")
        self.assertEqual(c.command("PASS second line"),
                         b"530 Not logged in, user or password incorrect!\r\n")
        self.assertEqual(c.command("PASS first line"), LOGGED_IN)


class HomeFolderCreatedAtLogin(ServerTestCase):
    server_options = dict(create_home=False, home="missing/parents/home")

    def test_missing_home_and_parents_are_created_at_login(self):
        c = self.logged_in()
        # The folder is made after the 230 reply; the next reply follows it.
        self.assertEqual(c.command("PWD"), pwd_is(b"/"))
        self.assertTrue(os.path.isdir(self.home))
        self.assertEqual(c.command("CWD /"), cwd_ok(b"/"))


class SmallCommands(ServerTestCase):

    def test_type_syst_noop_opts(self):
        c = self.logged_in()
        self.assertEqual(c.command("TYPE I"), b"200 Type set to I\r\n")
        self.assertEqual(c.command("TYPE A"), b"200 Type set to A\r\n")
        self.assertEqual(c.command("TYPE"), b"200 Type set to \r\n")
        self.assertEqual(c.command("SYST"), b"215 UNIX emulated by Orvello\r\n")
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
        self.assertEqual(c.command("OPTS UTF8 ON"), b"200 OK\r\n")
        self.assertEqual(c.command("OPTS utf8 on"), b"200 OK\r\n")
        self.assertEqual(c.command("OPTS whatever"), b"200 OK\r\n")
        self.assertEqual(c.command("OPTS"), b"200 OK\r\n")

    def test_unsupported_verbs_and_empty_line(self):
        c = self.logged_in()
        for line in ("RETR x", "SIZE x", "FEAT", "APPE x", "MDTM x", "", "   ", "HELP"):
            self.assertEqual(c.command(line), NOT_SUPPORTED, repr(line))
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")


class DirectoryMoves(ServerTestCase):

    def setUp(self):
        super().setUp()
        os.makedirs(os.path.join(self.home, "sub", "deeper"))
        os.makedirs(os.path.join(self.home, "scans"))
        os.makedirs(os.path.join(self.home, "Reports", "Year2024"))
        self.write_file("scan.pdf", b"%PDF")
        self.c = self.logged_in()

    def test_root_forms(self):
        c = self.c
        for arg in ("CWD", "CWD /", "CWD //", "CWD \\", "CWD ///"):
            self.assertEqual(c.command("CWD sub"), cwd_ok(b"/sub"))
            self.assertEqual(c.command(arg), cwd_ok(b"/"), arg)
            self.assertEqual(c.command("PWD"), pwd_is(b"/"))

    def test_separator_forms_reach_the_same_folder(self):
        c = self.c
        for arg in ("sub\\deeper", "sub//deeper", "/sub/deeper/", "\\sub\\deeper\\", "/sub/./deeper"):
            self.assertEqual(c.command("CWD /"), cwd_ok(b"/"))
            self.assertEqual(c.command("CWD " + arg), cwd_ok(b"/sub/deeper"), arg)
            self.assertEqual(c.command("PWD"), pwd_is(b"/sub/deeper"))

    def test_relative_moves_and_dots(self):
        c = self.c
        self.assertEqual(c.command("CWD sub"), cwd_ok(b"/sub"))
        self.assertEqual(c.command("CWD ."), cwd_ok(b"/sub"))
        self.assertEqual(c.command("CWD ..."), cwd_ok(b"/sub"))
        self.assertEqual(c.command("CWD deeper"), cwd_ok(b"/sub/deeper"))
        self.assertEqual(c.command("CDUP"), cwd_ok(b"/sub"))
        self.assertEqual(c.command("CWD deeper/.."), cwd_ok(b"/sub"))
        self.assertEqual(c.command("CDUP"), cwd_ok(b"/"))
        self.assertEqual(c.command("CWD sub/.."), cwd_ok(b"/"))
        self.assertEqual(c.command("PWD"), pwd_is(b"/"))

    def test_leading_and_trailing_dots_are_dropped_from_segments(self):
        c = self.c
        self.assertEqual(c.command("CWD .scans"), cwd_ok(b"/scans"))
        self.assertEqual(c.command("CWD /scans."), cwd_ok(b"/scans"))
        self.assertEqual(c.command("CWD /..scans.."), cwd_ok(b"/scans"))

    def test_names_compare_without_case_and_are_shown_in_lower_case(self):
        c = self.c
        self.assertEqual(c.command("CWD Reports"), cwd_ok(b"/reports"))
        self.assertEqual(c.command("PWD"), pwd_is(b"/reports"))
        # The lower-case current folder still resolves to the folder on disk.
        self.assertEqual(c.command("CWD year2024"), cwd_ok(b"/reports/year2024"))
        self.assertEqual(c.command("CWD /REPORTS/YEAR2024"), cwd_ok(b"/reports/year2024"))
        self.assertEqual(c.command("CDUP"), cwd_ok(b"/reports"))

    def test_missing_folder_keeps_the_current_folder(self):
        c = self.c
        self.assertEqual(c.command("CWD sub"), cwd_ok(b"/sub"))
        self.assertEqual(c.command("CWD nothere"), not_found(b"nothere"))
        self.assertEqual(c.command("CWD My Dir"), not_found(b"My Dir"))
        self.assertEqual(c.command("CWD /nosub/.."), not_found(b"/nosub/.."))
        self.assertEqual(c.command("CWD .hidden/x"), not_found(b".hidden/x"))
        self.assertEqual(c.command("PWD"), pwd_is(b"/sub"))

    def test_file_name_is_accepted_like_a_folder(self):
        c = self.c
        self.assertEqual(c.command("CWD scan.pdf"), cwd_ok(b"/scan.pdf"))
        self.assertEqual(c.command("PWD"), pwd_is(b"/scan.pdf"))
        self.assertEqual(c.command("CWD x"), not_found(b"x"))
        self.assertEqual(c.command("CDUP"), cwd_ok(b"/"))


class Confinement(ServerTestCase):
    """Nothing above the home folder can be reached or touched."""

    def setUp(self):
        super().setUp()
        os.makedirs(os.path.join(self.home, "sub", "deeper"))
        self.outside = os.path.join(self.server.root, "outside")
        os.makedirs(os.path.join(self.outside, "inner"))
        os.symlink(self.outside, os.path.join(self.home, "outlink"))
        os.symlink("../..", os.path.join(self.home, "sub", "uplink"))
        self.outside_file = os.path.join(self.outside, "target.txt")
        with open(self.outside_file, "wb") as f:
            f.write(b"original")
        os.symlink(self.outside_file, os.path.join(self.home, "filelink"))
        os.symlink(os.path.join(self.outside, "newfile"), os.path.join(self.home, "dangling"))
        self.before = self.snapshot()
        self.c = self.logged_in()

    def snapshot(self):
        """Every name below the server's temp root except the home folder."""
        names = set()
        for dirpath, dirnames, filenames in os.walk(self.server.root):
            rel = os.path.relpath(dirpath, self.server.root)
            if rel == "home" or rel.startswith("home" + os.sep):
                continue
            for n in dirnames + filenames:
                names.add(os.path.join(rel, n))
        return names

    def test_climbing_above_home_is_refused(self):
        c = self.c
        for arg in ("..", "/..", "../..", "sub/../..", "\\..", "/sub/deeper/../../..",
                    "../home", "..\\..", "../outside"):
            self.assertEqual(c.command("CWD /"), cwd_ok(b"/"))
            self.assertEqual(c.command("CWD " + arg), denied(arg.encode()), arg)
            self.assertEqual(c.command("PWD"), pwd_is(b"/"), arg)
        self.assertEqual(c.command("CDUP"), denied(b".."))
        self.assertEqual(c.command("PWD"), pwd_is(b"/"))

    def test_climbing_from_a_subfolder_stops_at_the_refusal(self):
        c = self.c
        self.assertEqual(c.command("CWD sub/deeper"), cwd_ok(b"/sub/deeper"))
        self.assertEqual(c.command("CWD ../../.."), denied(b"../../.."))
        self.assertEqual(c.command("PWD"), pwd_is(b"/sub/deeper"))
        self.assertEqual(c.command("CDUP"), cwd_ok(b"/sub"))
        self.assertEqual(c.command("CDUP"), cwd_ok(b"/"))
        self.assertEqual(c.command("CDUP"), denied(b".."))

    def test_symlinks_pointing_outside_are_refused(self):
        c = self.c
        self.assertEqual(c.command("CWD outlink"), denied(b"outlink"))
        self.assertEqual(c.command("CWD /outlink/inner"), denied(b"/outlink/inner"))
        self.assertEqual(c.command("CWD sub/uplink"), denied(b"sub/uplink"))
        self.assertEqual(c.command("PWD"), pwd_is(b"/"))

    def test_uploads_cannot_escape(self):
        c = self.c
        for target in ("../escape.bin", "/../escape.bin", "sub/../../escape.bin",
                       "\\..\\escape.bin", "outlink/escape.bin", "sub/uplink/escape.bin",
                       "../outside/escape.bin", "filelink", "dangling", "sub/uplink/outside/x"):
            _, port = c.pasv()
            reply = c.command("STOR " + target)
            if reply.startswith(b"150"):
                # Should the server go ahead anyway, send a marker so any escape shows.
                d = data_connect(port)
                d.sendall(b"escaped")
                d.close()
                reply = c.read_line()
            self.assertTrue(reply.startswith(b"5") or reply.startswith(b"4"),
                            "%s: %r" % (target, reply))
            c.command("ABOR")
            c.read_available(0.2)
        self.assertEqual(self.snapshot(), self.before, "nothing outside home was created")
        with open(self.outside_file, "rb") as f:
            self.assertEqual(f.read(), b"original", "a file outside home was written through a link")
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")


class KoreanFolderNames(ServerTestCase):
    NAME = "스캔"

    def setUp(self):
        super().setUp()
        os.makedirs(os.path.join(self.home, self.NAME, "하위"))
        self.c = self.logged_in()

    def test_utf8_mode(self):
        c = self.c
        u = self.NAME.encode("utf-8")
        self.assertEqual(c.command("OPTS UTF8 ON"), b"200 OK\r\n")
        self.assertEqual(c.command(b"CWD " + u), cwd_ok(b"/" + u))
        self.assertEqual(c.command("PWD"), pwd_is(b"/" + u))
        self.assertEqual(c.command("CWD 하위".encode("utf-8")),
                         cwd_ok(("/%s/하위" % self.NAME).encode("utf-8")))
        self.assertEqual(c.command("CWD 없음".encode("utf-8")), not_found("없음".encode("utf-8")))
        self.assertEqual(c.command("TYPE 가".encode("utf-8")), "200 Type set to 가\r\n".encode("utf-8"))

    def test_code_page_mode_speaks_cp949_on_the_wire(self):
        c = self.c
        k = self.NAME.encode("cp949")
        self.assertEqual(c.command(b"CWD " + k), cwd_ok(b"/" + k))
        self.assertEqual(c.command("PWD"), pwd_is(b"/" + k))
        self.assertEqual(c.command("CWD 하위".encode("cp949")),
                         cwd_ok(("/%s/하위" % self.NAME).encode("cp949")))
        self.assertEqual(c.command("CWD 없음".encode("cp949")), not_found("없음".encode("cp949")))

    def test_code_page_mode_also_accepts_utf8_arguments(self):
        c = self.c
        self.assertEqual(c.command(b"CWD " + self.NAME.encode("utf-8")),
                         cwd_ok(b"/" + self.NAME.encode("cp949")))
        self.assertEqual(c.command("PWD"), pwd_is(b"/" + self.NAME.encode("cp949")))

    def test_lower_case_opts_leaves_utf8_mode_off(self):
        c = self.c
        self.assertEqual(c.command("OPTS utf8 on"), b"200 OK\r\n")
        self.assertEqual(c.command(b"CWD " + self.NAME.encode("utf-8")),
                         cwd_ok(b"/" + self.NAME.encode("cp949")))


class IdleTimeout(ServerTestCase):
    server_options = dict(timeout=0)

    def test_idle_client_is_ended_within_about_two_seconds(self):
        c = self.connect()
        self.assertEqual(c.read_line(), GREETING)
        start = time.monotonic()
        self.assertEqual(c.read_line(timeout=4), TIMED_OUT)
        self.assertLess(time.monotonic() - start, 3.5)
        self.assertTrue(c.wait_closed(3), "the timed-out connection is closed")
        # The slot is free again.
        c2 = self.connect()
        self.assertEqual(c2.read_line(), GREETING)

    def test_logged_in_idle_client_is_ended_too(self):
        c = self.logged_in()
        self.assertEqual(c.read_line(timeout=4), TIMED_OUT)
        self.assertTrue(c.wait_closed(3))


if __name__ == "__main__":
    unittest.main()
