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


def with_example(root, kind, *edits):
    """The packaged example; each edit (file, old, new[, mode]) replaces the first
    old by new (a file whose new is None goes)."""
    conf = root / CONF.strip("/")
    shutil.copytree(SOURCE_DIR / "packaging/examples" / kind, conf, dirs_exist_ok=True)
    for file, old, new, *mode in edits:
        text = (conf / file).read_bytes()
        assert old in text
        if new is None:
            (conf / file).unlink()
            continue
        (conf / file).write_bytes(text.replace(old, new, 1))
        (conf / file).chmod(*mode or [0o600])
    return conf


HAND = mapping_text([(7, ["1-1,1-2,", "2-1,", "", "1-4,"])])  # its empty AO line is CR LF alone
PROG, MB, MAP = "nbiot_prog.ini", "quorvane.ini", "quorvane_mapping.ini"
ACCEPTED = "Verdict: accepted, %d warning(s)%s (exit %d)"
REFUSED = "Verdict: %s refused, the daemon would end with status 1:"
RUN = "are each named as the position %s theirs: %s before line %d"


# Each row: the edits, then the report's tail: every warning (a prefix of it,
# the folder left out), then the verdict's lines.
@pytest.mark.parametrize("kind, edits, args, status, says", [
    ("udp", [], [], 0, [ACCEPTED % (0, "", 0)]),
    ("mqtt", [], ["--strict"], 0, [ACCEPTED % (0, "", 0)]),
    ("udp", [(PROG, b"server_port=5683\r\n", b"apn=5683\r\n")], [], 0,
     [PROG + " line 5: position 4 is server_port, but the line is named apn", ACCEPTED % (1, "", 0)]),
    # A line missing from each file, two lines misnamed, a mapping line left over.
    ("udp", [(PROG, b"mqtt_host=broker.example.com\r\n", b""), (MB, b"do_start", b"x_start"),
             (MB, b"di_start", b"y_start"), (MAP, DEFAULT_MAPPING, HAND.replace(b"[DI]", b"[D1]").replace(
                 b"sessionID_mapping", b"session_id") + b"\r\nsessionID_mapping=8\r\n")], ["--strict"], 1,
     [PROG + " line 9: position 8 is mqtt_host, but the line is named mqtt_port; lines 9 to 21 " +
      RUN % ("after", "a line is missing", 9), PROG + " line 22: position 21 is pub_topic_ack, but the "
      "line is a section line ([CHT]): pub_topic_ack keeps", PROG + " line 23: position 22 is unused: "
      "the value of mqtt_cht is not read", PROG + " line 24: position 23 is mqtt_cht, but the line is "
      "named device_id; lines 24 to 25", PROG + ": the file ends at position 25: sensor_id and every",
      MB + " line 8: device 1's value line 6 is do_start, but the line is named x_start",
      MB + " line 9: device 1's value line 7 is di_start, but the line is named y_start",
      MAP + " line 3: the line is sessionID_mapping, but it is named session_id",
      MAP + ' line 6: session 1\'s [DI] section line reads "[D1]": a missing line shifts',
      MAP + " line 13: lines 13 to 13 are not read: the file declares 1 session(s)",
      ACCEPTED % (10, ", counted with --strict", 1)]),
    # A line too many; lines after a generated mapping are replaced, not warned.
    ("udp", [(PROG, b"mqtt_host=", b"mqtt_enable=0\r\nmqtt_host="), (MB, b"slave_id=1\r\n", b"slave_id=1\r\n" * 2),
             (MAP, DEFAULT_MAPPING, DEFAULT_MAPPING + b"junk\r\n")], [], 0,
     [PROG + " line 9: position 8 is mqtt_host, but the line is named mqtt_enable; lines 9 to 22 " +
      RUN % ("before", "there is one line too many", 9), PROG + " line 23: position 22 is unused",
      PROG + " line 24: position 23 is mqtt_cht, but the line is a section line", PROG + " line 25: "
      "position 24 is device_id, but the line is named mqtt_cht; lines 25 to 26",
      PROG + " line 27: position 26 is past the last one (25): the line is not read",
      MB + " line 4: device 1's value line 2 is do_count, but the line is named slave_id; lines 4 to 21 " +
      RUN % ("before", "there is one line too many", 4), MB + " line 22: device 2's header line is a "
      "value line (ao_as_ai=0): a missing header shifts", ACCEPTED % (7, "", 0)]),
    ("udp", [(PROG, b"apn=cmnbiot", b"[APN]"), (PROG, b"[UDP]", b"reserved1=x"), (MB, b"device_num=2", b"device_num=1"),
             (PROG, b"=report.example.com", b"=" + b"r" * 140), (MB, b"=192.168.1.50", b"= 192.168.1.50"),
             (MAP, DEFAULT_MAPPING, HAND.replace(b"sessionALL_mapping=1", b"sessionALL_mapping=0"))], [], 1,
     [PROG + " line 3: position 2 is apn, but the line is a section line ([APN]): apn keeps its",
      PROG + " line 4: position 3 is unused: the value of reserved1 is not read",
      PROG + " line 6: the line is longer than 126 characters: the rest is read as the next line",
      PROG + ' line 8: lines 8 to 27 are not read: line 7 holds neither "=" nor "[", which ends',
      PROG + ": the file ends at position 6: mqtt_enable and every later setting keep",
      MB + ' line 13: the value of ip_addr has a blank at its start: " 192.168.1.50"',
      MB + " line 22: lines 22 to 41 are not read: the file declares 1 device(s)",
      MAP + " line 3: lines 3 to 11 are not read: the file declares 0 session(s)",
      MAP + ": no session: the daemon brings the modem up, then idles", REFUSED % PROG,
      "Configure file %s: line 5 (server_host) has 115 characters, at most 63 fit!!" % PROG]),
    # The LF would stand in every AT command: the daemon refuses the file.
    ("mqtt", [(PROG, b"\r\n", b"\n", 0o600)] * 26, [], 1,
     [PROG + " line 1: 26 line(s) end in LF alone, the first is line 1", REFUSED % PROG, "Configure file"]),
    ("mqtt", [(PROG, b"mqtt_user=\r\nmqtt_password=", b"mqtt_user=me\r\nmqtt_password=a,b")], [], 1,
     [REFUSED % PROG, "Configure file %s: line 14 (mqtt_password) holds the character ',', which would "
      "break its AT command!!" % PROG]),
    # A byte that is not UTF-8 (valid JSON all the same); the password never shown.
    ("mqtt", [(PROG, b"mqtt_user=\r\nmqtt_password=\r\n", b"mqtt_user=caf\xe9\r\nmqtt_password=Pw-7s3cret \r\n",
               0o644)], ["--strict"], 1,
     [PROG + ' line 15: the value of mqtt_password has a blank at its end: "***"', PROG + ": holds an MQTT "
      "password and is readable by others (mode 0644)", ACCEPTED % (2, ", counted with --strict", 1)]),
    ("mqtt", [("quorvane_options.ini", b"=gw-0001", b"=myclientid")], [], 0,
     ["quorvane_options.ini: MQTT is on with the shared default client ID myclientid", ACCEPTED % (1, "", 0)]),
    ("udp", [(MB, b"[DEVICE2]\r\n", b"")], [], 1,  # the lint pass reads to the end
     [MB + " line 22: device 2's header line is a value line (slave_id=2)", MB + " line 23: device 2's value "
      "line 1 is slave_id, but the line is named do_count; lines 23 to 40 " + RUN % ("after", "a line is missing", 23),
      REFUSED % MB, "Configure file %s: line 27: device 2 has 100 AI values, 0 to 32 fit!!" % MB]),
    ("udp", [(MAP, DEFAULT_MAPPING, HAND.replace(b"1-2", b"1-9"))], [], 1,
     [REFUSED % MAP, "Configure file %s: line 5: DO entry 2 names channel 9 of device 1, which has 8!!" % MAP]),
    ("udp", [(MAP, DEFAULT_MAPPING, HAND.replace(b"1-1,1-2", b"1-1, 1-2"))], [], 1,
     [MAP + " line 5: session 1's DO mapping line holds a blank at column 5", REFUSED % MAP, "Configure file"]),
], ids=["udp example", "mqtt example", "misplaced name", "lines missing", "lines too many", "lines not read",
        "LF-only", "comma in password", "latin-1 user, readable password", "shared client ID",
        "missing header", "missing channel", "blank in mapping"])
def test_files(root, kind, edits, args, status, says):
    with_example(root, kind, *edits)
    text = run_check(root, *args)
    assert (text.returncode, text.stderr) == (status, "")
    tail = [t.strip().replace(CONF, "") for t in text.stdout.split("\nWarnings:")[1].splitlines()[1:]]
    assert len(tail) == len(says) and all(t.startswith(s) for t, s in zip(tail, says)), "\n".join(tail)
    # The JSON form holds the same facts: the verdict and each warning.
    r = run_check(root, "files", "--json", *args)
    facts = json.loads(r.stdout)
    assert (r.returncode, facts["exit"], facts["command"], facts["root"]) == (status, status, "files", str(root))
    assert ["%s%s: %s" % (w["file"].replace(CONF, ""), " line %d" % w["line"] if w["line"] else "", w["text"])
            for w in facts["warnings"]] == tail[:len(facts["warnings"])]
    assert "Pw-7s3cret" not in text.stdout + r.stdout
    refusal = facts["refusal"]
    assert (refusal is not None) == (" refused, the daemon would end" in text.stdout)
    if refusal:  # the daemon's own line, last
        assert text.stdout.splitlines()[-1] == refusal["text"]


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
