"""The bench kit's contract with the gateway's tests, each simulator driven from
the gateway's side without the daemon: the modem's echo and answer framing,
its UDP relay to the report server (which reads frames scrambled the gateway's
way and answers with the same IDs and the configured values), its MQTT relay
through a real broker, the NMEA feed's sentences, and the Modbus devices as an
independent master sees them. A missing simulator fails here, never skips."""

import os

from pymodbus.client import ModbusSerialClient, ModbusTcpClient

import frame_codec as fc
import nmea_feed
from broker import Subscriber
from conftest import BUILD_DIR
from gateway import PtyEnd, quick_modem
from modbus_sim import ModbusSim, RtuDevice, TcpDevice

OK = b"\r\nOK\r\n"


def test_modem_frames_answers_and_relays_udp_to_the_report_server(root, report_server):
    # The first block of a frame as the gateway scrambles it under the default key.
    assert fc.Codec().encode(b"AE,QRX724H,0100,") == bytes.fromhex(
        "e40f745798de18f99b414b7cc7ccab32")
    with quick_modem(root, ip_urc=False) as sim:
        port = PtyEnd(root / "dev/ttyUSB0")
        assert port.command("AT+CEREG?") == b"AT+CEREG?\r\r\n+CEREG: 0,1\r\n" + OK
        assert port.command("AT+ZRST") == b"AT+ZRST\r" + OK
        assert port.command("AT+CEREG?").startswith(b"AT+CEREG?\r\r\n+CEREG: 0,0\r\n")
        assert port.command("AT+CFUN=1").endswith(OK)
        sim.wait_until(lambda: sim.registration == 1)
        assert port.command("AT+ESOC=1,2,1") == b"AT+ESOC=1,2,1\r\r\n+ESOC=1\r\n" + OK
        assert port.command('AT+ESOCON=1,%d,"127.0.0.1"' % report_server.address[1]).endswith(OK)
        codec = fc.Codec(fc.load_params(BUILD_DIR / "codec_params.txt"))

        def send(text):
            data = codec.encode(text)
            return port.command("AT+ESOSEND=1,%d,%s" % (len(data), data.hex().upper()))

        sim.error_next("AT+ESOSEND", 1)
        assert send(b"AE,QRX724H,0100,3,6,WAI,0,0,EA").endswith(b"\r\nERROR\r\n")
        report_server.set_values(3, "RDO", [1, 0, 1])
        for text, answer in ((b"AE,QRX724H,0100,3,7,WDI,0,2,1,0,EA", "WDI,0,0,EA"),
                             (b"AE,QRX724H,0100,3,7,RDO,0,3,EA", "RDO,0,3,1,0,1,EA")):
            assert send(text).endswith(OK)
            line = port.read_until(rb"\r\n\+ESONMI=1,\d+,[0-9A-F]+\r\n")
            reply = codec.decode(bytes.fromhex(line.split(b",")[2].decode()))
            assert reply.rstrip(b" ").decode() == "AE,QRX724H,0100,3,7," + answer
        port.close()
    assert [f["values"] for f in report_server.frames] == [[1, 0], []]
    assert sim.internal_errors == []


def test_modem_relays_mqtt_through_a_real_broker(root, mosquitto):
    peer = Subscriber(mosquitto.host, mosquitto.port, "gw/up")
    with quick_modem(root, mqtt_broker=(mosquitto.host, mosquitto.port)) as sim:
        port = PtyEnd(root / "dev/ttyUSB0")
        assert port.command('AT+EMQNEW="x","1",20000,1024').endswith(b"+EMQNEW: 0\r\n" + OK)
        assert port.command('AT+EMQCON=0,4,"myclientid",60,1,0,gw,pw').endswith(OK)
        assert port.command('AT+EMQSUB=0,"gw/cmd/#",1').endswith(OK)
        peer.publish("gw/cmd/2/DO", "1,0,1")
        assert port.read_until(rb"\+EMQPUB:[^\n]*\n") == \
            b'\r\n+EMQPUB: 0,"gw/cmd/2/DO",1,0,0,5,"312C302C31"\r\n'
        assert port.command('AT+EMQPUB=0,"gw/up",1,0,0,6,444F5F41434B').endswith(OK)
        sim.wait_until(lambda: peer.on("gw/up") == ["DO_ACK"])
        port.close()
    peer.close()
    assert (sim.mqtt_connects[0]["user"], sim.mqtt_connects[0]["password"]) == ("gw", "pw")


def test_nmea_feed_writes_checksummed_sentences_and_says_which(root):
    said = []
    with nmea_feed.NmeaFeed(root / "dev/ttyUSB1", rate_hz=20, log=said.append, echo=True):
        port = PtyEnd(root / "dev/ttyUSB1")
        lines = port.read_until(rb"(\$GPRMC[^\n]*\n.*){2}").decode().split("\r\n")
        port.close()
    rmc = [line for line in lines if line.startswith("$GPRMC")]
    assert all(nmea_feed.checksum_ok(line) for line in rmc) and rmc[-1] in said
    assert not os.path.lexists(root / "dev/ttyUSB1")


def test_modbus_devices_serve_an_independent_master():
    with ModbusSim([TcpDevice(), RtuDevice(slave=7)]) as sim:
        sim.set(0, "di", 0, [1, 0, 1])
        sim.set(1, "ai", 3, [1234, 65535])
        tcp = ModbusTcpClient("127.0.0.1", port=sim.devices[0].port)
        rtu = ModbusSerialClient(port=sim.devices[1].path, baudrate=9600, timeout=1)
        assert tcp.connect() and rtu.connect()
        assert tcp.read_discrete_inputs(0, 3, slave=1).bits[:3] == [True, False, True]
        assert rtu.read_input_registers(3, 2, slave=7).registers == [1234, 65535]
        assert not tcp.write_registers(1, [7, 8], slave=1).isError()
        assert not rtu.write_coils(0, [True, False, True], slave=7).isError()
        tcp.close()
        rtu.close()
        assert (sim.get(0, "ao", 1, 2), sim.get(1, "do", 0, 3)) == ([7, 8], [1, 0, 1])
