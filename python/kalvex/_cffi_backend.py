"""The store through the cffi binding of libkalvex: the package's fast path on PyPy.

`CffiReader` and `CffiWriter` answer like `_kalvex._KalvReader` and `_KalvWriter`: the
same methods, return values, exception classes and messages. On PyPy a call through
cffi costs tens of nanoseconds where the C-API emulation costs hundreds, and listings
are copied out in chunks, one native call per chunk, so they need no list of every key.

Threads: cffi releases the interpreter lock during every native call, so calls on one
reader really do run at once. Nothing mutable is shared between them: each call takes a
scratch record (output structs, chunk buffers) from the reader's pool and gives it back.
A native handle is freed by close() as soon as no call is inside it, so closing while
another thread reads is safe; afterwards every call raises ValueError.

Errors: native calls are made without an error record. The rare failing read is asked
again with one, which is sound because a reader's answers never change.
"""
from __future__ import annotations

import operator
import platform
import threading
import weakref
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple, Union

from kalvex._kalvex_cffi import ffi, lib

Key = Union[str, bytes]

_NULL = ffi.NULL
_OK = lib.KALVEX_OK
_CLASS_OF_KIND = {
    lib.KALVEX_KIND_CORRUPT: RuntimeError,
    lib.KALVEX_KIND_VERSION: RuntimeError,
    lib.KALVEX_KIND_IO: OSError,
    lib.KALVEX_KIND_ERROR: ValueError,
}
_CLOSED_TEXT = "KalvError: the reader is closed"
# The interpreter's own words for an int out of 0..2**64-1, as the C-API module reports.
if platform.python_implementation() == "PyPy":
    _NEGATIVE_TEXT, _TOO_BIG_TEXT = "cannot convert negative integer to unsigned int", "integer too large"
else:
    _NEGATIVE_TEXT, _TOO_BIG_TEXT = "can't convert negative int to unsigned", "int too big to convert"

# Chunk sizes of listings. Buffers start here and grow to fit an entry bigger than them.
_CHUNK_ENTRIES = 1024
_CHUNK_KEY_BYTES = 64 * 1024
_CHUNK_PAYLOAD_BYTES = 1024 * 1024


class InternalFailure(BaseException):
    """An invariant of kalvex's native library broke: a bug, never a data or argument
    error. Derives from BaseException so handlers for ordinary errors skip it."""


def _raise_status(status: int, err: Any) -> None:
    """Raises the exception for a failed call whose error record is `err`."""
    if status == lib.KALVEX_NO_MEMORY:
        raise MemoryError()
    text = ""
    if err.message != _NULL:
        text = ffi.unpack(err.message, err.message_size).decode("utf-8", "replace")
    kind = err.kind
    lib.kalvex_error_clear(err)
    if status == lib.KALVEX_STORE_ERROR:
        raise _CLASS_OF_KIND.get(kind, ValueError)(text)
    raise InternalFailure(text or "internal failure in kalvex")


def _fail(status: int, call: Callable[[Any], int]) -> None:
    """Re-runs a failed read with an error record and raises what it reports."""
    err = ffi.new("kalvex_error *", [-1, _NULL, 0])
    again = call(err)
    if again == _OK:  # an allocation that failed the first time succeeded
        raise MemoryError()
    _raise_status(again, err)


def _key_failure() -> ValueError:
    return ValueError("key must be str or bytes")


def _key_bytes(key: Any) -> bytes:
    """A key's bytes: str as UTF-8, bytes, bytearray, or a non-str sequence of 0..255."""
    kind = type(key)
    if kind is bytes:
        return key
    if kind is str:
        try:
            return key.encode("utf-8")
        except UnicodeEncodeError:
            raise _key_failure() from None
    if isinstance(key, str):
        try:
            return str.encode(key, "utf-8")
        except UnicodeEncodeError:
            raise _key_failure() from None
    if isinstance(key, (bytes, bytearray)):
        return bytes(key)
    # A sequence in the C-API sense: an item getter, and not a mapping type.
    if isinstance(key, dict) or not hasattr(kind, "__getitem__"):
        raise _key_failure()
    try:
        return bytes([int(x.__index__()) for x in key])
    except Exception:
        raise _key_failure() from None


def _type_mismatch(name: str, value: Any, expected: str) -> TypeError:
    if value is None:
        text = "'None' is not an instance of '%s'" % expected
    else:
        text = "'%s' object is not an instance of '%s'" % (type(value).__qualname__, expected)
    return TypeError("argument '%s': %s" % (name, text))


