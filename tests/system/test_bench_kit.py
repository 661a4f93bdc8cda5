"""The bench kit's contract with the gateway's tests, each simulator driven from
the gateway's side without the daemon: the modem's echo and answer framing and
its UDP relay to the report server (frames scrambled the gateway's way, answers
with the same IDs and the configured values), its MQTT relay through a real
broker, the NMEA feed, and the Modbus devices as an independent master sees
them. A missing simulator fails here, never skips."""

from pymodbus.client import ModbusSerialClient, ModbusTcpClient

import frame_codec as fc
import nmea_feed
from broker import Subscriber
from conftest import BUILD_DIR
from gateway import PtyEnd, quick_modem
from modbus_sim import ModbusSim, RtuDevice, TcpDevice

OK = b"\r\nOK\r\n"


def test_modem_frames_answers_and_relays_udp_to_the_report_server(root, report_server):
    codec = fc.Codec(fc.load_params(BUILD_DIR / "codec_params.txt"))
    report_server.set_values(3, "RDO", [1, 0, 1])
    with quick_modem(root, ip_urc=False) as sim:
        port = PtyEnd(root / "dev/ttyUSB0")
        assert port.command("AT+CEREG?") == b"AT+CEREG?\r\r\n+CEREG: 0,1\r\n" + OK
        assert port.command("AT+ZRST") == b"AT+ZRST\r" + OK
        assert port.command("AT+CEREG?").startswith(b"AT+CEREG?\r\r\n+CEREG: 0,0\r\n")
        port.command("AT+CFUN=1")
        sim.wait_until(lambda: sim.registration == 1)
        assert port.command("AT+ESOC=1,2,1") == b"AT+ESOC=1,2,1\r\r\n+ESOC=1\r\n" + OK
        assert port.command('AT+ESOCON=1,%d,"127.0.0.1"' % report_server.address[1]).endswith(OK)
        sim.error_next("AT+ESOSEND", 1)
        for text, answer in ((b"3,6,WAI,0,0,EA", None), (b"3,7,RDO,0,3,EA", "3,7,RDO,0,3,1,0,1,EA")):
            data = codec.encode(b"AE,QRX724H,0100," + text)
            result = port.command("AT+ESOSEND=1,%d,%s" % (len(data), data.hex().upper()))
            assert result.endswith(OK if answer else b"\r\nERROR\r\n")
            if answer:
                line = port.read_until(rb"\r\n\+ESONMI=1,\d+,[0-9A-F]+\r\n")
                reply = codec.decode(bytes.fromhex(line.split(b",")[2].decode()))
                assert reply.rstrip(b" ").decode() == "AE,QRX724H,0100," + answer
        port.close()
    assert [f["values"] for f in report_server.frames] == [[]] and sim.internal_errors == []


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


def test_nmea_feed_writes_checksummed_sentences_and_says_which(root):
    said = []
    with nmea_feed.NmeaFeed(root / "dev/ttyUSB1", rate_hz=20, log=said.append, echo=True):
        port = PtyEnd(root / "dev/ttyUSB1")
        lines = port.read_until(rb"(\$GPRMC[^\n]*\n.*){2}").decode().split("\r\n")
        port.close()
    rmc = [line for line in lines if line.startswith("$GPRMC")]
    assert all(nmea_feed.checksum_ok(line) for line in rmc) and rmc[-1] in said


def test_modbus_devices_serve_an_independent_master():
    with ModbusSim([TcpDevice(), RtuDevice(slave=7)]) as sim:
        sim.set(1, "ai", 3, [1234, 65535])
        tcp = ModbusTcpClient("127.0.0.1", port=sim.devices[0].port)
        rtu = ModbusSerialClient(port=sim.devices[1].path, baudrate=9600, timeout=1)
        assert tcp.connect() and rtu.connect()
        assert rtu.read_input_registers(3, 2, slave=7).registers == [1234, 65535]
        assert not tcp.write_registers(1, [7, 8], slave=1).isError()
        tcp.close()
        rtu.close()
        assert sim.get(0, "ao", 1, 2) == [7, 8]
