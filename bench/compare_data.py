"""The data set every store in compare.py is measured on.

Keys are "user:%08d" for 0 <= i < n, added in a seeded random order. Payloads are
40 to 200 random bytes; every fourth key (positions 3, 7, 11, ... of the insertion
order) shares the object of the key added just before it, as the same `bytes` object,
so stores that can share a payload may do so and the others store it again. Besides
the load itself this module makes the str forms, the lookup keys and the prefix.
Everything is seeded pure Python, so CPython and PyPy get identical data.
"""
from __future__ import annotations

import random
from dataclasses import dataclass, field

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
