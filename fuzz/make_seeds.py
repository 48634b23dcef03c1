#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/.

Reader seeds are container files, encoded here byte by byte from the layout so they do not
depend on the writer: well-formed stores of the shapes the reader must handle, and the
damaged forms its checks exist for. Writer seeds are call sequences in the encoding that
writer_fuzzer.cc decodes. Each file stays well under 4 KiB. Regression inputs found by
fuzzing sit beside the seeds (named regress-*) and are not touched by this script.

    python3 fuzz/make_seeds.py
"""
import pathlib
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent


def record(payload):
    return struct.pack(">II", len(payload), zlib.crc32(payload)) + payload


def store(objects, keys, *, num_keys=None, index_offset=None, version=2, crc=None, tail=b"", features=0):
    """A container of `objects` (payloads, by ID) and `keys` ((key, ID or raw offset)), in
    the order given. An int above the object count is taken as a raw object offset."""
    data, offsets = bytearray(), []
    for payload in objects:
        offsets.append(40 + len(data))
        data += record(payload)
    index = bytearray()
    for key, target in keys:
        offset = offsets[target] if target < len(offsets) else target
        index += struct.pack(">H", len(key)) + key + struct.pack(">Q", offset)
    body = bytes(data + index) + tail
    header = b"KLVX" + bytes([version, features, 0, 0]) + struct.pack(
        ">IIQQI4x",
        len(keys) if num_keys is None else num_keys,
        len(objects),
        40 + len(data) if index_offset is None else index_offset,
        40,
        zlib.crc32(body) if crc is None else crc)
    return header + body


def zstd_frame(value):
    """A magicless zstd frame holding `value` in one raw block, built from the frame format:
    a single-segment descriptor with a one-byte content size, the last block's header."""
    assert len(value) < 256
    return bytes([0x20, len(value)]) + struct.pack("<I", len(value) << 3 | 1)[:3] + value


def zstd_block(value):
    """A bare compressed zstd block holding `value` as raw literals and no sequences, built
    from the block format: the literals section's header (one byte below 32 bytes, two
    below 4 KiB), the literals, a zero sequence count."""
    assert 0 < len(value) < 4096
    head = bytes([len(value) << 3]) if len(value) < 32 else struct.pack("<H", len(value) << 4 | 0b0100)
    return head + value + b"\0"


def value_head(n):
    """A stored value's head (src/core/format/compression_layout.h): 1 to 3 bytes."""
    if n < 0xF0:
        return bytes([n])
    if n < 0xF0 + (14 << 8):
        return bytes([0xF0 + ((n - 0xF0) >> 8), (n - 0xF0) & 0xFF])
    rest = n - 0xF0 - (14 << 8)
    return bytes([0xFE + (rest >> 16), rest >> 8 & 0xFF, rest & 0xFF])


def compressed(values, keys, *, dictionary=b"", trailer_magic=b"KLVXdict", bad_head=False):
    """A store whose values are compressed: each payload a head and a body (raw, a frame or
    a block, in turn), keys as for store(), then the dictionary record (dictionary,
    trailer) as the last object."""
    kinds = [lambda v: b"\x00" + v, lambda v: b"\x01" + zstd_frame(v), lambda v: value_head(len(v) + 1) + zstd_block(v)]
    stored = [kinds[i % 3 if v or i % 3 != 2 else 0](v) for i, v in enumerate(values)]
    if bad_head:
        stored[0] = b"\xff\xff\xff" + stored[0][1:]  # a block past the largest
    original = sum(map(len, values))
    trailer = struct.pack(">QQIIB3x", original, sum(map(len, stored)), max(map(len, values), default=0),
                          len(dictionary), 1) + trailer_magic
    return store(stored + [dictionary + trailer], keys, features=2)


def draw(content):
    """What picks the inputs that take a fuzz target's costly modes (Draw in fuzz_support.h)."""
    return zlib.crc32(content)


