#!/usr/bin/env python3
"""lumbra-ftpd beside vsftpd, pure-ftpd and pyftpdlib, in one run.

Run it through bench/compare.sh, which fetches the peers first. Every
server serves a home on tmpfs from its own port of 127.0.0.1 and is driven
by the same client (bench/ftp_client.py) through:

  W1  one session, 200 x (PASV, STOR 256 KiB)      -- a scanner's batch
  W2  one STOR of 1 GiB (sent with sendfile)        -- MB/s
  W3  LIST of a folder of 10 000 files (the median of 5 in one session)
  W4  300 x (connect, USER/PASS, QUIT)              -- logins per second
  W1-TLS, W2-TLS  W1 and W2 over explicit FTPS (AUTH TLS, PBSZ 0, PROT P,
      every data connection TLS, resuming the control connection's session),
      TLS 1.2 ECDHE-RSA-AES128-GCM-SHA256, against lumbra-ftpd, vsftpd and
      pure-ftpd started a second time with TLS offered and one certificate
      (RSA 2048, made for the run); the data sent with 1 MiB writes

Each workload is repeated (--reps, at least 3), the servers taking turns,
and every uploaded file is checked on disk after each repetition. Beside
them, the machine's ceiling for W2: a plain TCP receiver writing to tmpfs;
and the floor for W1: a minimal blocking receiver in C (bench/w1_floor.c),
with and without the hidden staging file, under the same client. W1's time
is mostly the client's own: the floor shows how little of it any server
can take away.
Before anything is timed, the tmpfs pages the run will write are touched
once (this kind of virtual machine hands freed memory back to its host, and
the first write to such a page is slow).
"""

import argparse
import hashlib
import json
import os
import platform
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import ftp_client  # noqa: E402
import peer_servers  # noqa: E402
import proc_stats  # noqa: E402

MiB = 1 << 20
W1_FILES, W1_SIZE = 200, 256 * 1024
W2_SIZE = 1 << 30
W3_FILES = 10000
W3_LISTINGS = 5
W4_LOGINS = 300
TMPFS = "/dev/shm"
WORKLOADS = ("W1", "W2", "W3", "W4", "W1-TLS", "W2-TLS")


class CheckFailed(Exception):
    pass


