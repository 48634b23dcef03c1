"""What the package asks of a native backend: one reader, one writer, two factories.

``include/kalvex.h`` defines the operations; a backend is a thin binding of them. There are
two: ``kalvex._native`` (the package's CPython module) and the cffi binding of libkalvex
(PyPy). Everything above (decoding, options, the Mapping, listings as iterators, the
command) is written once against these protocols.

Keys. A key is a ``str`` (its UTF-8 bytes) or ``bytes``. ``bytearray`` and other
sequences of ints 0..255 are taken as their bytes, as ``kalvex._kalvex`` takes them. Any
other type, and a ``str`` with no UTF-8 form (a lone surrogate), raises
``ValueError("key must be str or bytes")``, the text the package has always raised.

Other arguments. A payload must be ``bytes`` (``TypeError`` otherwise), a path a ``str``
(``TypeError``), a position or object id an ``int`` from 0 to 2**64 - 1 (``TypeError``,
``OverflowError``). Every parameter may be passed by position or by keyword.

Errors. A store error raises the ``kalvex.errors`` class of its kind, never a built-in
class whose message has to be read: ``KalvCorruptError`` (damaged file),
``KalvVersionError`` (a format version this library does not read), ``KalvIOError`` (an
operating-system call failed) and ``KalvError`` (a request that breaks a rule of the
store). The message is the detail alone; the class names the kind. ``KalvIOError`` has
``errno`` (None when the store refused a path on its own, e.g. a device where a file must
be) and ``filename`` (None when no file is involved; for a failed build, the temporary file
beside the target). Running out of memory raises ``MemoryError``. A broken invariant of the
library (a bug) raises the backend's internal-failure class, which derives from
``BaseException``.

Lifetimes and threads. A reader is immutable and serves any number of threads; ``close()``
frees it and its mapping (at once, or when a call still inside it returns), and every later
call but ``close()`` raises ``ValueError("store is closed")`` (``errors.closed_error``). A
writer is not thread-safe: callers serialise calls on one writer. Library calls print
nothing.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Protocol, Sequence

from kalvex._codec import Key


class NativeReader(Protocol):
    """An open store. Positions are places in key order (bytewise), 0 .. count() - 1. Every
    call that reads the file can meet damage (in a record, or in a mapped index: its slots,
    samples and entries); it raises ``KalvCorruptError`` at the first damaged part, never
    answers short or empty because of it."""

    def find(self, key: Key) -> Optional[bytes]:
        """The payload stored under ``key``, or None. For a store whose values are
        compressed, every payload this reader returns (here, ``find_many``, ``read_range``,
        ``objects``) is the value decoded by the library; one that does not decode raises
        ``KalvCorruptError``."""

    def find_many(self, keys: Sequence[Key]) -> list[Optional[bytes]]:
        """``find`` of each key of a list or tuple (``TypeError`` for any other container),
        answered in order in one call whose lookups overlap their memory reads. Every key
        is converted before any is looked up; damage met by any of them fails the call."""

    def exists(self, key: Key) -> bool: ...

    def count(self) -> int:
        """The number of index entries. A key the writer mapped twice is one entry; a file
        written elsewhere may repeat a key, with one entry per occurrence."""

    def prefix_range(self, prefix: Key) -> tuple[int, int]:
        """Positions ``(first, last)``, ``first <= last``, of the keys that begin with
        ``prefix``; an empty prefix gives ``(0, count())``."""

    def lower_bound(self, key: Key) -> int:
        """The position of the first key not below ``key`` in key order (bytewise; a key
        of any length), ``count()`` when every key is below it: the seek that ranges,
        ranks and "the next key after" start from, in O(log n). A damaged index met by the
        search raises ``KalvCorruptError``, never gives a wrong position. A file that
        repeats a key has one position per occurrence; this is the first."""

    def read_range(
        self, first: int, last: int, keys: Optional[type] = None, payloads: bool = False, ids: bool = False
    ) -> tuple[Optional[list[Any]], Optional[list[bytes]], Optional[list[int]]]:
        """One chunk of the entries at positions ``[first, last)``, from ``first`` on:
        ``(keys, payloads, ids)``, parallel lists of the same length, None where not asked.

        ``keys`` is ``bytes`` (the stored bytes), ``str`` (decoded as UTF-8, each ill-formed
        part replaced by U+FFFD) or None. ``ids`` are object ids: the same id for entries
        sharing one object, a different id for every other object of the store (the
        record's file offset). At least one of the three must be asked for (else
        ``ValueError``). ``last`` past the end is clamped; ``first >= last`` gives empty
        lists.

        A chunk holds up to about a thousand entries, fewer when the payloads are large,
        at least one when the range is not empty: call again from ``first + len(chunk)``
        until ``last``. A chunk ends before a damaged record; the chunk that starts at it
        raises.
        """

    def objects(self, ids: bool = False) -> tuple[list[bytes], Optional[list[int]]]:
        """The distinct objects' payloads, each once, in the order of the first key of each
        in key order; with ``ids``, their object ids (as ``read_range`` gives them) in a
        parallel list, else None."""

    def stats(self) -> dict[str, Any]:
        """``path``, ``version``, ``num_keys``, ``index_offset``, ``data_offset`` (header
        values, ints), ``num_objects`` (the header's count without a carried mapped index:
        the objects the writer was given), ``file_size_kb`` (float), ``file_crc32`` (str,
        ``"0x"`` and eight lowercase hex digits), ``index`` (bool: the reader reads the
        file's mapped index) and ``index_size`` (int, bytes of its record; 0 without),
        ``compressed`` (bool: the values are stored compressed), ``dictionary_size`` (int,
        bytes of the store's compression dictionary), ``original_bytes`` and
        ``stored_bytes`` (ints: the distinct values' lengths summed as given and as stored;
        0 for a store that is not compressed)."""

    def dictionary(self) -> bytes:
        """The compression dictionary the store carries (``b""`` when none), for another
        build to share (``NativeWriter.build``'s ``dictionary``)."""

    def verify(self) -> bool:
        """The whole-file CRC-32, then every referenced object's bounds and CRC-32, then a
        carried mapped index (its record's CRC-32, and that it answers every key of the
        index section): True, or ``KalvCorruptError`` naming the first failure."""

    def memory_usage(self) -> int:
        """Bytes of native memory the reader holds besides the file mapping."""

    def close(self) -> None: ...


class NativeWriter(Protocol):
    """Objects and keys in memory, built into a store file. Object ids count from 0 in the
    order objects are stored, without gaps. Sizes and limits are checked by the build."""

    def add(self, payload: bytes) -> int:
        """Stores a copy of ``payload`` as a new object; its id."""

    def add_unique(self, payload: bytes) -> int:
        """The id of an object stored through ``add_unique`` before whose payload is byte for
        byte ``payload``; otherwise ``add(payload)``. Objects stored by ``add`` are never
        matched. Under a ``memory_limit``, once the writer's table of payloads has reached its
        share, a payload stored before may get a new id: it stands for the same value, and
        builds write the value once, as without a limit."""

    def add_mapped(self, payload: bytes, keys: Sequence[Key], unique: bool = False) -> int:
        """``add(payload)`` (``add_unique`` with ``unique``) with every key of ``keys`` (a
        ``list`` or ``tuple``, else ``TypeError``, as for ``find_many``) mapped to the object, in one call; its
        id. Every key is converted and checked before anything is stored."""

    def add_pairs(self, payloads: Sequence[bytes], keys: Sequence[Key], unique: bool = False) -> int:
        """``add_mapped(payloads[i], (keys[i],), unique)`` for each ``i`` in order, in one
        call: the loop of a build from pairs. Both are lists or tuples of one length (else
        ``TypeError`` or ``ValueError``). Stores the pairs before the first key refused (one
        that is no key or is over the limit; also the first pair of a batch that could
        carry the keys past what the format counts) and returns how many it stored: the
        caller adds the refused pair alone, which raises its error."""

    def add_key(self, key: Key, obj_id: int) -> None:
        """Maps ``key`` to object ``obj_id``, replacing an earlier mapping of the key.
        ``KalvError``, and nothing changes, when ``obj_id`` is not a stored object or the
        key is longer than 65535 bytes."""

    def contains(self, key: Key) -> bool: ...

    def key_count(self) -> int:
        """The number of distinct keys mapped."""

    def object_count(self) -> int: ...

    def build(self, path: str, index: bool = False, drop_unreferenced: bool = False, compression: int = 0,
              dictionary: Optional[bytes] = None) -> tuple[int, int, int]:
        """Writes the store to ``path`` atomically (a temporary file beside it, fsync,
        rename) and returns ``(objects, keys, file size in bytes)``; ``objects`` counts the
        writer's objects, not the index. With ``index`` the store carries a mapped index
        (its last object), which readers open in constant time. With ``drop_unreferenced``
        objects no key maps to are left out (``objects`` counts those written). Every limit is checked
        before the file system is touched; a failed build leaves an existing file as it
        was. The writer is only read: it may be built again, and grown in between.
        ``compression`` nonzero compresses the values at that libzstd level, with
        ``dictionary`` (bytes) or, when None, one trained from the objects; a level libzstd
        refuses is ``KalvError``. With 0 the file is byte for byte the one without it."""

    def train_dictionary(self) -> bytes:
        """The dictionary a compressed build would train from the objects (``b""`` when they
        are too few to learn from)."""

    def discard(self) -> None:
        """Drops every object and key and removes the writer's temporary files (those still
        its own); the writer stays usable, empty. Freeing the writer does the same."""


class NativeBackend(Protocol):
    """A backend module: the two factories and the routing rule."""

    def open_reader(self, path: str, verify: bool, check: bool = False) -> NativeReader:
        """Maps the store at ``path``; with ``verify`` the whole-file CRC-32 is checked
        first. A mapped index the file declares is read in place (constant-time open).
        With ``check`` the index is checked at open (the CRC-32 of the mapped index's
        record and of the index section; the whole-file CRC-32 for a store without a
        mapped index) and every payload read later has its record's CRC-32 checked:
        ``KalvCorruptError`` instead of a wrong answer, at a cost that grows with the index
        and the payloads read, not with the data."""

    def new_writer(self, path: Optional[str] = None, memory_limit: int = 0) -> NativeWriter:
        """An empty writer. With ``memory_limit`` (bytes, 0: no bound) it holds at most that
        much of its values in memory: with ``path`` (where it will be built) it writes each
        value to that build's temporary file as it is added, else it moves them to an
        anonymous temporary file once over the limit. With neither, everything stays in
        memory until the build, as in ``kalvex._kalvex``."""

    def jump_hash(self, digest: int, n: int, /) -> int:
        """The shard, from 0 to ``n - 1``, of a 64-bit ``digest`` among ``n`` (the routing
        rule of kalvex/shards/routing.py); ValueError unless ``1 <= n < 2**31``."""


if TYPE_CHECKING:
    # Both backends checked against the contract here, once: the cffi binding, and the
    # CPython module's factories (its stub declares their reader and writer as these).
    from kalvex import _cffi, _native

    _NATIVE: NativeBackend = _native
    _CFFI: NativeBackend = _cffi
