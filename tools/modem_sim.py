#!/usr/bin/env python3
"""A simulated ME3616 NB-IoT module on a pseudo-terminal.

The gateway finds the simulator where it expects its modem port (a symlink to
the pty's slave side) and talks the module's AT dialect to it. Socket traffic
is relayed for real: AT+ESOSEND payloads leave as UDP datagrams and datagrams
that come back arrive as "+ESONMI=" lines; the AT+EMQ* commands drive a real
MQTT client against a real broker, and publications on subscribed topics
arrive as "+EMQPUB:" lines. Faults can be scripted while it runs.

Used as a class (ModemSim, see its docstring) from the system tests, or as a
program (see tools/README.md).
"""

import argparse
import codecs
import collections
import ipaddress
import json
import os
import re
import select
import signal
import socket
import sys
import termios
import threading
import time
import tty

try:
    import paho.mqtt.client as mqtt
except ImportError:  # MQTT commands then answer ERROR
    mqtt = None

OK = b"\r\nOK\r\n"
ERROR = b"\r\nERROR\r\n"
MAX_LINE = 8192          # longer command lines are refused
MAX_PAYLOAD = 1024       # bytes per AT+ESOSEND / AT+EMQPUB
HISTORY = 10000          # entries kept in each inspection list
STALL_LIMIT = 5.0        # seconds a reader may leave the port unread before output is dropped

# Serving-cell report of AT*MENGINFO=0, in the module's field order:
# earfcn, earfcn offset, pci, cell id, rsrp, rsrq, rssi, snr, band, tac,
# ecl (coverage class), tx power, re-rsrp. The gateway reads rsrp, snr, ecl.
DEFAULT_CELL = {"earfcn": 2506, "earfcn_offset": 2, "pci": 325,
                "cellid": "0B3C7A15", "rsrp": -852, "rsrq": -108, "rssi": -780,
                "snr": 52, "band": 8, "tac": "5A3F", "ecl": 0, "tx_power": 230,
                "re_rsrp": -852}
NEIGHBOUR_CELLS = ("2506,2,103,-934", "2506,2,411,-1012")


def info(*lines):
    """An answer with information lines, in the module's framing."""
    return b"\r\n" + b"\r\n".join(line.encode() for line in lines) + b"\r\n" + OK


def at_fields(text):
    """Parameters of a command: split at commas outside double quotes, quotes removed."""
    fields, current, quoted = [], "", False
    for ch in text:
        if ch == "," and not quoted:
            fields.append(current)
            current = ""
            continue
        quoted ^= ch == '"'
        current += ch
    fields.append(current)
    return [f[1:-1] if len(f) >= 2 and f[0] == f[-1] == '"' else f for f in fields]


def params(rest):
    """The parameters of a set command ("=..."); none for any other form."""
    return at_fields(rest[1:]) if rest.startswith("=") else []


def to_int(text):
    try:
        return int(text)
    except (TypeError, ValueError):
        return None


def decode_hex(count_text, hex_text, allow_empty=False):
    """The payload of AT+ESOSEND / AT+EMQPUB, or None when count and hex disagree.
    An MQTT publication may be empty (a GPS report before the first fix); a
    datagram may not."""
    count = to_int(count_text)
    least = 0 if allow_empty else 1
    if count is None or not least <= count <= MAX_PAYLOAD or len(hex_text) != 2 * count:
        return None
    try:
        return bytes.fromhex(hex_text)
    except ValueError:
        return None


class Budget:
    """How long a fault lasts: n uses, a span of seconds, whichever ends first;
    with neither, until it is cleared."""

    def __init__(self, n=None, seconds=None):
        self.left = n
        self.until = None if seconds is None else time.monotonic() + seconds

    def live(self):
        return ((self.left is None or self.left > 0)
                and (self.until is None or time.monotonic() < self.until))

    def take(self):
        if not self.live():
            return False
        if self.left is not None:
            self.left -= 1
        return True


class UdpSocket:
    def __init__(self, sid, sock):
        self.sid = sid
        self.sock = sock
        self.peer = None          # (ip, port) from AT+ESOCON


