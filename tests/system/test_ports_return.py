"""A late modem port, then a new modem and GPS receiver at the same paths."""

from gateway import quick_modem, wait
from nmea_feed import NmeaFeed


def test_a_late_modem_then_new_modem_and_receiver(root, bench, report_server, daemon):
    server = report_server
    bench.configure(server_port=server.address[1])
    d = daemon()
    d.wait_output(rb"Modem port \S+/dev/ttyUSB0 cannot be opened \(No such file or directory\), "
                  rb"retrying!!\n")
    first = quick_modem(root, udp_server=server.address).start()
    try:
        assert server.wait_for(lambda f: f["type"] == "WGPS" and f["values"][0], timeout=60)
    finally:
        first.stop()  # a USB reset: the device and its node go away
    since = len(server.frames)
    # The new receiver takes the path while the old one still sends.
    feed = NmeaFeed(root / "dev/ttyUSB1", rate_hz=2.0, start=(-33.8688, 151.2093)).start()
    try:
        with quick_modem(root, udp_server=server.address) as second:
            assert server.wait_for(timeout=60, since=since), d.output()[-4000:]
            assert second.wait_command("AT+ZRST") and second.wait_command("AT+ESOC=")
            wait(d, lambda: server.wait_for(
                lambda f: f["type"] == "WGPS" and ":3352." in f["values"][0], 0.1, since),
                "the new receiver's position")
    finally:
        feed.stop()
