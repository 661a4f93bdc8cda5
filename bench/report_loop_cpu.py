#!/usr/bin/python3
"""CPU use of the daemon while the report loop waits, whole system.

The daemon runs with the modem simulator, the report server (answering every
frame) and one simulated Modbus TCP device, as in the report-loop system test:
one session reported every --interval seconds (10 by default). After the first
cycle (bring-up and start-up left out), /proc/<pid>/stat and the main thread's
/proc/<pid>/task/<pid>/stat are read at the start and the end of --seconds
(60 by default). Prints the daemon's CPU time as a share of one core, in
total and for the main thread (the report loop; the rest is the polling
thread's scan once a second); asserts nothing.

    python3 bench/report_loop_cpu.py [--build build] [--seconds 60] [--interval 10]
"""

import argparse
import os
import pathlib
import sys
import tempfile
import time

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_ticks(stat_path):
    """utime + stime of a /proc stat file (fields 14 and 15, after the name)."""
    text = pathlib.Path(stat_path).read_text()
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def measure(seconds, interval):
    # Imported here: the build directory must be in the environment first.
    from bench_config import ModbusDevice, device_text, install, mapping_text, prog_text
    from conftest import BUILD_DIR
    from gateway import Daemon, quick_modem
    from modbus_sim import ModbusSim, TcpDevice
    from report_server import ReportServer

    with tempfile.TemporaryDirectory(prefix="report-loop-bench-") as tmp:
        root = pathlib.Path(tmp)
        for sub in ("korvel/quorvane", "dev", "tmp"):
            (root / sub).mkdir(parents=True)
        with ModbusSim([TcpDevice()]) as device, \
                ReportServer(port=0, params=BUILD_DIR / "codec_params.txt") as server:
            # One session (ID 4) of one device: 2 DO, 3 DI, 1 AO, 2 AI.
            install(root, prog_text(send_interval=interval, server_port=server.address[1]),
                    device_text([ModbusDevice(tcp_port=device.devices[0].port, do_count=2,
                                              di_count=3, ao_count=1, ai_count=2)]),
                    mapping_text([(4, ["1-1,1-2,", "1-1,1-2,1-3,", "1-1,", "1-1,1-2,"])]))
            with quick_modem(root, udp_server=server.address):
                daemon = Daemon(root)
                try:
                    server.wait_for(lambda f: f["type"] == "WGPS", timeout=60)
                    pid = daemon.proc.pid
                    total0 = cpu_ticks("/proc/%d/stat" % pid)
                    main0 = cpu_ticks("/proc/%d/task/%d/stat" % (pid, pid))
                    start = time.monotonic()
                    time.sleep(seconds)
                    total1 = cpu_ticks("/proc/%d/stat" % pid)
                    main1 = cpu_ticks("/proc/%d/task/%d/stat" % (pid, pid))
                    elapsed = time.monotonic() - start
                    frames = len(server.frames)
                finally:
                    daemon.kill()
    return (total1 - total0) / TICKS, (main1 - main0) / TICKS, elapsed, frames


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=str(SOURCE_DIR / "build"))
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--interval", type=int, default=10)
    args = ap.parse_args()
    os.environ["QUORVANE_BUILD_DIR"] = str(pathlib.Path(args.build).resolve())
    os.environ.setdefault("QUORVANE_SOURCE_DIR", str(SOURCE_DIR))
    sys.path[:0] = [str(SOURCE_DIR / "tests/system"), str(SOURCE_DIR / "tools")]

    total, main_thread, elapsed, frames = measure(args.seconds, args.interval)
    print("one session reported every %d s, %.0f s measured, %d frames in all"
          % (args.interval, elapsed, frames))
    print("daemon CPU      %6.2f %% of one core (%.2f s)" % (100 * total / elapsed, total))
    print("  report loop   %6.2f %% of one core (%.2f s, main thread)"
          % (100 * main_thread / elapsed, main_thread))


if __name__ == "__main__":
    main()
