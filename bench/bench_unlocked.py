#!/usr/bin/env python3
"""How long other threads wait while kalvex works, and what letting them in costs.

    python bench/bench_unlocked.py [--before OLD/_native.so] [--keys 3000000]
                                   [--big-values 1000000] [--rounds 7] [--dir DIR] [--gets-only]

A ticker thread sleeps 5 ms at a time; the longest time between two of its ticks during
a call is how long the call kept it waiting. Measured through: a build of --keys keys
(16-byte keys, 40-byte values); a build and a verify of a store of --big-values values
of 1 KiB (about 1 GB at the default); a merge of the first store into a new one and
`kalvex index --drop` of it (package code over the same calls).

With --before (a kalvex._native built from another commit, loaded beside this one under
another name) every measurement runs for both modules in turns, and single gets and
4096-key get_many batches are timed in alternating rounds on the same store; the median
round is reported in nanoseconds per key with the ratio this/before (--gets-only: those
alone, on a store of --keys keys built for them). Nothing is asserted.
"""
from __future__ import annotations

import argparse
import gc
import importlib.util
import os
import random
import shutil
import statistics
import tempfile
import threading
import time
from typing import Any, Callable

import kalvex
from kalvex import _backend, _native
from kalvex.cli.index import rewrite

BATCH = 2048


class Ticker:
    """A thread counting 5 ms sleeps, and the longest time between two of its ticks."""

    def __init__(self) -> None:
        self.longest = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)

    def _run(self) -> None:
        last = time.perf_counter()
        while not self._stop.is_set():
            time.sleep(0.005)
            now = time.perf_counter()
            self.longest, last = max(self.longest, now - last), now

    def __enter__(self) -> "Ticker":
        self._thread.start()
        time.sleep(0.02)  # a few ticks before the call: the gap is the call's own
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._stop.set()
        self._thread.join()


def watched(call: Callable[[], Any]) -> tuple[float, float]:
    """(seconds the call took, longest tick gap in ms during it)."""
    with Ticker() as ticker:
        start = time.perf_counter()
        call()
        took = time.perf_counter() - start
    return took, ticker.longest * 1000


def load_before(path: str) -> Any:
    """The module at `path`, imported beside kalvex._native (its init name fits any
    package)."""
    location = importlib.util.spec_from_file_location("kalvex_before._native", path)
    assert location is not None and location.loader is not None
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def filled_writer(module: Any, n: int, value_size: int, seed: int) -> Any:
    rng = random.Random(seed)
    writer = module.new_writer()
    for start in range(0, n, BATCH):
        count = min(BATCH, n - start)
        keys = [b"key:%012d" % i for i in range(start, start + count)]
        writer.add_pairs([rng.randbytes(value_size) for _ in range(count)], keys)
    return writer


def row(label: str, name: str, took: float, gap: float) -> None:
    print(f"  {label:<34} {name:<7} {took * 1000:9.0f} ms   longest tick gap {gap:8.1f} ms", flush=True)


def timed_rounds(calls: dict[str, Callable[[], int]], rounds: int) -> dict[str, float]:
    """Median ns per item of each call over alternating rounds (a call returns its items)."""
    samples: dict[str, list[float]] = {name: [] for name in calls}
    gc.disable()
    try:
        for _ in range(rounds):
            for name, call in calls.items():
                start = time.perf_counter_ns()
                items = call()
                samples[name].append((time.perf_counter_ns() - start) / items)
    finally:
        gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", help="a kalvex._native .so built from the commit to compare with")
    parser.add_argument("--keys", type=int, default=3_000_000)
    parser.add_argument("--big-values", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--dir", default=None, help="where the stores go (default: a temporary directory)")
    parser.add_argument("--gets-only", action="store_true", help="time the lookups alone")
    args = parser.parse_args()

    modules = {"this": _native}
    if args.before:
        modules = {"before": load_before(args.before), "this": _native}
    work = tempfile.mkdtemp(prefix="kalvex-unlocked-", dir=args.dir)
    try:
        small, big = os.path.join(work, "small.klvx"), os.path.join(work, "big.klvx")
        if args.gets_only:
            filled_writer(_native, args.keys, 40, 1).build(small, True)
        else:
            ticks(modules, small, big, args)
        lookups(modules, small, args)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def ticks(modules: dict[str, Any], small: str, big: str, args: argparse.Namespace) -> None:
    """The tick gaps through each long call, for each module in turn."""
    print(f"build of {args.keys:,} keys (16-byte keys, 40-byte values)")
    for name, module in modules.items():
        writer = filled_writer(module, args.keys, 40, 1)
        row("build", name, *watched(lambda: writer.build(small, True)))
        del writer
    print(f"store of {args.big_values:,} values of 1 KiB")
    for name, module in modules.items():
        writer = filled_writer(module, args.big_values, 1024, 2)
        row("build", name, *watched(lambda: writer.build(big, True)))
        del writer
    print(f"  ({os.path.getsize(big) / 1e9:.2f} GB)")
    for _ in range(2):  # the first round also warms the page cache
        for name, module in modules.items():
            reader = module.open_reader(big, False)
            row("verify", name, *watched(reader.verify))
            reader.close()
    print(f"package code over them, on the store of {args.keys:,} keys")
    for name, module in modules.items():
        _backend.BACKEND = module
        merged = os.path.join(os.path.dirname(small), f"merged-{name}.klvx")
        row("merge", name, *watched(lambda: kalvex.merge(merged, small)))
        with kalvex.KalvReader(merged, raw=True, key_type=bytes) as reader:
            row("kalvex index --drop (rewrite)", name, *watched(lambda: rewrite(reader, merged + ".plain", False)))
    _backend.BACKEND = _native


def lookups(modules: dict[str, Any], small: str, args: argparse.Namespace) -> None:
    """Single gets and get_many batches of each module, in alternating rounds."""
    rng = random.Random(3)
    probes = [b"key:%012d" % rng.randrange(args.keys) for _ in range(200_000)]
    batches = [probes[i:i + 4096] for i in range(0, len(probes), 4096)]
    readers = {name: module.open_reader(small, False) for name, module in modules.items()}

    def gets(reader: Any) -> Callable[[], int]:
        def run() -> int:
            find = reader.find
            for key in probes:
                find(key)
            return len(probes)
        return run

    def many(reader: Any) -> Callable[[], int]:
        def run() -> int:
            for batch in batches:
                reader.find_many(batch)
            return len(probes)
        return run

    for label, make in (("single get", gets), ("get_many, 4096 a call", many)):
        medians = timed_rounds({name: make(reader) for name, reader in readers.items()}, args.rounds)
        line = "  ".join(f"{name} {ns:6.1f} ns/key" for name, ns in medians.items())
        ratio = f"   this/before {medians['this'] / medians['before']:.3f}" if "before" in medians else ""
        print(f"{label:<24} {line}{ratio}  (median of {args.rounds} alternating rounds)", flush=True)
    for reader in readers.values():
        reader.close()


if __name__ == "__main__":
    main()
