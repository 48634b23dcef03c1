"""The data set every store in compare.py is measured on.

Keys are "user:%08d" for 0 <= i < n, added in a seeded random order. Payloads are
40 to 200 random bytes; every fourth key (positions 3, 7, 11, ... of the insertion
order) shares the object of the key added just before it, as the same `bytes` object,
so stores that can share a payload may do so and the others store it again. Besides
the load itself this module makes the str forms, the lookup keys and the prefix.
Everything is seeded pure Python, so CPython and PyPy get identical data.

The compressed-value measures read their own records from here too: real rows, and
JSON-like records of about 1 KB.
"""
from __future__ import annotations

import csv
import gzip
import random
from dataclasses import dataclass, field
from typing import Any, Iterator

KEY_FORMAT = "user:%08d"


@dataclass
class DataSet:
    n: int
    keys: list[str]                 # insertion order
    keys_b: list[bytes]             # the same keys, UTF-8
    payloads: list[bytes]           # payload of keys[i]; shared ones are the same object
    new_object: list[bool]          # False where keys[i] shares the previous key's object
    lookups: dict[str, list] = field(default_factory=dict)

    @property
    def num_objects(self) -> int:
        return sum(self.new_object)

    @property
    def payload_bytes(self) -> int:
        return sum(len(p) for p, new in zip(self.payloads, self.new_object) if new)


def make_load(num_keys: int, seed: int) -> tuple[list[bytes], list[tuple[bytes, int]]]:
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


def make(n: int, seed: int = 20261207, probes: int = 100_000) -> DataSet:
    objects, pairs = make_load(n, seed)
    keys_b = [key for key, _ in pairs]
    payloads = [objects[oid] for _, oid in pairs]
    new_object = [i == 0 or oid != pairs[i - 1][1] for i, (_, oid) in enumerate(pairs)]
    data = DataSet(n, [k.decode() for k in keys_b], keys_b, payloads, new_object)
    # Lookup keys are fresh string objects (not the stored ones), drawn with replacement.
    rng = random.Random(seed + 1)
    count = min(probes, max(n, 1) * 10)
    present = [KEY_FORMAT % rng.randrange(n) for _ in range(count)]
    absent = [KEY_FORMAT % (n + rng.randrange(max(n, 1))) for _ in range(count)]
    data.lookups = {
        "present": present, "present_b": [k.encode() for k in present],
        "absent": absent, "absent_b": [k.encode() for k in absent],
    }
    return data


def sorted_input(data: DataSet) -> DataSet:
    """The same load arriving in key order, as from a sorted source: the keys made afresh
    in ascending order, the i-th carrying the i-th payload of the insertion order (so the
    payload sizes and the sharing of every fourth key's object stay as they are)."""
    keys = [KEY_FORMAT % i for i in range(data.n)]
    return DataSet(data.n, keys, [k.encode() for k in keys], data.payloads, data.new_object)


def prefix_for(n: int) -> str:
    """A key prefix matched by exactly 1% of the keys (n a power of ten, at least 100)."""
    exp = len(str(n)) - 1
    if n != 10 ** exp or exp < 2:
        raise ValueError(f"scale must be a power of ten >= 100, got {n}")
    digits = KEY_FORMAT % 0
    width = len(digits) - len("user:")
    tail = exp - 2                      # digits left free inside the prefix
    return "user:" + ("%0*d" % (width, 10 ** tail))[:width - tail]


WORDS = ("data value store index record query table shard build merge read write fast small large cold hot "
         "cache page file disk memory user account order item price amount status active pending closed "
         "region europe america asia city street north south east west alpha beta gamma delta release "
         "version package library tool python native binding compress dictionary sample train level").split()


def real_rows(path: str) -> Iterator[tuple[str, dict[str, str]]]:
    with gzip.open(path, "rt", encoding="utf-8", newline="") as f:
        rows = csv.reader(f, delimiter="\t", quoting=csv.QUOTE_NONE)
        head = next(rows)
        for row in rows:
            yield row[0], dict(zip(head[1:], row[1:]))


def synthetic_rows(n: int, seed: int = 11) -> Iterator[tuple[str, dict[str, Any]]]:
    rng = random.Random(seed)
    text = lambda k: " ".join(rng.choice(WORDS) for _ in range(k))  # noqa: E731
    for i in range(n):
        yield f"rec:{i:09d}", {
            "id": i, "name": text(2).title(), "email": f"{rng.choice(WORDS)}{i}@example.org",
            "created": f"2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:00:00Z",
            "address": {"street": f"{rng.randint(1, 999)} {text(2)}", "city": rng.choice(WORDS).title(),
                        "country": rng.choice(("DE", "FR", "US", "JP", "BR")), "zip": f"{rng.randint(0, 99999):05d}"},
            "tags": [rng.choice(WORDS) for _ in range(rng.randint(2, 8))],
            "scores": [round(rng.random() * 100, 2) for _ in range(rng.randint(3, 10))],
            "active": rng.random() < 0.8, "balance": rng.randint(-10**6, 10**9),
            "description": text(rng.randint(60, 110)),
            "history": [{"at": rng.randint(10**9, 2 * 10**9), "event": rng.choice(WORDS), "ok": rng.random() < 0.9}
                        for _ in range(rng.randint(2, 6))],
        }
