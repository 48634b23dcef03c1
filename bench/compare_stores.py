"""One adapter per store measured by compare.py, each used the way its documentation
suggests: the same keys and payloads, the same operations, its own idiomatic calls.

Every adapter offers the same methods; a store that lacks an operation leaves it as
None and its cell in the report stays empty. Stores whose keys are bytes get keys
encoded before any timing starts; kalvex, dict and marisa-trie take `str` keys.
"""
from __future__ import annotations

import bisect
import contextlib
import os
import pickle
import shutil
import sqlite3
import subprocess
import sys


def _unusable(package: str, error: Exception) -> str:
    first = (str(error).strip().splitlines() or [type(error).__name__])[0]
    return f"{package} not importable: {first[:100]}"


def _fsync_path(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _tree_size(path: str) -> int:
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(d, f))
                   for d, _, files in os.walk(path) for f in files)
    return os.path.getsize(path)


@contextlib.contextmanager
def _quiet_stdout():
    """Silences file descriptor 1 (kalvex's build prints a summary line there)."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


class Store:
    name = ""
    label = ""
    key_type = "bytes"          # "str" or "bytes": which form of the data's keys it takes
    suffix = ""
    checked_open = False        # can check the whole file when opening
    keys_only = False

    def available(self) -> str | None:
        """None when usable, else the reason it is skipped."""
        return None

    def version(self) -> str:
        return ""

    def remove(self, path: str) -> None:
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.remove(path)

    def size(self, path: str) -> int:
        return _tree_size(path)

    def build(self, data, path: str) -> None:
        raise NotImplementedError

    def open(self, path: str, check: bool = False):
        raise NotImplementedError

    def close(self, handle) -> None:
        pass

    # Each returns a one-argument callable, or None when the store cannot do it.
    def getter(self, handle):
        return None

    def exister(self, handle):
        return None

    def prefix_scan(self, handle, prefix):
        return None

    def items(self, handle):
        return None


class Kalvex(Store):
    name, label, key_type, suffix, checked_open = "kalvex", "kalvex", "str", ".klvx", True
    add_object = "add_object_raw"   # the writer's method storing one payload

    def available(self):
        try:
            from kalvex import _kalvex  # noqa: F401
        except Exception as e:  # noqa: BLE001 (a broken install is skipped too)
            return _unusable("kalvex", e)
        return None

    def version(self):
        from kalvex import _kalvex
        return _kalvex.__version__

    def new_writer(self):
        from kalvex import _kalvex
        return _kalvex._KalvWriter()

    def fill(self, data):
        """A writer holding the whole data set, not yet built."""
        writer = self.new_writer()
        add_object, add_key = getattr(writer, self.add_object), writer.add_key
        oid = 0
        for key, payload, new in zip(data.keys, data.payloads, data.new_object):
            if new:
                oid = add_object(payload)
            add_key(key, oid)
        return writer

    def build_only(self, writer, path):
        with _quiet_stdout():
            writer.build(path)          # writes a temporary file, fsyncs, renames

    def build(self, data, path):
        self.build_only(self.fill(data), path)

    build_sorted = build            # nothing to ask for: the build sorts anyway

    def writer_calls(self, data):
        """Callables timed one per item of the load: the two writer calls on a fresh
        writer, with the interpreter's floor (len) and a dict insert beside them."""
        state = {}

        def add_objects():
            state["w"] = self.new_writer()
            return getattr(state["w"], self.add_object), data.payloads

        def add_keys():
            return state["w"].add_key, data.keys, range(data.n)

        def floor():
            return len, data.payloads

        def dict_insert():
            return {}.__setitem__, data.keys, data.payloads
        return {"call_add_object": add_objects, "call_add_key": add_keys,
                "call_len": floor, "call_dict_set": dict_insert}

    def open(self, path, check=False):
        from kalvex import _kalvex
        return _kalvex._KalvReader(path, verify=check)

    def close(self, h):
        h.close()

    def getter(self, h):
        return h.get_raw

    def exister(self, h):
        return h.exists

    def prefix_scan(self, h, prefix):
        return h.prefix_raw(prefix)

    def items(self, h):
        return h.items_raw_bytes()

    def items_str(self, h):
        return h.items_raw()

    def verify(self, h):
        return h.verify()