def prefault(folder, size):
    """Writes and removes `size` bytes in the tmpfs, so that the pages the
    next repetition writes are backed by the host again."""
    path = os.path.join(folder, ".prefault")
    block = b"\0" * (4 * MiB)
    with open(path, "wb") as f:
        for _ in range(size // len(block) + 1):
            f.write(block)
    os.unlink(path)


def clear_uploads(home, keep=("list10k",)):
    for name in os.listdir(home):
        if name not in keep:
            path = os.path.join(home, name)
            if os.path.isdir(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)


# --- the workloads: each returns its figure and checks what it left on disk


def w1_scan_batch(server, payloads, tls=None):
    session = ftp_client.Session(server.port, tls)
    session.login()
    start = time.perf_counter()
    for i, payload in enumerate(payloads):
        session.store("scan%03d.pdf" % i, payload)
    elapsed = time.perf_counter() - start
    note_resumption(server, session)
    session.quit()
    for i, payload in enumerate(payloads):
        with open(os.path.join(server.home, "scan%03d.pdf" % i), "rb") as f:
            if f.read() != payload:
                raise CheckFailed("W1: scan%03d.pdf differs on disk" % i)
    return elapsed


def w2_big_upload(server, source, digest, tls=None):
    session = ftp_client.Session(server.port, tls)
    session.login()
    start = time.perf_counter()
    session.store("big.bin", source_file=source)
    elapsed = time.perf_counter() - start
    note_resumption(server, session)
    session.quit()
    if file_digest(os.path.join(server.home, "big.bin")) != digest:
        raise CheckFailed("W2: big.bin differs on disk")
    return W2_SIZE / elapsed / 1e6


def note_resumption(server, session):
    """How many TLS data connections resumed the control connection's session."""
    if session.data_connections:
        server.resumed = getattr(server, "resumed", 0) + session.data_resumed
        server.secured = getattr(server, "secured", 0) + session.data_connections


def w3_listing(server):
    session = ftp_client.Session(server.port)
    session.login()
    session.command("CWD list10k", expect=(2,))
    # One listing takes a tenth of a second: the median of five in one
    # session keeps a single scheduling hiccup out of the figure.
    times = []
    for _ in range(W3_LISTINGS):
        start = time.perf_counter()
        text = session.listing()
        times.append(time.perf_counter() - start)
    session.quit()
    names = {line.rsplit(b" ", 1)[-1] for line in text.split(b"\r\n") if line}
    missing = W3_FILES - len(names & {b"f%05d" % i for i in range(W3_FILES)})
    if missing:
        raise CheckFailed("W3: %d names missing from the listing" % missing)
    return statistics.median(times)


def w4_logins(server):
    refused = 0
    start = time.perf_counter()
    for _ in range(W4_LOGINS):
        try:
            session = ftp_client.Session(server.port)
            try:
                session.login_plain()
                session.quit()
            finally:
                session.close()
        except (OSError, ftp_client.FtpError):
            refused += 1
    elapsed = time.perf_counter() - start
    return W4_LOGINS / elapsed, refused


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(16 * MiB)
            if not block:
                return h.hexdigest()
            h.update(block)


def plain_scan_pace(root, binary):
    """Seconds a plain-scan lumbra-ftpd takes for 40 960 bytes: its pace of
    4096 bytes per 200 ms must hold (2.0 to 2.2 s)."""
    server = peer_servers.Lumbra(os.path.join(root, "plain-scan"), 45000, binary,
                                 plain_scan=True)
    payload = os.urandom(40960)
    server.start()
    try:
        session = ftp_client.Session(server.port)
        session.login()
        data = session.passive()
        session.command("STOR paced.pdf", expect=(1,))
        # From the first byte sent to the closing reply: the pace, not the set-up.
        start = time.perf_counter()
        data.sendall(payload)
        data.close()
        code, line = session.reply()
        elapsed = time.perf_counter() - start
        if code != 226:
            raise CheckFailed("plain scan: %r" % line)
        session.quit()
    finally:
        server.stop()
    with open(os.path.join(server.home, "paced.pdf"), "rb") as f:
        if f.read() != payload:
            raise CheckFailed("plain scan: paced.pdf differs on disk")
    return elapsed


# --- the machine's ceiling: a plain receiver, in a process of its own

SINK = """
import os, socket, sys
listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
while True:
    conn, _ = listener.accept()
    buffer = bytearray(1 << 20)
    view = memoryview(buffer)
    with open(sys.argv[1], "wb", buffering=0) as out:
        while True:
            n = conn.recv_into(buffer)
            if not n:
                break
            out.write(view[:n])
    conn.sendall(b"ok")
    conn.close()
"""


def ceiling(sink_port, source, path, digest):
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", sink_port)) as s:
        source.seek(0)
        s.sendfile(source)
        s.shutdown(socket.SHUT_WR)
        if s.recv(2) != b"ok":
            raise CheckFailed("ceiling: no acknowledgement")
    elapsed = time.perf_counter() - start
    if file_digest(path) != digest:
        raise CheckFailed("ceiling: the received file differs")
    return W2_SIZE / elapsed / 1e6


# --- the run


def make_w2_source(folder):
    """1 GiB of a 1 MiB + 7 byte random block, so that a chunk written out of
    order or twice changes the digest."""
    block = os.urandom(MiB + 7)
    path = os.path.join(folder, "w2-source.bin")
    h = hashlib.sha256()
    with open(path, "wb") as f:
        left = W2_SIZE
        while left:
            piece = block[:min(left, len(block))]
            f.write(piece)
            h.update(piece)
            left -= len(piece)
    return open(path, "rb"), h.hexdigest()


def make_listing_folder(home):
    folder = os.path.join(home, "list10k")
    os.makedirs(folder)
    for i in range(W3_FILES):
        with open(os.path.join(folder, "f%05d" % i), "wb"):
            pass


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "all": values}


