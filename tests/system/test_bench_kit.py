"""The bench kit's contract with the gateway's tests, driven from the gateway's
side without the daemon: the modem's echo and answer framing and its UDP relay
to the report server (frames scrambled the gateway's way, answers with the same
IDs and the configured values), and the Modbus devices as an independent master
sees them, so that a fault of a simulator cannot hide one of the gateway. The
MQTT relay and the NMEA feed are seen end to end in test_gateway.py. A missing
simulator fails here, never skips."""

from pymodbus.client import ModbusSerialClient, ModbusTcpClient

import frame_codec as fc
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