class MqttClient:
    """One client slot of the module (AT+EMQNEW) and, once connected, its paho
    client. The paho callbacks run on paho's own thread and report through the
    simulator's queue of unsolicited lines."""

    def __init__(self, sim, mid, host, port):
        self.sim = sim
        self.mid = mid
        self.host = host
        self.port = port
        self.paho = None
        self.connected = False
        self.closing = False      # a disconnect asked for here: no URC
        self.acks = {}            # "connect" -> CONNACK code, message id -> granted qos
        self.cond = threading.Condition()

    def connect(self, target, client_id, version, keepalive, clean, user, password):
        proto = mqtt.MQTTv31 if version == 3 else mqtt.MQTTv311
        paho = mqtt.Client(client_id=client_id, clean_session=bool(clean),
                           protocol=proto, reconnect_on_failure=False)
        if user:
            paho.username_pw_set(user, password)
        paho.on_connect = lambda c, u, f, rc: self._acked("connect", rc, rc == 0)
        paho.on_subscribe = lambda c, u, mid, granted: self._acked(mid, granted[0])
        paho.on_message = lambda c, u, msg: self._on_message(msg)
        paho.on_disconnect = lambda c, u, rc: self._on_disconnect(rc)
        with self.cond:
            self.paho, self.closing = paho, False
            self.acks.clear()
        try:
            paho.connect(target[0], target[1], keepalive)
        except (OSError, ValueError) as exc:
            self.sim._log("!! MQTT connect to %s:%d: %s" % (target[0], target[1], exc))
            self.paho = None
            return False
        paho.loop_start()
        if self._await("connect") != 0 or not self.connected:
            self.close()
            return False
        return True

    def subscribe(self, topic, qos):
        rc, mid = self.paho.subscribe(topic, qos)
        granted = self._await(mid) if rc == 0 else None
        return granted is not None and granted < 0x80

    def publish(self, topic, payload, qos, retain):
        """Publish and wait until it is out (acknowledged, for qos 1 and 2)."""
        msg = self.paho.publish(topic, payload, qos, bool(retain))
        deadline = time.monotonic() + self.sim.mqtt_timeout
        while msg.rc == 0 and not msg.is_published():
            if time.monotonic() > deadline or self.sim._stop.is_set() or not self.connected:
                return False
            time.sleep(0.005)
        return msg.rc == 0

    def close(self):
        with self.cond:
            self.closing, self.connected = True, False
            paho, self.paho = self.paho, None
        if paho:
            paho.disconnect()
            paho.loop_stop()

    def _acked(self, key, value, connected=None):
        with self.cond:
            if connected is not None:
                self.connected = connected and not self.closing
            self.acks[key] = value
            self.cond.notify_all()

    def _await(self, key):
        deadline = time.monotonic() + self.sim.mqtt_timeout
        with self.cond:
            while key not in self.acks:
                if self.sim._stop.is_set() or time.monotonic() >= deadline:
                    return None
                self.cond.wait(min(deadline - time.monotonic(), 0.1))
            return self.acks.pop(key)

    def _on_message(self, msg):
        if not self.sim.attached():
            self.sim._log("!! not registered: publication on %s dropped" % msg.topic)
            return
        self.sim.urc('+EMQPUB: %d,"%s",%d,%d,%d,%d,"%s"'
                     % (self.mid, msg.topic, msg.qos, int(msg.retain), int(msg.dup),
                        len(msg.payload), msg.payload.hex().upper()))

    def _on_disconnect(self, rc):
        with self.cond:
            # Only a link that was up and that nobody here is closing is news.
            unasked = self.connected and not self.closing
            self.connected = False
        if unasked:
            self.sim._log("!! broker dropped MQTT client %d (rc %d)" % (self.mid, rc))
            self.sim.urc("+EMQDISCON: %d" % self.mid)


def _history(attr, doc):
    """A read-only property: a copy of one of the simulator's inspection lists."""
    def get(self):
        with self._lock:
            return list(getattr(self, attr))
    return property(get, doc=doc)


