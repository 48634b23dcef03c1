"""The public package: Python objects in and out, named errors, lifetime, processes, merge."""
import enum
import errno
import multiprocessing
import os
import pathlib
import pickle

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

import kalvex
from kalvex import KalvReader, KalvWriter
from klvx_files import HEADER_SIZE, fix_checksum, increment_byte

pytestmark = pytest.mark.usefixtures("backend")  # every test on each backend

values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False)
    | st.text() | st.binary(),
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.text(max_size=8) | st.integers(-(2**63), 2**63 - 1), inner, max_size=4),
    max_leaves=12,
)
keys = st.text(min_size=1, max_size=12) | st.binary(min_size=1, max_size=12)


def stored(key):
    return key.encode() if isinstance(key, str) else key


def as_text(key):
    return key if isinstance(key, str) else key.decode("utf-8", "replace")


@settings(max_examples=60, deadline=None)
@given(st.dictionaries(keys, values, max_size=20))
def test_values_round_trip(tmp_path_factory, data):
    path = tmp_path_factory.mktemp("rt") / "s.klvx"
    kalvex.build(path, data)
    expected = {stored(k): v for k, v in data.items()}  # a str key and its bytes are one key
    as_lists = msgpack.unpackb(msgpack.packb(expected, use_bin_type=True), raw=False,
                               strict_map_key=False)  # msgpack gives tuples back as lists
    with KalvReader(path, key_type=bytes) as reader:
        assert len(reader) == len(expected)
        assert dict(reader.items()) == as_lists
        assert list(reader) == sorted(expected)
        for key in data:
            assert reader[key] == as_lists[stored(key)]
            assert reader.get_raw(as_text(key) if stored(key).isascii() else key) is not None


