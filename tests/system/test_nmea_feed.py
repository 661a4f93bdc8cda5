"""The bench kit's NMEA feed: its sentences, and what a reader of the pty gets."""

import datetime
import os
import select
import subprocess
import sys
import time

import pytest

import nmea_feed as nf
from conftest import SOURCE_DIR

T0 = datetime.datetime(2024, 3, 5, 23, 59, 58, tzinfo=datetime.timezone.utc)


def fields(line):
    return line.split("*")[0].split(",")


def test_checksums_and_sentence_set():
    # The textbook example and its published checksum.
    assert nf.checksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") == "47"
    assert nf.checksum_ok("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n")
    assert not nf.checksum_ok("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*48")

    lines = nf.build_sentences(T0, -33.8688, -151.2093, 12.5, 270.0)
    assert [line[:6] for line in lines] == ["$GPRMC", "$GPVTG", "$GPGGA", "$GPGSA",
                                            "$GPGSV", "$GPGSV", "$GPGSV"]
    for line in lines:
        assert line.endswith("\r\n") and line.count("\r") == 1
        assert nf.checksum_ok(line) and len(line) <= 82
    rmc, vtg, gga, gsa = (fields(line) for line in lines[:4])
    assert len(rmc) == 13 and rmc[1] == "235958.00" and rmc[2] == "A" and rmc[9] == "050324"
    assert (rmc[4], rmc[6], rmc[7], rmc[8]) == ("S", "W", "12.50", "270.00")
    assert nf.parse_angle(rmc[3], rmc[4]) == pytest.approx(-33.8688, abs=1e-6)
    assert nf.parse_angle(rmc[5], rmc[6]) == pytest.approx(-151.2093, abs=1e-6)
    assert (gga[2:6], gga[6]) == (rmc[3:7], "1") and len(gga) == 15
    assert vtg[7] == "23.15" and len(gsa) == 18
    gsv = [fields(line) for line in lines[4:]]
    assert {g[1] for g in gsv} == {"3"} and [g[2] for g in gsv] == ["1", "2", "3"]
    assert sum((len(g) - 4) // 4 for g in gsv) == int(gsv[0][3])
    # Minutes that round up to 60 carry into the degrees.
    assert nf.format_lat(10.999999999) == ("1100.0000", "N")
    assert nf.format_lon(-0.5) == ("00030.0000", "W")


def test_position_moves_with_speed_and_course():
    lat, lon = nf.advance(0.0, 0.0, 60.0, 90.0, 60.0)  # one nautical mile east
    assert lat == pytest.approx(0.0) and lon * 60 == pytest.approx(1.0, rel=0.01)
    lat, lon = nf.advance(60.0, 179.9999, 10.0, 0.0, 3600.0)  # 10 NM north, across 180
    assert lat == pytest.approx(60.0 + 10 / 60.0, rel=1e-3) and lon == pytest.approx(179.9999)
    assert nf.advance(10.0, 179.9999, 100.0, 90.0, 60.0)[1] < -179.0


class SlaveReader:
    """The daemon's side: the link path opened as a serial device."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDONLY | os.O_NOCTTY)
        self.buf = b""

    def lines(self, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        while self.buf.count(b"\n") < count:
            left = deadline - time.monotonic()
            assert left > 0, f"only {self.buf!r}"
            if select.select([self.fd], [], [], left)[0]:
                self.buf += os.read(self.fd, 4096)
        *out, self.buf = self.buf.split(b"\n", count)
        return [line.decode() + "\n" for line in out]

    def close(self):
        os.close(self.fd)


@pytest.fixture
def link(tmp_path):
    return tmp_path / "dev" / "ttyUSB1"


def test_feed_writes_moving_sets_to_the_pty(link):
    feed = nf.NmeaFeed(link, rate_hz=20, start=(48.0, 11.0), speed_knots=3600.0,
                       course_deg=0.0, start_time=T0)
    with feed:
        assert os.path.islink(link) and os.readlink(link) == feed.slave_name
        reader = SlaveReader(link)
        got = reader.lines(21)
        feed.inject(b"\x00garbage$GP")
        feed.inject(b"\r\n")
        after = reader.lines(8)
        reader.close()
    assert not os.path.lexists(link)
    assert all(nf.checksum_ok(line) for line in got)
    rmcs = [fields(line) for line in got if line.startswith("$GPRMC")]
    assert [r[1] for r in rmcs] == ["235958.00", "235959.00", "000000.00"]
    assert [r[9] for r in rmcs] == ["050324", "050324", "060324"]
    lats = [nf.parse_angle(r[3], r[4]) for r in rmcs]
    # 3600 knots north: one nautical mile (one arc minute) per receiver second.
    assert [(b - a) * 60 for a, b in zip(lats, lats[1:])] == pytest.approx([1.0, 1.0], rel=0.01)
    assert b"\x00garbage$GP\r\n".decode() in "".join(after)
    assert feed.last_rmc.startswith("$GPRMC,") and feed.sets_sent >= 4


def test_replay_keeps_lines_and_paces_by_receiver_time(tmp_path, link):
    log = tmp_path / "drive.nmea"
    recorded = ["$GPGGA,120000.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,*67",
                "$GPGSV,1,1,01,03,72,045,46*4D",
                "$GPRMC,120000.50,A,4807.0390,N,01131.0000,E,0.10,0.00,050324,,,A*5A",
                "$GPRMC,120001.50,A,4807.0400,N,01131.0000,E,0.10,0.00,050324,,,A*55",
                "$GPRMC,115959.00,A,4807.0400,N,01131.0000,E,0.10,0.00,050324,,,A*52",
                "not nmea at all"]
    log.write_text("\n".join(recorded) + "\n\n")  # a blank line is skipped
    lines = nf.read_log(log)
    assert [line.rstrip("\r\n") for line in lines] == recorded
    assert [d for d, _ in nf.replay_schedule(lines)] == [0.0, 0.0, 0.5, 1.0, 1.0, 0.0]
    assert [d for d, _ in nf.replay_schedule(lines, rate=4)] == [0.0] + [0.25] * 5
    assert nf.replay_schedule(lines[2:4], max_gap=0.2)[1][0] == 0.2

    with nf.NmeaFeed(link, replay=log, replay_rate=50) as feed:
        reader = SlaveReader(link)
        got = reader.lines(len(recorded))
        reader.close()
        deadline = time.monotonic() + 5
        while not feed.finished and time.monotonic() < deadline:
            time.sleep(0.01)
        assert feed.finished
    assert got == [line + "\r\n" for line in recorded]
    assert feed.last_rmc == recorded[4] and feed.lines_sent == len(recorded)


def test_command_line_feed(tmp_path, link):
    proc = subprocess.Popen(
        [sys.executable, str(SOURCE_DIR / "tools" / "nmea_feed.py"), "--link", str(link),
         "--rate", "20", "--start=-12.5,130.25", "--quiet"],
        stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().startswith(f"{link} -> /dev/pts/")
        reader = SlaveReader(link)
        rmc = next(fields(line) for line in reader.lines(7) if line.startswith("$GPRMC"))
        reader.close()
        assert nf.parse_angle(rmc[3], rmc[4]) == pytest.approx(-12.5, abs=0.01)
        assert nf.parse_angle(rmc[5], rmc[6]) == pytest.approx(130.25, abs=0.01)
        proc.terminate()
        assert proc.wait(timeout=5) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
    assert not os.path.lexists(link)
