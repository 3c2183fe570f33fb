"""The one FTP client every server in bench/compare.py is driven with.

Raw sockets and a buffered reader, so that the client costs the same for
every server and as little as Python allows. Every data connection goes to
127.0.0.1, whatever address a passive reply names.

With a TLS context the session is explicit FTPS as the common clients do it
(curl, lftp, ftplib): AUTH TLS before the login, PBSZ 0 and PROT P after it,
and every data connection secured after the server's 150, resuming the
control connection's session (a server that does not resume gets a full
handshake).
"""

import re
import socket
import ssl

TIMEOUT = 60.0
# TLS 1.2 with one AES-GCM suite, the same for every server: Python's ssl
# module can pin a TLS 1.2 suite (set_ciphers) but has no call that pins a
# TLS 1.3 one, and every server of the comparison speaks 1.2.
TLS_CIPHER = "ECDHE-RSA-AES128-GCM-SHA256"
SEND_BLOCK = 1 << 20
PASV_REPLY = re.compile(rb"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")


class FtpError(Exception):
    pass


def no_delay(sock):
    """TLS connections write without Nagle's algorithm, as curl and lftp do:
    otherwise the small records after a bulk send (the last piece of the
    file, close_notify) wait for the server's delayed acknowledgement, and
    W1 over TLS would time that timer instead of the server."""
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def tls_context():
    """The client side of every TLS connection: the bench's own self-signed
    certificate is not checked, the version and the suite are pinned."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1_2
    context.set_ciphers(TLS_CIPHER)
    return context


class Session:
    def __init__(self, port, tls=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.reader = self.sock.makefile("rb")
        self.tls = tls
        self.data_resumed = self.data_connections = 0
        self.greeting = self.reply()
        if tls is not None:
            self.secure_control()

    def secure_control(self):
        if self.greeting[0] != 220:
            raise FtpError("greeting %r" % (self.greeting,))
        self.command("AUTH TLS", expect=(2,))
        self.reader.close()
        self.sock = self.tls.wrap_socket(no_delay(self.sock))
        if self.sock.cipher()[0] != TLS_CIPHER:
            raise FtpError("control connection negotiated %r" % (self.sock.cipher(),))
        self.reader = self.sock.makefile("rb")

    def reply(self):
        """One whole reply (multi-line replies too) as (code, last line)."""
        line = self.reader.readline()
        if len(line) < 4:
            raise FtpError("connection closed: %r" % line)
        code = line[:3]
        if line[3:4] == b"-":
            while not (line[:3] == code and line[3:4] == b" "):
                line = self.reader.readline()
                if not line:
                    raise FtpError("connection closed inside a reply")
        return int(code), line

    def command(self, text, expect=None):
        self.sock.sendall(text.encode() + b"\r\n")
        code, line = self.reply()
        if expect and code // 100 not in expect:
            raise FtpError("%s: %r" % (text, line))
        return code, line

    def login_plain(self):
        if self.greeting[0] != 220:
            raise FtpError("greeting %r" % (self.greeting,))
        self.command("USER anonymous", expect=(2, 3))
        code, line = self.command("PASS bench@example.org")
        if code != 230:
            raise FtpError("login %r" % line)

    def login(self):
        self.login_plain()
        self.command("TYPE I", expect=(2,))
        if self.tls is not None:
            self.command("PBSZ 0", expect=(2,))
            self.command("PROT P", expect=(2,))

    def secure_data(self, data):
        """The data connection after the server's 150, as ftplib does it."""
        if self.tls is None:
            return data
        data = self.tls.wrap_socket(no_delay(data), session=self.sock.session)
        self.data_connections += 1
        self.data_resumed += data.session_reused
        return data

    @staticmethod
    def end_data(data):
        """close_notify, then the TCP end. A server that does not answer with
        its own close_notify but simply closes is no failure here: its reply
        on the control connection says whether the upload arrived."""
        if isinstance(data, ssl.SSLSocket):
            try:
                data.unwrap().close()
                return
            except (ssl.SSLError, OSError):
                pass
        data.close()

    def passive(self):
        _, line = self.command("PASV", expect=(2,))
        m = PASV_REPLY.search(line)
        if not m:
            raise FtpError("PASV %r" % line)
        port = int(m.group(5)) * 256 + int(m.group(6))
        return socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)

    def store(self, name, payload=None, source_file=None):
        """STOR from bytes, or from an open file with sendfile()."""
        data = self.passive()
        try:
            self.command("STOR " + name, expect=(1,))
            data = self.secure_data(data)
            if source_file is not None:
                send_file(data, source_file)
            else:
                data.sendall(payload)
            self.end_data(data)
        finally:
            data.close()
        code, line = self.reply()
        if code != 226:
            raise FtpError("STOR %s: %r" % (name, line))

    def listing(self, argument=""):
        data = self.passive()
        chunks = []
        try:
            self.command(("LIST " + argument).strip(), expect=(1,))
            data = self.secure_data(data)
            while True:
                chunk = data.recv(1 << 20)
                if not chunk:
                    break
                chunks.append(chunk)
        finally:
            data.close()
        code, line = self.reply()
        if code != 226:
            raise FtpError("LIST: %r" % line)
        return b"".join(chunks)

    def quit(self):
        try:
            self.command("QUIT")
        finally:
            self.close()

    def close(self):
        self.reader.close()
        self.sock.close()


def send_file(data, source_file):
    """sendfile() on a plain socket; through TLS, 1 MiB blocks (the library
    cuts them into records)."""
    source_file.seek(0)
    if not isinstance(data, ssl.SSLSocket):
        data.sendfile(source_file)
        return
    block = bytearray(SEND_BLOCK)
    view = memoryview(block)
    while True:
        n = source_file.readinto(block)
        if not n:
            return
        data.sendall(view[:n])
