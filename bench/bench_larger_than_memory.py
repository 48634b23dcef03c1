#!/usr/bin/env python3
"""A store larger than the machine's memory, built with the writer's default settings.

    python bench/bench_larger_than_memory.py DIRECTORY [--keys 8000000] [--size 4096] [--lookups 1000000]

Fills ``KalvWriter(DIRECTORY/large.klvx)`` with ``--keys`` distinct 16-byte keys, each
with its own value of ``--size`` bytes (8M x 4 KiB is 32 GiB of values), builds it and
reports the time and the peak resident memory of this process over what it held before
the writer was made. Then opens the store and reads ``--lookups`` keys drawn at random,
checking every value against the one that was added. It needs the store's size in free
disk (about 1.01 times the values): run it by hand, never from the tests. The store is
removed at the end unless ``--keep``.
"""
from __future__ import annotations

import argparse
import os
import random
import resource
import shutil
import time

import kalvex

BATCH = 4096


def key_of(i: int) -> bytes:
    return b"k%015d" % i


def value_of(i: int, size: int) -> bytes:
    # Distinct for every key (its number repeated), so that the writer's dedupe finds
    # nothing to share and stores every value, yet cheap enough not to time Python.
    word = i.to_bytes(8, "little")
    return (word * (size // 8 + 1))[:size]


def peak_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def current_rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("directory")
    parser.add_argument("--keys", type=int, default=8_000_000)
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--lookups", type=int, default=1_000_000)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    path = os.path.join(args.directory, "large.klvx")
    data_bytes = args.keys * args.size
    free = shutil.disk_usage(args.directory).free
    if free < data_bytes * 1.05:
        raise SystemExit(f"needs about {data_bytes * 1.05 / 2**30:.1f} GiB free in {args.directory}, has {free / 2**30:.1f}")
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    print(f"{args.keys:,} keys x {args.size} B = {data_bytes / 2**30:.1f} GiB of values; "
          f"machine memory {memory / 2**30:.1f} GiB")

    before = current_rss_bytes()
    start = time.perf_counter()
    writer = kalvex.KalvWriter(path)
    for first in range(0, args.keys, BATCH):
        writer.add_many_raw((value_of(i, args.size), (key_of(i),)) for i in range(first, min(first + BATCH, args.keys)))
    added = time.perf_counter()
    writer.build()
    built = time.perf_counter()
    peak = peak_rss_bytes() - before
    print(f"adds {added - start:.1f} s, build {built - added:.1f} s, total {built - start:.1f} s; "
          f"file {os.path.getsize(path) / 2**30:.2f} GiB; peak memory over the interpreter "
          f"{peak / 2**20:.0f} MiB ({peak / args.keys:.1f} B/key)")
    del writer

    rng = random.Random(7)
    start = time.perf_counter()
    with kalvex.KalvReader(path) as reader:
        for _ in range(args.lookups):
            i = rng.randrange(args.keys)
            if reader.get_raw(key_of(i)) != value_of(i, args.size):
                raise SystemExit(f"key {i}: wrong value")
    read = time.perf_counter() - start
    print(f"{args.lookups:,} random lookups, every value checked: {read:.1f} s "
          f"({read / args.lookups * 1e6:.1f} us each)")
    if not args.keep:
        os.unlink(path)


if __name__ == "__main__":
    main()
