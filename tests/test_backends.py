"""The backend contract (kalvex/_contract.py) on each backend built here, through the
`backend` fixture: round trips, chunked listings, refused batches, routing, errors as the
package's classes with their facts, and the reader's lifetime. What only one backend has
(the cffi binding's buffers and locks) is tested in test_cffi_backend.py."""
import errno
import os

import pytest

from kalvex import _backend, _kalvex, errors
from klvx_files import set_u32

OVER_LIMIT = b"x" * 65536


@pytest.fixture
def native(backend):
    """The backend module under test."""
    return _backend.BACKEND

# Keys around the chunk size, a shared object every 7th key, and non-UTF-8 keys.
KEYS = [b"k%05d" % i for i in range(2500)] + [b"\xff\xfe-raw", b"\xffz"]


def payload_of(i):
    return b"p%d" % (i // 7 if i % 7 == 0 else 10_000 + i)


@pytest.fixture
def store(native, tmp_path):
    """A store of KEYS built with add_unique; returns (path, {key: payload})."""
    writer = native.new_writer()
    model = {}
    for i, key in enumerate(KEYS):
        payload = payload_of(i)
        writer.add_key(key, writer.add_unique(payload))
        model[key] = payload
    path = str(tmp_path / "s.klvx")
    objects, keys, size = writer.build(path)
    assert (objects, keys, size) == (writer.object_count(), len(KEYS), os.path.getsize(path))
    return path, model


def read_all(reader, first, last, **fields):
    """Every chunk of [first, last), joined; and the chunk lengths."""
    lists, lengths = ([], [], []), []
    while first < last:
        chunk = reader.read_range(first, last, **fields)
        n = len(next(part for part in chunk if part is not None))
        assert n > 0 and all(part is None or len(part) == n for part in chunk)
        for joined, part in zip(lists, chunk):
            joined.extend(part or ())
        lengths.append(n)
        first += n
    return lists, lengths


class TestRoundTrip:
    def test_writer_answers_what_it_holds_and_dedupes_exact_bytes_only(self, native):
        writer = native.new_writer()
        first = writer.add_unique(b"v")
        assert writer.add_unique(b"v") == first and writer.add_unique(b"v\x00") != first
        assert writer.add(b"v") not in (first, first + 1), "add never dedupes"
        writer.add_key("k", first)
        assert writer.contains("k") and writer.contains(b"k") and not writer.contains("x")
        assert (writer.key_count(), writer.object_count()) == (1, 3)

    def test_lookups_and_stats_agree_with_the_low_level_module(self, native, store):
        path, model = store
        reader = native.open_reader(path, True)
        with _kalvex._KalvReader(path) as low_level:
            for key in (b"k00000", "k02499", b"\xff\xfe-raw", "absent", b""):
                assert reader.find(key) == low_level.get_raw(key) == model.get(
                    key.encode() if isinstance(key, str) else key)
                assert reader.exists(key) == low_level.exists(key)
            assert reader.stats() == {**low_level.stats(), "index": False, "index_size": 0, "compressed": False,
                                      "dictionary_size": 0, "original_bytes": 0, "stored_bytes": 0}
        assert reader.count() == len(KEYS) and reader.verify() is True
        assert reader.prefix_range(b"k0001") == (10, 20) and reader.prefix_range("") == (0, len(KEYS))
        assert reader.memory_usage() > 0

    def test_objects_come_once_with_the_ids_listings_give(self, native, store):
        path, model = store
        reader = native.open_reader(path, False)
        payloads, ids = reader.objects(ids=True)
        assert len(payloads) == len(set(model.values())) == len(set(ids))
        (keys, listed, listed_ids), _ = read_all(reader, 0, len(KEYS), keys=bytes, payloads=True, ids=True)
        assert dict(zip(ids, payloads)) == dict(zip(listed_ids, listed))
        assert reader.objects() == (payloads, None)


class TestChunkedReads:
    @pytest.mark.parametrize("first, last", [(0, 10**9), (1000, 2049), (1023, 1025), (2500, 2502)])
    @pytest.mark.parametrize("key_type", [bytes, str])
    def test_chunks_join_into_the_range(self, native, store, first, last, key_type):
        path, model = store
        reader = native.open_reader(path, False)
        ordered = sorted(model)[first:last]
        (keys, payloads, ids), _ = read_all(reader, first, min(last, len(KEYS)), keys=key_type,
                                            payloads=True, ids=True)
        assert keys == [k if key_type is bytes else k.decode("utf-8", "replace") for k in ordered]
        assert payloads == [model[k] for k in ordered]
        # One id per distinct object: equal ids exactly where payloads are equal.
        assert len({(i, p) for i, p in zip(ids, payloads)}) == len(set(ids)) == len(set(payloads))

    def test_fields_come_alone_and_empty_ranges_are_empty(self, native, store):
        reader = native.open_reader(store[0], False)
        assert reader.read_range(5, 7, ids=True)[:2] == (None, None)
        assert reader.read_range(5, 7, payloads=True)[0] is None
        assert reader.read_range(7, 5, keys=bytes) == ([], None, None)
        assert reader.read_range(10**6, 10**7, keys=str, payloads=True) == ([], [], None)
        with pytest.raises(ValueError, match="needs keys, payloads or ids"):
            reader.read_range(0, 5)
        with pytest.raises(TypeError, match="keys"):
            reader.read_range(0, 5, keys=int)

    def test_large_payloads_make_shorter_chunks(self, native, tmp_path):
        writer = native.new_writer()
        big = [bytes([i]) * (3 << 20) for i in range(6)]
        for i, payload in enumerate(big):
            writer.add_key(b"%d" % i, writer.add(payload))
        writer.build(str(tmp_path / "big.klvx"))
        reader = native.open_reader(str(tmp_path / "big.klvx"), False)
        (_, payloads, _), lengths = read_all(reader, 0, 6, payloads=True)
        assert payloads == big and len(lengths) > 1

    def test_a_damaged_record_ends_the_chunk_before_it(self, native, store, tmp_path):
        path, model = store
        reader = native.open_reader(path, False)
        _, _, ids = reader.read_range(1500, 1501, ids=True)
        data = bytearray(open(path, "rb").read())
        set_u32(data, ids[0], 0xFFFFFFFF)  # the record's length now runs past the file
        damaged = tmp_path / "damaged.klvx"
        damaged.write_bytes(data)
        reader = native.open_reader(str(damaged), False)
        keys, payloads, _ = reader.read_range(1024, 2048, keys=bytes, payloads=True)
        assert keys == sorted(model)[1024:1500] and len(payloads) == 476
        with pytest.raises(errors.KalvCorruptError):
            reader.read_range(1500, 2048, payloads=True)
        assert len(reader.read_range(1500, 2048, keys=bytes, ids=True)[0]) == 548
        with pytest.raises(errors.KalvCorruptError):
            reader.find(sorted(model)[1500])


class TestErrors:
    @pytest.mark.parametrize("name, detail, code, filename", [
        ("missing.klvx", "cannot open {path}: No such file or directory (os error 2)", errno.ENOENT, "{path}"),
        ("a\x00b.klvx", "cannot open {path}: file name contained an unexpected NUL byte", None, None),
    ], ids=["missing", "nul"])
    def test_open_failure_is_a_kalv_io_error_with_errno_and_filename(self, native, tmp_path, name, detail, code,
                                                                      filename):
        path = str(tmp_path / name)
        with pytest.raises(errors.KalvIOError) as caught:
            native.open_reader(path, True)
        assert caught.value.args == (detail.format(path=path),)
        assert (caught.value.errno, caught.value.filename) == (code, filename and filename.format(path=path))

    def test_failed_build_names_its_temporary_file(self, native, tmp_path):
        target = tmp_path / "no" / "such.klvx"
        with pytest.raises(errors.KalvIOError) as caught:
            native.new_writer().build(str(target))
        assert (caught.value.errno, caught.value.filename) == (errno.ENOENT, str(target) + ".tmp")
        assert not caught.value.args[0].startswith("KalvIOError")

    @pytest.mark.parametrize("content, cls, detail", [
        (b"KLVX\x03" + bytes(35), errors.KalvVersionError, "unsupported version 3"),
        (bytes(40), errors.KalvCorruptError, "bad magic [0, 0, 0, 0]"),
    ], ids=["version", "magic"])
    def test_file_errors_carry_their_class_and_the_detail_alone(self, native, tmp_path, content, cls, detail):
        path = tmp_path / "bad.klvx"
        path.write_bytes(content)
        with pytest.raises(cls) as caught:
            native.open_reader(str(path), False)
        assert type(caught.value) is cls and caught.value.args == (detail,)

    def test_writer_rule_breaks_are_kalv_errors_that_change_nothing(self, native):
        writer = native.new_writer()
        with pytest.raises(errors.KalvError) as caught:
            writer.add_key("k", 0)
        assert caught.value.args == ("obj_id 0 out of range (have 0 objects)",)
        writer.add_key(b"k", writer.add(b""))
        with pytest.raises(errors.KalvError, match="^key is 65536 bytes"):
            writer.add_key(b"x" * 65536, 0)
        assert writer.key_count() == 1

    @pytest.mark.parametrize("call, exc", [
        (lambda w: w.add_key(5, 0), TypeError),
        (lambda w: w.add_key([107], 0), TypeError),
        (lambda w: w.add_key("\ud800", 0), ValueError),
        (lambda w: w.contains(None), TypeError),
        (lambda w: w.add_key("k", -1), OverflowError),
        (lambda w: w.add_key("k", "0"), TypeError),
        (lambda w: w.add("text"), TypeError),
        (lambda w: w.add_unique(bytearray(b"x")), TypeError),
        (lambda w: w.build(b"path"), TypeError),
    ])
    def test_argument_errors(self, native, call, exc):
        writer = native.new_writer()
        writer.add(b"v")
        with pytest.raises(exc):
            call(writer)

    def test_a_build_prints_nothing(self, native, tmp_path, capfd):
        writer = native.new_writer()
        writer.add_key("k", writer.add(b"v"))
        writer.build(str(tmp_path / "quiet.klvx"))
        assert capfd.readouterr() == ("", "")


class TestClose:
    CALLS = {
        "find": lambda r: r.find("k00001"),
        "exists": lambda r: r.exists("k00001"),
        "count": lambda r: r.count(),
        "prefix_range": lambda r: r.prefix_range(b"k"),
        "lower_bound": lambda r: r.lower_bound(b"k"),
        "read_range": lambda r: r.read_range(0, 5, keys=bytes),
        "objects": lambda r: r.objects(),
        "stats": lambda r: r.stats(),
        "verify": lambda r: r.verify(),
        "memory_usage": lambda r: r.memory_usage(),
    }

    @pytest.mark.parametrize("name", CALLS)
    def test_every_call_after_close_raises_value_error(self, native, store, name):
        reader = native.open_reader(store[0], False)
        reader.close()
        reader.close()
        with pytest.raises(ValueError, match="^store is closed$"):
            self.CALLS[name](reader)

    def test_close_from_inside_a_call_waits_for_it(self, backend, native, store):
        if backend == "cffi":
            pytest.skip("the cffi reader converts a key before it enters the call")
        reader = native.open_reader(store[0], False)

        class ClosingIndex:
            """A position given by __index__: converting it runs Python code, which closes.
            (Keys run none: the package's keys are str, bytes, bytearray, memoryview.)"""

            def __index__(self):
                reader.close()
                return 0

        first = reader.prefix_range(b"k00001")[0]
        keys, payloads, _ = reader.read_range(ClosingIndex(), first + 1, None, True)
        assert payloads[first] == store[1][b"k00001"]
        with pytest.raises(ValueError, match="closed"):
            reader.exists("k00001")


@pytest.mark.parametrize(
    "refused, error",
    [(12, TypeError), (OVER_LIMIT, errors.KalvError)],
    ids=["no-key", "over-limit"],
)
@pytest.mark.parametrize("at", [0, 3, 6])
def test_add_pairs_stores_the_pairs_before_a_refused_key_and_says_how_many(native, tmp_path, refused, error, at):
    writer = native.new_writer()
    keys = [b"k%d" % i for i in range(7)]
    keys[at] = refused
    payloads = [b"p%d" % i for i in range(7)]
    assert writer.add_pairs(payloads, keys) == at
    assert writer.key_count() == writer.object_count() == at
    # The refused pair alone raises its own error and changes nothing.
    with pytest.raises(error):
        writer.add_mapped(payloads[at], (refused,))
    assert writer.key_count() == at
    assert writer.add_pairs(payloads[at + 1 :], keys[at + 1 :]) == 6 - at
    path = str(tmp_path / "s.klvx")
    writer.build(path)
    reader = native.open_reader(path, True)
    assert [reader.find(k) for k in keys if k is not refused] == [p for k, p in zip(keys, payloads) if k is not refused]


def test_both_backends_route_a_million_keys_alike():
    # One rule, reached through either backend: the arguments must arrive whole (a digest
    # over 2**63, a shard count near 2**31) on both paths.
    import random

    compiled = pytest.importorskip("kalvex._native")
    cffi = pytest.importorskip("kalvex._cffi")
    rng = random.Random(1)
    counts = (1, 2, 3, 16, 1000, 2**31 - 1)
    digests = [rng.getrandbits(64) for _ in range(1_000_000)]
    for i, digest in enumerate(digests):
        n = counts[i % len(counts)]
        assert compiled.jump_hash(digest, n) == cffi.jump_hash(digest, n), (digest, n)


@pytest.mark.parametrize("n", [0, -1, 2**31])
def test_jump_hash_refuses_a_shard_count_out_of_range(native, n):
    with pytest.raises(ValueError):
        native.jump_hash(5, n)
