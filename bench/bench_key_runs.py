#!/usr/bin/env python3
"""A writer's peak memory and build time with a memory budget, beside the same writer
without one: what spilling keys to sorted runs (and merging them at build) costs and saves.

    python bench/bench_key_runs.py [--keys 2000000] [--limit-mib 512] [--index] [--dedupe]
                                   [--values N]

For each order of keys (in key order, then scrambled) a fresh child process fills a
``KalvWriter`` given its path through ``add_many_raw`` with N keys of 16 bytes and 100-byte
values, made on the fly (the caller keeps none), builds it and reports its peak resident
memory (``getrusage``), its memory before the writer was made, and the seconds of adding
and of building. The budgeted writer (``memory_limit=--limit-mib``) and one whose budget
(64 GiB) is never reached run alternately, the budgeted one first, and the ratios
budgeted / unbounded are printed. The two files must be byte for byte the same: the bench
stops if not. Mapped index and dedupe are off unless asked for, so the figures are the
keys' and the values' costs alone. With ``--values N`` key i gets value i mod N, so that
values repeat (with --dedupe, repeats past the duplicate finder's share of the budget are
found at build). Nothing else is asserted.
"""
from __future__ import annotations

import argparse
import filecmp
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

from kalvex import KalvWriter

UNBOUNDED = 64 << 30


def rss_mib() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def child(n: int, path: str, limit: int, shuffled: bool, index: bool, dedupe: bool, values: int) -> None:
    # A scrambled order without a list of keys: i times an odd constant is a bijection
    # modulo 2^64, so the keys stay distinct and 16 bytes long.
    scramble = 0x9E3779B97F4A7C15 if shuffled else 1
    mask = (1 << 64) - 1
    before = rss_mib()
    writer = KalvWriter(path, memory_limit=limit, index=index, dedupe=dedupe)
    start = time.perf_counter()
    pad = b"v" * 92
    writer.add_many_raw(((i % values).to_bytes(8, "little") + pad, (b"%016x" % (i * scramble & mask),))
                        for i in range(n))
    added = time.perf_counter()
    writer.build()
    built = time.perf_counter()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"peak_mib": peak, "before_mib": before, "add_s": added - start, "build_s": built - added}))


def run(n: int, directory: str, name: str, limit: int, shuffled: bool, index: bool, dedupe: bool,
        values: int) -> dict:
    path = os.path.join(directory, name)
    command = [sys.executable, __file__, "--child", str(n), path, str(limit), str(int(shuffled)),
               str(int(index)), str(int(dedupe)), str(values)]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        n, path, limit, shuffled, index, dedupe, values = sys.argv[2:9]
        child(int(n), path, int(limit), shuffled == "1", index == "1", dedupe == "1", int(values))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=2_000_000)
    parser.add_argument("--limit-mib", type=int, default=512)
    parser.add_argument("--index", action="store_true", help="build with the mapped index")
    parser.add_argument("--dedupe", action="store_true", help="dedupe values (the payload index)")
    parser.add_argument("--values", type=int, default=0, help="distinct values (default: one per key)")
    parser.add_argument("--dir", default=None, help="where the stores go (default: a temporary directory)")
    args = parser.parse_args()
    limit = args.limit_mib << 20
    values = args.values or args.keys
    print(f"{args.keys} keys of 16 bytes, {values} distinct 100-byte values, index={args.index}, dedupe={args.dedupe}")
    print(f"{'order':<10} {'budget':>10} {'peak MiB':>9} {'base MiB':>9} {'add s':>7} {'build s':>8}")
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        for shuffled in (False, True):
            order = "scrambled" if shuffled else "in order"
            results = {}
            for label, budget in ((f"{args.limit_mib} MiB", limit), ("unbounded", UNBOUNDED)):
                name = f"{label.split()[0]}.klvx"
                r = results[label] = run(args.keys, directory, name, budget, shuffled, args.index, args.dedupe, values)
                print(f"{order:<10} {label:>10} {r['peak_mib']:9.0f} {r['before_mib']:9.0f} "
                      f"{r['add_s']:7.1f} {r['build_s']:8.1f}", flush=True)
            a, b = results[f"{args.limit_mib} MiB"], results["unbounded"]
            same = filecmp.cmp(os.path.join(directory, f"{args.limit_mib}.klvx"),
                               os.path.join(directory, "unbounded.klvx"), shallow=False)
            if not same:
                sys.exit("the budgeted and the unbounded writer built different files")
            print(f"{order:<10} ratio budgeted/unbounded: peak {a['peak_mib'] / b['peak_mib']:.2f}, "
                  f"add {a['add_s'] / b['add_s']:.2f}, build {a['build_s'] / b['build_s']:.2f}; files identical")
            for label in results:
                os.unlink(os.path.join(directory, f"{label.split()[0]}.klvx"))


if __name__ == "__main__":
    main()