class KalvexCffi(Kalvex):
    """The same store through the package's cffi binding of libkalvex (the backend contract,
    kalvex/_contract.py): the package's path on PyPy, where the C-API module pays for PyPy's
    emulation of the C API on every call. Listings are joined from read_range chunks."""
    name, label = "kalvex-cffi", "kalvex (cffi)"
    add_object = "add"

    def available(self):
        if sys.implementation.name != "pypy":
            return "measured on PyPy only, where it is the package's path"
        try:
            from kalvex import _cffi  # noqa: F401
        except Exception as e:  # noqa: BLE001 (a broken install is skipped too)
            return _unusable("kalvex's cffi binding", e)
        return None

    def new_writer(self):
        from kalvex import _cffi
        return _cffi.new_writer()

    def open(self, path, check=False):
        from kalvex import _cffi
        return _cffi.open_reader(path, check)

    def getter(self, h):
        return h.find

    @staticmethod
    def _pairs(h, first, last, keys):
        out = []
        while first < last:
            chunk_keys, payloads, _ = h.read_range(first, last, keys, True)
            out += zip(chunk_keys, payloads)
            first += len(chunk_keys)
        return out

    def prefix_scan(self, h, prefix):
        return self._pairs(h, *h.prefix_range(prefix), str)

    def items(self, h):
        return self._pairs(h, 0, h.count(), bytes)

    def items_str(self, h):
        return self._pairs(h, 0, h.count(), str)


class Dict(Store):
    """The in-process floor: a dict, persisted with pickle (which stores a shared
    payload once), its prefix scan a bisection over a sorted key list."""
    name, label, key_type, suffix = "dict", "dict", "str", ".pickle"

    def build(self, data, path):
        d = {}
        for key, payload in zip(data.keys, data.payloads):
            d[key] = payload
        with open(path, "wb") as f:
            pickle.dump(d, f, protocol=pickle.HIGHEST_PROTOCOL)
            f.flush()
            os.fsync(f.fileno())

    def open(self, path, check=False):
        with open(path, "rb") as f:
            d = pickle.load(f)
        return d, sorted(d)

    def getter(self, h):
        return h[0].get

    def exister(self, h):
        return h[0].__contains__

    def prefix_scan(self, h, prefix):
        d, ordered = h
        lo = bisect.bisect_left(ordered, prefix)
        hi = bisect.bisect_left(ordered, prefix[:-1] + chr(ord(prefix[-1]) + 1))
        return [(k, d[k]) for k in ordered[lo:hi]]

    def items(self, h):
        return list(h[0].items())

    items_str = items


class Lmdb(Store):
    name, label = "lmdb", "LMDB"

    def available(self):
        try:
            import lmdb  # noqa: F401
        except Exception as e:  # noqa: BLE001 (a broken install is skipped too)
            return _unusable("lmdb", e)
        return None

    def version(self):
        import lmdb
        return lmdb.__version__

    def size(self, path):
        return os.path.getsize(path)

    def remove(self, path):
        super().remove(path)
        super().remove(path + "-lock")

    def build(self, data, path):
        import lmdb
        stored = sum(len(p) for p in data.payloads) + 64 * data.n
        map_size = 64 * 1024 * 1024 + 3 * stored      # a sparse bound, not preallocated
        env = lmdb.open(path, subdir=False, map_size=map_size, sync=True, metasync=True)
        try:
            with env.begin(write=True) as txn:
                put = txn.put
                for key, payload in zip(data.keys_b, data.payloads):
                    put(key, payload)
            env.sync(True)
        finally:
            env.close()

    def build_sorted(self, data, path):
        """Keys arriving in order: appended at the B-tree's right edge, no search."""
        import lmdb
        stored = sum(len(p) for p in data.payloads) + 64 * data.n
        map_size = 64 * 1024 * 1024 + 3 * stored
        env = lmdb.open(path, subdir=False, map_size=map_size, sync=True, metasync=True)
        try:
            with env.begin(write=True) as txn:
                put = txn.put
                for key, payload in zip(data.keys_b, data.payloads):
                    put(key, payload, append=True)
            env.sync(True)
        finally:
            env.close()

    def open(self, path, check=False):
        import lmdb
        env = lmdb.open(path, subdir=False, readonly=True, lock=False)
        return env, env.begin()

    def close(self, h):
        h[1].abort()
        h[0].close()

    def getter(self, h):
        return h[1].get

    def exister(self, h):
        return h[1].cursor().set_key

    def prefix_scan(self, h, prefix):
        cursor = h[1].cursor()
        out = []
        if cursor.set_range(prefix):
            for key, value in cursor.iternext():
                if not key.startswith(prefix):
                    break
                out.append((key, value))
        return out

    def items(self, h):
        return list(h[1].cursor().iternext())


