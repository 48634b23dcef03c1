"""Stored values and keys as JSON text, in one documented form.

Values are msgpack, which holds more than JSON does. The command shows them so:

- ``bytes`` as ``{"$bytes": "<base64>"}``;
- a msgpack extension as ``{"$ext": <code>, "$bytes": "<base64>"}``, and a msgpack
  timestamp as ``{"$timestamp": [<seconds>, <nanoseconds>]}``;
- a float that JSON cannot write (NaN, infinities) as ``{"$float": "nan" | "inf" | "-inf"}``;
- a map key that is not a string as text: numbers, ``true``, ``false`` and ``null`` as JSON
  writes them; a bytes key as ``key_text`` writes a stored key; an array or extension key
  as its JSON text.

Text is UTF-8, not escaped to ASCII. Most values take the fast path: one call of the
standard library's encoder, whose ``default`` hook meets only the rare non-JSON objects;
values it refuses (NaN, compound map keys) are rewritten into the forms above first.
"""
from __future__ import annotations

import base64
import dataclasses
import json
import math
from typing import Any, Callable

import msgpack

from kalvex._codec import decode_failure, unpacker
from kalvex.cli._common import key_text
from kalvex.errors import KalvDecodeError


@dataclasses.dataclass(frozen=True)  # hashable: a map key may be an extension value
class Ext:
    """A msgpack extension value as decoded for showing. msgpack's own ``ExtType`` is a
    tuple, which the encoder would write as an array before ever asking ``default``."""

    code: int
    data: bytes


# How the command decodes values to show them. Arrays as tuples: JSON writes them alike,
# and an array used as a map key (which a list cannot be, being unhashable) still decodes.
UNPACK_OPTIONS: dict[str, Any] = {"use_list": False, "ext_hook": Ext}


def _non_json(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"$bytes": base64.b64encode(value).decode("ascii")}
    if isinstance(value, msgpack.Timestamp):
        return {"$timestamp": [value.seconds, value.nanoseconds]}
    if isinstance(value, Ext):
        return {"$ext": value.code, "$bytes": base64.b64encode(value.data).decode("ascii")}
    raise TypeError(f"cannot show a {type(value).__name__} as JSON")


_ENCODER = json.JSONEncoder(
    ensure_ascii=False, allow_nan=False, check_circular=False, separators=(",", ":"), default=_non_json
)


def _fast_encoder() -> Callable[[Any], str]:
    """``_ENCODER.encode``, on CPython without its per-call set-up.

    ``JSONEncoder.encode`` builds a new C encoder object on every call, a sixth of the time
    of encoding a short record. The C encoder is made here once, with the same settings.
    Values decoded from msgpack cannot refer to themselves, so no circularity check.
    """
    make = getattr(json.encoder, "c_make_encoder", None)
    if make is None:
        return _ENCODER.encode
    chunks = make(None, _non_json, json.encoder.encode_basestring, None, ":", ",", False, False, False)
    text = json.encoder.encode_basestring
    join = "".join

    def encode(value: Any) -> str:
        if type(value) is str:
            return text(value)
        return join(chunks(value, 0))

    return encode


_encode: Callable[[Any], str] = _fast_encoder()


def to_json(value: Any) -> str:
    """The JSON text of a decoded value, in the forms above."""
    try:
        return _encode(value)
    except (TypeError, ValueError):
        return _encode(_jsonable(value))


def _jsonable(value: Any) -> Any:
    """``value`` with floats JSON cannot write and non-string map keys rewritten."""
    if isinstance(value, float) and not math.isfinite(value):
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, dict):
        return {_map_key(key): _jsonable(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(item) for item in value]
    return value


def _map_key(key: Any) -> str:
    if isinstance(key, str):
        return key
    if isinstance(key, (bytes, bytearray)):
        return key_text(bytes(key))
    if isinstance(key, float) and not math.isfinite(key):
        return repr(key)
    return _encode(_jsonable(key))


def decoder() -> Callable[[bytes, bytes], Any]:
    """Payloads decoded as the command shows them; a failure names the key."""
    unpack = unpacker(UNPACK_OPTIONS)

    def decode(key: bytes, payload: bytes) -> Any:
        try:
            return unpack(payload)
        except Exception as exc:
            raise KalvDecodeError(f"cannot decode the value of {key_text(key)!r}: {decode_failure(exc)}") from exc

    return decode


def key_json(key: bytes) -> str:
    """A stored key as JSON: a string, or ``{"$bytes": ...}`` when it is not UTF-8."""
    try:
        return _encode(key.decode())
    except UnicodeDecodeError:
        return _encode(key)  # as {"$bytes": ...}
