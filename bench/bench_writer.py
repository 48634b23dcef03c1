#!/usr/bin/env python3
"""The package writer's cost over the native calls it makes, and its peak memory.

    python bench/bench_writer.py calls [--keys 1000000] [--rounds 5]
    python bench/bench_writer.py memory [--keys 4000000 10000000]

``calls``: a loop of ``w.add_raw(payload, key)`` on a ``KalvWriter`` (dedupe on, then off)
beside the same loop over the native writer's calls (``add_unique`` or ``add``, then
``add_key``) and the bare loop, over fresh 16-byte keys and 40-byte payloads, all
distinct: taken from lists made beforehand, then made in the loop (dedupe on). The loops run in alternating rounds on fresh writers, timed with the cyclic
garbage collector off; each figure is the median round in nanoseconds per key.

``memory``: for each count, and with the mapped index on (the default) and off, a child
process fills a ``KalvWriter`` (dedupe on) through ``add_raw`` with keys and payloads made
on the fly (none kept by the caller), builds it, and reports its peak resident memory from
``getrusage``; bytes per key are the peak less the process's resident memory before the
writer was made, over the key count. Keys arrive in key order unless ``--shuffled``, which
adds them in a scrambled order (the build then sorts them). Nothing is asserted.
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
from typing import Callable

import kalvex
from kalvex import _native


def keys_and_payloads(n: int, seed: int) -> tuple[list[bytes], list[bytes]]:
    rng = random.Random(seed)
    keys = [b"key:%08d" % i + rng.randbytes(4) for i in range(n)]
    payloads = [rng.randbytes(40) for _ in range(n)]
    return keys, payloads


def timed(loop: Callable[[], None], n: int) -> float:
    gc.disable()
    try:
        start = time.perf_counter_ns()
        loop()
        return (time.perf_counter_ns() - start) / n
    finally:
        gc.enable()


def calls(n: int, rounds: int) -> None:
    keys, payloads = keys_and_payloads(n, seed=n)
    pairs = list(zip(payloads, keys))

    def package(dedupe: bool) -> Callable[[], None]:
        def loop() -> None:
            add_raw = kalvex.KalvWriter(dedupe=dedupe).add_raw
            for payload, key in pairs:
                add_raw(payload, key)
        return loop

    def native(unique: bool) -> Callable[[], None]:
        def loop() -> None:
            writer = _native.new_writer()
            add, add_key = (writer.add_unique if unique else writer.add), writer.add_key
            for payload, key in pairs:
                add_key(key, add(payload))
        return loop

    def bare() -> None:
        for payload, key in pairs:
            pass

    # The same loops making each key and payload as they go, as a load from elsewhere does.
    def package_making() -> None:
        add_raw = kalvex.KalvWriter().add_raw
        for i in range(n):
            add_raw(i.to_bytes(8, "little") * 5, b"k%015d" % i)

    def native_making() -> None:
        writer = _native.new_writer()
        add, add_key = writer.add_unique, writer.add_key
        for i in range(n):
            add_key(b"k%015d" % i, add(i.to_bytes(8, "little") * 5))

    def bare_making() -> None:
        for i in range(n):
            i.to_bytes(8, "little") * 5, b"k%015d" % i

    loops = {
        "KalvWriter.add_raw, dedupe": package(True),
        "KalvWriter.add_raw, no dedupe": package(False),
        "native add_unique + add_key": native(True),
        "native add + add_key": native(False),
        "loop alone": bare,
        "making: KalvWriter.add_raw": package_making,
        "making: native add_unique+add_key": native_making,
        "making: loop alone": bare_making,
    }
    times: dict[str, list[float]] = {name: [] for name in loops}
    for _ in range(rounds):
        for name, loop in loops.items():
            times[name].append(timed(loop, n))
            gc.collect()
    medians = {name: statistics.median(t) for name, t in times.items()}
    for name, value in medians.items():
        print(f"{name:32s} {value:7.0f} ns per key")
    print(f"add_raw over the native calls, dedupe on: "
          f"{medians['KalvWriter.add_raw, dedupe'] / medians['native add_unique + add_key']:.2f}x "
          f"(made in the loop: {medians['making: KalvWriter.add_raw'] / medians['making: native add_unique+add_key']:.2f}x)")


def peak_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def current_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def memory_child(n: int, directory: str, index: bool, shuffled: bool) -> None:
    before = current_kib()
    writer = kalvex.KalvWriter(index=index)
    add_raw = writer.add_raw
    # An odd multiplier permutes [0, 2^40): distinct numbers, far from key order.
    scramble = 0x9E3779B97F if shuffled else 1
    for i in range(n):
        # Distinct 16-byte keys and 40-byte payloads, made one at a time.
        add_raw(i.to_bytes(8, "little") * 5, b"k%015d" % (i * scramble % (1 << 40)))
    path = writer.build(os.path.join(directory, "store.klvx"))
    size = os.path.getsize(path)
    os.unlink(path)
    print(f"{n} {peak_kib()} {before} {size}")


def memory(counts: list[int], shuffled: bool) -> None:
    for n in counts:
        for index in (True, False):
            with tempfile.TemporaryDirectory(prefix="kalvex-writer-") as directory:
                command = [sys.executable, __file__, "memory-child", str(n), directory, str(int(index))]
                out = subprocess.run(command + ["--shuffled"] * shuffled,
                                     check=True, capture_output=True, text=True).stdout
            _, peak, before, size = map(int, out.split()[-4:])
            print(f"{n:>11,} keys, index {'on ' if index else 'off'}: peak {peak / 1024:,.0f} MiB, "
                  f"{(peak - before) * 1024 / n:.0f} bytes per key over the idle process "
                  f"(file {size / n:.0f} bytes per key)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    calls_parser = commands.add_parser("calls")
    calls_parser.add_argument("--keys", type=int, default=1_000_000)
    calls_parser.add_argument("--rounds", type=int, default=5)
    memory_parser = commands.add_parser("memory")
    memory_parser.add_argument("--keys", type=int, nargs="+", default=[4_000_000, 10_000_000])
    memory_parser.add_argument("--shuffled", action="store_true")
    child = commands.add_parser("memory-child")
    child.add_argument("n", type=int)
    child.add_argument("directory")
    child.add_argument("index", type=int, choices=(0, 1))
    child.add_argument("--shuffled", action="store_true")
    args = parser.parse_args()
    if args.command == "calls":
        calls(args.keys, args.rounds)
    elif args.command == "memory":
        memory(args.keys, args.shuffled)
    else:
        memory_child(args.n, args.directory, bool(args.index), args.shuffled)


if __name__ == "__main__":
    main()
