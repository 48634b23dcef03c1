"""Compressed values: kalvex's compressed store beside its plain one and the peers.

    python bench/compare_compression.py [--real PATH] [--synthetic 100000] [--reps 5] [--tiny]

Records where compression has something to find: the real rows of a package index listing
(``--real``, when the file is there; key = the package name, value = the row's other
columns as a map of ~150 bytes) and JSON-like records of ~1 KB made from a seed
(bench_compression.py makes both).

Sizes: the same (key, msgpack value) pairs in kalvex (plain and ``compression="zstd"``,
level 3, dictionary trained at build), LMDB, SQLite and LevelDB (which compresses its
blocks), as compare.py builds them; a peer whose package is missing is skipped. Gets: a get
of a present key with its value decoded (kalvex ``r[key]`` on both stores, LMDB
``msgpack.unpackb(txn.get(key))``), then kalvex's ``get_raw`` on both stores, whose
difference is the decompression (the record's CRC check included), all timed in turns,
chunk by chunk of the same random probes (compare_timing.interleaved_per_call). Figures
are medians, as in compare.py.
"""
from __future__ import annotations

import argparse
import os
import random
import sys
import tempfile
from types import SimpleNamespace

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare_timing as timing  # noqa: E402
from compare_stores import BY_NAME  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# The shared data directory beside the checkout (../shared/data from its root).
REAL = os.path.join(HERE, "..", "..", "shared", "data", "listing.tsv.gz")
PEERS = ("lmdb", "sqlite", "leveldb")
PROBES = 100_000
SYNTHETIC = 100_000  # records of ~1 KB: 100 MB of values in each of five stores
PLAIN, PACKED, LMDB = "kalvex", 'kalvex, compression="zstd"', "LMDB + msgpack"


def pairs(rows: list) -> SimpleNamespace:
    """`rows` ((str key, value) pairs) as the peers' builds take them: bytes keys, msgpack
    payloads (the encoding kalvex stores)."""
    import msgpack
    return SimpleNamespace(keys_b=[key.encode() for key, _ in rows], n=len(rows),
                           payloads=[msgpack.packb(value, use_bin_type=True) for _, value in rows])


def sizes(data: SimpleNamespace, plain_path: str, packed_path: str, directory: str) -> dict[str, int | str]:
    """Bytes of each store holding `data` (see pairs), by label: kalvex's two stores as built
    at the paths, each peer built here and removed (or the reason it is skipped)."""
    out: dict[str, int | str] = {PLAIN: os.path.getsize(plain_path), PACKED: os.path.getsize(packed_path)}
    for name in PEERS:
        store = BY_NAME[name]
        why = store.available()
        if why is not None:
            out[store.label] = f"skipped: {why}"
            continue
        path = os.path.join(directory, "peer" + store.suffix)
        store.build(data, path)
        out[store.label] = store.size(path)
        store.remove(path)
    return out


def gets(rows: list, plain_path: str, packed_path: str, lmdb_path: str | None, reps: int, timer) -> dict:
    """Seconds per call of each decoded get and of kalvex's get_raw, timed in turns."""
    import msgpack
    import kalvex
    rng = random.Random(7)
    probes = [rows[rng.randrange(len(rows))][0] for _ in range(min(PROBES, 10 * len(rows)))]
    plain = kalvex.KalvReader(plain_path, verify=False)
    packed = kalvex.KalvReader(packed_path, verify=False)
    env = txn = None
    try:
        calls = {PLAIN: plain.__getitem__, PACKED: packed.__getitem__}
        if lmdb_path is not None:
            import lmdb
            env = lmdb.open(lmdb_path, subdir=False, readonly=True, lock=False)
            txn = env.begin()
            get, unpack = txn.get, msgpack.unpackb
            calls[LMDB] = lambda key: unpack(get(key.encode()))
        for name, fn in calls.items():
            timer.check(fn(probes[0]) == plain[probes[0]], f"{name}: wrong value")
        out = timer.interleaved_per_call({name: (fn, probes) for name, fn in calls.items()}, reps, timer)
        out.update(timer.interleaved_per_call({
            PLAIN + " get_raw": (plain.get_raw, probes), PACKED + " get_raw": (packed.get_raw, probes)}, reps, timer))
        return out
    finally:
        if txn is not None:
            txn.abort()
            env.close()
        plain.close()
        packed.close()


