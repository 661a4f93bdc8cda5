"""The bench kit's report server and its frame codec, over real UDP sockets."""

import socket
import subprocess
import sys

import pytest

import frame_codec as fc
from conftest import BUILD_DIR, SOURCE_DIR
from report_server import ReportServer

STD_KEY = bytes.fromhex("0123456789abcdeffedcba9876543210")
STD_CIPHER = bytes.fromhex("681edf34d206965e86b3e94f536e4246")
# The first block of a frame under the default key, as the gateway scrambles
# it; the daemon's codec must give the same bytes.
FRAME_HEAD = b"AE,QRX724H,0100,"
FRAME_HEAD_SCRAMBLED = bytes.fromhex("e40f745798de18f99b414b7cc7ccab32")


def test_sm4_matches_the_standard_and_the_gateway_byte_order():
    assert fc.sm4_encrypt_block(STD_KEY, STD_KEY) == STD_CIPHER
    assert fc.sm4_decrypt_block(STD_KEY, STD_CIPHER) == STD_KEY
    # One gateway application is the standard with every 4-byte group of key,
    # input and output reversed.
    swapped_key = fc.swap_words(STD_KEY)
    once = fc.gateway_sm4_once(swapped_key, fc.swap_words(STD_KEY))
    assert once == fc.swap_words(STD_CIPHER)
    assert fc.gateway_sm4_once(swapped_key, once, decrypt=True) == fc.swap_words(STD_KEY)
    # The codec applies it twice per block.
    codec = fc.Codec(fc.CodecParams(key=swapped_key))
    twice = fc.gateway_sm4_once(swapped_key, once)
    assert codec.encode(fc.swap_words(STD_KEY)) == twice != once
    assert codec.decode(twice) == fc.swap_words(STD_KEY)
    assert fc.Codec().encode(FRAME_HEAD) == FRAME_HEAD_SCRAMBLED


def test_sm4_padding_and_length_rule():
    codec = fc.Codec()
    assert codec.encode(b"") == b""
    assert len(codec.encode(b"A" * 16)) == 16
    scrambled = codec.encode(b"B" * 17)
    assert len(scrambled) == 32
    assert codec.decode(scrambled) == b"B" * 17 + b" " * 15
    # No chaining: equal blocks scramble alike.
    assert codec.encode(b"C" * 32)[:16] == codec.encode(b"C" * 32)[16:]
    with pytest.raises(ValueError):
        codec.decode(scrambled[:20])
    other = fc.Codec(fc.CodecParams(key=bytes(16)))
    assert other.decode(scrambled) != codec.decode(scrambled)


def test_substitution_table_maps_forward_both_ways():
    table = fc.default_table()
    for b in range(0x20, 0x7F):
        assert table[b] == 0x20 + ((b - 0x20) * 7 + 3) % 95
        assert 0x20 <= table[b] <= 0x7E
    assert table[:0x20] == list(range(0x20)) and table[0x7F] == 0x7F
    codec = fc.Codec(mode="table")
    assert codec.encode(b"AE") == bytes([table[0x41], table[0x45]])
    assert codec.encode(b"\x00\x80\xff") == b"\x00\x80\xff"
    frame = b"AE,QRX724H,0100,1,7,WDI,0,3,1,0,1,EA"
    scrambled = codec.encode(frame)
    assert len(scrambled) == len(frame)
    # Decoding applies the same forward table, not its inverse.
    assert codec.decode(frame) == scrambled
    assert codec.decode(scrambled) != frame


def test_params_file_and_key_override(tmp_path):
    table = list(range(128))
    table[0x41], table[0x42] = 0x42, 0x41
    path = tmp_path / "codec_params.txt"
    path.write_text("key=00112233445566778899AABBCCDDEEFF\n"
                    "table=" + " ".join(map(str, table)) + "\n")
    params = fc.load_params(path)
    assert params.key == bytes.fromhex("00112233445566778899aabbccddeeff")
    assert fc.Codec(params, "table").encode(b"ABC") == b"BAC"
    assert fc.load_params(path, key="0123456789ABCDEFFEDCBA9876543210").key == fc.DEFAULT_KEY
    srv = ReportServer(port=0, params=path, mode="table")
    assert srv.codec.params == params
    srv.stop()
    assert fc.load_params() == fc.CodecParams()
    # The file the build writes reads back (whatever key the build was given).
    built = BUILD_DIR / "codec_params.txt"
    if built.exists():
        assert len(fc.load_params(built).table) == 128
    path.write_text("key=0011\ntable=1 2 3\n")
    with pytest.raises(ValueError):
        fc.load_params(path)
    assert fc.from_hex("0aFF") == b"\x0a\xff" and fc.from_hex("G1") == b"\x01"


