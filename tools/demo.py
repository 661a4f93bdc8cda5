#!/usr/bin/python3
"""The gateway on the bench kit.

Under a temporary QUORVANE_ROOT it writes a demo configuration (two simulated
Modbus devices, one TCP and one RTU on a pseudo-terminal, the default mapping;
files in CR LF), starts the devices, the report server (or, with --mqtt, a
private mosquitto broker), the modem simulator on the modem port and an NMEA
feed on the GPS port, then the daemon. It prints what the daemon logs and what
the server receives (or the broker carries), changes the devices' inputs every
second, and has the server set the coils now and then. Ctrl-C, SIGTERM or the
end of --duration stops every process it started.

    tools/demo.py [--mqtt [--json]] [--duration S] [--interval S] [--quiet]

Exit status 0 when the server received live values from the gateway (a WDI or
WAI frame, or a DI or AI publication), 1 otherwise.
"""

import argparse
import contextlib
import itertools
import json
import math
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_config import DEFAULT_MAPPING, ModbusDevice, device_text, install, prog_text  # noqa: E402
from broker import Mosquitto, Subscriber, end_process  # noqa: E402
from modbus_sim import ModbusSim, RtuDevice, TcpDevice  # noqa: E402
from modem_sim import ModemSim  # noqa: E402
from nmea_feed import NmeaFeed  # noqa: E402
from report_server import ReportServer  # noqa: E402

# The two devices: what each offers, in the device file's terms.
TCP_IO = dict(do_count=8, di_count=8, ao_count=4, ai_count=4)
RTU_IO = dict(do_count=4, di_count=4, ao_count=2, ai_count=2)
# With the default mapping both devices land in session 0, TCP channels first.
SESSION = 0
DO_SLOTS = TCP_IO["do_count"] + RTU_IO["do_count"]
TOPIC_ROOT = "quorvane"


def build_dir(arg):
    if arg:
        return pathlib.Path(arg).resolve()
    return pathlib.Path(os.environ.get("QUORVANE_BUILD_DIR", HERE.parent / "build")).resolve()


class Console:
    """Tagged lines from every thread, one at a time."""

    def __init__(self, quiet_gateway=False):
        self._lock = threading.Lock()
        self.quiet_gateway = quiet_gateway

    def line(self, tag, text):
        with self._lock:
            print("%-7s | %s" % (tag, text), flush=True)

    def gateway(self, text):
        if not self.quiet_gateway:
            self.line("gateway", text)


def bits(values):
    return "".join(str(v) for v in values)


def input_values(tick, di_count, ai_count, phase):
    """Inputs that visibly move: a walking bit, a counter and a slow wave."""
    di = [1 if (tick + phase) % di_count == i else 0 for i in range(di_count)]
    ai = [(tick * 10 + phase) % 65536,
          int(200 + 50 * math.sin((tick + phase) / 5.0))] + \
         [(tick * (i + 3) + phase) % 1000 for i in range(ai_count - 2)]
    return di, ai


def coil_pattern(round_no):
    """The DO values the server commands in its n-th round: one coil of each
    device set, moving along."""
    pattern = [0] * DO_SLOTS
    pattern[round_no % TCP_IO["do_count"]] = 1
    pattern[TCP_IO["do_count"] + round_no % RTU_IO["do_count"]] = 1
    return pattern