def run(args):
    root = tempfile.mkdtemp(prefix="orvello-bench-", dir=TMPFS)
    servers = [s for s in peer_servers.all_servers(root, args.binary) if s.available()]
    skipped = [s.name for s in peer_servers.all_servers(tempfile.mkdtemp(dir=root), args.binary)
               if not s.available()]
    if skipped:
        print("not run (missing, or needs root): %s" % ", ".join(skipped))
    results = {s.name: {} for s in servers}
    tls_workloads = [w for w in WORKLOADS if w.endswith("-TLS") and w in args.only]
    tls_servers = []
    if tls_workloads:
        tls_servers = [s for s in peer_servers.tls_servers(
            os.path.join(root, "tls"), args.binary, peer_servers.make_certificate(root))
            if s.available()]
        for s in tls_servers:
            results.setdefault(s.name, {})
    floors = [f for f in peer_servers.floor_servers(root) if f.available()] \
        if "W1" in args.only else []
    floor_w1 = {f.name: [] for f in floors}
    sink = None
    plain_scan = None
    try:
        payloads = [os.urandom(W1_SIZE) for _ in range(W1_FILES)]
        source, digest = make_w2_source(root)
        for s in servers:
            make_listing_folder(s.home)
            s.start()
        for s in tls_servers + floors:
            s.start()
        time.sleep(1.0)
        measure_idle(servers, results, "idle")
        if tls_servers:
            measure_idle(tls_servers, results, "idle_tls")

        sink = subprocess.Popen([sys.executable, "-c", SINK, os.path.join(root, "sink.bin")],
                                stdout=subprocess.PIPE)
        sink_port = int(sink.stdout.readline())
        workloads = [w for w in WORKLOADS if w in args.only]
        samplers = {s.name: proc_stats.PeakSampler(s.proc.pid) for s in servers}
        tls_samplers = {s.name: proc_stats.PeakSampler(s.proc.pid) for s in tls_servers}
        for sampler in list(samplers.values()) + list(tls_samplers.values()):
            sampler.__enter__()
        ceilings = []
        for rep in range(args.reps):
            for w in workloads:
                for s in tls_servers if w.endswith("-TLS") else servers:
                    clear_uploads(s.home)
                    prefault(root, W2_SIZE + MiB if w.startswith("W2") else 64 * MiB)
                    figure, refused = one_workload(w, s, payloads, source, digest)
                    results[s.name].setdefault(w, []).append(figure)
                    if refused:
                        results[s.name]["W4_refused"] = refused + results[s.name].get(
                            "W4_refused", 0)
                    print("  rep %d %s %-12s %s" % (rep + 1, w, s.name, figure), flush=True)
                if w == "W1":
                    for f in floors:
                        clear_uploads(f.home)
                        prefault(root, 64 * MiB)
                        floor_w1[f.name].append(w1_scan_batch(f, payloads))
                        print("  rep %d W1 %-12s %s" % (rep + 1, f.name, floor_w1[f.name][-1]),
                              flush=True)
                if w == "W2":
                    sink_file = os.path.join(root, "sink.bin")
                    if os.path.exists(sink_file):
                        os.unlink(sink_file)
                    prefault(root, W2_SIZE + MiB)
                    ceilings.append(ceiling(sink_port, source, os.path.join(root, "sink.bin"),
                                            digest))
        for s in servers:
            clear_uploads(s.home)
            samplers[s.name].__exit__(None, None, None)
            results[s.name]["peak_rss_kib"] = samplers[s.name].peak
        for s in tls_servers:
            clear_uploads(s.home)
            tls_samplers[s.name].__exit__(None, None, None)
            results[s.name]["peak_rss_kib_tls"] = tls_samplers[s.name].peak
            results[s.name]["tls_data_resumed"] = [getattr(s, "resumed", 0),
                                                   getattr(s, "secured", 0)]
        time.sleep(1.0)
        measure_idle(servers, results, "idle_after")
        if any(s.name == "lumbra-ftpd" for s in servers):
            plain_scan = plain_scan_pace(root, args.binary)
    finally:
        for s in servers + tls_servers + floors:
            s.stop()
        if sink:
            sink.kill()
            sink.wait()
        shutil.rmtree(root, ignore_errors=True)
    report = {"machine": machine(), "reps": args.reps, "servers": results,
              "tls": "TLS 1.2 " + ftp_client.TLS_CIPHER if tls_servers else None,
              "ceiling_w2": ceilings, "plain_scan_s": plain_scan, "floor_w1": floor_w1}
    return report


