"""Turns compare.py's measurements into a Markdown report, a JSON file and a chart."""
from __future__ import annotations

import json
import os

# metric, row label, unit, multiplier from the stored SI value
ROWS = [
    ("build", "build: add calls + build, fsync", "µs/key", 1e6),
    ("build_sorted", "build, input in key order (LMDB: append=True)", "µs/key", 1e6),
    ("size", "file size", "MB", 1e-6),
    ("open", "open", "ms", 1e3),
    ("open_checked", "open with whole-file check", "ms", 1e3),
    ("mem_private", "memory after open: private", "MB", 1e-6),
    ("mem_mapped", "memory after open: file pages mapped", "MB", 1e-6),
    ("get", "get, present key", "ns", 1e9),
    ("get_absent", "get, absent key", "ns", 1e9),
    ("exists", "exists, present key", "ns", 1e9),
    ("prefix", "prefix scan of 1% of keys", "ns/item", 1e9),
    ("items", "all items, in key order", "ns/item", 1e9),
    ("items_str", "all items, str keys", "ns/item", 1e9),
]

# Rows that kalvex does not lead by design, and why (one line each).
BY_DESIGN = {
    "open": "open is O(n) by design: it loads every key into an in-memory hash index so "
            "that a get is one probe; B-tree stores (LMDB, SQLite, LevelDB) open in "
            "constant time and page their index in on demand, and marisa-trie maps its "
            "file.",
    "mem_private": "the hash index and key list live in private memory by design; B-tree "
                   "stores keep their index in the page cache.",
    "open_checked": "no peer checks a whole file at open.",
    "size": "marisa-trie stores keys only.",
    "get_absent": "dict caches each str key's hash in the key object, so a repeated miss "
                  "costs it one probe; kalvex hashes the key's bytes on every call.",
    "mem_mapped": "LevelDB and SQLite read into their own caches instead of mapping.",
}

# name, metric, peer, peer metric, limit (ours ÷ peer), scales ("hot", "cold")[, ours]
# "ours" is the kalvex store judged: the C-API module, or the cffi path (PyPy only).
TARGETS = [
    ("get_raw ≤ 1.5× dict.get (hot)", "get", "dict", "get", 1.5, ("hot",)),
    ("get_raw ≤ 1.25× dict.get (cold)", "get", "dict", "get", 1.25, ("cold",)),
    ("absent-key get_raw ≤ 1× dict.get", "get_absent", "dict", "get_absent", 1.0,
     ("hot", "cold")),
    ("build ≤ 0.5× LMDB", "build", "lmdb", "build", 0.5, ("hot", "cold")),
    ("build, sorted input ≤ 1× LMDB append", "build_sorted", "lmdb", "build_sorted", 1.0,
     ("hot", "cold")),
    ("add_object_raw ≤ 2× the len floor", "call_add_object", "kalvex", "call_len", 2.0,
     ("cold",)),
    ("add_key ≤ 2.25× the len floor", "call_add_key", "kalvex", "call_len", 2.25, ("cold",)),
    ("prefix scan per item ≤ 0.5× LMDB", "prefix", "lmdb", "prefix", 0.5, ("hot", "cold")),
    ("items per item ≤ 0.5× LMDB", "items", "lmdb", "items", 0.5, ("hot", "cold")),
    ("verify() ≤ 2.5× plain read", "verify", "kalvex", "integrity_read", 2.5,
     ("hot", "cold")),
    ("build() ≤ 1.5× write + fsync", "disk_build", "kalvex", "disk_floor", 1.5,
     ("hot", "cold")),
    ("cffi get ≤ 0.35× LMDB", "get", "lmdb", "get", 0.35, ("hot", "cold"), "kalvex-cffi"),
    ("cffi get ≤ 2.5× dict.get", "get", "dict", "get", 2.5, ("hot", "cold"), "kalvex-cffi"),
    ("cffi absent-key get ≤ 0.5× LMDB", "get_absent", "lmdb", "get_absent", 0.5,
     ("hot", "cold"), "kalvex-cffi"),
    ("cffi prefix scan per item ≤ 0.5× LMDB", "prefix", "lmdb", "prefix", 0.5,
     ("hot", "cold"), "kalvex-cffi"),
    ("cffi items per item ≤ 0.5× LMDB", "items", "lmdb", "items", 0.5, ("hot", "cold"),
     "kalvex-cffi"),
]