def _text_argument(name: str, value: Any) -> bytes:
    if not isinstance(value, str):
        raise _type_mismatch(name, value, "str")
    return str.encode(value, "utf-8")


def _bool_argument(name: str, value: Any) -> bool:
    if type(value) is bool:
        return value
    kind = type(value)
    if getattr(kind, "__module__", None) == "numpy" and getattr(kind, "__name__", None) in (
        "bool_",
        "bool",
    ):
        method = getattr(kind, "__bool__", None)
        if method is None:
            raise TypeError(
                "argument '%s': object of type '%s' does not define a '__bool__' conversion"
                % (name, kind.__name__)
            )
        result = method(value)
        if type(result) is bool:
            return result
        raise _type_mismatch(name, result, "bool")
    raise _type_mismatch(name, value, "bool")


def _u64_argument(name: str, value: Any) -> int:
    if not isinstance(value, int):
        try:
            value = operator.index(value)
        except TypeError as e:
            if type(e) is not TypeError:
                raise
            raise TypeError("argument '%s': %s" % (name, e)) from e.__cause__
    if value < 0:
        raise OverflowError(_NEGATIVE_TEXT)
    if value >= 1 << 64:
        raise OverflowError(_TOO_BIG_TEXT)
    return int(value)


class _Scratch:
    """Native memory one thread's calls work in, and whether one of them is running."""

    __slots__ = (
        "busy",
        "handle",
        "found",
        "first",
        "last",
        "chunk",
        "max_entries",
        "keys",
        "keys_capacity",
        "key_ends",
        "payloads",
        "payloads_capacity",
        "payload_ends",
        "__weakref__",
    )

    def __init__(self) -> None:
        self.busy = False  # a call of this thread is inside the native reader
        self.handle: Any = None
        self.found = ffi.new("kalvex_bytes *")
        self.first = ffi.new("size_t *")
        self.last = ffi.new("size_t *")
        self.chunk = ffi.new("kalvex_chunk *")
        self.max_entries = 0  # chunk buffers are made at first use

    def ensure_chunk_buffers(self, key_need: int = 0, payload_need: int = 0) -> None:
        if self.max_entries == 0:
            self.max_entries = _CHUNK_ENTRIES
            self.key_ends = ffi.new("size_t[]", _CHUNK_ENTRIES)
            self.payload_ends = ffi.new("size_t[]", _CHUNK_ENTRIES)
            self.keys_capacity = _CHUNK_KEY_BYTES
            self.keys = ffi.new("uint8_t[]", _CHUNK_KEY_BYTES)
            self.payloads_capacity = _CHUNK_PAYLOAD_BYTES
            self.payloads = ffi.new("uint8_t[]", _CHUNK_PAYLOAD_BYTES)
        if key_need > self.keys_capacity:
            self.keys_capacity = max(key_need, 2 * self.keys_capacity)
            self.keys = ffi.new("uint8_t[]", self.keys_capacity)
        if payload_need > self.payloads_capacity:
            self.payloads_capacity = max(payload_need, 2 * self.payloads_capacity)
            self.payloads = ffi.new("uint8_t[]", self.payloads_capacity)


