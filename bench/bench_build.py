"""How fast build() writes a large store, against what the disk allows and against LMDB.

Load: N keys "user:%08d" inserted in random order, each fourth key sharing the previous
key's object, payloads of 40 to 200 random bytes. Printed:

  build()      the build call alone (sort, CRC, write, fsync, rename)
  floor        one os.write of as many bytes plus one os.fsync, in the same directory
  pipeline     every add_object_raw / add_key call from Python, then build()
  lmdb         the same mapping into LMDB: sorted put(append=True) in one transaction,
               then a forced sync (each key holds its own copy of the payload)
  memory       peak resident growth during build(), against the index size plus
               16 bytes per object

Usage: python bench/bench_build.py [--keys N] [--dir DIR] [--seed S]
Run it on a real file system: on tmpfs fsync costs nothing and the floor means little.
"""
import argparse
import os
import random
import resource
import shutil
import sys
import tempfile
import time

from kalvex import _kalvex


def make_load(num_keys, seed):
    """(payloads, [(key, obj_id)]) in insertion order."""
    rng = random.Random(seed)
    ids = list(range(num_keys))
    rng.shuffle(ids)
    payloads, pairs = [], []
    for i, n in enumerate(ids):
        if i % 4 != 3:
            payloads.append(rng.randbytes(rng.randint(40, 200)))
        pairs.append((b"user:%08d" % n, len(payloads) - 1))
    return payloads, pairs


def rss_status(field):
    """A VmRSS / VmHWM figure in bytes, or None off Linux."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def reset_peak_rss():
    """Makes VmHWM start again from the current RSS (Linux 4.0 and later)."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def quiet_stdout():
    """Sends fd 1 to /dev/null; returns the saved descriptor for restore_stdout."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    return saved


def restore_stdout(saved):
    os.dup2(saved, 1)
    os.close(saved)


def fill(payloads, pairs):
    writer = _kalvex._KalvWriter()
    add_object, add_key = writer.add_object_raw, writer.add_key
    for payload in payloads:
        add_object(payload)
    for key, obj_id in pairs:
        add_key(key, obj_id)
    return writer


def time_floor(directory, size):
    data = bytes(size)
    path = os.path.join(directory, "floor.bin")
    start = time.perf_counter()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
    os.fsync(fd)
    os.close(fd)
    elapsed = time.perf_counter() - start
    os.unlink(path)
    return elapsed


def time_lmdb(directory, payloads, pairs):
    try:
        import lmdb
    except ImportError:
        return None
    items = sorted((key, payloads[obj_id]) for key, obj_id in pairs)
    path = os.path.join(directory, "lmdb")
    size = sum(len(k) + len(v) for k, v in items)
    start = time.perf_counter()
    env = lmdb.open(path, map_size=max(1 << 26, size * 4), subdir=True)
    with env.begin(write=True) as txn:
        put = txn.put
        for key, value in items:
            put(key, value, append=True)
    env.sync(True)
    elapsed = time.perf_counter() - start
    env.close()
    shutil.rmtree(path)
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--dir", default=None, help="where the files go (default: a temp dir)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="kalvex-bench-", dir=args.dir)
    try:
        payloads, pairs = make_load(args.keys, args.seed)
        index_size = sum(10 + len(key) for key, _ in pairs)
        path = os.path.join(directory, "bench.klvx")

        writer = fill(payloads, pairs)
        saved = quiet_stdout()
        try:
            rss_before = rss_status("VmRSS")
            exact_peak = reset_peak_rss()
            start = time.perf_counter()
            writer.build(path)
            build_time = time.perf_counter() - start
            peak = rss_status("VmHWM") if exact_peak else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        finally:
            restore_stdout(saved)
        file_size = os.path.getsize(path)
        del writer

        floor = time_floor(directory, file_size)

        saved = quiet_stdout()
        try:
            start = time.perf_counter()
            fill(payloads, pairs).build(path)
            pipeline = time.perf_counter() - start
        finally:
            restore_stdout(saved)

        peer = time_lmdb(directory, payloads, pairs)
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    growth = None if rss_before is None or peak is None else peak - rss_before
    allowance = index_size + 16 * len(payloads)
    print(f"load: {args.keys} keys, {len(payloads)} objects, file {file_size / 2**20:.1f} MiB, "
          f"index {index_size / 2**20:.1f} MiB")
    print(f"build()   {build_time:8.3f} s   {build_time / floor:5.2f} x floor (target <= 1.5)")
    print(f"floor     {floor:8.3f} s   one write + fsync of {file_size} bytes")
    if peer is None:
        print(f"pipeline  {pipeline:8.3f} s   (lmdb not installed: pip install -r bench/requirements.txt)")
    else:
        print(f"pipeline  {pipeline:8.3f} s   {pipeline / peer:5.2f} x lmdb (target <= 0.5)")
        print(f"lmdb      {peer:8.3f} s")
    if growth is not None:
        note = "" if exact_peak else " (upper bound: process peak, not reset)"
        print(f"memory    {growth / 2**20:8.1f} MiB during build(), allowance {allowance / 2**20:.1f} MiB "
              f"({growth / allowance:.2f} of it){note}")


if __name__ == "__main__":
    main()
