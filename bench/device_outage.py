#!/usr/bin/python3
"""Device outage, whole system: device_outage=exit against keep_running, side
by side in one run.

Each mode gets its own bench: two Modbus TCP devices, device 1 alone in
session 0 (the healthy session) and device 2 alone in session 1, UDP reports
every 2 s, the modem simulator and the report server, and a supervisor that
starts the daemon again 10 s after it ends, as the systemd unit does. Phases:
steady, device 2 flapping (5 s up / 5 s down), device 2 down for a long
outage, then back with a new input value. Prints per mode: the healthy
session's frames per minute while flapping against steady, the modem restarts
(AT+ZRST) during the outage, and the seconds from device 2's return to the
first frame carrying its new value. Asserts nothing.

    python3 bench/device_outage.py [--build build] [--steady 60] [--flap 120] [--outage 300]
"""

import argparse
import os
import pathlib
import sys
import tempfile
import threading
import time

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
RESTART_DELAY = 10.0


class Supervisor(threading.Thread):
    """Starts the daemon, and again RESTART_DELAY seconds after each end."""

    def __init__(self, root):
        super().__init__(daemon=True)
        self.root, self.stopping, self.daemon_ = root, threading.Event(), None

    def run(self):
        from gateway import Daemon
        while not self.stopping.is_set():
            self.daemon_ = Daemon(self.root)
            while self.daemon_.proc.poll() is None and not self.stopping.is_set():
                time.sleep(0.1)
            self.stopping.wait(RESTART_DELAY)

    def stop(self):
        self.stopping.set()
        self.join()
        self.daemon_.kill()


def run_mode(mode, durations, results):
    from bench_config import ModbusDevice, device_text, install, mapping_text, prog_text
    from conftest import BUILD_DIR
    from modbus_sim import ModbusSim, TcpDevice
    from modem_sim import ModemSim
    from report_server import ReportServer

    steady, flap, outage = durations
    with tempfile.TemporaryDirectory(prefix="outage-bench-") as tmp, \
            ModbusSim([TcpDevice(), TcpDevice()]) as sim, \
            ReportServer(port=0, params=BUILD_DIR / "codec_params.txt") as server:
        root = pathlib.Path(tmp)
        for sub in ("korvel/quorvane", "dev", "tmp"):
            (root / sub).mkdir(parents=True)
        ports = [d.port for d in sim.devices]
        install(root, prog_text(send_interval=2, server_port=server.address[1]),
                device_text([ModbusDevice(tcp_port=p, ai_count=1) for p in ports]),
                mapping_text([(0, ["0-0,", "0-0,", "0-0,", "1-1,"]),
                              (1, ["0-0,", "0-0,", "0-0,", "2-1,"])]))
        (root / "korvel/quorvane/quorvane_options.ini").write_text(
            "device_outage=%s\nunreachable_report=devinfo\n" % mode)
        sim.set(0, "ai", 0, [1])
        sim.set(1, "ai", 0, [2])
        with ModemSim(root / "dev/ttyUSB0", udp_server=server.address, zrst_delay=0.05,
                      register_delay=0.1) as modem:
            sup = Supervisor(root)
            sup.start()
            server.wait_for(lambda f: f["type"] == "WAI" and f["session_id"] == 1, timeout=60)

            def healthy_frames(seconds):
                first = len(server.frames)
                time.sleep(seconds)
                return sum(f["session_id"] == 0 for f in server.frames[first:])

            steady_count = healthy_frames(steady)
            first, end = len(server.frames), time.monotonic() + flap
            while time.monotonic() < end:
                sim.offline(1)
                time.sleep(5)
                sim.online(1)
                time.sleep(5)
            flap_count = sum(f["session_id"] == 0 for f in server.frames[first:])

            zrst = len([c for c in modem.commands if c.startswith("AT+ZRST")])
            sim.offline(1)
            time.sleep(outage)
            restarts = len([c for c in modem.commands if c.startswith("AT+ZRST")]) - zrst
            sim.set(1, "ai", 0, [4242])
            first = len(server.frames)
            sim.online(1)
            back = time.monotonic()
            fresh = server.wait_for(lambda f: f["type"] == "WAI" and f["values"] == [4242],
                                    timeout=120, since=first)
            fresh_s = time.monotonic() - back if fresh else float("nan")
            sup.stop()
    results[mode] = (steady_count * 60.0 / steady, flap_count * 60.0 / flap, restarts, fresh_s)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=str(SOURCE_DIR / "build"))
    ap.add_argument("--steady", type=float, default=60)
    ap.add_argument("--flap", type=float, default=120)
    ap.add_argument("--outage", type=float, default=300)
    args = ap.parse_args()
    os.environ["QUORVANE_BUILD_DIR"] = str(pathlib.Path(args.build).resolve())
    os.environ.setdefault("QUORVANE_SOURCE_DIR", str(SOURCE_DIR))
    sys.path[:0] = [str(SOURCE_DIR / "tests/system"), str(SOURCE_DIR / "tools")]

    results = {}
    durations = (args.steady, args.flap, args.outage)
    threads = [threading.Thread(target=run_mode, args=(m, durations, results))
               for m in ("exit", "keep_running")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("steady %.0f s, flap %.0f s (5 s up / 5 s down), outage %.0f s; restart after %.0f s"
          % (*durations, RESTART_DELAY))
    print("%-13s %14s %14s %7s %12s %14s" % ("mode", "steady fr/min", "flap fr/min", "ratio",
                                            "ZRST outage", "fresh after s"))
    for mode in ("exit", "keep_running"):
        if mode not in results:
            print("%-13s failed" % mode)
            continue
        steady, flap, restarts, fresh = results[mode]
        print("%-13s %14.1f %14.1f %6.0f%% %12d %14.1f" % (mode, steady, flap,
                                                          100 * flap / steady, restarts, fresh))


if __name__ == "__main__":
    main()
