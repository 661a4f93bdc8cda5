#!/usr/bin/python3
"""Report server of the bench kit: the UDP peer of the gateway's frames.

Every datagram (the raw scrambled bytes) is unscrambled, logged and answered
with a frame of the same Session ID, PacketID and Type. RDO and RAO answers
carry the values configured for that session (set_values, --rdo, --rao); with
none configured they carry zeros, as many as the request asked for. The server
can be told to stay silent, and can push an RDO or RAO frame of its own to the
last address it heard from.

    python3 tools/report_server.py --port 5683 --params build/codec_params.txt
"""

import argparse
import os
import socket
import sys
import threading
import time

from bench_worker import BackgroundWorker, stop_on_signals
from frame_codec import Codec, load_params

DEVICE_TYPE = "QRX724H"
DEVICE_VERSION = "0100"
VALUE_TYPES = ("RDO", "RAO")
ANSWER_FORMAT = "AE,{dt},{ver},{sid},{pid},{type},0,{n}{values},EA"


def build_frame(session_id, packet_id, frame_type, values=()):
    """A server frame: the gateway's common layout with Offset 0 and Number the
    count of values given."""
    text_values = "".join(f",{v}" for v in values)
    return ANSWER_FORMAT.format(dt=DEVICE_TYPE, ver=DEVICE_VERSION, sid=session_id,
                                pid=packet_id, type=frame_type, n=len(values),
                                values=text_values)


def _field_value(text):
    try:
        return int(text)
    except ValueError:
        return text


def printable(text):
    """Log form of a decoded text: garbage (a wrong key) shows as escapes."""
    return "".join(c if " " <= c <= "~" else f"\\x{ord(c):02x}" for c in text)


def parse_frame(text):
    """Fields of a decoded frame as a dict; `valid` is False when it is not a
    gateway frame (no "AE" first or fewer than eight fields). Trailing blanks
    (the SM4 padding) are dropped; fields are split at every comma, so an empty
    GPS value shows as ''. Values that are decimal integers become ints."""
    stripped = text.rstrip(" ")
    fields = stripped.split(",")
    frame = {"text": stripped, "fields": fields, "valid": False, "session_id": None,
             "packet_id": None, "type": None, "offset": None, "number": None,
             "values": []}
    if len(fields) < 8 or fields[0] != "AE":
        return frame
    try:
        sid, pid, offset, number = (int(fields[i]) for i in (3, 4, 6, 7))
    except ValueError:
        return frame
    values = fields[8:-1] if fields[-1] == "EA" else fields[8:]
    frame.update(valid=True, session_id=sid, packet_id=pid, type=fields[5],
                 offset=offset, number=number,
                 values=[_field_value(v) for v in values])
    return frame


