"""The settings and timing helpers the comparisons share: compare.py and the focused
comparisons (compare_index.py, compare_values.py) import this module, never each other.
--tiny (COLLECT, TINY) and --cpu-time (CLOCK) are set here by whichever script runs."""
from __future__ import annotations

import collections
import contextlib
import gc
import platform
import statistics
import sys
import time

HOT, COLD = 10_000, 1_000_000
# CPython's cyclic collector is switched off while timing, as timeit does. PyPy's
# collector is its memory manager: switched off, garbage whose native memory only a
# major collection frees (sqlite3 statements, for one) grows until the OOM killer acts.
PAUSE_GC = platform.python_implementation() == "CPython"
COLLECT = True      # a full collection before each timed series (off in --tiny: seconds)
TINY = False
# --scans --cpu-time: the process's CPU time, which a share of the cores taken by other
# work does not lengthen as it does the wall time.
CLOCK = time.perf_counter
MAX_REPS = 200


def interpreter_label() -> str:
    impl = platform.python_implementation()
    if impl == "PyPy":
        v = sys.pypy_version_info
        return f"PyPy {v.major}.{v.minor}.{v.micro} (Python {platform.python_version()})"
    return f"{impl} {platform.python_version()}"


@contextlib.contextmanager
def paused_gc():
    if not PAUSE_GC:
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def median_time(fn, reps: int) -> float:
    """Median wall time of fn() over at least reps runs, cyclic GC paused while timing.
    A call of microseconds is repeated until the series lasts about a tenth of a
    second, so that one interruption by the scheduler cannot move its median."""
    times: list[float] = []
    if COLLECT:
        gc.collect()
    while len(times) < reps:
        with paused_gc():
            t0 = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - t0)
        del result                  # freeing a large result is not the call's time
        if len(times) == 1 and not TINY:
            reps = max(reps, min(MAX_REPS, int(0.1 / max(times[0], 1e-9))))
    return statistics.median(times)


def median_per_call(fn, args: list, reps: int, chunk: int = 5000) -> float:
    """Median time of one fn(arg) call. Each repetition times the calls in chunks of
    `chunk` arguments, so that a chunk the scheduler interrupted (two cores shared with
    other work) counts as one outlier and not as a slow repetition. The calls go
    through deque(map(fn, chunk), 0), the least harness cost Python offers."""
    chunks = [args[i:i + chunk] for i in range(0, len(args), chunk)]
    per_call = []
    if COLLECT:
        gc.collect()
    for _ in range(reps):
        for part in chunks:
            with paused_gc():
                t0 = time.perf_counter()
                collections.deque(map(fn, part), maxlen=0)
                per_call.append((time.perf_counter() - t0) / len(part))
    return statistics.median(per_call)


def rss_status() -> dict[str, int]:
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("RssAnon:", "RssFile:", "RssShmem:")):
                name, value, _unit = line.split()
                out[name.rstrip(":")] = int(value) * 1024
    return out


def check(cond: bool, what: str) -> None:
    if not cond:
        raise AssertionError(what)


def interleaved_per_call(calls: dict, reps: int, timer=None, chunk: int = 5000) -> dict:
    """Median time of one call of each fn, for ``calls`` mapping a name to (fn, args),
    timed in turns: in each turn every fn runs through one chunk of its args (the order
    rotating), each fn a different chunk, so no fn finds its keys in the cache where
    another one just left them. Every args list has the same length. `timer` is the
    module whose settings apply (this one unless a caller brings its own)."""
    timer = timer or sys.modules[__name__]
    names = list(calls)
    if not names:  # a run that measures no store (e.g. --stores values)
        return {}
    chunked = {name: [args[i:i + chunk] for i in range(0, len(args), chunk)] for name, (_, args) in calls.items()}
    count = len(chunked[names[0]])
    per_call: dict = {name: [] for name in names}
    if timer.COLLECT:
        gc.collect()
    for rep in range(reps):
        for number in range(count):
            shift = (rep + number) % len(names)
            for k, name in enumerate(names[shift:] + names[:shift]):
                part = chunked[name][(number + k) % count]
                fn = calls[name][0]
                with timer.paused_gc():
                    t0 = time.perf_counter()
                    collections.deque(map(fn, part), maxlen=0)
                    per_call[name].append((time.perf_counter() - t0) / len(part))
    return {name: statistics.median(times) for name, times in per_call.items()}
