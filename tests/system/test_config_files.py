"""The device file, the mapping file and the default mapping, with the built
daemon under a private QUORVANE_ROOT. After the slot counting the daemon idles,
so the tests that get that far read its console until the expected text has
come and then stop it."""

import os
import time

import pytest

from conftest import run_daemon
from gateway import Daemon, prog_file, quick_modem

BANNER = b"\r\n<--- Read Configure File --->\r\n"


def device_block(number, do=0, di=0, ao=0, ai=0, do_as_di=0, ao_as_ai=0,
                 serial_dev="/dev/ttyS1", tcp_port=None):
    values = [("slave_id", number), ("do_count", do), ("di_count", di), ("ao_count", ao),
              ("ai_count", ai), ("do_start", 0), ("di_start", 0), ("ao_start", 0),
              ("ai_start", 0), ("is_tcp", 1), ("ip_addr", "127.0.0.1"),
              ("tcp_port", tcp_port or 1500 + number), ("serial_dev", serial_dev), ("baud", 9600),
              ("parity", "N"), ("data_bits", 8), ("stop_bits", 1), ("do_as_di", do_as_di),
              ("ao_as_ai", ao_as_ai)]
    text = "[MODBUS%02d]\r\n" % number
    text += "".join("%s=%s\r\n" % v for v in values)
    return text.encode()


def device_file(*blocks):
    return b"modbus_number=%d\r\n" % len(blocks) + b"".join(blocks)


def channels(device, first, last):
    return b"".join(b"%d-%d," % (device, c) for c in range(first, last + 1))


def empties(n):
    return b"0-0," * n


def mapping_file(default, sessions):
    """sessions: list of (id, [do, di, ao, ai] lines)."""
    text = b"default_mapping=%d\r\nsessionALL_mapping=%d\r\n" % (default, len(sessions))
    for sid, lines in sessions:
        text += b"sessionID_mapping=%d\r\n" % sid
        for name, line in zip((b"DO", b"DI", b"AO", b"AI"), lines):
            text += b"[" + name + b"]\r\n" + line + b"\r\n"
    return text


def read_back_console(sessions):
    out = b"Total Session = %d\n" % len(sessions)
    for sid, lines in sessions:
        out += b"Session ID = %d\n" % sid
        for name, line in zip((b"DO", b"DI", b"AO", b"AI"), lines):
            out += b"[" + name + b"]\r\n" + line + b"\r\n\n"
    return out


def install(root, devices, mapping):
    conf = root / "korvel/quorvane"
    prog_file(root)
    if devices is not None:
        (conf / "quorvane.ini").write_bytes(devices)
    if mapping is not None:
        (conf / "quorvane_mapping.ini").write_bytes(mapping)
    return conf / "quorvane_mapping.ini"


@pytest.fixture(autouse=True)
def modem(root):
    """Start-up brings the modem up before it reads the device file."""
    with quick_modem(root) as sim:
        yield sim


def config_console(d, settle=0.3):
    """The console of the configuration steps: the banner, then everything from
    the device file on (the modem bring-up in between is not looked at here).
    What follows the mapping (the first scan of devices nobody simulates here)
    is not looked at either: the daemon is stopped."""
    time.sleep(settle)
    d.kill()
    out = d.output()
    assert out.startswith(BANNER), out[:200]
    return BANNER + out[out.index(b"Modbus number"):]


@pytest.fixture
def daemon(root):
    started = []

    def start():
        d = Daemon(root, stderr_to_stdout=False)
        started.append(d)
        return d

    yield start
    for d in started:
        d.kill()


