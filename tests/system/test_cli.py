"""The command line of the built daemon, and start-up refusals end to end: the
exit status and the one line that says why. The other refusals of the three
configuration files are unit cases."""

import os

import pytest

from bench_config import ModbusDevice, device_text, install, mapping_text, prog_text
from conftest import run_daemon
from gateway import quick_modem

VERSION = b"quorvane version = V1.00_for_ME3616 2018/12/07\r\n"
USAGE = b"Usage: quorvane\nUsage: quorvane -v (or --ver, --version) to show version\n"
BANNER = b"\r\n<--- Read Configure File --->\r\n"


@pytest.mark.parametrize("args, status, out", [
    (["-v"], 0, VERSION), (["--ver"], 0, VERSION), (["--version"], 0, VERSION),
    (["-V"], 0, USAGE), (["--VERSION"], 0, USAGE), (["x"], 0, USAGE), ([""], 0, USAGE),
    (["-v", "-v"], 0, b"Usage: quorvane\n"),
    ([], 1, BANNER + b"Open configure file fail!!\n"),        # no program file
])
def test_command_line(tmp_path, args, status, out):
    r = run_daemon(args, tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (status, out, b"")
    assert os.listdir(tmp_path) == []


CONF = b"Configure file /korvel/quorvane/"


@pytest.mark.parametrize("prog, mapping, last", [
    # Refused before the modem is brought up.
    (b"send_interval=10\r\nauto_connect=1\r\napn=" + b"a" * 16 + b"\r\n", None,
     CONF + b"nbiot_prog.ini: line 2 (apn) has 16 characters, at most 15 fit!!"),
    # An APN that would end its quoted AT parameter and chain +CFUN=0.
    (prog_text(apn='a";+CFUN=0;+Z="'), None,
     CONF + b"nbiot_prog.ini: line 2 (apn) holds the character '\"', which would break its AT "
     b"command!!"),
    # Refused after the bring-up, with the modem thread running.
    (prog_text(), mapping_text([(0, ["0-0,2-1,", "", "", ""])]),
     CONF + b"quorvane_mapping.ini: line 5: DO entry 2 names device 2, 1 configured!!"),
], ids=["program file", "APN with a quote", "mapping file"])
def test_refused_configuration_ends_start_up_with_status_1(root, prog, mapping, last):
    install(root, prog, device_text([ModbusDevice(do_count=1)]), mapping)
    with quick_modem(root):
        r = run_daemon([], root, timeout=60)
    assert r.returncode == 1
    assert r.stdout.startswith(BANNER)
    assert r.stdout.splitlines()[-1] == last
