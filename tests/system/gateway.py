"""The helpers of the system tests: the daemon as a child process, its
program file, a quick simulated modem, the bench of two Modbus devices and a
GPS feed, and the gateway's end of a simulator's pty."""

import os
import re
import select
import signal
import subprocess
import threading
import time

import pytest

from bench_config import DEFAULT_MAPPING, ModbusDevice, device_text, install, prog_text
from conftest import DAEMON
from modbus_sim import ModbusSim, RtuDevice, TcpDevice
from modem_sim import ModemSim
from nmea_feed import NmeaFeed


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

    def __init__(self, root, env=None):
        # A service manager's variables reach it only when a test gives them.
        env = dict({k: v for k, v in os.environ.items()
                    if k not in ("NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID")},
                   QUORVANE_ROOT=str(root), **(env or {}))
        self.proc = subprocess.Popen([str(DAEMON)], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
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
        deadline, ended = time.monotonic() + timeout, False
        while time.monotonic() < deadline and not ended:
            ended = self.proc.poll() is not None  # one more look at what it wrote last
            time.sleep(0.1 if ended else 0.05)
            m = re.compile(pattern, re.S).search(self.output(), since)
            if m:
                return m
        pytest.fail("no %r in the console (daemon %s):\n%s" % (
            pattern, "running" if self.proc.poll() is None else "ended %s" % self.proc.returncode,
            self.output().decode(errors="replace")[-6000:]))

    def stop(self):
        """Stops the daemon, which must still be running, and returns its console."""
        assert self.proc.poll() is None, "daemon ended: %r" % self.output()
        self.kill()
        return self.output()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(timeout=10)
        self._reader.join(timeout=5)


def wait(daemon, predicate, what, timeout=60.0):
    """Polls predicate until it answers something true, which it returns; fails
    with the console. The timeout only bounds a hung test."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    pytest.fail("%s did not happen; console:\n%s" %
                (what, daemon.output().decode(errors="replace")[-6000:]))


# The default mapping of the bench's two devices: session 0, TCP channels first.
TCP_IO = dict(do_count=4, di_count=4, ao_count=2, ai_count=2)
RTU_IO = dict(do_count=2, di_count=2, ao_count=1, ai_count=2)


class Bench:
    """A Modbus TCP and a Modbus RTU device with known inputs, and the NMEA
    feed on the GPS port with every RMC sentence it wrote kept, as the
    gateway keeps them (commas as colons)."""

    def __init__(self, root, talker="GP"):
        self.root = root
        self.sim = ModbusSim([TcpDevice(slave=1), RtuDevice(slave=2)])
        self.set_inputs([1, 0, 1, 1], [1111, 2222], [0, 1], [3333, 4444])
        self.rmc = []
        self._rmc_start = "$%sRMC" % talker
        self._lock = threading.Lock()
        self.feed = NmeaFeed(root / "dev/ttyUSB1", rate_hz=2.0, log=self._feed_line, echo=True,
                             talker=talker)
        self.feed.start()

    def set_inputs(self, tcp_di, tcp_ai, rtu_di, rtu_ai):
        for i, values in enumerate((tcp_di, tcp_ai, rtu_di, rtu_ai)):
            self.sim.set(i // 2, ("di", "ai")[i % 2], 0, values)

    def _feed_line(self, line):
        if line.startswith(self._rmc_start):
            with self._lock:
                self.rmc.append(line.replace(",", ":"))

    def rmc_index(self, value):
        """Where a GPS value the gateway sent stands among the feed's sentences."""
        with self._lock:
            assert value in self.rmc, (value, self.rmc[-5:])
            return self.rmc.index(value)

    def configure(self, mapping=DEFAULT_MAPPING, **settings):
        """Writes the three files; returns the mapping file's path."""
        tcp, rtu = self.sim.devices
        devices = [ModbusDevice(slave_id=1, tcp_port=tcp.port, **TCP_IO),
                   ModbusDevice(slave_id=2, serial_dev=rtu.path, **RTU_IO)]
        settings.setdefault("send_interval", 1)
        conf = install(self.root, prog_text(server_host="127.0.0.1", mqtt_host="127.0.0.1",
                                            **settings), device_text(devices), mapping)
        return conf / "quorvane_mapping.ini"

    def outputs(self, kind):
        """Coils ("do") or holding registers ("ao") of both devices, in slot order."""
        io = "%s_count" % kind
        return self.sim.get(0, kind, 0, TCP_IO[io]) + self.sim.get(1, kind, 0, RTU_IO[io])

    def close(self):
        self.feed.stop()
        self.sim.close()


class PtyEnd:
    """The gateway's end of a simulator's pseudo-terminal link."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.buf = b""

    def read_until(self, pattern, timeout=10.0):
        """Bytes up to and including the first match of pattern; the rest stays."""
        deadline = time.monotonic() + timeout
        while not (m := re.search(pattern, self.buf, re.S)):
            left = deadline - time.monotonic()
            assert left > 0, "no %r in %r" % (pattern, self.buf)
            if select.select([self.fd], [], [], left)[0]:
                self.buf += os.read(self.fd, 4096)
        out, self.buf = self.buf[:m.end()], self.buf[m.end():]
        return out

    def command(self, text):
        """One AT command: its echo and answer up to the final result."""
        os.write(self.fd, text.encode() + b"\r\n")
        return self.read_until(rb"\r\n(OK|ERROR)\r\n")

    def close(self):
        os.close(self.fd)
