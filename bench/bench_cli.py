"""How fast the kalvex command is, beside the standard library doing the least of its work.

Load: N JSON Lines records of about 150 bytes, each with two key fields (id, email).
Each row times the whole command as a process (start, imports, reading, writing) and its
baseline in one process timing only the loop named, so the ratio errs against the command:

  build    kalvex build OUT records.jsonl --key id --key email
           vs json.loads over the same lines (already in memory)
  build --no-dedupe   the same, each record its own object (no dedupe table)
  dump     kalvex dump STORE > /dev/null, STORE holding the N records under one key each
           vs json.dumps over the same N values (already decoded)
  get      kalvex get STORE KEY on that store
           vs python -c pass

Times are CPU seconds (user + system) of the process or of the timed loop, so that other
work on a shared machine disturbs them less than it would wall time; on a quiet machine the
two agree. Each is run --repeat times, interleaved, and the best time of each kept.

Usage: python bench/bench_cli.py [--records N] [--repeat R] [--dir DIR]
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

_WORDS = ["alpha", "beta", "gamma", "delta", "omega", "kappa", "sigma", "theta"]


def write_records(path, count, seed=7):
    rng = random.Random(seed)
    with open(path, "w") as out:
        for i in range(count):
            record = {
                "id": f"u{i:07d}",
                "email": f"user{i}@example.org",
                "name": f"{rng.choice(_WORDS).title()} {rng.choice(_WORDS).title()}",
                "age": rng.randint(18, 90),
                "score": round(rng.random() * 100, 3),
                "active": rng.random() < 0.5,
                "tags": rng.sample(_WORDS, 2),
            }
            out.write(json.dumps(record) + "\n")


_LOADS = """
import json, sys, time
lines = open(sys.argv[1], "rb").readlines()
loads = json.loads
start = time.process_time()
for line in lines:
    loads(line)
print(time.process_time() - start)
"""

_DUMPS = """
import json, sys, time
values = [json.loads(line) for line in open(sys.argv[1], "rb")]
dumps = json.dumps
start = time.process_time()
for value in values:
    dumps(value)
print(time.process_time() - start)
"""


def timed(command, stdout=None):
    """The CPU time of running ``command`` as a process, start to exit."""
    process = subprocess.Popen(command, stdout=stdout)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode:
        raise subprocess.CalledProcessError(process.returncode, command)
    return usage.ru_utime + usage.ru_stime


def inner(script, path):
    """The time a Python process reports for its own timed loop."""
    result = subprocess.run([sys.executable, "-c", script, path], check=True, capture_output=True, text=True)
    return float(result.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir", default=None, help="where the files go (default: a temporary folder)")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="kalvex-bench-cli-", dir=args.dir)
    kalvex = [sys.executable, "-m", "kalvex"]
    try:
        records = os.path.join(work, "records.jsonl")
        store = os.path.join(work, "records.klvx")
        one_key = os.path.join(work, "one-key.klvx")
        write_records(records, args.records)
        subprocess.run(kalvex + ["build", one_key, records, "--key", "id", "-q"], check=True)
        key = f"u{args.records // 2:07d}"
        best = {}

        def keep(name, seconds):
            best[name] = min(best.get(name, float("inf")), seconds)

        with open(os.devnull, "wb") as devnull:
            for _ in range(args.repeat):
                keep("build", timed(kalvex + ["build", store, records, "--key", "id", "--key", "email", "-q"]))
                keep("build --no-dedupe", timed(kalvex + ["build", store, records, "--key", "id", "--key", "email",
                                                         "--no-dedupe", "-q"]))
                keep("json.loads", inner(_LOADS, records))
                keep("dump", timed(kalvex + ["dump", one_key], stdout=devnull))
                keep("json.dumps", inner(_DUMPS, records))
                keep("get", timed(kalvex + ["get", one_key, key], stdout=devnull))
                keep("python -c pass", timed([sys.executable, "-c", "pass"]))

        print(f"{sys.implementation.name} {sys.version.split()[0]}, {args.records:,} records, best of {args.repeat}")
        rows = (("build", "json.loads"), ("build --no-dedupe", "json.loads"), ("dump", "json.dumps"),
                ("get", "python -c pass"))
        for command, baseline in rows:
            print(f"  {command:18} {best[command]:8.3f} s   {baseline:15} {best[baseline]:8.3f} s"
                  f"   ratio {best[command] / best[baseline]:5.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
