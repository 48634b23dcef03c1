"""The mapped index and batch lookups: the kalvex package with and without the index.

    python bench/compare_index.py [--scale 1000000] [--tiny]      (compare.py's section)
    python bench/compare_index.py --sizes 1000000 4000000 16000000  (open at large sizes)
    python bench/compare_index.py --get-many 10000000 [--workdir DIR]

compare.py runs the first form as its "index" section, on its own data set (13-byte keys,
40 to 200-byte payloads): the build (the add calls, then the build call with and without
the index), file bytes per key, open time and private memory after open, a 16-shard
ShardedReader's open, get_raw on a cold and a hot store read through the index or without
it, and get_many_raw against a loop of get_raw over random present keys (a million at the
cold scale, every key of the hot store). Compared variants are timed interleaved, slice by
slice, so a slow spell of the shared machine falls on both: each ratio is the median of
the per-slice ratios, with their spread.

"Private memory" is the growth of the process's anonymous resident memory (RssAnon) across
the open, measured in a fresh process: what a reader holds that no other process shares.
The mapped file's pages are page cache, shared by every process that maps the file.

--sizes measures bytes per key, open time and private memory on stores of 16-byte keys
and 40-byte values, at each size once (a store is built once and both files are written
from the same writer). --get-many times get_many_raw against a get_raw loop over 1,000,000
random present keys of a store of that many keys (built in --workdir unless already
there, so a second interpreter reuses it) and over the 10,000 keys of a hot store.
"""
from __future__ import annotations

import argparse
import collections
import gc
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare_timing as timing  # noqa: E402
import compare_data  # noqa: E402

MANY_KEYS = 1_000_000     # random present keys per get_many measurement of a cold store
SHARDS = 16


# --- timing ---------------------------------------------------------------------------


def interleaved(variants: dict, args: list, reps: int, timer=timing, chunk: int = 50_000) -> dict:
    """Per-item time of each variant(slice) over `args`, slice by slice, the variants
    alternating within each slice. Returns {name: median per item} and, for the second
    variant against the first, "ratio" (median of per-slice ratios) and "ratio_spread"."""
    parts = [args[i:i + chunk] for i in range(0, len(args), chunk)]
    per_item: dict = {name: [] for name in variants}
    ratios = []
    names = list(variants)
    if timer.COLLECT:
        gc.collect()
    for rep in range(reps):
        for part in parts:
            took = {}
            order = names if rep % 2 == 0 else names[::-1]
            for name in order:
                with timer.paused_gc():
                    t0 = time.perf_counter()
                    result = variants[name](part)
                    took[name] = (time.perf_counter() - t0) / len(part)
                del result
                per_item[name].append(took[name])
            ratios.append(took[names[1]] / took[names[0]])
    return _medians(per_item, ratios)


def _medians(times: dict, ratios: list) -> dict:
    """Each variant's median time, and the median of the per-round ratios with their spread."""
    out = {name: statistics.median(ts) for name, ts in times.items()}
    out["ratio"] = statistics.median(ratios)
    out["ratio_spread"] = (min(ratios), max(ratios))
    return out


def interleaved_calls(variants: dict, reps: int, timer=timing) -> dict:
    """Like interleaved() for calls without arguments (an open, a build): each round
    times every variant once, in alternating order."""
    times: dict = {name: [] for name in variants}
    names = list(variants)
    ratios = []
    for rep in range(reps):
        took = {}
        for name in (names if rep % 2 == 0 else names[::-1]):
            if timer.COLLECT:
                gc.collect()
            with timer.paused_gc():
                t0 = time.perf_counter()
                variants[name]()
                took[name] = time.perf_counter() - t0
            times[name].append(took[name])
        ratios.append(took[names[1]] / took[names[0]])
    return _medians(times, ratios)


def loop_of(fn):
    return lambda part: collections.deque(map(fn, part), maxlen=0)


