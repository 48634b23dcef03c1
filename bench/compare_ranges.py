"""Ordered queries: key ranges, seeks and reverse scans, beside a prefix scan, a get and LMDB.

    python bench/compare_ranges.py [--scale 1000000] [--reps 5] [--cpu-time] [--tiny]
    (compare.py runs it as a section)

compare.py runs this as its "ranges" section (in each interpreter it measures). The store:
keys "user:%08d", 0 <= i < n, each mapping to a msgpack map of about 40 bytes, as a kalvex
file with the mapped index and, when the lmdb package is importable, an LMDB file of the
same pairs. Each figure is per query or per item, over random places in the key order:

- a range of 100 keys (``range_raw(start, stop)``) against the prefix scan that lists the
  same 100 keys (``items_raw(prefix)``) and against LMDB's cursor ``set_range(start)``
  followed by 100 steps; the kalvex range decoded (``range``) against the decoded prefix
  scan (``prefix``) as well;
- a seek (``ceiling``) to a stored key against a ``get`` of it (raw payloads and decoded
  values) and against LMDB's ``set_range`` with the item it lands on; the same seek to a
  key between two stored ones (``ceiling_raw_between``: the search, not the hash probe);
- a reverse scan against a forward scan, per item, over runs of 1,000 keys.

The variants of each comparison are warmed, then timed interleaved, slice by slice of the
queries (short slices, a few milliseconds each), in alternating order, so a slow spell of
the shared machine falls on all of them: each ratio is the median of the per-slice ratios,
with their spread.
"""
from __future__ import annotations

import argparse
import gc
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from itertools import islice

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare  # noqa: E402  (the timing helpers)

KEY_FORMAT = "user:%08d"
RANGE = 100      # keys per range, and per prefix (the key without its last two digits)
RUN = 1000       # keys per forward or reverse scan
QUERIES = 20_000  # queries per series (a fifth of it for the scans of RUN keys)


def build(n: int, workdir: str) -> dict:
    """The kalvex file, and the LMDB file when lmdb is importable: {name: path}."""
    import kalvex
    import msgpack

    paths = {"kalvex": os.path.join(workdir, "ranges.klvx")}
    pairs = [((KEY_FORMAT % i).encode(), msgpack.packb({"i": i, "name": "n%d" % (i * 7919 % n)}))
             for i in range(n)]
    with kalvex.KalvWriter(paths["kalvex"]) as writer:
        for key, payload in pairs:
            writer[key] = msgpack.unpackb(payload)
    try:
        import lmdb
    except ImportError:
        return paths
    paths["lmdb"] = os.path.join(workdir, "ranges.lmdb")
    env = lmdb.open(paths["lmdb"], subdir=False, map_size=max(1 << 30, n * 400), sync=False)
    with env.begin(write=True) as txn:
        cursor = txn.cursor()
        cursor.putmulti(pairs, append=True)
    env.close()
    return paths


def interleaved(variants: dict, args: list, reps: int, pairs: list, timer=compare, chunk: int = 1000) -> dict:
    """Per-item time of each variant(slice) over ``args``, the variants alternating within
    each slice; for each (a, b) in ``pairs``, the median of the per-slice ratios b / a and
    their spread."""
    parts = [args[i:i + chunk] for i in range(0, len(args), chunk)]
    names = list(variants)
    times: dict = {name: [] for name in names}
    ratios: dict = {pair: [] for pair in pairs}
    for name in names:  # warmed first: a hot cache, and PyPy's compiled loops
        variants[name](parts[0])
    if timer.COLLECT:
        gc.collect()
    for rep in range(reps):
        for part in parts:
            took = {}
            for name in (names if rep % 2 == 0 else names[::-1]):
                with timer.paused_gc():
                    t0 = timer.CLOCK()
                    variants[name](part)
                    took[name] = (timer.CLOCK() - t0) / len(part)
                times[name].append(took[name])
            for a, b in pairs:
                ratios[(a, b)].append(took[b] / took[a])
    out = {name: statistics.median(ts) for name, ts in times.items()}
    out["ratios"] = {f"{b} / {a}": (statistics.median(rs), min(rs), max(rs)) for (a, b), rs in ratios.items()}
    return out


