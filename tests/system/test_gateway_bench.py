"""The whole daemon on the bench kit for several report cycles: two simulated
Modbus devices (TCP, and RTU on a pseudo-terminal), the simulated modem, an
NMEA feed on the GPS port, and the report server (UDP) or a private mosquitto
broker (MQTT). Live values of both devices reach the server, the GPS sentence
is the feed's newest, the status file is written, and the server's command
reaches the coils."""

import re
import threading
import time

import pytest

from bench_config import DEFAULT_MAPPING, ModbusDevice, device_text, install, prog_text
from broker import Subscriber
from conftest import BUILD_DIR
from gateway import Daemon, quick_modem
from modbus_sim import ModbusSim, RtuDevice, TcpDevice
from nmea_feed import NmeaFeed
from report_server import ReportServer

# Default mapping of the two devices: session 0, TCP channels first.
TCP_IO = dict(do_count=4, di_count=4, ao_count=2, ai_count=2)
RTU_IO = dict(do_count=2, di_count=2, ao_count=1, ai_count=2)
COILS = [0, 1, 0, 0, 1, 1]          # what the server commands: TCP 0100, RTU 11
COILS_HEX = "".join("%02X" % v for v in COILS)


class Bench:
    """Devices with known inputs, the NMEA feed (every RMC sentence kept) and
    the configuration files of one session."""

    def __init__(self, root):
        self.root = root
        self.sim = ModbusSim([TcpDevice(slave=1), RtuDevice(slave=2)])
        self.set_inputs([1, 0, 1, 1], [1111, 2222], [0, 1], [3333, 4444])
        self.rmc = []
        self._lock = threading.Lock()
        self.feed = NmeaFeed(root / "dev/ttyUSB1", rate_hz=2.0, log=self._feed_line, echo=True)

    def set_inputs(self, tcp_di, tcp_ai, rtu_di, rtu_ai):
        self.sim.set(0, "di", 0, tcp_di)
        self.sim.set(0, "ai", 0, tcp_ai)
        self.sim.set(1, "di", 0, rtu_di)
        self.sim.set(1, "ai", 0, rtu_ai)

    def _feed_line(self, line):
        if line.startswith("$GPRMC"):
            with self._lock:
                self.rmc.append(line.replace(",", ":"))

    def newest_rmc(self, n):
        """The last n RMC sentences written, as the gateway keeps them."""
        with self._lock:
            return self.rmc[-n:]

    def configure(self, **settings):
        tcp, rtu = self.sim.devices
        devices = [ModbusDevice(slave_id=1, tcp_port=tcp.port, **TCP_IO),
                   ModbusDevice(slave_id=2, serial_dev=rtu.path, **RTU_IO)]
        install(self.root, prog_text(send_interval=1, server_host="127.0.0.1",
                                     mqtt_host="127.0.0.1", **settings),
                device_text(devices), DEFAULT_MAPPING)

    def coils(self):
        return self.sim.get(0, "do", 0, 4) + self.sim.get(1, "do", 0, 2)

    def close(self):
        self.feed.stop()
        self.sim.close()


@pytest.fixture
def bench(root):
    b = Bench(root)
    b.feed.start()
    yield b
    b.close()


