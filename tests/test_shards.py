"""Sharded stores: routing, the versioned directory, the process-pool build, ShardedReader."""
import datetime
import json
import os
import pickle
import shutil
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool

import enum

import pytest

import kalvex
from kalvex import shards
from kalvex.shards import routing

pytestmark = pytest.mark.usefixtures("backend")  # every test on each backend

# XXH3-64 digests and shards, fixed for good: any change here breaks every existing store.
ROUTING_VECTORS = [
    ("", 0x2D06800538D394C2, {1: 0, 2: 0, 10: 0, 16: 0, 1000: 241}),
    ("a", 0xE6C632B61E964E1F, {1: 0, 2: 1, 10: 8, 16: 14, 1000: 350}),
    ("user:1", 0x3B577AFD7FED9501, {1: 0, 2: 1, 10: 1, 16: 1, 1000: 198}),
    ("é", 0xF7940A006CF10CB3, {1: 0, 2: 0, 10: 9, 16: 14, 1000: 184}),
    ("\U0001f600", 0x0B4FECF421A0808E, {1: 0, 2: 0, 10: 7, 16: 7, 1000: 795}),
]
# The jump step alone, checked against the published C function.
JUMP_VECTORS = [(0, 1000, 0), (1, 1000, 549), (2**64 - 1, 1000, 313),
                (0x0123456789ABCDEF, 16, 13), (0x0123456789ABCDEF, 2**31 - 1, 1651575352)]


class TestRouting:
    @pytest.mark.parametrize("key,digest,expected", ROUTING_VECTORS)
    def test_vectors(self, key, digest, expected):
        import xxhash

        assert xxhash.xxh3_64_intdigest(key.encode()) == digest
        for n, shard in expected.items():
            assert kalvex.shard_of(key, n) == shard == kalvex.shard_of(key.encode(), n)

    @pytest.mark.parametrize("digest,n,bucket", JUMP_VECTORS)
    def test_jump_vectors(self, digest, n, bucket):
        # The routing's definition and what lookups call (compiled on CPython) agree.
        assert routing._jump_in_python(digest, n) == routing._jump(digest, n) == bucket

    @pytest.mark.parametrize("n", [1, 7, 16])
    def test_growing_moves_about_one_in_n_keys_all_to_the_new_shard(self, n):
        keys = [f"key:{i}" for i in range(20000)]
        moved = [k for k in keys if kalvex.shard_of(k, n) != kalvex.shard_of(k, n + 1)]
        assert all(kalvex.shard_of(k, n + 1) == n for k in moved)
        assert abs(len(moved) / len(keys) - 1 / (n + 1)) < 0.02

    @pytest.mark.parametrize("n", [0, -1, 2**31, 2.0, True])
    def test_bad_shard_count(self, n):
        with pytest.raises(ValueError):
            kalvex.shard_of("a", n)


DATA = {f"{group}:{i}": {"i": i % 37, "g": group} for group in ("user", "usé", "zz") for i in range(300)}
DATA["\U0001f600"] = [1, 2]


@pytest.fixture
def store(tmp_path):
    return shards.build(DATA, tmp_path / "s", 5, processes=2)


@pytest.fixture
def single(tmp_path):
    return kalvex.build(tmp_path / "one.klvx", DATA)


class Text(str, enum.Enum):
    """A str subclass whose instances route and read as their text."""
    MEMBER = "user:8"


try:
    import numpy

    STR_SUBCLASSES = [Text.MEMBER, numpy.str_("user:9")]
except ImportError:  # not installed for every interpreter
    STR_SUBCLASSES = [Text.MEMBER]


def outcome(call, *args):
    try:
        return call(*args)
    except Exception as exc:
        return type(exc), str(exc)


def make_store(root, data, nshards=3, **options):
    return shards.build(data, root, nshards, processes=1, **options)


