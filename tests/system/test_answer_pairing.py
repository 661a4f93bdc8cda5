"""Every modem answer belongs to the command that asked for it, and the
generated mapping file is replaced whole: the daemon against the simulated
modem with its echo off, a modem that answers slowly past the report loop's
idle-pass limit, MQTT settings that hold OK and ERROR, and a mapping rewrite
whose write fails."""

import re
import resource
import signal

import pytest

from bench_config import DEFAULT_MAPPING, ModbusDevice, device_text, install
from broker import Subscriber
from conftest import run_daemon
from gateway import prog_file, quick_modem
from modbus_sim import ModbusSim, TcpDevice

# The simulated modem's serving cell as DEVINFO reports it (RSRP, ECL, SNR, 0).
DEVINFO_VALUES = [-852, 0, 52, 0]


@pytest.fixture
def device(root):
    """One Modbus TCP device (2 DI, 1 AI) and a mapping the gateway generates."""
    with ModbusSim([TcpDevice()]) as sim:
        sim.set(0, "di", 0, [1, 0])
        install(root, devices=device_text([ModbusDevice(di_count=2, ai_count=1,
                                                        tcp_port=sim.devices[0].port)]),
                mapping=DEFAULT_MAPPING)
        yield sim


def devinfo_frames(server):
    return [f for f in server.frames if f["type"] == "DEVINFO"]


def restarts(sim):
    return [c for c in sim.commands if c.startswith("AT+ZRST")]


def test_echo_off_brings_up_and_reports(root, device, report_server, daemon):
    server = report_server
    prog_file(root, send_interval=1, server_port=server.address[1])
    with quick_modem(root, udp_server=server.address, echo=False) as sim:
        gateway = daemon()
        assert server.wait_for(lambda f: f["type"] == "WGPS" and f["packet_id"] == 1, timeout=30)
        console = gateway.stop()
        assert not sim.status()["echo"] and restarts(sim) == ["AT+ZRST"]
    # Every frame answered (the +ESONMI reports handled): cycles end on the period.
    periods = [int(p) for p in re.findall(rb"Time Period = (\d+) ms", console)]
    assert periods and all(p < 30000 for p in periods)
    assert all(f["values"] == DEVINFO_VALUES for f in devinfo_frames(server))
    assert b"dropped" not in console


def test_a_slow_modem_stays_paired_past_the_idle_pass_limit(root, device, report_server, daemon):
    server = report_server
    # Every frame's echo and answer come 0.3 s late: most counted wait passes
    # fall while a frame's answer is on its way, so the limit (3000 passes of
    # 20 ms) ends a message early and its answer arrives behind the next one.
    prog_file(root, send_interval=0, server_port=server.address[1])
    with quick_modem(root, udp_server=server.address, delays={"AT+ESOSEND": 0.3}) as sim:
        gateway = daemon()
        limit = gateway.wait_output(rb"Receive timeout!! Still receive nothing!!", timeout=100)
        gateway.wait_output(rb"\[ERROR\] Result OK of an earlier command dropped!!",
                            timeout=10, since=limit.start())
        seen = len(devinfo_frames(server))
        assert server.wait_count(seen + 2, lambda f: f["type"] == "DEVINFO", timeout=20)
        console = gateway.stop()
        assert restarts(sim) == ["AT+ZRST"]  # registered all along: never restarted
    assert b"cregvalue=0" not in console and b"Send packet error" not in console
    assert all(f["values"] == DEVINFO_VALUES for f in devinfo_frames(server))


def test_mqtt_settings_holding_ok_and_error(root, device, mosquitto, daemon):
    topics = {"sub_topic1": "OK/cmd/DO", "sub_topic2": "ERROR/cmd/AO",
              "pub_topic_info": "OK/ERROR/info", "pub_topic_di": "ERROR/di",
              "pub_topic_ai": "OK/ai", "pub_topic_gps": "ERROR/OK/gps"}
    prog_file(root, mqtt_enable=1, mqtt_port=mosquitto.port, mqtt_user="OK",
              mqtt_password="ERROR", send_interval=1, **topics)
    subscriber = Subscriber(mosquitto.host, mosquitto.port)
    with quick_modem(root) as sim:
        gateway = daemon()
        try:
            sim.wait_until(lambda: len(subscriber.on("ERROR/OK/gps")) >= 2, timeout=30)
        finally:
            subscriber.close()
        console = gateway.stop()
        connect = sim.mqtt_connects[0]
        assert (connect["ok"], connect["user"], connect["password"]) == (True, "OK", "ERROR")
        assert sorted(s[1] for s in sim.subscriptions) == ["ERROR/cmd/AO", "OK/cmd/DO"]
    assert subscriber.on("OK/ERROR/info")[0] == "-852,0,52,0"
    assert subscriber.on("ERROR/di")[0] == "0100"
    assert b"[ERROR]" not in console and len(sim.mqtt_connects) == 1


def test_a_failing_mapping_write_leaves_the_old_file_whole(root, device):
    # Files may grow to 64 bytes: the generated text (some 600) cannot be
    # written, root or not. SIGXFSZ ignored, so that the write fails instead.
    old = DEFAULT_MAPPING + b"sessionID_mapping=0\r\n[DO]\r\n\r\n[DI]\r\n1-1,\r\n"
    mapping = install(root, mapping=old) / "quorvane_mapping.ini"
    prog_file(root)
    before = sorted(p.name for p in mapping.parent.iterdir())

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    with quick_modem(root):
        result = run_daemon([], root, timeout=30, preexec_fn=small_files)
    assert result.returncode == 1
    assert re.search(rb"quorvane_mapping.ini: writing the new text failed \(File too large\), "
                     rb"the file is left as it was!!\n$", result.stdout), result.stdout[-2000:]
    assert mapping.read_bytes() == old
    assert sorted(p.name for p in mapping.parent.iterdir()) == before
