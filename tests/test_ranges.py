"""Ordered queries (ranges, seeks, rank, key_at) against a sorted list of random keys, on
files with and without the mapped index and on sharded stores, through both backends; a
file that repeats a key; a damaged index, which must fail rather than answer short; and
the command's key ranges."""
import bisect
import random
import struct
import zlib

import msgpack
import pytest

import kalvex
import kalvex.shards
from kalvex.cli import main
from kalvex.errors import KalvCorruptError
from klvx_files import Container

pytestmark = pytest.mark.usefixtures("backend")

# Short keys over a few byte values: shared prefixes, prefix-of-key pairs, bytes that are
# not UTF-8 and the empty key all come often.
PIECES = [b"", b"a", b"b", b"\x00", b"\xc3", b"\xa9", b"\xff", b"z"]


def random_keys(n, seed):
    rng = random.Random(seed)
    keys = set()
    while len(keys) < n:
        keys.add(b"".join(rng.choice(PIECES) for _ in range(rng.randrange(6))))
    return sorted(keys)


def probes(keys, rng, count):
    """Bounds to ask with: keys, their neighbours, and keys outside them all."""
    near = [b"", b"\xff" * 8, b"\x00", b"m"]
    for key in rng.sample(keys, min(len(keys), count)):
        near += [key, key + b"\x00", key[:-1]]
    return near


# (keys, kind): files of 0, 1 and 60 keys, and one long enough for the reads to grow to
# whole chunks; each as a file with and without the mapped index, and sharded.
STORES = [(n, kind) for n in (0, 1, 60, 2600) for kind in ("index", "plain", "shards")]


@pytest.fixture(scope="module", params=STORES, ids=lambda p: f"{p[0]}-{p[1]}")
def store(request, tmp_path_factory):
    n, kind = request.param
    keys = random_keys(n, seed=n)
    path = tmp_path_factory.mktemp("ranges") / "s"
    items = [(key, key) for key in keys]  # each value is its key's bytes
    if kind == "shards":
        kalvex.shards.build(items, path, 3, processes=1)
    else:
        kalvex.build(str(path), dict(items), index=kind == "index")
    return str(path), keys


def model_range(keys, start=None, stop=None, reverse=False, limit=None):
    got = [key for key in keys if (start is None or key >= start) and (stop is None or key < stop)]
    return (got[::-1] if reverse else got)[:limit]


def test_ranges_are_the_sorted_list_sliced(store):
    path, keys = store
    rng = random.Random(len(keys))
    bounds = [None, *probes(keys, rng, 6)]
    with kalvex.open(path, key_type=bytes) as r:
        for _ in range(60):
            start, stop = rng.choice(bounds), rng.choice(bounds)
            options = {"reverse": rng.random() < 0.5, "limit": rng.choice([None, None, 0, 1, 3, 300])}
            want = model_range(keys, start, stop, **options)
            assert list(r.range_keys(start, stop, **options)) == want, (start, stop, options)
            assert list(r.range(start, stop, **options)) == [(key, key) for key in want]
            assert list(r.range_raw(start, stop, **options)) == [(key, msgpack.packb(key)) for key in want]
            assert [key for key, _ in r.range_ids(start, stop, **options)] == want
        assert list(r.range(reverse=True)) == [(key, key) for key in reversed(keys)]
        # Keys holding one value share its id; keys of different values never do.
        assert len({oid for _, oid in r.range_ids()}) == len(keys)


