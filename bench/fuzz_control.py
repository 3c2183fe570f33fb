#!/usr/bin/env python3
"""Seeded, bounded network fuzzer for lumbra-ftpd.

Starts one lumbra-ftpd on 127.0.0.1 (port chosen by the system) in a
temporary folder of its own and throws at it, for --seconds, a random mix of
scenarios drawn from --seed:

  garbage      random bytes, NULs, lone CR / LF, no line ends at all
  longline     lines over 8 KiB and over 1 MiB, with and without CR LF
  verbs        every verb with random and odd arguments ("..", "\\", "//",
               dots, names over 255 bytes, control characters, invalid
               UTF-8, CP949, printf patterns), OPTS UTF8 ON toggling
  transfer     PORT / PASV / EPSV followed by STOR or LIST, a stranger
               connecting from 127.0.0.2 first, sockets closed at random
               points (mid-line, mid-transfer, during the data wait)
  pipeline     several commands in one packet, transfers included
  crowd        many parallel connections against the one-client limit
  slowloris    a client that sends and never reads its replies, or sends
               one byte at a time

After every scenario a fresh client must be greeted (the one place must be
free again within a few seconds). At the end: the home folder's parent holds
nothing new or changed outside the home folder, the number of open file
descriptors is back where it was, the resident set stayed bounded, the
server ends with exit code 0 on SIGTERM and its stderr holds no sanitizer
report. Exit code 0 when all of that holds, 1 otherwise.

Every network operation has a time-out and every loop a bound; only
127.0.0.1 and 127.0.0.2 are contacted.

  python3 bench/fuzz_control.py --binary build-asan/lumbra-ftpd --seed 7 --seconds 300
"""

import argparse
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HOST = "127.0.0.1"
STRANGER = "127.0.0.2"
IO_TIMEOUT = 5.0
# Failed logins of earlier scenarios slow the address's next login down by up
# to 16 s (the server's back-off against password guessing).
LOGIN_TIMEOUT = 25.0
SLOT_WAIT = 15.0          # how long a fresh client may have to wait for the place
RSS_GROWTH_LIMIT_KB = 96 * 1024
FD_SETTLE_WAIT = 15.0

COMMAND_TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ftp", "command_table.h")


def listed_verbs():
    """The verbs of the session's command table, in its order."""
    with open(COMMAND_TABLE, encoding="utf-8") as table:
        verbs = re.findall(r'\{"([A-Z]+)", (?:true|false), (?:true|false),', table.read())
    if not verbs:
        raise SystemExit("no verbs found in " + COMMAND_TABLE)
    return verbs


# The session's own verbs and a few it answers with 502.
VERBS = listed_verbs() + ["RETR", "SIZE", "FEAT", "APPE", "XMKD", "MDTM", "HELP"]
# Verbs that are safe to send without a transfer following; the transfer
# verbs are driven by the transfer scenario so that no wait is left hanging.
CHEAP_VERBS = [v for v in VERBS if v not in ("STOR", "LIST", "NLST", "QUIT", "BYE")]


class Fault(Exception):
    pass


def log(msg):
    print(msg, flush=True)


# --------------------------------------------------------------- arguments

def odd_name(rng):
    pieces = [
        "..", ".", "...", "....", "\\", "//", "/", "\\..\\", "../..", "a/../..", "%s%n%x%p",
        "%s" * 40, "x" * rng.randint(200, 300), "y" * rng.randint(256, 600),
        "\x01\x02\x7f", "\t", "\x1b[2J", "name\rpart", "A" * 4000,
        "\xff\xfe", "\xc0\xaf", "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80",
        "\xb0\xa1\xb0\xa2",  # CP949 hangul bytes
        "\xc7\xd1\xb1\xdb", "\x81", "\xfe", "%2e%2e", "CON", "nul", "*", "?", " ", "  ",
        "~", "~root", "$HOME", "`id`", ";", "|", "\"", "'", "..\\..\\etc",
        "/proc/self/fd/0", "/etc/passwd", "../outside.txt", "..%2f", "a" * 255, "b" * 256,
        "\xe2\x80\xae", "\xef\xbb\xbf", "scan.pdf", "SCAN.PDF", "dir", "DIR/../dir",
    ]
    n = rng.randint(1, 4)
    parts = [rng.choice(pieces) for _ in range(n)]
    sep = rng.choice(["/", "\\", "//", "", "/./", "\\\\"])
    text = sep.join(parts)
    if rng.random() < 0.3:
        text = "/" + text
    if rng.random() < 0.2:
        text += rng.choice(["/", "*", "/*", ".", ".."])
    return text.encode("latin-1")


