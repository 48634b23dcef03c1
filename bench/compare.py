#!/usr/bin/env python3
"""kalvex beside its peers: one command, one data set, one report.

    python bench/compare.py [--pypy PYPY [--pypy-path DIR]] [--scale 10000000] [--tiny] [--real PATH]
    python bench/compare.py --scans 1000000 --stores kalvex-cffi,lmdb --reps 60 [--cpu-time]

Measures kalvex, a dict (the in-process floor), LMDB, LevelDB, SQLite and marisa-trie
(keys only) on the same keys and payloads at a hot scale (10,000 keys) and a cold scale
(1,000,000 keys, or --scale), in this interpreter and, with --pypy, again under PyPy in
a child process whose results are merged. Writes bench/results/<machine>-<date>.md,
.json and .png. Stores whose package is missing are skipped and named in the report.

Besides the peer tables, questions about kalvex alone: how verify() compares with a
plain read of the file (integrity check), and how its build() call compares with one
write and fsync of as many bytes, and what memory it adds at its peak (build against
the disk), and what the mapped index and batch lookups change (compare_index.py), and
how key ranges, seeks and reverse scans compare with prefix scans, gets and LMDB's cursor
(compare_ranges.py, at the cold scale), and what compressed values cost and save beside
plain ones, LMDB with msgpack values, SQLite and LevelDB: file sizes and decoded gets on
real records (--real) and ~1 KB JSON-like ones (compare_compression.py).

Every figure is the median of several repetitions, timed with the cyclic garbage
collector off (as timeit does). The gets and scans of all stores are timed in turns, with
every store open at once (gets chunk by chunk of their lookups), so that a slow spell of the
machine falls on all alike. "Cold" means a working set far beyond the CPU caches;
the files stay in the page cache. --tiny runs everything on a few hundred keys, checks
that every store answers correctly and asserts nothing about speed.
"""
from __future__ import annotations

import argparse
import collections
import gc
import json
import mmap
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare_compression  # noqa: E402
import compare_data  # noqa: E402
import compare_timing as timing  # noqa: E402
import compare_index  # noqa: E402
import compare_ranges  # noqa: E402
import compare_report  # noqa: E402
import compare_values  # noqa: E402
from compare_stores import ALL, BY_NAME  # noqa: E402

# The settings and timing helpers every comparison shares (compare_timing.py); main()
# sets --tiny's and --cpu-time's there, where the helpers read them.
from compare_timing import (COLD, HOT, check, interpreter_label, median_per_call,  # noqa: E402
                            median_time, paused_gc, rss_status)

def probe_memory(pairs: list[str]) -> None:
    """Child-process body: memory each reader holds right after its open, as JSON.

    Readers are opened one after another and all kept open, so that each delta counts
    only the pages that reader added."""
    stores = [(BY_NAME[name], path) for name, path in zip(pairs[::2], pairs[1::2])]
    for store, _ in stores:
        store.version()             # imports done before any baseline
    out, handles = {}, []
    for store, path in stores:
        gc.collect()
        before = rss_status()
        handles.append(store.open(path, False))
        gc.collect()
        after = rss_status()
        # A fall (the allocator handing pages back meanwhile) counts as no growth.
        out[store.name] = {
            "private": max(0, after.get("RssAnon", 0) - before.get("RssAnon", 0)),
            "mapped": max(0, after.get("RssFile", 0) - before.get("RssFile", 0))}
    json.dump(out, sys.stdout)


