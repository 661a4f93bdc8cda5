"""Shared fixtures of the system tests: where the build is, a private
QUORVANE_ROOT per test, the daemon as a child process, and a private
MQTT broker."""

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

from broker import Mosquitto, free_port  # noqa: E402  (tools/ is on the path now)


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
def mosquitto(tmp_path):
    """A running private broker (a Mosquitto handle: host, port, stop(), start())."""
    broker = Mosquitto(tmp_path).start()
    yield broker
    broker.stop()


@pytest.fixture
def mosquitto_broker(mosquitto):
    """(host, port) of a running private broker."""
    yield (mosquitto.host, mosquitto.port)
