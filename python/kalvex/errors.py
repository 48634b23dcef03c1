"""The exceptions kalvex raises.

The native backends raise these classes themselves, from the kind of the failure the C
interface reports: the class names the kind and the message is the detail alone. Each
store error also derives from the built-in class the low-level module ``kalvex._kalvex``
raises for it (``RuntimeError``, ``OSError``, ``ValueError``), so handlers written for
that module keep working.
"""
from __future__ import annotations


class KalvexError(Exception):
    """Base class of every error kalvex raises on its own account."""


class KalvCorruptError(KalvexError, RuntimeError):
    """The file is damaged: a wrong magic, a truncated section, a CRC-32 that does not match."""


class KalvVersionError(KalvexError, RuntimeError):
    """The file was written in a format version this kalvex does not read."""


class KalvIOError(KalvexError, OSError):
    """An operating-system call failed (open, map, write, fsync, rename); the message says which.

    ``errno`` is the system's error number (None when the store refused a path on its own,
    e.g. a device where a file must be) and ``filename`` the file involved (None when there
    is none; for a failed build, the temporary file beside the target).
    """

    def __str__(self) -> str:
        # The detail alone: with errno and filename set, OSError's own text would be
        # "[Errno 2] detail: 'path'", repeating what the detail already says.
        return str(self.args[0]) if len(self.args) == 1 else super().__str__()


class KalvError(KalvexError, ValueError):
    """A request breaks a rule of the store: an unknown object id, a key or object too long."""


class KalvDecodeError(KalvexError, ValueError):
    """A stored payload is not valid msgpack; the message names the key."""


def closed_error() -> ValueError:
    """The error of any use of a reader or writer after close()."""
    return ValueError("store is closed")
