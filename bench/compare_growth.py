"""How a store's costs grow with its size, with the mapped index and without it.

    python bench/compare_growth.py [--sizes 1000000 2000000 4000000 8000000 16000000]
    python bench/compare_growth.py --chart bench/results/growth-MACHINE-DATE.json

At each size, one writer of 16-byte keys and 40-byte values (compare_index's load, every
value its own object) is built twice, with the index and without it, and both files are
measured side by side: the open (KalvReader, no whole-file check; the two opens in turns,
median), a get of a present key on the cold store (get_raw over random keys, the two
readers in turns slice by slice, median per key), the private memory a reader holds after
its open (RssAnon growth in a fresh process) and the file's size. The figures go to
bench/results/growth-MACHINE-DATE.json, and the chart (growth-MACHINE-DATE.png) is drawn
from that file alone, so `--chart` redraws it without measuring again.
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare  # noqa: E402  (machine name, interpreter label)
import compare_index  # noqa: E402  (the load, the interleaved timers, the memory probe)

SIZES = [1_000_000, 2_000_000, 4_000_000, 8_000_000, 16_000_000]
PROBES = 200_000          # random present keys per cold-get measurement
VARIANTS = ("index", "plain")
LABELS = {"index": "with the mapped index", "plain": "without (index=False)"}

# figure key, panel title, unit, multiplier from the stored SI value
PANELS = [("open", "open", "ms", 1e3), ("get", "get, present key (cold)", "ns", 1e9),
          ("private", "private memory after open", "MB", 1e-6),
          ("size", "file size", "MB", 1e-6)]


def measure(n: int, workdir: str, reps: int, log) -> dict:
    """The four figures of both variants at n keys: {variant: {figure: SI value}}."""
    import kalvex
    log(f"{n:,} keys: building both files")
    keys, values = compare_index.sized_load(n)
    writer = compare_index.filled_writer(keys, values)
    del values
    paths = compare_index.build_both(writer, os.path.join(workdir, f"growth-{n}"))
    del writer
    gc.collect()
    rng = random.Random(n)
    probes = [keys[rng.randrange(n)] for _ in range(min(PROBES, n))]
    del keys
    gc.collect()

    log(f"{n:,} keys: open, get, memory")
    opens = compare_index.interleaved_calls(
        {v: (lambda p=paths[v]: kalvex.KalvReader(p, verify=False).close()) for v in VARIANTS},
        reps)
    readers = {v: kalvex.KalvReader(paths[v], verify=False, raw=True) for v in VARIANTS}
    for r in readers.values():
        compare.check(r.get_raw(probes[0]) is not None, "a present key is missing")
    gets = compare_index.interleaved(
        {v: compare_index.loop_of(readers[v].get_raw) for v in VARIANTS}, probes, reps)
    for r in readers.values():
        r.close()
    del readers
    gc.collect()
    memory = compare_index.open_memory([paths[v] for v in VARIANTS])
    out = {v: {"open": opens[v], "get": gets[v], "private": memory.get(paths[v], 0),
               "size": os.path.getsize(paths[v])} for v in VARIANTS}
    for path in paths.values():
        os.remove(path)
    log(f"{n:,} keys: " + json.dumps(out))
    return out


def chart(data: dict, path: str) -> None:
    """Four panels, each figure against the number of keys, one line per variant."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [int(n) for n in data["sizes"]]
    fig, axes = plt.subplots(2, 2, figsize=(11, 7.5))
    for ax, (figure, title, unit, mult) in zip(axes.flat, PANELS):
        for variant in VARIANTS:
            ys = [data["sizes"][str(n)][variant][figure] * mult for n in sizes]
            ax.plot([n / 1e6 for n in sizes], ys, marker="o", label=LABELS[variant])
        # A linear axis of keys, so that a cost growing with the store is a straight line;
        # the opens, six orders of magnitude apart, on a logarithmic axis of time.
        ax.set_xticks([n / 1e6 for n in sizes], [f"{n / 1e6:g}M" for n in sizes])
        if figure == "open":
            ax.set_yscale("log")
        else:
            ax.set_ylim(bottom=0)
        ax.set_title(title)
        ax.set_xlabel("keys")
        ax.set_ylabel(unit)
        ax.grid(alpha=0.3)
    axes[0, 0].legend(fontsize=8)
    meta = data["meta"]
    fig.suptitle(f"kalvex: costs as the store grows ({meta['interpreter']}) — "
                 f"{meta['machine']}, {meta['date']}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", type=int, nargs="+", default=SIZES, help="store sizes in keys")
    p.add_argument("--reps", type=int, default=5, help="rounds of the opens and of the gets")
    p.add_argument("--out", help="directory of the JSON and the chart (default bench/results)")
    p.add_argument("--workdir", help="where the store files are written (default: a temp dir)")
    p.add_argument("--chart", metavar="JSON", help="only draw the chart of an earlier run")
    args = p.parse_args(argv)

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    if args.chart:
        with open(args.chart) as f:
            data = json.load(f)
        chart(data, os.path.splitext(args.chart)[0] + ".png")
        return 0
    meta = {"machine": compare.machine_name(), "date": time.strftime("%Y-%m-%d"),
            "interpreter": compare.interpreter_label(), "platform": platform.platform(),
            "reps": args.reps, "probes": PROBES,
            "command": compare.typed_command(argv or sys.argv[1:], "bench/compare_growth.py")}
    data: dict = {"meta": meta, "sizes": {}}
    with tempfile.TemporaryDirectory(prefix="kalvex-growth-", dir=args.workdir) as workdir:
        for n in args.sizes:
            data["sizes"][str(n)] = measure(n, workdir, args.reps, log)
    out_dir = args.out or os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
    os.makedirs(out_dir, exist_ok=True)
    stem = os.path.join(out_dir, f"growth-{meta['machine']}-{meta['date']}")
    with open(stem + ".json", "w") as f:
        json.dump(data, f, indent=1)
    log(f"wrote {stem}.json")
    try:
        chart(data, stem + ".png")
        log(f"wrote {stem}.png")
    except ImportError as e:
        log(f"no chart: {e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
