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

from gateway import Daemon, prog_file
from modem_sim import ModemSim


def finish(daemon):
    """After the bring-up: either stopped at the missing device file, or idle."""
    time.sleep(0.5)
    if daemon.proc.poll() is None:
        daemon.kill()
    else:
        assert daemon.wait_exit() == 1
        assert daemon.output().endswith(b"Open configure file fail!!\n")


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
            finish(daemon)
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
            finish(daemon)
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
