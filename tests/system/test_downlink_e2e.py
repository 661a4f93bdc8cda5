"""Server commands end to end: the daemon with the simulated modem, a simulated
Modbus TCP device, and either the report server (UDP: RDO/RAO answers carry
the values) or a private mosquitto broker (MQTT: DO/AO commands published on
the subscribed topics, acknowledged on the acknowledgement topic).

One session, ID 2: DO slots on coils 0-2 and AO slots on holding registers
0-1 of the device; coil 3 and register 2 are on the device but not mapped, and
must keep their values through every write."""

import json
import re
import threading
import time

import paho.mqtt.client as mqtt
import pytest

from conftest import BUILD_DIR
from modbus_sim import ModbusSim, TcpDevice
from modem_sim import ModemSim
from report_server import ReportServer
from test_config_files import mapping_file
from gateway import Daemon, prog_file

SESSION_ID = 2


def device_file(port):
    """One Modbus TCP device: 4 coils and 3 holding registers from address 0."""
    values = [("slave_id", 1), ("do_count", 4), ("di_count", 0), ("ao_count", 3),
              ("ai_count", 0), ("do_start", 0), ("di_start", 0), ("ao_start", 0),
              ("ai_start", 0), ("is_tcp", 1), ("ip_addr", "127.0.0.1"), ("tcp_port", port),
              ("serial_dev", "/dev/ttyS1"), ("baud", 9600), ("parity", "N"),
              ("data_bits", 8), ("stop_bits", 1), ("do_as_di", 0), ("ao_as_ai", 0)]
    text = "modbus_number=1\r\n[MODBUS01]\r\n" + "".join("%s=%s\r\n" % v for v in values)
    return text.encode()


def install_session(root, sim):
    """Starting values on the simulated device (coils 0 0 0 1, registers
    0 0 77), and the device and mapping files of the one session."""
    sim.set(0, "do", 0, [0, 0, 0, 1])
    sim.set(0, "ao", 0, [0, 0, 77])
    conf = root / "korvel/quorvane"
    (conf / "quorvane.ini").write_bytes(device_file(sim.devices[0].port))
    (conf / "quorvane_mapping.ini").write_bytes(
        mapping_file(0, [(SESSION_ID, [b"1-1,1-2,1-3,", b"0-0,", b"1-1,1-2,", b"0-0,"])]))


@pytest.fixture
def device(root):
    """The simulated device, installed with the mapping of the one session."""
    with ModbusSim([TcpDevice()]) as sim:
        install_session(root, sim)
        yield sim


def wait_values(daemon, sim, kind, count, expected, timeout=30.0):
    """Polls the device until its first `count` values of `kind` are `expected`."""
    sim_values = None
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        sim_values = sim.get(0, kind, 0, count)
        if sim_values == expected:
            return
        time.sleep(0.05)
    pytest.fail("%s stayed %r, expected %r; console:\n%s" %
                (kind, sim_values, expected, daemon.output().decode(errors="replace")))


def test_udp_rdo_and_rao_answers_set_the_outputs(root, device):
    with ReportServer(port=0, params=BUILD_DIR / "codec_params.txt") as server:
        server.set_values(SESSION_ID, "RDO", [1, 0, 1])
        server.set_values(SESSION_ID, "RAO", [1000, 65535])
        prog_file(root, send_interval=1, server_port=server.address[1])
        with ModemSim(root / "dev/ttyUSB0", udp_server=server.address, zrst_delay=0.05,
                      register_delay=0.1):
            daemon = Daemon(root)
            try:
                wait_values(daemon, device, "do", 4, [1, 0, 1, 1])
                wait_values(daemon, device, "ao", 3, [1000, 65535, 77])
                # The next cycle's answers equal the image: nothing is written.
                daemon.wait_output(rb"DO values are same\. No need to write values to modbus\.\n")
                daemon.wait_output(rb"AO values are same\. No need to write values to modbus\.\n")
                # New values from the server reach the device on a later cycle.
                server.set_values(SESSION_ID, "RDO", [0, 1, 0])
                wait_values(daemon, device, "do", 4, [0, 1, 0, 1])
            finally:
                daemon.kill()
        console = daemon.output()
        assert b"!! This message is for SESSION02 !!\n" in console
        # Written for the session with the values of the first scan shown.
        assert re.search(rb"Before writing DO values\[3\]:\n1-1,1-2,1-3,\s*0,0,0,\n", console)
        assert re.search(rb"Before writing AO values\[2\]:\n1-1,1-2,\s*0,0,\n", console)
        assert b"EndChar        = EA" in console
        assert b"not configured" not in console


class AckListener:
    """A client of the broker that keeps what arrives on the acknowledgement
    topic."""

    def __init__(self, host, port, topic):
        self.messages = []
        self._cond = threading.Condition()
        self.client = mqtt.Client()
        self.client.on_message = self._on_message
        self.client.connect(host, port)
        self.client.loop_start()
        self.client.subscribe(topic, qos=1)

    def _on_message(self, _client, _userdata, msg):
        with self._cond:
            self.messages.append(msg.payload)
            self._cond.notify_all()

    def publish(self, topic, payload):
        self.client.publish(topic, payload, qos=1).wait_for_publish(5)

    def wait(self, count, timeout=30.0):
        with self._cond:
            self._cond.wait_for(lambda: len(self.messages) >= count, timeout)
            return list(self.messages)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


@pytest.mark.parametrize("cht", [0, 1], ids=["plain", "json"])
def test_mqtt_commands_set_the_outputs_and_are_acknowledged(root, device, mosquitto, cht):
    host, port = mosquitto.host, mosquitto.port
    prog_file(root, send_interval=1, mqtt_enable=1, mqtt_port=port, mqtt_cht=cht,
              sub_topic1="gw/cmd/2/DO", sub_topic2="gw/cmd/2/AO", pub_topic_ack="gw/ack")
    with ModemSim(root / "dev/ttyUSB0", mqtt_broker=(host, port), zrst_delay=0.05,
                  register_delay=0.1) as sim:
        daemon = Daemon(root)
        listener = AckListener(host, port, "gw/ack")
        try:
            sim.wait_until(lambda: len(sim.subscriptions) >= 2, timeout=30)
            daemon.wait_output(rb"<--- Modbus Polling Start --->")

            def command(kind, values):
                if not cht:
                    return values.encode()
                return json.dumps({"id": "s01", "deviceId": "gw01",
                                   "time": "2024-01-01T00:00:00Z",
                                   "value": ["%d/%s/%s" % (SESSION_ID, kind, values)]}).encode()

            listener.publish("gw/cmd/2/DO", command("DO", "010001"))
            wait_values(daemon, device, "do", 4, [1, 0, 1, 1])
            acks = listener.wait(1)
            listener.publish("gw/cmd/2/AO", command("AO", "03E8FFFF"))
            wait_values(daemon, device, "ao", 3, [1000, 65535, 77])
            acks = listener.wait(2)
        finally:
            listener.close()
            daemon.kill()
    assert len(acks) >= 2, daemon.output().decode(errors="replace")
    if cht:
        for ack, text in zip(acks, ("DO_ACK", "AO_ACK")):
            assert ack.startswith(b"[\n{\n\"id\":\"s01\",\n\"deviceId\":\"gw01\",\n")
            assert ack.endswith(b"\"value\":[\n\"%s\"\n]\n}\n]" % text.encode())
    else:
        assert acks[:2] == [b"DO_ACK", b"AO_ACK"]
    console = daemon.output()
    assert b"DO values are different. Update values to modbus.\n" in console
    assert b"AO values are different. Update values to modbus.\n" in console
