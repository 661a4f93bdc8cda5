"""The command line of the daemon, against the built binary."""

import os

from conftest import run_daemon

VERSION = b"quorvane version = V1.00_for_ME3616 2018/12/07\r\n"
USAGE = b"Usage: quorvane\nUsage: quorvane -v (or --ver, --version) to show version\n"


def test_version_switches_print_the_version_and_touch_nothing(tmp_path):
    for arg in ("-v", "--ver", "--version"):
        r = run_daemon([arg], tmp_path)
        assert (r.returncode, r.stdout, r.stderr) == (0, VERSION, b"")
    assert os.listdir(tmp_path) == []


def test_other_arguments_print_usage(tmp_path):
    for arg in ("-V", "--Ver", "--VERSION", "x", ""):
        r = run_daemon([arg], tmp_path)
        assert (r.returncode, r.stdout) == (0, USAGE)
    r = run_daemon(["-v", "-v"], tmp_path)
    assert (r.returncode, r.stdout) == (0, b"Usage: quorvane\n")
    assert os.listdir(tmp_path) == []


def test_missing_program_file_is_fatal(tmp_path):
    r = run_daemon([], tmp_path)
    assert r.returncode == 1
    assert r.stdout == b"\r\n<--- Read Configure File --->\r\nOpen configure file fail!!\n"


def test_overlong_text_value_is_refused(root):
    (root / "korvel/quorvane/nbiot_prog.ini").write_bytes(
        b"send_interval=10\r\nauto_connect=1\r\napn=" + b"a" * 16 + b"\r\n")
    r = run_daemon([], root)
    assert r.returncode == 1
    last = r.stdout.splitlines()[-1]
    assert b"nbiot_prog.ini" in last and b"line 2" in last and b"apn" in last
