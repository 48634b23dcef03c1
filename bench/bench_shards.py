"""Sharded stores: a Dask build on 1 and on 2 local worker processes, and lookups through a
ShardedReader against one store holding the same keys. Ratios are measured side by side in
this one run; nothing is asserted.

    python bench/bench_shards.py                    # 10,000,000 keys, about 1.5 GB of values
    python bench/bench_shards.py --keys 1000000     # a tenth of it

Records are made on the workers (``dask.bag.range``), so the client never holds the data
set; each worker's peak resident memory is read from the kernel after its build.
"""
from __future__ import annotations

import argparse
import os
import random
import resource
import shutil
import tempfile
import time

import kalvex
import kalvex.dask

FILLER = "the quick brown fox jumps over the lazy dog " * 8


def record(i: int, value_bytes: int) -> dict:
    """About ``value_bytes`` of msgpack per record, every one distinct."""
    return {
        "id": i,
        "name": f"user {i}",
        "email": f"user{i}@example.org",
        "tags": ["alpha", "beta", "gamma"][: i % 3 + 1],
        "bio": FILLER[: max(0, value_bytes - 75) + i % 7],
    }


def key_of(i: int) -> str:
    return f"user:{i:010d}"


def peak_rss_mb_and_cpu_s() -> tuple[float, float]:
    """This process's peak resident memory and CPU time so far.

    The peak is VmHWM, the high-water mark of this process image: ``ru_maxrss`` would also
    count the parent's memory at the moment it forked the worker, before the exec.
    """
    with open("/proc/self/status") as status:
        peak_kb = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return peak_kb / 1024, usage.ru_utime + usage.ru_stime


def dask_build(
    workers: int, args: argparse.Namespace, out_dir: str
) -> tuple[float, list[tuple[float, float]]]:
    import dask
    import dask.bag as db
    from dask.distributed import Client, LocalCluster

    # The shuffle buffers up to 1 GiB per worker in memory by default before it sends;
    # a bound here is what keeps a worker's memory apart from the data set's size.
    buffers = {"distributed.p2p.comm.buffer": args.shuffle_buffer}
    with dask.config.set(buffers), LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, Client(cluster) as client:
        size = args.value_bytes
        records = db.range(args.keys, npartitions=args.partitions).map(
            lambda i: (key_of(i), record(i, size))
        )
        started = time.perf_counter()
        kalvex.dask.to_kalvex(records, out_dir, args.shards)
        elapsed = time.perf_counter() - started
        # Worker processes start just for this build, so their totals are the build's.
        usage = sorted(client.run(peak_rss_mb_and_cpu_s).values())
    return elapsed, usage


def time_lookups(reader, keys: list[str]) -> float:
    started = time.perf_counter()
    for key in keys:
        reader[key]
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keys", type=int, default=10_000_000)
    parser.add_argument("--value-bytes", type=int, default=150)
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--partitions", type=int, default=0, help="input partitions (default: keys / 100k)")
    parser.add_argument("--lookups", type=int, default=200_000)
    parser.add_argument("--shuffle-buffer", default="1 GiB", help="Dask's distributed.p2p.comm.buffer")
    parser.add_argument("--no-lookups", action="store_true")
    parser.add_argument("--dir", default=None, help="where to build (default: a temporary directory)")
    args = parser.parse_args()
    args.partitions = args.partitions or max(4, args.keys // 100_000)
    work = tempfile.mkdtemp(prefix="kalvex-shards-", dir=args.dir)
    try:
        run(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(args: argparse.Namespace, work: str) -> None:
    print(f"{args.keys:,} keys, about {args.value_bytes} bytes of value each, {args.shards} shards, "
          f"{args.partitions} input partitions, {os.cpu_count()} cores, shuffle buffer {args.shuffle_buffer}")
    builds = {}
    for workers in (1, 2):
        out_dir = os.path.join(work, f"w{workers}")
        builds[workers] = dask_build(workers, args, out_dir)
        with kalvex.open(out_dir) as r:
            stats = r.stats()
            assert len(r) == args.keys
        seconds, usage = builds[workers]
        print(f"dask build, {workers} worker(s): {seconds:8.1f} s wall;  per worker: "
              + ", ".join(f"{peak:.0f} MB peak RSS, {cpu:.1f} s CPU" for peak, cpu in usage))
    data_mb = stats["file_size_kb"] / 1024
    print(f"store: {data_mb:,.0f} MB in {stats['num_shards']} shards")
    print(f"ratio 2 workers / 1 worker, wall time: {builds[2][0] / builds[1][0]:.2f}")
    # On a machine shared with other work, wall time undersells the split; the busiest
    # worker's CPU time is what the wall time would be with a free core per worker.
    busiest = {w: max(cpu for _, cpu in builds[w][1]) for w in builds}
    print(f"ratio 2 workers / 1 worker, busiest worker's CPU time: {busiest[2] / busiest[1]:.2f}")
    peak = max(rss for rss, _ in builds[2][1])
    print(f"peak RSS per worker / store size (2 workers): {peak / data_mb:.2f}")
    if not args.no_lookups:
        compare_lookups(args, work)


def compare_lookups(args: argparse.Namespace, work: str) -> None:
    single = os.path.join(work, "single.klvx")
    writer = kalvex.KalvWriter(single)
    for i in range(args.keys):
        writer[key_of(i)] = record(i, args.value_bytes)
    writer.build()
    del writer
    rng = random.Random(7)
    keys = [key_of(rng.randrange(args.keys)) for _ in range(args.lookups)]
    best = {"single": float("inf"), "sharded": float("inf")}
    with kalvex.open(single) as one, kalvex.open(os.path.join(work, "w2")) as sharded:
        assert all(one[k] == sharded[k] for k in keys[:1000])
        for _ in range(7):  # interleaved, best of 7: the machine is shared
            best["single"] = min(best["single"], time_lookups(one, keys))
            best["sharded"] = min(best["sharded"], time_lookups(sharded, keys))
    per = {name: seconds / len(keys) * 1e9 for name, seconds in best.items()}
    print(f"lookups: single store {per['single']:.0f} ns, ShardedReader {per['sharded']:.0f} ns, "
          f"ratio {per['sharded'] / per['single']:.2f}")


if __name__ == "__main__":
    main()
