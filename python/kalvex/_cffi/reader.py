"""The contract's reader over libkalvex.

Threads. cffi lets the interpreter lock go during every native call, so calls on one
reader run at once. Each call works in a scratch record (output structs, chunk buffers)
taken from the reader's pool and given back after: the pool's ``pop`` and ``append`` are
single steps under the interpreter lock, so no two calls share one. A scratch out of the
pool marks a call inside the native reader. ``close()`` clears the handle, then frees it
if every scratch is back; else the last call out frees it. A call takes its scratch before
it reads the handle, so either ``close()`` sees the call, or the call sees the cleared
handle and refuses.

Listings. A chunk of keys or payloads is one call of ``kalvex_reader_read_range``, which
copies them end to end into the scratch's buffers, then a slice of the buffer per entry;
str keys that are all ASCII (the library says so) are decoded once per chunk and the
text sliced. Measured on PyPy at a million keys, a prefix scan of 10,000 (str key,
payload) pairs interleaved with LMDB's cursor loop, CPU time per pair: about 250 ns so,
against 290-320 with a view per field and an ``ffi.unpack`` (and ``decode``) of each;
the native call, copies included, is about 43 of the 250, the slices about 150. Slicing
a pointer moved along the buffer (``ffi.unpack(base + start, size)``) costs twice as
much: each step makes a cdata. Chunks of 256 and 1024 entries measured the same, 4096
slower. Object ids come from ``kalvex_reader_entries``, which reads no record.

Compressed stores. The chunks of ``read_range`` come decoded from the library. The views of
``find``, ``find_many`` and ``objects`` are the payloads as stored: each is decoded by the
library (``kalvex_reader_decode``) into a buffer of its decoded size, then copied out.
"""
from __future__ import annotations

import threading
from typing import Any, Optional, Sequence

from kalvex import errors
from kalvex._cffi.errors import new_error, raise_failure, text_argument, u64_argument
from kalvex._codec import as_bytes
from kalvex._kalvex_cffi import ffi, lib

Key = Any
_NULL = ffi.NULL
_OK = lib.KALVEX_OK
_CHUNK_ENTRIES = 1024
# A chunk's buffers start at the first size and double, while chunks fill more than half
# of one, up to the second: a chunk of payloads stops near 8 MiB. An entry larger than a
# buffer gets one of its own size for its chunk alone.
_KEY_BYTES = 32 << 10, 1 << 20
_PAYLOAD_BYTES = 256 << 10, 8 << 20
# find_many's arrays stay with a scratch up to this many keys (24 bytes each).
_MANY_KEPT = 8192
_buffer = ffi.buffer
_copy = ffi.unpack
_uncleared = ffi.new_allocator(should_clear_after_alloc=False)  # C fills what is read


def _grown(buf: Any, used: int, room: int, most: int) -> Any:
    """``buf`` (``room`` bytes, ``used`` of them by the last chunk), or one twice its size
    up to ``most`` when the chunk filled more than half of it."""
    return _uncleared("uint8_t[]", min(2 * room, most)) if used * 2 > room and room < most else buf


def _slices(joined: Any, ends: Any, n: int) -> list[Any]:
    """``joined`` cut at the first ``n`` of ``ends``."""
    parts: list[Any] = [None] * n
    start = 0
    for i in range(n):
        end = ends[i]
        parts[i] = joined[start:end]
        start = end
    return parts