def reader_seeds():
    users = [(b"user:%d" % i, i % 3) for i in range(12)]
    many = sorted((b"k%03d" % i, i % 7) for i in range(60))
    return {
        "empty": store([], []),
        "hi-two-keys": store([b"hi"], [(b"a", 0), (b"b", 0)]),
        "shared-and-unreferenced": store([b"\x81\xa1a\x01", b"", b"orphan"], [(b"", 1), (b"x", 0), (b"y", 0)]),
        "users": store([b"alice", b"bob", b"carol" * 20], sorted(users)),
        "many-keys": store([bytes([i]) * i for i in range(7)], many),
        "key-order": store([b"1", b"2", b"3", b"4", b"5"],
                           [(b"B", 0), (b"a", 1), (b"a\x00", 2), (b"ab", 3), (b"\xc3\xa9", 4)]),
        "non-utf8-keys": store([b"p"], [(b"caf\xc3", 0), (b"\xfe", 0), (b"\xff", 0)]),
        "duplicate-key": store([b"old", b"new"], [(b"dup", 0), (b"dup", 1)]),
        "unsorted": store([b"1", b"2", b"3"], [(b"c", 0), (b"a", 1), (b"b", 2)]),
        "long-key": store([b"v"], [(b"L" * 1000, 0)]),
        "offset-past-end": store([b"v"], [(b"a", 0), (b"m", 0xFFFFFFFFFFFFFFFF)]),
        "offset-into-index": store([b"v"], [(b"a", 0), (b"b", 50)]),
        "payload-past-end": store([b"v"], [(b"a", 0)])[:40] + struct.pack(">II", 999, 0) + b"v" +
                            struct.pack(">H", 1) + b"a" + struct.pack(">Q", 40),
        "bad-payload-crc": store([b"v"], [(b"a", 0)])[:44] + b"\0\0\0\0" + store([b"v"], [(b"a", 0)])[48:],
        "num-keys-huge": store([b"v"], [(b"a", 0)], num_keys=0xFFFFFFFF),
        "num-keys-low": store([b"v", b"w"], [(b"a", 0), (b"b", 1)], num_keys=1),
        "index-offset-huge": store([b"v"], [(b"a", 0)], index_offset=0xFFFFFFFFFFFFFFF0),
        "index-offset-in-header": store([b"v"], [(b"a", 0)], index_offset=8),
        "truncated-key": store([b"v"], [(b"abcdef", 0)])[:-10],
        "trailing-bytes": store([b"v"], [(b"a", 0)], tail=b"\0" * 9),
        "bad-crc": store([b"v"], [(b"a", 0)], crc=0),
        "version-3": store([], [], version=3),
        "bad-magic": b"\0" * 40,
        "short": store([], [])[:39],
        "compressed": compressed([b"\x81\xa1a\x01", b"", b"carol" * 20, b"x"], sorted(users[:4])),
        "compressed-bad-head": compressed([b"v", b"w"], [(b"a", 0), (b"b", 1)], bad_head=True),
        "compressed-no-dictionary": store([b"\x00v"], [(b"a", 0)], features=2),
        "compressed-bad-trailer": compressed([b"v", b"w"], [(b"a", 0), (b"b", 1)], trailer_magic=b"KLVXdicT"),
        "large-index": large_index(store([b"alice", b"bob", b"carol"], sorted(users))),
    }


def large_index(content):
    """The store with two reserved header bytes, which the reader ignores, set so that the
    target grows its index past 2^15 keys (one input in 256 is drawn for that)."""
    for reserved in range(1 << 16):
        candidate = content[:38] + struct.pack(">H", reserved) + content[40:]
        if draw(candidate) % 256 == 0:
            return candidate
    raise AssertionError("no reserved bytes draw the large index")


# Writer operations, as writer_fuzzer.cc decodes them: an opcode byte, then its operands.
ADD_OBJECT, ADD_KEY, REMAP_KEY, ADD_KEY_OUT_OF_RANGE, ADD_LONG_KEY, BUILD = range(6)


def add_object(payload):
    return bytes([ADD_OBJECT, len(payload)]) + payload


def add_key(key, obj_id):
    return bytes([ADD_KEY, len(key)]) + key + bytes([obj_id])


def large_files(calls):
    """calls(fill) with a fill byte of the long keys such that the target lets a key of
    65535 bytes be stored (one input in 128 is drawn for that)."""
    for fill in range(256):
        if draw(calls(fill)) % 128 == 0:
            return calls(fill)
    raise AssertionError("no fill byte draws large files")


def read_back_each(calls):
    """calls(tag) with a payload tag such that the target reads the store back after
    every build (one input in 16 is drawn for that)."""
    for tag in range(256):
        if draw(calls(bytes([tag]))) % 16 == 8:
            return calls(bytes([tag]))
    raise AssertionError("no tag draws a read-back after every build")


def writer_seeds():
    return {
        "empty": bytes([BUILD]),
        "hi-two-keys": add_object(b"hi") + add_key(b"a", 0) + add_key(b"b", 0) + bytes([BUILD]),
        "remap-and-rebuild": (add_object(b"one") + add_object(b"two") + add_key(b"k", 0) +
                              bytes([BUILD, REMAP_KEY, 0, 1, BUILD])),
        "read-back-each-build": read_back_each(lambda tag: add_object(b"one") + add_key(b"k", 0) +
                                               bytes([BUILD]) + add_object(tag) + bytes([REMAP_KEY, 0, 1, BUILD])),
        "out-of-range": add_key(b"k", 0) + add_object(b"") + add_key(b"k", 1) +
                        bytes([ADD_KEY_OUT_OF_RANGE, 0, BUILD]),
        "long-keys": large_files(lambda fill: add_object(b"x") + bytes([ADD_LONG_KEY, 0, fill, 0,
                                                                         ADD_LONG_KEY, 1, fill, 0, BUILD])),
        "many": b"".join(add_object(bytes([i]) * i) for i in range(20)) +
                b"".join(add_key(b"key%d" % (i * 7 % 30), i % 20) for i in range(30)) + bytes([BUILD]),
    }


def main():
    for target, seeds in (("reader", reader_seeds()), ("writer", writer_seeds())):
        directory = HERE / "corpus" / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, content in seeds.items():
            assert len(content) < 4096, name
            (directory / name).write_bytes(content)


if __name__ == "__main__":
    main()