def _fmt(v: float) -> str:
    if v == 0:
        return "0"
    a = abs(v)
    if a >= 100:
        return f"{v:,.0f}"
    if a >= 10:
        return f"{v:.1f}"
    if a >= 1:
        return f"{v:.2f}"
    return f"{v:.3f}"


def _labels(result: dict) -> dict:
    return {name: info["label"] for name, info in result["stores"].items()}


def _scale_names(meta: dict) -> dict:
    hot, cold = meta["scales"][0], meta["scales"][-1]
    return {str(hot): "hot", str(cold): "cold"}


def _table(result: dict, n: str) -> list[str]:
    per_store = result["scales"][n]
    labels = _labels(result)
    ours_paths = [s for s in per_store if s.startswith("kalvex")]
    peers = [s for s in per_store if not s.startswith("kalvex")]
    head = (["workload", "unit"] + [labels[s] for s in ours_paths] + [labels[s] for s in peers]
            + ["kalvex ÷ best peer"])
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    notes = []
    for metric, label, unit, mult in ROWS:
        row_values = {s: m[metric] for s, m in per_store.items() if metric in m}
        if not row_values:
            continue
        cells = [label, unit]
        for s in ours_paths + peers:
            cells.append(_fmt(row_values[s] * mult) if s in row_values else "—")
        # The fastest kalvex path this interpreter offers, against the best peer.
        ours = min((row_values[s] for s in ours_paths if s in row_values), default=None)
        peer_values = {s: v for s, v in row_values.items() if s in peers}
        if ours is not None and peer_values:
            best = min(peer_values, key=peer_values.get)
            ratio = ours / peer_values[best] if peer_values[best] else float("inf")
            cells.append(f"{ratio:.2f}× ({labels[best]})")
            if ratio > 1 and metric in BY_DESIGN:
                notes.append(f"- *{label}*: {BY_DESIGN[metric]}")
        else:
            cells.append("—")
            if ours is not None and metric in BY_DESIGN:
                notes.append(f"- *{label}*: {BY_DESIGN[metric]}")
        lines.append("| " + " | ".join(cells) + " |")
    return lines + [""] + notes


def _integrity(result: dict, meta: dict) -> list[str]:
    names = _scale_names(meta)
    lines = ["| keys | file MB | verify() ms | zlib.crc32 ms | plain read ms "
             "| verify ÷ read | verify GB/s |", "|---|---|---|---|---|---|---|"]
    for n, per_store in result["scales"].items():
        k = per_store.get("kalvex", {})
        if "verify" not in k:
            continue
        size = k["integrity_size"]
        lines.append(
            f"| {int(n):,} ({names.get(n, '')}) | {size / 1e6:.1f} | {k['verify'] * 1e3:.2f} "
            f"| {k['integrity_crc32'] * 1e3:.2f} | {k['integrity_read'] * 1e3:.2f} "
            f"| {k['verify'] / k['integrity_read']:.2f}× | {size / k['verify'] / 1e9:.2f} |")
    return lines


def _writer_calls(result: dict, meta: dict) -> list[str]:
    names = _scale_names(meta)
    lines = ["| keys | add_object_raw ns | add_key ns | len ns (floor) | dict insert ns "
             "| add_object_raw ÷ len | add_key ÷ len |", "|---|---|---|---|---|---|---|"]
    for n, per_store in result["scales"].items():
        k = per_store.get("kalvex", {})
        if "call_len" not in k:
            continue
        floor = k["call_len"]
        lines.append(
            f"| {int(n):,} ({names.get(n, '')}) | {k['call_add_object'] * 1e9:.1f} "
            f"| {k['call_add_key'] * 1e9:.1f} | {floor * 1e9:.1f} "
            f"| {k['call_dict_set'] * 1e9:.1f} | {k['call_add_object'] / floor:.2f}× "
            f"| {k['call_add_key'] / floor:.2f}× |")
    return lines