def wait(daemon, predicate, what, timeout=30.0):
    """Polls predicate until it answers something true; fails with the console."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    pytest.fail("%s did not happen; console:\n%s" %
                (what, daemon.output().decode(errors="replace")[-6000:]))


def check_status_file(root):
    status = (root / "tmp/modemInfo.txt").read_bytes()
    assert len(status) == 512
    assert status.startswith(b"cregvalue=1\ncsqvalue=23\n")
    assert status.rstrip(b"\0").endswith(b"csqvalue=23\n")


def test_udp_reports_live_values_gps_and_takes_commands(root, bench):
    with ReportServer(port=0, params=BUILD_DIR / "codec_params.txt") as server:
        server.set_values(0, "RDO", COILS)
        bench.configure(server_port=server.address[1])
        with quick_modem(root, udp_server=server.address):
            daemon = Daemon(root)
            try:
                def frame(ftype, values, since=0):
                    return lambda: server.wait_for(
                        lambda f: f["type"] == ftype and f["values"] == values, 0.1, since)

                wait(daemon, frame("WDI", [1, 0, 1, 1, 0, 1]), "WDI of the first inputs")
                wait(daemon, frame("WAI", [1111, 2222, 3333, 4444]), "WAI of the first inputs")
                # Inputs that change on both devices reach the server.
                since = len(server.frames)
                bench.set_inputs([0, 1, 1, 0], [5, 65535], [1, 0], [7, 0])
                wait(daemon, frame("WDI", [0, 1, 1, 0, 1, 0], since), "WDI of new inputs")
                wait(daemon, frame("WAI", [5, 65535, 7, 0], since), "WAI of new inputs")
                # The RDO answers' values reach the coils of both devices.
                wait(daemon, lambda: bench.coils() == COILS, "the coils commanded")
                # Several cycles; each GPS value is one of the feed's newest.
                last = wait(daemon, lambda: server.wait_for(
                    lambda f: f["type"] == "WGPS" and f["packet_id"] >= 4, 0.1), "five cycles")
                assert last["values"][0] in bench.newest_rmc(4)
                check_status_file(root)
            finally:
                daemon.kill()
    # Only the first cycle may come before the GPS thread has kept a sentence.
    wgps = [f for f in server.frames if f["type"] == "WGPS" and f["packet_id"] >= 1]
    assert all(re.fullmatch(r"\$GPRMC:[0-9.]+:A:[0-9.:NSEW]+:[0-9.]+:[0-9.]+:\d{6}:::A\*[0-9A-F]{2}",
                            f["values"][0]) for f in wgps), wgps
    assert [f["packet_id"] for f in server.frames if f["type"] == "DEVINFO"][:5] == [0, 1, 2, 3, 4]
    assert b"[ERROR]" not in daemon.output() and b"[Error]" not in daemon.output()


def test_mqtt_publishes_live_values_gps_and_takes_commands(root, bench, mosquitto):
    bench.configure(mqtt_enable=1, mqtt_port=mosquitto.port,
                    sub_topic1="gw/cmd/+/DO", sub_topic2="gw/cmd/+/AO")
    listener = Subscriber(mosquitto.host, mosquitto.port, "gw/#")
    with quick_modem(root, mqtt_broker=(mosquitto.host, mosquitto.port)) as modem:
        daemon = Daemon(root)
        try:
            wait(daemon, lambda: "010001010001" in listener.on("gw/di"), "DI publication")
            wait(daemon, lambda: "045708AE0D05115C" in listener.on("gw/ai"), "AI publication")
            bench.set_inputs([0, 1, 1, 0], [5, 65535], [1, 0], [7, 0])
            wait(daemon, lambda: "000101000100" in listener.on("gw/di"), "DI of new inputs")
            wait(daemon, lambda: "0005FFFF00070000" in listener.on("gw/ai"), "AI of new inputs")

            wait(daemon, lambda: len(modem.subscriptions) >= 2, "both subscriptions")
            listener.publish("gw/cmd/0/DO", COILS_HEX)
            wait(daemon, lambda: bench.coils() == COILS, "the coils commanded")
            wait(daemon, lambda: "DO_ACK" in listener.on("gw/ack"), "the acknowledgement")

            count = len(listener.on("gw/gps"))
            wait(daemon, lambda: len(listener.on("gw/gps")) >= count + 2, "two more cycles")
            assert listener.on("gw/gps")[-1] in bench.newest_rmc(4)
            check_status_file(root)
        finally:
            daemon.kill()
            listener.close()
    assert len(listener.on("gw/info")) >= 3
    assert b"[ERROR]" not in daemon.output() and b"[Error]" not in daemon.output()
