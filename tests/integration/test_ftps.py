"""FTPS (explicit TLS): real clients upload over TLS with protection P, the
replies of AUTH/PBSZ/PROT/FEAT, what required mode refuses in clear, a
failed data handshake, and the old-version switch.  One server per mode."""

import ftplib
import glob
import io
import os
import socket
import ssl
import subprocess
import threading
import time
import unittest

from ftp_harness import FtpdServer, tool_available

PAYLOAD = bytes(range(256)) * 1200  # 300 KiB, many TLS records


class ReusingFTP_TLS(ftplib.FTP_TLS):
    """Resumes the control connection's TLS session on each data connection."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
            self.reused = conn.session_reused
        return conn, size


def start_server(*tls_args):
    server = FtpdServer(extra_args=list(tls_args))
    server.start()
    return server


class FtpsCase(unittest.TestCase):
    tls_args = ("--tls", "offered")

    @classmethod
    def setUpClass(cls):
        cls.server = start_server(*cls.tls_args)
        cls.pem = glob.glob(os.path.join(cls.server.root, "cfg", "**", "lumbra-tls.pem"),
                            recursive=True)

    @classmethod
    def tearDownClass(cls):
        code = cls.server.stop()
        stderr = cls.server.stderr_text()
        cls.server.cleanup()
        assert code == 0, "server exit code %r; stderr: %s" % (code, stderr)

    def context(self, **versions):
        ctx = ssl.create_default_context(cafile=self.pem[0])  # the generated certificate
        for name, version in versions.items():
            setattr(ctx, name, version)
        return ctx

    def tls_1_0_client(self):
        """A connected client that speaks TLS 1.0 only (skips where Python cannot)."""
        try:
            ctx = self.context(minimum_version=ssl.TLSVersion.TLSv1, maximum_version=ssl.TLSVersion.TLSv1)
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        except (ValueError, ssl.SSLError) as e:
            self.skipTest("this Python cannot speak TLS 1.0: %s" % e)
        ftp = ftplib.FTP_TLS(context=ctx, timeout=10)
        ftp.connect("127.0.0.1", self.server.port)
        return ftp

    def ftp(self, cls=ftplib.FTP_TLS, login=True, **versions):
        ftp = cls(context=self.context(**versions), timeout=10)
        for _ in range(50):  # the previous test's client may still hold the one place
            try:
                ftp.connect("127.0.0.1", self.server.port)
                break
            except ftplib.error_temp:
                time.sleep(0.1)
        else:
            self.fail("the server's one place stayed taken")
        self.addCleanup(self.leave, ftp)
        if login:
            ftp.login("anonymous", "x")
        return ftp

    @staticmethod
    def leave(ftp):
        """QUIT frees the one client's place at once for the next test."""
        if ftp.sock is None:
            return
        try:
            ftp.quit()
        except (ftplib.Error, OSError, EOFError):
            ftp.close()

    def local_file(self):
        path = os.path.join(self.server.root, "payload.bin")
        with open(path, "wb") as f:
            f.write(PAYLOAD)
        return path

    def assertArrived(self, name):
        with open(os.path.join(self.server.home, name), "rb") as f:
            self.assertEqual(f.read(), PAYLOAD, name)

    def run_tool(self, args):
        done = subprocess.run(args, capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))


