"""The whole daemon on the bench kit, from start-up through report cycles to
the server's commands, over both transports: a Modbus TCP and a Modbus RTU
device, the simulated modem, the NMEA feed on the GPS port, and the report
server (UDP) or a private mosquitto broker (MQTT); and the broker going away
and coming back. What one cycle sends and how each command is taken apart are
unit cases; these tests wait on events and never time the daemon."""

import json
import os
import re
import socket
import termios

import pytest

from bench_config import mapping_text
from broker import Subscriber
from gateway import quick_modem, wait

DI, AI = [1, 0, 1, 1, 0, 1], [1111, 2222, 3333, 4444]          # as the bench starts
NEW_DI, NEW_AI = [0, 1, 1, 0, 1, 0], [5, 65535, 7, 0]
COILS, REGISTERS = [0, 1, 0, 0, 1, 1], [1000, 65535, 7]          # what the server commands
OTHER = [1, 1, 0, 1, 0, 0]


def hex_of(values, digits):
    return "".join("%0*X" % (digits, v) for v in values)


def change_inputs(bench):
    bench.set_inputs(NEW_DI[:4], NEW_AI[:2], NEW_DI[4:], NEW_AI[2:])


def check_gps(bench, values):
    """Each GPS value sent is a sentence the feed wrote (only the first cycles
    may come before the first sentence), in the feed's order, moving on."""
    while values and values[0] == "":
        values = values[1:]
    places = [bench.rmc_index(v) for v in values]
    assert len(places) >= 2 and places == sorted(places) and places[0] < places[-1], values


def check_clean(console):
    assert b"[ERROR]" not in console and b"[Error]" not in console, console[-6000:]


VICTIM = b"v" * 2200  # somebody else's file


def plant(root, kind):
    """Another user plants a link to their file, or a FIFO, at the status
    file's path while the gateway reports (renamed in, as the gateway renames)."""
    victim, status, spare = (root / "tmp" / n for n in ("victim", "modemInfo.txt", "planted"))
    victim.write_bytes(VICTIM)
    if kind == "link":
        spare.symlink_to(victim)
        os.lchown(spare, 4321, 4321)
    else:
        os.mkfifo(spare)
    os.rename(spare, status)


def check_status_file(root):
    """The reports went on past the plant; the file was replaced, not followed."""
    status = root / "tmp/modemInfo.txt"
    assert status.is_file() and not status.is_symlink()
    assert status.read_bytes() == b"cregvalue=1\ncsqvalue=23\n".ljust(512, b"\0")
    assert (root / "tmp/victim").read_bytes() == VICTIM


def test_udp_reports_live_values_and_gps_and_takes_commands(root, bench, report_server, daemon):
    server = report_server
    server.set_values(0, "RDO", COILS)
    server.set_values(0, "RAO", REGISTERS)
    bench.configure(server_port=server.address[1])

    def frame(ftype, test, since=0):
        return lambda: server.wait_for(lambda f: f["type"] == ftype and test(f), 0.1, since)

    with quick_modem(root, udp_server=server.address) as modem:
        d = daemon()
        wait(d, frame("WDI", lambda f: f["values"] == DI), "WDI of the first inputs")
        # Both ports at the modem's and the receiver's 9600 bit/s.
        assert modem.line_speed() == termios.tcgetattr(bench.feed.slave)[5] == termios.B9600
        wait(d, frame("WAI", lambda f: f["values"] == AI), "WAI of the first inputs")
        plant(root, "link")
        since = len(server.frames)
        change_inputs(bench)
        wait(d, frame("WDI", lambda f: f["values"] == NEW_DI, since), "WDI of new inputs")
        wait(d, frame("WAI", lambda f: f["values"] == NEW_AI, since), "WAI of new inputs")
        # The RDO and RAO answers' values reach the outputs of both devices.
        wait(d, lambda: bench.outputs("do") == COILS, "the coils commanded")
        wait(d, lambda: bench.outputs("ao") == REGISTERS, "the registers commanded")
        pid = server.frames[-1]["packet_id"]
        wait(d, frame("WGPS", lambda f: f["packet_id"] >= pid + 2), "two more cycles")
    frames = server.frames
    devinfo = [f for f in frames if f["type"] == "DEVINFO"]
    assert [f["packet_id"] for f in devinfo] == list(range(len(devinfo)))
    # The modem simulator's serving cell: RSRP, coverage class, SNR.
    assert all(f["values"] == [-852, 0, 52, 0] for f in devinfo), devinfo
    check_gps(bench, [f["values"][0] for f in frames if f["type"] == "WGPS"])
    check_clean(d.output())
    check_status_file(root)


@pytest.mark.parametrize("check", [None, "current"])
def test_replayed_rdo_answer(root, bench, report_server, daemon, check):
    """A captured RDO answer sent again a cycle later (from another socket)
    puts the coils back, unless only the request in flight may set them."""
    server = report_server
    server.set_values(0, "RDO", COILS)
    bench.configure(server_port=server.address[1], send_interval=3)
    if check:
        (root / "korvel/quorvane/quorvane_options.ini").write_text("downlink_packet_check=%s\n" % check)
    with quick_modem(root, udp_server=server.address):
        d = daemon()
        wait(d, lambda: bench.outputs("do") == COILS, "the coils commanded")
        captured = [f for f in server.sent if f["type"] == "RDO"][-1]
        server.set_values(0, "RDO", OTHER)
        wait(d, lambda: bench.outputs("do") == OTHER, "the next cycle's coils")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as attacker:
            attacker.sendto(captured["raw"], server.last_peer)
        if check:
            d.wait_output(rb"RDO values refused: PacketID %d does not answer a request in flight"
                          % captured["packet_id"])
            assert bench.outputs("do") == OTHER
        else:
            wait(d, lambda: bench.outputs("do") == COILS, "the replayed coils")


