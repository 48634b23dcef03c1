"""Read-side benchmark: point lookups, open, verification, scans and reader memory.

    python bench/bench_read.py [--keys N] [--probes N] [--dir DIR]

Builds a store of N keys "user:%08d" (payloads of 40 to 200 random bytes, every 4th key
sharing the previous key's object), then times each read path beside a peer doing the
same work: dict.get on the same probes and payloads, an LMDB environment holding the
same pairs (if the lmdb package is installed), and a plain read of the file. Prints
one line per measurement with its ratio and the target it is held to. Figures are the
best of a few rounds, taken with the page cache warm. Never part of the test suite.
"""
import argparse
import gc
import os
import random
import shutil
import struct
import sys
import tempfile
import time
import zlib

from kalvex import _kalvex

try:
    import lmdb
except ImportError:  # the peer is optional
    lmdb = None

ROUNDS = 5


def best(fn, rounds=ROUNDS):
    """Smallest wall time of `rounds` calls of fn(), in seconds."""
    times = []
    for _ in range(rounds):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def make_items(n, seed=1):
    """(key, object index) pairs and the payload list: every 4th key shares an object."""
    rng = random.Random(seed)
    payloads, keys = [], []
    for i in range(n):
        if i % 4 != 3:
            payloads.append(rng.randbytes(rng.randint(40, 200)) if hasattr(rng, "randbytes")
                            else bytes(rng.getrandbits(8) for _ in range(rng.randint(40, 200))))
        keys.append(("user:%08d" % i, len(payloads) - 1))
    return keys, payloads


def build_with_writer(path, keys, payloads):
    w = _kalvex._KalvWriter()
    ids = [w.add_object_raw(p) for p in payloads]
    for key, index in keys:
        w.add_key(key, ids[index])
    sys.stdout.flush()
    w.build(path)


def build_by_hand(path, keys, payloads):
    """The container layout written directly, for when the writer is unavailable."""
    data, offsets = bytearray(), []
    for p in payloads:
        offsets.append(40 + len(data))
        data += struct.pack(">II", len(p), zlib.crc32(p)) + p
    index = bytearray()
    for key, i in sorted(keys):
        k = key.encode()
        index += struct.pack(">H", len(k)) + k + struct.pack(">Q", offsets[i])
    body = bytes(data) + bytes(index)
    header = struct.pack(">4sB3xIIQQI4x", b"KLVX", 2, len(keys), len(payloads),
                         40 + len(data), 40, zlib.crc32(body))
    with open(path, "wb") as f:
        f.write(header + body)


def rss_kb():
    """(anonymous, file-backed) resident kilobytes of this process."""
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            fields[name] = value.split()[0] if value.split() else "0"
    return int(fields.get("RssAnon", 0)), int(fields.get("RssFile", 0))


