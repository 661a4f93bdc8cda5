"""The simulated modem, driven from the gateway's side of its pty: echo, the
answer fields the gateway's parses take, the UDP and MQTT relays against real
sockets and a real broker, and the scripted faults."""

import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

import paho.mqtt.client as mqtt
import pytest

from conftest import SOURCE_DIR
from modem_sim import ModemSim

OK = b"\r\nOK\r\n"
ERROR = b"\r\nERROR\r\n"


def field(text, seps, k, cut):
    """The gateway's answer parse: split at any of seps (runs count as one,
    no empty fields), take field k (from 1), cut at the first of cut."""
    pieces = [p for p in re.split(b"[" + re.escape(seps) + b"]", text) if p]
    return re.split(b"[" + re.escape(cut) + b"]", pieces[k - 1])[0]


class Port:
    """The gateway's end of the modem port."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.buf = b""

    def close(self):
        os.close(self.fd)

    def read_until(self, pattern, timeout=5.0):
        """Bytes up to and including the first match of pattern; the rest stays."""
        deadline = time.monotonic() + timeout
        while True:
            m = re.search(pattern, self.buf, re.S)
            if m:
                out, self.buf = self.buf[:m.end()], self.buf[m.end():]
                return out
            left = deadline - time.monotonic()
            assert left > 0, "no %r in %r" % (pattern, self.buf)
            if select.select([self.fd], [], [], left)[0]:
                self.buf += os.read(self.fd, 4096)

    def send(self, text):
        os.write(self.fd, text.encode() + b"\r\n")

    def command(self, text, timeout=5.0):
        """Send one command; its echo and answer up to the final result."""
        self.send(text)
        return self.read_until(rb"\r\n(OK|ERROR)\r\n", timeout)


@pytest.fixture
def modem(tmp_path):
    made = []

    def make(**options):
        options.setdefault("zrst_delay", 0.05)
        options.setdefault("register_delay", 0.1)
        options.setdefault("ip_urc", False)
        link = tmp_path / ("dev%d" % len(made)) / "ttyUSB0"
        sim = ModemSim(str(link), **options).start()
        port = Port(str(link))
        made.append((sim, port))
        return sim, port

    yield make
    for sim, port in made:
        port.close()
        sim.stop()
        assert sim.internal_errors == []


def open_udp_socket(port, peer_port):
    answer = port.command("AT+ESOC=1,2,1")
    sid = int(field(answer, b"=", 3, b"\r"))
    assert port.command('AT+ESOCON=%d,%d,"127.0.0.1"' % (sid, peer_port)).endswith(OK)
    return sid


def test_echo_and_answers_carry_what_the_gateway_parses(modem):
    sim, port = modem()
    assert port.command("AT+CSQ") == b"AT+CSQ\r\r\n+CSQ: 23,99\r\n\r\nOK\r\n"
    assert int(field(port.command("AT+CSQ"), b":", 2, b",")) == 23
    assert field(port.command("AT+CEREG?"), b",", 2, b"\r") == b"1"
    for cmd in ('AT*MCGDEFCONT="IP","cmnbiot"', "AT*MSPCHSC=1", "AT+ZCONTLED=1",
                "AT+CFUN=1", "AT+ESOREADEN=0", "AT"):
        assert port.command(cmd) == cmd.encode() + b"\r" + OK
    assert port.command("AT+NOSUCH=1") == b"AT+NOSUCH=1\r" + ERROR

    # The socket id is read from the third "="-field, behind the echo.
    answer = port.command("AT+ESOC=1,2,1")
    assert answer == b"AT+ESOC=1,2,1\r\r\n+ESOC=1\r\n\r\nOK\r\n"
    assert field(answer, b"=", 3, b"\r") == b"1"
    assert field(port.command("AT+ESOC=1,2,1"), b"=", 3, b"\r") == b"2"

    assert field(port.command('AT+EDNS="localhost"'), b":", 2, b"\r") == b"127.0.0.1"
    assert field(port.command('AT+EDNS="192.0.2.7"'), b":", 2, b"\r") == b"192.0.2.7"
    assert port.command('AT+EDNS="broker.example"').endswith(ERROR)
    answer = port.command('AT+EMQNEW="127.0.0.1","1883",20000,1024')
    assert answer.endswith(OK) and int(field(answer, b":", 2, b"\r")) == 0

    # The engineering report as the DEVINFO parse reads it: from MENGINFOSC,
    # the text after its colon, fields 5 and 8 numbers, field 11 one character.
    sim.set_cell(rsrp=-901, snr=37, ecl=2)
    answer = port.command("AT*MENGINFO=0")
    report = field(answer[answer.index(b"MENGINFOSC"):], b":", 2, b"\0").split(b",")
    assert (int(report[4]), int(report[7]), report[10]) == (-901, 37, b"2")
    assert b"+MENGINFONC:" in answer and answer.endswith(OK)

    # With the echo off the socket-id parse finds too few fields.
    assert port.command("ATE0") == b"ATE0\r" + OK
    assert port.command("AT+ESOC=1,2,1") == b"\r\n+ESOC=3\r\n\r\nOK\r\n"
    assert sim.commands[:2] == ["AT+CSQ", "AT+CSQ"]


def test_restart_detaches_until_switched_on(modem):
    sim, port = modem(register_delay=1.0, ip_urc=True)
    port.command("AT+ESOC=1,2,1")
    assert port.command("AT+ZRST") == b"AT+ZRST\r" + OK
    assert field(port.command("AT+CEREG?"), b",", 2, b"\r") == b"0"
    assert port.command("AT+ESOCL=1").endswith(ERROR)        # the restart closed it
    assert port.command('AT+EDNS="localhost"').endswith(ERROR)
    assert port.command("AT+CFUN=1").endswith(OK)
    assert field(port.command("AT+CEREG?"), b",", 2, b"\r") == b"2"
    assert port.read_until(rb"\r\n\+IP: [0-9.]+\r\n") == b"\r\n+IP: 10.86.0.2\r\n"
    assert field(port.command("AT+CEREG?"), b",", 2, b"\r") == b"1"


def test_udp_is_relayed_both_ways(modem):
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(("127.0.0.1", 0))
    server.settimeout(5)
    sim, port = modem(pace_baud=9600)
    sid = open_udp_socket(port, server.getsockname()[1])

    payload = bytes(range(0, 256, 3))
    hex_text = payload.hex().upper()
    assert port.command("AT+ESOSEND=%d,%d,%s" % (sid, len(payload), hex_text)).endswith(OK)
    data, modem_addr = server.recvfrom(2048)
    assert data == payload
    assert sim.sent_datagrams == [(sid, server.getsockname(), payload)]

    # The answer comes back as +ESONMI; the gateway splits it at ",".
    reply = b"\x00AE,reply,EA\xff" * 10
    server.sendto(reply, modem_addr)
    line = port.read_until(rb"\+ESONMI=[^\n]*\n")
    assert line == b"\r\n+ESONMI=%d,%d,%s\r\n" % (sid, len(reply), reply.hex().upper().encode())
    assert int(field(line, b",", 2, b"\r")) == len(reply)
    assert bytes.fromhex(field(line, b",", 3, b"\r").decode()) == reply

    for bad in ("AT+ESOSEND=%d,3,%s" % (sid, hex_text),        # count and hex disagree
                "AT+ESOSEND=%d,2,GG00" % sid,                   # not hex
                "AT+ESOSEND=7,1,00"):                           # no such socket
        assert port.command(bad).endswith(ERROR)
    assert port.command("AT+ESOCL=%d" % sid).endswith(OK)
    assert port.command("AT+ESOSEND=%d,1,00" % sid).endswith(ERROR)

    # A configured server takes the place of the address the gateway names.
    sim2, port2 = modem(udp_server=server.getsockname())
    sid2 = open_udp_socket(port2, 9)
    assert port2.command("AT+ESOSEND=%d,2,4F4B" % sid2).endswith(OK)
    assert server.recvfrom(2048)[0] == b"OK"
    server.close()


def test_mqtt_is_relayed_through_a_real_broker(modem, mosquitto):
    host, bport = mosquitto.host, mosquitto.port
    sim, port = modem()
    answer = port.command('AT+EMQNEW="%s","%d",20000,1024' % (host, bport))
    mid = int(field(answer, b":", 2, b"\r"))
    assert port.command('AT+EMQNEW="%s","%d",20000,1024' % (host, bport)).endswith(ERROR)
    assert port.command('AT+EMQCON=%d,4,"myclientid",60,1,0' % mid).endswith(OK)
    assert port.command('AT+EMQSUB=%d,"gw/cmd/#",1' % mid).endswith(OK)

    peer = mqtt.Client("tester")
    got = []
    peer.on_message = lambda c, u, msg: got.append((msg.topic, msg.payload))
    peer.connect(host, bport, 30)
    peer.loop_start()
    peer.subscribe("gw/up", 1)
    try:
        # A publication on a subscribed topic: the gateway splits the line at
        # double quotes, piece 2 the topic, piece 4 the hex payload.
        peer.publish("gw/cmd/2/DO", b"1,0,1", qos=1).wait_for_publish()
        line = port.read_until(rb"\+EMQPUB:[^\n]*\n")
        assert line == b'\r\n+EMQPUB: %d,"gw/cmd/2/DO",1,0,0,5,"312C302C31"\r\n' % mid
        pieces = [p for p in line.split(b'"') if p]
        assert (pieces[1], bytes.fromhex(pieces[3].decode())) == (b"gw/cmd/2/DO", b"1,0,1")

        assert port.command('AT+EMQPUB=%d,"gw/up",1,0,0,6,444F5F41434B' % mid).endswith(OK)
        sim.wait_until(lambda: got == [("gw/up", b"DO_ACK")])
        assert port.command('AT+EMQPUB=%d,"gw/up",1,0,0,7,444F' % mid).endswith(ERROR)
    finally:
        peer.loop_stop()
        peer.disconnect()
    assert sim.mqtt_connects[0]["client_id"] == "myclientid"

    # A lost link is reported unasked; the slot stays until the gateway
    # disconnects it, and a new client connects again (credentials passed on).
    sim.emqdiscon()
    assert port.read_until(rb"\r\n\+EMQDISCON: \d+\r\n") == b"\r\n+EMQDISCON: %d\r\n" % mid
    assert port.command('AT+EMQPUB=%d,"gw/up",1,0,0,1,41' % mid).endswith(ERROR)
    assert port.command("AT+EMQDISCON=%d" % mid).endswith(OK)
    mid = int(field(port.command('AT+EMQNEW="%s","%d",20000,1024' % (host, bport)),
                    b":", 2, b"\r"))
    assert port.command('AT+EMQCON=%d,4,"myclientid",60,1,0,user,pw' % mid).endswith(OK)
    assert sim.mqtt_connects[-1]["user"] == "user"

    # The broker itself goes away; a new client cannot reach it.
    mosquitto.stop()
    assert port.read_until(rb"\r\n\+EMQDISCON: \d+\r\n") == b"\r\n+EMQDISCON: %d\r\n" % mid
    assert port.command("AT+EMQDISCON=%d" % mid).endswith(OK)
    mid = int(field(port.command('AT+EMQNEW="%s","%d",20000,1024' % (host, bport)),
                    b":", 2, b"\r"))
    assert port.command('AT+EMQCON=%d,4,"myclientid",60,1,0' % mid).endswith(ERROR)
    assert b"EMQDISCON:" not in port.command("AT")     # a refused connect is no news


def test_scripted_faults(modem):
    sim, port = modem()
    csq = b"AT+CSQ\r\r\n+CSQ: 23,99\r\n" + OK

    sim.error_next("AT+CSQ", 2)
    assert port.command("AT+CSQ") == b"AT+CSQ\r" + ERROR
    assert port.command("AT+CEREG?").endswith(OK)
    assert port.command("AT+CSQ") == b"AT+CSQ\r" + ERROR
    assert port.command("AT+CSQ") == csq

    sim.set_registration(5, seconds=0.3)
    assert field(port.command("AT+CEREG?"), b",", 2, b"\r") == b"5"
    sim.wait_until(lambda: sim.registration == 1)
    sim.set_registration(2)
    assert field(port.command("AT+CEREG?"), b",", 2, b"\r") == b"2"
    assert b"MENGINFOSC" not in port.command("AT*MENGINFO=0")
    sim.clear_registration()
    assert field(port.command("AT+CEREG?"), b",", 2, b"\r") == b"1"

    # A silenced command leaves no byte; a cut one half its answer. The next
    # command's echo follows directly.
    sim.silence(n=1)
    port.send("AT+CSQ")
    assert port.command("AT+CSQ") == csq
    sim.cut_next("AT+CEREG")
    port.send("AT+CEREG?")
    assert port.command("AT+CSQ") == b"AT+CEREG?\r\r\n+CEREG: " + csq
    assert sim.commands[-3:] == ["AT+CSQ", "AT+CEREG?", "AT+CSQ"]

    sim.answer_next("AT+CSQ", b"\r\n+CSQ: 99\r\n\r\nOK\r\n")
    assert port.command("AT+CSQ") == b"AT+CSQ\r\r\n+CSQ: 99\r\n\r\nOK\r\n"

    sim.emqdiscon()
    assert port.read_until(rb"EMQDISCON[^\n]*\n") == b"\r\n+EMQDISCON: 0\r\n"
    sim.inject(b"+ESONMI=9,zz\r\n")
    assert port.read_until(rb"zz\r\n") == b"+ESONMI=9,zz\r\n"

    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(("127.0.0.1", 0))
    sid = open_udp_socket(port, server.getsockname()[1])
    port.command("AT+ESOSEND=%d,1,00" % sid)
    modem_addr = server.recvfrom(16)[1]
    sim.drop_udp(n=1)
    server.sendto(b"lost", modem_addr)
    server.sendto(b"kept", modem_addr)
    assert port.read_until(rb"\+ESONMI=[^\n]*\n").endswith(b",4,6B657074\r\n")
    assert [(d, ok) for _, _, d, ok in sim.received_datagrams] == [(b"lost", False),
                                                                   (b"kept", True)]
    server.close()


def test_command_line_with_control_socket(tmp_path):
    link = tmp_path / "dev" / "ttyUSB0"
    proc = subprocess.Popen([sys.executable, str(SOURCE_DIR / "tools" / "modem_sim.py"),
                             "--link", str(link), "--control-port", "0", "-q"],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().startswith("modem %s -> /dev/pts/" % link)
        control_port = int(proc.stdout.readline().split()[-1])
        port = Port(str(link))
        with socket.create_connection(("127.0.0.1", control_port), timeout=5) as ctl, \
                ctl.makefile("rw") as f:
            def ask(line):
                f.write(line + "\n")
                f.flush()
                return f.readline().rstrip("\n")

            assert ask("error AT+CSQ 1") == "OK"
            assert port.command("AT+CSQ").endswith(ERROR)
            assert port.command("AT+CSQ").endswith(OK)
            assert ask("creg 5") == "OK"
            assert field(port.command("AT+CEREG?"), b",", 2, b"\r") == b"5"
            assert ask("silence sometimes").startswith("ERR")
            assert ask("frobnicate").startswith("ERR")
            assert ask(r"inject \r\n+IP: 1.2.3.4\r\n") == "OK"
            assert port.read_until(rb"\+IP[^\n]*\n") == b"\r\n+IP: 1.2.3.4\r\n"
            reply = ask("status")
            assert reply.startswith("OK ") and json.loads(reply[3:])["registration"] == 5
            assert json.loads(ask("commands 1")[3:]) == ["AT+CEREG?"]
        port.close()
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
    assert not os.path.lexists(link)
