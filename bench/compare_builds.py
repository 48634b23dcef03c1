"""Two builds of the package, side by side: lookups and a listing timed in child processes
that alternate between the builds, round by round, so that both see the same machine.

    python bench/compare_builds.py OLD_PKG_DIR NEW_PKG_DIR [--keys 1000000] [--rounds 7]

Each PKG_DIR is what tools/dev_build.sh lays out (BUILD_DIR/pkg). Each build writes its own
store once (index=True, 16-byte keys, short values) and reads only that one, since a
format change may make one build read the other's file differently. Per round and build:
get_raw of 200,000 random present keys, of as many absent keys, and a full items_raw
listing, in ns per call (per entry). Printed: each build's median, and the median of the
per-round ratios new / old with their spread.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

CHILD = r"""
import gc, json, os, random, sys, time
import kalvex
path, n = sys.argv[1], int(sys.argv[2])
if not os.path.exists(path):
    kalvex.build(path, ((f"key:{i:011d}", i) for i in range(n)), dedupe=False)
rng = random.Random(3)
present = [f"key:{rng.randrange(n):011d}".encode() for _ in range(200_000)]
absent = [key + b"?" for key in present]
with kalvex.KalvReader(path, verify=False, raw=True) as r:
    get = r.get_raw
    for key in present[:20000]:
        get(key)
    gc.disable()
    out = {}
    for name, keys in (("get present", present), ("get absent", absent)):
        start = time.perf_counter_ns()
        for key in keys:
            get(key)
        out[name] = (time.perf_counter_ns() - start) / len(keys)
    start = time.perf_counter_ns()
    count = sum(1 for _ in r.items_raw())
    out["items_raw listing"] = (time.perf_counter_ns() - start) / count
print(json.dumps(out))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        results = {"old": [], "new": []}
        for _ in range(args.rounds + 1):
            for name in ("old", "new"):
                env = dict(os.environ, PYTHONPATH=getattr(args, name))
                out = subprocess.run([sys.executable, "-c", CHILD, os.path.join(tmp, f"{name}.klvx"), str(args.keys)],
                                     env=env, check=True, capture_output=True, text=True).stdout
                results[name].append(json.loads(out))
        old, new = results["old"][1:], results["new"][1:]  # the first round builds the stores
        for row in old[0]:
            ratios = [n[row] / o[row] for o, n in zip(old, new)]
            print(f"{row:20} old {statistics.median(o[row] for o in old):8.1f} ns  "
                  f"new {statistics.median(n[row] for n in new):8.1f} ns  "
                  f"new/old {statistics.median(ratios):.3f} (spread {min(ratios):.3f}-{max(ratios):.3f})")


if __name__ == "__main__":
    main()
