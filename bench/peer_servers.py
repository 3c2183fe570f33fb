"""How bench/compare.py starts each server: lumbra-ftpd and the three peers.

Each server gets a folder of its own on tmpfs (its home, its generated
configuration) and its own port on 127.0.0.1; none is installed or started
as a service. The peers come unpacked from their Debian packages in
bench/peers/ (bench/compare.sh fetches them). Every server lets an
anonymous client upload, so that all of them do the same work per login.

For the FTPS workloads lumbra-ftpd, vsftpd and pure-ftpd run a second time,
in a folder of their own, with TLS offered (not required) and one
certificate and key made by the bench (make_certificate). pyftpdlib is not
among them: its TLS handler needs pyOpenSSL, which its package does not
bring.
"""

import os
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(HERE, "peers")
PEER_LIBS = os.path.join(PEERS, "usr", "lib", "x86_64-linux-gnu")
PEER_PYTHON = os.path.join(PEERS, "usr", "lib", "python3", "dist-packages")

PYFTPDLIB_MAIN = """
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.basicConfig(level=logging.WARNING)
port, home, low, high = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
authorizer = DummyAuthorizer()
authorizer.add_anonymous(home, perm="elradfmwMT")
handler = FTPHandler
handler.authorizer = authorizer
handler.passive_ports = range(low, high)
FTPServer(("127.0.0.1", port), handler).serve_forever()
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("exited with %s" % proc.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.recv(4096)  # the greeting, so the server is really serving
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("no greeting on port %d" % port)


def make_certificate(folder):
    """One self-signed RSA 2048 certificate and its key for every server."""
    cert, key = os.path.join(folder, "bench-cert.pem"), os.path.join(folder, "bench-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-sha256", "-nodes",
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class Server:
    name = "?"

    def __init__(self, root, passive_base, tls=None):
        self.tls = tls  # (certificate file, key file) for a server that offers TLS
        self.root = os.path.join(root, self.name)
        self.home = os.path.join(self.root, "home")
        self.passive = (passive_base, passive_base + 999)
        os.makedirs(self.home, exist_ok=True)
        self.port = free_port()
        self.proc = None
        self.log = open(os.path.join(self.root, "log.txt"), "wb")

    def available(self):
        return True

    def command(self):
        raise NotImplementedError

    def environment(self):
        return dict(os.environ)

    def start(self):
        self.proc = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, env=self.environment(),
                                     cwd=self.root)
        wait_for_port(self.port, self.proc)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Lumbra(Server):
    name = "lumbra-ftpd"

    def __init__(self, root, passive_base, binary, plain_scan=False, tls=None):
        self.binary = binary
        self.plain_scan = plain_scan
        super().__init__(root, passive_base, tls)

    def available(self):
        return os.access(self.binary, os.X_OK)

    def environment(self):
        env = dict(os.environ, HOME=self.root, XDG_CONFIG_HOME=os.path.join(self.root, "cfg"))
        return env

    def command(self):
        command = [self.binary, "--bind", "127.0.0.1", "--port", str(self.port), "--home",
                   self.home, "--anonymous",
                   "--plain-scan" if self.plain_scan else "--no-plain-scan"]
        if self.tls:
            command += ["--tls", "offered", "--tls-cert", self.tls[0], "--tls-key", self.tls[1]]
        return command


class Vsftpd(Server):
    name = "vsftpd"
    binary = os.path.join(PEERS, "usr", "sbin", "vsftpd")

    def available(self):
        return os.access(self.binary, os.X_OK) and os.geteuid() == 0

    def environment(self):
        return dict(os.environ, LD_LIBRARY_PATH=PEER_LIBS)

    def command(self):
        empty = os.path.join(self.root, "empty")
        os.makedirs(empty, exist_ok=True)
        config = os.path.join(self.root, "vsftpd.conf")
        settings = {
            "listen": "YES", "listen_address": "127.0.0.1", "listen_port": self.port,
            "background": "NO", "run_as_launching_user": "YES", "ftp_username": "nobody",
            "nopriv_user": "nobody", "anonymous_enable": "YES", "no_anon_password": "YES",
            "local_enable": "NO", "write_enable": "YES", "anon_upload_enable": "YES",
            "anon_mkdir_write_enable": "YES", "anon_other_write_enable": "YES",
            "anon_root": self.home, "anon_umask": "022", "seccomp_sandbox": "NO",
            "isolate": "NO", "isolate_network": "NO", "secure_chroot_dir": empty,
            "xferlog_enable": "NO", "tcp_wrappers": "NO", "connect_from_port_20": "NO",
            "max_clients": 0, "max_per_ip": 0, "pasv_min_port": self.passive[0],
            "pasv_max_port": self.passive[1],
        }
        if self.tls:
            # TLS offered to anonymous users; no client certificate asked
            # for; a data connection that does not resume is served too
            # (the client resumes; the run counts who let it).
            settings.update({
                "ssl_enable": "YES", "allow_anon_ssl": "YES", "rsa_cert_file": self.tls[0],
                "rsa_private_key_file": self.tls[1], "ssl_ciphers": "HIGH",
                "ssl_request_cert": "NO", "require_ssl_reuse": "NO",
                "force_anon_logins_ssl": "NO", "force_anon_data_ssl": "NO",
            })
        with open(config, "w") as f:
            f.writelines("%s=%s\n" % item for item in settings.items())
        return [self.binary, config]


class PureFtpd(Server):
    """Anonymous FTP needs a system user "ftp" whose home is the served
    folder; a private mount namespace shows pure-ftpd a passwd file with one,
    leaving the machine's own untouched."""
    name = "pure-ftpd"
    binary = os.path.join(PEERS, "usr", "sbin", "pure-ftpd")

    def available(self):
        return (os.access(self.binary, os.X_OK) and os.geteuid() == 0
                and shutil.which("unshare") is not None)

    def command(self):
        os.chown(self.home, 65534, 65534)
        passwd = os.path.join(self.root, "passwd")
        with open("/etc/passwd") as system, open(passwd, "w") as ours:
            ours.writelines(line for line in system if not line.startswith("ftp:"))
            ours.write("ftp:x:65534:65534:bench:%s:/usr/sbin/nologin\n" % self.home)
        serve = ("mount --bind %s /etc/passwd && exec %s -S 127.0.0.1,%d -e -M -H -L 100000:5 "
                 "-c 1000 -C 1000 -p %d:%d" % (passwd, self.binary, self.port, *self.passive))
        if self.tls:
            # -Y 1: TLS offered beside plain FTP; -2 certificate,key.
            serve += " -Y 1 -2 %s,%s" % self.tls
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c", serve]


