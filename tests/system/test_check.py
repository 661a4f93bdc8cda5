"""quorvane-check, the built program: rows of bad files (text, JSON, exit statuses), then `devices`. It never writes."""

import json
import os
import re
import shutil
import subprocess

import pytest

from bench_config import DEFAULT_MAPPING, ModbusDevice, device_text, install, mapping_text, prog_text
from conftest import BUILD_DIR, SOURCE_DIR
from modbus_sim import ModbusSim, RtuDevice, TcpDevice

CHECK = BUILD_DIR / "quorvane-check"
CONF = "/korvel/quorvane/"


def run_check(root, *args):  # the files must be exactly as they were after it
    conf = root / CONF.strip("/")
    before = {p.name: p.read_bytes() for p in conf.iterdir()}
    r = subprocess.run([str(CHECK), *args, "--root", str(root)], capture_output=True, text=True, timeout=60)
    assert {p.name: p.read_bytes() for p in conf.iterdir()} == before
    return r


def with_example(root, kind, *edits):  # each edit: (file, old, new[, mode]), the first old replaced
    conf = root / CONF.strip("/")
    shutil.copytree(SOURCE_DIR / "packaging/examples" / kind, conf, dirs_exist_ok=True)
    for file, old, new, *mode in edits:
        text = (conf / file).read_bytes()
        assert old in text
        (conf / file).write_bytes(text.replace(old, new, 1))
        (conf / file).chmod(*mode or [0o600])
    return conf


HAND = mapping_text([(7, ["1-1,1-2,", "2-1,", "", "1-4,"])])  # its empty AO line is CR LF alone
PROG, MB, MAP = "nbiot_prog.ini", "quorvane.ini", "quorvane_mapping.ini"
OK, NO = "Verdict: accepted, %d warning(s)%s (exit %d)", "Verdict: %s refused, the daemon would end with status 1:"
STRICT, TYPES = ", counted with --strict", ("do", "di", "ao", "ai")


def short(line):  # "P9: ..." for "/korvel/quorvane/nbiot_prog.ini line 9: ..."
    for long, abbreviation in ((CONF, ""), (PROG + " line ", "P"), (MB + " line ", "M"), (MAP + " line ", "D")):
        line = line.replace(long, abbreviation)
    return line.strip()


# Each row: the edits, then the report's tail, shortened: every warning (a prefix), then the verdict's lines.
@pytest.mark.parametrize("kind, edits, args, status, says", [
    ("mqtt", [], ["--strict"], 0, [OK % (0, "", 0)]),
    ("udp", [(PROG, b"mqtt_host=broker.example.com\r\n", b""), (MB, b"do_start", b"x"), (MB, b"di_start", b"y"),
             (MAP, DEFAULT_MAPPING, HAND.replace(b"[DI]", b"[D]").replace(b"nID", b"n_i") + b"\r\nx=8\r\n")],
     ["--strict"], 1, ["P9: position 8 is mqtt_host, but the line is named mqtt_port; lines 9 to 21 are each named "
                       "as the position after", "P22: position 21 is pub_topic_ack, but the line is a section",
                       "P23: position 22 is unused", "P24: position 23 is mqtt_cht, but the line is named device_id; "
                       "lines 24 to 25", PROG + ": the file ends at position 25", "M8: device 1's value line "
                       "6 is do_start", "M9: device 1's value line 7 is di_start", "D3: the line is sessionID_mapping",
                       'D6: session 1\'s [DI] section line reads "[D]"', "D13: lines 13 to 13 are not read",
                       OK % (10, STRICT, 1)]),
    ("udp", [(PROG, b"mqtt_host=", b"mqtt_enable=0\r\nmqtt_host="), (MB, b"slave_id=1\r\n", b"slave_id=1\r\n" * 2),
             (MAP, DEFAULT_MAPPING, DEFAULT_MAPPING + b"x\r\n")], [], 0,  # after a generated mapping: not warned
     ["P9: position 8 is mqtt_host, but the line is named mqtt_enable; lines 9 to 22 are each named as the position "
      "before", "P23: position 22 is unused", "P24: position 23 is mqtt_cht, but the line is a", "P25: position "
      "24 is device_id", "P27: position 26 is past the last one (25)", "M4: device 1's value line 2 is do_count, but "
      "the line is named slave_id; lines 4 to 21 are each named as the position before theirs: there is one line too "
      "many before line 4", "M22: device 2's header line is a value line", OK % (7, "", 0)]),
    ("udp", [(PROG, b"apn=cmnbiot", b"[APN]"), (PROG, b"[UDP]", b"reserved1=x"), (MB, b"device_num=2", b"device_num=1"),
             (PROG, b"=report.example.com", b"=" + b"r" * 140), (MB, b"=192.168.1.50", b"= 192.168.1.50"),
             (MAP, DEFAULT_MAPPING, HAND.replace(b"sessionALL_mapping=1", b"sessionALL_mapping=0"))], [], 1,
     ["P3: position 2 is apn, but the line is a section", "P4: position 3 is unused", "P6: the line is longer than 126",
      "P8: lines 8 to 27 are not read: line 7 holds neither", PROG + ": the file ends at position 6: mqtt_enable",
      "M13: the value of ip_addr has a blank at its start", "M22: lines 22 to 41 are not read: the file declares 1",
      "D3: lines 3 to 11 are not read: the file declares 0", MAP + ": no session", NO % PROG, "Configure file"]),
    ("mqtt", [(PROG, b"user=\r\nmqtt_password=\r\n", b"user=caf\xe9\r\nmqtt_password=Pw-7s3cret \r\n", 0o644),
              ("quorvane_options.ini", b"=gw-0001", b"=myclientid")], ["--strict"], 1,
     ['P15: the value of mqtt_password has a blank at its end: "***"', PROG + ": holds an MQTT password and is "
      "readable by others (mode 0644)", "quorvane_options.ini: MQTT is on with the shared", OK % (3, STRICT, 1)]),
    ("udp", [(MB, b"[DEVICE2]\r\n", b"")] + [(PROG, b"\r\n", b"\n")] * 26, [], 1, ["P1: 26 line(s) end in LF alone, "
     "the first is line 1", "M22: device 2's header line is a value line (slave_id=2)", "M23: device 2's value line 1 is "
     "slave_id, but the line is named do_count; lines 23 to 40", NO % PROG, "Configure file"]),
    ("udp", [(MAP, DEFAULT_MAPPING, HAND.replace(b"1-1,1-2", b"1-1, 1-9"))], [], 1,
     ["D5: session 1's DO mapping line holds a blank at column 5", NO % MAP, "Configure file"]),
], ids=["mqtt example", "a line missing from each file, two misnamed, one left over", "a line too many",
        "lines not read", "non-UTF-8 user, readable password never shown, shared client ID",
        "LF-only lines, missing header: the lines' pass goes on to the end", "blank in mapping"])
