"""The exceptions kalvex raises, and the one translation of native store errors into them.

The native layer raises the interpreter's own classes (``RuntimeError``, ``OSError``,
``ValueError``) and names the kind of store error only as the first word of the message
("KalvCorruptError: ..."). Above the backend seam every store error is re-raised as the
class of that name, with the rest of the message and the native exception chained as its
cause: the class says the kind, so the text does not say it again (a traceback would read
"KalvCorruptError: KalvCorruptError: ...").
Each class also derives from the built-in class the native layer used, so code written
against the raw module (``except RuntimeError``) keeps working.
"""
from __future__ import annotations

from typing import Optional


class KalvexError(Exception):
    """Base class of every error kalvex raises on its own account."""


class KalvCorruptError(KalvexError, RuntimeError):
    """The file is damaged: a wrong magic, a truncated section, a CRC-32 that does not match."""


class KalvVersionError(KalvexError, RuntimeError):
    """The file was written in a format version this kalvex does not read."""


class KalvIOError(KalvexError, OSError):
    """An operating-system call failed (open, map, write, fsync, rename); the message says which."""


class KalvError(KalvexError, ValueError):
    """A request breaks a rule of the store: an unknown object id, a key or object too long."""


class KalvDecodeError(KalvexError, ValueError):
    """A stored payload is not valid msgpack; the message names the key."""


# The kind's name is the first word of a native store error's message, before ": ".
_KINDS: dict[str, type[KalvexError]] = {
    "KalvCorruptError": KalvCorruptError,
    "KalvVersionError": KalvVersionError,
    "KalvIOError": KalvIOError,
    "KalvError": KalvError,
}


def translate(exc: BaseException) -> Optional[KalvexError]:
    """The named exception for a native store error, or None for any other exception.

    Only the exact built-in classes the native layer raises are considered, so an exception
    that is already a ``KalvexError`` (or a user's own) passes through untouched.
    """
    if type(exc) not in (RuntimeError, OSError, ValueError) or len(exc.args) != 1:
        return None
    message = exc.args[0]
    if not isinstance(message, str):
        return None
    name, _, rest = message.partition(": ")
    kind = _KINDS.get(name)
    if kind is None:
        return None
    named = kind(rest)
    named.__cause__ = exc
    return named


def closed_error() -> ValueError:
    """The error of any use of a reader or writer after close()."""
    return ValueError("store is closed")
