"""Decoded values: the kalvex package beside stores that hand back Python objects.

    python bench/compare_values.py [--scale 1000000] [--tiny]

compare.py measures raw payload bytes; this is the same question one layer up, where a
user lives: Python values in, Python values out. Stores: the kalvex package
(KalvWriter/KalvReader), LMDB with msgpack (the same encoding, done by hand), shelve
(standard library, pickle over dbm) and sqlitedict (pickle over SQLite). Rows: a build
from a dict (one call or one transaction), a get of a present key with its value
decoded, and a prefix scan of 1% of the keys where the store keeps keys in order.

It also measures what the package costs over what a user would write by hand:
``r[key]`` and ``r.get(key)`` against ``msgpack.unpackb(r.get_raw(key))`` (msgpack's own
defaults, no keyword arguments), and ``key in r`` against the backend's ``exists``. The
rows of gets, and the package's costs, are timed interleaved: chunk by chunk of the same
probes, each store in turn, so that a slow spell of a shared machine falls on all alike
(kalvex and LMDB in turns with each other, the far slower stores apart). The data: n keys "user:%08d" in a seeded random order, each value a small
dict, every fourth value equal to the one before (a repeated value the package stores
once). The build is also run on the same dict in sorted key order, against LMDB's
``append=True``; the builds of all stores are timed in turns too. Figures are medians, as
in compare.py.
"""
from __future__ import annotations

import argparse
import os
import random
import shelve
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare_timing as timing  # noqa: E402
from compare_timing import interleaved_per_call  # noqa: E402
import compare_data  # noqa: E402


def make_values(n: int, seed: int = 20261207) -> dict[str, dict]:
    rng = random.Random(seed)
    order = list(range(n))
    rng.shuffle(order)
    data: dict[str, dict] = {}
    value: dict = {}
    for position, i in enumerate(order):
        if position % 4 != 3:
            value = {"id": i, "name": f"user {i}", "score": rng.random(),
                     "tags": ["a", "b"][: i % 3]}
        data[compare_data.KEY_FORMAT % i] = value
    return data


class Package:
    name = "kalvex"

    def build(self, data, path, sorted_input=False):
        import kalvex
        kalvex.build(path, data)

    def open(self, path):
        import kalvex
        return kalvex.KalvReader(path, verify=False)

    def close(self, h):
        h.close()

    def getter(self, h):
        return h.__getitem__

    def prefix(self, h, prefix):
        return h.prefix(prefix)


class LmdbMsgpack:
    name = "lmdb+msgpack"

    def build(self, data, path, sorted_input=False):
        import lmdb
        import msgpack
        env = lmdb.open(path, subdir=False, map_size=1 << 34, sync=True, metasync=True)
        try:
            with env.begin(write=True) as txn:
                put, pack = txn.put, msgpack.packb
                for key, value in data.items():
                    put(key.encode(), pack(value), append=sorted_input)
            env.sync(True)
        finally:
            env.close()

    def open(self, path):
        import lmdb
        env = lmdb.open(path, subdir=False, readonly=True, lock=False)
        return env, env.begin()

    def close(self, h):
        h[1].abort()
        h[0].close()

    def getter(self, h):
        import msgpack
        get, unpack = h[1].get, msgpack.unpackb
        return lambda key: unpack(get(key.encode()))

    def prefix(self, h, prefix):
        import msgpack
        cursor, unpack, raw_prefix = h[1].cursor(), msgpack.unpackb, prefix.encode()
        out = []
        if cursor.set_range(raw_prefix):
            for key, value in cursor.iternext():
                if not key.startswith(raw_prefix):
                    break
                out.append((key.decode(), unpack(value)))
        return out


class Shelve:
    name = "shelve"

    def build(self, data, path, sorted_input=False):
        with shelve.open(path, "n") as shelf:
            shelf.update(data)

    def open(self, path):
        return shelve.open(path, "r")

    def close(self, h):
        h.close()

    def getter(self, h):
        return h.__getitem__

    prefix = None


