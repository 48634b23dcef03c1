"""What the command's checks cost on a large store: the index check and the record CRC
that ``check=True`` adds to opening a store and reading one value, beside the same open and
read without them, and ``kalvex get`` as a whole process.

The store holds N keys ("user:%09d") with short values (dedupe off: one object each), built
with the mapped index. Rows, each timed --repeat times in turns (interleaved) with the
store's pages in memory, medians kept:

  open+get          KalvReader(path, verify=False) and one get
  open+get checked  KalvReader(path, verify=False, check=True) and one get
  kalvex get        the command as a process (it opens with check=True)

Usage: python bench/bench_check.py [--keys N] [--repeat R] [--dir DIR]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import kalvex


def build(path, n):
    writer = kalvex.KalvWriter(path, dedupe=False, index=True)
    step = 1_000_000
    for start in range(0, n, step):
        writer.update((f"user:{i:09d}", i) for i in range(start, min(n, start + step)))
    writer.build()


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--keys", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        path = os.path.join(tmp, "big.klvx")
        t = timed(lambda: build(path, args.keys))
        print(f"built {args.keys} keys in {t:.1f} s: {os.path.getsize(path) / 2**20:.0f} MiB")
        key = f"user:{args.keys // 2:09d}"

        def plain():
            with kalvex.KalvReader(path, verify=False) as r:
                assert r[key] == args.keys // 2

        def checked():
            with kalvex.KalvReader(path, verify=False, check=True) as r:
                assert r[key] == args.keys // 2

        def command():
            subprocess.run([sys.executable, "-m", "kalvex", "get", path, key], check=True,
                           stdout=subprocess.DEVNULL)

        rows = {"open+get": plain, "open+get checked": checked, "kalvex get": command}
        times = {name: [] for name in rows}
        for call in rows.values():
            call()  # pages in memory
        for _ in range(args.repeat):
            for name, call in rows.items():
                times[name].append(timed(call))
        for name, samples in times.items():
            print(f"{name:18} {1000 * statistics.median(samples):9.2f} ms")
        added = statistics.median(times["open+get checked"]) - statistics.median(times["open+get"])
        print(f"added by check=True: {1000 * added:.2f} ms")


if __name__ == "__main__":
    main()