class _Scratch:
    __slots__ = ("found", "flag", "first", "last", "count", "err", "chunk", "key_ends", "payload_ends", "ids",
                 "keys", "payloads", "many_size", "ends", "found_many", "size")

    def __init__(self) -> None:
        self.found = ffi.new("kalvex_bytes *")
        self.flag = ffi.new("int *")
        self.first = ffi.new("size_t *")
        self.last = ffi.new("size_t *")
        self.count = ffi.new("size_t *")
        self.size = ffi.new("size_t *")
        self.err = new_error()
        self.chunk: Any = None  # the listing's arrays and buffers, made at its first call
        self.many_size = 0  # keys the kept arrays of find_many hold, made at its first call
        self.ends = self.found_many = _NULL

    def listing(self) -> None:
        self.chunk = ffi.new("kalvex_chunk *")
        self.key_ends = ffi.new("size_t[]", _CHUNK_ENTRIES)
        self.payload_ends = ffi.new("size_t[]", _CHUNK_ENTRIES)
        self.ids = ffi.new("uint64_t[]", _CHUNK_ENTRIES)
        self.keys = _uncleared("uint8_t[]", _KEY_BYTES[0])
        self.payloads = _uncleared("uint8_t[]", _PAYLOAD_BYTES[0])

    def copy_range(self, handle: Any, first: int, last: int, keys: Optional[type],
                   payloads: bool) -> tuple[int, Optional[list[Any]], Optional[list[bytes]]]:
        """The chunk of [first, last) from ``first`` on, copied by one native call: (entries,
        keys, payloads), None for what was not asked."""
        chunk = self.chunk
        key_buf = self.keys if keys is not None else _NULL
        payload_buf = self.payloads if payloads else _NULL
        while True:
            key_room = len(key_buf) if keys is not None else 0
            payload_room = len(payload_buf) if payloads else 0
            status = lib.kalvex_reader_read_range(handle, first, last, _CHUNK_ENTRIES, key_buf, key_room,
                                                  self.key_ends, payload_buf, payload_room, self.payload_ends,
                                                  chunk, self.err)
            n = chunk.count
            if status != _OK:
                if n == 0:  # the chunk starts at a damaged record
                    raise_failure(status, self.err)
                lib.kalvex_error_clear(self.err)  # the next chunk starts at it and says
            if n or (chunk.key_need <= key_room and chunk.payload_need <= payload_room):
                break
            # The first entry is larger than a buffer: one of its size, for this chunk.
            if chunk.key_need > key_room:
                key_buf = _uncleared("uint8_t[]", chunk.key_need)
            if chunk.payload_need > payload_room:
                payload_buf = _uncleared("uint8_t[]", chunk.payload_need)
        # Slicing the buffer makes each bytes object with one copy.
        payload_list = _slices(_buffer(payload_buf, chunk.payloads_size), self.payload_ends, n) if payloads else None
        key_list = None
        if keys is not None:
            joined = _buffer(key_buf, chunk.keys_size)
            ascii_text = keys is str and chunk.keys_ascii
            key_list = _slices(joined[:].decode("ascii") if ascii_text else joined, self.key_ends, n)
            if keys is str and not ascii_text:
                key_list = [key.decode("utf-8", "replace") for key in key_list]
            self.keys = _grown(self.keys, chunk.keys_size, key_room, _KEY_BYTES[1])
        if payloads:
            self.payloads = _grown(self.payloads, chunk.payloads_size, payload_room, _PAYLOAD_BYTES[1])
        return n, key_list, payload_list

    def value(self, handle: Any, stored: Any) -> bytes:
        """The value whose stored payload is the view ``stored``, decoded by the library."""
        status = lib.kalvex_reader_value_size(handle, stored, self.size, self.err)
        if status != _OK:
            raise_failure(status, self.err)
        size = self.size[0]
        out = _uncleared("uint8_t[]", size or 1)
        status = lib.kalvex_reader_decode(handle, stored, out, size, self.err)
        if status != _OK:
            raise_failure(status, self.err)
        value: bytes = _buffer(out, size)[:]
        return value

    def many(self, n: int) -> tuple[Any, Any]:
        """Arrays (ends, views) for a find_many of n keys; kept for later calls up to
        _MANY_KEPT keys (the package's chunks), made for this call alone beyond."""
        ends, found = ffi.new("size_t[]", n), ffi.new("kalvex_bytes[]", n)
        if n <= _MANY_KEPT:
            self.ends, self.found_many, self.many_size = ends, found, n
        return ends, found