class OfferedTest(FtpsCase):
    def test_certificate_is_private_and_its_fingerprint_announced(self):
        self.assertEqual(len(self.pem), 1)
        self.assertEqual(os.stat(self.pem[0]).st_mode & 0o777, 0o600)
        line = self.server.wait_for_output(lambda l: l.startswith("tls "))
        self.assertRegex(line, r"^tls offered, certificate sha256 ([0-9A-F]{2}:){31}[0-9A-F]{2}$")

    def test_python_uploads_passive_active_and_resuming(self):
        for cls, passive, name in ((ftplib.FTP_TLS, True, "plain.bin"), (ReusingFTP_TLS, True, "reused.bin"),
                                   (ftplib.FTP_TLS, False, "active.bin")):
            with self.subTest(name):
                ftp = self.ftp(cls)
                ftp.set_pasv(passive)
                ftp.prot_p()
                with open(self.local_file(), "rb") as f:
                    self.assertTrue(ftp.storbinary("STOR " + name, f).startswith("226"))
                self.assertTrue(any(line.endswith(" " + name) for line in ftp.nlst()))  # a listing over TLS
                self.leave(ftp)
                self.assertArrived(name)
                if cls is ReusingFTP_TLS:
                    self.assertTrue(ftp.reused, "the data connection resumed the session")

    def test_curl_and_lftp_upload_over_tls(self):
        local = self.local_file()
        url = "ftp://anonymous:x@127.0.0.1:%d/" % self.server.port
        tools = [
            ("curl.bin", ["curl", "-sS", "--max-time", "30", "--ssl-reqd", "-k", "-T", local, url + "curl.bin"]),
            ("lftp.bin", ["lftp", "-e", "set ftp:ssl-force yes; set ftp:ssl-protect-data yes; "
                      "set ssl:verify-certificate no; set net:max-retries 1; "
                      "put %s -o lftp.bin; bye" % local,
                      "-u", "anonymous,x", "127.0.0.1:%d" % self.server.port]),
        ]
        for name, args in tools:
            with self.subTest(name):
                if not tool_available(args[0]):
                    self.skipTest(args[0] + " is not installed")
                self.run_tool(args)
                self.assertArrived(name)

    def test_replies_of_the_tls_verbs(self):
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as raw, \
                raw.makefile("rb") as reader:
            reader.readline()
            for line, reply in ((b"PBSZ 0", b"503 Use AUTH TLS first.\r\n"),
                                (b"PROT P", b"503 Use AUTH TLS first.\r\n"),
                                (b"AUTH KERBEROS", b"504 Unknown AUTH type.\r\n"),
                                (b"FEAT", b"211-Features:\r\n AUTH TLS\r\n PBSZ\r\n PROT\r\n UTF8\r\n211 End\r\n")):
                raw.sendall(line + b"\r\n")
                got = b"".join(reader.readline() for _ in range(reply.count(b"\n")))
                self.assertEqual(got, reply, line)
        ftp = self.ftp(login=False)
        ftp.auth()
        for line, reply in (("AUTH TLS", "503 Already using TLS."), ("PBSZ 1024", "200 PBSZ=0"),
                            ("PROT S", "536 Protection level not supported."),
                            ("PROT C", "200 Protection level set to C."),
                            ("PROT P", "200 Protection level set to P.")):
            try:
                got = ftp.sendcmd(line)
            except ftplib.Error as e:
                got = str(e)
            self.assertEqual(got, reply, line)

    def test_failed_data_handshake_fails_the_upload(self):
        # Garbage instead of a ClientHello, and silence until the 10 s wait ends.
        for name, hello in (("broken.bin", b"this is no TLS ClientHello\r\n" * 4), ("silent.bin", b"")):
            with self.subTest(name):
                ftp = self.ftp()
                ftp.prot_p()
                host, port = ftp.makepasv()
                data = socket.create_connection((host, port), timeout=10)
                ftp.putcmd("STOR " + name)
                self.assertTrue(ftp.getline().startswith("150"))
                data.sendall(hello)
                ftp.sock.settimeout(20)
                with self.assertRaises(ftplib.error_perm) as raised:
                    ftp.voidresp()
                self.assertEqual(str(raised.exception), "522 TLS negotiation failed on the data connection.")
                data.close()
                self.leave(ftp)
                self.assertFalse(os.path.exists(os.path.join(self.server.home, name)))
                self.assertIsNotNone(self.server.wait_for_output(lambda l: l.endswith("upload failed " +
                                     os.path.join(self.server.home, name))))

    def test_prot_p_after_the_data_connection_came_still_secures_it(self):
        # PASV, the client connects at once, only then PROT P: the upload's
        # data must go over TLS, never be taken as the file's clear bytes.
        ftp = self.ftp()
        host, port = ftp.makepasv()
        data = socket.create_connection((host, port), timeout=10)
        ftp.voidcmd("NOOP")  # served in the turn that takes the waiting connection, or after it
        ftp.prot_p()
        ftp.putcmd("STOR late.bin")
        self.assertTrue(ftp.getline().startswith("150"))
        secured = ftp.context.wrap_socket(data, server_hostname="127.0.0.1", session=ftp.sock.session)
        secured.sendall(PAYLOAD)
        secured.unwrap().close()
        self.assertEqual(ftp.voidresp(), "226 Transfer complete")
        self.assertArrived("late.bin")

    def test_tls_1_0_client_is_refused_by_default(self):
        ftp = self.tls_1_0_client()
        self.addCleanup(ftp.close)
        with self.assertRaises(ssl.SSLError):
            ftp.auth()


class LegacyTest(FtpsCase):
    tls_args = ("--tls", "offered", "--tls-legacy")

    def test_tls_1_0_client_is_served(self):
        ftp = self.tls_1_0_client()
        self.addCleanup(self.leave, ftp)
        try:
            ftp.auth()
        except ssl.SSLError as e:
            self.skipTest("the local OpenSSL refuses TLS 1.0 on the client side: %s" % e)
        self.assertEqual(ftp.sock.version(), "TLSv1")
        ftp.login("anonymous", "x")
        ftp.prot_p()
        with open(self.local_file(), "rb") as f:
            ftp.storbinary("STOR old.bin", f)
        self.assertArrived("old.bin")


