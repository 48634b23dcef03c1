"""The contract's reader over libkalvex.

Threads. cffi lets the interpreter lock go during every native call, so calls on one
reader run at once. Each call works in a scratch record (output structs, chunk views)
taken from the reader's pool and given back after: the pool's ``pop`` and ``append`` are
single steps under the interpreter lock, so no two calls share one. A scratch out of the
pool marks a call inside the native reader. ``close()`` clears the handle, then frees it
if every scratch is back; else the last call out frees it. A call takes its scratch before
it reads the handle, so either ``close()`` sees the call, or the call sees the cleared
handle and refuses.

Listings. A chunk is one call of ``kalvex_reader_entries``, which hands back views into
the mapping (no copy in C), then one ``ffi.unpack`` per key and payload. Measured on PyPy
at a million keys, per entry of a listing whose (key, payload) pairs are all kept: about
250 ns so, 290 with ``ffi.buffer(...)[:]`` per field, 390 copying each chunk into one
buffer in C and slicing it again in Python; of the 250, about 180 make the chunk's lists
and the rest is the collector's work on what is kept. The native call's own cost spreads
over up to 1024 entries (256 measured the same).
"""
from __future__ import annotations

import threading
from typing import Any, Optional

from kalvex import errors
from kalvex._cffi.errors import key_bytes, new_error, raise_failure, text_argument, u64_argument
from kalvex._kalvex_cffi import ffi, lib

Key = Any
_NULL = ffi.NULL
_OK = lib.KALVEX_OK
_CHUNK_ENTRIES = 1024
# A chunk of payloads stops once it passes this many bytes (after at least one entry).
_CHUNK_BYTES = 8 << 20
_buffer = ffi.buffer
_copy, _cast = ffi.unpack, ffi.cast


def _within_bytes(views: Any, n: int) -> int:
    """How many of the first ``n`` payload views fit in _CHUNK_BYTES (at least one)."""
    size = 0
    for i in range(n):
        size += views[i].size
        if size > _CHUNK_BYTES:
            return max(i, 1)
    return n


class _Scratch:
    __slots__ = ("found", "first", "last", "count", "err", "keys", "payloads", "ids")

    def __init__(self) -> None:
        self.found = ffi.new("kalvex_bytes *")
        self.first = ffi.new("size_t *")
        self.last = ffi.new("size_t *")
        self.count = ffi.new("size_t *")
        self.err = new_error()
        self.keys: Any = None  # chunk views, made at the first listing

    def views(self) -> None:
        self.keys = ffi.new("kalvex_bytes[]", _CHUNK_ENTRIES)
        self.payloads = ffi.new("kalvex_bytes[]", _CHUNK_ENTRIES)
        self.ids = ffi.new("uint64_t[]", _CHUNK_ENTRIES)


