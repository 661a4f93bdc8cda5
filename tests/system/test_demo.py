"""The demo command itself, bounded: tools/demo.py against the built daemon
shows decoded frames (or publications) with live values and a coil set by the
server, ends by itself with status 0, and leaves nothing behind."""

import os
import pathlib
import re
import subprocess

import pytest

from conftest import BUILD_DIR, SOURCE_DIR


@pytest.mark.parametrize("transport", ["udp", "mqtt"])
def test_demo_runs_bounded_and_shows_the_gateway_reporting(transport):
    args = ["/usr/bin/python3", str(SOURCE_DIR / "tools/demo.py"), "--duration", "25",
            "--build-dir", str(BUILD_DIR), "--command-every", "5"]
    if transport == "mqtt":
        args.append("--mqtt")
    r = subprocess.run(args, capture_output=True, timeout=120, env=dict(os.environ))
    out = r.stdout.decode("latin-1")
    assert r.returncode == 0, out[-6000:] + r.stderr.decode("latin-1")
    assert r.stderr == b""

    if transport == "udp":
        # Decoded frames as the server received them: both devices' inputs
        # (8 + 4 DI, 4 + 2 AI) and the GPS sentence.
        assert re.search(r"^server  \| recv 127\.0\.0\.1:\d+ AE,QRX724H,0100,0,\d+,WDI,0,12"
                         r"(,[01]){12},EA$", out, re.M), out[-6000:]
        assert re.search(r"^server  \| recv 127\.0\.0\.1:\d+ AE,QRX724H,0100,0,\d+,WAI,0,6"
                         r"(,\d+){6},EA$", out, re.M)
        assert re.search(r"^server  \| recv \S+ AE,QRX724H,0100,0,\d+,WGPS,0,1,\$GPRMC:", out, re.M)
    else:
        assert re.search(r"^broker  \| quorvane/di [0-9A-F]{24}$", out, re.M), out[-6000:]
        assert re.search(r"^broker  \| quorvane/gps \$GPRMC:", out, re.M)
        assert re.search(r"^broker  \| quorvane/ack DO_ACK$", out, re.M)
    # The daemon's own console is shown, and a command of the server set one
    # coil on each device (all are clear at the start).
    assert re.search(r"^gateway \| <--- Read Configure File --->$", out, re.M)
    assert re.search(r"^devices \| coils: device 1 0*10*, device 2 0*10*$", out, re.M)

    # Everything it started is gone, its temporary root too.
    root = pathlib.Path(re.search(r"^demo    \| configuration in (\S+)/korvel/quorvane ",
                                  out, re.M).group(1))
    assert not root.exists()
    assert out.endswith("demo    | stopped\n")
