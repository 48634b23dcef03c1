"""Stores with compressed values: what reads back, what the file holds, what damage gives."""
import os
import random

import msgpack
import pytest

import kalvex
from kalvex import KalvReader, KalvWriter, _kalvex
from kalvex.errors import KalvCorruptError, KalvError

pytestmark = pytest.mark.usefixtures("backend")

FEATURES = 5  # the header's features byte
COMPRESSED = 0x02


def records(n, seed=7):
    """JSON-like records of a few hundred bytes that share their field names and much text."""
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "kappa", "sigma", "omega", "release", "package", "tool"]
    return {
        f"pkg-{i:06d}": {
            "name": f"pkg-{i:06d}",
            "version": f"{rng.randint(0, 9)}.{rng.randint(0, 30)}.{rng.randint(0, 99)}",
            "summary": " ".join(rng.choice(words) for _ in range(rng.randint(3, 20))),
            "downloads": rng.randint(0, 10**9),
            "tags": [rng.choice(words) for _ in range(rng.randint(0, 4))],
        }
        for i in range(n)
    }


# Values of every msgpack type, empty ones, one past 1 MiB that compresses and one that does not.
EVERY_TYPE = {
    "nil": None, "true": True, "false": False, "int": -(2**63), "uint": 2**64 - 1, "float": 1.5e300,
    "str": "naïve ✓ " * 3, "bin": b"\x00\xff" * 10, "array": [1, "two", [3.0, None]],
    "map": {"nested": {"deep": [{"k": b"v"}]}, "": 0}, "ext": msgpack.ExtType(5, b"payload"),
    "empty-str": "", "empty-bin": b"", "empty-array": [], "empty-map": {},
    "large": "row of text " * 100_000, "random": os.urandom((1 << 20) + 7),
}


def build(path, data, **options):
    with KalvWriter(path, **options) as writer:
        writer.update(data)
    return str(path)


@pytest.mark.parametrize("index", [True, False])
@pytest.mark.parametrize("data", [{}, {"only": {"one": 1}}, EVERY_TYPE, records(3000)],
                         ids=["0 keys", "1 key", "every type", "many keys"])
def test_compressed_store_reads_back_as_the_plain_one(tmp_path, data, index):
    plain = build(tmp_path / "plain.klvx", data, index=index)
    packed = build(tmp_path / "packed.klvx", data, index=index, compression="zstd")
    with KalvReader(plain) as p, KalvReader(packed) as c:
        keys = sorted(data)
        assert dict(c.items()) == dict(p.items()) == data
        assert [c.get_raw(k) for k in keys] == [p.get_raw(k) for k in keys]
        assert list(c.items_raw()) == list(p.items_raw())
        assert c.get_many(keys + ["absent"]) == [data[k] for k in keys] + [None]
        assert c.objects() == p.objects() and c.prefix("pkg-0001") == p.prefix("pkg-0001")
        stats = c.stats()
        assert stats["compressed"] and not p.stats()["compressed"]
        assert stats["num_objects"] == p.stats()["num_objects"] and c.verify()
        assert stats["original_bytes"] == sum(map(len, {v for _, v in p.items_raw()}))
    with open(plain, "rb") as a, open(packed, "rb") as b:
        plain_bytes, packed_bytes = a.read(), b.read()
    assert not plain_bytes[FEATURES] & COMPRESSED and packed_bytes[FEATURES] & COMPRESSED
    if len(data) > 1000:
        assert len(packed_bytes) < 0.6 * len(plain_bytes)


@pytest.mark.parametrize("compressible", [0, 5])
def test_incompressible_values_cost_one_byte_and_small_stores_need_no_dictionary(tmp_path, compressible):
    data = {f"k{i}": os.urandom(300) for i in range(45)}
    data.update({f"t{i}": "words and more words " * (i + 5) for i in range(compressible)})
    with KalvReader(build(tmp_path / "s.klvx", data, compression="zstd")) as r:
        stats = r.stats()
        assert stats["dictionary_size"] == 0 and r.dictionary() == b""
        raw = stats["original_bytes"] + len(data)
        assert stats["stored_bytes"] == raw if not compressible else stats["stored_bytes"] < raw - 500
        assert dict(r.items()) == data


def test_without_the_option_the_file_is_the_one_written_before(tmp_path):
    data = records(200)
    a = build(tmp_path / "a.klvx", data, index=False)
    b = build(tmp_path / "b.klvx", data, index=False, compression=None)
    with open(a, "rb") as first, open(b, "rb") as second:
        assert first.read() == second.read()


