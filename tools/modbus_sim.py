#!/usr/bin/python3
"""Simulated Modbus devices for the system tests and the demo.

A thin wrapper round the built `modbus_sim` binary: starts it with a list of
devices, and sets and inspects their coils (do), discrete inputs (di), holding
registers (ao) and input registers (ai) while the gateway talks to them.

    with ModbusSim([TcpDevice(), RtuDevice(slave=7)]) as sim:
        sim.set(0, "do", 0, [1, 0, 1])
        port = sim.devices[0].port        # for the device file
        path = sim.devices[1].path        # RTU: the pty the gateway opens
        ...
        assert sim.get(0, "do", 0, 3) == [1, 1, 1]

From the command line, `tools/modbus_sim.py --tcp 1502 --rtu` runs the binary
with the same arguments and hands it the terminal; the control lines are in
tools/README.md.
"""

import dataclasses
import os
import pathlib
import subprocess
import sys

_HERE = pathlib.Path(__file__).resolve().parent


def find_binary():
    """The built modbus_sim: $MODBUS_SIM, $QUORVANE_BUILD_DIR/modbus_sim or build/."""
    if os.environ.get("MODBUS_SIM"):
        return pathlib.Path(os.environ["MODBUS_SIM"])
    build = pathlib.Path(os.environ.get("QUORVANE_BUILD_DIR", _HERE.parent / "build"))
    return build / "modbus_sim"


@dataclasses.dataclass
class Block:
    """Where one type's values live: `count` values from Modbus address `start`."""
    start: int = 0
    count: int = 1000


@dataclasses.dataclass
class TcpDevice:
    port: int = 0          # 0: a free port, filled in once the sim runs
    slave: int = 1
    blocks: dict = dataclasses.field(default_factory=dict)  # "do" -> Block
    host: str = "127.0.0.1"


@dataclasses.dataclass
class RtuDevice:
    slave: int = 1
    blocks: dict = dataclasses.field(default_factory=dict)
    path: str = ""         # the pty slave, filled in once the sim runs


class SimError(RuntimeError):
    pass


class ModbusSim:
    def __init__(self, devices, binary=None):
        self.devices = list(devices)
        args = [str(binary or find_binary())]
        for dev in self.devices:
            if isinstance(dev, TcpDevice):
                args += ["--tcp", str(dev.port)]
            else:
                args += ["--rtu"]
            args += ["--slave", str(dev.slave)]
            for kind, block in dev.blocks.items():
                args += ["--block", f"{kind}:{block.start}:{block.count}"]
        self._proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      text=True, bufsize=1)
        for line in self._proc.stdout:
            words = line.split()
            if words == ["ready"]:
                break
            if len(words) >= 4 and words[0] == "device":
                dev = self.devices[int(words[1])]
                if words[2] == "tcp":
                    dev.port = int(words[4])
                else:
                    dev.path = words[3]
        else:
            raise SimError("modbus_sim did not start")

    def command(self, line):
        """Sends one control line; returns the words after "ok"."""
        self._proc.stdin.write(line + "\n")
        self._proc.stdin.flush()
        answer = self._proc.stdout.readline().split()
        if not answer or answer[0] != "ok":
            raise SimError(f"{line!r}: {' '.join(answer) or 'no answer'}")
        return answer[1:]

    def set(self, dev, kind, address, values):
        self.command(f"set {dev} {kind} {address} " + " ".join(str(v) for v in values))

    def get(self, dev, kind, address, count=1):
        return [int(v) for v in self.command(f"get {dev} {kind} {address} {count}")]

    def fail(self, dev, function):
        """Function `function` of the device answers with an exception."""
        self.command(f"fail {dev} {function}")

    def delay(self, dev, ms):
        self.command(f"delay {dev} {ms}")

    def heal(self, dev):
        """Clears the injected exceptions and delay."""
        self.command(f"heal {dev}")

    def offline(self, dev):
        """TCP: connections are refused. RTU: requests go unanswered."""
        self.command(f"offline {dev}")

    def online(self, dev):
        self.command(f"online {dev}")

    def requests(self, dev):
        """Requests served since the last call, as (function, address, count)."""
        return [tuple(int(x) for x in w.split(":")) for w in self.command(f"requests {dev}")]

    def connections(self, dev):
        return int(self.command(f"connections {dev}")[0])

    def close(self):
        if self._proc.poll() is None:
            try:
                self._proc.stdin.write("quit\n")
                self._proc.stdin.close()
                self._proc.wait(timeout=5)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self._proc.kill()
                self._proc.wait()
        self._proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main(argv):
    binary = find_binary()
    if not binary.exists():
        sys.exit(f"{binary} not built (cmake --build build --target modbus_sim)")
    os.execv(str(binary), [str(binary), *argv])


if __name__ == "__main__":
    main(sys.argv[1:])
