"""The bench kit's simulated Modbus devices, driven through tools/modbus_sim.py
and read by an independent Modbus master (pymodbus), so that the daemon's
system tests can rely on them."""

import pytest
from pymodbus.client import ModbusSerialClient, ModbusTcpClient

from modbus_sim import Block, ModbusSim, RtuDevice, SimError, TcpDevice


@pytest.fixture
def sim():
    with ModbusSim([TcpDevice(blocks={"do": Block(100, 16)}),
                    RtuDevice(slave=7)]) as s:
        yield s


def test_tcp_device_serves_what_the_test_sets_and_keeps_what_is_written(sim):
    sim.set(0, "do", 100, [1, 0, 1])
    sim.set(0, "ai", 5, [1234, 65535])
    client = ModbusTcpClient("127.0.0.1", port=sim.devices[0].port)
    assert client.connect()
    assert client.read_coils(100, 3, slave=1).bits[:3] == [True, False, True]
    assert client.read_input_registers(5, 2, slave=1).registers == [1234, 65535]
    assert not client.write_registers(10, [7, 8], slave=1).isError()
    assert sim.get(0, "ao", 10, 2) == [7, 8]
    # Addresses outside the chosen block are refused by the device.
    assert client.read_coils(0, 1, slave=1).isError()
    client.close()
    assert sim.requests(0) == [(1, 100, 3), (4, 5, 2), (16, 10, 2), (1, 0, 1)]
    assert sim.connections(0) == 1
    with pytest.raises(SimError):
        sim.set(0, "do", 200, [1])


def test_injected_faults_and_offline(sim):
    port = sim.devices[0].port
    sim.fail(0, 3)
    client = ModbusTcpClient("127.0.0.1", port=port)
    assert client.connect()
    assert client.read_holding_registers(0, 1, slave=1).isError()
    assert not client.read_input_registers(0, 1, slave=1).isError()
    sim.heal(0)
    assert not client.read_holding_registers(0, 1, slave=1).isError()
    client.close()

    sim.offline(0)
    assert not ModbusTcpClient("127.0.0.1", port=port, retries=0).connect()
    sim.online(0)
    again = ModbusTcpClient("127.0.0.1", port=port)
    assert again.connect()
    again.close()


def test_rtu_device_answers_on_its_pty(sim):
    sim.set(1, "di", 0, [0, 1, 1])
    sim.set(1, "ao", 3, [42])
    client = ModbusSerialClient(port=sim.devices[1].path, baudrate=9600, timeout=1)
    assert client.connect()
    assert client.read_discrete_inputs(0, 3, slave=7).bits[:3] == [False, True, True]
    assert client.read_holding_registers(3, 1, slave=7).registers == [42]
    assert not client.write_coils(0, [True, True], slave=7).isError()
    client.close()
    assert sim.get(1, "do", 0, 2) == [1, 1]
    assert [r[0] for r in sim.requests(1)] == [2, 3, 15]