# --- memory, in a fresh process -------------------------------------------------------


def probe_open(paths: list[str]) -> None:
    """Child-process body: private memory (RssAnon growth) right after opening each path
    (a file: KalvReader, a directory: ShardedReader), kept open, as JSON."""
    import kalvex
    out, handles = {}, []
    kalvex.open(paths[-1], verify=False).close()  # the first open's one-time setup, before any baseline
    for path in paths:
        gc.collect()
        before = timing.rss_status().get("RssAnon", 0)
        handles.append(kalvex.open(path, verify=False))
        gc.collect()
        out[path] = max(0, timing.rss_status().get("RssAnon", 0) - before)
    json.dump(out, sys.stdout)


def open_memory(paths: list[str]) -> dict:
    if not os.path.exists("/proc/self/status"):
        return {}
    cmd = [sys.executable, os.path.abspath(__file__), "--probe-open", *paths]
    return json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)


# --- the stores -------------------------------------------------------------------------


def filled_writer(keys: list, payloads: list):
    """A package writer holding keys[i] -> payloads[i], every payload its own object."""
    import kalvex
    writer = kalvex.KalvWriter(dedupe=False)
    add = writer.add_raw
    for key, payload in zip(keys, payloads):
        add(payload, key)
    return writer


def build_both(writer, stem: str) -> dict:
    """The writer built with and without the index; the two paths."""
    paths = {"index": stem + "-index.klvx", "plain": stem + "-plain.klvx"}
    writer._raw.build(paths["index"], True)
    writer._raw.build(paths["plain"], False)
    return paths


def measure_scale(data, workdir: str, reps: int, build_reps: int, log, timer=timing) -> dict:
    import kalvex
    from kalvex import shards
    n = data.n
    m: dict = {}
    t0 = time.perf_counter()
    writer = filled_writer(data.keys, data.payloads)
    m["fill"] = (time.perf_counter() - t0) / n
    stem = os.path.join(workdir, f"index-{n}")
    paths = build_both(writer, stem)
    builds = interleaved_calls({"plain": lambda: writer._raw.build(paths["plain"], False),
                                "index": lambda: writer._raw.build(paths["index"], True)},
                               max(build_reps, 3), timer)
    m["build_call"] = {k: v / n if k in ("plain", "index") else v for k, v in builds.items()}
    m["build_ratio"] = (m["fill"] + m["build_call"]["index"]) / (m["fill"] + m["build_call"]["plain"])
    del writer
    m["bytes_per_key"] = {name: os.path.getsize(path) / n for name, path in paths.items()}
    log(f"  index: {n:,} keys, build x{m['build_ratio']:.2f}, "
        f"+{m['bytes_per_key']['index'] - m['bytes_per_key']['plain']:.1f} bytes/key")

    def opener(path):
        return lambda: kalvex.KalvReader(path, verify=False).close()
    m["open"] = interleaved_calls({"plain": opener(paths["plain"]), "index": opener(paths["index"])},
                                  max(reps, 5), timer)

    roots = {}
    pairs = dict(zip(data.keys, data.payloads))
    for name, index in (("plain", False), ("index", True)):
        roots[name] = os.path.join(workdir, f"shards-{n}-{name}")
        shards.build(pairs, roots[name], SHARDS, processes=1, index=index)
    del pairs
    m["shards_open"] = interleaved_calls(
        {name: (lambda root=root: kalvex.ShardedReader(root, verify=False).close()) for name, root in roots.items()},
        max(reps, 5), timer)
    m["memory"] = {name: v for name, v in zip(
        ["plain", "index", "shards_plain", "shards_index"],
        open_memory([paths["plain"], paths["index"], roots["plain"], roots["index"]]).values())}
    for root in roots.values():
        shutil.rmtree(root)

    present = data.lookups["present"]
    readers = {name: kalvex.KalvReader(path, verify=False, raw=True) for name, path in paths.items()}
    try:
        for reader in readers.values():
            timing.check(reader.get_raw(data.keys[0]) == data.payloads[0], "wrong payload")
            timing.check(reader.get_many_raw(present[:50]) == list(map(reader.get_raw, present[:50])),
                          "get_many differs from get_raw")
        m["get_raw"] = interleaved({name: loop_of(r.get_raw) for name, r in readers.items()},
                                   present, reps, timer, chunk=5_000)
        rng = random.Random(n)
        many = [compare_data.KEY_FORMAT % rng.randrange(n) for _ in range(min(MANY_KEYS, 10 * n))]
        reader = readers["index"]
        m["get_many"] = interleaved({"loop": loop_of(reader.get_raw), "get_many": reader.get_many_raw},
                                    many, reps, timer, chunk=min(50_000, len(many)))
        del many
    finally:
        for reader in readers.values():
            reader.close()
    for path in paths.values():
        os.remove(path)
    return m