class LevelDb(Store):
    name, label = "leveldb", "LevelDB"

    def available(self):
        try:
            import plyvel  # noqa: F401
        except Exception as e:  # noqa: BLE001 (a broken install is skipped too)
            return _unusable("plyvel", e)
        return None

    def version(self):
        import plyvel
        return plyvel.__version__

    def build(self, data, path):
        import plyvel
        db = plyvel.DB(path, create_if_missing=True, error_if_exists=True)
        try:
            with db.write_batch(sync=True) as batch:
                put = batch.put
                for key, payload in zip(data.keys_b, data.payloads):
                    put(key, payload)
        finally:
            db.close()

    def open(self, path, check=False):
        import plyvel
        return plyvel.DB(path)

    def close(self, h):
        h.close()

    def getter(self, h):
        return h.get

    def exister(self, h):
        get = h.get
        return lambda key: get(key) is not None

    def prefix_scan(self, h, prefix):
        return list(h.iterator(prefix=prefix))

    def items(self, h):
        return list(h.iterator())


class Sqlite(Store):
    name, label, suffix = "sqlite", "SQLite", ".sqlite"

    def version(self):
        return sqlite3.sqlite_version

    def remove(self, path):
        super().remove(path)
        super().remove(path + "-journal")

    def build(self, data, path):
        conn = sqlite3.connect(path)
        try:
            conn.execute("PRAGMA synchronous=FULL")
            conn.execute("CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID")
            with conn:
                conn.executemany("INSERT INTO kv VALUES (?, ?)",
                                 zip(data.keys_b, data.payloads))
        finally:
            conn.close()

    def open(self, path, check=False):
        return sqlite3.connect(f"file:{path}?mode=ro&immutable=1", uri=True)

    def close(self, h):
        h.close()

    def getter(self, h):
        execute = h.execute

        def get(key):
            row = execute("SELECT v FROM kv WHERE k = ?", (key,)).fetchone()
            return row[0] if row else None
        return get

    def exister(self, h):
        execute = h.execute
        return lambda key: execute("SELECT 1 FROM kv WHERE k = ?", (key,)).fetchone() is not None

    def prefix_scan(self, h, prefix):
        upper = prefix[:-1] + bytes([prefix[-1] + 1])
        return h.execute("SELECT k, v FROM kv WHERE k >= ? AND k < ? ORDER BY k",
                         (prefix, upper)).fetchall()

    def items(self, h):
        return h.execute("SELECT k, v FROM kv ORDER BY k").fetchall()


class Marisa(Store):
    """Keys only: a trie of the keys, for the key-only rows (build, size, open, exists)."""
    name, label, key_type, suffix, keys_only = "marisa", "marisa-trie", "str", ".marisa", True

    def available(self):
        try:
            import marisa_trie  # noqa: F401
        except Exception as e:  # noqa: BLE001 (a broken install is skipped too)
            return _unusable("marisa-trie", e)
        # Builds a few tries, collecting garbage between them, in a child: under PyPy
        # 7.3.11 the Cython 3.0 build of marisa-trie 1.2 aborts the interpreter there.
        probe = ("import gc, marisa_trie\nfor _ in range(5):\n"
                 "    marisa_trie.Trie(['k%d' % i for i in range(100)]); gc.collect()")
        run = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True)
        if run.returncode != 0:
            last = (run.stderr.strip().splitlines() or ["no message"])[-1]
            return f"marisa-trie aborts this interpreter ({last[:100]})"
        return None

    def version(self):
        from importlib.metadata import version
        return version("marisa-trie")

    def build(self, data, path):
        import marisa_trie
        trie = marisa_trie.Trie(data.keys)
        trie.save(path)
        _fsync_path(path)

    def open(self, path, check=False):
        import marisa_trie
        return marisa_trie.Trie().mmap(path)

    def exister(self, h):
        return h.__contains__


ALL = [Kalvex(), KalvexCffi(), Dict(), Lmdb(), LevelDb(), Sqlite(), Marisa()]
BY_NAME = {s.name: s for s in ALL}