class ReportServer(BackgroundWorker):
    """The server on 127.0.0.1 (or `host`), in a thread of its own.

    params  -- CodecParams, or the path of a build's codec_params.txt, or None
               for the default key

    frames  -- copy of every frame received (dicts from parse_frame, plus
               'raw' scrambled bytes, 'addr', 'answered', 'time', 'error')
    sent    -- copy of every frame sent (parse_frame dicts plus 'raw', 'addr')
    """

    def __init__(self, port=0, params=None, host="127.0.0.1", log=None):
        if params is None or isinstance(params, (str, os.PathLike)):
            params = load_params(params)
        self.codec = Codec(params)
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._sock.bind((host, port))
        self._sock.settimeout(0.05)
        self.address = self._sock.getsockname()
        self._log = log
        super().__init__()
        self._cond = threading.Condition()
        self._frames = []
        self._sent = []
        self._values = {}          # (sid, "RDO"/"RAO") -> list of values
        self._silent_types = set()  # Types never answered; "*" for all
        self._skip = 0              # next frames not answered
        self._skip_types = None
        self.last_peer = None
        self.last_packet_id = 0

    # --- lifecycle (start/stop/with from BackgroundWorker) ------------------

    def _close(self):
        self._sock.close()

    # --- configuration -----------------------------------------------------

    def set_values(self, session_id, frame_type, values):
        """Values for the RDO or RAO answers of a session (None: back to zeros
        of the requested count). Sent as given, even when the count differs
        from what the gateway asked for."""
        if frame_type not in VALUE_TYPES:
            raise ValueError(f"values are for RDO or RAO, not {frame_type!r}")
        with self._cond:
            if values is None:
                self._values.pop((session_id, frame_type), None)
            else:
                self._values[(session_id, frame_type)] = list(values)

    def silence(self, types=None, count=None):
        """Stop answering. types: iterable of Types (None: all). count: only the
        next `count` frames (of those types) go unanswered; None: until speak()."""
        with self._cond:
            if count is None:
                self._silent_types |= {"*"} if types is None else set(types)
            else:
                self._skip = count
                self._skip_types = None if types is None else set(types)

    def speak(self):
        """Answer every frame again."""
        with self._cond:
            self._silent_types.clear()
            self._skip = 0
            self._skip_types = None

    # --- observation -------------------------------------------------------

    @property
    def frames(self):
        with self._cond:
            return list(self._frames)

    @property
    def sent(self):
        with self._cond:
            return list(self._sent)

    def clear(self):
        with self._cond:
            self._frames.clear()
            self._sent.clear()

    def wait_for(self, predicate=lambda f: True, timeout=5.0, since=0):
        """First received frame (index >= since) for which predicate holds, or
        None once timeout seconds have passed."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for frame in self._frames[since:]:
                    if predicate(frame):
                        return frame
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                self._cond.wait(remaining)

    def wait_count(self, count, predicate=lambda f: True, timeout=5.0):
        """All received frames matching predicate once there are `count` of
        them, or None on time-out."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = [f for f in self._frames if predicate(f)]
                remaining = deadline - time.monotonic()
                if len(found) >= count or remaining <= 0:
                    return found if len(found) >= count else None
                self._cond.wait(remaining)

    # --- sending -----------------------------------------------------------

    def send_command(self, session_id, frame_type, values, packet_id=None, addr=None):
        """Push an RDO or RAO frame unasked. packet_id defaults to the last
        PacketID heard, addr to the last address heard from."""
        if frame_type not in VALUE_TYPES:
            raise ValueError(f"commands are RDO or RAO, not {frame_type!r}")
        addr = addr or self.last_peer
        if addr is None:
            raise RuntimeError("no gateway heard yet: give addr")
        pid = self.last_packet_id if packet_id is None else packet_id
        return self._send(build_frame(session_id, pid, frame_type, list(values)), addr)

    def send_text(self, text, addr=None):
        """Send any text (malformed frames for tests), scrambled as usual."""
        addr = addr or self.last_peer
        if addr is None:
            raise RuntimeError("no gateway heard yet: give addr")
        return self._send(text, addr)

    def _send(self, text, addr):
        raw = self.codec.encode(text)
        frame = dict(parse_frame(text), raw=raw, addr=addr, time=time.time())
        # Recorded and logged before it leaves, so that whoever gets the answer
        # finds it in `sent` and the log already.
        with self._cond:
            self._sent.append(frame)
            self._cond.notify_all()
        self._emit(f"sent {addr[0]}:{addr[1]} {printable(text)}")
        self._sock.sendto(raw, addr)
        return frame

    # --- serving -----------------------------------------------------------

    def _emit(self, line):
        if self._log:
            self._log(line)

    def _answer_for(self, frame):
        """The answer text, or None when the server is to stay silent."""
        ftype = frame["type"]
        with self._cond:
            if "*" in self._silent_types or ftype in self._silent_types:
                return None
            if self._skip > 0 and (self._skip_types is None or ftype in self._skip_types):
                self._skip -= 1
                return None
            values = ()
            if ftype in VALUE_TYPES:
                configured = self._values.get((frame["session_id"], ftype))
                values = configured if configured is not None else \
                    [0] * max(0, min(frame["number"], 512))
        return build_frame(frame["session_id"], frame["packet_id"], ftype, values)

    thread_name = "report-server"

    def _run(self):
        while not self._stop.is_set():
            try:
                raw, addr = self._sock.recvfrom(65535)
            except socket.timeout:
                continue
            except OSError:
                break
            self._handle(raw, addr)

    def _handle(self, raw, addr):
        error = None
        try:
            text = self.codec.decode(raw).decode("latin-1")
        except ValueError as exc:
            text, error = "", str(exc)
        frame = dict(parse_frame(text), raw=raw, addr=addr, time=time.time(),
                     answered=False, error=error)
        self.last_peer = addr
        if frame["valid"]:
            self.last_packet_id = frame["packet_id"]
        answer = self._answer_for(frame) if frame["valid"] else None
        peer = f"{addr[0]}:{addr[1]}"
        if error:
            self._emit(f"bad  {peer} {len(raw)} bytes: {error}")
        else:
            self._emit(f"recv {peer} {printable(frame['text'])}" +
                       ("" if frame["valid"] else "  (not a gateway frame)") +
                       ("  (silent)" if frame["valid"] and answer is None else ""))
        if answer is not None:
            frame["answered"] = True
        with self._cond:
            self._frames.append(frame)
            self._cond.notify_all()
        if answer is not None:
            self._send(answer, addr)