class Reader:
    __slots__ = ("_handle", "_owned", "_pool", "_made", "_lock", "__weakref__")

    def __init__(self, path: str, verify: bool) -> None:
        encoded = text_argument("path", path)
        out = ffi.new("kalvex_reader **")
        err = new_error()
        status = lib.kalvex_reader_open(encoded, len(encoded), 1 if verify else 0, out, err)
        if status != _OK:
            raise_failure(status, err)
        # The collector is told the native size, so unclosed readers do not pile up.
        self._handle: Any = ffi.gc(out[0], lib.kalvex_reader_close, lib.kalvex_reader_memory_usage(out[0]))
        self._owned = [self._handle]  # popped exactly once, by whoever frees it
        self._pool: list[_Scratch] = []
        self._made = 0  # scratches made; all back in the pool when no call is inside
        self._lock = threading.Lock()  # guards _made

    # -- entering and leaving the native reader --------------------------------------------

    def _take(self) -> tuple[_Scratch, Any]:
        try:
            scratch = self._pool.pop()
        except IndexError:
            scratch = _Scratch()
            with self._lock:
                self._made += 1
        handle = self._handle
        if handle is None:
            self._give(scratch)
            raise errors.closed_error()
        return scratch, handle

    def _give(self, scratch: _Scratch) -> None:
        self._pool.append(scratch)
        if self._handle is None:
            self._free_if_idle()

    def _free_if_idle(self) -> None:
        with self._lock:
            if len(self._pool) != self._made or not self._owned:
                return
            handle = self._owned.pop()
        ffi.release(handle)

    def close(self) -> None:
        self._handle = None
        self._free_if_idle()

    # -- lookups -----------------------------------------------------------------------

    def find(self, key: Key) -> Optional[bytes]:
        k = key_bytes(key)
        scratch, handle = self._take()
        try:
            found = scratch.found
            status = lib.kalvex_reader_find(handle, k, len(k), found, scratch.err)
            if status != _OK:
                raise_failure(status, scratch.err)
            data = found.data
            return None if data == _NULL else _buffer(data, found.size)[:]
        finally:
            self._give(scratch)

    def exists(self, key: Key) -> bool:
        k = key_bytes(key)
        scratch, handle = self._take()
        try:
            return bool(lib.kalvex_reader_exists(handle, k, len(k)))
        finally:
            self._give(scratch)

    def count(self) -> int:
        scratch, handle = self._take()
        try:
            return int(lib.kalvex_reader_entry_count(handle))
        finally:
            self._give(scratch)

    def prefix_range(self, prefix: Key) -> tuple[int, int]:
        p = key_bytes(prefix)
        scratch, handle = self._take()
        try:
            lib.kalvex_reader_prefix_range(handle, p, len(p), scratch.first, scratch.last)
            return int(scratch.first[0]), int(scratch.last[0])
        finally:
            self._give(scratch)

    # -- listings ----------------------------------------------------------------------

    def read_range(
        self, first: int, last: int, keys: Optional[type] = None, payloads: bool = False, ids: bool = False
    ) -> tuple[Optional[list[Any]], Optional[list[bytes]], Optional[list[int]]]:
        first = u64_argument("first", first)
        last = u64_argument("last", last)
        if keys is not None and keys is not bytes and keys is not str:
            raise TypeError("argument 'keys' must be bytes, str or None")
        if keys is None and not payloads and not ids:
            raise ValueError("read_range() needs keys, payloads or ids")
        scratch, handle = self._take()
        try:
            if scratch.keys is None:
                scratch.views()
            key_views, payload_views = scratch.keys, scratch.payloads
            status = lib.kalvex_reader_entries(
                handle, first, last, _CHUNK_ENTRIES, key_views if keys is not None else _NULL,
                payload_views if payloads else _NULL, scratch.ids if ids else _NULL, scratch.count, scratch.err)
            n = scratch.count[0]
            if status != _OK:
                if n == 0:  # the chunk starts at a damaged record
                    raise_failure(status, scratch.err)
                lib.kalvex_error_clear(scratch.err)  # the next chunk starts at it and says
            if payloads and n > 1:
                n = _within_bytes(payload_views, n)
            payload_list = [_copy(_cast("char *", payload_views[i].data), payload_views[i].size)
                            for i in range(n)] if payloads else None
            key_list: Optional[list[Any]] = None
            if keys is not None:
                key_list = [_copy(_cast("char *", key_views[i].data), key_views[i].size) for i in range(n)]
                if keys is str:
                    key_list = [key.decode("utf-8", "replace") for key in key_list]
            return key_list, payload_list, ffi.unpack(scratch.ids, n) if ids else None
        finally:
            self._give(scratch)

    def objects(self, ids: bool = False) -> tuple[list[bytes], Optional[list[int]]]:
        scratch, handle = self._take()
        try:
            out = ffi.new("kalvex_objects **")
            status = lib.kalvex_reader_objects(handle, out, scratch.err)
            if status != _OK:
                raise_failure(status, scratch.err)
            try:
                n = lib.kalvex_objects_count(out[0])
                items = lib.kalvex_objects_items(out[0])
                payloads = [_copy(_cast("char *", items[i].data), items[i].size) for i in range(n)]
                return payloads, ffi.unpack(lib.kalvex_objects_offsets(out[0]), n) if ids else None
            finally:
                lib.kalvex_objects_free(out[0])
        finally:
            self._give(scratch)

    # -- whole-file answers ------------------------------------------------------------

    def stats(self) -> dict[str, Any]:
        scratch, handle = self._take()
        try:
            s = ffi.new("kalvex_stats *")
            lib.kalvex_reader_stats(handle, s)
            path = lib.kalvex_reader_path(handle)
            return {
                "path": ffi.unpack(ffi.cast("char *", path.data), path.size).decode("utf-8", "replace"),
                "version": s.version,
                "num_keys": s.num_keys,
                "num_objects": s.num_objects,
                "index_offset": s.index_offset,
                "data_offset": s.data_offset,
                # Exact below 2**53 bytes: the scale by 2**-10 adds no rounding.
                "file_size_kb": s.file_size * 0.0009765625,
                "file_crc32": "0x%08x" % s.file_crc32,
            }
        finally:
            self._give(scratch)

    def verify(self) -> bool:
        scratch, handle = self._take()
        try:
            status = lib.kalvex_reader_verify(handle, scratch.err)
            if status != _OK:
                raise_failure(status, scratch.err)
            return True
        finally:
            self._give(scratch)

    def memory_usage(self) -> int:
        scratch, handle = self._take()
        try:
            return int(lib.kalvex_reader_memory_usage(handle))
        finally:
            self._give(scratch)
