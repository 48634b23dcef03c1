"""The mapped index a store carries: written by default, read in place, invisible to the
user's counts, still a plain store to the low-level module, and added or dropped by
``kalvex index``."""
import json
import os
import struct
import zlib

import pytest

import kalvex
from kalvex import _kalvex
from kalvex.cli import main
from kalvex.errors import KalvCorruptError, KalvVersionError

pytestmark = pytest.mark.usefixtures("backend")

# Shared values, bytes and text keys, a prefix group, an empty key.
DATA = {f"user:{i:03d}": {"n": i % 5} for i in range(200)}
DATA.update({"": "empty", "u": [1, 2], "user:": None})
DISTINCT = 5 + 3
TRAILER = 76


def build(path, index=True, data=DATA):
    kalvex.build(path, data, index=index)
    return str(path)


def every_pair(path):
    with _kalvex._KalvReader(path) as low:
        return dict(low.items_raw_bytes())


@pytest.mark.parametrize("index", [True, False])
def test_round_trip_and_counts_with_and_without_the_index(tmp_path, index):
    path = build(tmp_path / "s.klvx", index)
    with kalvex.KalvReader(path) as r:
        stats = r.stats()
        assert (stats["num_objects"], stats["index"], stats["index_size"] > 0) == (DISTINCT, index, index)
        assert len(r) == len(DATA) and len(r.objects()) == DISTINCT and len(set(r.object_ids())) == DISTINCT
        assert dict(r.items()) == DATA and all(r[key] == value for key, value in DATA.items())
        assert "user:" in r and "user:1000" not in r and r.get("missing", 7) == 7
        assert r.prefix_keys("user:00") == [f"user:00{i}" for i in range(10)]
        assert r.prefix("u") == sorted((k, v) for k, v in DATA.items() if k.startswith("u"))
        assert r.verify() is True
        payloads = dict(r.items_raw())
    # Any reader of the format reads the same keys and values; it counts the index as one
    # more object, no key refers to it.
    assert every_pair(path) == payloads
    with _kalvex._KalvReader(path) as low:
        assert low.stats()["num_objects"] == DISTINCT + index


def test_the_index_costs_at_most_twelve_bytes_a_key(tmp_path):
    data = {f"k{i:06d}": i for i in range(5000)}
    grown = os.path.getsize(build(tmp_path / "a.klvx", True, data)) - os.path.getsize(
        build(tmp_path / "b.klvx", False, data))
    assert 0 < grown <= 12 * len(data)


def _seal(data):
    struct.pack_into(">I", data, 32, zlib.crc32(data[40:]))
    return bytes(data)


def _trailer_at(data):
    return struct.unpack_from(">Q", data, 16)[0] - TRAILER


def _put(offset_in_trailer, fmt, value):
    def mutate(data):
        struct.pack_into(fmt, data, _trailer_at(data) + offset_in_trailer, value)
    return mutate


def _flip_magic(data):
    data[_trailer_at(data)] ^= 0x20


def _other_num_keys(data):
    struct.pack_into(">I", data, _trailer_at(data) + 12, len(DATA) + 1)