def one_workload(w, server, payloads, source, digest):
    """The workload's figure and, for W4, the number of refused logins."""
    tls = ftp_client.tls_context() if w.endswith("-TLS") else None
    if w in ("W1", "W1-TLS"):
        return w1_scan_batch(server, payloads, tls), 0
    if w in ("W2", "W2-TLS"):
        return w2_big_upload(server, source, digest, tls), 0
    if w == "W3":
        return w3_listing(server), 0
    return w4_logins(server)


def measure_idle(servers, results, key):
    wakeups = proc_stats.idle_wakeups([s.proc.pid for s in servers], 10.0)
    for s in servers:
        results[s.name][key] = {"rss_kib": proc_stats.rss_kib(s.proc.pid),
                                "wakeups_10s": wakeups[s.proc.pid],
                                "threads": proc_stats.thread_count(s.proc.pid)}


def machine():
    model = "?"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    return "%s, %d cores, Linux %s, load average %.1f at the end" % (
        model, os.cpu_count(), platform.release(), os.getloadavg()[0])


# --- the table

LOWER_IS_BETTER = {"W1": True, "W2": False, "W3": True, "W4": False, "W1-TLS": True,
                   "W2-TLS": False}
UNITS = {"W1": "s", "W2": "MB/s", "W3": "s", "W4": "logins/s", "W1-TLS": "s", "W2-TLS": "MB/s"}
TITLES = {"W1": "W1 scan batch 200 x 256 KiB", "W2": "W2 one STOR of 1 GiB",
          "W3": "W3 LIST of 10 000 files", "W4": "W4 300 logins",
          "W1-TLS": "W1-TLS the batch over FTPS", "W2-TLS": "W2-TLS 1 GiB over FTPS"}


def figure_text(w, stats):
    fmt = "%.3f" if UNITS[w] == "s" else "%.0f"
    return "%s (%s-%s) %s" % (fmt % stats["median"], fmt % stats["min"], fmt % stats["max"],
                               UNITS[w])


