"""File-management commands (MKD, RMD, DELE, RNFR/RNTO) byte for byte on a
raw control connection, listings over real passive data connections with
ftplib, and confinement of all of them to the home folder.

One server per test class; every test starts from an empty home folder and
ends its sessions with QUIT, since the server serves one client at a time."""

import ftplib
import os
import shutil
import time
import unittest

from ftp_harness import REPLY_TIMEOUT, SharedServerTestCase

KOREAN = "스캔 문서.pdf"
# 2020-01-15 12:00 local time: old enough for the year form of the date.
OLD_MTIME = time.mktime((2020, 1, 15, 12, 0, 0, 0, 0, -1))

DIR_CREATED = b"257 Directory created successfully.\r\n"
DIR_EXISTS = b"550 Directory already exists.\r\n"
MKD_DENIED = b"550 Can't create directory. Permission denied.\r\n"
MKD_FAILED = b"450 Internal error creating the directory.\r\n"
DIR_DELETED = b"250 Directory deleted successfully.\r\n"
DIR_NOT_EMPTY = b"550 Directory not empty.\r\n"
DIR_NOT_FOUND = b"550 Directory not found.\r\n"
RMD_FAILED = b"450 Internal error deleting the directory.\r\n"
DENIED = b"550 Permission denied.\r\n"
DELE_DENIED = b"550 Permission denied\r\n"
FILE_NOT_FOUND = b"550 File not found.\r\n"
READY_FOR_NAME = b"350 File exists, ready for destination name\r\n"
RENAMED = b"250 File renamed successfully.\r\n"
RENAME_FAILED = b"550 File rename failed.\r\n"
ALREADY_EXISTS = b"550 File already exists.\r\n"


def deleted(client_path):
    return b'250 File "' + client_path + b'" was deleted successfully.\r\n'


def clock(mtime):
    """How a listing dates a time of the last months: "Mar 07 14:05"."""
    return time.strftime("%b %d %H:%M", time.localtime(mtime)).encode()


def set_old_mtime(path):
    os.utime(path, (OLD_MTIME, OLD_MTIME), follow_symlinks=False)


class SharedServerCase(SharedServerTestCase):
    """One server for the whole class; the home folder is emptied before
    each test."""

    def setUp(self):
        for name in os.listdir(self.home):
            path = os.path.join(self.home, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)

    # -- sessions ------------------------------------------------------------
    def raw(self):
        c = self.server.client().login()
        self.addCleanup(self._quit_raw, c)
        return c

    @staticmethod
    def _quit_raw(c):
        try:
            c.command("QUIT")
        except Exception:
            pass
        c.close()

    def ftp(self, utf8=False):
        f = ftplib.FTP(timeout=REPLY_TIMEOUT)
        f.connect("127.0.0.1", self.server.port)
        self.addCleanup(self._quit_ftp, f)
        f.login("anonymous", "x")
        if utf8:
            self.assertEqual(f.sendcmd("OPTS UTF8 ON"), "200 OK")
        return f

    @staticmethod
    def _quit_ftp(f):
        try:
            f.quit()
        except Exception:
            f.close()

    def list_bytes(self, f, argument=None):
        """The raw listing bytes and the closing reply of one LIST."""
        chunks = []
        command = "LIST" if argument is None else "LIST " + argument
        final = f.retrbinary(command, chunks.append)
        return b"".join(chunks), final

    # -- files -----------------------------------------------------------------
    def path(self, relpath):
        return os.path.join(self.home, relpath)

    def write_file(self, relpath, data=b"x", mtime=None):
        path = self.path(relpath)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(path, (mtime, mtime))
        return path

    def names(self, relpath=""):
        return sorted(os.listdir(self.path(relpath)))