def run(scales: list[int], reps: int, build_reps: int, workdir: str, log, timer=timing) -> dict:
    out = {}
    for n in scales:
        log(f"  index and batch lookups at {n:,} keys")
        data = compare_data.make(n, probes=min(100_000, 10 * n))
        out[str(n)] = measure_scale(data, workdir, reps, build_reps, log, timer)
        del data
        gc.collect()
    return out


def report(result: dict) -> str:
    lines = []
    for n, m in result.items():
        bpk, mem = m["bytes_per_key"], m["memory"]
        lines += [
            f"{int(n):,} keys",
            f"  file bytes per key         plain {bpk['plain']:7.1f}   index {bpk['index']:7.1f}"
            f"   (+{bpk['index'] - bpk['plain']:.1f})",
            f"  build (add calls + build)  index / plain {m['build_ratio']:.3f}"
            f"   (build call alone {m['build_call']['plain'] * 1e9:.0f} -> "
            f"{m['build_call']['index'] * 1e9:.0f} ns/key, x{m['build_call']['ratio']:.2f})",
        ]
        for label, row in (("open, verify=False", m["open"]), (f"{SHARDS}-shard open", m["shards_open"])):
            lines.append(f"  {label:<26} plain {row['plain'] * 1e3:9.3f} ms   index {row['index'] * 1e3:9.3f} ms"
                         f"   x{row['ratio']:.4f}")
        if mem:
            lines.append(f"  private memory after open  plain {mem['plain'] / 1e6:7.2f} MB   index "
                         f"{mem['index'] / 1e6:7.2f} MB   ({SHARDS} shards: {mem['shards_plain'] / 1e6:.2f} -> "
                         f"{mem['shards_index'] / 1e6:.2f} MB; RssAnon growth)")
        g, many = m["get_raw"], m["get_many"]
        lines.append(f"  get_raw, present key       plain {g['plain'] * 1e9:7.0f} ns   index {g['index'] * 1e9:7.0f} ns"
                     f"   x{g['ratio']:.3f} (slices {g['ratio_spread'][0]:.2f}-{g['ratio_spread'][1]:.2f})")
        lines.append(f"  get_many_raw vs get_raw    loop {many['loop'] * 1e9:7.0f} ns   batch "
                     f"{many['get_many'] * 1e9:7.0f} ns   x{many['ratio']:.3f} "
                     f"(slices {many['ratio_spread'][0]:.2f}-{many['ratio_spread'][1]:.2f})")
    return "\n".join(lines) + "\n"


# --- the standalone measurements ----------------------------------------------------------


