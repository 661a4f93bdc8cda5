#!/usr/bin/python3
"""Downlink latency, whole system: from an RDO frame leaving the report server
to the coil write seen on a simulated Modbus TCP device, split into parts.

The daemon runs with the modem simulator, the report server and modbus_sim,
as in the end-to-end system test, with QUORVANE_DOWNLINK_TRACE set: it stamps
each command's stages on standard error (the line handed to the decoder, the
command queued, its write-back begun and done). Values alternate, so that each
command differs from the image and is written; the device's coils are polled
every millisecond. Cases:

  idle        one report cycle only, the loop holding (modem at full speed,
              then paced as a 9600 bit/s UART);
  esosend     a report every second, every AT+ESOSEND answered 100 ms late;
              the +ESONMI line lands while the gateway awaits that answer;
  scan        device 2 answers each request 20 ms late; the command leaves
              when the polling thread has begun reading device 2.

Prints, per case, median / 90th percentile / worst of the whole latency and
of each part: arrival (server -> line at the decoder: modem, port, and the
main loop's wait for its next read), handler (decode and queue), queue (until
the write-back begins), write (the Modbus write-back, its link lock
included), device (until the coil is seen). Asserts nothing.

    python3 bench/downlink_latency.py [--build build] [--count 60] [--case NAME]
"""

import argparse
import os
import pathlib
import random
import re
import statistics
import sys
import tempfile
import time

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
SESSION_ID = 2
STAGES = ("line", "queued", "apply", "applied")
PARTS = ("arrival", "handler", "queue", "write", "device")
TRACE = re.compile(rb"downlink-trace (\w+) ([0-9.]+)\n")


def stamps(output, since):
    """The trace's stage times after the offset `since` of the output."""
    return [(m.group(1).decode(), float(m.group(2))) for m in TRACE.finditer(output, since)]


def parts_of(start, seen, trace):
    """The command's parts from its first full set of stages after start."""
    at = {}
    for stage, t in trace:
        if t >= start and stage in STAGES and stage not in at:
            at[stage] = t
    if len(at) < len(STAGES):
        return None
    points = [start] + [at[s] for s in STAGES] + [seen]
    return [b - a for a, b in zip(points, points[1:])]