def measure(n: int, paths: dict, reps: int, timer=compare) -> dict:
    import kalvex

    rng = random.Random(n)
    queries = QUERIES if n >= 100_000 else 200
    starts = [rng.randrange(n // RANGE) * RANGE for _ in range(queries)]
    raw = kalvex.KalvReader(paths["kalvex"], raw=True)
    decoded = kalvex.KalvReader(paths["kalvex"])
    env = txn = cursor = None
    if "lmdb" in paths:
        import lmdb
        env = lmdb.open(paths["lmdb"], subdir=False, readonly=True, lock=False)
        txn = env.begin(buffers=False)
        cursor = txn.cursor()
    keys = [(KEY_FORMAT % i).encode() for i in starts]
    bounds = [((KEY_FORMAT % i).encode(), (KEY_FORMAT % (i + RANGE)).encode(), (KEY_FORMAT % i)[:-2])
              for i in starts]
    # The same answers from every variant, before anything is timed.
    start, stop, prefix = bounds[0]
    want = list(raw.items_raw(prefix))
    assert len(want) == RANGE and list(raw.range_raw(start, stop)) == want
    assert list(decoded.range(start, stop)) == decoded.prefix(prefix)

    def lmdb_range(part):
        for start, _, _ in part:
            cursor.set_range(start)
            list(islice(cursor.iternext(), RANGE))

    def lmdb_seek(which):
        def run(part):
            for pair in part:
                cursor.set_range(pair[which])
                cursor.item()
        return run

    if cursor is not None:
        cursor.set_range(start)
        assert list(islice(cursor.iternext(), RANGE)) == want
    result = {}
    # Every variant drops each answer once made, as the LMDB loops do: answers kept alive
    # would time the allocator's growth instead.
    range_variants = {
        "prefix_raw": lambda part: [len(list(raw.items_raw(p))) for _, _, p in part],
        "range_raw": lambda part: [len(list(raw.range_raw(a, b))) for a, b, _ in part],
        "prefix": lambda part: [len(decoded.prefix(p)) for _, _, p in part],
        "range": lambda part: [len(list(decoded.range(a, b))) for a, b, _ in part],
    }
    pairs = [("prefix_raw", "range_raw"), ("prefix", "range")]
    if cursor is not None:
        range_variants["lmdb"] = lmdb_range
        pairs.append(("lmdb", "range_raw"))
    result["range"] = interleaved(range_variants, bounds, reps, pairs, timer, chunk=100)

    # Seeks to a stored key, and to a key between two stored ones (its ceiling is the next).
    def loop(seek, which):
        def run(part):
            for pair in part:
                seek(pair[which])
        return run

    seek_variants = {
        "get_raw": loop(raw.get_raw, 0),
        "ceiling_raw": loop(raw.ceiling, 0),
        "get": loop(decoded.get, 0),
        "ceiling": loop(decoded.ceiling, 0),
        "ceiling_raw_between": loop(raw.ceiling, 1),
    }
    pairs = [("get_raw", "ceiling_raw"), ("get", "ceiling"), ("get_raw", "ceiling_raw_between")]
    if cursor is not None:
        seek_variants["lmdb"] = lmdb_seek(0)
        seek_variants["lmdb_between"] = lmdb_seek(1)
        pairs += [("lmdb", "ceiling_raw"), ("lmdb_between", "ceiling_raw_between")]
    assert raw.ceiling(keys[0] + b"5") == raw.higher(keys[0])
    result["seek"] = interleaved(seek_variants, [(k, k + b"5") for k in keys], reps, pairs, timer)

    run = min(RUN, n // 4)
    runs = [(KEY_FORMAT % rng.randrange(run, n - run)).encode() for _ in range(max(10, queries // 5))]
    scan_variants = {
        "forward": lambda part: [len(list(raw.range_raw(a, limit=run))) for a in part],
        "reverse": lambda part: [len(list(raw.range_raw(stop=a, reverse=True, limit=run))) for a in part],
    }
    result["scan"] = interleaved(scan_variants, runs, reps, [("forward", "reverse")], timer, chunk=25)
    for name in ("forward", "reverse"):
        result["scan"][name] /= run  # per item
    raw.close()
    decoded.close()
    if env is not None:
        txn.abort()
        env.close()
    return result


def run(scales: list[int], reps: int, workdir: str, log, timer=compare) -> dict:
    out = {}
    for n in scales:
        log(f"  ranges at {n:,} keys: building")
        directory = tempfile.mkdtemp(dir=workdir)
        try:
            paths = build(n, directory)
            log(f"  ranges at {n:,} keys: timing")
            out[str(n)] = measure(n, paths, reps, timer)
        finally:
            shutil.rmtree(directory, ignore_errors=True)
    return out


def report(result: dict) -> str:
    lines = []
    for n, r in result.items():
        lines.append(f"{int(n):,} keys")
        for section, unit in (("range", "per range of 100"), ("seek", "per seek"), ("scan", "per item")):
            figures = "  ".join(f"{name} {1e6 * t:.2f} µs" for name, t in r[section].items() if name != "ratios")
            lines.append(f"  {section} ({unit}): {figures}")
            for what, (ratio, low, high) in r[section]["ratios"].items():
                lines.append(f"    {what}: {ratio:.2f}x  (slices {low:.2f}-{high:.2f})")
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--scale", type=int, default=compare.COLD)
    p.add_argument("--reps", type=int, default=5)
    p.add_argument("--tiny", action="store_true", help="a few thousand keys: checks the answers, seconds")
    p.add_argument("--workdir", help="where the stores are written (default: a temp dir)")
    p.add_argument("--cpu-time", action="store_true",
                   help="time the process's CPU time, which other work on the cores does not lengthen")
    args = p.parse_args(argv)
    if args.cpu_time:
        compare.CLOCK = time.process_time
    scale = 5000 if args.tiny else args.scale
    workdir = args.workdir or tempfile.mkdtemp()
    print(compare.interpreter_label())
    print(report(run([scale], 1 if args.tiny else args.reps, workdir,
                     lambda msg: print(msg, file=sys.stderr))), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