def run_set(rows: list, reps: int, workdir: str, timer) -> dict:
    import kalvex
    paths = {c: os.path.join(workdir, f"compression-{c or 'plain'}.klvx") for c in (None, "zstd")}
    for compression, path in paths.items():
        with kalvex.KalvWriter(path, compression=compression) as writer:
            writer.update(rows)
    try:
        data = pairs(rows)
        size = sizes(data, paths[None], paths["zstd"], workdir)
        lmdb_path = None
        if BY_NAME["lmdb"].available() is None:
            lmdb_path = os.path.join(workdir, "compression-lmdb")
            BY_NAME["lmdb"].build(data, lmdb_path)
        try:
            timed = gets(rows, paths[None], paths["zstd"], lmdb_path, reps, timer)
        finally:
            if lmdb_path is not None:
                BY_NAME["lmdb"].remove(lmdb_path)
        with kalvex.KalvReader(paths["zstd"]) as r:
            stats = r.stats()
        return {"keys": len(rows), "size": size, "get": timed, "ratio": stats["ratio"],
                "dictionary": stats["dictionary_size"]}
    finally:
        for path in paths.values():
            os.remove(path)


def run(reps: int, workdir: str, log, timer=timing, real: str | None = REAL, synthetic: int = SYNTHETIC) -> dict:
    """Measurements per data set: real rows when the file is there, and `synthetic` records."""
    from compare_data import real_rows, synthetic_rows
    sets = {}
    if real and os.path.exists(real):
        sets[f"real rows ({os.path.basename(real)})"] = lambda: list(real_rows(real))
    if synthetic:
        sets[f"synthetic JSON-like records of ~1 KB ({synthetic:,})"] = lambda: list(synthetic_rows(synthetic))
    results = {}
    for title, make in sets.items():
        log(f"  compressed values: {title}")
        results[title] = run_set(make(), reps, workdir, timer)
    return results


def report(results: dict) -> str:
    lines = []
    for title, m in results.items():
        plain = m["size"][PLAIN]
        lines += [f"\nCompressed values, {title}: {m['keys']:,} keys; values stored at {m['ratio']:.3f} "
                  f"of their size, dictionary {m['dictionary']:,} B", "",
                  f"  {'store':30s} {'bytes':>14s}  ÷ kalvex plain"]
        for label, size in m["size"].items():
            cell = f"{size:14,d}  {size / plain:.2f}" if isinstance(size, int) else size
            lines.append(f"  {label:30s} {cell}")
        got = m["get"]
        peer = got.get(LMDB)
        lines += ["", f"  {'decoded get':30s} {'ns':>14s}  ÷ LMDB + msgpack"]
        for label in (PLAIN, PACKED, LMDB):
            if label in got:
                ratio = f"  {got[label] / peer:.2f}×" if peer else ""
                lines.append(f"  {label:30s} {got[label] * 1e9:14,.0f}{ratio}")
        decompression = got[PACKED + " get_raw"] - got[PLAIN + " get_raw"]
        lines.append(f"  compressed ÷ plain: r[key] {got[PACKED] / got[PLAIN]:.2f}×; decompression (get_raw's "
                     f"difference, CRC check included) {decompression * 1e9:+,.0f} ns a get")
    return "\n".join(lines)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--real", default=REAL)
    p.add_argument("--synthetic", type=int, default=SYNTHETIC)
    p.add_argument("--reps", type=int, default=5)
    p.add_argument("--tiny", action="store_true")
    args = p.parse_args(argv)
    if args.tiny:
        timing.COLLECT, timing.TINY = False, True
    with tempfile.TemporaryDirectory(prefix="kalvex-compression-") as workdir:
        results = run(2 if args.tiny else args.reps, workdir, lambda msg: print(msg, file=sys.stderr, flush=True),
                      real=None if args.tiny else args.real, synthetic=500 if args.tiny else args.synthetic)
    print(f"[{timing.interpreter_label()}]" + report(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
