"""The one FTP client every server in bench/compare.py is driven with.

Raw sockets and a buffered reader, so that the client costs the same for
every server and as little as Python allows. Every data connection goes to
127.0.0.1, whatever address a passive reply names.
"""

import re
import socket

TIMEOUT = 60.0
PASV_REPLY = re.compile(rb"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")


class FtpError(Exception):
    pass


class Session:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.reader = self.sock.makefile("rb")
        self.greeting = self.reply()

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
            if source_file is not None:
                source_file.seek(0)
                data.sendfile(source_file)
            else:
                data.sendall(payload)
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
