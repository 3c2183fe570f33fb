#!/usr/bin/env python3
"""Upload speed and memory of lumbra-ftpd over loopback.

Starts the server in a temporary folder, uploads SIZE_MB megabytes over a
passive data connection (raw sockets, 64 KiB writes), and reports the rate
and the server's peak resident memory. Targets: at least 150 MB/s in the
plain build and a peak below 32 MB, whatever the upload's size (the file is
written chunk by chunk, never held in memory).

usage: bench/upload_throughput.py [build/lumbra-ftpd] [SIZE_MB]
"""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def reply(f):
    line = f.readline()
    while line[3:4] == b"-":
        line = f.readline()
    return line


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "lumbra-ftpd")
    size_mb = int(sys.argv[2]) if len(sys.argv) > 2 else 512
    root = tempfile.mkdtemp(prefix="lumbra-bench-")
    env = dict(os.environ, HOME=root, XDG_CONFIG_HOME=os.path.join(root, "cfg"))
    server = subprocess.Popen([binary, "--bind", "127.0.0.1", "--port", "0", "--home",
                               os.path.join(root, "home")], stdout=subprocess.PIPE, env=env)
    try:
        port = int(re.search(rb":(\d+)$", server.stdout.readline().strip()).group(1))
        control = socket.create_connection(("127.0.0.1", port), timeout=30)
        f = control.makefile("rb")
        reply(f)
        for line in (b"USER anonymous", b"PASS x"):
            control.sendall(line + b"\r\n")
            reply(f)
        control.sendall(b"EPSV\r\n")
        data_port = int(re.search(rb"\|\|\|(\d+)\|", reply(f)).group(1))
        data = socket.create_connection(("127.0.0.1", data_port), timeout=30)
        control.sendall(b"STOR bench.bin\r\n")
        reply(f)
        block = os.urandom(65536)
        started = time.monotonic()
        for _ in range(size_mb * 16):
            data.sendall(block)
        data.close()
        done = reply(f)
        elapsed = time.monotonic() - started
        rss = peak_rss_kb(server.pid)
        control.sendall(b"QUIT\r\n")
        reply(f)
        print("upload %d MB: %.1f MB/s, reply %r" % (size_mb, size_mb / elapsed, done.strip()))
        print("server peak resident memory: %.1f MB" % (rss / 1024))
    finally:
        server.terminate()
        server.wait(timeout=20)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