class Demo:
    def __init__(self, args):
        self.args = args
        self.out = Console(args.quiet)
        self.stop = threading.Event()
        self.live_values = threading.Event()   # a report with values reached the server
        self.build = build_dir(args.build_dir)
        self.daemon = None
        self.reader = None
        self.exit_reason = None

    # --- the pieces -------------------------------------------------------

    def start_devices(self, stack):
        os.environ["QUORVANE_BUILD_DIR"] = str(self.build)
        # The device process ignores the terminal's Ctrl-C (an ignored signal
        # stays ignored across exec): it must outlive the daemon, which the
        # demo stops first. It ends when its control pipe closes.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            sim = ModbusSim([TcpDevice(slave=1), RtuDevice(slave=2)])
        finally:
            signal.signal(signal.SIGINT, previous)
        stack.callback(sim.close)
        tcp, rtu = sim.devices
        self.out.line("devices", "device 1: Modbus TCP 127.0.0.1:%d, unit 1" % tcp.port)
        self.out.line("devices", "device 2: Modbus RTU on %s, unit 2" % rtu.path)
        return sim

    def start_server(self, stack):
        params = self.build / "codec_params.txt"
        server = ReportServer(port=0, params=params if params.exists() else None,
                              log=lambda text: self.out.line("server", text))
        server.set_values(SESSION, "RDO", [0] * DO_SLOTS)
        stack.enter_context(server)
        self.out.line("server", "report server on %s:%d" % server.address)
        return server

    def start_broker(self, stack, root):
        broker = Mosquitto(root).start()
        stack.callback(broker.stop)
        self.out.line("broker", "mosquitto on %s:%d" % (broker.host, broker.port))

        def show(topic, text):
            self.out.line("broker", "%s %s" % (topic, text.replace("\n", " ")))
            if topic.rsplit("/", 1)[-1] in ("di", "ai"):
                self.live_values.set()

        client = Subscriber(broker.host, broker.port, TOPIC_ROOT + "/#", show)
        stack.callback(client.close)
        return broker, client

    def write_config(self, root, sim, server=None, broker=None):
        tcp, rtu = sim.devices
        devices = [ModbusDevice(slave_id=1, tcp_port=tcp.port, **TCP_IO),
                   ModbusDevice(slave_id=2, serial_dev=rtu.path, **RTU_IO)]
        settings = dict(send_interval=self.args.interval, apn="demo",
                        server_host="127.0.0.1", mqtt_host="127.0.0.1",
                        sub_topic1=TOPIC_ROOT + "/cmd/+/DO", sub_topic2=TOPIC_ROOT + "/cmd/+/AO",
                        pub_topic_info=TOPIC_ROOT + "/info", pub_topic_di=TOPIC_ROOT + "/di",
                        pub_topic_ai=TOPIC_ROOT + "/ai", pub_topic_gps=TOPIC_ROOT + "/gps",
                        pub_topic_ack=TOPIC_ROOT + "/ack", device_id="demo-gw",
                        sensor_id="demo-01")
        if server:
            settings.update(server_port=server.address[1])
        if broker:
            settings.update(mqtt_enable=1, mqtt_port=broker.port,
                            mqtt_cht=1 if self.args.json else 0)
        conf = install(root, prog_text(**settings), device_text(devices), DEFAULT_MAPPING)
        self.out.line("demo", "configuration in %s (CR LF, default mapping)" % conf)

    def start_daemon(self, stack, root):
        exe = self.build / "quorvane"
        env = dict(os.environ, QUORVANE_ROOT=str(root))
        log = open(self.args.log, "wb") if self.args.log else None
        if log:
            stack.callback(log.close)
        # A session of its own: the demo stops it first, before the devices.
        self.daemon = subprocess.Popen([str(exe)], env=env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                       start_new_session=True)
        stack.callback(self.stop_daemon)
        self.out.line("demo", "gateway started: QUORVANE_ROOT=%s %s" % (root, exe))

        def read():
            for raw in self.daemon.stdout:
                if log:
                    log.write(raw)
                text = raw.decode("latin-1").replace("\r", "").rstrip("\n")
                if text.strip():
                    self.out.gateway(text)
            code = self.daemon.wait()
            if not self.stop.is_set():
                self.exit_reason = "the gateway ended with status %d" % code
                self.stop.set()

        self.reader = threading.Thread(target=read, name="gateway-console", daemon=True)
        self.reader.start()

    def stop_daemon(self):
        end_process(self.daemon)

    # --- what happens while it runs ---------------------------------------

    def move_inputs(self, sim):
        """Every second new inputs on both devices; coil changes are shown."""
        coils = None
        for tick in itertools.count():
            if self.stop.wait(0 if tick == 0 else 1.0):
                return
            tcp_di, tcp_ai = input_values(tick, TCP_IO["di_count"], TCP_IO["ai_count"], 0)
            rtu_di, rtu_ai = input_values(tick, RTU_IO["di_count"], RTU_IO["ai_count"], 2)
            try:
                sim.set(0, "di", 0, tcp_di)
                sim.set(0, "ai", 0, tcp_ai)
                sim.set(1, "di", 0, rtu_di)
                sim.set(1, "ai", 0, rtu_ai)
                now = (sim.get(0, "do", 0, TCP_IO["do_count"]),
                       sim.get(1, "do", 0, RTU_IO["do_count"]))
            except (OSError, RuntimeError, ValueError):
                return   # the devices are being stopped
            if tick % 5 == 0:
                self.out.line("devices", "inputs now: device 1 DI %s AI %s, device 2 DI %s AI %s" %
                              (bits(tcp_di), tcp_ai, bits(rtu_di), rtu_ai))
            if now != coils:
                self.out.line("devices", "coils: device 1 %s, device 2 %s" %
                              (bits(now[0]), bits(now[1])))
                coils = now

    def wait_or_stop(self, condition):
        """Waits until condition() holds (True) or the demo stops (False)."""
        while not self.stop.is_set():
            if condition():
                return True
            self.stop.wait(0.2)
        return False

    def command_coils_udp(self, server):
        """Once the gateway is heard, the server's RDO answers carry new coil
        values every --command-every seconds."""
        if not self.wait_or_stop(lambda: any(f["type"] == "RDO" for f in server.frames)):
            return
        for round_no in itertools.count():
            pattern = coil_pattern(round_no)
            server.set_values(SESSION, "RDO", pattern)
            self.out.line("server", "the next RDO answers set the coils to %s" % bits(pattern))
            if self.stop.wait(self.args.command_every):
                return

    def command_coils_mqtt(self, client, modem):
        """Once the gateway has subscribed to both command topics, a DO command
        every --command-every seconds."""
        if not self.wait_or_stop(lambda: len(modem.subscriptions) >= 2):
            return
        for round_no in itertools.count():
            pattern = coil_pattern(round_no)
            hex_text = "".join("%02X" % v for v in pattern)
            topic = "%s/cmd/%d/DO" % (TOPIC_ROOT, SESSION)
            payload = hex_text
            if self.args.json:
                payload = json.dumps({"id": "demo-01", "deviceId": "demo-gw",
                                      "time": time.strftime("%Y-%m-%dT%H:%M:%SZ"),
                                      "value": ["%d/DO/%s" % (SESSION, hex_text)]})
            client.publish(topic, payload)
            self.out.line("broker", "command sent: %s %s (coils %s)" %
                          (topic, payload, bits(pattern)))
            if self.stop.wait(self.args.command_every):
                return

    def watch_frames(self, server, root):
        """Marks the first live values, and shows the status file then."""
        if not self.wait_or_stop(lambda: any(f["type"] in ("WDI", "WAI")
                                             for f in server.frames)):
            return
        self.live_values.set()
        status = root / "tmp/modemInfo.txt"
        if status.exists():
            text = status.read_bytes().split(b"\0", 1)[0].decode("latin-1")
            self.out.line("demo", "status file %s: %s" % (status, " ".join(text.split())))

    # --- the whole run ----------------------------------------------------

    def run(self):
        for exe in ("quorvane", "modbus_sim"):
            if not (self.build / exe).exists():
                self.out.line("demo", "%s is not built in %s (scripts/demo.sh builds it)" %
                              (exe, self.build))
                return 1
        for sig in (signal.SIGINT, signal.SIGTERM):
            signal.signal(sig, lambda *_: self.stop.set())

        with contextlib.ExitStack() as stack:
            root = pathlib.Path(tempfile.mkdtemp(prefix="quorvane-demo-"))
            if not self.args.keep:
                stack.callback(shutil.rmtree, root, True)
            for sub in ("dev", "tmp"):
                (root / sub).mkdir()
            sim = self.start_devices(stack)
            server = broker = client = None
            if self.args.mqtt:
                broker, client = self.start_broker(stack, root)
            else:
                server = self.start_server(stack)
            self.write_config(root, sim, server, broker)

            modem = ModemSim(root / "dev/ttyUSB0",
                             udp_server=server.address if server else None,
                             mqtt_broker=(broker.host, broker.port) if broker else None,
                             zrst_delay=0.2, register_delay=0.5)
            stack.enter_context(modem)
            self.out.line("modem", "simulated ME3616 on %s -> %s" %
                          (root / "dev/ttyUSB0", modem.slave_name))
            feed = NmeaFeed(root / "dev/ttyUSB1", rate_hz=1.0,
                            log=lambda text: self.out.line("gps", "NMEA feed " + text))
            stack.enter_context(feed)

            workers = [threading.Thread(target=self.move_inputs, args=(sim,), daemon=True)]
            if server:
                workers += [threading.Thread(target=self.command_coils_udp, args=(server,),
                                             daemon=True),
                            threading.Thread(target=self.watch_frames, args=(server, root),
                                             daemon=True)]
            else:
                workers.append(threading.Thread(target=self.command_coils_mqtt,
                                                args=(client, modem), daemon=True))
            self.start_daemon(stack, root)
            for w in workers:
                w.start()

            started = time.monotonic()
            self.stop.wait(self.args.duration)
            self.stop.set()
            self.stop_daemon()
            for w in [self.reader] + workers:
                w.join(timeout=5)
            elapsed = time.monotonic() - started
            if self.exit_reason:
                self.out.line("demo", self.exit_reason)
            if server:
                frames = server.frames
                self.out.line("demo", "%d frames received in %.0f s, %d with live values" % (
                    len(frames), elapsed,
                    sum(1 for f in frames if f["type"] in ("WDI", "WAI"))))
            self.out.line("demo", "stopping the simulators")
        self.out.line("demo", "stopped")
        return 0 if self.live_values.is_set() and not self.exit_reason else 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mqtt", action="store_true",
                        help="MQTT transport through a private mosquitto broker")
    parser.add_argument("--json", action="store_true",
                        help="with --mqtt: JSON payloads (mqtt_cht=1)")
    parser.add_argument("--duration", type=float, default=None,
                        help="stop after S seconds (default: run until Ctrl-C)")
    parser.add_argument("--interval", type=int, default=5,
                        help="report period of the gateway in seconds (default 5)")
    parser.add_argument("--command-every", type=float, default=20.0,
                        help="seconds between two coil commands (default 20)")
    parser.add_argument("--build-dir", help="where quorvane and modbus_sim are built")
    parser.add_argument("--quiet", action="store_true",
                        help="leave the gateway's own console out")
    parser.add_argument("--log", help="also write the gateway's console to this file")
    parser.add_argument("--keep", action="store_true",
                        help="keep the temporary QUORVANE_ROOT")
    args = parser.parse_args(argv)
    if args.json and not args.mqtt:
        parser.error("--json goes with --mqtt")
    return Demo(args).run()


if __name__ == "__main__":
    sys.exit(main())
