#!/usr/bin/python3
"""Downlink latency, whole system: from the report server sending an RDO frame
to the coil write seen on a simulated Modbus TCP device.

The daemon runs with the modem simulator (at full speed, then paced as a 9600
bit/s UART), the report server and modbus_sim, as in the end-to-end system
test. After the first report cycle the server pushes RDO frames with values
that alternate, so that each one differs from the image and is written; the
device's coils are polled every millisecond. Prints median, 90th percentile and
worst per modem speed; asserts nothing.

    python3 bench/downlink_latency.py [--build build] [--count 60]
"""

import argparse
import os
import pathlib
import random
import statistics
import sys
import tempfile
import time

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
SESSION_ID = 2


def measure(pace_baud, count):
    # Imported here: the build directory must be in the environment first.
    from bench_config import ModbusDevice, device_text, install, mapping_text, prog_text
    from conftest import BUILD_DIR
    from gateway import Daemon
    from modbus_sim import ModbusSim, TcpDevice
    from modem_sim import ModemSim
    from report_server import ReportServer

    latencies = []
    with tempfile.TemporaryDirectory(prefix="downlink-bench-") as tmp:
        root = pathlib.Path(tmp)
        for sub in ("korvel/quorvane", "dev", "tmp"):
            (root / sub).mkdir(parents=True)
        with ModbusSim([TcpDevice()]) as device, \
                ReportServer(port=0, params=BUILD_DIR / "codec_params.txt") as server:
            # One session (ID 2): DO on coils 0-2, AO on registers 0-1; coil 3
            # is on the device but not mapped and stays set.
            device.set(0, "do", 0, [0, 0, 0, 1])
            server.set_values(SESSION_ID, "RDO", [0, 0, 0])
            server.set_values(SESSION_ID, "RAO", [0, 0])
            # One report cycle only: the pushed frames are all the traffic.
            install(root, prog_text(send_interval=3600, server_port=server.address[1]),
                    device_text([ModbusDevice(tcp_port=device.devices[0].port, do_count=4,
                                              ao_count=3)]),
                    mapping_text([(SESSION_ID, ["1-1,1-2,1-3,", "0-0,", "1-1,1-2,", "0-0,"])]))
            with ModemSim(root / "dev/ttyUSB0", udp_server=server.address, zrst_delay=0.05,
                          register_delay=0.1, pace_baud=pace_baud):
                daemon = Daemon(root)
                try:
                    server.wait_for(lambda f: f["type"] == "WGPS", timeout=60)
                    daemon.wait_output(rb"Type           = WGPS\n.*EndChar", timeout=30)
                    for i in range(count):
                        values = [1, 0, 1] if i % 2 == 0 else [0, 1, 0]
                        expected = values + [1]
                        # Off the report loop's 20 ms poll rhythm.
                        time.sleep(0.05 + random.uniform(0, 0.02))
                        start = time.monotonic()
                        server.send_command(SESSION_ID, "RDO", values)
                        while device.get(0, "do", 0, 4) != expected:
                            if time.monotonic() - start > 10:
                                raise RuntimeError("command %d never reached the device" % i)
                            time.sleep(0.001)
                        latencies.append(time.monotonic() - start)
                finally:
                    daemon.kill()
    return latencies


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=str(SOURCE_DIR / "build"))
    ap.add_argument("--count", type=int, default=60)
    args = ap.parse_args()
    os.environ["QUORVANE_BUILD_DIR"] = str(pathlib.Path(args.build).resolve())
    os.environ.setdefault("QUORVANE_SOURCE_DIR", str(SOURCE_DIR))
    sys.path[:0] = [str(SOURCE_DIR / "tests/system"), str(SOURCE_DIR / "tools")]

    print("RDO frame sent by the report server -> coil write on the device, %d commands"
          % args.count)
    print("%-22s %9s %9s %9s" % ("modem", "median", "p90", "worst"))
    for label, pace in (("full speed", None), ("9600 bit/s", 9600)):
        ms = sorted(1000 * x for x in measure(pace, args.count))
        p90 = ms[int(0.9 * (len(ms) - 1))]
        print("%-22s %7.1f ms %6.1f ms %6.1f ms" % (label, statistics.median(ms), p90, ms[-1]))


if __name__ == "__main__":
    main()