class ModemSim:
    """The simulated module.

    ModemSim(link_path, udp_server=None, mqtt_broker=None, pace_baud=None, ...)
    creates the pty and the symlink at once; start() runs the I/O thread,
    stop() ends it and removes the symlink (also as a context manager).

    udp_server / mqtt_broker, when given as (host, port), take the place of the
    addresses named in AT+ESOCON / AT+EMQNEW; otherwise those are used.
    Traffic goes only to loopback addresses unless allow_remote is set.
    """

    def __init__(self, link_path, udp_server=None, mqtt_broker=None, pace_baud=None,
                 zrst_delay=0.5, register_delay=1.0, rssi=23, hosts=None,
                 first_socket_id=1, max_sockets=5, first_mqtt_id=0, max_mqtt_clients=1,
                 mqtt_timeout=5.0, ip_urc=True, pdp_address="10.86.0.2",
                 allow_remote=False, echo=True, delays=None, log=None):
        self.link_path = os.path.abspath(link_path)
        self.udp_server = udp_server
        self.mqtt_broker = mqtt_broker
        self.pace_baud = pace_baud
        self.zrst_delay = zrst_delay
        self.register_delay = register_delay
        self.rssi = rssi
        self.cell = dict(DEFAULT_CELL)
        self.hosts = {name.lower(): ip for name, ip in (hosts or {}).items()}
        self.first_socket_id, self.max_sockets = first_socket_id, max_sockets
        self.first_mqtt_id, self.max_mqtt_clients = first_mqtt_id, max_mqtt_clients
        self.mqtt_timeout = mqtt_timeout
        self.ip_urc = ip_urc
        self.pdp_address = pdp_address
        self.allow_remote = allow_remote
        self._log = log or (lambda text: None)
        # The saved profile's echo setting (ATE0 saved: off), which a restart
        # brings back; ATE0 / ATE1 change the current one.
        self.echo_profile = bool(echo)
        self.echo = self.echo_profile

        # Module state; only the I/O thread changes it (the paho callbacks
        # touch only their own client, under its condition; the socket and
        # client tables change under self._lock for the readers of status()).
        self._cfun = 1
        self._attach_at = time.monotonic()    # None: detached
        self._ip_due = False
        self._sockets = {}
        self._mqtt = {}

        # Faults
        self._lock = threading.RLock()
        self._errors = []                     # [prefix, Budget]
        self._cuts = []
        self._answers = []                    # [prefix, Budget, bytes]
        self._reg_fault = None                # (state, Budget)
        self._silence = None
        self._drop_udp = None
        self._delays = {p.upper(): float(t) for p, t in (delays or {}).items()}

        # Inspection
        self._changed = threading.Condition(self._lock)
        self._commands = collections.deque(maxlen=HISTORY)
        self._command_total = 0
        self._sent = collections.deque(maxlen=HISTORY)
        self._received = collections.deque(maxlen=HISTORY)
        self._published = collections.deque(maxlen=HISTORY)
        self._connects = collections.deque(maxlen=HISTORY)
        self._subscriptions = collections.deque(maxlen=HISTORY)
        self._urcs = collections.deque(maxlen=HISTORY)
        self._internal = []
        self._transcript = bytearray()

        self._pending = collections.deque()   # URCs from other threads, written by the I/O thread
        self._write_lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = None
        self._inbuf = bytearray()
        self._open_pty()

    # ----- life cycle -------------------------------------------------------

    def _open_pty(self):
        self._master, self._slave = os.openpty()
        tty.setraw(self._slave, termios.TCSANOW)
        os.set_blocking(self._master, False)
        self.slave_name = os.ttyname(self._slave)
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        os.makedirs(os.path.dirname(self.link_path), exist_ok=True)
        if os.path.lexists(self.link_path):
            os.unlink(self.link_path)
        os.symlink(self.slave_name, self.link_path)

    def line_speed(self):
        """The speed the gateway set on its end of the pty (a termios B* code)."""
        return termios.tcgetattr(self._slave)[5]

    def start(self):
        self._thread = threading.Thread(target=self._run, name="modem-sim", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        self._wake()
        if self._thread:
            self._thread.join(timeout=10)
            self._thread = None
        self._drop_links()
        try:
            if os.readlink(self.link_path) == self.slave_name:
                os.unlink(self.link_path)
        except OSError:
            pass
        for fd in (self._master, self._slave, self._wake_r, self._wake_w):
            try:
                os.close(fd)
            except OSError:
                pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ----- faults -----------------------------------------------------------

    def error_next(self, prefix, n=1):
        """Answer ERROR, without acting, to the next n commands starting with prefix."""
        with self._lock:
            self._errors.append([prefix.upper(), Budget(n)])

    def cut_next(self, prefix, n=1):
        """Echo the next n commands starting with prefix, send the first half
        of their answer, and then nothing."""
        with self._lock:
            self._cuts.append([prefix.upper(), Budget(n)])

    def answer_next(self, prefix, answer, n=1):
        """Send answer (bytes, exactly) instead of acting on the next n commands
        starting with prefix: for malformed or unusual answers."""
        with self._lock:
            self._answers.append([prefix.upper(), Budget(n), bytes(answer)])

    def set_registration(self, state, seconds=None):
        """Report registration state (0 off, 2 searching, 5 roaming, ...) for
        seconds, or until clear_registration(). Only 1 and 5 carry traffic."""
        with self._lock:
            self._reg_fault = (int(state), Budget(None, seconds))

    def clear_registration(self):
        with self._lock:
            self._reg_fault = None

    def silence(self, n=None, seconds=None):
        """Take in commands but neither echo nor answer them: the next n, or
        for seconds, or until silence_off(). Unsolicited lines still flow."""
        with self._lock:
            self._silence = Budget(n, seconds)

    def silence_off(self):
        with self._lock:
            self._silence = None

    def drop_udp(self, n=None, seconds=None):
        """Swallow received datagrams instead of reporting them: the next n, or
        for seconds, or until drop_udp_off()."""
        with self._lock:
            self._drop_udp = Budget(n, seconds)

    def drop_udp_off(self):
        with self._lock:
            self._drop_udp = None

    def delay(self, prefix, seconds):
        """A busy module: every command starting with prefix is taken in
        seconds late, so its echo and answer come that much later (0: none)."""
        with self._lock:
            if seconds:
                self._delays[prefix.upper()] = float(seconds)
            else:
                self._delays.pop(prefix.upper(), None)

    def emqdiscon(self, mqtt_id=None):
        """The broker link breaks: the client (the first connected one when
        mqtt_id is None) is disconnected and "+EMQDISCON: <id>" is sent
        unasked. The client slot stays until AT+EMQDISCON=<id>."""
        with self._lock:
            if mqtt_id is None:
                live = [c.mid for c in self._mqtt.values() if c.connected]
                mqtt_id = live[0] if live else min(self._mqtt, default=self.first_mqtt_id)
            client = self._mqtt.get(mqtt_id)
        if client:
            client.close()
        self.urc("+EMQDISCON: %d" % mqtt_id)

    def inject(self, data):
        """Send raw bytes as they are, between answers (a malformed URC, noise)."""
        self._queue(bytes(data))

    def urc(self, line):
        """Send one unsolicited line in the module's framing."""
        self._queue(b"\r\n" + line.encode() + b"\r\n")

    def set_signal(self, rssi):
        self.rssi = int(rssi)

    def set_cell(self, **fields):
        """Change serving-cell values of the engineering report (rsrp, snr, ecl, ...)."""
        unknown = set(fields) - set(DEFAULT_CELL)
        if unknown:
            raise ValueError("unknown cell fields: %s" % ", ".join(sorted(unknown)))
        self.cell.update(fields)

    def reset_faults(self):
        with self._lock:
            self._errors, self._cuts, self._answers = [], [], []
            self._reg_fault = self._silence = self._drop_udp = None
            self._delays = {}

    # ----- inspection -------------------------------------------------------

    commands = _history(
        "_commands", "Every command line received (without its line end), silenced ones too.")
    sent_datagrams = _history(
        "_sent", "(socket id, (ip, port) sent to, payload bytes) per AT+ESOSEND.")
    received_datagrams = _history(
        "_received", "(socket id, (ip, port) from, payload bytes, delivered as +ESONMI).")
    published = _history(
        "_published", "(client id, topic, payload bytes, qos, retain) per AT+EMQPUB.")
    mqtt_connects = _history(
        "_connects", "One dict per AT+EMQCON: id, host, port, client_id, version, "
        "keepalive, clean, will, user, password, ok.")
    subscriptions = _history(
        "_subscriptions", "(client id, topic, qos) per AT+EMQSUB that succeeded.")
    urcs = _history("_urcs", "Unsolicited output as sent (injected bytes included).")
    internal_errors = _history(
        "_internal", "Faults of the simulator itself (answered ERROR); tests expect none.")

    @property
    def transcript(self):
        """The last bytes written to the port (at most 256 KiB)."""
        with self._lock:
            return bytes(self._transcript)

    @property
    def registration(self):
        """The state AT+CEREG? reports now."""
        with self._lock:
            if self._reg_fault and self._reg_fault[1].live():
                return self._reg_fault[0]
        if not self._cfun:
            return 0
        if self._attach_at is None or time.monotonic() < self._attach_at:
            return 2
        return 1

    def attached(self):
        return self.registration in (1, 5)

    def wait_command(self, prefix, count=1, timeout=10.0):
        """Wait until count commands starting with prefix have been received in
        all (history limits apart); return the last of them."""
        prefix = prefix.upper()
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = [c for c in self._commands if c.upper().startswith(prefix)]
                if len(found) >= count:
                    return found[count - 1] if count > 0 else None
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no %d x %r within %.1f s" % (count, prefix, timeout))
                self._changed.wait(left)

    def wait_until(self, predicate, timeout=10.0, step=0.02):
        deadline = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() > deadline:
                raise TimeoutError("condition not met within %.1f s" % timeout)
            time.sleep(step)

    def status(self):
        with self._lock:
            return {
                "link": self.link_path, "pty": self.slave_name,
                "registration": self.registration, "cfun": self._cfun, "echo": self.echo,
                "sockets": {s.sid: list(s.peer) if s.peer else None
                            for s in self._sockets.values()},
                "mqtt": {c.mid: {"host": c.host, "port": c.port, "connected": c.connected}
                         for c in self._mqtt.values()},
                "commands": self._command_total, "sent_datagrams": len(self._sent),
                "received_datagrams": len(self._received), "published": len(self._published),
            }

    # ----- output -----------------------------------------------------------

    def _queue(self, data):
        with self._lock:
            self._pending.append(data)
        self._wake()

    def _wake(self):
        try:
            os.write(self._wake_w, b"x")
        except OSError:
            pass

    def _emit(self, data):
        """Write to the port whole, under the one writer lock, paced when asked."""
        if not data:
            return
        with self._write_lock:
            with self._lock:
                self._transcript += data
                del self._transcript[:-262144]
            bps = self.pace_baud / 10.0 if self.pace_baud else None
            chunk = max(1, int(bps // 50)) if bps else len(data)
            start = time.monotonic()
            done = 0
            while done < len(data) and not self._stop.is_set():
                n = self._write_some(data[done:done + chunk])
                if n is None:
                    self._log("!! port not read for %.0f s: %d bytes dropped"
                              % (STALL_LIMIT, len(data) - done))
                    return
                done += n
                if bps:
                    ahead = start + done / bps - time.monotonic()
                    if ahead > 0:
                        time.sleep(ahead)

    def _write_some(self, data):
        deadline = time.monotonic() + STALL_LIMIT
        while not self._stop.is_set():
            try:
                return os.write(self._master, data)
            except BlockingIOError:
                if time.monotonic() > deadline:
                    return None
                select.select([], [self._master], [], 0.1)
        return len(data)

    def _flush_pending(self):
        while True:
            with self._lock:
                if not self._pending:
                    return
                data = self._pending.popleft()
                self._urcs.append(data)
            self._log("-> %r" % data)
            self._emit(data)

    # ----- I/O thread -------------------------------------------------------

    def _run(self):
        while not self._stop.is_set():
            try:
                self._pass()
            except Exception as exc:  # keep serving; the tests look at internal_errors
                self._fault("I/O pass", exc)

    def _fault(self, where, exc):
        self._log("!! %s: %r" % (where, exc))
        with self._lock:
            self._internal.append("%s: %r" % (where, exc))

    def _pass(self):
        """One pass of the I/O thread: timers, datagrams, command bytes, URCs."""
        if self._ip_due and self._attach_at is not None and time.monotonic() >= self._attach_at:
            self._ip_due = False
            if self.ip_urc:
                self.urc("+IP: %s" % self.pdp_address)
        socks = {s.sock.fileno(): s for s in self._sockets.values()}
        try:
            ready, _, _ = select.select([self._master, self._wake_r, *socks], [], [], 0.05)
        except OSError:
            return        # a socket closed under us; the next pass rebuilds the set
        if self._wake_r in ready:
            try:
                os.read(self._wake_r, 4096)
            except BlockingIOError:
                pass
        for fd in ready:
            if fd in socks:
                self._udp_in(socks[fd])
        if self._master in ready:
            try:
                data = os.read(self._master, 4096)
            except (BlockingIOError, OSError):
                data = b""
            self._take(data)
        self._flush_pending()

    def _take(self, data):
        """Cut command lines at CR or LF; an LF that follows a CR (or any
        empty line) is dropped, so "AT\\r\\n" is one command."""
        for byte in data:
            if byte in (13, 10):
                if self._inbuf:
                    line, self._inbuf = bytes(self._inbuf), bytearray()
                    self._command(line)
            elif len(self._inbuf) <= MAX_LINE:
                self._inbuf.append(byte)

    def _match(self, rules, text):
        """The first live fault rule whose prefix the command starts with; uses it."""
        for rule in rules:
            if text.upper().startswith(rule[0]) and rule[1].take():
                return rule
        return None

    def _command(self, line):
        text = line.decode("latin-1")
        self._log("<- %s" % text)
        with self._changed:
            self._commands.append(text)
            self._command_total += 1
            self._changed.notify_all()
            if self._silence is not None and self._silence.take():
                return
            override = self._match(self._answers, text)
            refuse = self._match(self._errors, text)
            cut = self._match(self._cuts, text)
            late = max([t for p, t in self._delays.items() if text.upper().startswith(p)],
                       default=0)
        if late:
            self._stop.wait(late)
        if self.echo:
            # The module echoes the line as it came, up to its CR; the LF the
            # gateway sends after the CR is not echoed. Its answer then begins
            # with CR LF, so the gateway sees "AT...\r\r\n" as the echo line.
            self._emit(line + b"\r")
        if override:
            answer = override[2]
        elif refuse:
            answer = ERROR
        else:
            answer = self._dispatch(text, line)
        if cut:
            answer = answer[:len(answer) // 2]
        if answer:
            self._log("-> %r" % answer)
            self._emit(answer)

    def _dispatch(self, text, line):
        if len(line) > MAX_LINE:
            return ERROR
        m = re.match(r"AT([+*]?[A-Z]*)(.*)$", text, re.S | re.I)
        if not m:
            return b""        # not a command: the module ignores it
        handler = COMMANDS.get(m.group(1).upper())
        if handler is None:
            return ERROR
        try:
            return handler(self, m.group(2))
        except Exception as exc:  # a fault in the simulator must not end its thread
            self._fault(text[:40], exc)
            return ERROR

    # ----- addresses --------------------------------------------------------

    def _resolve(self, name):
        """AT+EDNS: IPv4 literals stay, configured names and localhost map;
        nothing is looked up on the network."""
        try:
            return str(ipaddress.IPv4Address(name))
        except ValueError:
            pass
        lower = name.lower()
        if lower in self.hosts:
            return self.hosts[lower]
        if lower == "localhost" or lower.endswith(".localhost"):
            return "127.0.0.1"
        return None

    def _target(self, host, port, override):
        """Where traffic for (host, port) really goes; None when not allowed."""
        if override:
            host, port = override
        ip = self._resolve(str(host))
        if ip is None or not (self.allow_remote or ipaddress.ip_address(ip).is_loopback):
            return None
        return ip, int(port)

    # ----- module reset -----------------------------------------------------

    def _drop_links(self):
        with self._lock:
            sockets, self._sockets = self._sockets, {}
            clients, self._mqtt = self._mqtt, {}
        for s in sockets.values():
            s.sock.close()
        for c in clients.values():
            c.close()

    # ----- UDP --------------------------------------------------------------

    def _udp_in(self, sock):
        try:
            data, addr = sock.sock.recvfrom(65535)
        except OSError:
            return
        with self._lock:
            drop = (self._drop_udp is not None and self._drop_udp.take()) or not self.attached()
            self._received.append((sock.sid, addr, data, not drop))
        if not drop:
            self.urc("+ESONMI=%d,%d,%s" % (sock.sid, len(data), data.hex().upper()))


# ----- command handlers: (sim, text after the command name) -> answer bytes -----

def _ok(sim, rest):
    return OK


def _echo_mode(sim, rest):
    if rest not in ("", "0", "1"):
        return ERROR
    sim.echo = rest != "0"
    return OK


def _zrst(sim, rest):
    """Restart: the answer comes after the boot time; the module comes back
    switched off, with no socket and no MQTT client."""
    if rest:
        return ERROR
    sim._stop.wait(sim.zrst_delay)
    sim._drop_links()
    sim._cfun, sim._attach_at, sim._ip_due = 0, None, False
    sim.echo = sim.echo_profile
    return OK


def _cfun(sim, rest):
    if rest == "?":
        return info("+CFUN: %d" % sim._cfun)
    if rest == "=1":
        if not sim._cfun:
            sim._cfun = 1
            sim._attach_at = time.monotonic() + sim.register_delay
            sim._ip_due = True
        return OK
    if rest == "=0":
        sim._cfun, sim._attach_at, sim._ip_due = 0, None, False
        return OK
    return ERROR


def _cereg(sim, rest):
    if rest == "?":
        return info("+CEREG: 0,%d" % sim.registration)
    return OK if re.fullmatch(r"=[0-5]", rest) else ERROR


def _csq(sim, rest):
    if rest:
        return ERROR
    return info("+CSQ: %d,99" % (sim.rssi if sim._cfun else 99))


def _menginfo(sim, rest):
    if rest not in ("=0", "=1"):
        return ERROR
    if not sim.attached():
        return OK
    c = sim.cell
    sc = ('+MENGINFOSC: %(earfcn)d,%(earfcn_offset)d,%(pci)d,"%(cellid)s",%(rsrp)d,%(rsrq)d,'
          '%(rssi)d,%(snr)d,%(band)d,"%(tac)s",%(ecl)s,%(tx_power)d,%(re_rsrp)d' % c)
    if rest == "=1":
        return info(sc)
    return info(sc, *("+MENGINFONC: " + nc for nc in NEIGHBOUR_CELLS))


def _edns(sim, rest):
    m = re.fullmatch(r'="([^"]+)"', rest)
    if not m or not sim.attached():
        return ERROR
    ip = sim._resolve(m.group(1))
    return info("+EDNS:%s" % ip) if ip else ERROR


def _mcgdefcont(sim, rest):
    return OK if re.fullmatch(r'="IP(V6|V4V6)?","[^"]*"', rest) else ERROR


def _switch(sim, rest):
    return OK if re.fullmatch(r"=[01]", rest) else ERROR


def _socket(sim, text):
    sid = to_int(text)
    return sim._sockets.get(sid)


def _esoc(sim, rest):
    """AT+ESOC=<domain 1 IPv4>,<type 2 UDP>,<protocol>; only UDP over IPv4."""
    args = params(rest)
    if len(args) != 3 or args[0] != "1" or args[1] != "2":
        return ERROR
    free = [i for i in range(sim.first_socket_id, sim.first_socket_id + sim.max_sockets)
            if i not in sim._sockets]
    if not free:
        return ERROR
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0" if sim.allow_remote else "127.0.0.1", 0))
    with sim._lock:
        sim._sockets[free[0]] = UdpSocket(free[0], sock)
    return info("+ESOC=%d" % free[0])


def _esocon(sim, rest):
    args = params(rest)
    if len(args) != 3:
        return ERROR
    sock, port = _socket(sim, args[0]), to_int(args[1])
    if sock is None or port is None or not 0 < port < 65536:
        return ERROR
    try:
        ipaddress.IPv4Address(args[2])
    except ValueError:
        return ERROR
    if sim._target(args[2], port, sim.udp_server) is None:
        return ERROR
    sock.peer = (args[2], port)
    return OK


def _esosend(sim, rest):
    args = rest[1:].split(",") if rest.startswith("=") else []
    if len(args) != 3:
        return ERROR
    sock, payload = _socket(sim, args[0]), decode_hex(args[1], args[2])
    if sock is None or sock.peer is None or payload is None or not sim.attached():
        return ERROR
    dest = sim._target(sock.peer[0], sock.peer[1], sim.udp_server)
    if dest is None:
        return ERROR
    try:
        sock.sock.sendto(payload, dest)
    except OSError:
        return ERROR
    with sim._lock:
        sim._sent.append((sock.sid, dest, payload))
    return OK


def _esocl(sim, rest):
    sock = _socket(sim, rest[1:]) if rest.startswith("=") else None
    if sock is None:
        return ERROR
    with sim._lock:
        del sim._sockets[sock.sid]
    sock.sock.close()
    return OK


def _esoreaden(sim, rest):
    # Only the push mode (0) is simulated: data always arrives as +ESONMI.
    return OK if rest == "=0" else ERROR


def _mqtt_client(sim, text, connected=False):
    client = sim._mqtt.get(to_int(text))
    if client is None or (connected and not client.connected):
        return None
    return client


def _emqnew(sim, rest):
    """AT+EMQNEW="host","port",<command timeout ms>,<buffer size>"""
    args = params(rest)
    if len(args) != 4 or None in (to_int(a) for a in args[1:]):
        return ERROR
    free = [i for i in range(sim.first_mqtt_id, sim.first_mqtt_id + sim.max_mqtt_clients)
            if i not in sim._mqtt]
    if not free:
        return ERROR
    with sim._lock:
        sim._mqtt[free[0]] = MqttClient(sim, free[0], args[0], to_int(args[1]))
    return info("+EMQNEW: %d" % free[0])


def _emqcon(sim, rest):
    args = params(rest)
    if len(args) not in (6, 8):
        return ERROR
    client = _mqtt_client(sim, args[0])
    if client is None or client.connected or not sim.attached():
        return ERROR
    record = {"id": client.mid, "host": client.host, "port": client.port,
              "client_id": args[2], "version": to_int(args[1]), "keepalive": to_int(args[3]),
              "clean": to_int(args[4]), "will": to_int(args[5]),
              "user": args[6] if len(args) > 6 else None,
              "password": args[7] if len(args) > 7 else None, "ok": False}
    target = sim._target(client.host, client.port, sim.mqtt_broker)
    if mqtt is not None and target is not None and record["keepalive"] is not None:
        record["ok"] = client.connect(target, *(record[k] for k in (
            "client_id", "version", "keepalive", "clean", "user", "password")))
    with sim._lock:
        sim._connects.append(record)
    return OK if record["ok"] else ERROR


def _emqsub(sim, rest):
    args = params(rest)
    if len(args) != 3 or to_int(args[2]) not in (0, 1, 2):
        return ERROR
    client = _mqtt_client(sim, args[0], connected=True)
    if client is None or not sim.attached():
        return ERROR
    if not client.subscribe(args[1], to_int(args[2])):
        return ERROR
    with sim._lock:
        sim._subscriptions.append((client.mid, args[1], to_int(args[2])))
    return OK


def _emqunsub(sim, rest):
    args = params(rest)
    client = _mqtt_client(sim, args[0], connected=True) if len(args) == 2 else None
    if client is None:
        return ERROR
    return OK if client.paho.unsubscribe(args[1])[0] == 0 else ERROR


def _emqpub(sim, rest):
    """AT+EMQPUB=id,"topic",qos,retain,dup,<byte count>,<hex>"""
    args = params(rest)
    if len(args) != 7:
        return ERROR
    client = _mqtt_client(sim, args[0], connected=True)
    qos, retain = to_int(args[2]), to_int(args[3])
    payload = decode_hex(args[5], args[6], allow_empty=True)
    if client is None or qos not in (0, 1, 2) or retain not in (0, 1) or payload is None \
            or not sim.attached():
        return ERROR
    if not client.publish(args[1], payload, qos, retain):
        return ERROR
    with sim._lock:
        sim._published.append((client.mid, args[1], payload, qos, retain))
    return OK


def _emqdiscon(sim, rest):
    client = _mqtt_client(sim, rest[1:]) if rest.startswith("=") else None
    if client is None:
        return ERROR
    client.close()
    with sim._lock:
        del sim._mqtt[client.mid]
    return OK


COMMANDS = {
    "": _ok, "E": _echo_mode, "+ZRST": _zrst, "+CFUN": _cfun, "+CEREG": _cereg,
    "+CSQ": _csq, "*MENGINFO": _menginfo, "+EDNS": _edns,
    "*MCGDEFCONT": _mcgdefcont, "*MSPCHSC": _switch, "+ZCONTLED": _switch,
    "+ESOREADEN": _esoreaden, "+ESOC": _esoc, "+ESOCON": _esocon,
    "+ESOSEND": _esosend, "+ESOCL": _esocl,
    "+EMQNEW": _emqnew, "+EMQCON": _emqcon, "+EMQSUB": _emqsub, "+EMQUNSUB": _emqunsub,
    "+EMQPUB": _emqpub, "+EMQDISCON": _emqdiscon,
}


# ----- control socket of the command line -------------------------------------

CONTROL_HELP = """\
error PREFIX [N]        ERROR for the next N (1) commands starting with PREFIX
cut PREFIX [N]          echo and half the answer, then nothing, for the next N (1)
answer PREFIX TEXT      answer TEXT (escapes: \\r \\n \\xHH) to the next such command
creg STATE [SECONDS]    report registration STATE (2 searching, 5 roaming, ...)
creg clear              back to the module's own registration state
silence on|off|next N|for SECONDS     neither echo nor answer commands
dropudp on|off|next N|for SECONDS     swallow received datagrams
delay PREFIX SECONDS    take commands starting with PREFIX in SECONDS late (0: not)
emqdiscon [ID]          broker link lost: "+EMQDISCON: ID" unasked
inject TEXT             raw bytes to the port (escapes as for answer)
csq RSSI | cell RSRP SNR ECL          signal values
reset                   clear every fault
status | commands [N] | help"""


def _budget_args(words):
    """on | next N | for SECONDS -> (n, seconds) for the fault methods."""
    if words == ["on"]:
        return None, None
    if len(words) == 2 and words[0] == "next":
        return int(words[1]), None
    if len(words) == 2 and words[0] == "for":
        return None, float(words[1])
    raise ValueError("expected on, off, next N or for SECONDS")


def control(sim, line):
    """One control command -> one reply line ("OK ..." or "ERR ...")."""
    words = line.split()
    if not words:
        return "ERR empty"
    verb, args = words[0].lower(), words[1:]
    try:
        if verb == "error" and args:
            sim.error_next(args[0], int(args[1]) if len(args) > 1 else 1)
        elif verb == "cut" and args:
            sim.cut_next(args[0], int(args[1]) if len(args) > 1 else 1)
        elif verb == "answer" and len(args) >= 1:
            text = line.split(None, 2)[2] if len(args) > 1 else ""
            sim.answer_next(args[0], codecs.escape_decode(text.encode())[0])
        elif verb == "creg" and args == ["clear"]:
            sim.clear_registration()
        elif verb == "creg" and args:
            sim.set_registration(int(args[0]), float(args[1]) if len(args) > 1 else None)
        elif verb in ("silence", "dropudp") and args:
            if args == ["off"]:
                (sim.silence_off if verb == "silence" else sim.drop_udp_off)()
            else:
                (sim.silence if verb == "silence" else sim.drop_udp)(*_budget_args(args))
        elif verb == "delay" and len(args) == 2:
            sim.delay(args[0], float(args[1]))
        elif verb == "emqdiscon":
            sim.emqdiscon(int(args[0]) if args else None)
        elif verb == "inject" and args:
            sim.inject(codecs.escape_decode(line.split(None, 1)[1].encode())[0])
        elif verb == "csq" and len(args) == 1:
            sim.set_signal(int(args[0]))
        elif verb == "cell" and len(args) == 3:
            sim.set_cell(rsrp=int(args[0]), snr=int(args[1]), ecl=args[2])
        elif verb == "reset":
            sim.reset_faults()
        elif verb == "status":
            return "OK " + json.dumps(sim.status())
        elif verb == "commands":
            cmds = sim.commands
            return "OK " + json.dumps(cmds[-int(args[0]):] if args else cmds)
        elif verb == "help":
            return "OK " + json.dumps(CONTROL_HELP.splitlines())
        else:
            return "ERR unknown command (try help)"
    except Exception as exc:  # a bad argument must not end the control session
        return "ERR %s" % exc
    return "OK"


def serve_control(sim, port):
    """Line-based control socket on loopback; returns the port it listens on."""
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(4)

    def session(conn):
        with conn, conn.makefile("rwb", buffering=0) as f:
            for raw in f:
                reply = control(sim, raw.decode("utf-8", "replace").strip())
                f.write(reply.encode() + b"\n")

    def accept():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=session, args=(conn,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return server.getsockname()[1]


def _address(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def main(argv=None):
    p = argparse.ArgumentParser(description="Simulated ME3616 NB-IoT module on a pty.")
    p.add_argument("--link", required=True, help="symlink to create, e.g. ROOT/dev/ttyUSB0")
    p.add_argument("--udp-server", type=_address, metavar="HOST:PORT",
                   help="send every datagram here (default: the AT+ESOCON address)")
    p.add_argument("--mqtt-broker", type=_address, metavar="HOST:PORT",
                   help="connect MQTT clients here (default: the AT+EMQNEW address)")
    p.add_argument("--pace", type=int, metavar="BAUD", help="pace output, e.g. 9600")
    p.add_argument("--control-port", type=int, metavar="N",
                   help="control socket on 127.0.0.1:N (0: any free port)")
    p.add_argument("--zrst-delay", type=float, default=0.5, metavar="S")
    p.add_argument("--register-delay", type=float, default=1.0, metavar="S")
    p.add_argument("--rssi", type=int, default=23)
    p.add_argument("--host", action="append", default=[], metavar="NAME=IP",
                   help="a name AT+EDNS resolves (localhost always is)")
    p.add_argument("--no-ip-urc", action="store_true", help='no "+IP:" line after attach')
    p.add_argument("--no-echo", action="store_true",
                   help="echo off in the saved profile (as after ATE0 and a save)")
    p.add_argument("--delay", action="append", default=[], metavar="PREFIX=S",
                   help="take commands starting with PREFIX in S seconds late (repeatable)")
    p.add_argument("--allow-remote", action="store_true",
                   help="allow traffic to addresses outside 127.0.0.0/8")
    p.add_argument("-q", "--quiet", action="store_true", help="no traffic log on stderr")
    a = p.parse_args(argv)

    def log(text):
        sys.stderr.write("%s %s\n" % (time.strftime("%H:%M:%S"), text))

    hosts = dict(h.split("=", 1) for h in a.host)
    sim = ModemSim(a.link, udp_server=a.udp_server, mqtt_broker=a.mqtt_broker,
                   pace_baud=a.pace, zrst_delay=a.zrst_delay, register_delay=a.register_delay,
                   rssi=a.rssi, hosts=hosts, ip_urc=not a.no_ip_urc,
                   allow_remote=a.allow_remote, echo=not a.no_echo,
                   delays={k: float(v) for k, v in (d.rsplit("=", 1) for d in a.delay)},
                   log=None if a.quiet else log)
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    sim.start()
    print("modem %s -> %s" % (sim.link_path, sim.slave_name), flush=True)
    if a.control_port is not None:
        print("control port %d" % serve_control(sim, a.control_port), flush=True)
    while not done.wait(0.5):
        pass
    sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
