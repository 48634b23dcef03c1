#!/usr/bin/env python3
"""Compressed values against the same store without compression, measured side by side.

    python bench/bench_compression.py [--real PATH] [--synthetic 1000000] [--reps 5]
                                      [--backend native|cffi] [--skip-build]

Two data sets: the real rows of a package index listing (``--real``, a .tsv.gz with a
header line; key = its first column, value = the row's other columns as a map), and
``--synthetic`` JSON-like records of about 1 KB (nested maps, lists, numbers and text
drawn from a vocabulary), made on the fly from a seed so that no process holds them all.

For each set, two stores of the same records: plain and ``compression="zstd"`` (level 3,
dictionary trained at build). Reported, as compressed / plain ratios:

- file size;
- build: wall time of ``KalvWriter.update`` + ``build`` (encoding and training included)
  and the writer process's peak resident memory over its resident memory before the
  writer was made, each in a child process, the two kinds alternating (``--reps`` each);
- decoded ``r[key]`` hot (the same 10,000 keys again and again: CPU caches) and cold
  (random keys over the whole store: the working set is far beyond the caches; the files
  stay in the page cache), ``get_raw`` likewise (no msgpack decoding: the difference
  between the two stores' ``get_raw`` is the decompression, CRC check included), ``get_many``
  in batches of 1,000 random keys, and a listing (``items()`` over 10,000 consecutive keys).

Every read figure is the median of ``--reps`` rounds in which the two stores take turns,
with the cyclic garbage collector off. Nothing is asserted.

Then, for the real rows, a size table of the same (key, msgpack value) pairs in the peers
(LMDB, SQLite, LevelDB, which compresses its blocks) as bench/compare_compression.py makes
it, each skipped when its package is missing.
"""
from __future__ import annotations

import argparse
import gc
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Iterator

import kalvex
from kalvex import KalvReader, KalvWriter, _backend

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from compare_data import real_rows, synthetic_rows  # noqa: E402

def rows_of(kind: str, arg: str) -> Iterator[tuple[str, Any]]:
    return real_rows(arg) if kind == "real" else synthetic_rows(int(arg))


def child_build(kind: str, arg: str, path: str, compression: str, backend: str) -> None:
    """Runs in a child: builds one store, prints seconds and peak bytes over the start."""
    _backend.use(backend)
    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    writer = KalvWriter(path, compression=compression or None)
    writer.update(rows_of(kind, arg))
    writer.build()
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(seconds, (peak - before) * 1024)


def build_both(kind: str, arg: str, directory: str, reps: int, backend: str) -> dict[str, list[float]]:
    results: dict[str, list[float]] = {"plain time": [], "zstd time": [], "plain memory": [], "zstd memory": []}
    for rep in range(reps):
        order = ("", "zstd") if rep % 2 == 0 else ("zstd", "")
        for compression in order:
            name = compression or "plain"
            out = subprocess.run([sys.executable, __file__, "--child", kind, arg, os.path.join(directory, f"{name}.klvx"),
                                  compression, backend], capture_output=True, text=True, check=True).stdout.split()
            results[f"{name} time"].append(float(out[0]))
            results[f"{name} memory"].append(float(out[1]))
    return results


def timed(call: Callable[[], Any], count: int) -> float:
    """Nanoseconds per item of one call that handles `count` items."""
    start = time.perf_counter()
    call()
    return (time.perf_counter() - start) * 1e9 / count


def reads(plain: KalvReader, packed: KalvReader, keys: list[str], reps: int) -> dict[str, list[tuple[float, float]]]:
    rng = random.Random(5)
    hot = rng.sample(keys, min(10_000, len(keys)))
    cold = [rng.choice(keys) for _ in range(200_000)]
    batches = [cold[i:i + 1000] for i in range(0, 100_000, 1000)]

    def get_loop(r: KalvReader, ks: list[str]) -> Callable[[], None]:
        def run() -> None:
            for k in ks:
                r[k]
        return run

    def raw_loop(r: KalvReader, ks: list[str]) -> Callable[[], None]:
        get_raw = r.get_raw

        def run() -> None:
            for k in ks:
                get_raw(k)
        return run

    def many(r: KalvReader) -> Callable[[], None]:
        def run() -> None:
            for batch in batches:
                r.get_many(batch)
        return run

    def listing(r: KalvReader) -> Callable[[], None]:
        def run() -> None:
            n = 0
            for _ in r.items():
                n += 1
                if n == 10_000:
                    break
        return run

    cases: dict[str, tuple[Callable[[KalvReader], Callable[[], None]], int]] = {
        "r[key] hot": (lambda r: get_loop(r, hot * 5), len(hot) * 5),
        "r[key] cold": (lambda r: get_loop(r, cold), len(cold)),
        "get_raw hot": (lambda r: raw_loop(r, hot * 5), len(hot) * 5),
        "get_raw cold": (lambda r: raw_loop(r, cold), len(cold)),
        "get_many cold (1,000 a call)": (many, 100_000),
        "items(), first 10,000": (listing, 10_000),
    }
    out: dict[str, list[tuple[float, float]]] = {name: [] for name in cases}
    gc.disable()
    try:
        for rep in range(reps):
            for name, (make, count) in cases.items():
                pair = []
                for r in ((plain, packed) if rep % 2 == 0 else (packed, plain)):
                    pair.append((r is packed, timed(make(r), count)))
                pair.sort()
                out[name].append((pair[0][1], pair[1][1]))
    finally:
        gc.enable()
    return out


