#!/usr/bin/env python3
"""The package's module (kalvex._native) beside the low-level one (kalvex._kalvex), call
for call, in one process.

    python bench/bench_native.py [--scale 1000000] [--rounds 7]

Lookups (present and absent keys, in random order) at 10,000 keys (hot: everything in
the caches) and at --scale keys (cold); a full listing of keys and payloads; the writer
calls a package build makes per key (16-byte keys, 40-byte payloads, all distinct).
Each pair is measured in alternating rounds, so both see the same machine load; every
figure is the median round, in nanoseconds per call (per entry for listings), timed with
the cyclic garbage collector off. Nothing is asserted.
"""
from __future__ import annotations

import argparse
import gc
import os
import random
import statistics
import tempfile
import time
from typing import Any, Callable

from kalvex import _kalvex, _native


def keys_and_payloads(n: int, seed: int) -> tuple[list[bytes], list[bytes]]:
    rng = random.Random(seed)
    keys = [b"key:%012d" % i + rng.randbytes(4) for i in range(n)]
    payloads = [rng.randbytes(40) for _ in range(n)]
    return keys, payloads


def build(path: str, keys: list[bytes], payloads: list[bytes]) -> None:
    writer = _native.new_writer()
    for key, payload in zip(keys, payloads):
        writer.add_key(key, writer.add(payload))
    writer.build(path)


def per_call(run: Callable[[], int]) -> float:
    gc.disable()
    try:
        start = time.perf_counter_ns()
        calls = run()
        return (time.perf_counter_ns() - start) / calls
    finally:
        gc.enable()


def interleaved(rounds: int, runs: dict[str, Callable[[], int]]) -> dict[str, float]:
    times: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            times[name].append(per_call(run))
    return {name: statistics.median(t) for name, t in times.items()}


def lookup_loop(call: Callable[[Any], Any], probes: list[bytes]) -> Callable[[], int]:
    def run() -> int:
        for key in probes:
            call(key)
        return len(probes)
    return run


def native_listing(reader: Any, keys: Any) -> Callable[[], int]:
    def run() -> int:
        first, last, seen = 0, reader.count(), 0
        while first < last:
            chunk_keys, payloads, _ = reader.read_range(first, last, keys, True)
            for _pair in zip(chunk_keys, payloads):
                seen += 1
            first += len(payloads)
        return seen
    return run


def low_level_listing(list_all: Callable[[], list[Any]]) -> Callable[[], int]:
    def run() -> int:
        seen = 0
        for _pair in list_all():
            seen += 1
        return seen
    return run


def writer_loop(keys: list[bytes], payloads: list[bytes], make: Callable[[], Any],
                add_name: str) -> Callable[[], int]:
    def run() -> int:
        writer = make()
        add, add_key = getattr(writer, add_name), writer.add_key
        for key, payload in zip(keys, payloads):
            add_key(key, add(payload))
        return len(keys)
    return run


def report(title: str, figures: dict[str, float]) -> None:
    print(f"{title}")
    for name, ns in figures.items():
        print(f"  {name:<44} {ns:8.1f} ns")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        for n in (10_000, args.scale):
            keys, payloads = keys_and_payloads(n, seed=n)
            path = os.path.join(tmp, f"{n}.klvx")
            build(path, keys, payloads)
            low_level = _kalvex._KalvReader(path, False)
            mine = _native.open_reader(path, False)
            rng = random.Random(1)
            present = rng.sample(keys, min(n, 200_000))
            absent = [key + b"?" for key in present]
            report(f"lookups, {n:,} keys", interleaved(args.rounds, {
                "_kalvex get_raw (present)": lookup_loop(low_level.get_raw, present),
                "_native find (present)": lookup_loop(mine.find, present),
                "_kalvex get_raw (absent)": lookup_loop(low_level.get_raw, absent),
                "_native find (absent)": lookup_loop(mine.find, absent),
                "_kalvex exists (present)": lookup_loop(low_level.exists, present),
                "_native exists (present)": lookup_loop(mine.exists, present),
            }))
            report(f"full listing per entry, {n:,} keys", interleaved(max(3, args.rounds // 2), {
                "_kalvex items_raw (str keys)": low_level_listing(low_level.items_raw),
                "_native read_range chunks (str keys)": native_listing(mine, str),
                "_kalvex items_raw_bytes": low_level_listing(low_level.items_raw_bytes),
                "_native read_range chunks (bytes keys)": native_listing(mine, bytes),
            }))
            mine.close()
        keys, payloads = keys_and_payloads(args.scale, seed=7)
        report(f"writer calls per key, {args.scale:,} fresh keys", interleaved(max(3, args.rounds // 2), {
            "_kalvex add_object_raw + add_key": writer_loop(keys, payloads, _kalvex._KalvWriter, "add_object_raw"),
            "_native add + add_key": writer_loop(keys, payloads, _native.new_writer, "add"),
            "_native add_unique + add_key": writer_loop(keys, payloads, _native.new_writer, "add_unique"),
        }))


if __name__ == "__main__":
    main()