@pytest.fixture
def server():
    with ReportServer(port=0) as srv:
        yield srv


@pytest.fixture
def gateway():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    sock.settimeout(3)
    yield sock
    sock.close()


def exchange(sock, server, text, codec=None):
    codec = codec or fc.Codec()
    sock.sendto(codec.encode(text), server.address)
    return codec.decode(sock.recv(2048)).decode().rstrip(" ")


def test_frames_are_answered_with_the_same_ids_and_recorded(server, gateway):
    assert exchange(gateway, server, "AE,QRX724H,0100,1,7,WDI,0,3,1,0,1,EA") == \
        "AE,QRX724H,0100,1,7,WDI,0,0,EA"
    assert exchange(gateway, server, "AE,QRX724H,0100,3,8,WGPS,0,1,,EA") == \
        "AE,QRX724H,0100,3,8,WGPS,0,0,EA"
    wdi, wgps = server.frames
    assert (wdi["session_id"], wdi["packet_id"], wdi["type"], wdi["number"],
            wdi["values"], wdi["answered"]) == (1, 7, "WDI", 3, [1, 0, 1], True)
    assert wdi["text"] == "AE,QRX724H,0100,1,7,WDI,0,3,1,0,1,EA"
    assert wgps["values"] == [""]
    assert wdi["addr"] == gateway.getsockname()
    assert [s["type"] for s in server.sent] == ["WDI", "WGPS"]


def test_rdo_and_rao_answers_carry_values(server, gateway):
    server.set_values(1, "RDO", [1, 0, 1])
    server.set_values(2, "RAO", [100, 65535])
    assert exchange(gateway, server, "AE,QRX724H,0100,1,9,RDO,0,3,EA") == \
        "AE,QRX724H,0100,1,9,RDO,0,3,1,0,1,EA"
    assert exchange(gateway, server, "AE,QRX724H,0100,2,9,RAO,0,2,EA") == \
        "AE,QRX724H,0100,2,9,RAO,0,2,100,65535,EA"
    # Nothing configured: as many zeros as the request asked for.
    assert exchange(gateway, server, "AE,QRX724H,0100,5,9,RDO,0,4,EA") == \
        "AE,QRX724H,0100,5,9,RDO,0,4,0,0,0,0,EA"
    server.set_values(1, "RDO", None)
    assert exchange(gateway, server, "AE,QRX724H,0100,1,10,RDO,0,2,EA") == \
        "AE,QRX724H,0100,1,10,RDO,0,2,0,0,EA"
    with pytest.raises(ValueError):
        server.set_values(1, "WDI", [1])


def test_table_mode_round_trip(gateway):
    # The gateway maps through the forward table both ways; the server is its
    # counterpart by default.
    codec = fc.Codec(mode="table")
    sent = "AE,QRX724H,0100,4,0,DEVINFO,0,4,1,NULL,2,0,EA"
    with ReportServer(port=0, mode="table") as srv:
        assert exchange(gateway, srv, sent, codec) == "AE,QRX724H,0100,4,0,DEVINFO,0,0,EA"
        assert srv.frames[0]["text"] == sent
    # Forward both ways, as the gateway itself: each side reads garbage.
    with ReportServer(port=0, mode="table", table_direction="forward") as srv:
        gateway.sendto(codec.encode(sent), srv.address)
        frame = srv.wait_for(timeout=3)
        assert frame["text"] == codec.encode(codec.encode(sent)).decode()
        assert not frame["valid"] and not frame["answered"]