class RequiredTest(FtpsCase):
    tls_args = ("--tls", "required")

    def test_clear_login_and_clear_data_are_refused(self):
        ftp = self.ftp(login=False)
        for line, reply in (("USER anonymous", "530 TLS required: use AUTH TLS first."),
                            ("PASS x", "530 TLS required: use AUTH TLS first.")):
            with self.assertRaises(ftplib.error_perm) as raised:
                ftp.sendcmd(line)
            self.assertEqual(str(raised.exception), reply)
        ftp.login("anonymous", "x")  # AUTH TLS first, by FTP_TLS itself
        for line, reply in (("PROT C", "534 PROT P required."),
                            ("STOR clear.bin", "521 Data connections must use PROT P."),
                            ("NLST", "521 Data connections must use PROT P.")):
            with self.assertRaises(ftplib.error_perm) as raised:
                ftp.sendcmd(line)
            self.assertEqual(str(raised.exception), reply)
        ftp.prot_p()
        with open(self.local_file(), "rb") as f:
            ftp.storbinary("STOR protected.bin", f)
        self.assertArrived("protected.bin")


class PlainScanTest(FtpsCase):
    """Paced reads leave the client's close_notify in the stream, not in the
    socket: it must still end the upload."""
    tls_args = ("--tls", "offered", "--plain-scan")

    def test_paced_upload_ends_with_close_notify(self):
        ftp = self.ftp()
        ftp.prot_p()
        data = PAYLOAD[:20000]
        self.assertTrue(ftp.storbinary("STOR paced.bin", io.BytesIO(data)).startswith("226"))
        with open(os.path.join(self.server.home, "paced.bin"), "rb") as f:
            self.assertEqual(f.read(), data)


    def test_broken_record_behind_a_full_paced_read_fails_the_upload_at_once(self):
        # One record of exactly one paced read, then a broken one: nothing more
        # comes from the socket, the stream alone knows of the failure.
        ftp = self.ftp()
        ftp.prot_p()
        host, port = ftp.makepasv()
        data = socket.create_connection((host, port), timeout=10)
        ftp.putcmd("STOR broken-paced.bin")
        self.assertTrue(ftp.getline().startswith("150"))
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.context().wrap_bio(incoming, outgoing, server_hostname="127.0.0.1")
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                data.sendall(outgoing.read())
                incoming.write(data.recv(65536))
        data.sendall(outgoing.read())
        tls.write(b"a" * 4096)
        tls.write(b"b" * 100)
        records = bytearray(outgoing.read())
        records[-5] ^= 0x55
        data.sendall(records)
        ftp.sock.settimeout(10)  # not the idle time-out's minutes
        with self.assertRaises(ftplib.error_temp):
            ftp.voidresp()
        data.close()
        self.assertFalse(os.path.exists(os.path.join(self.server.home, "broken-paced.bin")))


class TwoFirstStartsTest(unittest.TestCase):
    def test_two_servers_switched_on_at_once_serve_one_certificate(self):
        first = FtpdServer(extra_args=["--tls", "offered"])
        second = FtpdServer(extra_args=["--tls", "offered"], root=first.root)
        second.stderr_path += ".second"
        self.addCleanup(first.cleanup)
        self.addCleanup(second.kill)
        starts = [threading.Thread(target=s.start) for s in (first, second)]
        for t in starts:
            t.start()
        for t in starts:
            t.join()
        lines = [s.wait_for_output(lambda l: l.startswith("tls ")) for s in (first, second)]
        self.assertEqual([s.stop() for s in (first, second)], [0, 0])
        self.assertIsNotNone(lines[0], first.stderr_text())
        self.assertEqual(lines[0], lines[1], second.stderr_text())
        folder = os.path.dirname(glob.glob(os.path.join(first.root, "cfg", "**", "lumbra-tls.pem"),
                                           recursive=True)[0])
        self.assertEqual([n for n in os.listdir(folder) if "tls" in n], ["lumbra-tls.pem"])


class StoredModeTest(unittest.TestCase):
    """--save stores the mode; a bad stored mode is reported and ignored."""

    def test_saved_mode_is_served_and_a_bad_one_ignored(self):
        server = FtpdServer()
        self.addCleanup(server.cleanup)
        env = server.environment()
        saved = subprocess.run([server.arguments()[0], "--save", "--tls", "required", "--tls-legacy"],
                               env=env, capture_output=True, timeout=30)
        self.assertEqual(saved.returncode, 0, saved.stderr)
        reg = glob.glob(os.path.join(server.root, "cfg", "**", "Lumbra.reg"), recursive=True)[0]
        with open(reg, "rb") as f:
            text = f.read()
        self.assertIn(b'"TlsMode"=dword:00000002', text)
        self.assertIn(b'"TlsLegacy"=dword:00000001', text)
        for stored, expected in ((b"00000002", "tls required, certificate sha256 "), (b"00000007", None)):
            with open(reg, "wb") as f:
                f.write(text.replace(b'"TlsMode"=dword:00000002', b'"TlsMode"=dword:' + stored))
            server.start()
            line = server.wait_for_output(lambda l: l.startswith("tls ") or l.startswith("passive"))
            code = server.stop()
            self.assertEqual(code, 0)
            if expected:
                self.assertTrue(server.wait_for_output(lambda l: l.startswith(expected), wait=1), line)
            else:
                self.assertIn("the stored TlsMode is not 0, 1 or 2; TLS stays off", server.stderr_text())
                self.assertFalse([l for l in server.output_lines if l.startswith("tls ")])


if __name__ == "__main__":
    unittest.main()