def test_files(root, kind, edits, args, status, says):
    with_example(root, kind, *edits)
    text = run_check(root, *args)
    assert (text.returncode, text.stderr) == (status, "")
    tail = [short(t) for t in text.stdout.split("\nWarnings:")[1].splitlines()[1:]]
    assert len(tail) == len(says) and all(t.startswith(s) for t, s in zip(tail, says)), "\n".join(tail)
    # The JSON form holds the same facts: the verdict and each warning.
    r = run_check(root, "files", "--json", *args)
    facts = json.loads(r.stdout)
    assert (r.returncode, facts["exit"], facts["command"], facts["root"]) == (status, status, "files", str(root))
    assert [short("%s%s: %s" % (w["file"], " line %d" % w["line"] if w["line"] else "", w["text"]))
            for w in facts["warnings"]] == tail[:len(facts["warnings"])]
    assert "Pw-7s3cret" not in text.stdout + r.stdout
    refusal = facts["refusal"] and short(facts["refusal"]["text"])
    assert refusal == (tail[-1] if " refused, the daemon" in "".join(tail[-2:-1]) else None)


def test_json_details(root):
    conf = with_example(root, "udp", (MB, b"do_as_di=0\r\nao_as_ai=0", b"do_as_di=1\r\nao_as_ai=1"))
    (conf / "quorvane_options.ini").write_bytes(b"mqtt_client_id=gw-9\r\n")
    env = dict(os.environ, QUORVANE_ROOT=str(root))  # as the daemon's, not --root
    text, r = (subprocess.run([str(CHECK), *a], env=env, capture_output=True, text=True, timeout=60) for a in ([], ["--json"]))
    assert "\n      9:1-9@DO0 10:1-10@DO1" in text.stdout  # eight slots a line, the coils' table named
    facts = json.loads(r.stdout)
    assert (r.returncode, facts["exit"], facts["root"], facts["warnings"]) == (0, 0, str(root), [])
    assert [(k["key"], k["value"], k["default"]) for k in facts["options"]["keys"] if k["line"]] == [
        ("mqtt_client_id", "gw-9", False)]
    # An empty text value is read as its line end alone; an empty password is shown as empty.
    assert facts["program"]["positions"] == [dict(position=p, line=p + 1, field=n if eq else None, value=(
        int(v) if v.isdigit() else v or "\n" * (n != "mqtt_password")) if eq else None)
        for p, (n, eq, v) in enumerate(l.partition("=") for l in (conf / PROG).read_text().splitlines())]
    d1, d2 = facts["devices"]["devices"]
    assert [(d["number"], d["line"], d["header"], d["slave_id"], d["transport"], d["address"]) for d in (d1, d2)] == [
        (1, 2, "[DEVICE1]", 1, "tcp", "192.168.1.50:502"), (2, 22, "[DEVICE2]", 2, "rtu", "/dev/ttyO1 9600 N 8 1")]
    assert [d1[t]["count"] for t in TYPES] + [d1["do_as_di"], d1["ao_as_ai"], d2["do_as_di"]] == [
        8, 16, 4, 8, 1, 1, 0]  # the coils (holding registers) also count as inputs
    runs = lambda *r: [(k + 1, *s) for k, s in enumerate((t, a + i, d, c + i) for t, a, n, d, c in r for i in range(n))]
    (session,), keys = facts["mapping"]["sessions"], ("slot", "table", "address", "device", "channel")
    assert [[tuple(s[k] for k in keys) for s in session[t]] for t in TYPES] == [  # runs of (table, address, count, ...)
        runs(("DO", 0, 8, 1, 1), ("DO", 100, 4, 2, 1)), runs(("DI", 0, 8, 1, 1), ("DO", 0, 8, 1, 9), ("DI", 100, 4, 2, 1)),
        runs(("AO", 0, 4, 1, 1), ("AO", 100, 2, 2, 1)), runs(("AI", 0, 4, 1, 1), ("AO", 0, 4, 1, 5), ("AI", 100, 2, 2, 1))]