# --- command line ----------------------------------------------------------

def _session_values(text):
    """"SID=v1,v2,..." -> (sid, [values])."""
    sid, sep, values = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected SID=v1,v2,...: {text!r}")
    try:
        return int(sid), [int(v) for v in values.split(",") if v.strip()]
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"not a number in {text!r}") from exc


CONSOLE_HELP = """commands on standard input:
  rdo SID v1,v2,...   send an RDO frame to the last gateway heard
  rao SID v1,v2,...   send an RAO frame to the last gateway heard
  set rdo|rao SID v1,v2,...   values of later answers
  silent [TYPE ...]   stop answering (all, or these Types)
  skip N              leave the next N frames unanswered
  speak               answer everything again
  quit"""


def _console_command(server, line):
    words = line.split()
    if not words:
        return True
    cmd = words[0].lower()
    if cmd == "quit":
        return False
    if cmd in ("rdo", "rao") and len(words) == 3:
        sid, values = _session_values(f"{words[1]}={words[2]}")
        server.send_command(sid, cmd.upper(), values)
    elif cmd == "set" and len(words) == 4 and words[1].lower() in ("rdo", "rao"):
        sid, values = _session_values(f"{words[2]}={words[3]}")
        server.set_values(sid, words[1].upper(), values)
    elif cmd == "silent":
        server.silence(words[1:] or None)
    elif cmd == "skip" and len(words) == 2:
        server.silence(count=int(words[1]))
    elif cmd == "speak":
        server.speak()
    else:
        print(f"? {line.strip()}\n{CONSOLE_HELP}", flush=True)
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description="Report server of the bench kit.",
                                 epilog=CONSOLE_HELP,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=5683, help="0: any free port")
    ap.add_argument("--params", help="the build's codec_params.txt (the key)")
    ap.add_argument("--key", help="SM4 key as 32 hex digits (overrides --params)")
    ap.add_argument("--rdo", type=_session_values, action="append", default=[],
                    metavar="SID=v1,v2,...", help="DO values of RDO answers")
    ap.add_argument("--rao", type=_session_values, action="append", default=[],
                    metavar="SID=v1,v2,...", help="AO values of RAO answers")
    ap.add_argument("--silent", nargs="*", metavar="TYPE",
                    help="answer nothing (or not these Types)")
    args = ap.parse_args(argv)

    try:
        params = load_params(args.params, args.key)
    except (OSError, ValueError) as exc:
        print(f"report_server: {exc}", file=sys.stderr)
        return 1
    server = ReportServer(args.port, params, args.host,
                          log=lambda line: print(line, flush=True))
    for sid, values in args.rdo:
        server.set_values(sid, "RDO", values)
    for sid, values in args.rao:
        server.set_values(sid, "RAO", values)
    if args.silent is not None:
        server.silence(args.silent or None)

    done = stop_on_signals()
    server.start()
    print(f"listening on {server.address[0]}:{server.address[1]} (sms4)",
          flush=True)

    def console():
        for line in sys.stdin:
            try:
                if not _console_command(server, line):
                    break
            except (ValueError, RuntimeError) as exc:
                print(f"! {exc}", flush=True)
        else:
            return  # end of input: keep serving until a signal
        done.set()

    threading.Thread(target=console, daemon=True).start()
    while not done.wait(0.5):
        pass
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