def measure(case, pace_baud, count):
    # Imported here: the build directory must be in the environment first.
    from bench_config import ModbusDevice, device_text, install, mapping_text, prog_text
    from conftest import BUILD_DIR
    from gateway import Daemon
    from modbus_sim import ModbusSim, TcpDevice
    from modem_sim import ModemSim
    from report_server import ReportServer, build_frame

    rows = []
    with tempfile.TemporaryDirectory(prefix="downlink-bench-") as tmp:
        root = pathlib.Path(tmp)
        for sub in ("korvel/quorvane", "dev", "tmp"):
            (root / sub).mkdir(parents=True)
        # Device 2 in a simulator of its own: its delay holds up no other.
        with ModbusSim([TcpDevice()]) as device, ModbusSim([TcpDevice()]) as slow, \
                ReportServer(port=0, params=BUILD_DIR / "codec_params.txt") as server:
            # Session ID 2: DO on coils 0-2 of device 1, AO on registers 0-1;
            # coil 3 is on the device but not mapped and stays set. Device 2
            # is only scanned (session ID 3, its inputs).
            device.set(0, "do", 0, [0, 0, 0, 1])
            server.set_values(SESSION_ID, "RDO", [0, 0, 0])
            server.set_values(SESSION_ID, "RAO", [0, 0])
            interval = 1 if case == "esosend" else 3600
            install(root, prog_text(send_interval=interval, server_port=server.address[1]),
                    device_text([ModbusDevice(tcp_port=device.devices[0].port, do_count=4,
                                              ao_count=3),
                                 ModbusDevice(tcp_port=slow.devices[0].port, do_count=0,
                                              di_count=2, ai_count=2)]),
                    mapping_text([(SESSION_ID, ["1-1,1-2,1-3,", "0-0,", "1-1,1-2,", "0-0,"]),
                                  (3, ["0-0,", "2-1,2-2,", "0-0,", "2-1,2-2,"])]))
            delays = {"AT+ESOSEND": 0.1} if case == "esosend" else None
            with ModemSim(root / "dev/ttyUSB0", udp_server=server.address, zrst_delay=0.05,
                          register_delay=0.1, pace_baud=pace_baud, delays=delays) as sim:
                daemon = Daemon(root, env={"QUORVANE_DOWNLINK_TRACE": "1"})
                try:
                    server.wait_for(lambda f: f["type"] == "WGPS", timeout=60)
                    daemon.wait_output(rb"Type           = WGPS\n.*EndChar", timeout=30)
                    if case == "scan":
                        slow.delay(0, 20)
                    for i in range(count):
                        values = [1, 0, 1] if i % 2 == 0 else [0, 1, 0]
                        expected = values + [1]
                        # The server's own answers to RDO requests carry them too.
                        server.set_values(SESSION_ID, "RDO", values)
                        since = len(daemon.output())
                        if case == "esosend":
                            # The next AT+ESOSEND, whose answer is 100 ms away.
                            sent = sum(c.upper().startswith("AT+ESOSEND") for c in sim.commands)
                            sim.wait_command("AT+ESOSEND", sent + 1, timeout=10)
                            time.sleep(random.uniform(0.005, 0.03))
                            raw = server.codec.encode(
                                build_frame(SESSION_ID, server.last_packet_id, "RDO", values))
                            start = time.monotonic()
                            sim._emit(b"\r\n+ESONMI=1,%d,%s\r\n"
                                      % (len(raw), raw.hex().upper().encode()))
                        else:
                            if case == "scan":
                                slow.requests(0)
                                while not slow.requests(0):
                                    time.sleep(0.001)
                            else:
                                # Off the report loop's 20 ms poll rhythm.
                                time.sleep(0.05 + random.uniform(0, 0.02))
                            start = time.monotonic()
                            server.send_command(SESSION_ID, "RDO", values)
                        while device.get(0, "do", 0, 4) != expected:
                            if time.monotonic() - start > 10:
                                raise RuntimeError("command %d never reached the device" % i)
                            time.sleep(0.001)
                        seen = time.monotonic()
                        time.sleep(0.01)  # the trace's last stage
                        rows.append([seen - start] +
                                    (parts_of(start, seen, stamps(daemon.output(), since))
                                     or [float("nan")] * len(PARTS)))
                        if case == "scan":
                            time.sleep(random.uniform(0, 0.2))
                finally:
                    daemon.kill()
    return rows


def summary(values):
    ms = sorted(1000 * x for x in values if x == x)
    if not ms:
        return "%27s" % "-"
    return "%7.1f %7.1f %7.1f" % (statistics.median(ms), ms[int(0.9 * (len(ms) - 1))], ms[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=str(SOURCE_DIR / "build"))
    ap.add_argument("--count", type=int, default=60)
    ap.add_argument("--case", choices=("idle", "idle-9600", "esosend", "scan"), action="append")
    args = ap.parse_args()
    os.environ["QUORVANE_BUILD_DIR"] = str(pathlib.Path(args.build).resolve())
    os.environ.setdefault("QUORVANE_SOURCE_DIR", str(SOURCE_DIR))
    sys.path[:0] = [str(SOURCE_DIR / "tests/system"), str(SOURCE_DIR / "tools")]

    print("RDO frame leaving the report server -> coil write on the device, %d commands; "
          "ms as median / p90 / worst" % args.count)
    print("%-10s %-23s" % ("case", "total") + "".join(" %-23s" % p for p in PARTS))
    cases = {"idle": ("idle", None), "idle-9600": ("idle", 9600),
             "esosend": ("esosend", None), "scan": ("scan", None)}
    for name in args.case or list(cases):
        rows = measure(*cases[name], args.count)
        columns = list(zip(*rows))
        print("%-10s" % name + "".join(" %s" % summary(c) for c in columns))


if __name__ == "__main__":
    main()
