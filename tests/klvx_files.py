"""Hand-made container files for reader tests and benchmarks.

Builds the bytes of a ``.klvx`` file directly with ``struct`` and ``zlib.crc32``, so
reader tests do not depend on the writer, and can hold what the writer never makes:
repeated keys, unsorted or dangling offsets, damaged headers and records.

Layout: 40-byte header ("KLVX", version, 3 reserved, num_keys u32, num_objects u32,
index_offset u64, data_offset u64, file_crc32 u32, 4 reserved), then object records
(length u32, CRC-32 u32, payload), then index entries (key length u16, key, offset u64),
all big-endian.
"""
from __future__ import annotations

import struct
import zlib

HEADER_SIZE = 40
NUM_KEYS_POS = 8
NUM_OBJECTS_POS = 12
INDEX_OFFSET_POS = 16
DATA_OFFSET_POS = 24
FILE_CRC_POS = 32

_HEADER = struct.Struct(">4sB3xIIQQI4x")


def _as_bytes(key):
    return key.encode("utf-8") if isinstance(key, str) else bytes(key)


class Container:
    """Objects and index entries, laid out as the writer would unless told otherwise."""

    def __init__(self):
        self._data = bytearray()
        self._index = bytearray()
        self.num_objects = 0
        self.num_keys = 0

    def add_object(self, payload: bytes) -> int:
        """Appends an object record; returns its offset."""
        offset = HEADER_SIZE + len(self._data)
        self._data += struct.pack(">II", len(payload), zlib.crc32(payload)) + payload
        self.num_objects += 1
        return offset

    def add_entry(self, key, offset: int) -> None:
        """Appends an index entry as given: no sorting, no check of the offset."""
        key = _as_bytes(key)
        self._index += struct.pack(">H", len(key)) + key + struct.pack(">Q", offset)
        self.num_keys += 1

    @property
    def index_offset(self) -> int:
        return HEADER_SIZE + len(self._data)

    def build(self, *, version=2, magic=b"KLVX", num_keys=None, num_objects=None,
              index_offset=None, file_crc32=None, tail=b"") -> bytearray:
        """The whole file. Header fields may be overridden; the CRC is sealed over the
        body (tail included) unless `file_crc32` is given."""
        body = bytes(self._data) + bytes(self._index) + tail
        header = _HEADER.pack(
            magic, version,
            self.num_keys if num_keys is None else num_keys,
            self.num_objects if num_objects is None else num_objects,
            self.index_offset if index_offset is None else index_offset,
            HEADER_SIZE,
            zlib.crc32(body) if file_crc32 is None else file_crc32)
        return bytearray(header + body)


def store(items, shared=()) -> tuple[bytearray, dict]:
    """A sound file for a mapping of key -> payload, keys sorted bytewise.

    Payloads are stored once per key, except that keys listed in `shared` (pairs of
    (key, other_key)) point at other_key's record. Returns the bytes and the offsets.
    """
    items = sorted(((_as_bytes(k), v) for k, v in dict(items).items()))
    c = Container()
    offsets = {}
    for key, payload in items:
        offsets[key] = c.add_object(payload)
    for key, other in shared:
        offsets[_as_bytes(key)] = offsets[_as_bytes(other)]
    for key, _ in items:
        c.add_entry(key, offsets[key])
    return c.build(), offsets


def set_u32(buf: bytearray, pos: int, value: int) -> None:
    struct.pack_into(">I", buf, pos, value)


def set_u64(buf: bytearray, pos: int, value: int) -> None:
    struct.pack_into(">Q", buf, pos, value)


def increment_byte(buf: bytearray, pos: int) -> None:
    buf[pos] = (buf[pos] + 1) & 0xFF


def fix_checksum(buf: bytearray) -> None:
    """Re-seals file_crc32 after a change past the header."""
    set_u32(buf, FILE_CRC_POS, zlib.crc32(bytes(buf[HEADER_SIZE:])))


def crc_text(value: int) -> str:
    return "0x%08x" % value


def file_crc(buf) -> int:
    return zlib.crc32(bytes(buf[HEADER_SIZE:]))


def stored_crc(buf) -> int:
    return struct.unpack_from(">I", buf, FILE_CRC_POS)[0]
