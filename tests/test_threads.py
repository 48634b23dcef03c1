"""Readers shared between threads answer exactly as they do in one thread.

Every method of one reader runs from many threads at once, in a different order in each,
with the interpreter switching threads as often as it can; each answer, error or not, must
equal the one-thread answer. Writers used from several threads hand out every Object ID
once and never refuse a call for being busy.
"""
import random
import struct
import sys
import threading
import zlib

import pytest

from kalvex import _kalvex

_KalvReader = _kalvex._KalvReader
_KalvWriter = _kalvex._KalvWriter

THREADS = 8
ROUNDS = 3


@pytest.fixture(autouse=True)
def frequent_switches():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def build(writer, path):
    writer.build(str(path))
    return str(path)


def run_threads(target, count=THREADS):
    """Runs target(number, barrier) in `count` threads; returns what they raised."""
    barrier = threading.Barrier(count)
    errors = []

    def run(number):
        try:
            target(number, barrier)
        except BaseException as exc:  # handed to the main thread
            errors.append((number, exc))

    threads = [threading.Thread(target=run, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return errors


def outcome(call):
    try:
        return "ok", call()
    except Exception as exc:
        return type(exc), exc.args


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    """A store of 400 keys over 120 objects, and the same store with the record of one
    object (under the keys 'k0007...') claiming more bytes than the file holds."""
    directory = tmp_path_factory.mktemp("threads")
    writer = _KalvWriter()
    rng = random.Random(7)
    for i in range(120):
        writer.add_object_raw(bytes(rng.getrandbits(8) for _ in range(i * 3)))
    writer.add_key("", 0)
    writer.add_key("é-key", 5)
    for i in range(400):
        writer.add_key(f"k{i % 40:04d}/{i:04d}", (i * 7) % 120)
    healthy = build(writer, directory / "healthy.klvx")
    data = bytearray(open(healthy, "rb").read())
    offset = 40 + sum(8 + j * 3 for j in range(49))  # object 49: i * 7 % 120 == 49 at i = 7
    struct.pack_into(">I", data, offset, len(data))
    struct.pack_into(">I", data, 32, zlib.crc32(data[40:]))
    damaged = directory / "damaged.klvx"
    damaged.write_bytes(bytes(data))
    return healthy, str(damaged)


def every_call(reader):
    keys = reader.keys()
    calls = [("keys", ()), ("items_raw", ()), ("items_raw_bytes", ()), ("objects_raw", ()),
             ("stats", ()), ("verify", ()), ("__repr__", ()), ("close", ()),
             ("__enter__", ()), ("__exit__", (None, None, None))]
    for key in keys + ["missing", b"k0001/\xff"]:
        calls += [("get_raw", (key,)), ("exists", (key,))]
    for prefix in ["", b"", "k", "k00", "k0007", "k0007/0007", "é", b"\xc3", "z", "k0039/"]:
        calls.append(("prefix_raw", (prefix,)))
    return calls


@pytest.mark.parametrize("which", ["healthy", "damaged"])
def test_every_method_from_many_threads_answers_as_in_one(stores, which):
    reader = _KalvReader(stores[which == "damaged"])
    calls = every_call(reader)
    expected = [outcome(lambda: getattr(reader, m)(*a)) for m, a in calls]
    if which == "damaged":
        assert sum(e[0] is RuntimeError for e in expected) >= 5  # the damage is reached

    def work(number, barrier):
        order = list(range(len(calls)))
        random.Random(number).shuffle(order)
        barrier.wait()
        for _ in range(ROUNDS):
            for i in order:
                method, args = calls[i]
                got = outcome(lambda: getattr(reader, method)(*args))
                assert got == expected[i], (method, args, got, expected[i])

    assert run_threads(work) == []


def test_readers_opened_and_dropped_in_many_threads(stores):
    healthy, damaged = stores
    reference = _KalvReader(healthy).items_raw()

    def work(number, barrier):
        barrier.wait()
        for _ in range(20):
            reader = _KalvReader(healthy, verify=number % 2 == 0)
            assert reader.items_raw() == reference
            with pytest.raises(RuntimeError, match="^KalvCorruptError: object at "):
                _KalvReader(damaged).verify()
            del reader

    assert run_threads(work) == []


def test_one_writer_filled_from_many_threads(tmp_path):
    writer = _KalvWriter()
    per_thread = 300
    ids = [[] for _ in range(THREADS)]

    def work(number, barrier):
        barrier.wait()
        for i in range(per_thread):
            payload = f"{number}:{i}".encode()
            obj_id = writer.add_object_raw(payload)
            ids[number].append(obj_id)
            writer.add_key(payload, obj_id)
            if i % 50 == 0:  # shared use beside the exclusive adds of other threads
                repr(writer)
                writer.build(str(tmp_path / f"snapshot{number}.klvx"))

    assert run_threads(work) == []
    all_ids = sorted(obj_id for thread_ids in ids for obj_id in thread_ids)
    assert all_ids == list(range(THREADS * per_thread))
    assert all(thread_ids == sorted(thread_ids) for thread_ids in ids)
    path = build(writer, tmp_path / "all.klvx")
    reader = _KalvReader(path)
    assert reader.verify() is True
    assert reader.items_raw_bytes() == sorted((f"{n}:{i}".encode(),) * 2
                                              for n in range(THREADS)
                                              for i in range(per_thread))
    for snapshot in tmp_path.glob("snapshot*.klvx"):
        # Every build wrote a whole store: its keys all resolve, each to its own name.
        items = _KalvReader(str(snapshot)).items_raw_bytes()
        assert items and all(key == payload for key, payload in items)


class Parked:
    """An obj_id (or key byte source) whose conversion waits until another thread is done."""

    def __init__(self):
        self.inside = threading.Event()
        self.release = threading.Event()

    def wait(self):
        self.inside.set()
        assert self.release.wait(timeout=60)

    def __index__(self):
        self.wait()
        return 0

    def __len__(self):
        return 1

    def __getitem__(self, i):  # iterated as a sequence: the one byte b"k"
        if i > 0:
            raise IndexError(i)
        self.wait()
        return ord("k")


def test_a_writer_busy_in_another_thread_refuses_and_recovers(tmp_path):
    writer = _KalvWriter()
    writer.add_object_raw(b"first")
    parked = Parked()
    seen = []

    def meanwhile():
        try:
            assert parked.inside.wait(timeout=60)
            for call in (lambda: writer.add_object_raw(b"x"), lambda: writer.add_key("y", 0),
                         lambda: repr(writer), lambda: writer.build(str(tmp_path / "no.klvx"))):
                seen.append(outcome(call))
        finally:  # a failure here must not leave the parked call waiting
            parked.release.set()

    other = threading.Thread(target=meanwhile)
    other.start()
    writer.add_key("k", parked)  # converting obj_id runs Python code under exclusive use
    other.join()
    assert seen == [(RuntimeError, ("Already borrowed",))] * 2 + [
        (RuntimeError, ("Already mutably borrowed",))] * 2
    assert list(tmp_path.iterdir()) == []
    assert writer.add_object_raw(b"second") == 1 and repr(writer) == (
        "_KalvWriter(objects=2, keys=1)")


def test_a_reader_busy_in_another_thread_keeps_answering(stores):
    reader = _KalvReader(stores[0])
    expected = reader.items_raw()
    parked = Parked()
    seen = []

    def meanwhile():
        try:
            assert parked.inside.wait(timeout=60)
            seen.append((reader.items_raw(), reader.get_raw(""), reader.verify()))
        finally:
            parked.release.set()

    other = threading.Thread(target=meanwhile)
    other.start()
    assert reader.get_raw(parked) is None  # the key bytes b"k" are not stored
    other.join()
    assert seen == [(expected, b"", True)]
