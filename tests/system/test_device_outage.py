"""device_outage=keep_running on the bench kit: the TCP device stopped and
brought back, then the RTU slave falling silent, with a command pushed during
the outage; and a GN receiver reported with gps_talkers. Back-off times and
the failed-read count are unit cases; this shows what only the whole daemon
shows: no modem restart, the frames going on, the DEVINFO mask, the coils."""

from gateway import Bench, quick_modem, wait

OPTIONS = "device_outage = keep_running\r\nunreachable_report=devinfo\r\ngps_talkers=GP,GN\r\n"


def test_devices_lost_and_back_while_reporting_goes_on(root, report_server, daemon):
    server = report_server
    bench = Bench(root, talker="GN")
    try:
        bench.configure(server_port=server.address[1])
        (root / "korvel/quorvane/quorvane_options.ini").write_text(OPTIONS)
        with quick_modem(root, udp_server=server.address) as modem:
            d = daemon()

            def devinfo_mask(mask, since):
                return lambda: server.wait_for(
                    lambda f: f["type"] == "DEVINFO" and f["values"][3] == mask, 0.1, since)

            def wai_after(since):
                return lambda: server.wait_for(lambda f: f["type"] == "WAI", 0.1, since)

            wait(d, wai_after(0), "a first WAI")
            zrst = sum(c.startswith("AT+ZRST") for c in modem.commands)

            # The TCP device (device 1) stops; the RTU device's inputs go on moving.
            bench.sim.offline(0)
            lost = wait(d, devinfo_mask(1, len(server.frames)), "DEVINFO mask 1")
            bench.set_inputs([1, 0, 1, 1], [1111, 2222], [0, 1], [7, 8])
            wait(d, lambda: server.wait_for(lambda f: f["type"] == "WAI" and
                                            f["values"] == [1111, 2222, 7, 8], 0.1),
                 "the RTU device's fresh values beside the TCP device's last good ones")
            # A command during the outage: the RTU coils follow, the TCP ones are dropped.
            server.set_values(0, "RDO", [1, 1, 1, 1, 1, 1])
            wait(d, lambda: bench.sim.get(1, "do", 0, 2) == [1, 1], "the RTU coils commanded")
            assert bench.sim.get(0, "do", 0, 4) == [0, 0, 0, 0]
            bench.sim.online(0)
            wait(d, devinfo_mask(0, server.frames.index(lost) + 1), "DEVINFO mask 0")
            wait(d, lambda: bench.sim.get(0, "do", 0, 4) == [1, 1, 1, 1],
                 "the TCP coils, from the next RDO answer")

            # The RTU slave (device 2) falls silent, then answers again.
            bench.sim.offline(1)
            lost = wait(d, devinfo_mask(2, len(server.frames)), "DEVINFO mask 2")
            bench.sim.online(1)
            wait(d, devinfo_mask(0, server.frames.index(lost) + 1), "DEVINFO mask 0 again")
            assert sum(c.startswith("AT+ZRST") for c in modem.commands) == zrst
        console = d.stop()
    finally:
        bench.close()
    for n in (1, 2):
        assert console.count(b"[Error] Modbus device %d cannot be reached: its last good values "
                             b"are kept, retrying\n" % n) == 1, console[-6000:]
        assert console.count(b"Modbus device %d answers again\n" % n) == 1
    assert b"modbusFC error" not in console
    assert b"Modbus device 1 cannot be reached: its DO values of this command are dropped" in console
    gps = [f["values"][0] for f in server.frames if f["type"] == "WGPS" and f["values"][0]]
    assert gps and all(v.startswith("$GNRMC:") for v in gps), gps[-3:]
