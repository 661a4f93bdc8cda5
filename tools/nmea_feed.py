#!/usr/bin/python3
"""NMEA feed of the bench kit: a GPS receiver on a pseudo-terminal.

Writes one sentence set per receiver second (RMC, VTG, GGA, GSA and three GSV,
talker GP, checksummed, CR LF ended) with a position that moves at a set speed
and course, or replays a recorded NMEA log. A symlink at the given path (for
example <root>/dev/ttyUSB1) points to the pty's slave, which the feed keeps
open so that the link stays usable between the daemon's opens.

    python3 tools/nmea_feed.py --link /tmp/root/dev/ttyUSB1 --start 48.1173,11.5167
"""

import argparse
import datetime
import errno
import math
import os
import re
import sys
import threading
import time
import tty

from bench_worker import BackgroundWorker, stop_on_signals

KNOT_MS = 1852.0 / 3600.0
EARTH_RADIUS_M = 6371000.0
ALTITUDE_M = 545.4
GEOID_M = 46.9

# (PRN, elevation, azimuth at t=0, SNR); the first eight are used in the fix.
SATELLITES = ((3, 72, 45, 46), (6, 51, 132, 44), (9, 38, 290, 41), (14, 25, 201, 38),
              (17, 64, 310, 45), (19, 17, 77, 33), (22, 44, 12, 42), (28, 31, 166, 40),
              (30, 9, 250, 24), (32, 5, 105, 0), (1, 12, 340, 27))
USED = 8


def checksum(body):
    """XOR of the characters between '$' and '*', as two upper-case hex digits."""
    value = 0
    for ch in body.encode("ascii"):
        value ^= ch
    return f"{value:02X}"


def sentence(body):
    """'$' + body + '*' + checksum + CR LF."""
    return f"${body}*{checksum(body)}\r\n"


def checksum_ok(line):
    """True when a sentence carries the checksum of its body."""
    m = re.fullmatch(r"\$([^*]*)\*([0-9A-Fa-f]{2})\r?\n?", line)
    return bool(m) and checksum(m.group(1)) == m.group(2).upper()


def _angle(value, degree_digits, hemispheres):
    hemi = hemispheres[0] if value >= 0 else hemispheres[1]
    value = abs(value)
    degrees = int(value)
    minutes = (value - degrees) * 60.0
    if round(minutes, 4) >= 60.0:  # keep 59.99999 from printing as 60.0000
        degrees, minutes = degrees + 1, 0.0
    return f"{degrees:0{degree_digits}d}{minutes:07.4f}", hemi


def format_lat(lat):
    """Decimal degrees -> ('ddmm.mmmm', 'N'|'S')."""
    return _angle(lat, 2, "NS")


def format_lon(lon):
    """Decimal degrees -> ('dddmm.mmmm', 'E'|'W')."""
    return _angle(lon, 3, "EW")


