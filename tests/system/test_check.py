"""quorvane-check, the built program: the packaged examples and one case per
kind of mistake (text and JSON forms, exit statuses), then `devices` against
the bench kit's simulated devices with one offline. It never writes a file."""

import json
import shutil
import subprocess

import pytest

from bench_config import DEFAULT_MAPPING, ModbusDevice, device_text, install, mapping_text, prog_text
from conftest import BUILD_DIR, SOURCE_DIR
from modbus_sim import ModbusSim, RtuDevice, TcpDevice

CHECK = BUILD_DIR / "quorvane-check"
CONF = "/korvel/quorvane/"


def run_check(root, *args):
    """Runs the tool on root; the files must be exactly as they were after it."""
    conf = root / CONF.strip("/")
    before = {p.name: p.read_bytes() for p in conf.iterdir()}
    r = subprocess.run([str(CHECK), *args, "--root", str(root)], capture_output=True,
                       text=True, timeout=60)
    assert {p.name: p.read_bytes() for p in conf.iterdir()} == before
    return r


def with_example(root, kind, file=None, old=b"", new=b"", mode=0o640):
    shutil.copytree(SOURCE_DIR / "packaging/examples" / kind, root / "korvel/quorvane",
                    dirs_exist_ok=True)
    if file:
        path = root / "korvel/quorvane" / file
        text = path.read_bytes()
        assert old in text
        path.write_bytes(text.replace(old, new))
        path.chmod(mode)


HAND_MAPPING = mapping_text([(7, ["1-1,1-9,", "", "", ""])])


@pytest.mark.parametrize("kind, edit, args, status, says", [
    ("udp", (), [], 0, "Warnings: none\nVerdict: accepted, 0 warning(s) (exit 0)"),
    ("mqtt", (), [], 0, "Warnings: none\nVerdict: accepted, 0 warning(s) (exit 0)"),
    ("udp", ("nbiot_prog.ini", b"server_port=5683\r\n", b"apn=5683\r\n"), [], 0,
     "nbiot_prog.ini line 5: position 4 is server_port, but the line is named apn\n"),
    ("udp", ("nbiot_prog.ini", b"server_port=5683\r\n", b"apn=5683\r\n"), ["--strict"], 1,
     "counted with --strict (exit 1)"),
    # The LF would stand in every AT command: the daemon refuses the file.
    ("mqtt", ("nbiot_prog.ini", b"\r\n", b"\n"), [], 1,
     "nbiot_prog.ini line 1: 26 line(s) end in LF alone"),
    ("mqtt", ("nbiot_prog.ini", b"mqtt_user=\r\nmqtt_password=", b"mqtt_user=me\r\nmqtt_password=a,b"),
     [], 1, "line 14 (mqtt_password) holds the character ',', which would break its AT command!!"),
    ("mqtt", ("nbiot_prog.ini", b"mqtt_user=\r\nmqtt_password=", b"mqtt_user=me\r\nmqtt_password=pw",
              0o644), ["--strict"], 1,
     "nbiot_prog.ini: holds an MQTT password and is readable by others (mode 0644)"),
    ("mqtt", ("quorvane_options.ini", b"=gw-0001", b"=myclientid"), [], 0,
     "quorvane_options.ini: MQTT is on with the shared default client ID myclientid"),
    ("udp", ("quorvane.ini", b"[DEVICE2]\r\n", b""), [], 1,
     "quorvane.ini line 22: device 2's header line is a value line (slave_id=2)"),
    ("udp", ("quorvane.ini", b"slave_id=2\r\n", b""), [], 1,
     "line 27: device 2 has 100 AI values, 0 to 32 fit!!"),  # the lint pass reads to the end
    ("udp", ("quorvane_mapping.ini", DEFAULT_MAPPING, HAND_MAPPING), [], 1,
     "Configure file %squorvane_mapping.ini: line 5: DO entry 2 names channel 9 of device 1, "
     "which has 8!!\n" % CONF),
    ("udp", ("quorvane_mapping.ini", DEFAULT_MAPPING, HAND_MAPPING.replace(b"1-1,1-9", b"1-1, 1-9")),
     [], 1, "line 5: session 1's DO mapping line holds a blank at column 5"),
    # A byte that is not UTF-8 (valid JSON all the same); the password never shown.
    ("mqtt", ("nbiot_prog.ini", b"mqtt_user=\r\nmqtt_password=\r\n",
              b"mqtt_user=caf\xe9\r\nmqtt_password=Pw-7s3cret \r\n"), [], 0,
     'mqtt_user        "caf\\ufffd"\n   14   15  mqtt_password    "***"'),
], ids=["udp example", "mqtt example", "misplaced name", "strict", "LF-only", "comma in password", "readable password",
        "shared client ID", "missing header", "device file one line short",
        "missing channel", "blank in mapping", "latin-1 user, password"])
