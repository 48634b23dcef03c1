#!/usr/bin/env python3
"""The package writer that streams its values to the build's temporary file: its peak
memory, and its build time beside the writer that holds every value in memory.

    python bench/bench_writer_memory.py memory [--keys 4000000] [--sizes 40 1024 4096]
    python bench/bench_writer_memory.py time [--keys 1000000] [--sizes 40 1024] [--rounds 5] [--old-pkg DIR]

``memory``: for each value size, a fresh child process fills ``KalvWriter(path)`` (dedupe
on, the default memory budget) with distinct 16-byte keys and distinct values made on the
fly, in batches through ``add_many_raw``, builds it, and reports its peak resident memory
(``getrusage``). Bytes per key are that peak less the child's resident memory before the
writer was made, over the key count; the data section alone is shown beside it.
``--pkg DIR`` runs the children on another build of the package (e.g. main's), to show
today's figures; ``--in-memory`` makes the writer hold its values in memory.

``time``: for each value size and key order (in order, then shuffled), rounds alternate
between the in-memory writer (``KalvWriter()`` with a budget above the data, built to a
path; with ``--old-pkg DIR``, the writer of the package at DIR, e.g. main's) and the
streaming one (``KalvWriter(path)``, built there), each round a fresh process timing the
adds and the build of pairs it made beforehand; each figure is the median round in
nanoseconds per key, and the ratio streamed / in memory. Nothing is asserted.
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
from typing import Any, Iterator

# A budget above any store of this benchmark: the writer then holds everything in memory.
IN_MEMORY = 1 << 50
BATCH = 4096


def current_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def items(n: int, size: int, shuffled: bool) -> Iterator[tuple[bytes, tuple[bytes]]]:
    """(payload, (key,)) of n distinct 16-byte keys and distinct payloads of `size` bytes."""
    filler = random.Random(size).randbytes(size)
    # An odd multiplier permutes [0, 2^40): distinct numbers, far from key order.
    scramble = 0x9E3779B97F if shuffled else 1
    for i in range(n):
        yield i.to_bytes(8, "little") + filler[8:], (b"k%015d" % (i * scramble % (1 << 40)),)


def new_writer(kalvex: Any, path: str, streamed: bool) -> Any:
    """The streaming writer of ``path``, or one that holds every value in memory."""
    if streamed:
        return kalvex.KalvWriter(path)
    try:
        return kalvex.KalvWriter(memory_limit=IN_MEMORY)
    except TypeError:  # a package from before memory budgets: every writer holds its values
        return kalvex.KalvWriter()


def memory_child(n: int, size: int, directory: str, in_memory: bool) -> None:
    import kalvex

    path = os.path.join(directory, "store.klvx")
    before = current_kib()
    writer = new_writer(kalvex, path, streamed=not in_memory)
    start = time.perf_counter()
    writer.add_many_raw(items(n, size, shuffled=False))
    added = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    writer.build(path)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"{added} {peak} {before} {os.path.getsize(path)} {seconds:.1f}")


def memory(counts: list[int], sizes: list[int], pkg: str | None, in_memory: bool) -> None:
    env = dict(os.environ)
    if pkg:
        env["PYTHONPATH"] = pkg
    for n in counts:
        for size in sizes:
            with tempfile.TemporaryDirectory(prefix="kalvex-stream-") as directory:
                command = [sys.executable, __file__, "memory-child", str(n), str(size), directory]
                out = subprocess.run(command + ["--in-memory"] * in_memory, check=True, capture_output=True,
                                     text=True, env=env).stdout
            added, peak, before, file_size, seconds = out.split()[-5:]
            over = (int(peak) - int(before)) * 1024
            print(f"{n:>11,} keys of values {size:>5} B: peak {int(peak) / 1024:,.0f} MiB, "
                  f"{over / n:.0f} bytes per key over the idle process "
                  f"({(int(added) - int(before)) * 1024 / n:.0f} when the adds end; "
                  f"data {n * (size + 8) / 2**20:,.0f} MiB, "
                  f"file {int(file_size) / 2**20:,.0f} MiB, {seconds} s)")


def time_child(n: int, size: int, shuffled: bool, directory: str, streamed: bool) -> None:
    import kalvex

    path = os.path.join(directory, "store.klvx")
    made = list(items(n, size, shuffled))
    gc.collect()
    gc.disable()
    start = time.perf_counter_ns()
    writer = new_writer(kalvex, path, streamed)
    writer.add_many_raw(made)
    writer.build(path)
    print((time.perf_counter_ns() - start) / n)


def build_time(n: int, sizes: list[int], rounds: int, old_pkg: str | None) -> None:
    def round_of(streamed: bool, size: int, shuffled: bool, directory: str) -> float:
        env = dict(os.environ)
        if old_pkg and not streamed:
            env["PYTHONPATH"] = old_pkg
        command = [sys.executable, __file__, "time-child", str(n), str(size), directory]
        command += ["--shuffled"] * shuffled + ["--streamed"] * streamed
        out = subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout
        return float(out.split()[-1])

    with tempfile.TemporaryDirectory(prefix="kalvex-stream-") as directory:
        for size in sizes:
            for shuffled in (False, True):
                times: dict[bool, list[float]] = {False: [], True: []}
                for _ in range(rounds):
                    for streamed in (False, True):
                        times[streamed].append(round_of(streamed, size, shuffled, directory))
                old, new = statistics.median(times[False]), statistics.median(times[True])
                print(f"{n:,} keys, values {size:>5} B, {'shuffled' if shuffled else 'in order'}: "
                      f"in memory {old:6.0f} ns/key, streamed {new:6.0f} ns/key, ratio {new / old:.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    memory_parser = commands.add_parser("memory")
    memory_parser.add_argument("--keys", type=int, nargs="+", default=[4_000_000])
    memory_parser.add_argument("--sizes", type=int, nargs="+", default=[40, 1024, 4096])
    memory_parser.add_argument("--pkg", help="PYTHONPATH of the package the children run")
    memory_parser.add_argument("--in-memory", action="store_true")
    time_parser = commands.add_parser("time")
    time_parser.add_argument("--keys", type=int, default=1_000_000)
    time_parser.add_argument("--sizes", type=int, nargs="+", default=[40, 1024])
    time_parser.add_argument("--rounds", type=int, default=5)
    time_parser.add_argument("--old-pkg", help="PYTHONPATH of the package the in-memory rounds run (e.g. main's)")
    timer = commands.add_parser("time-child")
    timer.add_argument("n", type=int)
    timer.add_argument("size", type=int)
    timer.add_argument("directory")
    timer.add_argument("--shuffled", action="store_true")
    timer.add_argument("--streamed", action="store_true")
    child = commands.add_parser("memory-child")
    child.add_argument("n", type=int)
    child.add_argument("size", type=int)
    child.add_argument("directory")
    child.add_argument("--in-memory", action="store_true")
    args = parser.parse_args()
    if args.command == "memory":
        memory(args.keys, args.sizes, args.pkg, args.in_memory)
    elif args.command == "time":
        build_time(args.keys, args.sizes, args.rounds, args.old_pkg)
    elif args.command == "time-child":
        time_child(args.n, args.size, args.shuffled, args.directory, args.streamed)
    else:
        memory_child(args.n, args.size, args.directory, args.in_memory)


if __name__ == "__main__":
    main()