def test_seeks_rank_and_key_at_agree_with_bisect(store):
    path, keys = store
    n = len(keys)
    with kalvex.open(path, key_type=bytes) as r:
        for key in probes(keys, random.Random(n), 40):
            low, high = bisect.bisect_left(keys, key), bisect.bisect_right(keys, key)
            entry = lambda i: (keys[i], keys[i]) if 0 <= i < n else None  # noqa: E731
            assert (r.ceiling(key), r.higher(key), r.floor(key), r.lower(key), r.rank(key)) == (
                entry(low), entry(high), entry(high - 1), entry(low - 1), low), key
        for i in [0, 1, n // 2, n - 1, -1, -n]:
            if -n <= i < n:
                assert r.key_at(i) == keys[i]
        for i in (n, -n - 1):
            with pytest.raises(IndexError):
                r.key_at(i)


def test_text_keys_order_by_their_utf8_bytes(tmp_path):
    data = {"a": 1, "z": 2, "é": 3, "日本": 4}
    path = kalvex.build(str(tmp_path / "t.klvx"), data)
    for opened in (lambda: kalvex.KalvReader(path), lambda: kalvex.open(
            kalvex.shards.build(data.items(), tmp_path / "t.shards", 2, processes=1))):
        with opened() as r:
            assert list(r.range_keys("z")) == ["z", "é", "日本"]
            assert r.higher("z") == ("é", 3) and r.floor("é") == ("é", 3) and r.rank("é".encode()) == 2
            assert list(r.range("é", reverse=True)) == [("日本", 4), ("é", 3)]


def test_a_repeated_key_counts_once_per_entry(tmp_path):
    # A file written elsewhere may repeat a key: it is one entry per occurrence.
    container = Container()
    for key, payload in [(b"a", b"\x01"), (b"k", b"\x02"), (b"k", b"\x03"), (b"z", b"\x04")]:
        container.add_entry(key, container.add_object(payload))
    (tmp_path / "r.klvx").write_bytes(bytes(container.build()))
    with kalvex.KalvReader(str(tmp_path / "r.klvx"), key_type=bytes) as r:
        assert list(r.range("k")) == [(b"k", 2), (b"k", 3), (b"z", 4)]
        assert (r.rank(b"k"), r.rank(b"k\x00"), r.key_at(2)) == (1, 3, b"k")
        # A stored key is its own ceiling and floor, with the value get gives it.
        assert (r.ceiling(b"k"), r.floor(b"k"), r.higher(b"k"), r.lower(b"k")) == (
            (b"k", 3), (b"k", 3), (b"z", 4), (b"a", 1))
        assert (r.ceiling(b"j"), r.floor(b"l")) == ((b"k", 2), (b"k", 3))


@pytest.mark.parametrize("bad, error", [
    ({"start": 3}, TypeError), ({"stop": "\udcff"}, ValueError), ({"limit": -1}, ValueError),
    ({"limit": 1.5}, TypeError)])
def test_bad_arguments_fail_at_the_call(tmp_path, bad, error):
    path = kalvex.build(str(tmp_path / "s.klvx"), {"a": 1})
    with kalvex.KalvReader(path) as r:
        with pytest.raises(error):
            r.range(**bad)


def test_a_closed_reader_refuses_ranges_and_their_next_step(tmp_path):
    path = kalvex.build(str(tmp_path / "s.klvx"), {f"k{i:04d}": i for i in range(300)})
    r = kalvex.KalvReader(path)
    forward, backward = r.range(), r.range_keys(reverse=True)
    next(forward), next(backward)
    r.close()
    for call in (lambda: next(forward), lambda: next(backward), lambda: r.range(), lambda: r.ceiling("k"),
                 lambda: r.rank("k"), lambda: r.key_at(0)):
        with pytest.raises(ValueError, match="closed"):
            call()


def _swap_rank_samples(data, first, second):
    """Rank samples ``first`` and ``second`` of the file's mapped index swapped, the file's
    CRC re-sealed: each still names a whole entry, of another rank."""
    trailer = struct.unpack_from(">Q", data, 16)[0] - 76  # the index trailer's size
    count = struct.unpack_from(">I", data, trailer + 12)[0]
    samples = -(-count // 2 ** data[trailer + 9])
    start = trailer - 8 * samples
    a, b = (slice(start + 8 * i, start + 8 * i + 8) for i in (first, second))
    data[a], data[b] = data[b], data[a]
    struct.pack_into(">I", data, 32, zlib.crc32(data[40:]))


def test_a_damaged_index_fails_a_range_never_shortens_it(tmp_path):
    keys = [f"k{i:04d}".encode() for i in range(400)]
    path = tmp_path / "d.klvx"
    kalvex.build(str(path), {key: 1 for key in keys})
    data = bytearray(path.read_bytes())
    _swap_rank_samples(data, 3, 7)
    path.write_bytes(bytes(data))
    failed = 0
    with kalvex.KalvReader(str(path), key_type=bytes, verify=True) as r:
        for key in keys[::5]:
            try:
                assert list(r.range_keys(key, limit=20)) == model_range(keys, key, limit=20)
                assert r.rank(key) == keys.index(key)
            except KalvCorruptError:
                failed += 1
    assert failed >= 10  # each seek that lands in or beside the two blocks


@pytest.mark.parametrize("options", [
    ["--from", "b", "--to", "z"], ["--reverse", "--limit", "5"], ["--from", "a", "--limit", "0"],
    ["--prefix", "a", "--from", "ab", "--reverse"], ["--to", ""]])
@pytest.mark.parametrize("sharded", [False, True])
def test_the_command_lists_the_range_of_keys_and_dump(tmp_path, capsysbinary, options, sharded):
    keys = [key for key in random_keys(200, seed=7) if key.isascii() and b"\x00" not in key]
    data = {key.decode(): 0 for key in keys}
    path = str(tmp_path / "s.klvx")
    if sharded:
        path = kalvex.shards.build(data.items(), tmp_path / "s.shards", 3, processes=1)
    else:
        kalvex.build(path, data)
    start = options[options.index("--from") + 1].encode() if "--from" in options else None
    stop = options[options.index("--to") + 1].encode() if "--to" in options else None
    limit = int(options[options.index("--limit") + 1]) if "--limit" in options else None
    if "--prefix" in options:
        keys = [key for key in keys if key.startswith(b"a")]
    want = model_range(keys, start, stop, "--reverse" in options, limit)
    assert main(["keys", path, *options]) == 0
    assert capsysbinary.readouterr().out.splitlines() == want
    assert main(["keys", path, *options, "--count"]) == 0
    assert capsysbinary.readouterr().out == b"%d\n" % len(want)
    assert main(["dump", path, *options]) == 0
    assert capsysbinary.readouterr().out.count(b'"value":0') == len(want)