# Device 1: 20 DO, 4 DI, 2 AI; device 2: 20 DO, 3 AO. DO needs two sessions.
TWO_DEVICES = device_file(device_block(1, do=20, di=4, ai=2), device_block(2, do=20, ao=3))
E = empties(32)
GENERATED = [
    (0, [channels(1, 1, 20) + channels(2, 1, 12), channels(1, 1, 4) + empties(28),
         channels(2, 1, 3) + empties(29), channels(1, 1, 2) + empties(30)]),
    (1, [channels(2, 13, 20) + empties(24), E, E, E]),
]
DEVICE_CONSOLE = (b"Modbus number = 2\nRead Modbus 01 info [MODBUS01]\r\n"
                  b"Read Modbus 02 info [MODBUS02]\r\n")


def test_default_mapping_is_written_and_read_back(root, daemon):
    path = install(root, TWO_DEVICES, b"default_mapping=1\r\nsessionALL_mapping=0\r\n")
    d = daemon()
    d.wait_for(read_back_console(GENERATED))

    assert path.read_bytes() == mapping_file(1, GENERATED)
    (s0, s1) = GENERATED
    built = (b"DO value is full!! Remain 8 DO value!!\n"
             b"Session ID number = 0\n"
             b"32 DO values:\n" + s0[1][0] + b"\n04 DI values:\n" + s0[1][1] +
             b"\n03 AO values:\n" + s0[1][2] + b"\n02 AI values:\n" + s0[1][3] + b"\n"
             b"Session ID number = 1\n"
             b"08 DO values:\n" + s1[1][0] + b"\n00 DI values:\n" + E +
             b"\n00 AO values:\n" + E + b"\n00 AI values:\n" + E + b"\n")
    assert config_console(d).startswith(BANNER + DEVICE_CONSOLE + b"Total Session = 0\n" +
                                        built + read_back_console(GENERATED))


def test_stale_generated_file_does_not_stop_start_up(root, daemon):
    # Written for devices since removed: 7 sessions, a line of 40 entries naming
    # device 9, a session line that lost its "=".
    stale = mapping_file(1, [(s, [channels(9, 1, 40), b"3-3,", b"", b""]) for s in range(7)])
    stale = stale.replace(b"sessionID_mapping=2", b"sessionID_mapping", 1)
    path = install(root, TWO_DEVICES, stale)
    d = daemon()
    d.wait_for(read_back_console(GENERATED))
    assert config_console(d).startswith(
        BANNER + DEVICE_CONSOLE + b"Total Session = 7\nSession ID = 0\n")
    assert path.read_bytes() == mapping_file(1, GENERATED)


def test_hand_written_mapping_is_used_unchanged(root, daemon):
    mapping = mapping_file(0, [(7, [b"2-20,0-0,1-1,", b"", b"1-100,", b"1-2,"])])
    path = install(root, TWO_DEVICES, mapping)
    before = path.stat().st_mtime_ns
    d = daemon()
    d.wait_for(b"[AI]\r\n1-2,\r\n\n")
    # Read once: not rewritten, not read a second time.
    out = config_console(d)
    assert out.startswith(BANNER + DEVICE_CONSOLE + read_back_console(
        [(7, [b"2-20,0-0,1-1,", b"", b"1-100,", b"1-2,"])]))
    assert out.count(b"Total Session") == 1
    assert path.read_bytes() == mapping and path.stat().st_mtime_ns == before


def test_without_devices_start_up_idles_and_keeps_the_file(root, daemon):
    mapping = b"default_mapping=1\r\nsessionALL_mapping=0\r\n"
    path = install(root, b"modbus_number=0\r\n", mapping)
    d = daemon()
    d.wait_for(b"Total Session = 0\n")
    assert config_console(d, settle=0.5) == BANNER + b"Modbus number = 0\nTotal Session = 0\n"
    assert d.proc.returncode == -9  # still idling when stopped
    assert path.read_bytes() == mapping