def test_silence_globally_by_type_and_for_the_next_frames(server, gateway):
    def frame(pid, ftype="WAI"):
        return f"AE,QRX724H,0100,1,{pid},{ftype},0,1,5,EA"

    def answered(pid, ftype="WAI"):
        gateway.sendto(fc.Codec().encode(frame(pid, ftype)), server.address)
        got = server.wait_for(lambda f: f["packet_id"] == pid, timeout=3)
        assert got is not None
        if not got["answered"]:
            return False
        assert fc.Codec().decode(gateway.recv(2048)).decode().startswith(
            f"AE,QRX724H,0100,1,{pid},{ftype},")
        return True

    server.silence()
    assert not answered(1)
    server.speak()
    server.silence(types=["RDO"])
    assert not answered(2, "RDO") and answered(3, "WAI")
    server.speak()
    server.silence(count=2)
    assert [answered(p) for p in (4, 5, 6)] == [False, False, True]
    server.silence(types=["RAO"], count=1)
    assert [answered(7, "WAI"), answered(8, "RAO"), answered(9, "RAO")] == [True, False, True]
    # Nothing late arrived for the silenced frames.
    gateway.settimeout(0.1)
    with pytest.raises(socket.timeout):
        gateway.recv(2048)


def test_send_command_reaches_the_last_gateway_heard(server, gateway):
    with pytest.raises(RuntimeError):
        server.send_command(1, "RDO", [1])
    exchange(gateway, server, "AE,QRX724H,0100,2,41,WDI,0,1,1,EA")
    server.send_command(2, "RAO", [100, 200])
    assert fc.Codec().decode(gateway.recv(2048)).decode().rstrip() == \
        "AE,QRX724H,0100,2,41,RAO,0,2,100,200,EA"
    server.send_command(2, "RDO", [1], packet_id=3)
    assert fc.Codec().decode(gateway.recv(2048)).decode().rstrip() == \
        "AE,QRX724H,0100,2,3,RDO,0,1,1,EA"


def test_bad_datagrams_are_logged_and_not_answered(gateway):
    lines = []
    with ReportServer(port=0, log=lines.append) as srv:
        gateway.sendto(b"x" * 20, srv.address)
        gateway.sendto(fc.Codec().encode("hello"), srv.address)
        assert srv.wait_count(2, timeout=3) is not None
        assert [f["answered"] for f in srv.frames] == [False, False]
        assert srv.frames[0]["error"] and not srv.frames[1]["valid"]
    assert lines[0].startswith("bad ") and "not a gateway frame" in lines[1]


def test_command_line_server(tmp_path, gateway):
    params = tmp_path / "codec_params.txt"
    key = "000102030405060708090A0B0C0D0E0F"
    params.write_text(f"key={key}\ntable=" + " ".join(map(str, fc.default_table())) + "\n")
    proc = subprocess.Popen(
        [sys.executable, str(SOURCE_DIR / "tools" / "report_server.py"), "--port", "0",
         "--params", str(params), "--rdo", "1=1,1", "--silent", "WAI"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        first = proc.stdout.readline().split()
        assert first[:2] == ["listening", "on"]
        host, port = first[2].rsplit(":", 1)
        codec = fc.Codec(fc.load_params(params))
        gateway.sendto(codec.encode("AE,QRX724H,0100,1,0,WAI,0,1,7,EA"), (host, int(port)))
        gateway.sendto(codec.encode("AE,QRX724H,0100,1,0,RDO,0,2,EA"), (host, int(port)))
        assert codec.decode(gateway.recv(2048)).decode().rstrip() == \
            "AE,QRX724H,0100,1,0,RDO,0,2,1,1,EA"
        proc.stdin.write("rao 1 7,8\n")
        proc.stdin.flush()
        assert codec.decode(gateway.recv(2048)).decode().rstrip() == \
            "AE,QRX724H,0100,1,0,RAO,0,2,7,8,EA"
        proc.stdin.write("quit\n")
        proc.stdin.flush()
        out = proc.communicate(timeout=5)[0].splitlines()
    finally:
        proc.kill() if proc.poll() is None else None
    me = "%s:%d" % gateway.getsockname()
    assert out == [f"recv {me} AE,QRX724H,0100,1,0,WAI,0,1,7,EA  (silent)",
                   f"recv {me} AE,QRX724H,0100,1,0,RDO,0,2,EA",
                   f"sent {me} AE,QRX724H,0100,1,0,RDO,0,2,1,1,EA",
                   f"sent {me} AE,QRX724H,0100,1,0,RAO,0,2,7,8,EA"]
    assert proc.returncode == 0