class Reader:
    __slots__ = ("_handle", "_owned", "_pool", "_made", "_lock", "_compressed", "__weakref__")

    def __init__(self, path: str, verify: bool, check: bool = False) -> None:
        encoded = text_argument("path", path)
        out = ffi.new("kalvex_reader **")
        err = new_error()
        options = ffi.new("kalvex_open_options *")
        options.verify = 1 if verify else 0
        options.check_records = 1 if check else 0
        status = lib.kalvex_reader_open_with(encoded, len(encoded), options, out, err)
        if status != _OK:
            raise_failure(status, err)
        # The collector is told the native size, so unclosed readers do not pile up.
        self._handle: Any = ffi.gc(out[0], lib.kalvex_reader_close, lib.kalvex_reader_memory_usage(out[0]))
        # With check, the index is checked once here, so that no miss or listing trusts it blind.
        if check:
            status = lib.kalvex_reader_check_index(self._handle, err)
            if status != _OK:
                ffi.release(self._handle)
                raise_failure(status, err)
        self._owned = [self._handle]  # popped exactly once, by whoever frees it
        self._pool: list[_Scratch] = []
        self._made = 0  # scratches made; all back in the pool when no call is inside
        self._lock = threading.Lock()  # guards _made
        stats = ffi.new("kalvex_stats *")
        lib.kalvex_reader_stats(out[0], stats)
        self._compressed = stats.compressed != 0  # payload views are then decoded

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
        k = as_bytes(key)
        scratch, handle = self._take()
        try:
            found = scratch.found
            status = lib.kalvex_reader_find(handle, k, len(k), found, scratch.err)
            if status != _OK:
                raise_failure(status, scratch.err)
            data = found.data
            if data == _NULL:
                return None
            return scratch.value(handle, found[0]) if self._compressed else _buffer(data, found.size)[:]
        finally:
            self._give(scratch)

    def find_many(self, keys: Sequence[Key]) -> list[Optional[bytes]]:
        if type(keys) is not list and type(keys) is not tuple:
            raise TypeError("argument 'keys': must be a list or tuple")
        encoded = [key if type(key) is bytes else as_bytes(key) for key in keys]
        n = len(encoded)
        # One buffer with the keys end to end and the end of each: one native call, however
        # many keys, so that their cache misses overlap.
        joined = b"".join(encoded)
        scratch, handle = self._take()
        try:
            ends, found = (scratch.ends, scratch.found_many) if n <= scratch.many_size else scratch.many(n)
            end = 0
            for i in range(n):
                end += len(encoded[i])
                ends[i] = end
            status = lib.kalvex_reader_find_many(handle, n, joined, ends, found, scratch.err)
            if status != _OK:
                raise_failure(status, scratch.err)
            if self._compressed:
                return [None if found[i].data == _NULL else scratch.value(handle, found[i]) for i in range(n)]
            # Indexing the array and slicing a buffer: measured on PyPy at about half the
            # cost of iterating the array and unpacking a cast pointer.
            return [None if found[i].data == _NULL else _buffer(found[i].data, found[i].size)[:] for i in range(n)]
        finally:
            self._give(scratch)

    def exists(self, key: Key) -> bool:
        k = as_bytes(key)
        scratch, handle = self._take()
        try:
            status = lib.kalvex_reader_exists(handle, k, len(k), scratch.flag, scratch.err)
            if status != _OK:
                raise_failure(status, scratch.err)
            return bool(scratch.flag[0])
        finally:
            self._give(scratch)

    def count(self) -> int:
        scratch, handle = self._take()
        try:
            return int(lib.kalvex_reader_entry_count(handle))
        finally:
            self._give(scratch)

    def prefix_range(self, prefix: Key) -> tuple[int, int]:
        p = as_bytes(prefix)
        scratch, handle = self._take()
        try:
            status = lib.kalvex_reader_prefix_range(handle, p, len(p), scratch.first, scratch.last, scratch.err)
            if status != _OK:
                raise_failure(status, scratch.err)
            return int(scratch.first[0]), int(scratch.last[0])
        finally:
            self._give(scratch)

    def lower_bound(self, key: Key) -> int:
        k = as_bytes(key)
        scratch, handle = self._take()
        try:
            status = lib.kalvex_reader_lower_bound(handle, k, len(k), scratch.first, scratch.err)
            if status != _OK:
                raise_failure(status, scratch.err)
            return int(scratch.first[0])
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
            if scratch.chunk is None:
                scratch.listing()
            n, key_list, payload_list = 0, None, None
            if keys is not None or payloads:
                n, key_list, payload_list = scratch.copy_range(handle, first, last, keys, payloads)
            id_list: Optional[list[int]] = None
            if ids:
                status = lib.kalvex_reader_entries(handle, first, first + n if n else last, _CHUNK_ENTRIES, _NULL,
                                                   _NULL, scratch.ids, scratch.count, scratch.err)
                if status != _OK:  # a damaged index entry; positions before it are whole
                    if scratch.count[0] == 0:
                        raise_failure(status, scratch.err)
                    lib.kalvex_error_clear(scratch.err)
                if not n or scratch.count[0] < n:  # the lists stay parallel: all stop with the ids
                    n = scratch.count[0]
                    key_list = key_list[:n] if key_list is not None else None
                    payload_list = payload_list[:n] if payload_list is not None else None
                id_list = ffi.unpack(scratch.ids, n)
            return key_list, payload_list, id_list
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
                if self._compressed:
                    payloads = [scratch.value(handle, items[i]) for i in range(n)]
                else:
                    payloads = [_copy(ffi.cast("char *", items[i].data), items[i].size) for i in range(n)]
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
                "num_objects": s.user_objects,
                "index_offset": s.index_offset,
                "data_offset": s.data_offset,
                # Exact below 2**53 bytes: the scale by 2**-10 adds no rounding.
                "file_size_kb": s.file_size * 0.0009765625,
                "file_crc32": "0x%08x" % s.file_crc32,
                "index": s.mapped_index != 0,
                "index_size": s.index_size,
                "compressed": s.compressed != 0,
                "dictionary_size": s.dictionary_size,
                "original_bytes": s.original_bytes,
                "stored_bytes": s.stored_bytes,
            }
        finally:
            self._give(scratch)

    def dictionary(self) -> bytes:
        scratch, handle = self._take()
        try:
            found = lib.kalvex_reader_dictionary(handle)
            return _buffer(found.data, found.size)[:] if found.size else b""
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