class MakeDirectory(SharedServerCase):

    def test_missing_levels_are_made_on_the_way(self):
        os.mkdir(self.path("a"))
        c = self.raw()
        self.assertEqual(c.command("MKD a/b/c"), DIR_CREATED)
        self.assertTrue(os.path.isdir(self.path("a/b/c")))
        self.assertEqual(c.command("MKD x\\y"), DIR_CREATED)
        self.assertTrue(os.path.isdir(self.path("x/y")))

    def test_existing_folder_or_file_name_already_exists(self):
        os.mkdir(self.path("Scans"))
        self.write_file("scan.pdf")
        c = self.raw()
        self.assertEqual(c.command("MKD scans"), DIR_EXISTS)
        self.assertEqual(c.command("MKD Scan.PDF"), DIR_EXISTS)
        self.assertEqual(self.names(), ["Scans", "scan.pdf"])

    def test_empty_argument_and_root_fail(self):
        c = self.raw()
        self.assertEqual(c.command("MKD"), MKD_FAILED)
        self.assertEqual(c.command("MKD /"), MKD_FAILED)
        self.assertEqual(self.names(), [])

    def test_below_a_file_fails(self):
        self.write_file("scan.pdf")
        c = self.raw()
        self.assertEqual(c.command("MKD scan.pdf/sub"), MKD_FAILED)
        self.assertTrue(os.path.isfile(self.path("scan.pdf")))

    def test_relative_to_the_current_folder(self):
        os.mkdir(self.path("Sub"))
        c = self.raw()
        c.command("CWD sub")
        self.assertEqual(c.command("MKD new"), DIR_CREATED)
        self.assertTrue(os.path.isdir(self.path("Sub/new")))


class RemoveDirectory(SharedServerCase):

    def test_empty_folder_is_removed(self):
        os.makedirs(self.path("Old/empty"))
        c = self.raw()
        self.assertEqual(c.command("RMD old/EMPTY"), DIR_DELETED)
        self.assertEqual(self.names("Old"), [])

    def test_failures(self):
        self.write_file("full/scan.pdf")
        self.write_file("scan.pdf")
        c = self.raw()
        self.assertEqual(c.command("RMD full"), DIR_NOT_EMPTY)
        self.assertEqual(c.command("RMD missing"), DIR_NOT_FOUND)
        self.assertEqual(c.command("RMD /"), DIR_NOT_FOUND)
        self.assertEqual(c.command("RMD"), DIR_NOT_FOUND)
        self.assertEqual(c.command("RMD scan.pdf"), RMD_FAILED)
        self.assertEqual(self.names(), ["full", "scan.pdf"])
        self.assertEqual(self.names("full"), ["scan.pdf"])

    def test_home_folder_itself_is_never_removed(self):
        os.mkdir(self.path("sub"))
        c = self.raw()
        self.assertEqual(c.command("RMD sub/.."), DENIED)
        self.assertEqual(c.command("RMD ."), DENIED)
        self.assertTrue(os.path.isdir(self.path("sub")))
        os.rmdir(self.path("sub"))
        self.assertEqual(c.command("RMD sub/.."), DIR_NOT_FOUND)
        self.assertEqual(c.command("RMD /."), DENIED)
        self.assertTrue(os.path.isdir(self.home))


class DeleteFile(SharedServerCase):

    def test_delete_names_the_lower_case_client_path(self):
        self.write_file("sub/Scan.PDF")
        self.write_file("sub/keep.pdf")
        c = self.raw()
        self.assertEqual(c.command("DELE sub/Scan.PDF"), deleted(b"/sub/scan.pdf"))
        self.assertEqual(self.names("sub"), ["keep.pdf"])

    def test_folder_or_missing_file_is_not_found(self):
        os.mkdir(self.path("sub"))
        c = self.raw()
        self.assertEqual(c.command("DELE sub"), FILE_NOT_FOUND)
        self.assertEqual(c.command("DELE nothere.pdf"), FILE_NOT_FOUND)
        self.assertEqual(c.command("DELE"), FILE_NOT_FOUND)
        self.assertEqual(c.command("DELE ."), DELE_DENIED)
        self.assertTrue(os.path.isdir(self.path("sub")))

    def test_korean_name_in_code_page_and_utf8_mode(self):
        self.write_file(KOREAN)
        self.write_file("sub/" + KOREAN)
        c = self.raw()
        self.assertEqual(c.command(b"DELE " + KOREAN.encode("cp949")),
                         deleted(b"/" + KOREAN.encode("cp949")))
        self.assertEqual(c.command("OPTS UTF8 ON"), b"200 OK\r\n")
        self.assertEqual(c.command("DELE sub/" + KOREAN),
                         deleted(("/sub/" + KOREAN).encode("utf-8")))
        self.assertEqual(self.names(), ["sub"])
        self.assertEqual(self.names("sub"), [])