def _disk(result: dict, meta: dict) -> list[str]:
    names = _scale_names(meta)
    lines = ["| keys | file MB | build() ms | write + fsync ms | build ÷ floor "
             "| peak memory in build() MB | allowance MB |", "|---|---|---|---|---|---|---|"]
    for n, per_store in result["scales"].items():
        k = per_store.get("kalvex", {})
        if "disk_build" not in k:
            continue
        memory = k.get("disk_build_memory")
        lines.append(
            f"| {int(n):,} ({names.get(n, '')}) | {k['disk_size'] / 1e6:.1f} "
            f"| {k['disk_build'] * 1e3:.2f} | {k['disk_floor'] * 1e3:.2f} "
            f"| {k['disk_build'] / k['disk_floor']:.2f}× "
            f"| {'—' if memory is None else _fmt(memory / 1e6)} "
            f"| {_fmt(k['disk_build_allowance'] / 1e6)} |")
    return lines


def targets(result: dict, meta: dict) -> list[tuple]:
    """(target, scale name, ratio or None, met) for every target this result can judge."""
    names = _scale_names(meta)
    out = []
    for name, metric, peer, peer_metric, limit, which, *store in TARGETS:
        for n, per_store in result["scales"].items():
            if names.get(n) not in which:
                continue
            ours = per_store.get(store[0] if store else "kalvex", {}).get(metric)
            theirs = per_store.get(peer, {}).get(peer_metric)
            if ours is None or not theirs:
                out.append((name, names[n], None, None))
                continue
            ratio = ours / theirs
            out.append((name, names[n], ratio, ratio <= limit))
    return out


def markdown(results: list[dict], meta: dict) -> str:
    names = _scale_names(meta)
    out = [f"# kalvex beside its peers — {meta['machine']}, {meta['date']}", "",
           f"Command: `{meta['command']}`  ", f"Platform: {meta['platform']}  ",
           f"Medians of {meta['reps']} repetitions ({meta['build_reps']} for builds); "
           f"lookups draw {meta['probes']:,} keys at random (fresh `str` objects; bytes "
           "for the stores that take bytes, encoded before timing) and call the store "
           "through `deque(map(fn, keys), 0)`, timed in chunks of 5,000 calls (the "
           "median is over all chunks of all repetitions; the gets and scans of all stores in turns, "
           "chunk by chunk, every store open at once); CPython's cyclic GC off while "
           "timing (PyPy's GC stays on: it is PyPy's memory manager). Hot = "
           f"{int(meta['scales'][0]):,} keys, cold = {int(meta['scales'][-1]):,} keys "
           "(working set beyond the CPU caches; files in the page cache). Keys "
           "\"user:%08d\" in random order, payloads 40–200 random bytes, every fourth key "
           "sharing the previous key's object. Lower is better everywhere.", "",
           "Peers: dict (in-process floor, saved with pickle, prefix scans by bisection "
           "over a sorted key list), LMDB (`lmdb`, one write transaction of puts), "
           "LevelDB (`plyvel`, one synchronous write batch), SQLite (`sqlite3`, WITHOUT "
           "ROWID table keyed by BLOB, `executemany` in one transaction), marisa-trie "
           "(keys only: build, size, open, exists). kalvex's scans return "
           "`items_raw_bytes()` (bytes keys) in the items row and `items_raw()` in the "
           "str-keys row. The build row in key order feeds kalvex and LMDB the same keys "
           "made afresh in ascending order, LMDB appending (`put(..., append=True)`).", ""]
    for failure in meta.get("failures", []):
        out += [f"**Missing:** {failure}", ""]
    for r in results:
        skipped = [f"{info['label']} ({info['skipped']})" for info in r["stores"].values()
                   if info["skipped"]]
        versions = ", ".join(f"{info['label']} {info['version']}"
                             for info in r["stores"].values() if info["version"])
        out += [f"## {r['interpreter']}", "", f"Versions: {versions}.  "]
        if skipped:
            out.append("Skipped: " + "; ".join(skipped) + ".  ")
        out.append("")
        for n in r["scales"]:
            out += [f"### {int(n):,} keys ({names.get(n, '')})", ""] + _table(r, n) + [""]
        out += ["### Integrity check", ""] + _integrity(r, meta) + [""]
        out += ["### Writer calls", "",
                "One call per item of the load in a `deque(map(...))` loop on a fresh "
                "writer (add_key after the objects are in), beside the same loop over "
                "`len` (the interpreter's floor for a call) and a dict insert.", ""]
        out += _writer_calls(r, meta) + [""]
        out += ["### Build against the disk", "",
                "kalvex's build() call alone (sort, CRC, write, fsync, rename) beside one "
                "write and one fsync of as many bytes in the same directory; the peak "
                "resident memory build() adds, beside an allowance of the index section "
                "plus 16 bytes per object.", ""] + _disk(r, meta) + [""]
        if r.get("values"):
            import compare_values
            out += ["### Decoded values", "", compare_values.__doc__.split("\n\n")[2]
                    .replace("\n", " "), "", "```", compare_values.report(r["values"]).strip(),
                    "```", ""]
        if r.get("index"):
            import compare_index
            out += ["### The mapped index and batch lookups", "", compare_index.__doc__.split("\n\n")[2]
                    .replace("\n", " "), "", compare_index.__doc__.split("\n\n")[3].replace("\n", " "),
                    "", "```", compare_index.report(r["index"]).strip(), "```", ""]
        if r.get("ranges"):
            import compare_ranges
            out += ["### Key ranges, seeks and reverse scans", "", compare_ranges.__doc__.split("\n\n")[1]
                    .replace("\n", " "), "", "```", compare_ranges.report(r["ranges"]).strip(), "```", ""]
        if r.get("compression"):
            import compare_compression
            out += ["### Compressed values", "", compare_compression.__doc__.split("\n\n")[2]
                    .replace("\n", " "), "", compare_compression.__doc__.split("\n\n")[3].replace("\n", " "),
                    "", "```", compare_compression.report(r["compression"]).strip(), "```", ""]
        judged = targets(r, meta)
        if judged:
            out += ["### Targets", "", "| target | scale | kalvex ÷ peer | |", "|---|---|---|---|"]
            for name, scale, ratio, met in judged:
                verdict = "—" if met is None else ("met" if met else "**missed**")
                shown = "—" if ratio is None else f"{ratio:.2f}×"
                out.append(f"| {name} | {scale} | {shown} | {verdict} |")
            out.append("")
    return "\n".join(out) + "\n"