def test_a_shared_dictionary_is_carried_by_every_store_and_serves_them(tmp_path):
    data = records(2000)
    trainer = KalvWriter()
    trainer.update(data)
    dictionary = trainer.train_dictionary()
    assert 256 <= len(dictionary) <= 112 << 10
    halves = [dict(list(data.items())[:1000]), dict(list(data.items())[1000:])]
    for i, half in enumerate(halves):
        path = build(tmp_path / f"{i}.klvx", half, compression="zstd", dictionary=dictionary, compression_level=9)
        with KalvReader(path) as r:
            assert r.dictionary() == dictionary and dict(r.items()) == half


@pytest.mark.parametrize("options, error", [
    ({"compression": "lz"}, ValueError), ({"compression": None, "dictionary": b"x"}, ValueError),
    ({"compression": "zstd", "compression_level": "3"}, TypeError),
])
def test_bad_options_are_refused_before_anything_is_stored(options, error):
    with pytest.raises(error):
        KalvWriter(**options)


@pytest.mark.parametrize("options", [{"compression_level": 99}, {"dictionary": b"\x37\xa4\x30\xec" + b"\0" * 50}])
def test_options_libzstd_refuses_fail_the_build_and_leave_the_file(tmp_path, options):
    path = tmp_path / "s.klvx"
    path.write_bytes(b"before")
    writer = KalvWriter(path, compression="zstd", **options)
    writer.update(records(100))
    with pytest.raises(KalvError):
        writer.build()
    assert path.read_bytes() == b"before"


def test_the_low_level_module_opens_a_compressed_store_and_gives_values_as_stored(tmp_path):
    data = records(500)
    path = build(tmp_path / "s.klvx", data, compression="zstd")
    with _kalvex._KalvReader(path) as low, KalvReader(path) as r:
        assert low.verify() and low.stats()["num_keys"] == len(data)
        stored, value = low.get_raw("pkg-000001"), r.get_raw("pkg-000001")
        # The head: one byte below 0xF0 holds n; a bare block's n is its length + 1.
        n = stored[0] if stored[0] < 0xF0 else 240 + ((stored[0] - 0xF0) << 8 | stored[1])
        assert n == len(value) + 1 and len(stored) < len(value)


def value_records(path):
    """(start, end) of each value record's payload, from the reader's own stats."""
    with KalvReader(path) as r:
        stats = r.stats()
        dictionary_end = stats["index_offset"] - stats["index_size"]
        dictionary_start = dictionary_end - stats["dictionary_size"] - 36 - 8
    with open(path, "rb") as f:
        data = f.read()
    spans, at = [], 40
    while at < dictionary_start:
        length = int.from_bytes(data[at:at + 4], "big")
        spans.append((at + 8, at + 8 + length))
        at += 8 + length
    return spans, (dictionary_start, dictionary_end)


DAMAGES = {"flip": lambda b: bytes([b[0] ^ 0x5A]) + b[1:], "zeros": lambda b: bytes(len(b)),
           "ones": lambda b: b"\xff" * len(b)}


@pytest.mark.parametrize("damage", sorted(DAMAGES))
@pytest.mark.parametrize("kind", ["blocks", "frames"])
def test_every_damaged_value_byte_is_corrupt_never_another_value(tmp_path, kind, damage):
    # Small values are bare blocks; values longer than a block (128 KiB) are frames, whose
    # head, frame header and first block header lie in their first bytes.
    size = 1 if kind == "blocks" else 12_000
    data = {f"k{i}": {"text": "shared words " * (i % 5 + 1) * size, "i": i} for i in range(40 if size == 1 else 3)}
    path = build(tmp_path / "s.klvx", data, compression="zstd", index=False)
    with open(path, "rb") as f:
        pristine = f.read()
    spans, _ = value_records(path)
    cases = 0
    for start, end in spans[:8]:
        for at in range(start, end if kind == "blocks" else start + 40):
            # A flip of one byte, or a run of 8 bytes of 0x00 or 0xFF (into the next record
            # where the value ends): heads, frame and block headers, bodies alike.
            damaged = bytearray(pristine)
            width = 1 if damage == "flip" else 8
            damaged[at:at + width] = DAMAGES[damage](bytes(damaged[at:at + width]))
            if damaged == pristine:
                continue
            cases += 1
            with open(path, "wb") as out:
                out.write(damaged)
            with KalvReader(path, verify=False) as r:
                for key, value in data.items():
                    try:
                        assert r[key] == value
                    except KalvCorruptError:
                        pass
                with pytest.raises(KalvCorruptError):
                    list(r.values())
                with pytest.raises(KalvCorruptError):
                    r.get_many(list(data))
                with pytest.raises(KalvCorruptError):
                    r.verify()
    assert cases > 100


