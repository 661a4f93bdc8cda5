"""The demo command against the built daemon: it shows decoded frames (or
publications) with live values and a coil set by the server, stops on SIGTERM
(as on Ctrl-C) with status 0, and leaves nothing behind."""

import os
import pathlib
import re
import signal
import subprocess
import threading

import pytest

from conftest import BUILD_DIR, SOURCE_DIR

SHOWN = {
    "udp": [r"^server  \| recv 127\.0\.0\.1:\d+ AE,QRX724H,0100,0,\d+,WDI,0,12(,[01]){12},EA$",
            r"^server  \| recv 127\.0\.0\.1:\d+ AE,QRX724H,0100,0,\d+,WAI,0,6(,\d+){6},EA$",
            r"^server  \| recv \S+ AE,QRX724H,0100,0,\d+,WGPS,0,1,\$GPRMC:"],
    "mqtt": [r"^broker  \| quorvane/di [0-9A-F]{24}$", r"^broker  \| quorvane/gps \$GPRMC:",
             r"^broker  \| quorvane/ack DO_ACK$"],
}
# The daemon's own console, and one coil of each device set (all clear at first).
SHOWN_BOTH = [r"^gateway \| <--- Read Configure File --->$",
              r"^devices \| coils: device 1 0*10*, device 2 0*10*$"]


@pytest.mark.parametrize("transport", ["udp", "mqtt"])
def test_demo_shows_the_gateway_reporting_and_stops_cleanly(transport):
    args = ["/usr/bin/python3", str(SOURCE_DIR / "tools/demo.py"), "--build-dir", str(BUILD_DIR),
            "--interval", "1", "--command-every", "2", "--duration", "300"]
    proc = subprocess.Popen(args + (["--mqtt"] if transport == "mqtt" else []),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ))
    out, wanted, seen = [], [re.compile(p) for p in SHOWN[transport] + SHOWN_BOTH], threading.Event()

    def read():
        for raw in proc.stdout:
            out.append(raw.decode("latin-1"))
            wanted[:] = [p for p in wanted if not p.match(out[-1])]
            if not wanted:
                seen.set()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        seen.wait(180)
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=60)
        reader.join(timeout=10)
        err = proc.stderr.read()
    text = "".join(out)
    assert not wanted, ([p.pattern for p in wanted], text[-6000:])
    assert (proc.returncode, err) == (0, b""), text[-6000:] + err.decode("latin-1")
    # Everything it started is gone, its temporary root too.
    root = re.search(r"^demo    \| configuration in (\S+)/korvel/quorvane ", text, re.M).group(1)
    assert not pathlib.Path(root).exists()
    assert text.endswith("demo    | stopped\n")