def test_devices_reads_each_device_once_and_goes_on_past_one_offline(root):
    with ModbusSim([TcpDevice(slave=1), RtuDevice(slave=2), TcpDevice(slave=3)]) as sim:
        tcp, rtu, gone = sim.devices
        for dev, kind, values in (0, "di", [1, 0, 1, 1]), (0, "ai", [1111, 2222]), (1, "ai", [3333, 4444]), (1, "do", [1] * 2):
            sim.set(dev, kind, 0, values)
        install(root, prog_text(), device_text([
            ModbusDevice(slave_id=1, tcp_port=tcp.port, do_count=4, di_count=4, ai_count=2),
            ModbusDevice(slave_id=2, serial_dev=rtu.path, do_count=2, ai_count=2, do_as_di=1),
            ModbusDevice(slave_id=3, tcp_port=gone.port, di_count=1)]),  # slot 7 is empty
            mapping_text([(0, ["", "1-1,1-2,1-3,1-4,2-1,2-2,0-5,3-1,", "", "1-1,1-2,2-1,2-2,"])]))
        sim.offline(2)
        text = run_check(root, "devices")
        lines = re.sub(r" in [0-9.]+ ms", "", text.stdout).splitlines()
        assert (text.returncode, [lines[i] for i in (2, 5, 8, 9, 11)]) == (1, [
            "    DO [0,0,0,0] DI [1,0,1,1] AO [] AI [1111,2222]", "  device 3  TCP 127.0.0.1:%d  slave 3: NOT "
            "CONNECTED: [Error] Connection failed (Connection refused)" % gone.port, "    WDI AE,QRX724H,0100,0,0,WDI,0,8,"
            "1,0,1,1,1,1,0,0,EA", "        slot(s) 8: the device did not answer, shown as 0", "Verdict: 1 of 3 device(s) "
            "did not answer (exit 1)"])
        facts = json.loads(run_check(root, "devices", "--json").stdout)
        assert (facts["exit"], facts["refusal"], len(facts["sessions"])) == (1, None, 1)
        assert [(d["connected"], d["log"][-1][:17]) for d in facts["devices"]] == [
            (True, "[Read  AI] Number"), (True, "[Read  AI] Number"), (False, "[Error] Connectio")]
        assert facts["sessions"][0]["di"]["values"] == [1, 0, 1, 1, 1, 1, 0, None]  # unknown: null, not 0
        assert {fc for d in (0, 1) for fc, _, _ in sim.requests(d)} <= {1, 2, 3, 4}  # read requests only
        sim.online(2)  # every device answering, over MQTT without JSON wrapping: exit 0
        install(root, prog_text(mqtt_enable=1))
        facts = json.loads(run_check(root, "devices", "--json").stdout)
        assert (facts["exit"], [(s["topic"], s["text"]) for s in (facts["sessions"][0][t] for t in ("di", "ai"))]) == (
            0, [("gw/di", "0100010101010000"), ("gw/ai", "045708AE0D05115C")])
        assert run_check(root, "devices").stdout.endswith("every device answered, 2 warning(s) (exit 0)\n")


@pytest.mark.parametrize("args, status, out, err", [
    (["--bogus"], 2, "", "quorvane-check: unknown argument --bogus\nUsage:"),
    (["--root", "/nonexistent"], 2, "", "quorvane-check: --root /nonexistent: not a directory\n"),
    (["--help"], 0, "Usage:", ""), (["-v"], 0, "quorvane-check version = V1.00_for_ME3616", ""),
])
def test_command_line(args, status, out, err):
    r = subprocess.run([str(CHECK), *args], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout.startswith(out), r.stderr.startswith(err)) == (status, True, True)
