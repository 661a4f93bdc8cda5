#!/usr/bin/python3
"""The daemon's footprint on the bench kit: peak resident memory and CPU.

One session over UDP, two simulated Modbus devices (one TCP, one RTU on a
pseudo-terminal, default mapping), the NMEA feed on the GPS port, the report
server answering every frame, a report every --interval seconds (10 by
default). After the first report cycle the daemon is watched for --seconds
(60 by default): its resident memory is sampled every 100 ms, the kernel's own
peak (VmHWM) is read at the end, and its CPU time is taken from /proc. Prints
the figures; asserts nothing.

    /usr/bin/python3 bench/footprint.py [--build build] [--seconds 60] [--interval 10]
"""

import argparse
import os
import pathlib
import sys
import tempfile
import time

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    text = pathlib.Path("/proc/%d/stat" % pid).read_text()
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def status_kib(pid, key):
    for line in pathlib.Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return 0


def measure(seconds, interval):
    from bench_config import DEFAULT_MAPPING, ModbusDevice, device_text, install, prog_text
    from conftest import BUILD_DIR
    from gateway import Daemon, quick_modem
    from modbus_sim import ModbusSim, RtuDevice, TcpDevice
    from nmea_feed import NmeaFeed
    from report_server import ReportServer

    with tempfile.TemporaryDirectory(prefix="quorvane-footprint-") as tmp:
        root = pathlib.Path(tmp)
        for sub in ("korvel/quorvane", "dev", "tmp"):
            (root / sub).mkdir(parents=True)
        with ModbusSim([TcpDevice(slave=1), RtuDevice(slave=2)]) as sim, \
                ReportServer(port=0, params=BUILD_DIR / "codec_params.txt") as server, \
                NmeaFeed(root / "dev/ttyUSB1"):
            tcp, rtu = sim.devices
            devices = [ModbusDevice(slave_id=1, tcp_port=tcp.port, do_count=8, di_count=8,
                                    ao_count=4, ai_count=4),
                       ModbusDevice(slave_id=2, serial_dev=rtu.path, do_count=4, di_count=4,
                                    ao_count=2, ai_count=2)]
            install(root, prog_text(send_interval=interval, server_host="127.0.0.1",
                                    server_port=server.address[1]),
                    device_text(devices), DEFAULT_MAPPING)
            with quick_modem(root, udp_server=server.address):
                daemon = Daemon(root)
                try:
                    server.wait_for(lambda f: f["type"] == "WGPS", timeout=60)
                    pid = daemon.proc.pid
                    cpu0, start = cpu_seconds(pid), time.monotonic()
                    rss_max = 0
                    while time.monotonic() - start < seconds:
                        rss_max = max(rss_max, status_kib(pid, "VmRSS"))
                        time.sleep(0.1)
                    elapsed = time.monotonic() - start
                    cpu = cpu_seconds(pid) - cpu0
                    hwm = status_kib(pid, "VmHWM")
                    frames = len(server.frames)
                finally:
                    daemon.kill()
    return {"elapsed": elapsed, "cpu": cpu, "rss_max": rss_max, "hwm": hwm, "frames": frames}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=str(SOURCE_DIR / "build"))
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--interval", type=int, default=10)
    args = ap.parse_args()
    os.environ["QUORVANE_BUILD_DIR"] = str(pathlib.Path(args.build).resolve())
    os.environ.setdefault("QUORVANE_SOURCE_DIR", str(SOURCE_DIR))
    sys.path[:0] = [str(SOURCE_DIR / "tests/system"), str(SOURCE_DIR / "tools")]

    r = measure(args.seconds, args.interval)
    print("one session, two devices, a report every %d s; %.0f s measured, %d frames"
          % (args.interval, r["elapsed"], r["frames"]))
    print("peak resident memory  %7.2f MiB (kernel's VmHWM, start-up included)"
          % (r["hwm"] / 1024))
    print("resident memory       %7.2f MiB at most while measured" % (r["rss_max"] / 1024))
    print("CPU                   %7.2f %% of one core (%.2f s)"
          % (100 * r["cpu"] / r["elapsed"], r["cpu"]))


if __name__ == "__main__":
    main()
