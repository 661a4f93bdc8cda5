"""The daemon under test and what it needs to start: its program file and a
simulated modem on the modem port. Shared by the system tests."""

import os
import re
import signal
import subprocess
import threading
import time

import pytest

from bench_config import prog_text
from conftest import DAEMON
from modem_sim import ModemSim


def prog_file(root, **values):
    """Writes nbiot_prog.ini: 26 positions by line, CR LF line ends."""
    path = root / "korvel/quorvane/nbiot_prog.ini"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(prog_text(**values))
    return path


def quick_modem(root, **options):
    """A simulated modem on <root>/dev/ttyUSB0 that restarts and registers fast."""
    options.setdefault("zrst_delay", 0.05)
    options.setdefault("register_delay", 0.1)
    return ModemSim(root / "dev/ttyUSB0", **options)


class Daemon:
    """The daemon as a child process, its console collected as it comes."""

    def __init__(self, root, stderr_to_stdout=True, extra_env=None):
        env = dict(os.environ, QUORVANE_ROOT=str(root))
        env.update(extra_env or {})
        self.proc = subprocess.Popen(
            [str(DAEMON)], env=env, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT if stderr_to_stdout else subprocess.DEVNULL)
        self.out = bytearray()
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for chunk in iter(lambda: self.proc.stdout.read1(65536), b""):
            with self._lock:
                self.out += chunk

    def output(self):
        with self._lock:
            return bytes(self.out)

    def wait_output(self, pattern, timeout=30.0, since=0):
        """Waits for a regular expression in the console; returns the match."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = re.compile(pattern, re.S).search(self.output(), since)
            if m:
                return m
            if self.proc.poll() is not None:
                time.sleep(0.1)
                m = re.compile(pattern, re.S).search(self.output(), since)
                if m:
                    return m
                break
            time.sleep(0.05)
        pytest.fail("no %r in the console (daemon %s):\n%s" % (
            pattern, "running" if self.proc.poll() is None else "ended %s" % self.proc.returncode,
            self.output().decode(errors="replace")[-6000:]))

    def wait_for(self, text, timeout=30.0):
        """Waits for a literal text in the console; returns the console so far."""
        self.wait_output(re.escape(text), timeout)
        return self.output()

    def wait_exit(self, timeout=30.0):
        self.proc.wait(timeout=timeout)
        self._reader.join(timeout=5)
        return self.proc.returncode

    def stop(self, settle=0.3):
        """Stops the daemon, which must still be running, and returns its console."""
        time.sleep(settle)
        assert self.proc.poll() is None, "daemon ended: %r" % self.output()
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)
        self._reader.join(timeout=5)
        return self.output()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self._reader.join(timeout=5)