def report(name, ours, peer=None, peer_name="", target=None, unit="ns"):
    line = "%-34s %10.2f %s" % (name, ours, unit)
    if peer is not None:
        ratio = ours / peer if peer else float("inf")
        line += "   %-22s %10.1f %s   ratio %.2f" % (peer_name, peer, unit, ratio)
        if target is not None:
            line += "  (target <= %.2f: %s)" % (target, "met" if ratio <= target else "MISSED")
    elif target is not None:
        line += "  (target <= %.2f: %s)" % (target, "met" if ours <= target else "MISSED")
    print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--probes", type=int, default=200_000)
    parser.add_argument("--dir", default=None, help="where to put the store (default: a temp dir)")
    args = parser.parse_args()
    n = args.keys
    workdir = tempfile.mkdtemp(dir=args.dir, prefix="bench_read.")
    try:
        run(n, args.probes, workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def run(n, probe_count, workdir):
    path = os.path.join(workdir, "bench.klvx")
    keys, payloads = make_items(n)
    t = time.perf_counter()
    try:
        build_with_writer(path, keys, payloads)
        how = "writer"
    except Exception as exc:  # the writer may not exist yet in a given checkout
        print("writer unavailable (%s); encoding by hand" % exc)
        build_by_hand(path, keys, payloads)
        how = "hand encoder"
    size = os.path.getsize(path)
    key_bytes = sum(len(k) for k, _ in keys)
    print("store: %d keys, %d objects, %.1f MB, built by %s in %.1f s"
          % (n, len(payloads), size / 1e6, how, time.perf_counter() - t))

    with open(path, "rb") as f:  # warm the page cache
        while f.read(1 << 24):
            pass

    # Open: memory first, on a fresh reader.
    gc.collect()
    anon0, file0 = rss_kb()
    reader = _kalvex._KalvReader(path, verify=False)
    anon1, file1 = rss_kb()
    report("RSS growth at open (anon) / key", (anon1 - anon0) * 1024 / n,
           target=key_bytes / n + 24, unit="B ")
    report("RSS growth at open (file) / key", (file1 - file0) * 1024 / n, unit="B ")
    print("  (target: key bytes + 24 = %.1f B/key)" % (key_bytes / n + 24))

    open_plain = best(lambda: _kalvex._KalvReader(path, verify=False))
    open_verified = best(lambda: _kalvex._KalvReader(path, verify=True))
    buffer = bytearray(size)

    def plain_read():
        with open(path, "rb", buffering=0) as f:
            f.readinto(buffer)
    read_time = best(plain_read)
    verify_time = best(reader.verify)
    report("open verify=False / key", open_plain * 1e9 / n, target=30)
    report("open verify=True, extra", (open_verified - open_plain) * 1e3, read_time * 1e3,
           "plain readinto", target=1.25, unit="ms")
    report("verify()", verify_time * 1e3, read_time * 1e3, "plain readinto", target=2.5, unit="ms")

    # Point lookups on fresh probe strings, as a caller's keys would arrive.
    rng = random.Random(2)
    probes = ["user:%08d" % rng.randrange(n) for _ in range(probe_count)]
    probe_bytes = [p.encode() for p in probes]
    table = {key: payloads[i] for key, i in keys}

    def loop(fn, items):
        def go():
            for k in items:
                fn(k)
        return go
    empty = best(loop(lambda k: None, probes))
    get_raw = best(loop(reader.get_raw, probes))
    exists = best(loop(reader.exists, probes))
    dict_get = best(loop(table.get, probes))
    report("get_raw / call", get_raw * 1e9 / probe_count, dict_get * 1e9 / probe_count,
           "dict.get", target=1.25)
    report("exists / call", exists * 1e9 / probe_count, dict_get * 1e9 / probe_count, "dict.get")
    print("  (a bare loop calling a lambda costs %.1f ns)" % (empty * 1e9 / probe_count))

    env = None
    if lmdb is not None:
        env = lmdb.open(os.path.join(workdir, "lmdb"), map_size=4 * size + (64 << 20),
                        subdir=True, sync=False, writemap=True, metasync=False)
        with env.begin(write=True) as txn:
            cur = txn.cursor()
            cur.putmulti(((k.encode(), payloads[i]) for k, i in keys), append=True)
        with env.begin() as txn:
            lmdb_get = best(loop(txn.get, probe_bytes))
        report("get_raw / call", get_raw * 1e9 / probe_count, lmdb_get * 1e9 / probe_count,
               "lmdb txn.get")
    else:
        print("lmdb not installed: LMDB comparisons skipped (pip install -r bench/requirements.txt)")

    # Scans: a prefix covering a tenth of the keys, and every item.
    # One more leading zero than the largest key has: the first tenth of the keys.
    zeros = 8 - len(str(n - 1)) + 1
    prefix = "user:" + "0" * zeros if n >= 10 else "user:"
    prefix_count = len(reader.prefix_raw(prefix))
    prefix_time = best(lambda: reader.prefix_raw(prefix))
    items_time = best(reader.items_raw)
    if env is not None:
        prefix_b = prefix.encode()

        def lmdb_prefix():
            out = []
            with env.begin() as txn:
                cur = txn.cursor()
                if cur.set_range(prefix_b):
                    for k, v in cur:
                        if not k.startswith(prefix_b):
                            break
                        out.append((k.decode(), v))
            return out

        def lmdb_items():
            with env.begin() as txn:
                return [(k.decode(), v) for k, v in txn.cursor()]
        assert len(lmdb_prefix()) == prefix_count
        report("prefix_raw / item", prefix_time * 1e9 / max(prefix_count, 1),
               best(lmdb_prefix) * 1e9 / max(prefix_count, 1), "lmdb cursor", target=0.5)
        report("items_raw / item", items_time * 1e9 / n, best(lmdb_items) * 1e9 / n,
               "lmdb cursor", target=0.5)
        env.close()
    else:
        report("prefix_raw / item", prefix_time * 1e9 / max(prefix_count, 1))
        report("items_raw / item", items_time * 1e9 / n)


if __name__ == "__main__":
    main()