def report(title: str, plain_path: str, packed_path: str, built: dict[str, list[float]] | None,
           read: dict[str, list[tuple[float, float]]], packed: KalvReader) -> None:
    print(f"\n## {title}\n")
    stats = packed.stats()
    size_plain, size_packed = os.path.getsize(plain_path), os.path.getsize(packed_path)
    print(f"file size: plain {size_plain:,} B, zstd {size_packed:,} B, ratio {size_packed / size_plain:.3f}")
    print(f"values: {stats['original_bytes']:,} B -> {stats['stored_bytes']:,} B (ratio {stats['ratio']:.3f}), "
          f"dictionary {stats['dictionary_size']:,} B")
    if built:
        for what, unit, scale in (("time", "s", 1.0), ("memory", "MiB", 1 / 2**20)):
            p, c = statistics.median(built[f"plain {what}"]), statistics.median(built[f"zstd {what}"])
            print(f"build {what}: plain {p * scale:.2f} {unit}, zstd {c * scale:.2f} {unit}, ratio {c / p:.2f}")
    print("\n| read | plain ns | zstd ns | ratio |\n|---|---|---|---|")
    for name, pairs in read.items():
        p = statistics.median(x for x, _ in pairs)
        c = statistics.median(y for _, y in pairs)
        print(f"| {name} | {p:.0f} | {c:.0f} | {c / p:.2f} |")


def peer_sizes(rows: Iterator[tuple[str, Any]], plain_path: str, packed_path: str, directory: str) -> None:
    """The file size of each peer holding the pairs, beside kalvex's two stores."""
    from compare_compression import pairs, sizes

    table = sizes(pairs(list(rows)), plain_path, packed_path, directory)
    plain = table["kalvex"]
    print("\n| store | bytes | of kalvex plain |\n|---|---|---|")
    for label, size in table.items():
        print(f"| {label} | {size:,} | {size / plain:.2f} |" if isinstance(size, int) else f"| {label} | {size} | |")


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        child_build(*sys.argv[2:7])
        return
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    # The shared data directory beside the checkout (../shared/data from its root).
    parser.add_argument("--real", default=os.path.join(here, "..", "..", "shared", "data", "listing.tsv.gz"))
    parser.add_argument("--synthetic", type=int, default=1_000_000)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--build-reps", type=int, default=2)
    parser.add_argument("--backend", default=None)
    args = parser.parse_args()
    backend = args.backend or ("cffi" if sys.implementation.name == "pypy" else "native")
    _backend.use(backend)
    print(f"# compressed against plain stores ({sys.implementation.name}, backend {backend}, kalvex {kalvex.__version__})")
    sets = [("real", args.real, "real rows (listing.tsv.gz)")] if os.path.exists(args.real) else []
    if args.synthetic:
        sets.append(("synthetic", str(args.synthetic), f"{args.synthetic:,} synthetic JSON-like records of ~1 KB"))
    for kind, arg, title in sets:
        with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as directory:
            built = build_both(kind, arg, directory, args.build_reps, backend)
            plain_path, packed_path = os.path.join(directory, "plain.klvx"), os.path.join(directory, "zstd.klvx")
            keys = [key for key, _ in rows_of(kind, arg)]
            with KalvReader(plain_path) as plain, KalvReader(packed_path) as packed:
                read = reads(plain, packed, keys, args.reps)
                report(title, plain_path, packed_path, built, read, packed)
            if kind == "real":
                peer_sizes(rows_of(kind, arg), plain_path, packed_path, directory)


if __name__ == "__main__":
    main()