HAND_WRITTEN = mapping_text([(0, ["1-1,1-2,1-3,1-4,2-1,2-2,", "1-1,1-2,1-3,1-4,2-1,2-2,",
                                 "1-1,1-2,2-1,", "1-1,1-2,2-1,2-2,"])])
JSON = re.compile(r'\[\n\{\n"id":"s01",\n"deviceId":"gw01",\n'
                  r'"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ",\n"value":\[\n"(.*)"\n\]\n\}\n\]\Z',
                  re.S)


def test_mqtt_publishes_live_values_and_gps_and_takes_commands(root, bench, mosquitto, listener,
                                                               daemon):
    # The session written by hand (the UDP test has it generated): used as it
    # stands. JSON payloads (the plain ones are unit cases), so that the
    # program file's choice is seen to reach the daemon.
    # With credentials: the password goes to the modem, never to the console.
    path = bench.configure(mapping=HAND_WRITTEN, mqtt_enable=1, mqtt_port=mosquitto.port,
                           mqtt_cht=1, sub_topic1="gw/cmd/+/DO", sub_topic2="gw/cmd/+/AO",
                           mqtt_user="gwuser", mqtt_password="Pw-7s3cret")
    (root / "korvel/quorvane/quorvane_options.ini").write_text("mqtt_client_id=gw-07_A\n")
    written = path.stat().st_mtime_ns

    def on(topic):
        """The payloads on one topic as the text of their JSON value."""
        matches = [JSON.match(p) for p in listener.on(topic)]
        assert all(matches), listener.on(topic)
        return [m.group(1) for m in matches]

    def values(kind, values, digits):
        return "0/%s/%s" % (kind, hex_of(values, digits))

    def command(kind, sent, digits):
        return json.dumps({"id": "s01", "deviceId": "gw01", "time": "2024-01-01T00:00:00Z",
                           "value": [values(kind, sent, digits)]})

    with quick_modem(root, mqtt_broker=(mosquitto.host, mosquitto.port)) as modem:
        d = daemon()
        wait(d, lambda: values("DI", DI, 2) in on("gw/di"), "DI publication")
        plant(root, "fifo")
        wait(d, lambda: values("AI", AI, 4) in on("gw/ai"), "AI publication")
        change_inputs(bench)
        wait(d, lambda: values("DI", NEW_DI, 2) in on("gw/di"), "DI of new inputs")
        wait(d, lambda: values("AI", NEW_AI, 4) in on("gw/ai"), "AI of new inputs")

        wait(d, lambda: len(modem.subscriptions) >= 2, "both subscriptions")
        listener.publish("gw/cmd/0/DO", command("DO", COILS, 2))
        wait(d, lambda: bench.outputs("do") == COILS, "the coils commanded")
        # One acknowledgement waits at a time: the next command after it is out.
        wait(d, lambda: on("gw/ack") == ["DO_ACK"], "the acknowledgement")
        listener.publish("gw/cmd/0/AO", command("AO", REGISTERS, 4))
        wait(d, lambda: bench.outputs("ao") == REGISTERS, "the registers commanded")
        wait(d, lambda: on("gw/ack") == ["DO_ACK", "AO_ACK"], "both acknowledgements")
        count = len(on("gw/gps"))
        wait(d, lambda: len(on("gw/gps")) >= count + 2, "two more cycles")
        assert [c["client_id"] for c in modem.mqtt_connects] == ["gw-07_A"]
    assert set(on("gw/info")) == {"-852,0,52,0"}
    assert (path.read_bytes(), path.stat().st_mtime_ns) == (HAND_WRITTEN, written)
    check_gps(bench, on("gw/gps"))
    check_clean(d.output())
    check_status_file(root)
    assert [(c["user"], c["password"]) for c in modem.mqtt_connects] == [("gwuser", "Pw-7s3cret")]
    assert b"Pw-7s3cret" not in d.output()
    assert d.output().count(b",1,0,gwuser,***\r") == 2  # the command and its echo


def test_broker_stopped_and_restarted(root, bench, mosquitto, daemon):
    start = [1, 0, 1, 1, 0, 1]
    bench.sim.set(0, "do", 0, start[:4])
    bench.sim.set(1, "do", 0, start[4:])
    bench.configure(mqtt_enable=1, mqtt_port=mosquitto.port)
    listeners = []

    def listen():
        listeners.append(Subscriber(mosquitto.host, mosquitto.port, "gw/#"))
        return listeners[-1]

    with quick_modem(root, mqtt_broker=(mosquitto.host, mosquitto.port), mqtt_timeout=1.0) as modem:
        d = daemon()
        try:
            listener = listen()
            wait(d, lambda: listener.on("gw/di"), "a DI publication")
            listener.close()
            mosquitto.stop()
            d.wait_output(rb"Receive EMQDISCON message!!", timeout=60)
            # Reconnection fails while the broker is away; then a full bring-up.
            d.wait_output(rb"\[ERROR\] MQTT connection error!!", timeout=90)
            mosquitto.start()
            listener = listen()
            wait(d, lambda: len(listener.on("gw/di")) >= 2, "publications after the restart",
                 timeout=120)
        finally:
            for sub in listeners:
                sub.close()
        # No options file: every connection with the shared default client ID.
        assert {c["client_id"] for c in modem.mqtt_connects} == {"myclientid"}
    # No command came: the outputs are as they were.
    assert bench.outputs("do") == start