class SqliteDict:
    name = "sqlitedict"

    def build(self, data, path, sorted_input=False):
        from sqlitedict import SqliteDict as Store
        with Store(path, autocommit=False) as store:
            store.update(data)
            store.commit()

    def open(self, path):
        from sqlitedict import SqliteDict as Store
        return Store(path, flag="r")

    def close(self, h):
        h.close()

    def getter(self, h):
        return h.__getitem__

    prefix = None


STORES = [Package(), LmdbMsgpack(), Shelve(), SqliteDict()]


# The stores whose gets are compared: timed in turns with each other only.
RACED = ("kalvex", "lmdb+msgpack")


def _available(store) -> bool:
    try:
        if store.name == "lmdb+msgpack":
            import lmdb  # noqa: F401
        elif store.name == "sqlitedict":
            if sys.implementation.name == "pypy":
                return False  # its commit thread fails on PyPy's sqlite3
            import sqlitedict  # noqa: F401
    except ImportError:
        return False
    return True


def _remove(path: str) -> None:
    for suffix in ("", "-lock", ".db", ".dat", ".dir", ".bak"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)


def interleaved_builds(stores: list, paths: dict, data: dict, ordered: dict, reps: int, timer=timing) -> dict:
    """Seconds of each build (from ``data``, and for the stores that keep keys in order
    from ``ordered`` too), per store name and metric, as lists: in each of ``reps`` turns
    every store builds once of each kind, the order rotating, so that a slow spell of a
    shared machine falls on all alike. Each store's file is left from its last build."""
    times: dict = {store.name: {"build": []} for store in stores}
    for store in stores:
        if store.name in ("kalvex", "lmdb+msgpack"):
            times[store.name]["build_sorted"] = []
    for rep in range(reps):
        shift = rep % len(stores) if stores else 0
        for store in stores[shift:] + stores[:shift]:
            path = paths[store.name]
            for metric, source, sorted_input in (("build", data, False), ("build_sorted", ordered, True)):
                if metric not in times[store.name]:
                    continue

                def build(source=source, sorted_input=sorted_input, store=store, path=path):
                    _remove(path)
                    store.build(source, path, sorted_input)
                times[store.name][metric].append(timer.median_time(build, 1))
    return times


def wrapper_overhead(path: str, probes: list[str], reps: int, timer=timing) -> dict[str, float]:
    """Seconds per call of the package's lookups and of what a user would write by hand."""
    import msgpack
    import kalvex
    reader = kalvex.KalvReader(path, verify=False)
    get_raw, unpack, exists = reader.get_raw, msgpack.unpackb, reader._live().exists
    out = interleaved_per_call({name: (fn, probes) for name, fn in {
        "r[key]": reader.__getitem__,
        "r.get(key)": reader.get,
        "get_raw + unpackb": lambda key: unpack(get_raw(key)),
        "key in r": reader.__contains__,
        "exists": exists,
    }.items()}, reps, timer)
    reader.close()
    return out