def parse_angle(text, hemi):
    """'ddmm.mmmm' (or 'dddmm.mmmm') and hemisphere -> decimal degrees."""
    whole = float(text)
    degrees = int(whole // 100)
    value = degrees + (whole - degrees * 100) / 60.0
    return -value if hemi in "SW" else value


def advance(lat, lon, speed_knots, course_deg, seconds):
    """Position after `seconds` at constant speed and course (flat earth over
    the short steps of a feed, which is plenty for a test position)."""
    dist = speed_knots * KNOT_MS * seconds
    course = math.radians(course_deg)
    dlat = math.degrees(dist * math.cos(course) / EARTH_RADIUS_M)
    dlon = math.degrees(dist * math.sin(course) /
                        (EARTH_RADIUS_M * max(math.cos(math.radians(lat)), 1e-6)))
    lon = (lon + dlon + 180.0) % 360.0 - 180.0
    return max(-90.0, min(90.0, lat + dlat)), lon


def build_sentences(when, lat, lon, speed_knots=0.0, course_deg=0.0, talker="GP"):
    """One receiver second as a list of sentences (each ending CR LF), in the
    order a common receiver sends them: RMC, VTG, GGA, GSA, GSV x3.
    `when` is a UTC datetime."""
    hms = when.strftime("%H%M%S") + f".{when.microsecond // 10000:02d}"
    dmy = when.strftime("%d%m%y")
    la, ns = format_lat(lat)
    lo, ew = format_lon(lon)
    spd = f"{speed_knots:.2f}"
    crs = f"{course_deg % 360.0:.2f}"
    kmh = f"{speed_knots * 1.852:.2f}"
    used = [s[0] for s in SATELLITES[:USED]]
    out = [
        f"{talker}RMC,{hms},A,{la},{ns},{lo},{ew},{spd},{crs},{dmy},,,A",
        f"{talker}VTG,{crs},T,,M,{spd},N,{kmh},K,A",
        f"{talker}GGA,{hms},{la},{ns},{lo},{ew},1,{USED:02d},0.9,{ALTITUDE_M:.1f},M,"
        f"{GEOID_M:.1f},M,,",
        f"{talker}GSA,A,3," + ",".join(f"{p:02d}" for p in used)
        + "," * (12 - len(used)) + ",1.6,0.9,1.3",
    ]
    # Satellites drift slowly across the sky: one degree of azimuth a minute.
    drift = (when.hour * 60 + when.minute) % 360
    total = (len(SATELLITES) + 3) // 4
    for n in range(total):
        group = SATELLITES[4 * n:4 * n + 4]
        sats = "".join(f",{p:02d},{el:02d},{(az + drift) % 360:03d},"
                       + (f"{snr:02d}" if snr else "")
                       for p, el, az, snr in group)
        out.append(f"{talker}GSV,{total},{n + 1},{len(SATELLITES):02d}{sats}")
    return [sentence(body) for body in out]


# --- replay ------------------------------------------------------------------

_TIMED = re.compile(r"^\$..(?:RMC|GGA|GLL|ZDA|GNS),")


def _seconds_of_day(line):
    """Receiver time of a timed sentence (RMC, GGA, GNS, ZDA field 1; GLL
    field 5) in seconds, or None."""
    if not _TIMED.match(line):
        return None
    fields = line.split("*")[0].split(",")
    text = fields[5] if line[3:6] == "GLL" and len(fields) > 5 else fields[1]
    m = re.fullmatch(r"(\d\d)(\d\d)(\d\d(?:\.\d+)?)", text)
    if not m:
        return None
    return int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3))


def replay_schedule(lines, rate=None, max_gap=10.0):
    """[(delay before the line, line)] for a recorded log. With `rate`, lines
    go out at that many per second. Otherwise at their original pace: a line
    whose receiver time is later than the epoch's waits the difference (a
    backwards step or a day wrap waits one second; a gap is cut to max_gap)."""
    if rate:
        return [(0.0 if i == 0 else 1.0 / rate, line) for i, line in enumerate(lines)]
    schedule, epoch = [], None
    for line in lines:
        t = _seconds_of_day(line)
        delay = 0.0
        if t is not None:
            if epoch is not None and t != epoch:
                delay = t - epoch if t > epoch else 1.0
                delay = min(delay, max_gap)
            epoch = t
        schedule.append((delay, line))
    return schedule


def read_log(path):
    """Lines of a recorded log, each ended CR LF as the receiver sent it."""
    with open(path, "rb") as f:
        raw = f.read().decode("latin-1")
    return [line.rstrip("\r\n") + "\r\n" for line in raw.splitlines() if line.strip()]


# --- the feed ------------------------------------------------------------------