def print_table(report):
    servers = report["servers"]
    names = list(servers)
    print("\nmachine: %s; medians of %d, (min-max)" % (report["machine"], report["reps"]))
    print("| workload | " + " | ".join(names) + " | lumbra-ftpd : fastest peer |")
    print("|---" * (len(names) + 2) + "|")
    for w in WORKLOADS:
        present = [n for n in names if w in servers[n]]
        if not present:
            continue
        stats = {n: summary(servers[n][w]) for n in present}
        cells = []
        for n in names:
            if n not in stats:
                cells.append("-")
                continue
            refused = servers[n].get("W4_refused", 0) if w == "W4" else 0
            cells.append(figure_text(w, stats[n]) + (", %d refused" % refused if refused else ""))
        print("| %s | %s | %s |" % (TITLES[w], " | ".join(cells), fastest_peer_ratio(w, stats)))
    for key, title in (("idle", "idle RSS / wake-ups in 10 s (after start)"),
                       ("idle_after", "idle RSS / wake-ups in 10 s (after the run)"),
                       ("idle_tls", "idle RSS / wake-ups in 10 s, TLS offered (after start)")):
        print_row(servers, names, title, key, lambda v: "%.1f MiB / %d" % (
            v["rss_kib"] / 1024, v["wakeups_10s"]))
    print_row(servers, names, "peak RSS", "peak_rss_kib", lambda v: "%.1f MiB" % (v / 1024))
    print_row(servers, names, "peak RSS, TLS offered", "peak_rss_kib_tls",
              lambda v: "%.1f MiB" % (v / 1024))
    print_row(servers, names, "TLS data connections resumed", "tls_data_resumed",
              lambda v: "%d of %d" % tuple(v))
    if report.get("tls"):
        print("\nFTPS: %s, the client's only suite; one RSA 2048 certificate for all" % report["tls"])
    if report["ceiling_w2"]:
        print("\nceiling (plain TCP receiver, 1 MiB recv+write to tmpfs): %s"
              % figure_text("W2", summary(report["ceiling_w2"])))
    print_floor(report)
    if report["plain_scan_s"] is not None:
        print("plain-scan lumbra-ftpd: 40 960 bytes in %.2f s (must be 2.0-2.2 s)"
              % report["plain_scan_s"])
    print_ratios(report)


def print_row(servers, names, title, key, text):
    if any(key in servers[n] for n in names):
        print("| %s | %s | |" % (title, " | ".join(
            text(servers[n][key]) if key in servers[n] else "-" for n in names)))


def print_floor(report):
    floors = {n: v for n, v in report.get("floor_w1", {}).items() if v}
    servers = report["servers"]
    if not floors or not all("W1" in v for v in servers.values()):
        return
    peers = {n: statistics.median(v["W1"]) for n, v in servers.items() if n != "lumbra-ftpd"}
    best = min(peers, key=peers.get) if peers else None
    print("\nW1 floor (bench/w1_floor.c, the least a server can do, same client):")
    for name, values in floors.items():
        stats = summary(values)
        against = " = %.2f x %s" % (stats["median"] / peers[best], best) if best else ""
        print("  %-13s %s%s" % (name, figure_text("W1", stats), against))


def fastest_peer_ratio(w, stats):
    peers = {n: v["median"] for n, v in stats.items() if n != "lumbra-ftpd"}
    if "lumbra-ftpd" not in stats or not peers:
        return ""
    pick = min if LOWER_IS_BETTER[w] else max
    best = pick(peers, key=peers.get)
    return "%.2f x (%s)" % (stats["lumbra-ftpd"]["median"] / peers[best], best)


def print_ratios(report):
    servers = report["servers"]
    ours = servers.get("lumbra-ftpd")
    if not ours:
        return
    print("\nlumbra-ftpd against each peer (time ratio: < 1 is faster; rate ratio: > 1 is "
          "faster):")
    for w in WORKLOADS:
        if w not in ours:
            continue
        mine = statistics.median(ours[w])
        parts = []
        for name, peer in servers.items():
            if name == "lumbra-ftpd" or w not in peer:
                continue
            parts.append("%s %.2f x" % (name, mine / statistics.median(peer[w])))
        print("  %s: %s" % (w, ", ".join(parts)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", default=os.path.join(HERE, "..", "build", "lumbra-ftpd"))
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--only", default=",".join(WORKLOADS),
                        help="workloads, e.g. W1,W3 or W1-TLS,W2-TLS")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    args.only = args.only.upper().split(",")
    unknown = set(args.only) - set(WORKLOADS)
    if unknown:
        parser.error("unknown workloads: %s (known: %s)" % (", ".join(sorted(unknown)),
                                                             ", ".join(WORKLOADS)))
    if args.reps < 1:
        parser.error("--reps must be at least 1")
    report = run(args)
    print_table(report)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
