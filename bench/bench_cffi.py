"""The cffi binding (through the backend contract) against the C-API module and a dict,
side by side in one run.

    pypy3 bench/bench_cffi.py [--keys N] [--repeat R]

Prints nanoseconds per operation and each path's ratio to the C-API module. Meant for
PyPy, where the C-API emulation is the cost the cffi path removes; runs on CPython too.
No speed is asserted: the figures are for reading.
"""
import argparse
import gc
import os
import random
import sys
import tempfile
import time

from kalvex import _kalvex
from kalvex import _cffi


def per_op(fn, ops, repeat):
    """Best nanoseconds per operation over `repeat` runs of fn (which does `ops`)."""
    fn()  # warm the JIT
    fn()
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best / ops * 1e9


def quiet(call, *args):
    """Runs a build with file descriptor 1 sent to /dev/null (it prints its summary)."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        return call(*args)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--keys", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    n = args.keys
    rng = random.Random(7)
    keys = ["user:%08d" % i for i in range(n)]
    values = [bytes(rng.getrandbits(8) for _ in range(24)) for _ in range(n)]
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "bench.klvx")

    def build_with(new_writer, add_object):
        def run():
            w = new_writer()
            add = getattr(w, add_object)
            for k, v in zip(keys, values):
                w.add_key(k, add(v))
            quiet(w.build, path)
        return run

    rows = []
    build_repeat = max(1, min(args.repeat, 3))
    rows.append(("build, per key", {
        "_kalvex": per_op(build_with(_kalvex._KalvWriter, "add_object_raw"), n, build_repeat),
        "cffi": per_op(build_with(_cffi.new_writer, "add"), n, build_repeat),
        "cffi unique": per_op(build_with(_cffi.new_writer, "add_unique"), n, build_repeat),
    }))

    native = _kalvex._KalvReader(path)
    fast = _cffi.open_reader(path, True)

    def listing(first, last, key_type, payloads=True):
        """Every entry of [first, last) from read_range chunks: pairs, or keys alone."""
        out = []
        while first < last:
            chunk_keys, chunk_payloads, _ = fast.read_range(first, last, key_type, payloads)
            out += zip(chunk_keys, chunk_payloads) if payloads else chunk_keys
            first += len(chunk_keys)
        return out
    table = dict(zip(keys, values))
    probes = keys[:]
    rng.shuffle(probes)
    absent = ["nope:%08d" % i for i in range(n)]

    def lookups(get, probe_keys):
        def run():
            for k in probe_keys:
                get(k)
        return run

    rows.append(("raw lookup, present", {
        "_kalvex": per_op(lookups(native.get_raw, probes), n, args.repeat),
        "cffi": per_op(lookups(fast.find, probes), n, args.repeat),
        "dict": per_op(lookups(table.get, probes), n, args.repeat),
    }))
    rows.append(("raw lookup, absent", {
        "_kalvex": per_op(lookups(native.get_raw, absent), n, args.repeat),
        "cffi": per_op(lookups(fast.find, absent), n, args.repeat),
        "dict": per_op(lookups(table.get, absent), n, args.repeat),
    }))

    def drain(iterable_factory):
        def run():
            for _ in iterable_factory():
                pass
        return run

    rows.append(("items listing, per item", {
        "_kalvex": per_op(drain(native.items_raw), n, args.repeat),
        "cffi": per_op(drain(lambda: listing(0, n, str)), n, args.repeat),
        "cffi bytes keys": per_op(drain(lambda: listing(0, n, bytes)), n, args.repeat),
        "dict": per_op(drain(table.items), n, args.repeat),
    }))
    rows.append(("keys listing, per key", {
        "_kalvex": per_op(drain(native.keys), n, args.repeat),
        "cffi": per_op(drain(lambda: listing(0, n, str, False)), n, args.repeat),
    }))
    prefixes = ["user:%05d" % i for i in range(0, n // 1000 or 1)]  # 1000 keys each
    scanned = sum(len(native.prefix_raw(p)) for p in prefixes)

    def scans(scan):
        def run():
            for p in prefixes:
                scan(p)
        return run

    rows.append(("prefix scan, per item", {
        "_kalvex": per_op(scans(native.prefix_raw), scanned, args.repeat),
        "cffi": per_op(scans(lambda p: listing(*fast.prefix_range(p), str)), scanned, args.repeat),
    }))
    fast.close()

    impl = "%s %s" % (sys.implementation.name, ".".join(map(str, sys.version_info[:3])))
    print("%s, %d keys, best of %d; ns per operation (ratio to _kalvex)" % (impl, n, args.repeat))
    for name, figures in rows:
        base = figures["_kalvex"]
        cells = "  ".join("%s %.0f (%.2fx)" % (k, v, v / base) for k, v in figures.items())
        print("  %-24s %s" % (name, cells))


if __name__ == "__main__":
    main()