class Rename(SharedServerCase):

    def test_rename_in_place_takes_the_lower_case_name(self):
        self.write_file("Scan.PDF", b"scan data")
        c = self.raw()
        self.assertEqual(c.command("RNFR Scan.PDF"), READY_FOR_NAME)
        self.assertEqual(c.command("RNTO Final.PDF"), RENAMED)
        self.assertEqual(self.names(), ["final.pdf"])
        with open(self.path("final.pdf"), "rb") as f:
            self.assertEqual(f.read(), b"scan data")

    def test_move_into_a_subfolder_keeps_the_folder_name(self):
        self.write_file("scan.pdf")
        os.mkdir(self.path("Sub"))
        c = self.raw()
        self.assertEqual(c.command("RNFR SCAN.pdf"), READY_FOR_NAME)
        self.assertEqual(c.command("RNTO sub/Final.PDF"), RENAMED)
        self.assertEqual(self.names(), ["Sub"])
        self.assertEqual(self.names("Sub"), ["final.pdf"])

    def test_missing_source_or_folder_clears_the_pending_rename(self):
        self.write_file("scan.pdf")
        os.mkdir(self.path("sub"))
        c = self.raw()
        for source in ("missing.pdf", "sub", "", "nofolder/scan.pdf"):
            self.assertEqual(c.command("RNFR scan.pdf"), READY_FOR_NAME)
            self.assertEqual(c.command("RNFR " + source), FILE_NOT_FOUND, source)
            self.assertEqual(c.command("RNTO other.pdf"), RENAME_FAILED, source)
        self.assertEqual(self.names(), ["scan.pdf", "sub"])

    def test_existing_target_is_kept_and_both_names_are_cleared(self):
        self.write_file("a.pdf", b"a")
        self.write_file("B.pdf", b"b")
        c = self.raw()
        self.assertEqual(c.command("RNFR a.pdf"), READY_FOR_NAME)
        self.assertEqual(c.command("RNTO b.PDF"), ALREADY_EXISTS)
        self.assertEqual(c.command("RNTO c.pdf"), RENAME_FAILED)
        self.assertEqual(self.names(), ["B.pdf", "a.pdf"])
        with open(self.path("B.pdf"), "rb") as f:
            self.assertEqual(f.read(), b"b")

    def test_target_naming_a_folder_or_missing_folder_fails(self):
        self.write_file("scan.pdf", b"data")
        os.mkdir(self.path("Dest"))
        c = self.raw()
        for target in ("dest", "DEST", "nofolder/x.pdf"):
            self.assertEqual(c.command("RNFR scan.pdf"), READY_FOR_NAME)
            self.assertEqual(c.command("RNTO " + target), RENAME_FAILED, target)
        self.assertEqual(self.names(), ["Dest", "scan.pdf"])
        self.assertEqual(self.names("Dest"), [])

    def test_rnto_without_rnfr_fails(self):
        self.write_file("scan.pdf")
        c = self.raw()
        self.assertEqual(c.command("RNTO new.pdf"), RENAME_FAILED)
        self.assertEqual(self.names(), ["scan.pdf"])

    def test_source_replaced_by_a_folder_is_not_renamed(self):
        self.write_file("scan.pdf")
        c = self.raw()
        self.assertEqual(c.command("RNFR scan.pdf"), READY_FOR_NAME)
        os.unlink(self.path("scan.pdf"))
        os.mkdir(self.path("scan.pdf"))
        self.assertEqual(c.command("RNTO moved"), RENAME_FAILED)
        self.assertEqual(self.names(), ["scan.pdf"])

    def test_other_commands_between_keep_the_pending_source(self):
        self.write_file("scan.pdf")
        c = self.raw()
        self.assertEqual(c.command("RNFR scan.pdf"), READY_FOR_NAME)
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")
        self.assertEqual(c.command("MKD sub"), DIR_CREATED)
        self.assertEqual(c.command("RNTO sub/scan.pdf"), RENAMED)
        self.assertEqual(self.names("sub"), ["scan.pdf"])