def test_a_damaged_dictionary_fails_the_open(tmp_path):
    path = build(tmp_path / "s.klvx", records(2000), compression="zstd")
    _, (start, end) = value_records(path)
    for at in (start + 8, (start + end) // 2, end - 1):
        with open(path, "rb") as f:
            damaged = bytearray(f.read())
        damaged[at] ^= 1
        (tmp_path / "d.klvx").write_bytes(damaged)
        with pytest.raises(KalvCorruptError):
            KalvReader(str(tmp_path / "d.klvx"), verify=False)


def _answers(path):
    """Everything a reader says of the store at ``path``, or the corrupt-file error."""
    try:
        with KalvReader(path, verify=False) as r:
            return ("ok", sorted(r.items()), [r.get(k) for k in ("pkg-000003", "absent")], r.stats()["num_keys"])
    except KalvCorruptError:
        return ("corrupt",)


def test_every_damage_to_the_dictionary_record_is_corrupt_or_changes_nothing(tmp_path):
    # A small store: a dictionary of a few hundred bytes, so every byte of its record (head,
    # dictionary, trailer) is damaged each way, and the file cut at each of them.
    path = build(tmp_path / "s.klvx", records(200), compression="zstd", index=False)
    intact = _answers(path)
    assert intact[0] == "ok"
    _, (start, end) = value_records(path)
    pristine = (tmp_path / "s.klvx").read_bytes()
    damaged_path = str(tmp_path / "d.klvx")
    different = 0
    cases = 0
    for at in range(start - 8, end):
        for damage in ("flip", "zeros", "ones", "cut"):
            data = bytearray(pristine)
            if damage == "flip":
                data[at] ^= 0x01
            elif damage == "cut":
                del data[at:]
            else:
                data[at:at + 8] = (b"\x00" if damage == "zeros" else b"\xff") * len(data[at:at + 8])
            if data == pristine:
                continue
            with open(damaged_path, "wb") as f:
                f.write(data)
            answer = _answers(damaged_path)
            cases += 1
            different += answer != intact and answer != ("corrupt",)
    assert cases > 1000 and different == 0


def test_a_value_shaped_like_a_dictionary_record_stays_a_value(tmp_path):
    # Without the header's compression bit nothing is read as a dictionary, whatever the
    # last value's bytes look like.
    _, (start, end) = value_records(build(tmp_path / "c.klvx", records(120), compression="zstd", index=False))
    crafted = (tmp_path / "c.klvx").read_bytes()[start:end]
    data = {"a": 1, "z": crafted}
    path = build(tmp_path / "p.klvx", data, index=False)
    with KalvReader(path) as r:
        assert dict(r.items()) == data and not r.stats()["compressed"] and r.verify()


def test_merge_and_shards_take_the_output_options(tmp_path):
    data = records(1500)
    first = build(tmp_path / "a.klvx", dict(list(data.items())[:700]), compression="zstd")
    second = build(tmp_path / "b.klvx", dict(list(data.items())[700:]))
    for compression in ("zstd", None):
        out = kalvex.merge(str(tmp_path / f"m-{compression}.klvx"), first, second, compression=compression)
        with KalvReader(out) as r:
            assert r.stats()["compressed"] == (compression is not None) and dict(r.items()) == data
    root = kalvex.shards.build(data, tmp_path / "shards", 4, processes=1, compression="zstd")
    with kalvex.open(root) as r:
        assert dict(r.items()) == data
        dictionaries = {shard.dictionary() for shard in r.shards}
        assert len(dictionaries) == 1 and len(dictionaries.pop()) > 0


def test_a_replaced_value_reaches_neither_the_values_nor_the_dictionary(tmp_path):
    data = records(3000)
    secret = "hunter2-" * 40
    writer = KalvWriter(tmp_path / "s.klvx", compression="zstd")
    writer.update({key: {**value, "password": secret} for key, value in data.items()})
    writer.update(data)  # every key mapped again: the first values are reached by none
    with KalvReader(writer.build()) as r:
        assert r.stats()["num_objects"] == len(data) and dict(r.items()) == data
        assert r.stats()["dictionary_size"] > 0 and b"hunter2" not in r.dictionary()
