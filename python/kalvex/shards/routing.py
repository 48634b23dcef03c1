"""Routing: which shard holds a key, and records turned into the rows that travel to it.

``shard_of(key, n)`` is fixed for good, so that any process, machine, language or later
version finds a key in the shard that holds it:

1. ``h`` = XXH3-64 of the key's bytes (a ``str`` key as UTF-8), seed 0: the unsigned 64-bit
   integer ``XXH3_64bits(data, len)`` returns (its canonical 8-byte form is big-endian).
2. The shard is the jump consistent hash of ``h`` over ``n`` buckets (Lamping and Veach,
   "A Fast, Minimal Memory, Consistent Hash Algorithm", 2014), in 64-bit unsigned integers
   and IEEE-754 doubles (``kalvex_jump_hash`` of the C interface computes it)::

       b = -1; j = 0
       while j < n:
           b = j
           h = h * 2862933555777941757 + 1          (mod 2**64)
           j = floor((b + 1) * (2**31 / ((h >> 33) + 1)))   (double arithmetic, this order)
       return b

   Growing ``n`` to ``n + 1`` moves about ``1 / (n + 1)`` of the keys, all into the new shard.

A manifest records this rule as ``ROUTING``; a store routed otherwise is refused.
"""
from __future__ import annotations

from operator import itemgetter
from typing import Any, Callable, Iterable, Iterator, Optional, Union

from xxhash import xxh3_64_intdigest

from kalvex._backend import BACKEND
from kalvex._codec import Key, as_bytes, key_bytes, packer, value_encoder

# How a record gives its key or value: a field name or index (``record[field]``) or a function.
Field = Union[str, int, Callable[[Any], Any], None]

ROUTING = "xxh3_64-jump"
# The rule is computed once, in libkalvex (kalvex_jump_hash), reached through the backend.
_jump = BACKEND.jump_hash


def shard_of(key: Key, n: int) -> int:
    """The shard, from 0 to ``n - 1``, that holds ``key`` in a store of ``n`` shards.

    Stable everywhere (never Python's salted ``hash()``): ``"a"`` and ``b"a"`` route alike.

    >>> kalvex.shard_of("user:1", 16)
    1
    """
    if type(n) is not int or not 1 <= n < 1 << 31:
        raise ValueError(f"n must be an int from 1 to 2**31 - 1, not {n!r}")
    return _jump(xxh3_64_intdigest(as_bytes(key)), n)


def route_records(
    records: Iterable[Any],
    nshards: int,
    *,
    key: Field = None,
    value: Field = None,
    default: Optional[Callable[[Any], Any]] = None,
) -> Iterator[tuple[int, bytes, bytes]]:
    """``(shard, key bytes, msgpack payload)`` per record: records in the compact form an
    engine moves to the worker that builds their shard with ``write_shard(...,
    encoded=True)``.

    Records are (key, value) pairs unless ``key`` says where a record's key is (a field
    name, an index or a function of the record); ``value`` likewise, the whole record when
    None. ``default`` is handed to msgpack for values of types it cannot encode, as
    ``KalvWriter`` does. The fields are checked at the call; records are read as the result
    is iterated.

    >>> rows = kalvex.shards.route_records([{"id": "user:1", "name": "Ada"}], 16, key="id")
    >>> [(shard, key) for shard, key, payload in rows]
    [(1, b'user:1')]
    """
    extract = _extractor(key, value)
    encode = value_encoder(packer(default))
    keyed = ((key_bytes(k), k, v) for k, v in map(extract, records))
    return ((_jump(xxh3_64_intdigest(data), nshards), data, encode(k, v)) for data, k, v in keyed)


def _extractor(key: Field, value: Field) -> Callable[[Any], tuple[Any, Any]]:
    if key is None:
        if value is not None:
            raise ValueError("value= needs key= too")
        return lambda record: record  # unpacked as a pair where the rows are made
    get_key = key if callable(key) else itemgetter(key)
    if value is None:
        return lambda record: (get_key(record), record)
    get_value = value if callable(value) else itemgetter(value)
    return lambda record: (get_key(record), get_value(record))