def run(scales: list[int], reps: int, build_reps: int, workdir: str, log, timer=timing) -> dict:
    """Measurements per scale and store; `timer` is the module whose timing helpers (and
    settings, such as --tiny's) apply, compare_timing unless a caller brings its own."""
    results: dict = {}
    for n in scales:
        data = make_values(n)
        ordered = dict(sorted(data.items()))
        rng = random.Random(7)
        probes = [compare_data.KEY_FORMAT % rng.randrange(n) for _ in range(min(100_000, 10 * n))]
        prefix = compare_data.prefix_for(n)
        per_store: dict = {}
        opened: dict = {}
        stores = []
        for store in STORES:
            if _available(store):
                stores.append(store)
            else:
                log(f"  skipping {store.name}: not installed")
        paths = {store.name: os.path.join(workdir, f"values-{store.name}-{n}") for store in stores}
        builds = interleaved_builds(stores, paths, data, ordered, build_reps, timer)
        try:
            for store in stores:
                path = paths[store.name]
                m: dict = {metric: statistics.median(times) / n for metric, times in builds[store.name].items()}
                h = opened[store.name] = (store, store.open(path), path)
                get = store.getter(h[1])
                timer.check(get(probes[0]) == data[probes[0]], f"{store.name}: wrong value")
                if store.prefix is not None:
                    found = store.prefix(h[1], prefix)
                    timer.check(len(found) == n // 100, f"{store.name}: prefix found {len(found)}")
                    # A JIT compiles a scan only after tens of thousands of items: a few
                    # timed calls of a short one would measure its interpreter instead.
                    for _ in range(20_000 // len(found)):
                        store.prefix(h[1], prefix)
                    m["prefix"] = timer.median_time(lambda: store.prefix(h[1], prefix), reps) / len(found)
                per_store[store.name] = m
            # Timed in two groups: a store a hundred times slower than the others would empty
            # the CPU caches between their chunks, and the hot scale would measure them cold.
            gets: dict = {}
            for raced in (True, False):
                gets.update(interleaved_per_call({
                    name: (store.getter(h), probes) for name, (store, h, _) in opened.items()
                    if (name in RACED) == raced}, reps, timer))
            for name, seconds in gets.items():
                per_store[name]["get"] = seconds
        finally:
            for store, h, _ in opened.values():
                store.close(h)
        for name, (store, _, path) in opened.items():
            m = per_store[name]
            if name == "kalvex":
                m["overhead"] = wrapper_overhead(path, probes, reps, timer)
            log(f"  {name}: " + ", ".join(
                f"{k} {v * 1e9:.0f} ns" for k, v in m.items() if isinstance(v, float)))
            _remove(path)
        results[str(n)] = per_store
    return results


def report(results: dict) -> str:
    lines = []
    for n, per_store in results.items():
        lines.append(f"\nDecoded values, {int(n):,} keys (ns per key or call; ratio to lmdb+msgpack)")
        peer = per_store.get("lmdb+msgpack", {})
        for metric in ("build", "build_sorted", "get", "prefix"):
            cells = []
            for name, m in per_store.items():
                if metric in m:
                    ratio = f" ({m[metric] / peer[metric]:.2f}×)" if metric in peer else ""
                    cells.append(f"{name} {m[metric] * 1e9:,.0f}{ratio}")
            lines.append(f"  {metric:13s} " + " · ".join(cells))
        over = per_store.get("kalvex", {}).get("overhead")
        if over:
            base = over["get_raw + unpackb"]
            lines.append("  package over raw calls: " + ", ".join([
                f"r[key] +{(over['r[key]'] - base) * 1e9:.0f} ns",
                f"r.get +{(over['r.get(key)'] - base) * 1e9:.0f} ns",
                f"in +{(over['key in r'] - over['exists']) * 1e9:.0f} ns",
            ]) + f" (get_raw + unpackb {base * 1e9:.0f} ns, exists {over['exists'] * 1e9:.0f} ns)")
    return "\n".join(lines)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--scale", type=int, default=1_000_000)
    p.add_argument("--tiny", action="store_true")
    p.add_argument("--reps", type=int, default=5)
    p.add_argument("--build-reps", type=int, default=1)
    args = p.parse_args(argv)
    scales = [1000] if args.tiny else [10_000, args.scale]
    if args.tiny:
        timing.COLLECT, timing.TINY = False, True
    with tempfile.TemporaryDirectory(prefix="kalvex-values-") as workdir:
        results = run(scales, 2 if args.tiny else args.reps, args.build_reps, workdir,
                      lambda msg: print(msg, file=sys.stderr, flush=True))
    print(f"[{timing.interpreter_label()}]" + report(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