GOOD_MAPPING = mapping_file(0, [(0, [b"1-1,", b"", b"", b""])])
REFUSALS = {
    "device count above 10": (
        b"modbus_number=11\r\n", GOOD_MAPPING, b"quorvane.ini: line 1: device count 11"),
    "device count below 0": (
        b"modbus_number=-2\r\n", GOOD_MAPPING, b"quorvane.ini: line 1: device count -2"),
    "no count": (
        b"[MODBUS]\r\n" + device_block(1, do=1), GOOD_MAPPING,
        b"quorvane.ini: line 1 has no \"=\""),
    "device file ends early": (
        device_file(device_block(1, do=1), b"[MODBUS02]\r\nslave_id=2\r\n"), GOOD_MAPPING,
        b"quorvane.ini: line 24: the file ends before device 2's block is complete"),
    "33 DI after do_as_di": (
        device_file(device_block(1, do=30, di=3, do_as_di=1)), GOOD_MAPPING,
        b"quorvane.ini: line 20: device 1 has 33 DI values"),
    "serial_dev too long": (
        device_file(device_block(1, do=1, serial_dev="/dev/serial/by-id/xy")), GOOD_MAPPING,
        b"quorvane.ini: line 15 (serial_dev) has 20 characters, at most 19 fit"),
    "six sessions": (
        device_file(device_block(1, do=1)), mapping_file(0, [(s, [b""] * 4) for s in range(6)]),
        b"quorvane_mapping.ini: line 2: session count 6, 0 to 5 fit"),
    "mapping ends early": (
        device_file(device_block(1, do=1)), GOOD_MAPPING[:-len(b"[AI]\r\n\r\n")],
        b"quorvane_mapping.ini: line 10: the file ends before session 1 of 1 is complete"),
    "unknown device": (
        device_file(device_block(1, do=1)), mapping_file(0, [(0, [b"0-0,2-1,", b"", b"", b""])]),
        b"quorvane_mapping.ini: line 5: DO entry 2 names device 2, 1 configured"),
    "unknown channel": (
        device_file(device_block(1, do=1, ai=2)),
        mapping_file(0, [(0, [b"", b"", b"", b"1-3,"])]),
        b"quorvane_mapping.ini: line 11: AI entry 1 names channel 3 of device 1, which has 2"),
    "33 entries": (
        device_file(device_block(1, do=1)), mapping_file(0, [(0, [empties(33), b"", b"", b""])]),
        b"quorvane_mapping.ini: line 5: the DO line holds more than 32 entries"),
    "default mapping over 5 sessions": (
        device_file(*[device_block(n, do=32) for n in range(1, 6)], device_block(6, do=1)),
        b"default_mapping=1\r\nsessionALL_mapping=0\r\n",
        b"quorvane.ini: the devices hold 161 DO channels, a default mapping holds at most 160"),
    "no device file": (None, GOOD_MAPPING, b"Open configure file fail!!"),
    "no mapping file": (device_file(device_block(1, do=1)), None, b"Open configure file fail!!"),
}


@pytest.mark.parametrize("case", REFUSALS.keys())
def test_refusals_print_one_line_and_exit_1(root, case):
    devices, mapping, line = REFUSALS[case]
    install(root, devices, mapping)
    r = run_daemon([], root)
    assert r.returncode == 1
    last = r.stdout.splitlines()[-1]
    assert last.startswith(b"Open configure file fail!!" if line.startswith(b"Open") else
                           b"Configure file /korvel/quorvane/"), last
    assert line in last, last
    assert r.stdout.endswith(b"!!\n")


def test_mapping_file_that_cannot_be_written_is_fatal(root):
    if os.geteuid() == 0:
        pytest.skip("root writes read-only files")
    path = install(root, TWO_DEVICES, b"default_mapping=1\r\nsessionALL_mapping=0\r\n")
    path.chmod(0o444)
    r = run_daemon([], root)
    assert r.returncode == 1
    assert r.stdout.endswith(b"Session ID number = 1\n08 DO values:\n" + GENERATED[1][1][0] +
                             b"\n00 DI values:\n" + E + b"\n00 AO values:\n" + E +
                             b"\n00 AI values:\n" + E + b"\nOpen configure file fail!!\n")
