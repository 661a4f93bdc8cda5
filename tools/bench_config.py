"""The gateway's three configuration files, written for the bench kit.

The daemon reads them by line position, with CR LF line ends; these writers
produce exactly that layout (see packaging/README.md for the positions).

    prog_text(server_port=5683, mqtt_enable=0)       # nbiot_prog.ini bytes
    device_text([ModbusDevice(...), ...])            # quorvane.ini bytes
    DEFAULT_MAPPING                                  # quorvane_mapping.ini bytes
    mapping_text([(2, ["1-1,", "", "1-2,", ""])])    # a hand-written one
    install(root, prog, devices, mapping)            # under <root>/korvel/quorvane
"""

import dataclasses
import pathlib

CONF_DIR = "korvel/quorvane"

# nbiot_prog.ini in its 26 positions; the names are never read, only the order.
PROG_DEFAULTS = {
    "send_interval": "10", "auto_connect": "1", "apn": "cmnet", "reserved1": "",
    "server_port": "5683", "server_host": "localhost", "reserved2": "",
    "mqtt_enable": "0", "mqtt_host": "localhost", "mqtt_port": "1883",
    "mqtt_bufsize": "1024", "mqtt_keepalive": "60", "mqtt_version": "4",
    "mqtt_user": "", "mqtt_password": "", "sub_topic1": "gw/cmd/DO",
    "sub_topic2": "gw/cmd/DO", "pub_topic_info": "gw/info", "pub_topic_di": "gw/di",
    "pub_topic_ai": "gw/ai", "pub_topic_gps": "gw/gps", "pub_topic_ack": "gw/ack",
    "reserved3": "", "mqtt_cht": "0", "device_id": "gw01", "sensor_id": "s01",
}

# A mapping file that has the gateway build the sessions from the devices.
DEFAULT_MAPPING = b"default_mapping=1\r\nsessionALL_mapping=0\r\n"


def prog_text(**values):
    """nbiot_prog.ini: the defaults above with the given positions replaced."""
    unknown = set(values) - set(PROG_DEFAULTS)
    if unknown:
        raise ValueError("no such program setting: %s" % ", ".join(sorted(unknown)))
    settings = dict(PROG_DEFAULTS)
    settings.update({k: str(v) for k, v in values.items()})
    return "".join("%s=%s\r\n" % kv for kv in settings.items()).encode()


@dataclasses.dataclass
class ModbusDevice:
    """One block of the device file. TCP when serial_dev is empty."""
    slave_id: int = 1
    do_count: int = 0
    di_count: int = 0
    ao_count: int = 0
    ai_count: int = 0
    do_start: int = 0
    di_start: int = 0
    ao_start: int = 0
    ai_start: int = 0
    ip_addr: str = "127.0.0.1"
    tcp_port: int = 502
    serial_dev: str = ""
    baud: int = 9600
    parity: str = "N"
    data_bits: int = 8
    stop_bits: int = 1
    do_as_di: int = 0
    ao_as_ai: int = 0

    def block(self, number):
        is_tcp = 0 if self.serial_dev else 1
        values = [
            ("slave_id", self.slave_id), ("do_count", self.do_count),
            ("di_count", self.di_count), ("ao_count", self.ao_count),
            ("ai_count", self.ai_count), ("do_start", self.do_start),
            ("di_start", self.di_start), ("ao_start", self.ao_start),
            ("ai_start", self.ai_start), ("is_tcp", is_tcp), ("ip_addr", self.ip_addr),
            ("tcp_port", self.tcp_port), ("serial_dev", self.serial_dev or "/dev/ttyS1"),
            ("baud", self.baud), ("parity", self.parity), ("data_bits", self.data_bits),
            ("stop_bits", self.stop_bits), ("do_as_di", self.do_as_di),
            ("ao_as_ai", self.ao_as_ai)]
        return "[DEVICE%d]\r\n" % number + "".join("%s=%s\r\n" % v for v in values)


def device_text(devices):
    """quorvane.ini: the device count, then one block per device."""
    text = "device_num=%d\r\n" % len(devices)
    text += "".join(dev.block(n) for n, dev in enumerate(devices, 1))
    return text.encode()


def mapping_text(sessions, default=0):
    """quorvane_mapping.ini by hand: sessions is [(session id, [DO, DI, AO, AI]
    lines of "device-channel," entries)]."""
    text = "default_mapping=%d\r\nsessionALL_mapping=%d\r\n" % (default, len(sessions))
    for sid, lines in sessions:
        text += "sessionID_mapping=%d\r\n" % sid
        text += "".join("[%s]\r\n%s\r\n" % kv for kv in zip(("DO", "DI", "AO", "AI"), lines))
    return text.encode()


def install(root, prog=None, devices=None, mapping=None):
    """Writes the given files (bytes) under <root>/korvel/quorvane; returns the folder."""
    conf = pathlib.Path(root) / CONF_DIR
    conf.mkdir(parents=True, exist_ok=True)
    for name, data in (("nbiot_prog.ini", prog), ("quorvane.ini", devices),
                       ("quorvane_mapping.ini", mapping)):
        if data is not None:
            (conf / name).write_bytes(data)
    return conf
