"""quorvane-check, the built program: the packaged examples and one case per
kind of mistake (text and JSON forms, exit statuses), then `devices` against
the bench kit's simulated devices with one offline. It never writes a file."""

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


def run_check(root, *args):
    """Runs the tool on root; the files must be exactly as they were after it."""
    conf = root / CONF.strip("/")
    before = {p.name: p.read_bytes() for p in conf.iterdir()}
    r = subprocess.run([str(CHECK), *args, "--root", str(root)], capture_output=True,
                       text=True, timeout=60)
    assert {p.name: p.read_bytes() for p in conf.iterdir()} == before
    return r


def with_example(root, kind, *edits):
    """The packaged example, each edit (file, old, new[, mode]) replacing the first old by new."""
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
P, M, D = PROG + " line ", MB + " line ", MAP + " line "
OK, NO = "Verdict: accepted, %d warning(s)%s (exit %d)", "Verdict: %s refused, the daemon would end with status 1:"
RUN = "are each named as the position %s theirs: %s before line %d"


# Each row: the edits, then the report's tail (the folder left out): every
# warning (a prefix of it), then the verdict's lines.
@pytest.mark.parametrize("kind, edits, args, status, says", [
    ("udp", [], [], 0, [OK % (0, "", 0)]),
    ("mqtt", [], ["--strict"], 0, [OK % (0, "", 0)]),
    # A line missing from each file, two lines misnamed, a mapping line left over.
    ("udp", [(PROG, b"mqtt_host=broker.example.com\r\n", b""), (MB, b"do_start", b"x_start"), (MB, b"di_start", b"y"),
             (MAP, DEFAULT_MAPPING, HAND.replace(b"[DI]", b"[D1]").replace(b"nID_", b"n_id_") + b"\r\nsessionID_mapping=8\r\n")],
     ["--strict"], 1, [P + "9: position 8 is mqtt_host, but the line is named mqtt_port; lines 9 to 21 " + RUN % (
         "after", "a line is missing", 9), P + "22: position 21 is pub_topic_ack, but the line is a section line ([CHT])",
         P + "23: position 22 is unused: the value of mqtt_cht", P + "24: position 23 is mqtt_cht, but the line is named "
         "device_id; lines 24 to 25", PROG + ": the file ends at position 25: sensor_id and every later setting",
         M + "8: device 1's value line 6 is do_start, but the line is named x_start", M + "9: device 1's value line 7 is di_start",
         D + "3: the line is sessionID_mapping, but it is named session_id_mapping", D + "6: session 1's [DI] section line "
         'reads "[D1]"', D + "13: lines 13 to 13 are not read: the file declares 1 session(s)", OK % (10, ", counted with --strict", 1)]),
    # A line too many; lines after a generated mapping are replaced, not warned.
    ("udp", [(PROG, b"mqtt_host=", b"mqtt_enable=0\r\nmqtt_host="), (MB, b"slave_id=1\r\n", b"slave_id=1\r\n" * 2),
             (MAP, DEFAULT_MAPPING, DEFAULT_MAPPING + b"junk\r\n")], [], 0,
     [P + "9: position 8 is mqtt_host, but the line is named mqtt_enable; lines 9 to 22 " + RUN % ("before", "there is one "
      "line too many", 9), P + "23: position 22 is unused", P + "24: position 23 is mqtt_cht, but the line is a section",
      P + "25: position 24 is device_id, but the line is named mqtt_cht; lines 25 to 26", P + "27: position 26 is past the "
      "last one (25)", M + "4: device 1's value line 2 is do_count, but the line is named slave_id; lines 4 to 21 " + RUN % (
          "before", "there is one line too many", 4), M + "22: device 2's header line is a value line (ao_as_ai=0)", OK % (7, "", 0)]),
    ("udp", [(PROG, b"apn=cmnbiot", b"[APN]"), (PROG, b"[UDP]", b"reserved1=x"), (MB, b"device_num=2", b"device_num=1"),
             (PROG, b"=report.example.com", b"=" + b"r" * 140), (MB, b"=192.168.1.50", b"= 192.168.1.50"),
             (MAP, DEFAULT_MAPPING, HAND.replace(b"sessionALL_mapping=1", b"sessionALL_mapping=0"))], [], 1,
     [P + "3: position 2 is apn, but the line is a section line ([APN]): apn keeps", P + "4: position 3 is unused: the value of "
      "reserved1 is not read", P + "6: the line is longer than 126 characters", P + '8: lines 8 to 27 are not read: line 7 '
      'holds neither "=" nor "["', PROG + ": the file ends at position 6: mqtt_enable", M + '13: the value of ip_addr has a '
      'blank at its start: " 192.168.1.50"', M + "22: lines 22 to 41 are not read: the file declares 1 device(s)",
      D + "3: lines 3 to 11 are not read: the file declares 0 session(s)", MAP + ": no session: the daemon brings the modem up",
      NO % PROG, "Configure file %s: line 5 (server_host) has 115 characters, at most 63 fit!!" % PROG]),
    # The LF would stand in every AT command: the daemon refuses the file.
    ("mqtt", [(PROG, b"\r\n", b"\n")] * 26, [], 1, [P + "1: 26 line(s) end in LF alone, the first is line 1", NO % PROG, "Con"]),
    ("mqtt", [(PROG, b"mqtt_user=\r\nmqtt_password=", b"mqtt_user=me\r\nmqtt_password=a,b")], [], 1, [NO % PROG,
     "Configure file %s: line 14 (mqtt_password) holds the character ',', which would break its AT command!!" % PROG]),
    # A byte that is not UTF-8 (valid JSON all the same); the password never shown.
    ("mqtt", [(PROG, b"user=\r\nmqtt_password=\r\n", b"user=caf\xe9\r\nmqtt_password=Pw-7s3cret \r\n", 0o644),
              ("quorvane_options.ini", b"=gw-0001", b"=myclientid")], ["--strict"], 1,
     [P + '15: the value of mqtt_password has a blank at its end: "***"', PROG + ": holds an MQTT password and is readable by "
      "others (mode 0644)", "quorvane_options.ini: MQTT is on with the shared default client ID myclientid",
      OK % (3, ", counted with --strict", 1)]),
    ("udp", [(MB, b"[DEVICE2]\r\n", b"")], [], 1,  # the lint pass reads to the end
     [M + "22: device 2's header line is a value line (slave_id=2)", M + "23: device 2's value line 1 is slave_id, but the "
      "line is named do_count; lines 23 to 40 " + RUN % ("after", "a line is missing", 23), NO % MB,
      "Configure file %s: line 27: device 2 has 100 AI values, 0 to 32 fit!!" % MB]),
    ("udp", [(MAP, DEFAULT_MAPPING, HAND.replace(b"1-1,1-2", b"1-1, 1-9"))], [], 1,
     [D + "5: session 1's DO mapping line holds a blank at column 5", NO % MAP, "Configure file %s: line 5: DO entry 3 names device 9, 2 "
      "configured!!" % MAP]),
], ids=["udp example", "mqtt example", "lines missing", "lines too many", "lines not read", "LF-only",
        "comma in password", "latin-1 user, readable password, shared client ID", "missing header", "blank in mapping"])
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
    refusal = facts["refusal"] and facts["refusal"]["text"].replace(CONF, "")
    assert refusal == (tail[-1] if " refused, the daemon" in "".join(tail[-2:-1]) else None)