class TestWriter:
    def test_dedupe_stores_identical_payloads_once_however_added(self, tmp_path):
        with KalvWriter(tmp_path / "d.klvx") as w:
            first = w.add({"a": [1, 2]}, "k1", "k2")
            w["k3"] = {"a": [1, 2]}
            assert w.add_raw(msgpack.packb({"a": [1, 2]}), b"k4") == first
            assert w.add({"a": [1, 3]}, "k5") != first
        assert KalvReader(tmp_path / "d.klvx").stats()["num_objects"] == 2

    def test_without_dedupe_every_add_is_its_own_object(self, tmp_path):
        path = kalvex.build(tmp_path / "n.klvx", {"a": 1, "b": 1}, dedupe=False)
        assert KalvReader(path).stats()["num_objects"] == 2

    # Small values, and values of about 1 KB and 70 KB whose stored copies meet the ends of
    # the writer's storage chunks: each distinct value is stored once.
    @pytest.mark.parametrize("size, distinct", [(0, 1500), (1000, 500), (70000, 8)])
    def test_dedupe_across_table_growth_and_storage_chunks(self, tmp_path, size, distinct):
        values = [i if size == 0 else b"%d:" % i * (size // 6) for i in range(distinct)]
        data = {f"k{i}": values[i % distinct] for i in range(4 * distinct)}
        with KalvReader(kalvex.build(tmp_path / "g.klvx", data)) as r:
            assert r.stats()["num_objects"] == distinct and dict(r) == data

    @pytest.mark.parametrize("value", [{1, 2}, [object()], 2**64, {"deep": {"x": object()}}])
    def test_unencodable_value_names_key_and_type_and_changes_nothing(self, tmp_path, value):
        w = KalvWriter()
        w["ok"] = 1
        with pytest.raises(TypeError, match=r"'bad'.*\(" + type(value).__name__):
            w.add(value, "bad", "other")
        with pytest.raises(TypeError, match="'bad'"):
            w.update([("new", 2), ("bad", value)])
        assert "bad" not in w and "other" not in w and len(w) == 2  # "new" came before
        assert KalvReader(w.build(tmp_path / "u.klvx")).stats()["num_objects"] == 2

    def test_default_encodes_unknown_types(self, tmp_path):
        path = kalvex.build(tmp_path / "x.klvx", {"s": {3, 1}}, default=sorted)
        assert KalvReader(path)["s"] == [1, 3]

    @pytest.mark.parametrize("bad_key, error", [
        (5, TypeError), ((1, 2), TypeError), ("k" * 70000, kalvex.KalvError), (b"k" * 65536, kalvex.KalvError),
        ("\ud800", ValueError)])
    @pytest.mark.parametrize("call", [
        lambda w, key: w.add("v", "good", key), lambda w, key: w.add_raw(b"v", key),
        lambda w, key: w.add_raw(b"v", "good", key), lambda w, key: w.add_many_raw([(b"v", ["good", key])]),
    ], ids=["add", "add_raw", "add_raw-2", "add_many_raw"])
    def test_bad_key_stores_nothing(self, tmp_path, call, bad_key, error):
        w = KalvWriter()
        with pytest.raises(error):
            call(w, bad_key)
        assert len(w) == 0 and "good" not in w
        assert KalvReader(w.build(tmp_path / "e.klvx")).stats()["num_objects"] == 0

    def test_link_and_str_bytes_are_one_key(self, tmp_path):
        w = KalvWriter(tmp_path / "l.klvx")
        oid = w.add("v")
        w.link("x", oid)
        w[b"x"] = "w"  # the same key: replaces the mapping
        assert len(w) == 1 and "x" in w and b"x" in w and memoryview(b"x") in w
        with pytest.raises(TypeError, match="not int$"):
            1 in w
        with pytest.raises(kalvex.KalvError, match="^obj_id 9"):
            w.link("y", 9)
        assert KalvReader(w.build())["x"] == "w"

    @pytest.mark.parametrize("dedupe", [True, False])
    def test_a_replaced_value_never_reaches_the_file(self, tmp_path, dedupe):
        w = KalvWriter(tmp_path / "pw.klvx", dedupe=dedupe)
        w["pw"] = "old-secret"
        w["pw"] = "new"
        w.add("never-keyed")
        w["a"] = "new"  # with dedupe, the object "pw" holds
        path = w.build()
        data = pathlib.Path(path).read_bytes()
        assert b"old-secret" not in data and b"never-keyed" not in data
        with KalvReader(path) as r:
            assert dict(r) == {"pw": "new", "a": "new"} and r.verify()
            assert r.stats()["num_objects"] == (1 if dedupe else 2)
        w["pw"] = "old-secret"  # a payload left out of one build is found again by dedupe
        with KalvReader(w.build()) as r:
            assert r["pw"] == "old-secret" and r.stats()["num_objects"] == 2

    def test_failed_build_says_the_os_error_and_the_file(self, tmp_path):
        target = tmp_path / "no" / "such.klvx"
        with pytest.raises(kalvex.KalvIOError) as info:
            KalvWriter().build(target)
        assert isinstance(info.value, OSError) and info.value.errno == errno.ENOENT
        assert info.value.filename == f"{target}.tmp"  # the temporary file beside the target

    def test_build_needs_a_path(self):
        with pytest.raises(ValueError, match="no path"):
            KalvWriter().build()

    def test_block_that_raises_leaves_the_destination_byte_identical(self, tmp_path):
        path = kalvex.build(tmp_path / "keep.klvx", {"a": 1})
        before = pathlib.Path(path).read_bytes()
        with pytest.raises(KeyError):
            with KalvWriter(path) as w:
                w["a"] = 2
                raise KeyError("boom")
        assert pathlib.Path(path).read_bytes() == before
        assert sorted(os.listdir(tmp_path)) == ["keep.klvx"]


class TestUpdateInChunks:
    """update() hands pairs to the native writer a chunk at a time (3 here); the store, and
    what a failure keeps, must be those of one add per pair."""

    @pytest.fixture(autouse=True)
    def small_chunks(self, monkeypatch):
        monkeypatch.setattr("kalvex.writer._BATCH", 3)

    class Pairs(dict):  # a Mapping that is not exactly a dict
        pass

    @pytest.mark.parametrize("shape", [dict, Pairs, list, lambda d: iter(list(d.items()))],
                             ids=["dict", "mapping", "list", "iterator"])
    def test_store_is_that_of_one_add_per_pair(self, tmp_path, shape):
        data = {f"k{i}": i % 3 for i in range(8)}
        source = shape(data) if shape is not list else list(data.items()) + [("k0", "last")]
        with KalvReader(kalvex.build(tmp_path / "c.klvx", source)) as r:
            assert dict(r) == {**data, **({"k0": "last"} if shape is list else {})}
            assert r.stats()["num_objects"] == (4 if shape is list else 3)  # equal values stored once

    def failing_source(self):
        yield from [("a", 1), ("b", 2), ("c", 3), ("d", 4)]
        raise KeyError("source")

    @pytest.mark.parametrize("items, error", [
        ([("a", 1), ("b", 2), ("c", 3), ("d", 4), (5, 5), ("f", 6)], TypeError),
        ([("a", 1), ("b", 2), ("c", 3), ("d", 4), ("\ud800", 5), ("f", 6)], ValueError),
        ([("a", 1), ("b", 2), ("c", 3), ("d", 4), ("e" * 70000, 5), ("f", 6)], kalvex.KalvError),
        ([("a", 1), ("b", 2), ("c", 3), ("d", 4), ("e", {1}), ("f", 6)], TypeError),
        ([("a", 1), ("b", 2), ("c", 3), ("d", 4), ("e", 5, 5), ("f", 6)], ValueError),
        ([("a", 1), ("b", 2), ("c", 3), ("d", 4), 7, ("f", 6)], TypeError),
        (None, KeyError),
    ], ids=["key type", "surrogate", "long key", "value", "triple", "no pair", "source raises"])
    def test_failure_keeps_the_pairs_before_it_and_nothing_after(self, tmp_path, items, error):
        w = KalvWriter()
        with pytest.raises(error):
            w.update(self.failing_source() if items is None else items)
        assert sorted(KalvReader(w.build(tmp_path / "f.klvx"))) == ["a", "b", "c", "d"]
        assert KalvReader(tmp_path / "f.klvx").stats()["num_objects"] == 4

    def test_a_dict_failing_at_its_first_value_names_that_key(self):
        w = KalvWriter()
        with pytest.raises(TypeError, match="'x'"):
            w.update({"x": object(), "y": 1})
        assert len(w) == 0


@pytest.fixture
def store(tmp_path):
    return kalvex.build(tmp_path / "s.klvx", {"a": 1, "ab": [2], "b": {"x": None}})


class TestReader:
    def test_mapping_protocol(self, store):
        r = KalvReader(store)
        assert r == {"a": 1, "ab": [2], "b": {"x": None}}
        assert (r["ab"], r.get("zz", 7), "b" in r, b"b" in r, "zz" in r) == ([2], 7, True, True, False)
        with pytest.raises(TypeError, match="not int$"):
            3 in r
        with pytest.raises(KeyError):
            r["zz"]
        assert list(r.keys()) == ["a", "ab", "b"] and list(r.values()) == [1, [2], {"x": None}]
        assert r.prefix("a") == [("a", 1), ("ab", [2])] and r.prefix_keys(b"a") == ["a", "ab"]
        assert r.objects() == [1, [2], {"x": None}]
        assert repr(r) == f"KalvReader({store!r}, keys=3, objects=3)"

    def test_raw_and_unpack_options(self, store):
        assert KalvReader(store, raw=True)["ab"] == b"\x91\x02"
        assert KalvReader(store, use_list=False)["ab"] == (2,)

    def test_non_utf8_keys_are_exact_with_bytes_key_type(self, tmp_path):
        path = kalvex.build(tmp_path / "b.klvx", {b"caf\xc3": 1, b"\xff": 2, "\ufffd": 3})
        r = KalvReader(path, key_type=bytes)
        assert list(r) == [b"caf\xc3", "\ufffd".encode(), b"\xff"]
        assert r.prefix(b"caf") == [(b"caf\xc3", 1)] and r.prefix_keys(b"\xef") == [b"\xef\xbf\xbd"]
        assert dict(r.items()) == {b"caf\xc3": 1, b"\xff": 2, "\ufffd".encode(): 3}
        assert list(KalvReader(path)) == ["caf\ufffd", "\ufffd", "\ufffd"]

    def test_payload_that_is_not_msgpack_names_its_key(self, tmp_path):
        w = KalvWriter(tmp_path / "p.klvx")
        w.add_raw(b"\xc1", "broken")
        w["fine"] = 1
        r = KalvReader(w.build())
        with pytest.raises(kalvex.KalvDecodeError, match="'broken'") as info:
            r["broken"]
        assert isinstance(info.value, ValueError) and r["fine"] == 1 and r.get_raw("broken") == b"\xc1"

    def test_maps_keyed_by_tuples_read_back(self, tmp_path):
        # msgpack stores a tuple key as an array, which decodes as a list: no dict key.
        value = {(1, (2, "x")): [3], "m": {(4,): {"deep": [5]}}}
        w = KalvWriter(tmp_path / "t.klvx")
        w["t"] = value
        w.add_raw(b"\x81\x81\x01\x02\x03", "mapkey")  # {{1: 2}: 3}
        path = w.build()
        r, as_tuples = KalvReader(path), KalvReader(path, use_list=False)
        assert r["t"] == r.get("t") == dict(r.prefix("t"))["t"] == value
        assert as_tuples["t"] == {(1, (2, "x")): (3,), "m": {(4,): {"deep": (5,)}}}
        for reader in (r, as_tuples):  # a map as a map key stays unreadable, named
            with pytest.raises(kalvex.KalvDecodeError, match="'mapkey'"):
                reader["mapkey"]

    def test_close_then_any_use_fails_and_close_twice_is_fine(self, store):
        with KalvReader(store) as r:
            pass
        r.close()
        assert repr(r) == f"KalvReader({store!r}, closed)" and r.closed
        for use in (lambda: r["a"], lambda: r.get("a"), lambda: "a" in r, lambda: len(r),
                    lambda: list(r), lambda: r.prefix("a"), r.stats, r.verify, r.objects,
                    lambda: pickle.dumps(r)):
            with pytest.raises(ValueError, match="^store is closed$"):
                use()


class TestEdges:
    @pytest.mark.parametrize("sharded", [False, True], ids=["file", "sharded"])
    @pytest.mark.parametrize("listing", [
        iter, lambda r: iter(r.keys()), lambda r: iter(r.values()), lambda r: iter(r.items()),
        lambda r: r._keys(b"a"), lambda r: r._pairs(b"a"), lambda r: r.items_raw("a"),
    ], ids=["iter", "keys", "values", "items", "prefix keys", "prefix pairs", "raw items"])
    def test_listings_made_before_close_fail_at_their_next_step(self, tmp_path, sharded, listing):
        data = {f"a{i:03d}": i for i in range(300)}
        if sharded:
            kalvex.shards.build(data, tmp_path / "s", 3, processes=1)
            reader = kalvex.open(tmp_path / "s")
        else:
            reader = KalvReader(kalvex.build(tmp_path / "s.klvx", data))
        steps = listing(reader)
        next(steps)
        reader.close()
        with pytest.raises(ValueError, match="^store is closed$"):
            next(steps)

    @pytest.mark.parametrize("sharded", [False, True], ids=["file", "sharded"])
    def test_items_raw_lists_keys_and_payloads_as_stored_whatever_the_options(self, tmp_path, sharded):
        data = {b"a\xff": [1], "a\u00e9": {"x": 2}, "ab": 3, "b": None}
        if sharded:
            path = tmp_path / "s"
            kalvex.shards.build(data, path, 3, processes=1)
        else:
            path = kalvex.build(tmp_path / "s.klvx", data)
        expected = sorted((stored(key), msgpack.packb(value)) for key, value in data.items())
        with kalvex.open(path) as r:  # str keys and decoded values, which items_raw ignores
            assert list(r.items_raw()) == expected
            assert list(r.items_raw("a")) == list(r.items_raw(b"a")) == expected[:3]

    def test_options_are_checked_at_open_and_decode_errors_give_a_reason(self, tmp_path):
        w = KalvWriter(tmp_path / "d.klvx")
        w.add_raw(b"\xc1", "format")  # msgpack's FormatError has no text of its own on CPython
        path = w.build()
        with pytest.raises(TypeError, match="msgpack option.*use_lst"):
            KalvReader(path, use_lst=False)
        with KalvReader(path) as r:
            with pytest.raises(kalvex.KalvDecodeError, match="'format': \\S"):
                r["format"]

    def test_pickle_survives_a_change_of_directory(self, tmp_path, monkeypatch):
        kalvex.build(tmp_path / "s.klvx", {"a": 1})
        monkeypatch.chdir(tmp_path)
        data = pickle.dumps(KalvReader("s.klvx"))
        monkeypatch.chdir("/")
        assert pickle.loads(data)["a"] == 1

    def test_a_key_with_a_lone_surrogate_is_named_as_such(self, store):
        message = "cannot be encoded as UTF-8: it holds the lone surrogate"
        with KalvReader(store) as r:
            for use in (lambda: r["a\udcff"], lambda: r.get("\udcff"), lambda: r.get_raw("\udcff")):
                with pytest.raises(ValueError, match=message):
                    use()
            assert "\udcff" not in r
        w = KalvWriter()
        for use in (lambda: w.__setitem__("\udcff", 1), lambda: w.update({"\udcff": 1}),
                    lambda: w.add_many_raw([(b"\xc0", ["\udcff"])])):
            with pytest.raises(ValueError, match=message):
                use()
        assert len(w) == 0

    def test_merge_without_inputs_leaves_out_alone(self, store):
        before = pathlib.Path(store).read_bytes()
        with pytest.raises(TypeError, match="at least one input"):
            kalvex.merge(store)
        assert pathlib.Path(store).read_bytes() == before


def set_version(path, version):
    with open(path, "r+b") as f:
        f.seek(4)
        f.write(bytes([version]))


class TestErrors:
    def damaged(self, store, at, *, reseal):
        data = bytearray(pathlib.Path(store).read_bytes())
        increment_byte(data, at)
        if reseal:
            fix_checksum(data)
        pathlib.Path(store).write_bytes(data)

    def test_classes_and_texts_for_a_damaged_file(self, store):
        self.damaged(store, HEADER_SIZE + 8, reseal=False)  # first payload byte
        # The class names the kind, so the text does not repeat it: the native text after it.
        with pytest.raises(kalvex.KalvCorruptError, match="^file CRC32 mismatch") as info:
            KalvReader(store)
        assert isinstance(info.value, RuntimeError) and isinstance(info.value, kalvex.KalvexError)
        assert info.value.__cause__ is None  # raised as named, from the kind: no text parsed
        self.damaged(store, HEADER_SIZE + 8, reseal=True)
        with pytest.raises(kalvex.KalvCorruptError, match="^object CRC32 mismatch at offset 40$"):
            KalvReader(store).verify()

    @pytest.mark.parametrize("make, cls, base, facts", [
        (lambda p: KalvReader(p + ".missing"), kalvex.KalvIOError, OSError, (errno.ENOENT, "{p}.missing")),
        (lambda p: (set_version(p, 7), KalvReader(p)), kalvex.KalvVersionError, RuntimeError, None),
        (lambda p: KalvWriter().build(p + "/no/such/dir"), kalvex.KalvIOError, OSError,
         (errno.ENOTDIR, "{p}/no/such/dir.klvx.tmp")),
    ], ids=["open", "version", "build"])
    def test_named_classes_derive_from_the_native_ones(self, store, make, cls, base, facts):
        with pytest.raises(cls) as info:
            make(store)
        assert type(info.value) is cls and isinstance(info.value, base)
        assert not str(info.value).startswith(("[Errno", cls.__name__))  # the detail alone
        if facts is not None:
            try:
                make(store)
            except kalvex.KalvIOError as e:
                assert (e.errno, e.filename) == (facts[0], facts[1].format(p=store))


def _first_value(reader):
    return reader["ab"]


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_reader_in_other_processes(store, method):
    reader = KalvReader(store)
    assert pickle.loads(pickle.dumps(reader)) == reader
    with multiprocessing.get_context(method).Pool(2) as pool:
        # spawn pickles the reader; fork hands the children the open mapping as it is
        assert pool.map(_first_value, [reader] * 4) == [[2]] * 4


def test_library_builds_print_nothing(tmp_path, capfd):
    writer = KalvWriter()
    writer["a"] = 1
    writer.build(tmp_path / "w.klvx")
    kalvex.build(tmp_path / "b.klvx", {"b": 2})
    kalvex.merge(tmp_path / "m.klvx", tmp_path / "w.klvx", tmp_path / "b.klvx")
    kalvex.shards.build({"a": 1, "b": 2}, tmp_path / "s.shards", 2, processes=2)
    assert capfd.readouterr() == ("", "")  # file descriptors 1 and 2, child processes too


def test_merge_takes_the_last_value_and_keeps_objects_shared(tmp_path):
    old = kalvex.build(tmp_path / "old.klvx", {"a": 1, "b": 2, "c": 2})
    new = KalvWriter(tmp_path / "new.klvx")
    new.add({"v": 3}, "b", "d")
    merged = kalvex.merge(tmp_path / "m.klvx", old, KalvReader(new.build()), dedupe=False)
    with KalvReader(merged) as r:
        assert dict(r) == {"a": 1, "b": {"v": 3}, "c": 2, "d": {"v": 3}}
        assert r.stats()["num_objects"] == 3
    # Without dedupe, payloads equal across inputs stay apart; keys sharing one still share.
    again = kalvex.merge(tmp_path / "a.klvx", old, kalvex.build(tmp_path / "e.klvx", {"e": 2, "f": 2}),
                         dedupe=False)
    assert KalvReader(again).stats()["num_objects"] == 3


def test_every_damaged_byte_fails_cleanly_through_the_package(tmp_path):
    """Each byte of a small store bumped in turn, read through whichever native path the
    package uses (the suite runs once more with the cffi path forced): a named error or an
    answer, never a crash."""
    good = pathlib.Path(kalvex.build(tmp_path / "good.klvx", {"a": 1, "ab": [2], "b": {"x": None}}))
    original = good.read_bytes()
    damaged = tmp_path / "damaged.klvx"
    for at in range(len(original)):
        data = bytearray(original)
        increment_byte(data, at)
        damaged.write_bytes(data)
        try:
            with KalvReader(damaged, verify=False) as r:
                r.get("a"), "b" in r, list(r), r.prefix("a"), r.objects(), dict(r.items())
                r.verify()
        except (kalvex.KalvexError, KeyError):
            pass


def test_no_value_of_the_header_counts_or_index_offset_passes_the_checks(tmp_path):
    """The header lies under no CRC: each byte of num_keys, num_objects and index_offset set
    to every other value fails the open or verify(), on whichever native path is in use."""
    good = pathlib.Path(kalvex.build(tmp_path / "good.klvx", {"a": 1, "ab": [2], "b": {"x": None}}))
    original = good.read_bytes()
    damaged = tmp_path / "damaged.klvx"
    passed = []
    for at in range(8, 24):
        for value in set(range(256)) - {original[at]}:
            data = bytearray(original)
            data[at] = value
            damaged.write_bytes(data)
            try:
                with KalvReader(damaged, verify=False) as r:
                    r.verify()
                passed.append((at, value))
            except kalvex.KalvCorruptError:
                pass
    assert passed == []


class Color(str, enum.Enum):
    RED = "red"


@pytest.mark.parametrize("call", [
    lambda r, w, key: r[key], lambda r, w, key: key in r, lambda r, w, key: r.get_many([key]),
    lambda r, w, key: r.prefix(key), lambda r, w, key: w.__setitem__(key, 1), lambda r, w, key: key in w,
    lambda r, w, key: w.link(key, 0), lambda r, w, key: w.update([(key, 1)]), lambda r, w, key: kalvex.shard_of(key, 4),
], ids=["getitem", "in", "get_many", "prefix", "setitem", "writer-in", "link", "update", "shard_of"])
def test_every_entry_point_takes_a_key_by_one_rule(tmp_path, call):
    path = kalvex.build(tmp_path / "k.klvx", {"red": 1, "hi": 2})
    with KalvReader(path) as r:
        w = KalvWriter()
        w.add(0)
        for bad in [(1, 2), [104, 105], 5, None]:
            with pytest.raises(TypeError, match=f"^key must be str, bytes, bytearray or memoryview, not {type(bad).__name__}$"):
                call(r, w, bad)
        assert len(w) == 0
        for good in [Color.RED, memoryview(b"red"), bytearray(b"red")]:
            assert call(r, w, good) == call(r, w, "red")
