"""A private mosquitto broker for the bench kit: on a free loopback port, with
its own configuration file, never the system service."""

import pathlib
import shutil
import socket
import subprocess
import time


def free_port(kind=socket.SOCK_STREAM):
    """A port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Mosquitto:
    """Mosquitto(workdir).start() runs the broker with workdir/mosquitto.conf
    (log in workdir/mosquitto.log); host and port say where; stop() ends it."""

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
            # A session of its own: a Ctrl-C on the terminal reaches whoever
            # started it, who stops it in turn.
            self.proc = subprocess.Popen([exe, "-c", str(self.conf)],
                                         stdout=subprocess.DEVNULL, stderr=log,
                                         start_new_session=True)
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