def _fill_slots(byte):
    def mutate(data):
        start = _trailer_at(data)
        slot_count = struct.unpack_from(">Q", data, start + 40)[0]
        samples = -(-len(DATA) // 2 ** data[start + 9])
        first = start - 8 * (slot_count + samples)
        # The last slot stays empty: the open checks that one.
        data[first:first + 8 * (slot_count - 1)] = bytes([byte]) * (8 * (slot_count - 1))
    return mutate


def _features(value):
    def mutate(data):
        data[5] = value
    return mutate


# Each damage sealed under a fresh file CRC, so that it gets past the open's check.
# "plain": the header declares no index (its feature bit cleared): read as a file without
# one. "refused": the header declares the index and the trailer disagrees with it or cannot
# be right, or whose table misses the last key. "version": a feature bit this kalvex does
# not know. (Damage that opens and answers wrong: tests/test_index_sweep.py.)
@pytest.mark.parametrize("damage, outcome", [
    (_features(0), "plain"),
    (_features(0x81), "version"),
    (_flip_magic, "refused"),
    (_other_num_keys, "refused"),
    (_put(9, ">B", 200), "refused"),       # rank shift
    (_put(10, ">B", 64), "refused"),       # padding
    (_put(40, ">Q", 0), "refused"),        # slot count below capacity
    (_put(40, ">Q", 2 ** 63), "refused"),  # slot count beyond the record
    (_fill_slots(0x00), "refused"),       # the open's probe for the last key misses
    (_fill_slots(0xFF), "refused"),
], ids=["no_feature", "unknown_feature", "magic", "num_keys", "rank_shift", "padding", "few_slots", "huge_slot_count", "empty_slots", "wild_slots"])
def test_a_damaged_index_is_ignored_refused_or_named_never_trusted(tmp_path, damage, outcome):
    path = tmp_path / "d.klvx"
    data = bytearray(open(build(path), "rb").read())
    damage(data)
    path.write_bytes(_seal(data))
    assert every_pair(str(path)) == every_pair(build(tmp_path / "plain.klvx", False))
    if outcome in ("refused", "version"):
        with pytest.raises(KalvCorruptError if outcome == "refused" else KalvVersionError):
            kalvex.KalvReader(str(path))
        return
    with kalvex.KalvReader(str(path), verify=True) as r:
        assert not r.stats()["index"] and r.stats()["num_objects"] == DISTINCT + 1
        assert dict(r.items()) == DATA and r.verify() is True


@pytest.mark.parametrize("start, ask, changed", [
    (False, [], True), (True, [], False), (True, ["--drop"], True), (False, ["--drop"], False)])
def test_kalvex_index_rewrites_only_when_asked_for_another_form(tmp_path, capsys, start, ask, changed):
    data = {**DATA, "same": {"n": 1}}  # equal values in two objects: the copy keeps them apart
    writer = kalvex.KalvWriter(tmp_path / "s.klvx", dedupe=False, index=start)
    writer.update(data)
    writer.add("shared", "alias", "alias2")
    path = writer.build()
    before, pairs = open(path, "rb").read(), every_pair(path)
    with kalvex.KalvReader(path) as r:
        objects = r.stats()["num_objects"]
    assert main(["index", path, *ask]) == 0
    assert ("already" in capsys.readouterr().err) != changed
    assert (open(path, "rb").read() != before) == changed
    with kalvex.KalvReader(path) as r:
        assert r.stats()["index"] == (not ask) and r.stats()["num_objects"] == objects
        assert r["alias"] == r["alias2"] == "shared" and r.verify() is True
    assert every_pair(path) == pairs


def listed(version):
    with open(os.path.join(version, "kalvex.json")) as manifest:
        return [(entry["index"], entry["num_objects"]) for entry in json.load(manifest)["shards"]]


def test_kalvex_index_handles_a_sharded_store_and_keeps_a_damaged_file(tmp_path, capsys):
    root = kalvex.shards.build(DATA.items(), tmp_path / "s.shards", 3, index=False, processes=1)
    assert main(["index", str(tmp_path / "s.shards")]) == 0
    with kalvex.open(str(tmp_path / "s.shards")) as r:
        assert all(shard.stats()["index"] for shard in r.shards) and dict(r.items()) == DATA
        after = r.path
    # The manifest records the user's objects, and which shards carry an index.
    assert listed(after) == [(True, objects) for _, objects in listed(root)]
    assert not any(index for index, _ in listed(root))
    assert main(["index", root]) == 2  # a version directory, not the store
    damaged = bytearray(open(build(tmp_path / "d.klvx", False), "rb").read())
    damaged[-1] ^= 1
    (tmp_path / "d.klvx").write_bytes(bytes(damaged))
    assert main(["index", str(tmp_path / "d.klvx")]) == 2
    assert open(tmp_path / "d.klvx", "rb").read() == bytes(damaged)
    assert "CRC32 mismatch" in capsys.readouterr().err


@pytest.mark.parametrize("no_index", [[], ["--no-index"]])
def test_the_commands_build_and_merge_write_the_index_unless_told(tmp_path, no_index):
    (tmp_path / "in.jsonl").write_text('{"id": "a", "v": 1}\n{"id": "b", "v": 1}\n')
    built, merged = str(tmp_path / "b.klvx"), str(tmp_path / "m.klvx")
    assert main(["build", built, str(tmp_path / "in.jsonl"), "--key", "id", "-q", *no_index]) == 0
    assert main(["merge", merged, built, "-q", *no_index]) == 0
    for path in (built, merged):
        with kalvex.KalvReader(path) as r:
            assert r.stats()["index"] != bool(no_index) and r.stats()["num_objects"] == 2


def _damage_samples(path):
    """Fills the index's rank samples with 0xFF and seals the record's and the file's
    CRC-32 again: the damage only the deep check finds."""
    data = bytearray(open(path, "rb").read())
    end = struct.unpack_from(">Q", data, 16)[0]
    with kalvex.KalvReader(path) as r:
        record = end - r.stats()["index_size"]
    trailer = end - TRAILER
    samples = -(-struct.unpack_from(">I", data, trailer + 12)[0] // 2 ** data[trailer + 9])
    data[trailer - 8 * samples:trailer] = b"\xff" * (8 * samples)
    struct.pack_into(">I", data, record + 4, zlib.crc32(data[record + 8:end]))
    with open(path, "wb") as f:
        f.write(_seal(data))


@pytest.mark.parametrize("rewrite", [
    lambda p, out: main(["index", p, "--drop"]),
    lambda p, out: main(["merge", out, p, "-q"]),
    lambda p, out: kalvex.merge(out, p),
    lambda p, out: kalvex.merge(out, kalvex.KalvReader(p, verify=False)),
], ids=["index-drop", "command-merge", "merge-path", "merge-reader"])
def test_what_writes_a_store_from_a_damaged_one_refuses_and_writes_nothing(tmp_path, capsys, rewrite):
    path = build(tmp_path / "d.klvx")
    _damage_samples(path)
    before = open(path, "rb").read()
    try:
        assert rewrite(path, str(tmp_path / "out.klvx")) == 2
        assert "mapped index" in capsys.readouterr().err
    except KalvCorruptError:
        pass
    assert open(path, "rb").read() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.klvx"]


def test_kalvex_index_refuses_a_sharded_store_with_a_damaged_shard(tmp_path):
    kalvex.shards.build(DATA.items(), tmp_path / "s.shards", 2, processes=1)
    with kalvex.open(str(tmp_path / "s.shards")) as r:
        version, shard = r.path, r.shards[1].path
    _damage_samples(shard)
    with open(os.path.join(version, "kalvex.json")) as f:  # the manifest vouches for the damage
        manifest = json.load(f)
    manifest["shards"][1]["crc32"] = f"0x{zlib.crc32(open(shard, 'rb').read()[40:]):08x}"
    with open(os.path.join(version, "kalvex.json"), "w") as f:
        json.dump(manifest, f)
    before = sorted(os.listdir(tmp_path / "s.shards"))
    assert main(["index", str(tmp_path / "s.shards"), "--drop"]) == 2
    # No new version was published (the damaged one no longer even opens: its index
    # is checked at open).
    assert sorted(os.listdir(tmp_path / "s.shards")) == before
    assert os.path.isdir(version)
