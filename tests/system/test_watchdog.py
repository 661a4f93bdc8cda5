"""The daemon under a service manager's watchdog, played by the test: a
notification socket of its own (NOTIFY_SOCKET) and a short WATCHDOG_USEC.
READY=1 comes once start-up is done; WATCHDOG=1 comes while the daemon
reports, and stops while one of its loops stands still. A loop is stalled
from outside, as a deadlock or a call that never returns would stall it:
its thread alone is stopped with ptrace (the other threads run on), then let
go, and the pings come back."""

import ctypes
import os
import pathlib
import socket
import threading
import time
from contextlib import contextmanager

from gateway import quick_modem, wait

INTERVAL_S = 3  # WATCHDOG_USEC; the daemon checks and pings four times per interval
PTRACE_DETACH, PTRACE_SEIZE, PTRACE_INTERRUPT, WALL = 17, 0x4206, 0x4207, 0x40000000
libc = ctypes.CDLL(None, use_errno=True)


class Notifications:
    """Every datagram the daemon sends to the socket, with its arrival time."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(path))
        self.sock.settimeout(0.2)
        self.got, self.open = [], True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while self.open:
            try:
                self.got.append((time.monotonic(), self.sock.recv(4096).decode()))
            except socket.timeout:
                pass

    def pings(self):
        return [t for t, text in self.got if text.startswith("WATCHDOG=1")]

    def quiet_for(self, seconds):
        pings = self.pings()
        return bool(pings) and time.monotonic() - pings[-1] > seconds

    def close(self):
        self.open = False
        self.thread.join()
        self.sock.close()


def thread_named(pid, name):
    for task in pathlib.Path("/proc/%d/task" % pid).iterdir():
        if (task / "comm").read_text().strip() == name:
            return int(task.name)
    raise AssertionError("no thread %s in %d" % (name, pid))


@contextmanager
def stopped(tid):
    """Only this thread stands still (a ptrace stop), until the block ends."""
    for request in (PTRACE_SEIZE, PTRACE_INTERRUPT):
        assert libc.ptrace(request, tid, 0, 0) == 0, os.strerror(ctypes.get_errno())
    os.waitpid(tid, WALL)
    try:
        yield
    finally:
        libc.ptrace(PTRACE_DETACH, tid, 0, 0)


def test_ready_then_pings_only_while_every_loop_runs(root, bench, report_server, daemon,
                                                     tmp_path):
    bench.configure(server_port=report_server.address[1])
    notes = Notifications(tmp_path / "notify")
    try:
        with quick_modem(root, udp_server=report_server.address):
            d = daemon(env={"NOTIFY_SOCKET": str(tmp_path / "notify"),
                            "WATCHDOG_USEC": str(INTERVAL_S * 1000000)})
            wait(d, lambda: any(text == "READY=1" for _, text in notes.got), "READY=1")
            # Before it, each ping extends the start-up time-out by two intervals.
            assert notes.got[0][1] == "WATCHDOG=1\nEXTEND_TIMEOUT_USEC=%d" % (
                2 * INTERVAL_S * 1000000), notes.got[:3]
            for thread in ("main", "qv-polling"):
                tid = d.proc.pid if thread == "main" else thread_named(d.proc.pid, thread)
                count = len(notes.pings())
                wait(d, lambda: len(notes.pings()) >= count + 3, "pings while it runs")
                with stopped(tid):
                    wait(d, lambda: notes.quiet_for(INTERVAL_S + 2),
                         "no ping while the %s thread stands still" % thread)
                count = len(notes.pings())
                wait(d, lambda: len(notes.pings()) >= count + 2,
                     "pings again once the %s thread runs" % thread)
    finally:
        notes.close()