def test_files(root, kind, edit, args, status, says):
    with_example(root, kind, *edit)
    text = run_check(root, *args)
    assert (text.returncode, text.stderr) == (status, "")
    assert says in text.stdout
    # The JSON form holds the same facts: the verdict and each warning.
    r = run_check(root, "files", "--json", *args)
    facts = json.loads(r.stdout)
    assert (r.returncode, facts["exit"], facts["command"]) == (status, status, "files")
    for w in facts["warnings"]:
        where = "%s line %d" % (w["file"], w["line"]) if w["line"] else w["file"]
        assert "%s: %s" % (where, w["text"]) in text.stdout
    assert "Pw-7s3cret" not in text.stdout + r.stdout
    refusal = facts["refusal"]
    assert (refusal is not None) == (" refused, the daemon would end" in text.stdout)
    if refusal:  # the daemon's own line, last
        assert text.stdout.splitlines()[-1] == refusal["text"]
    if kind == "udp" and not edit:
        assert [p["value"] for p in facts["program"]["positions"][4:6]] == [5683, "report.example.com"]
        slots = facts["mapping"]["sessions"][0]["di"]
        assert (len(slots), slots[8]) == (12, dict(slot=9, device=2, channel=1, address=100, table="DI"))
        assert "\n      9:2-1@100" in text.stdout  # eight slots a line


def test_devices_reads_each_device_once_and_goes_on_past_one_offline(root):
    devices = [TcpDevice(slave=1), RtuDevice(slave=2), TcpDevice(slave=3)]
    with ModbusSim(devices) as sim:
        tcp, rtu, gone = sim.devices
        sim.set(0, "di", 0, [1, 0, 1, 1])
        sim.set(0, "ai", 0, [1111, 2222])
        sim.set(1, "ai", 0, [3333, 4444])
        sim.set(1, "do", 0, [1, 1])
        install(root, prog_text(), device_text([
            ModbusDevice(slave_id=1, tcp_port=tcp.port, do_count=4, di_count=4, ai_count=2),
            ModbusDevice(slave_id=2, serial_dev=rtu.path, do_count=2, ai_count=2, do_as_di=1),
            ModbusDevice(slave_id=3, tcp_port=gone.port, di_count=1)]), DEFAULT_MAPPING)
        sim.offline(2)
        r = run_check(root, "devices", "--json")
        facts = json.loads(r.stdout)
        assert (r.returncode, facts["exit"], facts["refusal"]) == (1, 1, None)
        assert [(d["connected"], d["answered"], bool(d["error"])) for d in facts["devices"]] == [
            (True, True, False), (True, True, False), (False, False, True)]
        assert "Connection refused" in facts["devices"][2]["error"]
        assert facts["devices"][1]["values"]["di"] == [1, 1]  # its coils, as inputs
        # ... and its DI slots read the coils' table; the other devices' their own.
        slots = json.loads(run_check(root, "files", "--json").stdout)["mapping"]["sessions"][0]["di"]
        assert [d["table"] for d in slots] == ["DI"] * 4 + ["DO"] * 2 + ["DI"]
        di, ai = facts["sessions"][0]["di"], facts["sessions"][0]["ai"]
        assert di["values"] == [1, 0, 1, 1, 1, 1, None]
        assert di["text"] == "AE,QRX724H,0100,0,0,WDI,0,7,1,0,1,1,1,1,0,EA"
        assert ai["text"] == "AE,QRX724H,0100,0,0,WAI,0,4,1111,2222,3333,4444,EA"
        # Read requests only (functions 1 to 4), nothing written.
        assert {fc for d in (0, 1) for fc, _, _ in sim.requests(d)} <= {1, 2, 3, 4}
        text = run_check(root, "devices")
        assert "device 3  TCP 127.0.0.1:%d  slave 3: NOT CONNECTED" % gone.port in text.stdout
        assert text.stdout.endswith("Verdict: 1 of 3 device(s) did not answer (exit 1)\n")


@pytest.mark.parametrize("args, status, out, err", [
    (["--bogus"], 2, "", "quorvane-check: unknown argument --bogus\nUsage:"),
    (["--root", "/nonexistent"], 2, "", "quorvane-check: --root /nonexistent: not a directory\n"),
    (["--help"], 0, "Usage:", ""),
    (["-v"], 0, "quorvane-check version = V1.00_for_ME3616", ""),
])
def test_command_line(args, status, out, err):
    r = subprocess.run([str(CHECK), *args], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout.startswith(out), r.stderr.startswith(err)) == (status, True, True)
