"""Readers and writers give back everything they take, on success and on failure.

Many open/query/destroy and build cycles must leave resident memory, open descriptors and
mappings where a few warm-up cycles left them. Each cycle moves megabytes, so a leak of one
result, one payload copy or one reader's tables per cycle shows far above the bounds used
here. Results are copies: they stay valid after the reader and its file are gone.
"""
import gc
import os
import resource
import signal
import struct
import sys
import zlib

import pytest

from kalvex import _kalvex

_KalvReader = _kalvex._KalvReader
_KalvWriter = _kalvex._KalvWriter

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")

WARMUP = 30  # the interpreter's own heap settles meanwhile
CYCLES = 100
RSS_SLACK = 48 << 20  # a leak of one cycle's results alone would be 100 times that size

refcounts = pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="no reference counts")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def descriptors():
    return len(os.listdir("/proc/self/fd"))


def mappings(directory):
    with open("/proc/self/maps") as f:
        return sum(str(directory) in line for line in f)


def settle():
    for _ in range(3):
        gc.collect()


def quiet_build(writer, path):
    """build() with its summary line sent to /dev/null; returns the exception if any."""
    saved, devnull = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    try:
        sys.stdout.flush()
        os.dup2(devnull, 1)
        writer.build(str(path))
    except (OSError, ValueError) as exc:
        return exc
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    return None


def fill(writer, num_keys, num_objects, size):
    """Keys of 200 bytes, several per object; objects of `size` bytes, each distinct."""
    for i in range(num_objects):
        writer.add_object_raw(i.to_bytes(4, "big") * (size // 4))
    for i in range(num_keys):
        writer.add_key(f"{i:08d}".ljust(200, "k"), i % num_objects)
    return writer


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    """Paths of: a store of many long keys, one of large payloads, and the large one with
    its last object record claiming more bytes than the file holds."""
    directory = tmp_path_factory.mktemp("lifetime")
    many_keys = directory / "many_keys.klvx"
    big_payloads = directory / "big_payloads.klvx"
    assert quiet_build(fill(_KalvWriter(), 2000, 50, 16), many_keys) is None
    assert quiet_build(fill(_KalvWriter(), 16, 16, 64 << 10), big_payloads) is None
    damaged = bytearray(big_payloads.read_bytes())
    (index_offset,) = struct.unpack_from(">Q", damaged, 16)
    last_record = index_offset - (8 + (64 << 10))
    struct.pack_into(">I", damaged, last_record, (64 << 10) + 1 + len(damaged))
    stale_crc = directory / "stale_crc.klvx"
    stale_crc.write_bytes(bytes(damaged))
    struct.pack_into(">I", damaged, 32, zlib.crc32(damaged[40:]))
    broken = directory / "broken.klvx"
    broken.write_bytes(bytes(damaged))
    return {"many_keys": many_keys, "big_payloads": big_payloads, "broken": broken,
            "stale_crc": stale_crc, "dir": directory}


def query_everything(path):
    reader = _KalvReader(str(path))
    keys = reader.keys()
    for key in keys[::97]:
        assert reader.exists(key) and reader.get_raw(key) is not None
    assert reader.get_raw("missing") is None
    assert len(reader.items_raw()) == len(reader.items_raw_bytes()) == len(keys)
    assert reader.prefix_raw(keys[0][:4]) and reader.objects_raw()
    assert reader.verify() is True
    assert reader.stats()["num_keys"] == len(keys) and repr(reader)
    with reader as same:
        same.close()


def expect_failures(stores):
    """Every call that reads the damaged last object fails after copying the others; opens
    fail after mapping the file, or before."""
    reader = _KalvReader(str(stores["broken"]))
    for call in (reader.items_raw, reader.items_raw_bytes, reader.objects_raw,
                 lambda: reader.prefix_raw(""), reader.verify):
        with pytest.raises(RuntimeError, match="^KalvCorruptError: object at "):
            call()
    with pytest.raises(RuntimeError, match="^KalvCorruptError: file CRC32 mismatch"):
        _KalvReader(str(stores["stale_crc"]))
    with pytest.raises(OSError):
        _KalvReader(str(stores["dir"] / "absent.klvx"))


def build_cycle(directory):
    """A writer of 2000 long keys built over the same destination, then dropped."""
    assert quiet_build(fill(_KalvWriter(), 2000, 50, 16), directory / "rebuilt.klvx") is None


def failed_build_cycle(directory):
    """Builds that fail: a missing directory, writes refused by the file size limit, and
    a rename over a directory."""
    writer = fill(_KalvWriter(), 100, 4, 5000)  # past the output buffer, and within it
    assert "os error 2" in str(quiet_build(writer, directory / "absent" / "x.klvx"))
    assert "os error 27" in str(quiet_build_within_size_limit(writer, directory / "full.klvx"))
    assert "rename: " in str(quiet_build(writer, directory / "taken.klvx"))


def quiet_build_within_size_limit(writer, path):
    """quiet_build() with files limited to 4 KiB while it runs, so its writes fail."""
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG instead of the signal
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, limits[1]))
    try:
        return quiet_build(writer, path)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)


