"""Fixtures of the system tests: where the build is, a private QUORVANE_ROOT
per test, daemons that are always stopped, the bench kit's simulators and a
private MQTT broker. The helpers they use live in gateway.py."""

import os
import pathlib
import subprocess
import sys

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("QUORVANE_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parents[2]))
BUILD_DIR = pathlib.Path(os.environ.get("QUORVANE_BUILD_DIR", SOURCE_DIR / "build"))
DAEMON = BUILD_DIR / "quorvane"

sys.path.insert(0, str(SOURCE_DIR / "tools"))

from broker import Mosquitto  # noqa: E402  (tools/ is on the path now)


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


@pytest.fixture
def daemon(root):
    """daemon(**options) starts the daemon under root; every one started is
    killed at the end of the test, whatever happened."""
    from gateway import Daemon
    started = []

    def start(**options):
        started.append(Daemon(root, **options))
        return started[-1]

    yield start
    for d in started:
        d.kill()


@pytest.fixture
def bench(root):
    """Two Modbus devices (TCP, and RTU on a pty) and the NMEA feed on the GPS port."""
    from gateway import Bench
    b = Bench(root)
    yield b
    b.close()


@pytest.fixture
def report_server():
    """The UDP report server with the build's codec parameters."""
    from report_server import ReportServer
    with ReportServer(port=0, params=BUILD_DIR / "codec_params.txt") as server:
        yield server


@pytest.fixture
def mosquitto(tmp_path):
    """A running private broker (a Mosquitto handle: host, port, stop(), start())."""
    broker = Mosquitto(tmp_path).start()
    yield broker
    broker.stop()


@pytest.fixture
def listener(mosquitto):
    """A client of the broker keeping every publication under gw/."""
    from broker import Subscriber
    sub = Subscriber(mosquitto.host, mosquitto.port, "gw/#")
    yield sub
    sub.close()