class Pyftpdlib(Server):
    name = "pyftpdlib"

    def available(self):
        return os.path.isdir(os.path.join(PEER_PYTHON, "pyftpdlib")) and os.path.exists(
            "/usr/bin/python3")

    def environment(self):
        return dict(os.environ, PYTHONPATH=PEER_PYTHON)

    def command(self):
        # Debian's own interpreter, the one its package is built for.
        return ["/usr/bin/python3", "-c", PYFTPDLIB_MAIN, str(self.port), self.home,
                str(self.passive[0]), str(self.passive[1])]


class Floor(Server):
    """bench/w1_floor.c, built by bench/compare.sh: the least work a server
    can do for W1 (staged: with lumbra-ftpd's hidden file, fdatasync and
    rename; direct: straight into the target, as the peers write)."""
    binary = os.path.join(PEERS, "w1-floor")

    def __init__(self, root, passive_base, mode):
        self.mode = mode
        self.name = "floor-" + mode
        super().__init__(root, passive_base)

    def available(self):
        return os.access(self.binary, os.X_OK)

    def command(self):
        return [self.binary, str(self.port), self.home, self.mode]


def floor_servers(root):
    return [Floor(root, 0, "staged"), Floor(root, 0, "direct")]


def all_servers(root, binary):
    return [Lumbra(root, 46000, binary), Vsftpd(root, 47000), PureFtpd(root, 48000),
            Pyftpdlib(root, 49000)]


def tls_servers(root, binary, tls):
    """The servers of the FTPS workloads, beside (not instead of) the plain ones."""
    return [Lumbra(root, 50000, binary, tls=tls), Vsftpd(root, 51000, tls=tls),
            PureFtpd(root, 52000, tls=tls)]
