"""Faults injected around the whole daemon on the bench kit, each with the
recovery the gateway owes: the broker stopped and restarted, publications
refused by the modem, the modem losing registration, malformed datagrams and
garbage on the GPS port, a silent report server, the modem falling silent in
the middle of an answer, and a Modbus device going offline (the daemon ends
with status 1). In none of them may an output change that no command asked
for."""

import pytest

from bench_config import DEFAULT_MAPPING, ModbusDevice, device_text, install, prog_text
from broker import Subscriber
from conftest import BUILD_DIR
from gateway import Daemon, quick_modem
from report_server import ReportServer
from test_gateway_bench import RTU_IO, TCP_IO, Bench, wait

START_COILS = [1, 0, 1, 1, 0, 1]   # TCP device 1011, RTU device 01


@pytest.fixture
def bench(root):
    b = Bench(root)
    b.sim.set(0, "do", 0, START_COILS[:4])
    b.sim.set(1, "do", 0, START_COILS[4:])
    b.feed.start()
    yield b
    b.close()


def configure(bench, **settings):
    tcp, rtu = bench.sim.devices
    devices = [ModbusDevice(slave_id=1, tcp_port=tcp.port, **TCP_IO),
               ModbusDevice(slave_id=2, serial_dev=rtu.path, **RTU_IO)]
    settings.setdefault("send_interval", 1)
    install(bench.root, prog_text(server_host="127.0.0.1", mqtt_host="127.0.0.1", **settings),
            device_text(devices), DEFAULT_MAPPING)


def udp_server(bench):
    """A report server whose RDO answers repeat the coils as they are, so that
    no answer asks for a change."""
    server = ReportServer(port=0, params=BUILD_DIR / "codec_params.txt")
    server.set_values(0, "RDO", START_COILS)
    return server


def test_broker_stopped_and_restarted(root, bench, mosquitto):
    configure(bench, mqtt_enable=1, mqtt_port=mosquitto.port)
    with quick_modem(root, mqtt_broker=(mosquitto.host, mosquitto.port), mqtt_timeout=1.0):
        daemon = Daemon(root)
        listener = Subscriber(mosquitto.host, mosquitto.port, "gw/#")
        try:
            wait(daemon, lambda: listener.on("gw/di"), "a DI publication")
            listener.close()
            mosquitto.stop()
            daemon.wait_output(rb"Receive EMQDISCON message!!", timeout=30)
            # Reconnection fails while the broker is away; then a full bring-up.
            daemon.wait_output(rb"\[ERROR\] MQTT connection error!!", timeout=60)
            mosquitto.start()
            listener = Subscriber(mosquitto.host, mosquitto.port, "gw/#")
            wait(daemon, lambda: len(listener.on("gw/di")) >= 2, "publications after the restart",
                 timeout=90)
        finally:
            daemon.kill()
            listener.close()
    assert bench.coils() == START_COILS


def test_refused_publications_are_resent_then_given_up(root, bench, mosquitto):
    configure(bench, mqtt_enable=1, mqtt_port=mosquitto.port)
    with quick_modem(root, mqtt_broker=(mosquitto.host, mosquitto.port)) as modem:
        daemon = Daemon(root)
        listener = Subscriber(mosquitto.host, mosquitto.port, "gw/#")
        try:
            wait(daemon, lambda: listener.on("gw/info"), "a DEVINFO publication")
            modem.error_next("AT+EMQPUB", 4)
            daemon.wait_output(rb"Send packet error!! Already retry 3 times\. Sent next message\.",
                               timeout=60)
            count = len(listener.on("gw/info"))
            wait(daemon, lambda: len(listener.on("gw/info")) > count, "publications going on",
                 timeout=60)
        finally:
            daemon.kill()
            listener.close()
    out = daemon.output()
    for n in (1, 2, 3):
        assert b"Send packet error!! Resent packet[%d]." % n in out
    assert bench.coils() == START_COILS


