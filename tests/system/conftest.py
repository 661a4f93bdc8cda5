"""Shared fixtures of the system tests: where the build is, a private
QUORVANE_ROOT per test, the daemon as a child process, and a private
MQTT broker."""

import os
import pathlib
import shutil
import socket
import subprocess
import sys
import time

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("QUORVANE_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parents[2]))
BUILD_DIR = pathlib.Path(os.environ.get("QUORVANE_BUILD_DIR", SOURCE_DIR / "build"))
DAEMON = BUILD_DIR / "quorvane"

sys.path.insert(0, str(SOURCE_DIR / "tools"))


@pytest.fixture
def root(tmp_path):
    """An empty QUORVANE_ROOT with the folders the daemon uses."""
    for sub in ("korvel/quorvane", "dev", "tmp"):
        (tmp_path / sub).mkdir(parents=True, exist_ok=True)
    return tmp_path


def run_daemon(args, root_dir, timeout=10, **kwargs):
    env = dict(os.environ, QUORVANE_ROOT=str(root_dir))
    return subprocess.run([str(DAEMON), *args], env=env, capture_output=True,
                          timeout=timeout, **kwargs)


def free_port(kind=socket.SOCK_STREAM):
    """A port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Mosquitto:
    """A private mosquitto broker on a free loopback port, with its own
    configuration file (never the system service)."""

    def __init__(self, workdir, extra_conf=""):
        self.host, self.port = "127.0.0.1", free_port()
        self.conf = pathlib.Path(workdir) / "mosquitto.conf"
        self.conf.write_text("listener %d 127.0.0.1\nallow_anonymous true\n"
                             "persistence false\nlog_dest stderr\n%s" % (self.port, extra_conf))
        self.log = pathlib.Path(workdir) / "mosquitto.log"
        self.proc = None

    def start(self, timeout=10.0):
        exe = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen([exe, "-c", str(self.conf)],
                                         stdout=subprocess.DEVNULL, stderr=log)
        deadline = time.monotonic() + timeout
        while True:
            try:
                socket.create_connection((self.host, self.port), timeout=1).close()
                return self
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("mosquitto did not start: " + self.log.read_text())
                time.sleep(0.05)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


@pytest.fixture
def mosquitto(tmp_path):
    """A running private broker (a Mosquitto handle: host, port, stop(), start())."""
    broker = Mosquitto(tmp_path).start()
    yield broker
    broker.stop()


@pytest.fixture
def mosquitto_broker(mosquitto):
    """(host, port) of a running private broker."""
    yield (mosquitto.host, mosquitto.port)