def test_json_details(root):
    """Every position, device and slot of the JSON form against the files' own lines."""
    conf = with_example(root, "udp", (MB, b"do_as_di=0\r\nao_as_ai=0", b"do_as_di=1\r\nao_as_ai=1"))
    (conf / "quorvane_options.ini").write_bytes(b"mqtt_client_id=gw-9\r\n")
    r = subprocess.run([str(CHECK), "--json"], env=dict(os.environ, QUORVANE_ROOT=str(root)),
                       capture_output=True, text=True, timeout=60)
    facts = json.loads(r.stdout)
    assert (r.returncode, facts["exit"], facts["root"], facts["warnings"]) == (0, 0, str(root), [])
    keys = facts["options"]["keys"]
    assert [(k["key"], k["value"], k["default"]) for k in keys if k["line"]] == [("mqtt_client_id", "gw-9", False)]
    assert all(k["default"] for k in keys if not k["line"])
    # An empty text value is read as its line end alone; an empty password is shown as empty.
    assert facts["program"]["positions"] == [dict(position=p, line=p + 1, field=n if eq else None, value=(
        int(v) if v.isdigit() else v or "\n" * (n != "mqtt_password")) if eq else None)
        for p, (n, eq, v) in enumerate(l.partition("=") for l in (conf / PROG).read_text().splitlines())]
    files = [{k: (int(v) if v.isdigit() else v) for k, _, v in map(str.partition, b.splitlines()[1:], "=" * 99)}
             for b in (conf / MB).read_text().split("[DEVICE")[1:]]
    slots = {t: [] for t in ("do", "di", "ao", "ai")}
    for n, (d, f) in enumerate(zip(facts["devices"]["devices"], files, strict=True), 1):
        also = {"di": ("do", f["do_as_di"]), "ai": ("ao", f["ao_as_ai"])}
        for t in slots:  # a device's own channels, then those it also reports as inputs
            a, on = also.get(t, (t, 0))
            own = [(n, c + 1, f[t + "_start"] + c, t.upper()) for c in range(f[t + "_count"])]
            slots[t] += own + [(n, len(own) + c + 1, f[a + "_start"] + c, a.upper()) for c in range(f[a + "_count"] * on)]
            assert d[t] == dict(start=f[t + "_start"], count=f[t + "_count"] + f[a + "_count"] * on)
        address = "%s:%s" % (f["ip_addr"], f["tcp_port"]) if f["is_tcp"] else "%s %s %s %s %s" % tuple(
            f[k] for k in ("serial_dev", "baud", "parity", "data_bits", "stop_bits"))
        assert d == dict(d, number=n, line=20 * n - 18, header="[DEVICE%d]" % n, slave_id=f["slave_id"], address=address,
                         transport="tcp" if f["is_tcp"] else "rtu", do_as_di=f["do_as_di"], ao_as_ai=f["ao_as_ai"])
    session, = facts["mapping"]["sessions"]
    assert {t: [(s["device"], s["channel"], s["address"], s["table"]) for s in session[t]] for t in slots} == slots
    assert all(s["slot"] == k for t in slots for k, s in enumerate(session[t], 1))