class Listing(SharedServerCase):

    def test_empty_folder_sends_no_data(self):
        data, final = self.list_bytes(self.ftp())
        self.assertEqual(data, b"")
        self.assertEqual(final, "226 Transfer completed")

    def test_entries_sorted_with_folders_and_without_dots(self):
        self.write_file("b.pdf", b"12345", OLD_MTIME)
        os.mkdir(self.path("A"))
        set_old_mtime(self.path("A"))
        recent = time.time() - 3600
        self.write_file("c.pdf", b"", recent)
        data, final = self.list_bytes(self.ftp())
        self.assertTrue(final.startswith("226"), final)
        self.assertEqual(data, b"drwx------ 1 user group             0 Jan 15 2020 A\r\n"
                               b"-rwx------ 1 user group             5 Jan 15 2020 b.pdf\r\n"
                               b"-rwx------ 1 user group             0 %s c.pdf\r\n" % clock(recent))

    def test_links_show_their_target_and_a_dangling_one_an_empty_file(self):
        self.write_file("b.pdf", b"12345", OLD_MTIME)
        os.mkdir(self.path("dir"))
        set_old_mtime(self.path("dir"))
        os.symlink("b.pdf", self.path("c-file-link"))
        os.symlink("dir", self.path("d-dir-link"))
        os.symlink("nowhere", self.path("e-dangling"))
        os.utime(self.path("e-dangling"), (OLD_MTIME, OLD_MTIME - 86400), follow_symlinks=False)
        data, _ = self.list_bytes(self.ftp())
        self.assertEqual(data, b"-rwx------ 1 user group             5 Jan 15 2020 b.pdf\r\n"
                               b"-rwx------ 1 user group             5 Jan 15 2020 c-file-link\r\n"
                               b"drwx------ 1 user group             0 Jan 15 2020 d-dir-link\r\n"
                               b"drwx------ 1 user group             0 Jan 15 2020 dir\r\n"
                               b"-rwx------ 1 user group             0 Jan 14 2020 e-dangling\r\n")

    def test_each_line_carries_its_own_date(self):
        # Alternating dates: a date column must never carry over to the next line.
        recent = time.time() - 7200
        for i in range(6):
            self.write_file("p%d.pdf" % i, b"x" * (10 ** i), (OLD_MTIME, recent, OLD_MTIME + 86400)[i % 3])
        data, _ = self.list_bytes(self.ftp())
        self.assertEqual(data, b"-rwx------ 1 user group             1 Jan 15 2020 p0.pdf\r\n"
                               b"-rwx------ 1 user group            10 %s p1.pdf\r\n"
                               b"-rwx------ 1 user group           100 Jan 16 2020 p2.pdf\r\n"
                               b"-rwx------ 1 user group          1000 Jan 15 2020 p3.pdf\r\n"
                               b"-rwx------ 1 user group         10000 %s p4.pdf\r\n"
                               b"-rwx------ 1 user group        100000 Jan 16 2020 p5.pdf\r\n"
                               % (clock(recent), clock(recent)))

    def test_a_big_folder_lists_every_entry_with_its_own_attributes(self):
        # Big enough for the attributes to be looked up on two threads: each
        # line must still carry the size and date of its own name.
        expected = b""
        for i in range(3000):
            self.write_file("f%04d.pdf" % i, b"x" * i, OLD_MTIME + 86400 * (i % 7))
            expected += b"-rwx------ 1 user group %13d Jan %d 2020 f%04d.pdf\r\n" % (i, 15 + i % 7, i)
        os.symlink("f0005.pdf", self.path("g-link.pdf"))
        os.mkdir(self.path("h-folder"))
        set_old_mtime(self.path("h-folder"))
        expected += (b"-rwx------ 1 user group             5 Jan 20 2020 g-link.pdf\r\n"
                     b"drwx------ 1 user group             0 Jan 15 2020 h-folder\r\n")
        data, final = self.list_bytes(self.ftp())
        self.assertEqual(data, expected)
        self.assertTrue(final.startswith("226"))

    def test_file_argument_lists_that_file(self):
        self.write_file("sub/scan.pdf", b"x" * 1234, OLD_MTIME)
        self.write_file("sub/other.pdf")
        data, _ = self.list_bytes(self.ftp(), "sub/Scan.PDF")
        self.assertEqual(
            data, b"-rwx------ 1 user group          1234 Jan 15 2020 scan.pdf\r\n")

    def test_trailing_asterisk_lists_the_folder(self):
        self.write_file("top.pdf", b"t", OLD_MTIME)
        self.write_file("sub/inner.pdf", b"i", OLD_MTIME)
        set_old_mtime(self.path("sub"))
        f = self.ftp()
        f.cwd("sub")
        inner = b"-rwx------ 1 user group             1 Jan 15 2020 inner.pdf\r\n"
        self.assertEqual(self.list_bytes(f)[0], inner)
        self.assertEqual(self.list_bytes(f, "*")[0], inner)
        self.assertEqual(self.list_bytes(f, "/*")[0],
                         b"drwx------ 1 user group             0 Jan 15 2020 sub\r\n"
                         b"-rwx------ 1 user group             1 Jan 15 2020 top.pdf\r\n")

    def test_options_and_wildcards_are_folder_names(self):
        self.write_file("scan.pdf")
        c = self.raw()
        for argument in (b"-l", b"*.pdf", b"-la /"):
            self.assertEqual(c.command(b"LIST " + argument),
                             b'550 "' + argument + b'": Directory not found.\r\n')
        self.assertEqual(c.command(b"NLST -l"), b'550 "-l": Directory not found.\r\n')
        self.assertEqual(c.command("NOOP"), b"200 OK\r\n")

    def test_long_listing_arrives_whole(self):
        expected = b""
        for i in range(120):
            name = "scan_%04d_with_a_long_descriptive_name.pdf" % i
            self.write_file(name, b"z" * i, OLD_MTIME)
            expected += b"-rwx------ 1 user group %13d Jan 15 2020 %s\r\n" % (i, name.encode())
        self.assertGreater(len(expected), 4096)
        data, final = self.list_bytes(self.ftp())
        self.assertTrue(final.startswith("226"), final)
        self.assertEqual(data, expected)

    def test_korean_name_in_utf8_and_in_cp949(self):
        self.write_file(KOREAN, b"abc", OLD_MTIME)
        utf8_session = self.ftp(utf8=True)
        data, _ = self.list_bytes(utf8_session)
        line = b"-rwx------ 1 user group             3 Jan 15 2020 %s\r\n"
        self.assertEqual(data, line % KOREAN.encode("utf-8"))
        utf8_session.quit()
        data, _ = self.list_bytes(self.ftp())
        self.assertEqual(data, line % KOREAN.encode("cp949"))

    def test_large_file_and_links(self):
        with open(self.path("big.bin"), "wb") as f:
            f.truncate(5 * 1024 ** 3)  # sparse: takes no disk space
        set_old_mtime(self.path("big.bin"))
        self.write_file("target.pdf", b"12", OLD_MTIME)
        os.symlink("target.pdf", self.path("link.pdf"))
        os.symlink("gone.pdf", self.path("dangling"))
        set_old_mtime(self.path("dangling"))
        data, _ = self.list_bytes(self.ftp())
        self.assertEqual(data, b"-rwx------ 1 user group    5368709120 Jan 15 2020 big.bin\r\n"
                               b"-rwx------ 1 user group             0 Jan 15 2020 dangling\r\n"
                               b"-rwx------ 1 user group             2 Jan 15 2020 link.pdf\r\n"
                               b"-rwx------ 1 user group             2 Jan 15 2020 target.pdf\r\n")


