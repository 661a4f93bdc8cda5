"""Ports that come back: a modem replaced by a new one at the same path, a
modem port that appears after start-up, and a GPS receiver replaced by one at
another position. The daemon reopens each port by its path, brings the new
modem up and reports the new receiver's position."""

import re
import time

from gateway import quick_modem, wait
from nmea_feed import NmeaFeed

LOST = rb"%s port \S+/dev/ttyUSB%d lost \(%s\), reopening!!\n"
BACK = rb"%s port \S+/dev/ttyUSB%d back\n"


def test_a_new_modem_and_a_new_receiver_at_the_same_paths(root, bench, report_server, daemon):
    server = report_server
    bench.configure(server_port=server.address[1])
    first = quick_modem(root, udp_server=server.address).start()
    try:
        d = daemon()
        assert server.wait_for(lambda f: f["type"] == "WGPS" and f["values"][0], timeout=60)
    finally:
        first.stop()  # a USB reset: the device and its node go away
    since = len(server.frames)
    # The new receiver takes the path while the old one still sends.
    feed = NmeaFeed(root / "dev/ttyUSB1", rate_hz=2.0, start=(-33.8688, 151.2093)).start()
    try:
        with quick_modem(root, udp_server=server.address) as second:
            appeared = time.monotonic()
            assert server.wait_for(timeout=60, since=since), d.output()[-4000:]
            print("modem back -> first frame: %.2f s" % (time.monotonic() - appeared))
            assert second.wait_command("AT+ZRST") and second.wait_command("AT+ESOC=")
            wait(d, lambda: server.wait_for(
                lambda f: f["type"] == "WGPS" and ":3352." in f["values"][0], 0.1, since),
                "the new receiver's position")
    finally:
        feed.stop()
    # One line each way per port, however many attempts it took.
    console = d.output()
    for line in (LOST % (b"Modem", 0, b"hang-up"), BACK % (b"Modem", 0),
                 LOST % (b"GPS", 1, b"another device at its path"), BACK % (b"GPS", 1)):
        assert len(re.findall(line, console)) == 1, (line, console[-4000:])


def test_a_modem_port_that_appears_after_start_up(root, bench, report_server, daemon):
    server = report_server
    bench.configure(server_port=server.address[1])
    d = daemon()
    d.wait_output(rb"Modem port \S+/dev/ttyUSB0 cannot be opened \(No such file or directory\), "
                  rb"retrying!!\n")
    with quick_modem(root, udp_server=server.address):
        d.wait_output(BACK % (b"Modem", 0), timeout=30)
        assert server.wait_for(lambda f: f["type"] == "WDI", timeout=60), d.output()[-4000:]