class TestReadsLikeOneStore:
    @pytest.mark.parametrize("options", [{}, {"key_type": bytes}, {"raw": True}])
    def test_same_answers_as_a_single_store(self, store, single, options):
        with kalvex.open(os.path.dirname(store), **options) as r, kalvex.open(single, **options) as one:
            assert isinstance(r, kalvex.ShardedReader)
            assert len(r) == len(one) and list(r) == list(one)
            assert list(r.items()) == list(one.items()) and list(r.values()) == list(one.values())
            for prefix in ("", "us", "usé:1", "user:29", "zz:", "nothing", b"\xf0"):
                assert r.prefix(prefix) == one.prefix(prefix)
                assert r.prefix_keys(prefix) == one.prefix_keys(prefix)
            for key in ("user:5", b"zz:7", "user:300", "", 5, "\ud800", bytearray(b"zz:1"), [117],
                        memoryview(b"zz:2"), *STR_SUBCLASSES):
                assert outcome(r.__contains__, key) == outcome(one.__contains__, key)
                assert outcome(r.get_many, [key]) == outcome(one.get_many, [key])
                assert outcome(r.get, key, "absent") == outcome(one.get, key, "absent")
                assert outcome(r.__getitem__, key) == outcome(one.__getitem__, key)
            # Values are shared within a shard, so one value may be an object in several shards.
            assert set(map(repr, r.objects())) == set(map(repr, one.objects()))
            assert r.stats()["num_keys"] == len(DATA) and r.verify()

    def test_lookup_errors_match(self, store):
        with kalvex.open(os.path.dirname(store)) as r:
            with pytest.raises(KeyError):
                r["missing"]
            with pytest.raises(TypeError, match="^key must be str, bytes, bytearray or memoryview, not int$"):
                r[5]
        with pytest.raises(ValueError, match="closed"):
            r["user:1"]

    def test_build_from_records_with_fields_and_repeated_keys(self, tmp_path):
        rows = [{"id": f"k{i % 50}", "v": i} for i in range(200)]
        make_store(tmp_path, rows, key="id", value="v", chunk_size=7)
        with kalvex.open(tmp_path) as r:
            assert dict(r) == {f"k{i}": 150 + i for i in range(50)}  # the last value wins

    def test_default_encodes_values_msgpack_does_not_know(self, tmp_path):
        moment = datetime.datetime(2025, 1, 2, 3, 4, 5)
        rows = [{"id": "a", "at": moment}]
        make_store(tmp_path, rows, key="id", default=datetime.datetime.isoformat)
        with kalvex.open(tmp_path) as r:
            assert r["a"] == {"id": "a", "at": "2025-01-02T03:04:05"}

    def test_a_plain_directory_is_no_store(self, tmp_path):
        with pytest.raises(kalvex.KalvIOError, match="is a directory, not a store"):
            kalvex.open(tmp_path)
        with pytest.raises(kalvex.KalvIOError, match="is a directory, not a store"):
            kalvex.KalvReader(tmp_path)

    def test_pickled_to_other_processes(self, store):
        with kalvex.open(os.path.dirname(store)) as r, ProcessPoolExecutor(2) as pool:
            answers = list(pool.map(dict, [r, r]))
            assert answers == [DATA, DATA]


class TestVersions:
    def test_readers_keep_their_version_across_publishes(self, tmp_path):
        make_store(tmp_path, {"a": 1, "b": 2}, keep=1)
        before = kalvex.open(tmp_path)
        make_store(tmp_path, {"a": 10}, keep=1)
        assert not os.path.exists(before.path)  # removed, yet still mapped
        assert dict(before) == {"a": 1, "b": 2}
        with kalvex.open(tmp_path) as after:
            assert dict(after) == {"a": 10}
        before.close()

    def test_rollback_and_retention(self, tmp_path):
        for value in (1, 2):
            make_store(tmp_path, {"a": value})
        assert shards.rollback(tmp_path).endswith("v-000001")
        assert kalvex.open(tmp_path)["a"] == 1
        with pytest.raises(ValueError, match="no earlier version"):
            shards.rollback(tmp_path)
        make_store(tmp_path, {"a": 3})  # retires v-000002, the one rolled back from
        assert sorted(n for n in os.listdir(tmp_path) if n.startswith("v-")) == ["v-000001", "v-000003"]
        shards.rollback(tmp_path)
        assert kalvex.open(tmp_path)["a"] == 1

    def test_crashed_build_leaves_current_version_and_next_build_cleans_up(self, tmp_path):
        make_store(tmp_path, {"a": 1})
        crash = (
            "import os, kalvex.shards as s\n"
            f"st = s.Staging({str(tmp_path)!r}, 3)\n"
            "s.write_shard(st.path, 0, 3, [])\n"
            "open(os.path.join(st.path, 'shard-00001-of-00003.klvx.tmp'), 'w').write('half')\n"
            "os._exit(1)\n"
        )
        subprocess.run([sys.executable, "-c", crash], check=False)
        assert any(n.startswith(".staging-") for n in os.listdir(tmp_path))
        assert kalvex.open(tmp_path)["a"] == 1
        make_store(tmp_path, {"a": 2})
        assert not any(n.startswith(".staging-") for n in os.listdir(tmp_path))
        assert kalvex.open(tmp_path)["a"] == 2

    def test_killed_worker_fails_the_build_and_publishes_nothing(self, tmp_path):
        make_store(tmp_path, {"a": 1})
        with pytest.raises(BrokenProcessPool):
            shards.build(range(100), tmp_path, 3, key=str, value=lambda i: os._exit(1), processes=2)
        assert kalvex.open(tmp_path)["a"] == 1
        make_store(tmp_path, {"a": 2})
        assert kalvex.open(tmp_path)["a"] == 2

    def test_one_builder_at_a_time(self, tmp_path):
        with shards.Staging(tmp_path, 2):
            with pytest.raises(kalvex.KalvIOError, match="another process"):
                make_store(tmp_path, {"a": 1})

    @pytest.mark.parametrize("entries,message", [
        (lambda path: [shards.write_shard(path, 0, 2, [])], "no entry for 1 shards"),
        (lambda path: [shards.write_shard(path, 0, 2, [])] * 2, "duplicate"),
        (lambda path: [shards.write_shard(path, 0, 2, [("a", 1)]) for _ in range(1)], "belongs to shard 1"),
    ])
    def test_publish_refuses_incomplete_or_misrouted_shards(self, tmp_path, entries, message):
        make_store(tmp_path, {"a": 1})
        with pytest.raises(ValueError, match=message):
            with shards.Staging(tmp_path, 2) as staging:
                staging.publish(entries(staging.path))
        assert kalvex.open(tmp_path)["a"] == 1
        assert not any(n.startswith(".staging-") for n in os.listdir(tmp_path))