@pytest.mark.parametrize("scenario", ["queries", "failed queries", "builds", "failed builds"])
def test_cycles_keep_memory_descriptors_and_mappings_flat(stores, tmp_path, scenario):
    (tmp_path / "taken.klvx").mkdir()
    cycle = {
        "queries": lambda: (query_everything(stores["many_keys"]),
                            query_everything(stores["big_payloads"])),
        "failed queries": lambda: expect_failures(stores),
        "builds": lambda: build_cycle(tmp_path),
        "failed builds": lambda: failed_build_cycle(tmp_path),
    }[scenario]
    for _ in range(WARMUP):
        cycle()
    settle()
    before = rss(), descriptors(), mappings(stores["dir"]), mappings(tmp_path)
    for _ in range(CYCLES):
        cycle()
    settle()
    after = rss(), descriptors(), mappings(stores["dir"]), mappings(tmp_path)
    assert after[1:] == before[1:] == (before[1], 0, 0)
    grown = after[0] - before[0]
    if grown >= RSS_SLACK:
        # A heap still finding its working size (PyPy's grows in steps, later in a long
        # test session) grows once; a leak grows again with every further batch.
        for _ in range(CYCLES):
            cycle()
        settle()
        grown = rss() - after[0]
    assert grown < RSS_SLACK, f"resident memory grew by {grown}"


@refcounts
def test_calls_hold_no_references_to_their_arguments_or_receiver(stores, tmp_path):
    reader = _KalvReader(str(stores["many_keys"]))
    key = "".join(["0000001", "2"]).ljust(200, "k")  # built at run time: not shared
    prefix = "".join(["0000", "01"])
    missing = b"".join([b"miss", b"ing"])
    payload = b"".join([b"pay", b"load"])
    path = str(tmp_path / "".join(["refs", ".klvx"]))
    tracked = [reader, key, prefix, missing, payload, path]
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(20):
        reader.get_raw(key), reader.exists(key), reader.get_raw(missing)
        reader.prefix_raw(prefix), reader.keys(), reader.stats(), repr(reader)
        with reader:
            pass
        reader.__exit__(None, None, None)
        writer = _KalvWriter()
        writer.add_key(key, writer.add_object_raw(payload))
        assert quiet_build(writer, path) is None
        with pytest.raises(ValueError):
            writer.add_key(key, 7)
        del writer
    after = [sys.getrefcount(obj) for obj in tracked]
    assert after == before


@refcounts
def test_results_are_owned_by_the_caller_alone(stores):
    # Counted below: the name or container holding an object, getrefcount's own argument,
    # and a loop variable where there is one. Every payload here is a distinct object.
    reader = _KalvReader(str(stores["big_payloads"]))
    key = reader.keys()[12]
    assert sys.getrefcount(key) == 2
    assert sys.getrefcount(reader.get_raw(key)) == 2
    assert sys.getrefcount(reader.stats()) == 2
    for method, args in [("items_raw", ()), ("items_raw_bytes", ()), ("prefix_raw", ("0",)),
                         ("objects_raw", ()), ("keys", ())]:
        result = getattr(reader, method)(*args)
        assert len(result) == 16 and sys.getrefcount(result) == 2
        assert {sys.getrefcount(element) for element in result} == {3}
        for element in result:
            if isinstance(element, tuple):
                assert [sys.getrefcount(part) for part in element] == [3, 3]


@refcounts
def test_objects_tracked_by_the_collector_stay_flat(stores):
    def cycle():
        query_everything(stores["many_keys"])
        expect_failures(stores)

    for _ in range(WARMUP):
        cycle()
    settle()
    before = len(gc.get_objects())
    for _ in range(CYCLES):
        cycle()
    settle()
    assert len(gc.get_objects()) - before < CYCLES // 2


def test_results_outlive_the_reader_and_its_file(stores, tmp_path):
    path = tmp_path / "short-lived.klvx"
    path.write_bytes(stores["big_payloads"].read_bytes())
    reader = _KalvReader(str(path))
    keys = reader.keys()
    results = [reader.get_raw(keys[3]), reader.items_raw(), reader.items_raw_bytes(),
               reader.prefix_raw(""), reader.objects_raw(), keys]
    del reader
    settle()
    path.unlink()
    # Reuse the address space the mapping had, then read every byte of every result.
    scratch = [bytes(range(256)) * 1024 for _ in range(64)]
    expected = {key: i.to_bytes(4, "big") * (16 << 10) for i, key in enumerate(keys)}
    assert results[0] == expected[keys[3]]
    assert results[1] == results[3] == list(expected.items())
    assert results[2] == [(k.encode(), v) for k, v in expected.items()]
    assert results[4] == list(expected.values())
    assert results[5] == sorted(expected)
    del scratch


def test_a_reader_keeps_its_file_when_the_store_is_rebuilt(tmp_path):
    path = str(tmp_path / "store.klvx")
    old = _KalvWriter()
    old.add_key("k", old.add_object_raw(b"old payload"))
    assert quiet_build(old, path) is None
    reader = _KalvReader(path)
    new = _KalvWriter()
    new.add_key("k", new.add_object_raw(b"new payload, longer than the old one"))
    new.add_key("other", 0)
    assert quiet_build(new, path) is None
    assert reader.get_raw("k") == b"old payload" and reader.keys() == ["k"]
    assert reader.verify() is True
    assert _KalvReader(path).keys() == ["k", "other"]


def test_the_writer_keeps_its_own_copies(tmp_path):
    writer = _KalvWriter()
    for i in range(100):
        writer.add_key(f"key{i}".encode(), writer.add_object_raw(bytes([i]) * (i + 2)))
    settle()  # the payloads and keys handed in are gone
    assert quiet_build(writer, tmp_path / "copies.klvx") is None
    items = _KalvReader(str(tmp_path / "copies.klvx")).items_raw_bytes()
    assert dict(items) == {f"key{i}".encode(): bytes([i]) * (i + 2) for i in range(100)}
