"""The daemon under a service manager's watchdog, played by the test: a
notification socket of its own (NOTIFY_SOCKET) and a short WATCHDOG_USEC.
READY=1 comes once start-up is done; WATCHDOG=1 comes while the daemon
reports, and stops while one of its loops stands still. A loop is stalled
from outside, as a deadlock or a call that never returns would stall it: its
thread alone is stopped with ptrace (the others run on), then let go, and the
pings come back."""

import ctypes
import os
import pathlib
import socket
import threading
import time

from gateway import quick_modem, wait

INTERVAL_US = 3000000  # WATCHDOG_USEC; the daemon checks and pings four times per interval
PTRACE_DETACH, PTRACE_SEIZE, PTRACE_INTERRUPT, WALL = 17, 0x4206, 0x4207, 0x40000000
libc = ctypes.CDLL(None, use_errno=True)


def thread_id(pid, name):
    return pid if name == "main" else next(
        int(t.name) for t in pathlib.Path("/proc/%d/task" % pid).iterdir()
        if (t / "comm").read_text().strip() == name)


def collect(sock, got):
    """(arrival, text) of every notification, until the test process ends."""
    while True:
        got.append((time.monotonic(), sock.recv(4096).decode()))


def test_ready_then_pings_only_while_every_loop_runs(root, bench, report_server, daemon,
                                                     tmp_path):
    bench.configure(server_port=report_server.address[1])
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(str(tmp_path / "notify"))
    got = []
    threading.Thread(target=collect, args=(sock, got), daemon=True).start()
    pings = lambda: [t for t, text in got if text.startswith("WATCHDOG=1")]  # noqa: E731
    with quick_modem(root, udp_server=report_server.address):
        d = daemon(env={"NOTIFY_SOCKET": str(tmp_path / "notify"),
                        "WATCHDOG_USEC": str(INTERVAL_US)})
        wait(d, lambda: any(text == "READY=1" for _, text in got), "READY=1")
        # Before it, each ping extends the start-up time-out by two intervals.
        assert got[0][1] == "WATCHDOG=1\nEXTEND_TIMEOUT_USEC=%d" % (2 * INTERVAL_US), got[:3]
        for thread in ("main", "qv-polling"):
            tid = thread_id(d.proc.pid, thread)
            count = len(pings())
            wait(d, lambda: len(pings()) >= count + 3, "pings while it runs")
            for request in (PTRACE_SEIZE, PTRACE_INTERRUPT):
                assert libc.ptrace(request, tid, 0, 0) == 0, os.strerror(ctypes.get_errno())
            os.waitpid(tid, WALL)
            try:
                wait(d, lambda: time.monotonic() - pings()[-1] > INTERVAL_US / 1e6 + 2,
                     "no ping while the %s thread stands still" % thread)
            finally:
                libc.ptrace(PTRACE_DETACH, tid, 0, 0)
            count = len(pings())
            wait(d, lambda: len(pings()) >= count + 2, "pings again once %s runs" % thread)