class CffiReader:
    """CffiReader(path, verify=True): a store opened through libkalvex.

    Thread-safe for reads; close() frees the native reader (at once, or when the last
    call still inside it returns)."""

    __slots__ = ("_handle", "_owned", "_local", "_scratches", "_path", "_count", "__weakref__")

    def __init__(self, path: str, verify: bool = True) -> None:
        encoded = _text_argument("path", path)
        check = _bool_argument("verify", verify)
        out = ffi.new("kalvex_reader **")
        err = ffi.new("kalvex_error *", [-1, _NULL, 0])
        status = lib.kalvex_reader_open(encoded, len(encoded), 1 if check else 0, out, err)
        if status != _OK:
            _raise_status(status, err)
        # The collector is told the native size, so unclosed readers do not pile up.
        handle = ffi.gc(out[0], lib.kalvex_reader_close, lib.kalvex_reader_memory_usage(out[0]))
        self._handle = handle
        self._owned = [handle]  # popped exactly once, by whoever frees it
        self._local = threading.local()  # .scratch: this thread's _Scratch
        self._scratches: "weakref.WeakSet[_Scratch]" = weakref.WeakSet()
        self._path = encoded.decode("utf-8")
        self._count = lib.kalvex_reader_entry_count(handle)

    # -- use and release of the native handle ------------------------------------------
    # Each thread works in its own scratch record, whose `busy` flag marks it inside the
    # native reader. A call sets the flag before it reads _handle; close() clears _handle
    # before it looks at the flags. Each is one step under the interpreter lock, so
    # either close() sees the call and leaves the freeing to it, or the call sees the
    # cleared handle and refuses.

    def _enter(self) -> _Scratch:
        try:
            scratch = self._local.scratch
        except AttributeError:
            scratch = self._local.scratch = _Scratch()
            self._scratches.add(scratch)
        if scratch.busy:
            # Re-entered from this thread (a signal handler, a finalizer): memory of its
            # own; the outer call's flag keeps the handle alive meanwhile.
            scratch = _Scratch()
        scratch.busy = True
        handle = scratch.handle = self._handle
        if handle is None:
            scratch.busy = False
            raise ValueError(_CLOSED_TEXT)
        return scratch

    def _leave(self, scratch: _Scratch) -> None:
        scratch.busy = False
        scratch.handle = None
        if self._handle is None:
            self._free_when_idle()

    def _free_when_idle(self) -> None:
        if any(s.busy for s in list(self._scratches)):
            return
        try:
            handle = self._owned.pop()  # exactly one caller gets it
        except IndexError:
            return
        ffi.release(handle)

    def close(self) -> None:
        """Frees the native reader; later calls raise ValueError. Idempotent."""
        self._handle = None
        self._free_when_idle()

    def __enter__(self) -> "CffiReader":
        return self

    def __exit__(self, _exc_type: Any, _exc_val: Any, _exc_tb: Any) -> bool:
        self.close()
        return False

    def __repr__(self) -> str:
        scratch = self._enter()
        handle = scratch.handle
        try:
            stats = ffi.new("kalvex_stats *")
            lib.kalvex_reader_stats(handle, stats)
            return "CffiReader('%s', keys=%d, objects=%d)" % (self._path, stats.num_keys, stats.num_objects)
        finally:
            self._leave(scratch)

    # -- lookups --------------------------------------------------------------------------

    def get_raw(self, key: Key) -> Optional[bytes]:
        """O(1) exact-match lookup. Returns raw msgpack bytes or `None`."""
        k = _key_bytes(key)
        scratch = self._enter()
        try:
            handle = scratch.handle
            found = scratch.found
            status = lib.kalvex_reader_find(handle, k, len(k), found, _NULL)
            if status != _OK:
                _fail(status, lambda err: lib.kalvex_reader_find(handle, k, len(k), found, err))
            data = found.data
            return None if data == _NULL else ffi.buffer(data, found.size)[:]
        finally:
            self._leave(scratch)

    def exists(self, key: Key) -> bool:
        """Key presence check: only the in-memory hash index is read."""
        k = _key_bytes(key)
        scratch = self._enter()
        try:
            return lib.kalvex_reader_exists(scratch.handle, k, len(k)) != 0
        finally:
            self._leave(scratch)

    def entry_count(self) -> int:
        """The number of index entries: positions are 0 .. entry_count() - 1."""
        return self._count

    def __len__(self) -> int:
        return self._count

    def prefix_range(self, prefix: Key) -> Tuple[int, int]:
        """Positions [first, last) of the keys that begin with `prefix`."""
        p = _key_bytes(prefix)
        scratch = self._enter()
        try:
            lib.kalvex_reader_prefix_range(scratch.handle, p, len(p), scratch.first, scratch.last)
            return scratch.first[0], scratch.last[0]
        finally:
            self._leave(scratch)

    def entry(self, position: int, bytes_key: bool = False) -> Tuple[Key, bytes]:
        """The (key, payload) pair at `position` in key order."""
        scratch = self._enter()
        handle = scratch.handle
        try:
            key = ffi.new("kalvex_bytes *")
            payload = ffi.new("kalvex_bytes *")
            err = ffi.new("kalvex_error *", [-1, _NULL, 0])
            status = lib.kalvex_reader_entry(handle, position, key, payload, err)
            if status != _OK:
                _raise_status(status, err)
            raw_key = ffi.buffer(key.data, key.size)[:]
            return (
                raw_key if bytes_key else raw_key.decode("utf-8", "replace"),
                ffi.buffer(payload.data, payload.size)[:],
            )
        finally:
            self._leave(scratch)

    # -- listings -------------------------------------------------------------------------

    def _chunk(
        self, first: int, last: int, keys: bool, payloads: bool, bytes_keys: bool, out: list
    ) -> Tuple[int, Optional[BaseException]]:
        """Appends entries from `first` on to `out` (pairs, or keys or payloads alone);
        returns how many, and the error that stopped the chunk early if one did."""
        scratch = self._enter()
        try:
            return self._fill(scratch.handle, scratch, first, last, keys, payloads, bytes_keys, out)
        finally:
            self._leave(scratch)

    def _fill(
        self,
        handle: Any,
        s: _Scratch,
        first: int,
        last: int,
        keys: bool,
        payloads: bool,
        bytes_keys: bool,
        out: list,
    ) -> Tuple[int, Optional[BaseException]]:
        s.ensure_chunk_buffers()
        chunk = s.chunk
        while True:
            status = lib.kalvex_reader_read_range(
                handle, first, last, s.max_entries,
                s.keys if keys else _NULL, s.keys_capacity, s.key_ends,
                s.payloads if payloads else _NULL, s.payloads_capacity, s.payload_ends,
                chunk, _NULL,
            )  # fmt: skip
            n = chunk.count
            if n == 0 and status == _OK and first < last and (chunk.key_need or chunk.payload_need):
                s.ensure_chunk_buffers(chunk.key_need, chunk.payload_need)
                continue
            break
        error: Optional[BaseException] = None
        if status != _OK:
            # Asked again for the failing record alone, into memory of its own.
            at = first + n
            try:
                _fail(status, lambda err: lib.kalvex_reader_read_range(
                    handle, at, last, 1, _NULL, 0, _NULL, s.payloads, 0, s.payload_ends,
                    ffi.new("kalvex_chunk *"), err))  # fmt: skip
            except BaseException as e:  # noqa: BLE001 - handed to the caller to raise
                error = e
        if n == 0:
            return 0, error
        key_list: List[Any] = []
        if keys:
            key_ends = ffi.unpack(s.key_ends, n)
            blob = ffi.buffer(s.keys, chunk.keys_size)[:]
            ascii_keys = chunk.keys_ascii
            if not bytes_keys and ascii_keys:
                # An ASCII chunk decodes in one go and slices at the same offsets.
                blob = blob.decode("ascii")
            start = 0
            if bytes_keys or ascii_keys:
                for end in key_ends:
                    key_list.append(blob[start:end])
                    start = end
            else:
                for end in key_ends:
                    key_list.append(blob[start:end].decode("utf-8", "replace"))
                    start = end
        if payloads:
            payload_ends = ffi.unpack(s.payload_ends, n)
            data = ffi.buffer(s.payloads, chunk.payloads_size)[:]
            start = 0
            if keys:
                for i in range(n):
                    end = payload_ends[i]
                    out.append((key_list[i], data[start:end]))
                    start = end
            else:
                for end in payload_ends:
                    out.append(data[start:end])
                    start = end
        else:
            out.extend(key_list)
        return n, error

    def _collect(self, first: int, last: int, keys: bool, payloads: bool, bytes_keys: bool) -> list:
        """Entries [first, last) in one list; any damaged record fails the whole call."""
        out: list = []
        while first < last:
            n, error = self._chunk(first, last, keys, payloads, bytes_keys, out)
            if error is not None:
                raise error
            first += n
        return out

    def _iterate(
        self, first: int, last: int, keys: bool, payloads: bool, bytes_keys: bool
    ) -> Iterator[Any]:
        while first < last:
            out: list = []
            n, error = self._chunk(first, last, keys, payloads, bytes_keys, out)
            yield from out
            if error is not None:
                raise error
            first += n

    def iter_items(self, first: int = 0, last: Optional[int] = None, bytes_keys: bool = False) -> Iterator[Tuple[Key, bytes]]:
        """(key, payload) pairs of positions [first, last), read lazily in chunks. A
        damaged record raises after the pairs before it."""
        return self._iterate(first, self._count if last is None else min(last, self._count), True, True, bytes_keys)

    def iter_keys(self, first: int = 0, last: Optional[int] = None, bytes_keys: bool = False) -> Iterator[Key]:
        """Keys of positions [first, last), read lazily in chunks."""
        return self._iterate(first, self._count if last is None else min(last, self._count), True, False, bytes_keys)

    def keys(self) -> List[str]:
        """All keys in sorted order."""
        return self._collect(0, self._count, True, False, False)

    def items_raw(self) -> List[Tuple[str, bytes]]:
        """All `(key, raw_bytes)` pairs in sorted key order."""
        return self._collect(0, self._count, True, True, False)

    def items_raw_bytes(self) -> List[Tuple[bytes, bytes]]:
        """All `(key_bytes, raw_bytes)` pairs in sorted key order."""
        return self._collect(0, self._count, True, True, True)

    def prefix_raw(self, prefix: Key) -> List[Tuple[str, bytes]]:
        """Sorted prefix scan. Returns `list[tuple[str, bytes]]`."""
        first, last = self.prefix_range(prefix)
        return self._collect(first, last, True, True, False)

    def objects_raw(self) -> List[bytes]:
        """Unique objects only (deduplicated by file offset)."""
        scratch = self._enter()
        handle = scratch.handle
        try:
            out = ffi.new("kalvex_objects **")
            err = ffi.new("kalvex_error *", [-1, _NULL, 0])
            status = lib.kalvex_reader_objects(handle, out, err)
            if status != _OK:
                _raise_status(status, err)
            objects = out[0]
            try:
                items = lib.kalvex_objects_items(objects)
                return [ffi.buffer(items[i].data, items[i].size)[:] for i in range(lib.kalvex_objects_count(objects))]
            finally:
                lib.kalvex_objects_free(objects)
        finally:
            self._leave(scratch)

    # -- whole-file answers ---------------------------------------------------------------

    def stats(self) -> dict:
        """Return file metadata as a `dict`."""
        scratch = self._enter()
        handle = scratch.handle
        try:
            s = ffi.new("kalvex_stats *")
            lib.kalvex_reader_stats(handle, s)
            return {
                "path": self._path,
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
            self._leave(scratch)

    def verify(self) -> bool:
        """Deep CRC32 integrity check (whole-file + per-object)."""
        scratch = self._enter()
        handle = scratch.handle
        try:
            err = ffi.new("kalvex_error *", [-1, _NULL, 0])
            status = lib.kalvex_reader_verify(handle, err)
            if status != _OK:
                _raise_status(status, err)
            return True
        finally:
            self._leave(scratch)


class CffiWriter:
    """CffiWriter(): collects pre-encoded objects and keys, then builds a store.

    Behaves as the C-API module's writer does under the interpreter lock: calls from
    several threads are serialised, and a call that arrives while another one runs
    Python code in the middle of converting its arguments (an obj_id's __index__, a key
    given as a sequence) is refused with RuntimeError. close() frees the native writer."""

    __slots__ = ("_handle", "_native", "_guard", "_uses", "_id", "__weakref__")

    def __init__(self) -> None:
        out = ffi.new("kalvex_writer **")
        err = ffi.new("kalvex_error *", [-1, _NULL, 0])
        status = lib.kalvex_writer_new(out, err)
        if status != _OK:
            _raise_status(status, err)
        self._handle = ffi.gc(out[0], lib.kalvex_writer_free)
        # Held around every native call: the interpreter lock is released during them.
        self._native = threading.Lock()
        # _uses counts like the C-API module's borrow counter (n > 0 shared, -1
        # exclusive), but is held only while a call runs Python code converting its
        # arguments; _guard makes its updates atomic.
        self._guard = threading.Lock()
        self._uses = 0
        self._id = ffi.new("uint64_t *")  # used only under _native

    def _check(self, exclusive: bool) -> Any:
        uses = self._uses
        if uses < 0 or (exclusive and uses > 0):
            raise RuntimeError("Already borrowed" if exclusive else "Already mutably borrowed")
        handle = self._handle
        if handle is None:
            raise ValueError("KalvError: the writer is closed")
        return handle

    def _convert_exclusively(self, convert: Callable[[], Any]) -> Any:
        """Runs `convert` (which may run Python code) holding exclusive use."""
        with self._guard:
            self._check(True)
            self._uses = -1
        try:
            return convert()
        finally:
            with self._guard:
                self._uses = 0

    def close(self) -> None:
        """Frees the native writer and everything added to it. Idempotent."""
        with self._native:
            handle, self._handle = self._handle, None
        if handle is not None:
            ffi.release(handle)

    def __repr__(self) -> str:
        self._check(False)
        with self._native:
            handle = self._check(False)
            return "CffiWriter(objects=%d, keys=%d)" % (
                lib.kalvex_writer_num_objects(handle),
                lib.kalvex_writer_num_keys(handle),
            )

    def add_object_raw(self, raw_bytes: bytes) -> int:
        """Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."""
        return self._add_object(raw_bytes, lib.kalvex_writer_add_object)

    def add_object_unique(self, raw_bytes: bytes) -> int:
        """Like add_object_raw, but an equal payload added through this call before is not
        stored again: its object ID comes back (the native writer compares whole payloads)."""
        return self._add_object(raw_bytes, lib.kalvex_writer_add_object_unique)

    def _add_object(self, raw_bytes: bytes, add: Any) -> int:
        self._check(True)
        if not isinstance(raw_bytes, bytes):
            raise _type_mismatch("raw_bytes", raw_bytes, "bytes")
        with self._native:
            handle = self._check(True)
            status = add(handle, raw_bytes, len(raw_bytes), self._id, _NULL)
            if status != _OK:
                raise MemoryError() if status == lib.KALVEX_NO_MEMORY else InternalFailure("add_object failed")
            return int(self._id[0])

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* (str or bytes) to *obj_id*."""
        self._check(True)
        if type(obj_id) is int and type(key) in (str, bytes):
            obj = _u64_argument("obj_id", obj_id)
            k = _key_bytes(key)
        else:
            # obj_id first: with both arguments wrong, its failure is the one reported.
            obj, k = self._convert_exclusively(lambda: (_u64_argument("obj_id", obj_id), _key_bytes(key)))
        with self._native:
            handle = self._check(True)
            status = lib.kalvex_writer_add_key(handle, k, len(k), obj, _NULL)
            if status != _OK:
                # A rejected key changed nothing, so asking again gives the same answer.
                _fail(status, lambda err: lib.kalvex_writer_add_key(handle, k, len(k), obj, err))

    def add_objects_raw(self, payloads: Sequence[bytes]) -> int:
        """Stores every payload in one native call; returns the first one's object ID
        (the rest follow it)."""
        self._check(True)
        blob, ends = _concatenate(payloads, "raw_bytes")
        with self._native:
            handle = self._check(True)
            first = ffi.new("uint64_t *")
            added = ffi.new("size_t *")
            err = ffi.new("kalvex_error *", [-1, _NULL, 0])
            status = lib.kalvex_writer_add_objects(handle, len(ends), blob, ends, first, added, err)
            if status != _OK:
                _raise_status(status, err)
            return int(first[0])

    def add_keys(self, keys: Sequence[Key], obj_ids: Sequence[int]) -> None:
        """Maps keys[i] to obj_ids[i] for every i in one native call. Every pair is
        checked before any is added: a bad one raises and changes nothing."""
        self._check(True)
        if len(keys) != len(obj_ids):
            raise ValueError("KalvError: %d keys but %d object ids" % (len(keys), len(obj_ids)))
        ids, (blob, ends) = self._convert_exclusively(lambda: (
            ffi.new("uint64_t[]", [_u64_argument("obj_id", i) for i in obj_ids]),
            _concatenate([_key_bytes(k) for k in keys], "key")))  # fmt: skip
        with self._native:
            handle = self._check(True)
            added = ffi.new("size_t *")
            err = ffi.new("kalvex_error *", [-1, _NULL, 0])
            status = lib.kalvex_writer_add_keys(handle, len(ends), blob, ends, ids, added, err)
            if status != _OK:
                _raise_status(status, err)

    def build(self, path: str) -> None:
        """Atomically write the `.klvx` file: tmp -> fsync -> rename; prints the summary
        line to standard output (file descriptor 1)."""
        self._check(False)
        encoded = _text_argument("path", path)
        with self._native:
            handle = self._check(False)
            err = ffi.new("kalvex_error *", [-1, _NULL, 0])
            status = lib.kalvex_writer_build(handle, encoded, len(encoded), 1, _NULL, err)
            if status != _OK:
                _raise_status(status, err)


def _concatenate(parts: Sequence[bytes], name: str) -> Tuple[Any, Any]:
    """One native buffer holding `parts` back to back, and the end offset of each."""
    for part in parts:
        if not isinstance(part, bytes):
            raise _type_mismatch(name, part, "bytes")
    blob = b"".join(parts)
    ends = ffi.new("size_t[]", len(parts))
    total = 0
    for i, part in enumerate(parts):
        total += len(part)
        ends[i] = total
    return ffi.from_buffer("uint8_t[]", blob), ends
