"""Resident memory and wake-ups of a server's processes, read from /proc.

A forking server is counted with all its descendants: its resident set is
the sum over the tree, its wake-ups the context switches of every thread.
"""

import os
import threading
import time


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def process_tree(root_pid):
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            stat = _read("/proc/%s/stat" % entry)
            if stat:
                # The name in parentheses may hold spaces; the fields after it do not.
                fields = stat[stat.rfind(")") + 2:].split()
                parents[int(entry)] = int(fields[1])
    tree, frontier = [root_pid], [root_pid]
    while frontier:
        parent = frontier.pop()
        children = [pid for pid, ppid in parents.items() if ppid == parent]
        tree += children
        frontier += children
    return tree


def _status_field(pid, field):
    for line in _read("/proc/%d/status" % pid).splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def rss_kib(root_pid):
    return sum(_status_field(pid, "VmRSS") for pid in process_tree(root_pid))


def context_switches(root_pid):
    total = 0
    for pid in process_tree(root_pid):
        try:
            tasks = os.listdir("/proc/%d/task" % pid)
        except OSError:
            continue
        for tid in tasks:
            status = _read("/proc/%d/task/%s/status" % (pid, tid))
            for line in status.splitlines():
                if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                    total += int(line.split()[1])
    return total


def thread_count(root_pid):
    return sum(_status_field(pid, "Threads") for pid in process_tree(root_pid))


class PeakSampler:
    """Samples the tree's resident set every `period` seconds while active;
    the main process's own high-water mark (VmHWM) catches what a sample
    misses."""

    def __init__(self, root_pid, period=0.1):
        self.root_pid = root_pid
        self.period = period
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.peak = max(self.peak, rss_kib(self.root_pid))
            self._stop.wait(self.period)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, _status_field(self.root_pid, "VmHWM"))


def idle_wakeups(pids, seconds=10.0):
    """Context switches of each idle server over the same `seconds`."""
    before = {pid: context_switches(pid) for pid in pids}
    time.sleep(seconds)
    return {pid: context_switches(pid) - before[pid] for pid in pids}