def sized_load(n: int) -> tuple[list[bytes], list[bytes]]:
    """n 16-byte keys (hexadecimal of a scrambled counter, so key order is not insertion
    order) and 40-byte values, each its own."""
    keys = [b"%016x" % ((i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF) for i in range(n)]
    values = [b"%040d" % i for i in range(n)]
    return keys, values


def run_sizes(sizes: list[int], workdir: str, reps: int, log) -> None:
    import kalvex
    for n in sizes:
        keys, values = sized_load(n)
        writer = filled_writer(keys, values)
        del keys, values
        gc.collect()
        paths = build_both(writer, os.path.join(workdir, f"sized-{n}"))
        del writer
        gc.collect()
        opens = interleaved_calls(
            {name: (lambda p=path: kalvex.KalvReader(p, verify=False).close()) for name, path in paths.items()},
            reps)
        memory = open_memory([paths["plain"], paths["index"]])
        row = {"n": n, **{f"bytes_per_key_{k}": os.path.getsize(p) / n for k, p in paths.items()},
               "open_plain_ms": opens["plain"] * 1e3, "open_index_ms": opens["index"] * 1e3,
               "private_plain_mb": memory.get(paths["plain"], 0) / 1e6,
               "private_index_mb": memory.get(paths["index"], 0) / 1e6}
        print(json.dumps(row), flush=True)
        for path in paths.values():
            os.remove(path)


def run_get_many(n: int, workdir: str, reps: int, log) -> None:
    import kalvex
    path = os.path.join(workdir, f"many-{n}.klvx")
    hot_path = os.path.join(workdir, "many-hot-10000.klvx")
    for size, target in ((n, path), (10_000, hot_path)):
        if not os.path.exists(target):
            log(f"building {target}")
            keys, values = sized_load(size)
            writer = filled_writer(keys, values)
            del keys, values
            writer.build(target)
            del writer
            gc.collect()
    rng = random.Random(7)
    cold_keys = [b"%016x" % ((rng.randrange(n) * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF) for _ in range(MANY_KEYS)]
    hot_keys = [b"%016x" % ((i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF) for i in range(10_000)]
    rng.shuffle(hot_keys)
    out = {"interpreter": timing.interpreter_label(), "n": n}
    for label, target, keys, chunk in (("cold", path, cold_keys, 50_000), ("hot", hot_path, hot_keys, 10_000)):
        with kalvex.KalvReader(target, verify=False, raw=True) as r:
            timing.check(r.get_many_raw(keys[:100]) == list(map(r.get_raw, keys[:100])), "get_many differs")
            timing.check(None not in r.get_many_raw(keys[:100]), "a present key is missing")
            res = interleaved({"loop": loop_of(r.get_raw), "get_many": r.get_many_raw}, keys,
                              reps if label == "cold" else reps * 20, chunk=chunk)
        out[label] = {"loop_ns": res["loop"] * 1e9, "get_many_ns": res["get_many"] * 1e9,
                      "ratio": res["ratio"], "spread": res["ratio_spread"]}
    print(json.dumps(out), flush=True)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--scale", type=int, help="cold scale instead of 1,000,000 keys")
    p.add_argument("--tiny", action="store_true")
    p.add_argument("--reps", type=int, default=5)
    p.add_argument("--sizes", type=int, nargs="+")
    p.add_argument("--get-many", type=int)
    p.add_argument("--workdir")
    p.add_argument("--probe-open", nargs="+", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.probe_open:
        probe_open(args.probe_open)
        return 0

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    if args.get_many:
        os.makedirs(args.workdir or tempfile.gettempdir(), exist_ok=True)
        run_get_many(args.get_many, args.workdir or tempfile.gettempdir(), args.reps, log)
        return 0
    with tempfile.TemporaryDirectory(prefix="kalvex-index-", dir=args.workdir) as workdir:
        if args.sizes:
            run_sizes(args.sizes, workdir, args.reps, log)
            return 0
        if args.tiny:
            timing.COLLECT, timing.TINY = False, True
            scales, reps = [100, 1000], 2
        else:
            scales, reps = [timing.HOT, args.scale or timing.COLD], args.reps
        print(report(run(scales, reps, 1 if args.tiny else 3, workdir, log)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
