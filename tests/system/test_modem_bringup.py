"""The daemon's modem bring-up against the simulated modem: once with a real
UDP socket as the report server, once with a real mosquitto broker. After the
bring-up the daemon goes on to the device file (and stops there while it is
missing) or idles; only the bring-up is looked at here."""

import re
import socket
import subprocess
import threading
import time

import paho.mqtt.client as mqtt
import pytest

from conftest import DAEMON
from modem_sim import ModemSim


def prog_file(root, **values):
    """nbiot_prog.ini: 26 positions by line, CR LF line ends."""
    settings = {
        "send_interval": "10", "auto_connect": "1", "apn": "cmnet", "reserved1": "",
        "server_port": "5683", "server_host": "localhost", "reserved2": "",
        "mqtt_enable": "0", "mqtt_host": "localhost", "mqtt_port": "1883",
        "mqtt_bufsize": "1024", "mqtt_keepalive": "60", "mqtt_version": "4",
        "mqtt_user": "", "mqtt_password": "", "sub_topic1": "gw/cmd/DO",
        "sub_topic2": "gw/cmd/DO", "pub_topic_info": "gw/info", "pub_topic_di": "gw/di",
        "pub_topic_ai": "gw/ai", "pub_topic_gps": "gw/gps", "pub_topic_ack": "gw/ack",
        "reserved3": "", "mqtt_cht": "0", "device_id": "gw01", "sensor_id": "s01",
    }
    settings.update({k: str(v) for k, v in values.items()})
    text = "".join("%s=%s\r\n" % kv for kv in settings.items())
    (root / "korvel/quorvane/nbiot_prog.ini").write_bytes(text.encode())


class Daemon:
    """The daemon as a child process, its standard output collected as it comes."""

    def __init__(self, root):
        self.proc = subprocess.Popen([str(DAEMON)], env={"QUORVANE_ROOT": str(root)},
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.out = bytearray()
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for chunk in iter(lambda: self.proc.stdout.read1(4096), b""):
            with self._lock:
                self.out += chunk

    def output(self):
        with self._lock:
            return bytes(self.out)

    def wait_output(self, pattern, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = re.search(pattern, self.output(), re.S)
            if m:
                return m
            time.sleep(0.05)
        pytest.fail("no %r in the console:\n%s" % (pattern, self.output().decode(errors="replace")))

    def finish(self):
        """After the bring-up: either stopped at the missing device file, or idle."""
        time.sleep(0.5)
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=5)
        else:
            assert self.proc.returncode == 1
            assert self.output().endswith(b"Open configure file fail!!\n")
        self._reader.join(timeout=5)


def exchange(command, answer_pattern=rb".*?"):
    """The console lines of one exchange: the command, then its answer."""
    return (re.escape(b"Send: " + command + b"\r\n") + rb"Recv:\r\n" + answer_pattern +
            rb"-----\r\n\r\n")


PREPARATION = [b'AT*MCGDEFCONT="IP","cmnet"', b"AT*MSPCHSC=1", b"AT+ZCONTLED=1", b"AT+ZRST",
               b"AT+CFUN=1", b"AT+CEREG?", b"AT+CSQ"]


def commands_of(sim):
    return [c.rstrip("\r\n").encode() for c in sim.commands]


def test_udp_bringup_with_a_refused_connection_retried(root):
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(("127.0.0.1", 0))
    port = server.getsockname()[1]
    prog_file(root, server_port=port)
    with ModemSim(root / "dev/ttyUSB0", zrst_delay=0.05, register_delay=0.1) as sim:
        sim.error_next("AT+ESOCON", 1)
        daemon = Daemon(root)
        try:
            esocon = b'AT+ESOCON=1,%d,"127.0.0.1"' % port
            daemon.wait_output(rb"\[ERROR\] UDP connection error!!\n.*" +
                               exchange(esocon, rb"[^-]*\r\nOK\r\n"))
        finally:
            daemon.finish()
        console = daemon.output()
        # First call: registered after one wait pass at most, connection refused.
        assert console.startswith(b"\r\n<--- Read Configure File --->\r\n")
        for command in PREPARATION + [b"AT+ESOREADEN=0", b"AT+ESOC=1,2,1",
                                      b'AT+EDNS="localhost"', esocon]:
            assert b"Send: " + command + b"\r\n" in console
        assert re.search(exchange(b"AT+ZRST", rb"AT\+ZRST\r\r\nOK\r\n"), console)
        assert b"cregvalue=1\ncsqvalue=23\n\n" in console
        # The retry restarts the modem and resolves the stored address.
        seen = commands_of(sim)
        assert seen.count(b"AT+ZRST") == 2
        assert b'AT+EDNS="127.0.0.1"' in seen
        assert seen[-4:] == [b"AT+ESOREADEN=0", b"AT+ESOC=1,2,1", b'AT+EDNS="127.0.0.1"', esocon]
        assert sim.status()["sockets"] == {1: ["127.0.0.1", port]}
        assert b"Receive IP message!!\n" in console
        status = (root / "tmp/modemInfo.txt").read_bytes()
        assert status == b"cregvalue=1\ncsqvalue=23\n".ljust(512, b"\0")
    server.close()


def test_mqtt_bringup_against_a_real_broker(root, mosquitto_broker):
    host, port = mosquitto_broker
    prog_file(root, mqtt_enable=1, mqtt_port=port, mqtt_user="gw", mqtt_password="secret",
              sub_topic1="gw/cmd/DO", sub_topic2="gw/cmd/AO")
    with ModemSim(root / "dev/ttyUSB0", zrst_delay=0.05, register_delay=0.1) as sim:
        daemon = Daemon(root)
        try:
            daemon.wait_output(exchange(b'AT+EMQSUB=0,"gw/cmd/AO",1', rb"[^-]*\r\nOK\r\n"))
        finally:
            daemon.finish()
        seen = commands_of(sim)
        assert seen[:5] == PREPARATION[:5]
        assert seen[seen.index(b'AT+EDNS="localhost"'):] == [
            b'AT+EDNS="localhost"',
            b'AT+EMQNEW="127.0.0.1","%d",20000,1024' % port,
            b'AT+EMQCON=0,4,"myclientid",60,1,0,gw,secret',
            b'AT+EMQSUB=0,"gw/cmd/DO",1',
            b'AT+EMQSUB=0,"gw/cmd/AO",1',
        ]
        assert b"[ERROR]" not in daemon.output()
        connect = sim.mqtt_connects[-1]
        assert (connect["ok"], connect["user"], connect["password"]) == (True, "gw", "secret")
        # The broker really holds the session: a command published there comes
        # back from the modem as a +EMQPUB line.
        client = mqtt.Client()
        client.connect(host, port)
        client.loop_start()
        client.publish("gw/cmd/AO", b"0,5", qos=1).wait_for_publish(5)
        client.loop_stop()
        client.disconnect()
        sim.wait_until(lambda: any(b'+EMQPUB: 0,"gw/cmd/AO"' in u for u in sim.urcs))