def random_bytes(rng, n):
    return bytes(rng.getrandbits(8) for _ in range(n))


def port_args(rng, own_port):
    choices = [
        b"127,0,0,1,%d,%d" % (own_port // 256, own_port % 256),
        b"127,0,0,2,%d,%d" % (own_port // 256, own_port % 256),
        b"127,0,0,1,0,21", b"127,0,0,1,3,255", b"127,0,0,1,256,1", b"127,0,0,1,-1,5",
        b"127,0,0,1,1", b"127,0,0,1,1,2,3", b"", b",,,,,", b"127.0.0.1.4.0",
        b"999999999999999999999,0,0,1,4,0", b"127,0,0,1,+4,0", b"127,0,0,1, 4,0",
        b"127,0,0,1,4,0,", b"0x7f,0,0,1,4,0", b"10,0,0,1,200,0", b"255,255,255,255,255,255",
        b"0,0,0,0,4,0",
    ]
    return rng.choice(choices)


def random_argument(rng, verb):
    r = rng.random()
    if verb == "OPTS":
        return rng.choice([b"UTF8 ON", b"UTF8 OFF", b"utf8 on", b"UTF8", b"", b"UTF8  ON",
                           b"UTF8 ON\x00", b"MLST type;"])
    if verb == "TYPE":
        return rng.choice([b"I", b"A", b"A N", b"L 8", b"%s%n", b"", b"X" * 5000])
    if verb == "PORT":
        return port_args(rng, rng.randint(1024, 65535))
    if r < 0.6:
        return odd_name(rng)
    if r < 0.8:
        return random_bytes(rng, rng.randint(0, 64)).replace(b"\r\n", b"")
    return b""


def line_end(rng):
    return rng.choice([b"\r\n"] * 8 + [b"\n", b"\r", b"\r\r\n", b"\n\r\n", b""])


# ------------------------------------------------------------------ client

class Client:
    def __init__(self, port, source=None, timeout=IO_TIMEOUT):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        if source:
            self.sock.bind((source, 0))
        self.sock.connect((HOST, port))
        self.buf = b""
        self.closed = False

    def send(self, data):
        try:
            self.sock.sendall(data)
            return True
        except OSError:
            self.closed = True
            return False

    def read_line(self, timeout=IO_TIMEOUT):
        deadline = time.monotonic() + timeout
        while b"\r\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or self.closed:
                return None
            r, _, _ = select.select([self.sock], [], [], left)
            if not r:
                return None
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                self.closed = True
                return None
            if not chunk:
                self.closed = True
                return None
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def drain(self, wait=0.05):
        """Reads whatever is there within `wait`; returns the lines."""
        deadline = time.monotonic() + wait
        while not self.closed:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            r, _, _ = select.select([self.sock], [], [], left)
            if not r:
                break
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                self.closed = True
                break
            if not chunk:
                self.closed = True
                break
            self.buf += chunk
        lines = self.buf.split(b"\r\n")
        self.buf = lines.pop()
        return lines

    def command(self, line, timeout=IO_TIMEOUT):
        if not self.send(line + b"\r\n"):
            return None
        return self.read_line(timeout)

    def close(self, abort=False):
        try:
            if abort:
                # RST instead of FIN
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                     b"\x01\x00\x00\x00\x00\x00\x00\x00")
            self.sock.close()
        except OSError:
            pass
        self.closed = True


class Target:
    """The server under test."""

    def __init__(self, binary, rng, workdir):
        self.binary = binary
        self.root = workdir
        self.parent = os.path.join(self.root, "parent")
        self.home = os.path.join(self.parent, "home")
        os.makedirs(self.home)
        # Things outside the home folder a path escape would touch.
        with open(os.path.join(self.parent, "outside.txt"), "w") as f:
            f.write("must stay as it is\n")
        os.makedirs(os.path.join(self.parent, "sibling"))
        for name in ("dir", "Dir2", "deep/er/est"):
            os.makedirs(os.path.join(self.home, name), exist_ok=True)
        with open(os.path.join(self.home, "present.txt"), "wb") as f:
            f.write(b"x" * 1000)
        self.anonymous = rng.random() < 0.6
        self.user = "scanner"
        self.password = "pw%d" % rng.randint(0, 99)
        self.plain_scan = rng.random() < 0.25
        self.proc = None
        self.port = None
        self.stderr_path = os.path.join(self.root, "stderr.txt")

    def start(self):
        env = dict(os.environ)
        for d in ("cfg", "userhome"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        env["HOME"] = os.path.join(self.root, "userhome")
        env["XDG_CONFIG_HOME"] = os.path.join(self.root, "cfg")
        here = os.path.dirname(os.path.abspath(__file__))
        tools = os.path.normpath(os.path.join(here, "..", "tools"))
        # A small quarantine keeps the resident set a measure of the server's
        # own memory rather than of freed blocks held back by the sanitizer.
        env.setdefault("ASAN_OPTIONS", "detect_leaks=1:halt_on_error=0:quarantine_size_mb=16")
        env.setdefault("LSAN_OPTIONS", "suppressions=" + os.path.join(tools, "lsan.supp"))
        env.setdefault("TSAN_OPTIONS", "exitcode=66:suppressions=" + os.path.join(tools, "tsan.supp"))
        env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
        args = [self.binary, "--bind", HOST, "--port", "0", "--home", self.home]
        if not self.anonymous:
            pw = os.path.join(self.root, "password.txt")
            with open(pw, "w") as f:
                f.write(self.password + "\n")
            args += ["--user", self.user, "--password-file", pw]
        if self.plain_scan:
            args.append("--plain-scan")
        self.stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self.stderr, env=env, cwd=self.root)
        r, _, _ = select.select([self.proc.stdout], [], [], 30)
        line = self.proc.stdout.readline() if r else b""
        m = re.match(rb"listening on 127\.0\.0\.1:(\d+)", line)
        if not m:
            self.proc.kill()
            raise Fault("server did not start: %r" % line)
        self.port = int(m.group(1))

    def login_lines(self):
        if self.anonymous:
            return b"USER anonymous", b"PASS guest@"
        return b"USER " + self.user.encode(), b"PASS " + self.password.encode()

    def fd_count(self):
        try:
            return len(os.listdir("/proc/%d/fd" % self.proc.pid))
        except OSError:
            return -1

    def rss_kb(self):
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return -1

    def alive(self):
        return self.proc.poll() is None

    def stop(self, wait=30.0):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(wait)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
            code = None
        self.proc.stdout.close()
        self.stderr.close()
        return code

    def stderr_text(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")


def snapshot(folder, skip):
    """Names, sizes and times of everything under folder except skip."""
    result = {}
    for dirpath, dirnames, filenames in os.walk(folder):
        if os.path.abspath(dirpath) == os.path.abspath(skip):
            dirnames[:] = []
            continue
        dirnames[:] = [d for d in dirnames
                       if os.path.abspath(os.path.join(dirpath, d)) != os.path.abspath(skip)]
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            st = os.lstat(p)
            result[os.path.relpath(p, folder)] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return result


# --------------------------------------------------------------- scenarios

class Fuzzer:
    def __init__(self, target, rng, verbose=False):
        self.t = target
        self.rng = rng
        self.verbose = verbose
        self.counts = {}

    # helpers
    def connect(self, source=None):
        return Client(self.t.port, source=source)

    def greeted(self, wait=SLOT_WAIT):
        """A fresh client is greeted within `wait` (421 while the place frees)."""
        deadline = time.monotonic() + wait
        last = None
        while time.monotonic() < deadline:
            try:
                c = self.connect()
            except OSError as e:
                last = repr(e)
                time.sleep(0.2)
                continue
            line = c.read_line()
            if line and line.startswith(b"220"):
                return c
            last = line
            c.close()
            time.sleep(0.2)
        raise Fault("no greeting for a fresh client within %.0fs (last %r)" % (wait, last))

    def session(self):
        c = self.greeted()
        u, p = self.t.login_lines()
        r1 = c.command(u, timeout=LOGIN_TIMEOUT)
        r2 = c.command(p, timeout=LOGIN_TIMEOUT)
        if not (r1 and r1.startswith(b"331") and r2 and r2.startswith(b"230")):
            raise Fault("login failed: %r %r" % (r1, r2))
        return c

    def end(self, c):
        """Ends a client in one of several ways."""
        how = self.rng.random()
        if how < 0.4:
            c.send(b"QUIT\r\n")
            c.read_line(1.0)
            c.close()
        elif how < 0.7:
            c.close()
        elif how < 0.85:
            c.close(abort=True)
        else:
            c.send(b"NOO")  # mid-line
            c.close()

    # scenarios
    def s_garbage(self):
        c = self.greeted()
        for _ in range(self.rng.randint(1, 20)):
            kind = self.rng.random()
            if kind < 0.3:
                data = random_bytes(self.rng, self.rng.randint(1, 3000))
            elif kind < 0.5:
                data = b"\x00" * self.rng.randint(1, 100) + b"NOOP\r\n"
            elif kind < 0.7:
                data = self.rng.choice([b"\r", b"\n", b"\r\r", b"\n\n", b"\n\r"]) * self.rng.randint(1, 500)
            elif kind < 0.85:
                data = b"USER\x00anonymous\r\nPASS\r\x00\n" + random_bytes(self.rng, 10)
            else:
                data = self.rng.choice(VERBS).encode() + b" " + random_bytes(self.rng, 50) + b"\r\n"
            if not c.send(data):
                break
            c.drain(0.01)
        self.end(c)

    def s_longline(self):
        c = self.session() if self.rng.random() < 0.7 else self.greeted()
        size = self.rng.choice([8191, 8192, 8193, 9000, 12289, 65536, 1 << 20, (1 << 20) + 17])
        fill = self.rng.choice([b"A", b"\x00", b"\r", b"/..", b"\xff", b"\r\n"[0:1]])
        data = self.rng.choice([b"NOOP ", b"CWD ", b"", b"MKD "]) + (fill * size)[:size]
        tail = self.rng.choice([b"\r\n", b"", b"\r", b"\n"])
        # sent in pieces while reading, so that the replies do not block it
        view = memoryview(data + tail)
        sent = 0
        deadline = time.monotonic() + 20
        while sent < len(view) and time.monotonic() < deadline:
            step = self.rng.choice([1, 100, 4096, 65536])
            if not c.send(view[sent:sent + step]):
                break
            sent += step
            c.drain(0)
        if not c.closed and self.rng.random() < 0.8:
            r = c.command(b"\r\nNOOP", 8.0)
            seen = [r] + c.drain(0.3)
            if not any(x and x.startswith(b"200") for x in seen) and not c.closed:
                # One more try: the first NOOP may have ended the long line,
                # or been dropped behind a NUL in the same read (what follows
                # a NUL in one read is discarded), so any reply will do.
                r = c.command(b"NOOP", 8.0)
                if r is None and not c.closed:
                    raise Fault("session unresponsive after a %d-byte line: %r" % (size, seen + [r]))
        self.end(c)

    def s_verbs(self):
        c = self.session() if self.rng.random() < 0.85 else self.greeted()
        for _ in range(self.rng.randint(5, 60)):
            verb = self.rng.choice(CHEAP_VERBS)
            if self.rng.random() < 0.1:
                verb = verb.lower()
            arg = random_argument(self.rng, verb.upper())
            sep = self.rng.choice([b" "] * 6 + [b"", b"  ", b"\t"])
            line = verb.encode() + (sep + arg if arg or self.rng.random() < 0.2 else b"")
            line = line.replace(b"\r\n", b"").replace(b"\x00", b"")
            if not c.send(line + b"\r\n"):
                break
            r = c.read_line(8.0)
            if r is None and not c.closed:
                raise Fault("no reply to %r" % line[:200])
            if c.closed:
                break
            if verb.upper() in ("PASV", "EPSV") and self.rng.random() < 0.5:
                # leave the listener open; sometimes knock on it
                port = parse_passive(r)
                if port and self.rng.random() < 0.5:
                    knock(port, self.rng.choice([HOST, STRANGER]))
        self.end(c)

    def open_data(self, c):
        """PASV, EPSV or PORT. Returns (mode, port-or-listener) or None."""
        mode = self.rng.choice(["PASV", "EPSV", "PORT"])
        if mode == "PORT":
            lst = socket.socket()
            lst.bind((HOST, 0))
            lst.listen(2)
            lst.settimeout(IO_TIMEOUT)
            p = lst.getsockname()[1]
            r = c.command(b"PORT 127,0,0,1,%d,%d" % (p // 256, p % 256))
            if not (r and r.startswith(b"200")):
                lst.close()
                return None
            if self.rng.random() < 0.15:
                lst.close()  # refused connect
                return ("PORT", None)
            return ("PORT", lst)
        r = c.command(mode.encode())
        port = parse_passive(r)
        if port is None:
            return None
        return (mode, port)

    def connect_data(self, data):
        mode, what = data
        if mode == "PORT":
            if what is None:
                return None
            try:
                s, _ = what.accept()
                s.settimeout(IO_TIMEOUT)
                return s
            except OSError:
                return None
            finally:
                what.close()
        if self.rng.random() < 0.3:
            knock(what, STRANGER)
        try:
            return socket.create_connection((HOST, what), timeout=IO_TIMEOUT)
        except OSError:
            return None

    def s_transfer(self):
        c = self.session()
        for _ in range(self.rng.randint(1, 4)):
            if c.closed:
                break
            if self.rng.random() < 0.2:
                c.command(b"OPTS UTF8 ON")
            data = self.open_data(c)
            if data is None:
                break
            verb = self.rng.choice([b"STOR", b"STOR", b"LIST", b"NLST"])
            name = odd_name(self.rng) if self.rng.random() < 0.4 else b"up%d.bin" % self.rng.randint(0, 9)
            if verb != b"STOR" and self.rng.random() < 0.5:
                name = b""
            c.send(verb + (b" " + name if name else b"") + b"\r\n")
            r = c.read_line()
            if r is None or not r.startswith(b"150"):
                if data[0] == "PORT" and data[1] is not None:
                    data[1].close()
                continue
            when = self.rng.random()
            if when < 0.1:
                # hang up during the data wait
                time.sleep(self.rng.random() * 2)
                c.close(abort=self.rng.random() < 0.5)
                if data[0] == "PORT" and data[1] is not None:
                    data[1].close()
                return
            if when < 0.13:
                # let the data wait run out (an active connect still lands
                # in the listener's backlog, so only passive mode must fail;
                # an active upload then simply waits for its data)
                r = c.read_line(14.0)
                if data[0] != "PORT" and (r is None or not r.startswith(b"421")):
                    raise Fault("no 421 after the data wait: %r" % r)
                if data[0] == "PORT" and data[1] is not None:
                    data[1].close()
                continue
            if when < 0.2:
                c.send(b"NOOP\r\nPWD\r\n")  # held during the wait
            ds = self.connect_data(data)
            if ds is None:
                c.drain(0.5)
                continue
            ds.settimeout(IO_TIMEOUT)
            try:
                if verb == b"STOR":
                    total = self.rng.choice([0, 1, 4095, 4096, 70000, 300000])
                    if self.t.plain_scan:
                        total = min(total, 8192)
                    payload = random_bytes(self.rng, min(total, 4096)) * (total // 4096 + 1)
                    payload = payload[:total]
                    cut = self.rng.random() < 0.25
                    if cut:
                        payload = payload[:self.rng.randint(0, len(payload))]
                    ds.sendall(payload)
                    if cut and self.rng.random() < 0.5:
                        c.close(abort=self.rng.random() < 0.5)
                        ds.close()
                        return
                    if self.rng.random() < 0.1:
                        c.send(b"ABOR\r\n")
                else:
                    if self.rng.random() < 0.2:
                        ds.close()
                        ds = None
                    else:
                        deadline = time.monotonic() + 10
                        while time.monotonic() < deadline:
                            chunk = ds.recv(65536)
                            if not chunk:
                                break
            except OSError:
                pass
            finally:
                if ds is not None:
                    ds.close()
            r = c.read_line(12.0)
            if r is None and not c.closed:
                raise Fault("no reply after the transfer of %r" % verb)
            c.drain(0.2)
        self.end(c)

    def s_pipeline(self):
        c = self.session()
        parts = []
        for _ in range(self.rng.randint(2, 12)):
            v = self.rng.choice(CHEAP_VERBS + ["PASV", "EPSV", "ABOR", "OPTS", "LIST"])
            parts.append(v.encode() + b" " + random_argument(self.rng, v))
        blob = b"\r\n".join(p.replace(b"\r\n", b"") for p in parts) + b"\r\n"
        c.send(blob)
        # answer any passive offer so that LIST does not wait for 10 s
        deadline = time.monotonic() + 25
        while time.monotonic() < deadline and not c.closed:
            line = c.read_line(2.0)
            if line is None:
                break
            port = parse_passive(line)
            if port:
                try:
                    s = socket.create_connection((HOST, port), timeout=IO_TIMEOUT)
                    s.close()
                except OSError:
                    pass
        self.end(c)

    def s_crowd(self):
        n = self.rng.randint(2, 40)
        clients = []
        for _ in range(n):
            try:
                clients.append(self.connect(source=self.rng.choice([HOST, HOST, STRANGER])))
            except OSError:
                break
        greetings = 0
        for c in clients:
            r = c.read_line(8.0)
            if r and r.startswith(b"220"):
                greetings += 1
        if greetings > 1:
            raise Fault("%d clients greeted at once (limit is one)" % greetings)
        self.rng.shuffle(clients)
        for c in clients:
            if self.rng.random() < 0.3:
                c.send(b"USER anonymous\r\n")
            c.close(abort=self.rng.random() < 0.3)

    def s_slowloris(self):
        c = self.session()
        if self.rng.random() < 0.5:
            # never reads: replies pile up until the server's send buffer is full
            c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            blob = (b"CWD " + b"z" * 1000 + b"\r\n") * 200
            deadline = time.monotonic() + self.rng.uniform(1, 14)
            c.sock.setblocking(False)
            while time.monotonic() < deadline:
                try:
                    c.sock.send(blob)
                except BlockingIOError:
                    time.sleep(0.05)
                except OSError:
                    break
            c.sock.setblocking(True)
            c.sock.settimeout(IO_TIMEOUT)
        else:
            line = b"NOOP\r\n"
            for i in range(self.rng.randint(1, 60)):
                if not c.send(line[i % len(line):i % len(line) + 1]):
                    break
                time.sleep(0.01)
        self.end(c)

    SCENARIOS = [("garbage", 3), ("longline", 1), ("verbs", 4), ("transfer", 4),
                 ("pipeline", 2), ("crowd", 1), ("slowloris", 1)]

    def pick(self):
        names = [n for n, w in self.SCENARIOS for _ in range(w)]
        return self.rng.choice(names)

    def run_one(self, name):
        self.counts[name] = self.counts.get(name, 0) + 1
        getattr(self, "s_" + name)()
        if self.verbose:
            log("  scenario %s: rss %d kB, fds %d" % (name, self.t.rss_kb(), self.t.fd_count()))
        if not self.t.alive():
            raise Fault("server died during %s (exit %r)" % (name, self.t.proc.poll()))
        c = self.greeted()
        c.send(b"QUIT\r\n")
        c.read_line(2.0)
        c.close()


def parse_passive(reply):
    if not reply:
        return None
    m = re.search(rb"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", reply)
    if m and reply.startswith(b"227"):
        return int(m.group(5)) * 256 + int(m.group(6))
    m = re.search(rb"\(\|\|\|(\d+)\|\)", reply)
    if m and reply.startswith(b"229"):
        return int(m.group(1))
    return None


def knock(port, source):
    try:
        s = socket.socket()
        s.settimeout(2.0)
        s.bind((source, 0))
        s.connect((HOST, port))
        s.close()
    except OSError:
        pass


def second_loopback_usable():
    try:
        s = socket.socket()
        s.bind((STRANGER, 0))
        s.close()
        return True
    except OSError:
        return False


def sanitizer_reports(text):
    marks = ["ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
             "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer", "SUMMARY: "]
    return [m for m in marks if m in text]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--binary", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "build", "lumbra-ftpd"))
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()

    global STRANGER
    if not second_loopback_usable():
        STRANGER = HOST
    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="lumbra-fuzz-")
    target = Target(os.path.abspath(args.binary), rng, work)
    faults = []
    fz = Fuzzer(target, rng, args.verbose)
    log("seed %d, %.0fs, %s login, plain-scan %s, work %s" % (
        args.seed, args.seconds, "anonymous" if target.anonymous else "named",
        target.plain_scan, work))
    target.start()
    before = snapshot(target.parent, target.home)
    try:
        # warm-up so that lazily opened descriptors and pools exist already
        fz.run_one("verbs")
        fz.run_one("transfer")
        time.sleep(1.0)
        fd_before = target.fd_count()
        rss_start = target.rss_kb()
        rss_peak = rss_start
        deadline = time.monotonic() + args.seconds
        done = 0
        while time.monotonic() < deadline:
            name = fz.pick()
            try:
                fz.run_one(name)
            except Fault as e:
                faults.append("%s (scenario %s, #%d)" % (e, name, done))
                log("FAULT: " + faults[-1])
                if not target.alive():
                    break
                if len(faults) > 5:
                    break
            done += 1
            rss_peak = max(rss_peak, target.rss_kb())
        log("scenarios run: %d %s" % (done, sorted(fz.counts.items())))
        if target.alive():
            # descriptors: every session over, so back where they were
            settle = time.monotonic() + FD_SETTLE_WAIT
            fd_after = target.fd_count()
            while fd_after > fd_before and time.monotonic() < settle:
                time.sleep(0.5)
                fd_after = target.fd_count()
            log("fds %d -> %d, rss %d kB -> peak %d kB" % (fd_before, fd_after, rss_start, rss_peak))
            if fd_after > fd_before:
                faults.append("file descriptors leaked: %d before, %d after" % (fd_before, fd_after))
            if rss_peak - rss_start > RSS_GROWTH_LIMIT_KB:
                faults.append("resident set grew from %d kB to %d kB" % (rss_start, rss_peak))
            try:
                fz.greeted().close()
            except Fault as e:
                faults.append(str(e))
    except Fault as e:
        faults.append(str(e))
    finally:
        code = target.stop()
    if code != 0:
        faults.append("exit code %r on SIGTERM" % code)
    after = snapshot(target.parent, target.home)
    if before != after:
        changed = sorted(set(before.items()) ^ set(after.items()))
        faults.append("outside the home folder changed: %r" % changed[:10])
    err = target.stderr_text()
    reports = sanitizer_reports(err)
    if reports:
        faults.append("sanitizer report on stderr: %s" % ", ".join(reports))
    if faults or args.keep:
        log("stderr (last 6000 chars):\n" + err[-6000:])
        log("kept " + work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    if faults:
        log("FAILED seed %d:" % args.seed)
        for f in faults:
            log("  " + f)
        return 1
    log("ok seed %d" % args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
