"""The cffi binding answers the contract as kalvex._native does, chunk by chunk and across
threads. Runs wherever the cffi module was built (always on PyPy; on CPython when cffi was
importable at build time); the comparisons with kalvex._native run on CPython only."""
import errno
import os
import threading

import pytest

from kalvex import errors

cffi = pytest.importorskip("kalvex._cffi")
from kalvex._cffi import reader as cffi_reader  # noqa: E402

BIG = b"\x07" * (3 * 1024 * 1024 // 2)
CONTENT = [  # (key, payload); keys chosen for non-ASCII, non-UTF-8 and empty cases
    ("", b"empty key"), ("a", b""), ("ab", b"x" * 100), ("alpha", BIG), ("é", b"accent"),
    (b"\xff\xfe", b"not utf-8"), ("k" * 65535, b"longest key"),
] + [("key:%04d" % i, b"v%d" % i) for i in range(300)]


@pytest.fixture(autouse=True)
def small_chunks(monkeypatch):
    monkeypatch.setattr(cffi_reader, "_CHUNK_ENTRIES", 7)
    monkeypatch.setattr(cffi_reader, "_KEY_BYTES", (64, 256))  # grows; "k" * 65535 gets its own
    monkeypatch.setattr(cffi_reader, "_PAYLOAD_BYTES", (16, 64))


@pytest.fixture
def path(tmp_path, capfd):
    w = cffi.new_writer()
    shared = w.add_unique(b"shared")
    for key, payload in CONTENT:
        w.add_key(key, w.add(payload))
    w.add_key("dup", shared)
    w.add_key("dup2", w.add_unique(b"shared"))
    assert w.build(str(tmp_path / "s.klvx"))[:2] == (len(CONTENT) + 1, len(CONTENT) + 2)
    assert capfd.readouterr() == ("", "")  # a library build prints nothing
    return str(tmp_path / "s.klvx")


def read_all(reader, first, last, **fields):
    joined = ([], [], [])
    while first < last:
        chunk = reader.read_range(first, last, **fields)
        n = len(next(part for part in chunk if part is not None))
        assert n > 0
        for into, part in zip(joined, chunk):
            into.extend(part or ())
        first += n
    return joined


@pytest.mark.parametrize("call", [
    lambda r: read_all(r, 0, r.count(), keys=str, payloads=True, ids=True),
    lambda r: read_all(r, 0, r.count(), keys=bytes),
    lambda r: [read_all(r, *r.prefix_range(p), keys=bytes, payloads=True) for p in ("a", "key:01", "é", b"\xff")],
    lambda r: r.objects(ids=True), lambda r: r.verify(), lambda r: r.stats(),
    lambda r: [(r.find(k), r.exists(k)) for k in ("a", "alpha", b"\xff\xfe", "nope", memoryview(b"a"), bytearray(b"ab"))],
    lambda r: [r.lower_bound(k) for k in ("", "a", "alpha", "é", b"\xff\xfe", b"\xff" * 70000, memoryview(b"a"))],
], ids=["items", "keys", "prefixes", "objects", "verify", "stats", "lookups", "seeks"])
def test_answers_match_the_native_module(path, call):
    native = pytest.importorskip("kalvex._native")
    assert call(cffi.open_reader(path, True)) == call(native.open_reader(path, True))


@pytest.mark.parametrize("keys", [bytes, str])
def test_listings_through_growing_and_oversized_buffers_give_every_entry_in_order(path, keys):
    # Runs on every interpreter, unlike the comparison above: the buffers start below one
    # chunk, grow, and meet a key and a payload larger than their limit.
    stored = [(k if isinstance(k, bytes) else k.encode(), p) for k, p in CONTENT]
    model = sorted(stored + [(b"dup", b"shared"), (b"dup2", b"shared")])
    reader = cffi.open_reader(path, False)
    got, payloads, ids = read_all(reader, 0, reader.count(), keys=keys, payloads=True, ids=True)
    assert got == [k if keys is bytes else k.decode("utf-8", "replace") for k, _ in model]
    assert payloads == [p for _, p in model] and len(ids) == len(model)
    dup, dup2 = (b"dup", b"dup2") if keys is bytes else ("dup", "dup2")
    assert ids[got.index(dup)] == ids[got.index(dup2)] != ids[got.index(dup) - 1]


def test_writer_answers_and_refuses_as_the_contract_says():
    w = cffi.new_writer()
    assert w.add_unique(b"v") == w.add_unique(b"v") == 0 and w.add(b"v") == 1
    w.add_key("k", 1)
    assert (w.contains(b"k"), w.contains("x"), w.key_count(), w.object_count()) == (True, False, 1, 2)
    with pytest.raises(errors.KalvError, match="^obj_id 9 out of range"):
        w.add_key("k", 9)
    for call, exc in [(lambda: w.add_key(5, 0), TypeError), (lambda: w.contains([107]), TypeError), (lambda: w.add_key("\ud800", 0), ValueError),
                      (lambda: w.add_key("k", -1), OverflowError), (lambda: w.add_key("k", "0"), TypeError),
                      (lambda: w.add("text"), TypeError), (lambda: w.build(b"p"), TypeError)]:
        with pytest.raises(exc):
            call()


def test_io_errors_carry_errno_and_filename(tmp_path):
    missing = str(tmp_path / "missing.klvx")
    with pytest.raises(errors.KalvIOError) as caught:
        cffi.open_reader(missing, True)
    assert (caught.value.errno, caught.value.filename) == (errno.ENOENT, missing)
    assert str(caught.value) == caught.value.args[0] and not str(caught.value).startswith("KalvIOError")


def test_a_damaged_record_ends_the_chunk_before_it(path):
    data = bytearray(open(path, "rb").read())
    at = data.index(b"v5") - 8
    data[at:at + 4] = b"\xff\xff\xff\xff"
    damaged = path + ".damaged"
    open(damaged, "wb").write(bytes(data))
    reader = cffi.open_reader(damaged, False)
    first, last = reader.prefix_range("key:000")
    keys, _, _ = reader.read_range(first, last, keys=str, payloads=True)
    assert keys == ["key:0000", "key:0001", "key:0002", "key:0003", "key:0004"]
    with pytest.raises(errors.KalvCorruptError):
        reader.read_range(first + 5, last, payloads=True)
    assert len(reader.read_range(first + 5, last, keys=bytes)[0]) == 5  # keys alone never fail
    with pytest.raises(errors.KalvCorruptError):
        reader.find("key:0005")


def test_close_while_other_threads_read_frees_once_they_are_done(path):
    reader = cffi.open_reader(path, False)
    expected = read_all(reader, 0, reader.count(), keys=str, payloads=True)
    started = threading.Barrier(5)
    results = []

    def read():
        started.wait()
        try:
            while True:
                assert read_all(reader, 0, reader.count(), keys=str, payloads=True) == expected
                assert reader.find("alpha") == BIG
        except ValueError as e:  # the close reached this thread
            results.append(str(e))

    threads = [threading.Thread(target=read) for _ in range(4)]
    for t in threads:
        t.start()
    started.wait()
    reader.close()
    for t in threads:
        t.join()
    assert results == ["store is closed"] * 4
    assert reader._owned == []  # the native reader was freed
    if os.path.exists("/proc/self/maps"):
        with open("/proc/self/maps") as maps:
            assert path not in maps.read()
