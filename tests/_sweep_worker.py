"""Runs damaged variants of one container file through every reader method.

Used by test_corruption_sweep.py as a child process, so that a crash kills this process
and not the test run. Reads one JSON job from stdin:

    {"base": hex, "dir": path, "keys": [probe...], "prefixes": [probe...],
     "variants": [[kind, arg], ...], "backend": name (optional)}

With "backend" the package's reader on that backend is run (PackageReader), else the
low-level module's.

where a probe is ["s", text] or ["b", hex]. Writes one JSON line per variant, in order and
flushed, so the parent knows which variant was running when this process died:

    {"path": path, "results": {label: outcome, ...}}

An outcome is {"ok": value} or {"exc": class name, "args": [...]}; values are encoded by
`encode` (bytes and tuples are tagged so that nothing is lost in JSON).
"""
import json
import os
import struct
import sys
import zlib

HEADER_SIZE = 40
CRC_FIELD = 32


def mutate(base, kind, arg):
    """The bytes of one variant of `base`.

    flip: arg is a bit number, byte arg // 8, bit arg % 8.
    cut: the first arg bytes.
    ones, zeros: the 8 bytes from offset arg (fewer at the end) set to FF or 00, so that a
    field starting there holds its largest value or zero.
    byte: byte arg // 256 set to arg % 256.
    A kind ending in "+seal" has its whole-file CRC-32 recomputed afterwards (when the
    header is still complete), so that the damage reaches the checks behind the open.
    """
    name, _, seal = kind.partition("+")
    data = bytearray(base)
    if name == "flip":
        data[arg // 8] ^= 1 << (arg % 8)
    elif name == "cut":
        del data[arg:]
    elif name in ("ones", "zeros"):
        end = min(arg + 8, len(data))
        data[arg:end] = (b"\xff" if name == "ones" else b"\x00") * (end - arg)
    elif name == "byte":
        data[arg // 256] = arg % 256
    else:
        raise ValueError(kind)
    if seal and len(data) >= HEADER_SIZE:
        struct.pack_into(">I", data, CRC_FIELD, zlib.crc32(data[HEADER_SIZE:]))
    return bytes(data)


def probe_value(probe):
    tag, value = probe
    return value if tag == "s" else bytes.fromhex(value)


def probe_label(probe):
    return repr(probe_value(probe))


def plan(keys, prefixes):
    """(label, method, args) for every call made on an opened reader, in call order."""
    calls = []
    for probe in keys:
        calls.append((f"get_raw {probe_label(probe)}", "get_raw", (probe_value(probe),)))
        calls.append((f"exists {probe_label(probe)}", "exists", (probe_value(probe),)))
    for probe in prefixes:
        calls.append((f"prefix_raw {probe_label(probe)}", "prefix_raw", (probe_value(probe),)))
    for method in ("keys", "items_raw", "items_raw_bytes", "objects_raw", "stats", "verify",
                   "__repr__", "close"):
        calls.append((method, method, ()))
    return calls


def encode(value):
    if isinstance(value, bytes):
        return {"b": value.hex()}
    if isinstance(value, tuple):
        return {"t": [encode(v) for v in value]}
    if isinstance(value, list):
        return [encode(v) for v in value]
    if isinstance(value, dict):
        return {"d": [[k, encode(v)] for k, v in value.items()]}
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return {"other": type(value).__name__}


def outcome(call):
    try:
        return {"ok": encode(call())}
    except BaseException as exc:  # an internal failure derives from BaseException
        return {"exc": type(exc).__name__, "args": [str(a) for a in exc.args]}


class Marker(Exception):
    pass


def context_manager(reader):
    """Whether `with` binds the reader itself and lets an exception through."""
    bound = None
    try:
        with reader as target:
            bound = target is reader
            raise Marker
    except Marker:
        return {"bound_self": bound, "propagated": True}
    return {"bound_self": bound, "propagated": False}


def run_variant(reader_class, path, calls):
    results = {}
    for verify in (True, False):
        tag = f"verify={verify}"
        reader = None

        def open_reader():
            nonlocal reader
            reader = reader_class(path, verify)

        results[f"{tag} open"] = outcome(open_reader)
        if reader is None:
            continue
        for label, method, args in calls:
            results[f"{tag} {label}"] = outcome(lambda: getattr(reader, method)(*args))
        results[f"{tag} with"] = outcome(lambda: context_manager(reader))
        # Nothing is released by close() or the with block: the first calls answer again.
        for label, method, args in calls[:2] + [c for c in calls if c[1] == "keys"]:
            results[f"{tag} after close {label}"] = outcome(
                lambda: getattr(reader, method)(*args))
        del reader
    return results


class PackageReader:
    """The package's reader (raw payloads) under the low-level module's method names, for
    stores that carry a mapped index, which only the package reads."""

    def __init__(self, path, verify):
        from kalvex import KalvReader

        self.reader = KalvReader(path, verify=verify, raw=True)

    def get_raw(self, key):
        return self.reader.get_raw(key)

    def exists(self, key):
        return key in self.reader

    def prefix_raw(self, prefix):
        return self.reader.prefix(prefix)

    def keys(self):
        return list(self.reader.keys())

    def items_raw(self):
        return list(self.reader.items())

    def items_raw_bytes(self):
        return list(self.reader.items_raw())

    def objects_raw(self):
        return self.reader.objects()

    def stats(self):
        return self.reader.stats()

    def verify(self):
        return self.reader.verify()

    def close(self):
        return self.reader.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def main():
    job = json.load(sys.stdin)
    if "backend" in job:
        from kalvex import _backend

        _backend.use(job["backend"])
        reader_class = PackageReader
    else:
        from kalvex import _kalvex

        reader_class = _kalvex._KalvReader
    base = bytes.fromhex(job["base"])
    calls = plan(job["keys"], job["prefixes"])
    for number, (kind, arg) in enumerate(job["variants"]):
        # A fresh name per variant: a file is never truncated under a live mapping.
        path = os.path.join(job["dir"], f"variant{number}.klvx")
        with open(path, "wb") as f:
            f.write(mutate(base, kind, arg))
        results = run_variant(reader_class, path, calls)
        os.unlink(path)
        sys.stdout.write(json.dumps({"path": path, "results": results}) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
