"""The contract's writer over libkalvex.

cffi lets the interpreter lock go during every native call, and a native writer must not
be entered twice at once, so every call holds the writer's lock: calls from several
threads are serialised, never a crash.
"""
from __future__ import annotations

import itertools
import threading
from typing import Any, Optional, Sequence

from kalvex._cffi.errors import bytes_argument, new_error, raise_failure, text_argument, u64_argument
from kalvex._codec import as_bytes
from kalvex._kalvex_cffi import ffi, lib

_OK = lib.KALVEX_OK


class Writer:
    __slots__ = ("_handle", "_lock", "_id", "_found", "_end", "_err")

    def __init__(self, path: Optional[str] = None, memory_limit: int = 0) -> None:
        out = ffi.new("kalvex_writer **")
        err = new_error()
        options = ffi.new("kalvex_writer_options *")
        # The path's bytes are only read during the call: `chars` lives until it returns.
        chars = None if path is None else ffi.new("char[]", text_argument("path", path))
        if chars is not None:
            options.path = chars
            options.path_size = len(chars) - 1
        options.memory_limit = u64_argument("memory_limit", memory_limit)
        status = lib.kalvex_writer_new_with(out, options, err)
        if status != _OK:
            raise_failure(status, err)
        self._handle = ffi.gc(out[0], lib.kalvex_writer_free)
        self._lock = threading.Lock()
        # Output records, used only under _lock.
        self._id = ffi.new("uint64_t *")
        self._found = ffi.new("int *")
        self._end = ffi.new("size_t[1]")
        self._err = new_error()

    def add(self, payload: bytes) -> int:
        data = bytes_argument("payload", payload)
        with self._lock:
            status = lib.kalvex_writer_add_object(self._handle, data, len(data), self._id, self._err)
            if status != _OK:
                raise_failure(status, self._err)
            return int(self._id[0])

    def add_unique(self, payload: bytes) -> int:
        data = bytes_argument("payload", payload)
        with self._lock:
            status = lib.kalvex_writer_add_object_unique(self._handle, data, len(data), self._id, self._err)
            if status != _OK:
                raise_failure(status, self._err)
            return int(self._id[0])

    def add_mapped(self, payload: bytes, keys: Sequence[Any], unique: bool = False) -> int:
        data = bytes_argument("payload", payload)
        if type(keys) is not tuple and type(keys) is not list:
            raise TypeError("argument 'keys': must be a list or tuple")
        stored = [as_bytes(key) for key in keys]
        many = None if len(stored) == 1 else ffi.new("size_t[]", list(itertools.accumulate(map(len, stored))))
        blob = stored[0] if many is None else b"".join(stored)
        with self._lock:
            ends = self._end if many is None else many
            if many is None:
                ends[0] = len(blob)
            status = lib.kalvex_writer_add_mapped(
                self._handle, data, len(data), 1 if unique else 0, len(stored), blob, ends, self._id, self._err)
            if status != _OK:
                raise_failure(status, self._err)
            return int(self._id[0])

    def add_pairs(self, payloads: Sequence[bytes], keys: Sequence[Any], unique: bool = False) -> int:
        if type(payloads) is not tuple and type(payloads) is not list:
            raise TypeError("argument 'payloads': must be a list or tuple")
        if type(keys) is not tuple and type(keys) is not list:
            raise TypeError("argument 'keys': must be a list or tuple")
        if len(payloads) != len(keys):
            raise ValueError("payloads and keys differ in length")
        for payload in payloads:
            if type(payload) is not bytes:
                bytes_argument("payloads", payload)
        stored: list[bytes] = []
        try:
            for key in keys:
                stored.append(as_bytes(key))
        except (TypeError, ValueError):  # the batch ends before the first object that is no key
            pass
        usable = len(stored)
        payload_ends = ffi.new("size_t[]", list(itertools.accumulate(map(len, payloads[:usable]))))
        key_ends = ffi.new("size_t[]", list(itertools.accumulate(map(len, stored))))
        payload_run, key_run = b"".join(payloads[:usable]), b"".join(stored)
        with self._lock:
            status = lib.kalvex_writer_add_pairs(self._handle, 1 if unique else 0, usable, payload_run,
                                                 payload_ends, key_run, key_ends, self._end, self._err)
            if status == lib.KALVEX_STORE_ERROR:
                # A refused key changed nothing and _end is its place: the pairs before it go
                # in now, and the caller adds it alone to raise its own error.
                lib.kalvex_error_clear(self._err)
                usable = int(self._end[0])
                status = lib.kalvex_writer_add_pairs(self._handle, 1 if unique else 0, usable, payload_run,
                                                     payload_ends, key_run, key_ends, self._end, self._err)
            if status != _OK:
                raise_failure(status, self._err)
            return usable

    def add_key(self, key: Any, obj_id: int) -> None:
        k = as_bytes(key)
        obj = obj_id if type(obj_id) is int and 0 <= obj_id < 1 << 64 else u64_argument("obj_id", obj_id)
        with self._lock:
            status = lib.kalvex_writer_add_key(self._handle, k, len(k), obj, self._err)
            if status != _OK:
                raise_failure(status, self._err)

    def contains(self, key: Any) -> bool:
        k = as_bytes(key)
        with self._lock:
            status = lib.kalvex_writer_contains_key(self._handle, k, len(k), self._found, self._err)
            if status != _OK:
                raise_failure(status, self._err)
            return bool(self._found[0])

    def key_count(self) -> int:
        with self._lock:
            status = lib.kalvex_writer_num_keys(self._handle, self._id, self._err)
            if status != _OK:
                raise_failure(status, self._err)
            return int(self._id[0])

    def object_count(self) -> int:
        with self._lock:
            return int(lib.kalvex_writer_num_objects(self._handle))

    def build(self, path: str, index: bool = False, drop_unreferenced: bool = False, compression: int = 0,
              dictionary: Optional[bytes] = None) -> tuple[int, int, int]:
        encoded = text_argument("path", path)
        if type(compression) is not int:
            raise TypeError("argument 'compression': must be an int level (0: none)")
        options = ffi.new("kalvex_build_options *", (0, 1 if index else 0, 1 if drop_unreferenced else 0,
                                                    1 if compression else 0, compression))
        # The dictionary's bytes stay referenced (by `given`, `view`) until the build returns.
        given = None if dictionary is None else bytes_argument("dictionary", dictionary)
        view = None if given is None else ffi.from_buffer("uint8_t[]", given)
        if view is not None:
            options.dictionary = view
            options.dictionary_size = len(view)
        report = ffi.new("kalvex_build_report *")
        with self._lock:
            status = lib.kalvex_writer_build_with(self._handle, encoded, len(encoded), options, report, self._err)
            if status != _OK:
                raise_failure(status, self._err)
        return int(report.num_objects), int(report.num_keys), int(report.file_size)

    def train_dictionary(self) -> bytes:
        buffer = ffi.new("uint8_t[]", lib.KALVEX_MAX_DICTIONARY_SIZE)
        with self._lock:
            status = lib.kalvex_writer_train_dictionary(self._handle, buffer, len(buffer), self._end, self._err)
            if status != _OK:
                raise_failure(status, self._err)
            trained: bytes = ffi.buffer(buffer, self._end[0])[:]
            return trained

    def discard(self) -> None:
        with self._lock:
            lib.kalvex_writer_discard(self._handle)