def _rewrite(path, change):
    with open(path, "rb") as file:
        data = file.read()
    with open(path, "wb") as file:
        file.write(change(data))


def _damage_byte(path):
    def flip(data):
        return data[: len(data) // 2] + bytes([data[len(data) // 2] ^ 0xFF]) + data[len(data) // 2 + 1 :]

    _rewrite(path, flip)


def _edit_manifest(version, change):
    def edit(data):
        content = json.loads(data)
        change(content)
        return json.dumps(content).encode()

    _rewrite(os.path.join(version, "kalvex.json"), edit)


DAMAGES = {
    "missing shard": (lambda v: os.unlink(f"{v}/shard-00001-of-00003.klvx"), "shard-00001-of-00003.klvx is missing"),
    "damaged shard": (lambda v: _damage_byte(f"{v}/shard-00002-of-00003.klvx"), "shard-00002-of-00003.klvx is damaged"),
    "shard from elsewhere": (
        lambda v: shutil.copy(f"{v}/shard-00000-of-00003.klvx", f"{v}/shard-00001-of-00003.klvx"),
        "shard-00001-of-00003.klvx does not match the manifest",
    ),
    "shard count": (lambda v: _edit_manifest(v, lambda m: m.update(num_shards=4)), "kalvex.json: num_shards 4"),
    "renamed shard": (
        lambda v: _edit_manifest(v, lambda m: m["shards"][0].update(file="shard-00000-of-00004.klvx")),
        "kalvex.json: entry 0",
    ),
    "manifest not JSON": (lambda v: _rewrite(f"{v}/kalvex.json", lambda _: b"{"), "kalvex.json is not valid JSON"),
    "manifest missing": (lambda v: os.unlink(f"{v}/kalvex.json"), "kalvex.json is missing"),
}


@pytest.mark.parametrize("damage", DAMAGES)
def test_damage_is_named(tmp_path, damage):
    version = make_store(tmp_path, {f"k{i}": i for i in range(300)})
    apply, message = DAMAGES[damage]
    apply(version)
    with pytest.raises(kalvex.KalvCorruptError, match=message):
        kalvex.open(tmp_path)


def test_verify_names_a_shard_damaged_after_open(tmp_path):
    version = make_store(tmp_path, {f"k{i}": i for i in range(300)})
    with kalvex.open(tmp_path) as r:
        path = f"{version}/shard-00000-of-00003.klvx"
        with open(path, "r+b") as file:  # in place: the mapping sees the change
            file.seek(os.path.getsize(path) // 2)
            byte = file.read(1)
            file.seek(-1, 1)
            file.write(bytes([byte[0] ^ 0xFF]))
        with pytest.raises(kalvex.KalvCorruptError, match="shard-00000-of-00003.klvx"):
            r.verify()


def test_pickle_reads_the_same_version(tmp_path):
    make_store(tmp_path, {"a": 1})
    with kalvex.open(tmp_path) as r:
        blob = pickle.dumps(r)
        make_store(tmp_path, {"a": 2})
        assert pickle.loads(blob)["a"] == 1