class NmeaFeed(BackgroundWorker):
    """A GPS receiver on a pty whose slave `link_path` points to.

    rate_hz      sentence sets per real second; each set advances the
                 receiver's clock by one second (so 10 is a 10x fast receiver)
    start        (lat, lon) in decimal degrees
    speed_knots, course_deg   motion of the position
    start_time   UTC datetime of the first set (default: now, whole second)
    replay       path of an NMEA log to replay instead (replay_rate: lines per
                 second, None: original pace; loop: start again at the end)
    log          called with the '<link> -> <slave>' line, and with every
                 sentence when echo is true
    """

    def __init__(self, link_path, rate_hz=1.0, start=(48.1173, 11.5167),
                 speed_knots=5.0, course_deg=45.0, start_time=None, replay=None,
                 replay_rate=None, loop=False, talker="GP", log=None, echo=False):
        self.link_path = str(link_path)
        self.rate_hz = rate_hz
        self.position = tuple(start)
        self.speed_knots = speed_knots
        self.course_deg = course_deg
        self.clock = start_time or datetime.datetime.now(
            datetime.timezone.utc).replace(microsecond=0)
        self.replay_lines = read_log(replay) if replay else None
        self.replay_rate = replay_rate
        self.loop = loop
        self.talker = talker
        self.last_rmc = None    # the last RMC sentence written, without CR LF
        self.sets_sent = 0
        self.lines_sent = 0
        self.bytes_dropped = 0
        self._log = log
        self._echo = echo
        self._write_lock = threading.Lock()
        self.master = self.slave = None
        super().__init__()

    thread_name = "nmea-feed"

    def _open(self):
        self.master, self.slave = os.openpty()
        # Raw slave: no echo, and CR LF reach the reader as they were written.
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.slave_name = os.ttyname(self.slave)
        os.makedirs(os.path.dirname(os.path.abspath(self.link_path)), exist_ok=True)
        tmp = f"{self.link_path}.{os.getpid()}.tmp"
        os.symlink(self.slave_name, tmp)
        os.replace(tmp, self.link_path)
        if self._log:
            self._log(f"{self.link_path} -> {self.slave_name}")

    def _run(self):
        if self.replay_lines is not None:
            self._replay()
        else:
            self._generate()

    def _close(self):
        try:
            if os.readlink(self.link_path) == self.slave_name:
                os.unlink(self.link_path)
        except OSError:
            pass
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None

    def inject(self, data):
        """Write raw bytes (garbage, fragments) between the sentences."""
        self._write(bytes(data))

    def _write(self, data):
        # A receiver does not wait for its reader: what the pty cannot take
        # any more is dropped and counted.
        with self._write_lock:
            view = memoryview(data)
            while view:
                try:
                    n = os.write(self.master, view)
                except OSError as exc:
                    if exc.errno in (errno.EAGAIN, errno.EIO):
                        self.bytes_dropped += len(view)
                        return
                    raise
                view = view[n:]

    def _emit_line(self, line):
        self._write(line.encode("latin-1"))
        self.lines_sent += 1
        if line[3:6] == "RMC":
            self.last_rmc = line.rstrip("\r\n")
        if self._log and self._echo:
            self._log(line.rstrip("\r\n"))

    def _generate(self):
        period = 1.0 / self.rate_hz
        next_due = time.monotonic()
        while not self._stop.is_set():
            lat, lon = self.position
            for line in build_sentences(self.clock, lat, lon, self.speed_knots,
                                        self.course_deg, self.talker):
                self._emit_line(line)
            self.sets_sent += 1
            self.position = advance(lat, lon, self.speed_knots, self.course_deg, 1.0)
            self.clock += datetime.timedelta(seconds=1)
            next_due += period
            self._stop.wait(max(0.0, next_due - time.monotonic()))

    def _replay(self):
        schedule = replay_schedule(self.replay_lines, self.replay_rate)
        while not self._stop.is_set():
            for delay, line in schedule:
                if delay and self._stop.wait(delay):
                    return
                self._emit_line(line)
            if not self.loop:
                return
            if self._stop.wait(1.0 / self.replay_rate if self.replay_rate else 1.0):
                return


def _lat_lon(text):
    try:
        lat, lon = (float(v) for v in text.split(","))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"expected LAT,LON: {text!r}") from exc
    return lat, lon


def main(argv=None):
    ap = argparse.ArgumentParser(description="NMEA feed of the bench kit.")
    ap.add_argument("--link", required=True, help="symlink to create, e.g. ROOT/dev/ttyUSB1")
    ap.add_argument("--rate", type=float, default=1.0, help="sentence sets per second")
    ap.add_argument("--start", type=_lat_lon, default=(48.1173, 11.5167),
                    metavar="LAT,LON", help="start position in decimal degrees")
    ap.add_argument("--speed", type=float, default=5.0, help="knots")
    ap.add_argument("--course", type=float, default=45.0, help="degrees true")
    ap.add_argument("--replay", metavar="FILE", help="replay a recorded NMEA log")
    ap.add_argument("--replay-rate", type=float, metavar="LINES_PER_S",
                    help="replay at this pace instead of the log's own")
    ap.add_argument("--loop", action="store_true", help="replay the log for ever")
    ap.add_argument("--quiet", action="store_true", help="do not echo the sentences")
    args = ap.parse_args(argv)
    if args.rate <= 0 or (args.replay_rate is not None and args.replay_rate <= 0):
        ap.error("rates must be positive")

    feed = NmeaFeed(args.link, args.rate, args.start, args.speed, args.course,
                    replay=args.replay, replay_rate=args.replay_rate, loop=args.loop,
                    log=lambda line: print(line, flush=True), echo=not args.quiet)
    done = stop_on_signals()
    feed.start()
    while not done.wait(0.2):
        if feed.finished:
            break
    feed.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