def measure_memory(paths: dict) -> dict:
    """Reader memory after open for every store in `paths` (name -> file), measured in
    a fresh process of this interpreter so that no earlier allocation hides any."""
    if not paths or not os.path.exists("/proc/self/status"):
        return {}
    cmd = [sys.executable, os.path.abspath(__file__), "--probe"]
    for name, path in paths.items():
        cmd += [name, path]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def peak_growth(fn) -> int | None:
    """Resident bytes fn() adds at its peak over what the process held before, or None
    where the peak cannot be reset (Linux before 4.0, or no /proc)."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")        # the peak (VmHWM) starts again from the current RSS
    except OSError:
        return None

    def field(name):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(name + ":"):
                    return int(line.split()[1]) * 1024
        return None
    before = field("VmRSS")
    fn()
    peak = field("VmHWM")
    return None if before is None or peak is None else max(0, peak - before)


def build_against_disk(store, data, workdir: str, reps: int) -> dict:
    """kalvex's build() call alone beside the floor the disk sets for the same bytes:
    one write and one fsync of a file that size in the same directory. Also the
    resident memory build() adds at its peak, beside the index section plus 16 bytes per
    object that a build may need. Run it on a real file system: on tmpfs fsync costs
    nothing and the floor means little."""
    path = os.path.join(workdir, f"disk-{data.n}{store.suffix}")
    writer = store.fill(data)
    m = {"disk_build": median_time(lambda: store.build_only(writer, path), reps)}
    size = os.path.getsize(path)
    blob = bytes(size)
    floor_path = path + ".floor"

    def write_and_sync():
        fd = os.open(floor_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            view = memoryview(blob)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
    m["disk_floor"] = median_time(write_and_sync, reps)
    m["disk_size"] = size
    os.remove(floor_path)
    growth = peak_growth(lambda: store.build_only(writer, path))
    if growth is not None:
        m["disk_build_memory"] = growth
    m["disk_build_allowance"] = sum(10 + len(k) for k in data.keys_b) + 16 * data.num_objects
    del writer
    store.remove(path)
    return m


def integrity_baselines(path: str, reps: int) -> dict:
    """zlib.crc32 over the mapped file and a plain read into a preallocated buffer."""
    size = os.path.getsize(path)
    with open(path, "rb", buffering=0) as f:
        buf = bytearray(size)

        def read():
            f.seek(0)
            check(f.readinto(buf) == size, "short read")
        read_time = median_time(read, reps)
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
            crc_time = median_time(lambda: zlib.crc32(mm), reps)
    return {"crc32": crc_time, "read": read_time, "size": size}


def time_writer_calls(calls: dict, n: int, reps: int) -> dict:
    """Per-call time of each (fn, *argument lists) that calls[name]() sets up, over the
    whole load in one deque(map(...)) loop; the series interleave, so the floor and the
    calls it is compared with see the same machine."""
    times: dict = {name: [] for name in calls}
    for _ in range(reps):
        for name, setup in calls.items():
            fn, *lists = setup()
            gc.collect()
            with paused_gc():
                t0 = time.perf_counter()
                collections.deque(map(fn, *lists), maxlen=0)
                times[name].append((time.perf_counter() - t0) / n)
            del fn, lists
    return {name: statistics.median(ts) for name, ts in times.items()}


def measure_store(store, data, workdir: str, reps: int, build_reps: int, log,
                  sorted_data=None) -> dict:
    path = os.path.join(workdir, f"{store.name}-{data.n}{store.suffix}")
    m: dict = {}
    keyed = (lambda k: k) if store.key_type == "str" else (lambda k: k + "_b")
    present = data.lookups[keyed("present")]
    absent = data.lookups[keyed("absent")]

    def build():
        store.remove(path)
        store.build(data, path)
    m["build"] = median_time(build, build_reps) / data.n
    m["size"] = store.size(path)
    log(f"  {store.label}: build {m['build'] * 1e6:.2f} us/key, {m['size'] / 1e6:.1f} MB")
    if hasattr(store, "build_sorted"):
        sorted_path = path + ".sorted"

        def build_sorted():
            store.remove(sorted_path)
            store.build_sorted(sorted_data, sorted_path)
        m["build_sorted"] = median_time(build_sorted, build_reps) / data.n
        store.remove(sorted_path)
    if hasattr(store, "writer_calls"):
        m.update(time_writer_calls(store.writer_calls(data), data.n, build_reps))

    def reopen(check_file):
        def run():
            store.close(store.open(path, check_file))
        return run
    m["open"] = median_time(reopen(False), reps)
    if store.checked_open:
        m["open_checked"] = median_time(reopen(True), reps)

    h = store.open(path, False)
    try:
        get, exists = store.getter(h), store.exister(h)
        sample = range(0, data.n, max(1, data.n // 200))
        if get is not None:
            for i in sample:            # answers checked before anything is timed
                key = data.keys[i] if store.key_type == "str" else data.keys_b[i]
                check(get(key) == data.payloads[i], f"{store.name}: wrong payload")
            check(get(absent[0]) is None, f"{store.name}: absent key found")
            # Timed later, in turns with the other stores' gets (interleaved_reads).
        if exists is not None:
            check(bool(exists(present[0])) and not exists(absent[0]), f"{store.name}: exists")
            m["exists"] = median_per_call(exists, present, reps)
        prefix = compare_data.prefix_for(data.n)
        prefix = prefix if store.key_type == "str" else prefix.encode()
        found = store.prefix_scan(h, prefix)
        if found is not None:
            check(len(found) == data.n // 100, f"{store.name}: prefix scan found {len(found)}")
            check(list(found) == sorted(found), f"{store.name}: prefix scan out of order")
        everything = store.items(h)
        if everything is not None:
            check(len(everything) == data.n, f"{store.name}: items gave {len(everything)}")
            del everything
        # The scans too are timed later, in turns with the other stores' (interleaved_reads).
        if hasattr(store, "verify"):
            check(store.verify(h) is True, f"{store.name}: verify")
            m["verify"] = median_time(lambda: store.verify(h), reps)
            m.update({"integrity_" + k: v for k, v in integrity_baselines(path, reps).items()})
        if hasattr(store, "build_only"):
            m.update(build_against_disk(store, data, workdir, build_reps))
    finally:
        store.close(h)
        del h
        gc.collect()
    return m, path


def interleaved_reads(stores, data, paths: dict, reps: int) -> dict:
    """The gets (present and absent key) and the scans (a prefix, all items) of every
    store, timed in turns with every store open at once. Gets: each store in turn through
    one chunk of its lookups (the order rotating), each a different chunk. Scans: each
    store's whole scan in turn, the order rotating, the median over the repetitions.
    Series run one store after another let a slow spell of a shared machine (or the page
    faults of a file its build just wrote) fall on one store alone: the PyPy cffi column's
    ratio to LMDB moved by a third between two runs so."""
    handles = {s.name: s.open(paths[s.name], False) for s in stores if s.name in paths}
    try:
        out: dict = {name: {} for name in handles}
        opened = [s for s in stores if s.name in handles]
        for metric, kind in (("get", "present"), ("get_absent", "absent")):
            calls = {}
            for s in opened:
                get = s.getter(handles[s.name])
                if get is not None:
                    calls[s.name] = (get, data.lookups[kind if s.key_type == "str" else kind + "_b"])
            for name, seconds in timing.interleaved_per_call(calls, reps).items():
                out[name][metric] = seconds
        prefix = compare_data.prefix_for(data.n)

        def scan(s, h):
            return lambda: s.prefix_scan(h, prefix if s.key_type == "str" else prefix.encode())
        for metric, make, per in (
                ("prefix", scan, data.n // 100),
                ("items", lambda s, h: lambda: s.items(h), data.n),
                ("items_str", lambda s, h: (lambda: s.items_str(h)) if hasattr(s, "items_str") else None, data.n)):
            runs = {}
            for s in opened:
                run = make(s, handles[s.name])
                if run is not None and (metric == "items_str" or run() is not None):
                    runs[s.name] = run
            for name, seconds in interleaved_series(runs, reps).items():
                out[name][metric] = seconds / per
        return out
    finally:
        for s in stores:
            if s.name in handles:
                s.close(handles.pop(s.name))
        gc.collect()


def interleaved_series(runs: dict, reps: int) -> dict:
    """median_time of each run(), the runs taking turns in each repetition (the order
    rotating). As in median_time, scans of microseconds repeat until the slowest one's
    series lasts about a tenth of a second (and PyPy's JIT has compiled them)."""
    names = list(runs)
    times: dict = {name: [] for name in names}
    rep = 0
    if timing.COLLECT:
        gc.collect()  # once, as median_time: on PyPy a collection before each run slows the run
    while rep < reps:
        shift = rep % len(names) if names else 0
        for name in names[shift:] + names[:shift]:
            with paused_gc():
                t0 = timing.CLOCK()
                result = runs[name]()
                times[name].append(timing.CLOCK() - t0)
            del result
        if rep == 0 and names and not timing.TINY:
            slowest = max(ts[0] for ts in times.values())
            reps = max(reps, min(timing.MAX_REPS, int(0.1 / max(slowest, 1e-9))))
        rep += 1
    return {name: statistics.median(ts) for name, ts in times.items()}


def focused_scans(n: int, store_names, reps: int, workdir: str, log) -> None:
    """--scans N: each store built once at N keys, then its prefix scan and listings timed
    in turns as in the full run, printed per item with the ratio to LMDB's; no report."""
    stores = [s for s in ALL if s.name in store_names and s.available() is None
              and not getattr(s, "keys_only", False)]
    data = compare_data.make(n, probes=1)
    paths = {}
    for s in stores:
        paths[s.name] = os.path.join(workdir, f"{s.name}-{n}{s.suffix}")
        s.build(data, paths[s.name])
    del data
    prefix = compare_data.prefix_for(n)
    handles = {s.name: s.open(paths[s.name], False) for s in stores}
    try:
        for metric, per in (("prefix", n // 100), ("items", n)):
            runs = {}
            for s in stores:
                h = handles[s.name]
                if metric == "prefix":
                    runs[s.name] = (lambda s, h: lambda: s.prefix_scan(
                        h, prefix if s.key_type == "str" else prefix.encode()))(s, h)
                else:
                    runs[s.name] = (lambda s, h: lambda: s.items(h))(s, h)
            got = interleaved_series(runs, reps)
            for name, seconds in got.items():
                ratio = f"{seconds / got['lmdb']:.3f}x LMDB" if "lmdb" in got else ""
                log(f"{metric:>7} {name:>12}: {seconds / per * 1e9:7.1f} ns/item  {ratio}")
    finally:
        for s in stores:
            s.close(handles.pop(s.name))
            s.remove(paths[s.name])


def run_all(scales, store_names, reps, build_reps, probes, workdir, log, real=None) -> dict:
    result = {"interpreter": interpreter_label(),
              "implementation": platform.python_implementation(),
              "stores": {}, "scales": {}}
    stores = []
    for s in ALL:
        if s.name not in store_names:
            continue
        why = s.available()
        result["stores"][s.name] = {"label": s.label, "skipped": why,
                                    "version": None if why else s.version()}
        if why is None:
            stores.append(s)
        else:
            log(f"  skipping {s.label}: {why}")
    for n in scales:
        log(f"[{result['interpreter']}] {n:,} keys: generating data")
        data = compare_data.make(n, probes=probes)
        sorted_data = compare_data.sorted_input(data)
        per_store, paths = {}, {}
        for s in stores:
            per_store[s.name], paths[s.name] = measure_store(s, data, workdir, reps,
                                                             build_reps, log, sorted_data)
        for name, mem in measure_memory(paths).items():
            per_store[name].update({"mem_" + k: v for k, v in mem.items()})
        for name, m in interleaved_reads(stores, data, paths, reps).items():
            per_store[name].update(m)
        for s in stores:
            s.remove(paths[s.name])
        result["scales"][str(n)] = per_store
        del data, sorted_data
        gc.collect()
    if "values" in store_names:
        log(f"[{result['interpreter']}] decoded values through the package")
        result["values"] = compare_values.run(scales, reps, build_reps, workdir, log,
                                              timer=timing)
    if "index" in store_names:
        log(f"[{result['interpreter']}] the mapped index and batch lookups through the package")
        result["index"] = compare_index.run(scales, reps, build_reps, workdir, log,
                                            timer=timing)
    if "ranges" in store_names:
        log(f"[{result['interpreter']}] key ranges, seeks and reverse scans through the package")
        result["ranges"] = compare_ranges.run(scales[-1:], reps, workdir, log, timer=timing)
    if "compression" in store_names:
        log(f"[{result['interpreter']}] compressed values beside plain ones and the peers")
        result["compression"] = compare_compression.run(
            reps, workdir, log, timer=timing, real=None if timing.TINY else real,
            synthetic=500 if timing.TINY else compare_compression.SYNTHETIC)
    return result


def machine_name() -> str:
    model = "cpu"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1]
                    break
    except OSError:
        pass
    slug = "-".join(w for w in model.lower().replace("(r)", "").replace("(tm)", "").split()
                    if w not in ("processor", "cpu", "@"))[:32].strip("-")
    return f"{platform.machine()}-{slug}-{os.cpu_count()}cpu"


# Options whose values are paths of the machine that ran: the report leaves them out.
_LOCAL_PATHS = ("--pypy-path", "--workdir", "--out", "--real")


def typed_command(args: list[str], script: str = "bench/compare.py") -> str:
    """The command of a run as a user would type it: a PyPy interpreter given by its path
    shown as `pypy3` (the report names its version), local directories left out."""
    out, rest = ["python", script], iter(args)
    for arg in rest:
        name, eq, value = arg.partition("=")
        if name in _LOCAL_PATHS:
            if not eq:
                next(rest, None)
            continue
        if name == "--pypy":
            value = value if eq else next(rest, "")
            out += ["--pypy", "pypy3" if os.sep in value else value]
            continue
        out.append(arg)
    return " ".join(out)


def run_pypy(args, workdir: str, log) -> dict:
    out = os.path.join(workdir, "pypy.json")
    cmd = [args.pypy, os.path.abspath(__file__), "--worker", out,
           "--reps", str(args.reps), "--build-reps", str(args.build_reps),
           "--stores", args.stores, "--workdir", workdir, "--real", args.real]
    if args.tiny:
        cmd.append("--tiny")
    if args.scale:
        cmd += ["--scale", str(args.scale)]
    env = dict(os.environ)
    if args.pypy_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [args.pypy_path,
                                                          env.get("PYTHONPATH")]))
    log(f"re-running under {args.pypy}")
    subprocess.run(cmd, check=True, env=env)
    with open(out) as f:
        return json.load(f)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--scale", type=int, help="cold scale instead of 1,000,000 keys")
    p.add_argument("--tiny", action="store_true", help="a few hundred keys, seconds, no chart kept")
    p.add_argument("--reps", type=int, default=5, help="repetitions per figure (median)")
    p.add_argument("--build-reps", type=int, default=3, help="repetitions of each build")
    p.add_argument("--stores", default=",".join([s.name for s in ALL] + ["values", "index", "ranges", "compression"]),
                   help="stores to measure; 'values' adds the decoded-values section, 'index' "
                        "the mapped index and batch lookups, 'ranges' key ranges and seeks, "
                        "'compression' compressed values beside plain ones and the peers")
    p.add_argument("--real", default=compare_compression.REAL,
                   help="real records for the compression section (a .tsv.gz; skipped when absent)")
    p.add_argument("--pypy", help="PyPy interpreter to re-run the measurements under")
    p.add_argument("--pypy-path", help="PYTHONPATH for the PyPy run (where its kalvex is)")
    p.add_argument("--out", help="report directory (default bench/results; --tiny: a temp dir)")
    p.add_argument("--workdir", help="where store files are written (default: a temp dir)")
    p.add_argument("--no-chart", action="store_true")
    p.add_argument("--scans", type=int, metavar="N",
                   help="only the prefix scans and listings at N keys, printed, no report")
    p.add_argument("--cpu-time", action="store_true",
                   help="with --scans: time by the process's CPU time instead of the wall clock")
    p.add_argument("--worker", metavar="JSON", help=argparse.SUPPRESS)
    p.add_argument("--probe", nargs="+", metavar="STORE PATH", help=argparse.SUPPRESS)
    args = p.parse_args(argv)

    if args.probe:
        probe_memory(args.probe)
        return 0

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    if args.tiny:
        timing.COLLECT, timing.TINY = False, True
        scales, probes = [100, 1000], 2000
        args.reps, args.build_reps = min(args.reps, 2), 1
    else:
        scales, probes = [HOT, args.scale or COLD], 100_000
    names = set(args.stores.split(","))

    if args.scans:
        timing.CLOCK = time.process_time if args.cpu_time else time.perf_counter
        with tempfile.TemporaryDirectory(prefix="kalvex-compare-", dir=args.workdir) as workdir:
            focused_scans(args.scans, names, args.reps, workdir, log)
        return 0

    with tempfile.TemporaryDirectory(prefix="kalvex-compare-", dir=args.workdir) as workdir:
        result = run_all(scales, names, args.reps, args.build_reps, probes, workdir, log, real=args.real)
        if args.worker:
            with open(args.worker, "w") as f:
                json.dump(result, f)
            return 0
        results, failures = [result], []
        if args.pypy:
            try:
                results.append(run_pypy(args, workdir, log))
            except (subprocess.CalledProcessError, OSError) as e:
                failures.append(f"the run under {args.pypy} failed: {e}")
                log(failures[-1])

    meta = {"machine": machine_name(), "date": time.strftime("%Y-%m-%d"),
            "scales": scales, "reps": args.reps, "build_reps": args.build_reps,
            "probes": probes, "platform": platform.platform(), "failures": failures,
            "command": typed_command(argv or sys.argv[1:])}
    out_dir = args.out
    cleanup = None
    if out_dir is None and args.tiny:
        cleanup = tempfile.TemporaryDirectory(prefix="kalvex-compare-out-")
        out_dir = cleanup.name
    out_dir = out_dir or os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
    os.makedirs(out_dir, exist_ok=True)
    written = compare_report.write(results, meta, out_dir, with_chart=not args.no_chart, log=log)
    for path in written:
        log(f"wrote {path}")
    if cleanup:
        cleanup.cleanup()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
