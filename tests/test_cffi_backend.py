"""The cffi backend answers as the C-API module does, chunk by chunk and across threads.

Both readers are opened on the same files and must agree on every answer; chunk sizes are
shrunk so listings cross many chunk edges and grow their buffers. Runs wherever the cffi
module was built (always on PyPy; on CPython when cffi was importable at build time).
"""
import os
import threading

import pytest

from kalvex import _kalvex

backend = pytest.importorskip("kalvex._cffi_backend")
CffiReader, CffiWriter = backend.CffiReader, backend.CffiWriter

BIG = b"\x07" * (3 * 1024 * 1024 // 2)  # larger than the payload buffer it starts with
CONTENT = [  # (key, payload); keys chosen for non-ASCII, non-UTF-8 and empty cases
    ("", b"empty key"), ("a", b""), ("ab", b"x" * 100), ("alpha", BIG), ("é", b"accent"),
    (b"\xff\xfe", b"not utf-8"), ("k" * 65535, b"longest key"),
] + [("key:%04d" % i, b"v%d" % i) for i in range(300)]


@pytest.fixture(autouse=True)
def small_chunks(monkeypatch):
    monkeypatch.setattr(backend, "_CHUNK_ENTRIES", 7)
    monkeypatch.setattr(backend, "_CHUNK_KEY_BYTES", 16)
    monkeypatch.setattr(backend, "_CHUNK_PAYLOAD_BYTES", 64)


def build(writer_class, path):
    w = writer_class()
    shared = w.add_object_raw(b"shared")
    for key, payload in CONTENT:
        w.add_key(key, w.add_object_raw(payload))
    w.add_key("dup", shared)
    w.add_key("dup2", shared)
    w.build(str(path))
    return str(path)


@pytest.fixture
def paths(tmp_path, capfd):
    made = build(_kalvex._KalvWriter, tmp_path / "native.klvx"), build(CffiWriter, tmp_path / "cffi.klvx")
    assert capfd.readouterr().out.count("\u2705") == 2
    return made


def test_both_writers_write_the_same_bytes(paths):
    native, cffi = (open(p, "rb").read() for p in paths)
    assert native == cffi


@pytest.mark.parametrize("call", [
    lambda r: r.keys(), lambda r: r.items_raw(), lambda r: r.items_raw_bytes(),
    lambda r: r.objects_raw(), lambda r: r.verify(),
    lambda r: {k: v for k, v in r.stats().items() if k != "path"},
    lambda r: [r.prefix_raw(p) for p in ("", "a", "key:01", "é", b"\xff", "zzz")],
    lambda r: [(r.get_raw(k), r.exists(k)) for k in ("a", "alpha", b"\xff\xfe", "nope", [97], bytearray(b"ab"))],
], ids=["keys", "items_raw", "items_raw_bytes", "objects_raw", "verify", "stats", "prefix_raw", "lookups"])
def test_answers_match_the_c_api_module(paths, call):
    with CffiReader(paths[0]) as fast:
        assert call(fast) == call(_kalvex._KalvReader(paths[0]))


def test_lazy_iteration_matches_the_lists(paths):
    fast, native = CffiReader(paths[0]), _kalvex._KalvReader(paths[0])
    assert list(fast.iter_items()) == native.items_raw()
    assert list(fast.iter_items(bytes_keys=True)) == native.items_raw_bytes()
    assert list(fast.iter_keys()) == native.keys()
    first, last = fast.prefix_range("key:01")
    assert list(fast.iter_items(first, last)) == native.prefix_raw("key:01")


@pytest.mark.parametrize("key, obj_id, error, message", [
    (None, 0, ValueError, "key must be str or bytes"),
    ("\udc80", 0, ValueError, "key must be str or bytes"),
    ("k", 99, ValueError, "KalvError: obj_id 99 out of range (have 1 objects)"),
    ("k" * 65536, 0, ValueError, "KalvError: key is 65536 bytes, format maximum is 65535"),
    ("k", "0", TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer"),
])
def test_writer_errors_match(key, obj_id, error, message):
    for writer in (CffiWriter(), _kalvex._KalvWriter()):
        writer.add_object_raw(b"")
        with pytest.raises(error) as excinfo:
            writer.add_key(key, obj_id)
        assert str(excinfo.value) == message


def test_key_batch_with_a_bad_key_adds_none(tmp_path):
    w = CffiWriter()
    first = w.add_objects_raw([b"a", b"b"])
    with pytest.raises(ValueError, match="out of range"):
        w.add_keys(["x", "y", "z"], [first, first + 1, first + 2])
    assert repr(w) == "CffiWriter(objects=2, keys=0)"


def damaged(paths):
    """The store with the payload length of object "v5" running past the end."""
    data = bytearray(open(paths[0], "rb").read())
    at = data.index(b"v5") - 8
    data[at:at + 4] = b"\xff\xff\xff\xff"
    path = paths[0] + ".damaged"
    open(path, "wb").write(bytes(data))
    return path


def test_damaged_record_fails_like_the_c_api_module_after_the_entries_before_it(paths):
    path = damaged(paths)
    fast, native = CffiReader(path, verify=False), _kalvex._KalvReader(path, verify=False)
    for call in (lambda r: r.items_raw(), lambda r: r.get_raw("key:0005"), lambda r: r.objects_raw(),
                 lambda r: r.prefix_raw("key:000")):
        with pytest.raises(RuntimeError) as expected:
            call(native)
        with pytest.raises(RuntimeError) as got:
            call(fast)
        assert got.value.args == expected.value.args
    seen = []
    with pytest.raises(RuntimeError):
        for pair in fast.iter_items():
            seen.append(pair)
    sound = _kalvex._KalvReader(paths[0]).items_raw()
    assert seen[-1][0] == "key:0004" and seen == sound[:len(seen)]


def test_close_while_other_threads_read_frees_once_they_are_done(paths):
    reader = CffiReader(paths[1])  # the other file stays mapped by the C-API reader
    expected = _kalvex._KalvReader(paths[0]).items_raw()
    started = threading.Barrier(5)
    results = []

    def read():
        started.wait()
        try:
            while True:
                assert list(reader.iter_items()) == expected
                assert reader.get_raw("alpha") == BIG
        except ValueError as e:  # the close reached this thread
            results.append(str(e))

    threads = [threading.Thread(target=read) for _ in range(4)]
    for t in threads:
        t.start()
    started.wait()
    reader.close()
    for t in threads:
        t.join()
    assert results == ["KalvError: the reader is closed"] * 4
    assert reader._owned == []  # the native reader was freed
    if os.path.exists("/proc/self/maps"):
        with open("/proc/self/maps") as maps:
            assert paths[1] not in maps.read()
