"""A private mosquitto broker for the bench kit: on a free loopback port, with
its own configuration file, never the system service; and a subscriber that
keeps what the broker carries."""

import pathlib
import shutil
import socket
import subprocess
import threading
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
        end_process(self.proc)
        self.proc = None


def end_process(proc, timeout=5.0):
    """SIGTERM, then SIGKILL when it has not ended within timeout seconds."""
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Subscriber:
    """A paho client subscribed to `topic` that keeps every (topic, payload
    text) it receives and, when given, calls on_message(topic, text) too."""

    def __init__(self, host, port, topic="#", on_message=None):
        import paho.mqtt.client as mqtt   # only MQTT users need paho
        self._cond = threading.Condition()
        self._messages = []
        self._callback = on_message
        self.client = mqtt.Client()
        self.client.on_message = self._on_message
        self.client.connect(host, port)
        self.client.subscribe(topic, qos=1)
        self.client.loop_start()

    def _on_message(self, _client, _userdata, msg):
        text = msg.payload.decode("latin-1")
        with self._cond:
            self._messages.append((msg.topic, text))
            self._cond.notify_all()
        if self._callback:
            self._callback(msg.topic, text)

    def on(self, topic):
        """The payloads received on one topic, in order."""
        with self._cond:
            return [text for t, text in self._messages if t == topic]

    def publish(self, topic, payload):
        self.client.publish(topic, payload, qos=1).wait_for_publish(5)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()
