"""Scrambling of the gateway's UDP frames, as the daemon does it.

SM4 applied twice per 16-byte block, with the gateway's byte order: every
4-byte group of key, input and output is reversed against the standard. The
key comes from the build (`<build>/codec_params.txt`), so the bench kit always
speaks the daemon's codec.
"""

import dataclasses
import pathlib

# GB/T 32907-2016 S-box.
SBOX = bytes.fromhex(
    "d690e9fecce13db716b614c228fb2c05"
    "2b679a762abe04c3aa44132649860699"
    "9c4250f491ef987a33540b43edcfac62"
    "e4b31ca9c908e89580df94fa758f3fa6"
    "4707a7fcf37317ba83593c19e6854fa8"
    "686b81b27164da8bf8eb0f4b70569d35"
    "1e240e5e6358d1a225227c3b01217887"
    "d40046579fd327524c3602e7a0c4c89e"
    "eabf8ad240c738b5a3f7f2cef96115a1"
    "e0ae5da49b341a55ad933230f58cb1e3"
    "1df6e22e8266ca60c02923ab0d534e6f"
    "d5db3745defd8e2f03ff6a726d6c5b51"
    "8d1baf92bbddbc7f11d95c411f105ad8"
    "0ac13188a5cd7bbd2d74d012b8e5b4b0"
    "8969974a0c96777e65b9f109c56ec684"
    "18f07dec3adc4d2079ee5f3ed7cb3948")

FK = (0xA3B1BAC6, 0x56AA3350, 0x677D9197, 0xB27022DC)
# Byte j (most significant first) of CK_i is (4i + j) * 7 mod 256.
CK = tuple(int.from_bytes(bytes(((4 * i + j) * 7) % 256 for j in range(4)), "big")
           for i in range(32))

DEFAULT_KEY = bytes.fromhex("0123456789ABCDEFFEDCBA9876543210")
BLOCK = 16


# --- SM4 as the standard writes it ---------------------------------------

def _rotl(x, n):
    return ((x << n) | (x >> (32 - n))) & 0xFFFFFFFF


def _tau(x):
    return int.from_bytes(bytes(SBOX[b] for b in x.to_bytes(4, "big")), "big")


def _t(x):
    x = _tau(x)
    return x ^ _rotl(x, 2) ^ _rotl(x, 10) ^ _rotl(x, 18) ^ _rotl(x, 24)


def _t_key(x):
    x = _tau(x)
    return x ^ _rotl(x, 13) ^ _rotl(x, 23)


def sm4_round_keys(key):
    """The 32 round keys of the standard's key expansion for a 16-byte key."""
    k = [int.from_bytes(key[4 * i:4 * i + 4], "big") ^ FK[i] for i in range(4)]
    for i in range(32):
        k.append(k[i] ^ _t_key(k[i + 1] ^ k[i + 2] ^ k[i + 3] ^ CK[i]))
    return k[4:]


def _crypt_block(round_keys, block):
    x = [int.from_bytes(block[4 * i:4 * i + 4], "big") for i in range(4)]
    for rk in round_keys:
        x = [x[1], x[2], x[3], x[0] ^ _t(x[1] ^ x[2] ^ x[3] ^ rk)]
    return b"".join(w.to_bytes(4, "big") for w in reversed(x))


def sm4_encrypt_block(key, block):
    """Standard SM4 encryption of one 16-byte block."""
    return _crypt_block(sm4_round_keys(key), block)


def sm4_decrypt_block(key, block):
    """Standard SM4 decryption of one 16-byte block."""
    return _crypt_block(sm4_round_keys(key)[::-1], block)


# --- the gateway's byte order and double application --------------------

def swap_words(data):
    """Reverse the byte order of every 4-byte group."""
    return b"".join(data[i:i + 4][::-1] for i in range(0, len(data), 4))


def gateway_sm4_once(key, block, decrypt=False):
    """One application as the gateway does it: words read and written least
    significant byte first."""
    op = sm4_decrypt_block if decrypt else sm4_encrypt_block
    return swap_words(op(swap_words(key), swap_words(block)))


@dataclasses.dataclass(frozen=True)
class CodecParams:
    key: bytes = DEFAULT_KEY

    def __post_init__(self):
        if len(self.key) != 16:
            raise ValueError("key must hold 16 bytes")


def parse_key(text):
    key = bytes.fromhex(text.strip())
    if len(key) != 16:
        raise ValueError(f"key must be 32 hex digits: {text!r}")
    return key


def load_params(path=None, key=None):
    """The key from a build's codec_params.txt ("key=<32 hex digits>"); the
    default where no file is given.
    `key` (hex text or bytes) overrides the file's key."""
    params = CodecParams()
    if path is not None:
        fields = {}
        for line in pathlib.Path(path).read_text().splitlines():
            name, sep, value = line.partition("=")
            if sep:
                fields[name.strip()] = value.strip()
        if "key" not in fields:
            raise ValueError(f"{path}: needs a key= line")
        params = CodecParams(parse_key(fields["key"]))
    if key is not None:
        params = dataclasses.replace(
            params, key=parse_key(key) if isinstance(key, str) else bytes(key))
    return params


class Codec:
    """encode()/decode() of whole frames, byte for byte as the gateway does."""

    def __init__(self, params=None):
        self.params = params or CodecParams()
        # The gateway swaps key words before its schedule; do it once here.
        rk = sm4_round_keys(swap_words(self.params.key))
        self._enc_keys, self._dec_keys = rk, rk[::-1]

    def _blocks(self, data, round_keys):
        out = bytearray()
        for i in range(0, len(data), BLOCK):
            block = swap_words(data[i:i + BLOCK])
            for _ in range(2):
                block = _crypt_block(round_keys, block)
            out += swap_words(block)
        return bytes(out)

    def encode(self, text):
        """Scramble a frame (str or bytes): pad with spaces to a multiple of
        16 (no padding when already one), then every block twice."""
        data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
        data += b" " * (-len(data) % BLOCK)
        return self._blocks(data, self._enc_keys)

    def decode(self, data):
        """Unscramble received bytes. A length that is not a multiple of 16
        is refused (ValueError); the padding spaces stay in the result."""
        data = bytes(data)
        if len(data) % BLOCK:
            raise ValueError(f"message length {len(data)} is not a multiple of 16")
        return self._blocks(data, self._dec_keys)


def to_hex(data):
    """Two upper-case hex digits per byte, as the modem's send command carries."""
    return bytes(data).hex().upper()


def from_hex(text):
    """Tolerant reading as the gateway does it: any non-hex character counts 0."""
    def digit(c):
        return int(c, 16) if c in "0123456789abcdefABCDEF" else 0
    return bytes(16 * digit(text[2 * k]) + digit(text[2 * k + 1])
                 for k in range(len(text) // 2))