DEVICES_TEXT = """Devices (one read-only exchange each)
  device 1  TCP 127.0.0.1:%d  slave 1: answered
    DO [0,0,0,0] DI [1,0,1,1] AO [] AI [1111,2222]
  device 2  RTU %s 9600 N 8 1  slave 2: answered
    DO [1,1] DI [1,1] AO [] AI [3333,4444]
  device 3  TCP 127.0.0.1:%d  slave 3: NOT CONNECTED: [Error] Connection failed (Connection refused)
Sessions: what the next reports carry (UDP frames, packet ID 0)
  session 1, ID 0
    WDI AE,QRX724H,0100,0,0,WDI,0,8,1,0,1,1,1,1,0,0,EA
        slot(s) 8: the device did not answer, shown as 0
    WAI AE,QRX724H,0100,0,0,WAI,0,4,1111,2222,3333,4444,EA
Verdict: 1 of 3 device(s) did not answer (exit 1)
"""


def test_devices_reads_each_device_once_and_goes_on_past_one_offline(root):
    with ModbusSim([TcpDevice(slave=1), RtuDevice(slave=2), TcpDevice(slave=3)]) as sim:
        tcp, rtu, gone = sim.devices
        sim.set(0, "di", 0, [1, 0, 1, 1])
        sim.set(0, "ai", 0, [1111, 2222])
        sim.set(1, "ai", 0, [3333, 4444])
        sim.set(1, "do", 0, [1, 1])
        install(root, prog_text(), device_text([
            ModbusDevice(slave_id=1, tcp_port=tcp.port, do_count=4, di_count=4, ai_count=2),
            ModbusDevice(slave_id=2, serial_dev=rtu.path, do_count=2, ai_count=2, do_as_di=1),
            ModbusDevice(slave_id=3, tcp_port=gone.port, di_count=1)]),  # slot 7 is empty
            mapping_text([(0, ["", "1-1,1-2,1-3,1-4,2-1,2-2,0-5,3-1,", "", "1-1,1-2,2-1,2-2,"])]))
        sim.offline(2)
        text = run_check(root, "devices")
        assert (text.returncode, re.sub(r" in [0-9.]+ ms", "", text.stdout)) == (
            1, DEVICES_TEXT % (tcp.port, rtu.path, gone.port))
        facts = json.loads(run_check(root, "devices", "--json").stdout)
        assert (facts["exit"], facts["refusal"], len(facts["sessions"])) == (1, None, 1)
        assert [(d["connected"], d["answered"], d["error"], d["log"][-1], d.get("values", {}).get("di"))
                for d in facts["devices"]] == [
            (True, True, "", "[Read  AI] Number:2, Value:[1111, 2222]", [1, 0, 1, 1]),
            (True, True, "", "[Read  AI] Number:2, Value:[3333, 4444]", [1, 1]),  # its coils, as inputs
            (False, False, "[Error] Connection failed (Connection refused)", "[Error] Connection failed", None)]
        di, ai = facts["sessions"][0]["di"], facts["sessions"][0]["ai"]
        assert (di["values"], ai["values"], di["text"]) == ([1, 0, 1, 1, 1, 1, 0, None], [1111, 2222, 3333, 4444],
                                                            "AE,QRX724H,0100,0,0,WDI,0,8,1,0,1,1,1,1,0,0,EA")
        # Read requests only (functions 1 to 4), nothing written.
        assert {fc for d in (0, 1) for fc, _, _ in sim.requests(d)} <= {1, 2, 3, 4}
        # Over MQTT (no JSON wrapping), every device answering: exit 0.
        sim.online(2)
        install(root, prog_text(mqtt_enable=1))
        facts = json.loads(run_check(root, "devices", "--json").stdout)
        assert facts["exit"] == 0 and [(facts["sessions"][0][t]["topic"], facts["sessions"][0][t]["text"])
                                       for t in ("di", "ai")] == [("gw/di", "0100010101010000"), ("gw/ai", "045708AE0D05115C")]
        assert run_check(root, "devices").stdout.endswith("every device answered, 2 warning(s) (exit 0)\n")


@pytest.mark.parametrize("args, status, out, err", [
    (["--bogus"], 2, "", "quorvane-check: unknown argument --bogus\nUsage:"),
    (["--root", "/nonexistent"], 2, "", "quorvane-check: --root /nonexistent: not a directory\n"),
    (["--help"], 0, "Usage:", ""),
    (["-v"], 0, "quorvane-check version = V1.00_for_ME3616", ""),
])
def test_command_line(args, status, out, err):
    r = subprocess.run([str(CHECK), *args], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout.startswith(out), r.stderr.startswith(err)) == (status, True, True)