class Confinement(SharedServerCase):
    """Nothing outside the home folder is made, renamed or deleted, whether
    reached by climbing or through a symbolic link inside the home folder."""

    def setUp(self):
        super().setUp()
        self.outside = os.path.join(self.root, "outside")
        shutil.rmtree(self.outside, ignore_errors=True)
        os.makedirs(os.path.join(self.outside, "dir"))
        with open(os.path.join(self.outside, "secret.txt"), "wb") as f:
            f.write(b"secret")
        os.symlink(self.outside, self.path("link"))
        os.symlink(os.path.join(self.outside, "secret.txt"), self.path("filelink"))
        self.write_file("mine.pdf", b"mine")
        self.before = self.snapshot()

    def snapshot(self):
        found = []
        for top, dirs, files in os.walk(self.root):
            for name in dirs + files:
                found.append(os.path.relpath(os.path.join(top, name), self.root))
        return sorted(p for p in found if p != "stderr.txt")

    def assertNothingChanged(self):
        self.assertEqual(self.snapshot(), self.before)
        with open(os.path.join(self.outside, "secret.txt"), "rb") as f:
            self.assertEqual(f.read(), b"secret")

    def test_mkd(self):
        c = self.raw()
        for argument in ("../x", "/../x", "link/x", "sub/../../x", "link"):
            self.assertEqual(c.command("MKD " + argument), MKD_DENIED, argument)
        self.assertNothingChanged()

    def test_dele(self):
        c = self.raw()
        for argument in ("../outside/secret.txt", "/../outside/secret.txt",
                         "link/secret.txt", "filelink", "link"):
            self.assertEqual(c.command("DELE " + argument), DELE_DENIED, argument)
        self.assertNothingChanged()

    def test_rnfr(self):
        c = self.raw()
        for argument in ("../outside/secret.txt", "/../outside/secret.txt",
                         "link/secret.txt", "filelink"):
            self.assertEqual(c.command("RNFR " + argument), DENIED, argument)
            self.assertEqual(c.command("RNTO taken.pdf"), RENAME_FAILED, argument)
        self.assertNothingChanged()

    def test_rnto(self):
        c = self.raw()
        for argument in ("../x.pdf", "/../x.pdf", "link/x.pdf", "link/dir/x.pdf"):
            self.assertEqual(c.command("RNFR mine.pdf"), READY_FOR_NAME)
            self.assertEqual(c.command("RNTO " + argument), RENAME_FAILED, argument)
        self.assertNothingChanged()

    def test_rmd(self):
        c = self.raw()
        for argument in ("../outside/dir", "/../outside/dir", "link/dir", "link", ".."):
            self.assertEqual(c.command("RMD " + argument), DENIED, argument)
        self.assertNothingChanged()

    def test_list(self):
        c = self.raw()
        for argument in ("..", "/../outside", "link", "link/*"):
            shown = argument.rstrip("*")
            self.assertEqual(c.command("LIST " + argument),
                             b'550 "' + shown.encode() + b'": Permission denied.\r\n')
        self.assertNothingChanged()


if __name__ == "__main__":
    unittest.main()