def test_lost_registration_restarts_the_modem(root, bench):
    with udp_server(bench) as server:
        # A period longer than one cycle's messages: the cycle ends before the
        # period is over, which is when an unregistered modem is restarted.
        configure(bench, send_interval=12, server_port=server.address[1])
        with quick_modem(root, udp_server=server.address) as modem:
            daemon = Daemon(root)
            try:
                # Lost once the first cycle's answers are in (a modem off the
                # network delivers nothing), so the next DEVINFO finds it lost.
                daemon.wait_output(rb"Type           = WGPS\n", timeout=60)
                modem.set_registration(2, seconds=14)
                daemon.wait_output(rb"Send: AT\+ESOCL=1\r\n.*Send: AT\+ZRST", timeout=60)
                pid = server.frames[-1]["packet_id"]
                server.wait_for(lambda f: f["type"] == "WGPS" and f["packet_id"] > pid,
                                timeout=90)
            finally:
                daemon.kill()
    assert bench.coils() == START_COILS


def test_malformed_datagrams_and_gps_garbage_are_survived(root, bench):
    with udp_server(bench) as server:
        configure(bench, server_port=server.address[1])
        with quick_modem(root, udp_server=server.address):
            daemon = Daemon(root)
            try:
                server.wait_for(lambda f: f["type"] == "WGPS", timeout=60)
                server.send_text("XX,garbage")
                server.send_text("AE,QRX724H,0100,0,0,RDO")
                server.send_command(9, "RDO", [0, 0, 0, 0, 0, 0])     # no such session
                server.send_command(0, "RDO", [0, 0])                  # too few values
                bench.feed.inject(b"\x00\xff$GPRMC,garbage" + b"x" * 300 + b"\r\n$GPGGA,,\r\n")
                daemon.wait_output(rb"Message format error!!")
                daemon.wait_output(rb"Message has fewer than 8 fields!!")
                daemon.wait_output(rb"Session ID 9 is not configured\. Command ignored!!")
                daemon.wait_output(rb"DO values refused: Number 2, 6 slots")
                pid = server.frames[-1]["packet_id"]
                last = server.wait_for(lambda f: f["type"] == "WGPS" and f["packet_id"] > pid + 1,
                                       timeout=60)
                assert last["values"][0] in bench.newest_rmc(6)
                assert daemon.proc.poll() is None
            finally:
                daemon.kill()
    assert bench.coils() == START_COILS


def test_device_offline_ends_the_daemon(root, bench):
    with udp_server(bench) as server:
        configure(bench, server_port=server.address[1])
        with quick_modem(root, udp_server=server.address):
            daemon = Daemon(root)
            try:
                server.wait_for(lambda f: f["type"] == "WDI", timeout=60)
                bench.sim.offline(0)
                assert daemon.wait_exit(timeout=30) == 1
            finally:
                daemon.kill()
    out = daemon.output()
    assert b"[Error] Connection failed\n" in out
    assert out.rstrip().endswith(b"[Error] modbusFC error!!")


def test_silent_server_ends_the_cycle_after_the_answer_wait(root, bench):
    with udp_server(bench) as server:
        server.silence()
        configure(bench, server_port=server.address[1])
        with quick_modem(root, udp_server=server.address):
            daemon = Daemon(root)
            try:
                m = daemon.wait_output(rb"Time Period = (\d+) ms\n", timeout=90)
                # The next cycle carries the next packet ID.
                server.wait_for(lambda f: f["type"] == "DEVINFO" and f["packet_id"] == 1,
                                timeout=30)
            finally:
                daemon.kill()
    assert int(m.group(1)) > 30000
    assert not server.sent
    assert bench.coils() == START_COILS


def test_modem_silent_in_the_middle_of_a_command(root, bench):
    with udp_server(bench) as server:
        configure(bench, server_port=server.address[1])
        with quick_modem(root, udp_server=server.address) as modem:
            daemon = Daemon(root)
            try:
                server.wait_for(lambda f: f["type"] == "WGPS", timeout=60)
                modem.cut_next("AT+ESOSEND", 1)   # half an answer, then nothing
                daemon.wait_output(rb"Receiving message timeout!!\n.*"
                                   rb"Receive timeout!! Still receive nothing!!", timeout=120)
                pid = server.frames[-1]["packet_id"]
                server.wait_for(lambda f: f["type"] == "WGPS" and f["packet_id"] > pid,
                                timeout=60)
            finally:
                daemon.kill()
    assert bench.coils() == START_COILS
