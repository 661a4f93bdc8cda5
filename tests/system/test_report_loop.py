"""Report cycles end to end: the daemon with the simulated modem, a simulated
Modbus TCP device and either the report server (UDP: every frame answered) or
a private mosquitto broker (MQTT). Several cycles complete; what arrives is
compared with the exact texts the device's values make.

One session, ID 4: DO on coils 0-1, DI on inputs 0-2, AO on register 0, AI on
input registers 0-1. No GPS receiver is attached, so the GPS value is empty."""

import re

import pytest

from conftest import BUILD_DIR
from modbus_sim import ModbusSim, TcpDevice
from report_server import ReportServer
from test_config_files import device_block, mapping_file
from test_config_files import device_file as config_device_file
from test_downlink_e2e import AckListener
from gateway import Daemon, prog_file, quick_modem

SESSION_ID = 4
# The simulated modem's serving cell: field 5 (RSRP), 11 (coverage class), 8 (SNR).
DEVINFO_VALUES = "-852,0,52,0"


def device_file(port):
    """One Modbus TCP device: 2 coils, 3 inputs, 1 holding and 2 input registers."""
    return config_device_file(device_block(1, do=2, di=3, ao=1, ai=2, tcp_port=port))


@pytest.fixture
def device(root):
    """The simulated device with DI 1 0 1 and AI 65535 12, and the files of the
    one session."""
    with ModbusSim([TcpDevice()]) as sim:
        sim.set(0, "di", 0, [1, 0, 1])
        sim.set(0, "ai", 0, [65535, 12])
        conf = root / "korvel/quorvane"
        (conf / "quorvane.ini").write_bytes(device_file(sim.devices[0].port))
        (conf / "quorvane_mapping.ini").write_bytes(mapping_file(
            0, [(SESSION_ID, [b"1-1,1-2,", b"1-1,1-2,1-3,", b"1-1,", b"1-1,1-2,"])]))
        yield sim


def udp_cycle(pid):
    head = "AE,QRX724H,0100,%d,%d," % (SESSION_ID, pid)
    return [head + "DEVINFO,0,4," + DEVINFO_VALUES + ",EA",
            head + "RDO,0,2,EA",
            head + "WDI,0,3,1,0,1,EA",
            head + "RAO,0,1,EA",
            head + "WAI,0,2,65535,12,EA",
            head + "WGPS,0,1,,EA"]


def time_periods(console):
    return [int(m) for m in re.findall(rb"Time Period = (\d+) ms\n", console)]


def status_file(root):
    return (root / "tmp/modemInfo.txt").read_bytes()


def test_udp_cycles_with_every_frame_answered(root, device):
    with ReportServer(port=0, params=BUILD_DIR / "codec_params.txt") as server:
        prog_file(root, send_interval=3, server_port=server.address[1])
        with quick_modem(root, udp_server=server.address) as sim:
            daemon = Daemon(root)
            try:
                server.wait_for(lambda f: f["type"] == "WGPS" and f["packet_id"] == 0,
                                timeout=60)
                # The status file is refreshed at each DEVINFO, not only at bring-up.
                assert status_file(root).startswith(b"cregvalue=1\ncsqvalue=23\n\0")
                sim.set_signal(17)
                server.wait_for(lambda f: f["type"] == "WGPS" and f["packet_id"] == 2,
                                timeout=60)
                assert status_file(root) == b"cregvalue=1\ncsqvalue=17\n".ljust(512, b"\0")
            finally:
                daemon.kill()
        frames = server.frames
    console = daemon.output()
    for pid in (0, 1, 2):
        texts = [f["text"] for f in frames if f["packet_id"] == pid]
        assert texts == udp_cycle(pid), console.decode(errors="replace")
    assert all(f["answered"] for f in frames if f["packet_id"] in (0, 1, 2))
    # Answered at once: each cycle ends just after the period.
    periods = time_periods(console)
    assert len(periods) >= 2
    for t in periods[:2]:
        assert 3000 < t < 4500, periods
    assert b"Send packet error!!" not in console
    assert b"Receive timeout!!" not in console


class Listener(AckListener):
    """Keeps every publication under gw/, with its topic."""

    def __init__(self, host, port):
        super().__init__(host, port, "gw/#")

    def _on_message(self, _client, _userdata, msg):
        with self._cond:
            self.messages.append((msg.topic, msg.payload))
            self._cond.notify_all()


JSON = re.compile(rb'\[\n\{\n"id":"s01",\n"deviceId":"gw01",\n'
                  rb'"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ",\n"value":\[\n"(.*)"\n\]\n\}\n\]\Z',
                  re.S)


@pytest.mark.parametrize("cht", [0, 1], ids=["plain", "json"])
def test_mqtt_cycles_publish_on_the_configured_topics(root, device, mosquitto, cht):
    host, port = mosquitto.host, mosquitto.port
    prog_file(root, send_interval=2, mqtt_enable=1, mqtt_port=port, mqtt_cht=cht,
              pub_topic_info="gw/info", pub_topic_di="gw/di", pub_topic_ai="gw/ai",
              pub_topic_gps="gw/gps")
    # Without a GPS sentence the plain GPS payload is empty, and an empty
    # publication goes out as such.
    per_cycle = 4
    listener = Listener(host, port)
    try:
        with quick_modem(root, mqtt_broker=(host, port)):
            daemon = Daemon(root)
            try:
                got = listener.wait(3 * per_cycle, timeout=60)
                daemon.wait_output(rb"(Time Period = \d+ ms\n.*){2}")
            finally:
                daemon.kill()
    finally:
        listener.close()
    console = daemon.output()
    assert len(got) >= 3 * per_cycle, console.decode(errors="replace")
    expected = [("gw/info", DEVINFO_VALUES.encode()), ("gw/di", b"010001"),
                ("gw/ai", b"FFFF000C"), ("gw/gps", b"")]
    if cht:
        expected = [("gw/info", DEVINFO_VALUES.encode()), ("gw/di", b"4/DI/010001"),
                    ("gw/ai", b"4/AI/FFFF000C"), ("gw/gps", b"")]
    for i, (topic, payload) in enumerate(got[:3 * per_cycle]):
        want_topic, want = expected[i % per_cycle]
        assert topic == want_topic, got
        if cht:
            m = JSON.match(payload)
            assert m, payload
            assert m.group(1) == want
        else:
            assert payload == want
    assert b"Send packet error!!" not in console
    assert b"Send RDO Request Message" not in console
    assert b"Send RAO Request Message" not in console
    periods = time_periods(console)
    assert len(periods) >= 2
    for t in periods[:2]:
        assert 2000 < t < 3500, periods