CHART_METRICS = [("build", "build/key"), ("open", "open"), ("get", "get"),
                 ("get_absent", "get absent"), ("exists", "exists"),
                 ("prefix", "prefix/item"), ("items", "items/item")]


def chart(results: list[dict], meta: dict, path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    base = results[0]
    scales = list(base["scales"])
    names = _scale_names(meta)
    fig, axes = plt.subplots(len(scales), 1, figsize=(11, 3.6 * len(scales)), squeeze=False)
    for ax, n in zip(axes[:, 0], scales):
        ref = base["scales"][n].get("kalvex", {})
        series = [(f"{info['label']}", base["scales"][n].get(s, {}))
                  for s, info in base["stores"].items()]
        for r in results[1:]:
            k = r["scales"].get(n, {}).get("kalvex")
            if k:
                series.insert(1, (f"kalvex ({r['implementation']})", k))
        width = 0.8 / max(1, len(series))
        for i, (label, values) in enumerate(series):
            xs, ys = [], []
            for x, (metric, _) in enumerate(CHART_METRICS):
                if metric in values and ref.get(metric):
                    xs.append(x + (i - (len(series) - 1) / 2) * width)
                    ys.append(values[metric] / ref[metric])
            if xs:
                ax.bar(xs, ys, width, label=label)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.set_xticks(range(len(CHART_METRICS)), [c[1] for c in CHART_METRICS])
        ax.set_ylabel(f"time ÷ kalvex ({base['implementation']})")
        ax.set_title(f"{int(n):,} keys ({names.get(n, '')}) — above 1: slower than kalvex")
        ax.grid(axis="y", which="both", alpha=0.3)
    axes[0, 0].legend(ncol=4, fontsize=8, loc="upper left")
    fig.suptitle(f"kalvex beside its peers — {meta['machine']}, {meta['date']}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write(results: list[dict], meta: dict, out_dir: str, with_chart: bool = True, log=print):
    stem = os.path.join(out_dir, f"{meta['machine']}-{meta['date']}")
    written = []
    with open(stem + ".json", "w") as f:
        json.dump({"meta": meta, "results": results}, f, indent=1)
    written.append(stem + ".json")
    with open(stem + ".md", "w") as f:
        f.write(markdown(results, meta))
    written.append(stem + ".md")
    if with_chart:
        try:
            chart(results, meta, stem + ".png")
            written.append(stem + ".png")
        except ImportError as e:
            log(f"no chart: {e}")
    return written
