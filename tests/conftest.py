"""Shared fixtures: container files written byte by byte, so reader tests need no writer."""
import itertools
import struct
import zlib

import pytest


def encode_store(items=(), *, version=2, crc=None):
    """The bytes of a container holding one object per (key, payload) pair.

    Keys are bytes and are written in the order given (pass them sorted for a well-formed
    store). `crc` replaces the stored whole-file CRC-32; `version` the version byte.
    """
    data = bytearray()
    index = bytearray()
    for key, payload in items:
        offset = 40 + len(data)
        data += struct.pack(">II", len(payload), zlib.crc32(payload)) + payload
        index += struct.pack(">H", len(key)) + key + struct.pack(">Q", offset)
    body = bytes(data + index)
    stored_crc = zlib.crc32(body) if crc is None else crc
    header = b"KLVX" + bytes([version, 0, 0, 0]) + struct.pack(
        ">IIQQI4x", len(items), len(items), 40 + len(data), 40, stored_crc)
    return header + body


@pytest.fixture
def store_file(tmp_path):
    """Factory: writes encode_store(...) to a fresh file and returns its path as a str."""
    counter = itertools.count()

    def write(items=(), **kwargs):
        path = tmp_path / f"store{next(counter)}.klvx"
        path.write_bytes(encode_store(items, **kwargs))
        return str(path)

    return write
