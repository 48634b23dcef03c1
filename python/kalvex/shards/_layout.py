"""The on-disk layout of a sharded store, and the only code that changes it.

A sharded store is a directory::

    CURRENT                     pointer: the name of the current version, one line
    v-000007/                   one complete version (kept: the current one and earlier ones)
        kalvex.json             manifest, written last
        shard-00000-of-00016.klvx ... shard-00015-of-00016.klvx
    .staging-v-000008/          a build in progress (or a crashed one's leftovers)
    .kalvex.lock                held by the one process publishing into the directory

Publishing a version: every shard is built into the staging directory by the atomic build,
then the manifest (atomically, after checking every shard against its entry), then the staging
directory is renamed to its version name, then ``CURRENT`` is replaced by an atomic rename of
a fsynced temporary file and the directory is fsynced. A crash at any point leaves ``CURRENT``
naming a complete version; readers hold their shards mapped, so a version removed under them
keeps reading. Version numbers only grow; a version above the current one is a rolled-back
or never-published one and is removed by the next publish.

Publishing and reading open shard files alike (``open_shard``): checked against the manifest.

POSIX only (``fcntl`` locks, directory fsync).
"""
from __future__ import annotations

import contextlib
import datetime
import errno
import fcntl
import io
import json
import os
import re
import shutil
from typing import Any, Optional

from kalvex import errors
from kalvex.reader import KalvReader
from kalvex.shards.routing import ROUTING

MANIFEST = "kalvex.json"
POINTER = "CURRENT"
LOCK = ".kalvex.lock"
STAGING_PREFIX = ".staging-"
FORMAT = "kalvex-sharded"
FORMAT_VERSION = 1
# Shard file names carry five digits; the bound keeps every name the same width.
MAX_SHARDS = 99_999

_VERSION_NAME = re.compile(r"v-(\d{6,})\Z")
_TOTALS = ("num_keys", "num_objects", "size")
# "index" (whether the file carries a mapped index) is missing from manifests written
# before there was one; their shards carry none.
_SHARD_FIELDS = ("file", *_TOTALS, "crc32", "index")


def shard_file_name(shard: int, nshards: int) -> str:
    """``shard-00003-of-00016.klvx``: the index and the count, so a stray file is evident."""
    return f"shard-{shard:05d}-of-{nshards:05d}.klvx"


def check_shard_count(nshards: int) -> None:
    if type(nshards) is not int or not 1 <= nshards <= MAX_SHARDS:
        raise ValueError(f"nshards must be an int from 1 to {MAX_SHARDS}, not {nshards!r}")


def version_name(number: int) -> str:
    return f"v-{number:06d}"


def fsync_dir(path: str) -> None:
    """Make the entries of directory ``path`` (creations, renames) durable."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _write_atomically(path: str, text: str) -> None:
    """Replace ``path`` by ``text``: temporary file, fsync, rename, directory fsync."""
    temporary = f"{path}.tmp-{os.getpid()}"
    try:
        with io.open(temporary, "w", encoding="utf-8") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    fsync_dir(os.path.dirname(path) or ".")


def version_numbers(root: str) -> list[int]:
    """The numbers of the published version directories under ``root``, ascending."""
    matches = (_VERSION_NAME.match(name) for name in os.listdir(root))
    return sorted(int(match[1]) for match in matches if match and os.path.isdir(os.path.join(root, match[0])))


def current_version(root: str) -> Optional[str]:
    """The name ``CURRENT`` holds, or None before the first publish."""
    try:
        with io.open(os.path.join(root, POINTER), encoding="utf-8") as file:
            name = file.read().strip()
    except FileNotFoundError:
        return None
    if not _VERSION_NAME.match(name):
        raise errors.KalvCorruptError(f"{os.path.join(root, POINTER)} does not name a version: {name[:80]!r}")
    return name


def set_current(root: str, name: str) -> None:
    _write_atomically(os.path.join(root, POINTER), name + "\n")


def resolve(path: str) -> str:
    """The version directory to read for ``path``: a store root (its current version) or a
    version directory itself (one holding a manifest)."""
    if os.path.isfile(os.path.join(path, MANIFEST)):
        return path
    name = current_version(path)
    if name is None:
        if not version_numbers(path):
            raise errors.KalvIOError(f"{path} is a directory, not a store")
        raise errors.KalvCorruptError(f"{path} is a sharded store without its {POINTER} file")
    return os.path.join(path, name)


def write_manifest(version_dir: str, nshards: int, entries: list[dict[str, Any]]) -> None:
    """Write the manifest of a version from one entry per shard, in shard order."""
    content = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "routing": ROUTING,
        "num_shards": nshards,
        "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        **{total: sum(entry[total] for entry in entries) for total in _TOTALS},
        "shards": [{field: entry[field] for field in _SHARD_FIELDS} for entry in entries],
    }
    _write_atomically(os.path.join(version_dir, MANIFEST), json.dumps(content, indent=1) + "\n")


def read_manifest(version_dir: str) -> dict[str, Any]:
    """The manifest of ``version_dir``, checked for shape; ``KalvCorruptError`` names the file."""
    path = os.path.join(version_dir, MANIFEST)
    try:
        with io.open(path, "rb") as file:
            content = json.loads(file.read())
    except FileNotFoundError:
        raise errors.KalvCorruptError(f"{path} is missing") from None
    except ValueError as exc:
        raise errors.KalvCorruptError(f"{path} is not valid JSON: {exc}") from None
    if not isinstance(content, dict) or content.get("format") != FORMAT:
        raise errors.KalvCorruptError(f"{path} is not a sharded store manifest")
    if content.get("format_version") != FORMAT_VERSION:
        found = content.get("format_version")
        raise errors.KalvVersionError(f"{path} has format version {found!r}; this kalvex reads {FORMAT_VERSION}")
    if content.get("routing") != ROUTING:
        raise errors.KalvCorruptError(f"{path} routes keys by {content.get('routing')!r}, not {ROUTING!r}")
    nshards, shards = content.get("num_shards"), content.get("shards")
    if type(nshards) is not int or not isinstance(shards, list) or len(shards) != nshards:
        raise errors.KalvCorruptError(f"{path}: num_shards {nshards!r} disagrees with its list of shards")
    for index, entry in enumerate(shards):
        if (
            not isinstance(entry, dict)
            or entry.get("file") != shard_file_name(index, nshards)
            or any(type(entry.get(total)) is not int for total in _TOTALS)
        ):
            raise errors.KalvCorruptError(f"{path}: entry {index} is not shard {index} of {nshards}: {entry!r}")
    if any(content.get(total) != sum(entry[total] for entry in shards) for total in _TOTALS):
        raise errors.KalvCorruptError(f"{path}: the totals disagree with the shards' sum")
    return content


def shard_facts(reader: KalvReader) -> dict[str, Any]:
    """What a manifest entry records of the shard file ``reader`` has open."""
    stats = reader.stats()
    return {
        "num_keys": stats["num_keys"],
        "num_objects": stats["num_objects"],
        "size": os.path.getsize(reader.path),
        "crc32": stats["file_crc32"],
        "index": stats["index"],
    }


def damaged(path: str, exc: BaseException) -> errors.KalvCorruptError:
    return errors.KalvCorruptError(f"shard {path} is damaged: {exc}")


def open_shard(path: str, entry: dict[str, Any], verify: bool = False, check: bool = False) -> KalvReader:
    """Shard file ``path`` opened (raw payloads, bytes keys; ``verify`` and ``check`` as for
    ``KalvReader``) and checked against its manifest ``entry``; ``KalvCorruptError`` names a
    file missing, damaged or not the one listed."""
    try:
        reader = KalvReader(path, verify=verify, check=check, raw=True, key_type=bytes)
    except errors.KalvIOError as exc:
        if not os.path.exists(path):
            raise errors.KalvCorruptError(f"shard {path} is missing") from exc
        raise
    except errors.KalvexError as exc:
        raise damaged(path, exc) from exc
    found, listed = shard_facts(reader), {"index": False, **entry}
    wrong = [f"{field} {found[field]!r} (manifest: {listed[field]!r})" for field in found
             if found[field] != listed[field]]
    if wrong:
        reader.close()
        raise errors.KalvCorruptError(f"{path} does not match the manifest: " + ", ".join(wrong))
    return reader


def lock(root: str) -> int:
    """The exclusive right to stage, publish and roll back in the directory ``root`` (made
    if need be): a file descriptor that holds it until closed."""
    os.makedirs(root, exist_ok=True)
    fd = os.open(os.path.join(root, LOCK), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as exc:
        os.close(fd)
        if exc.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
            raise errors.KalvIOError(f"another process is building or publishing in {root}") from None
        raise
    return fd


def remove_leftovers(root: str) -> None:
    """Remove what a crashed build left: staging directories and pointer temporaries.

    Only called under the lock, so none of them belongs to a live build.
    """
    for name in os.listdir(root):
        path = os.path.join(root, name)
        if name.startswith(STAGING_PREFIX):
            shutil.rmtree(path, ignore_errors=True)
        elif name.startswith(POINTER + ".tmp-"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)


def retire(root: str, current: str, previous: Optional[str], keep: int) -> None:
    """After ``current`` replaced ``previous``: keep it and the ``keep - 1`` newest versions
    up to ``previous``; remove the rest, among them any version above ``previous`` (one
    rolled back from, or one never made current).
    """
    number = int(current[2:])
    limit = int(previous[2:]) if previous else 0
    earlier = [n for n in version_numbers(root) if n <= limit]
    survivors = {number, *(earlier[-(keep - 1):] if keep > 1 else ())}
    for n in version_numbers(root):
        if n not in survivors:
            shutil.rmtree(os.path.join(root, version_name(n)), ignore_errors=True)


def previous_version(root: str, current: str) -> Optional[str]:
    """The newest complete version below ``current``, or None."""
    earlier = (version_name(n) for n in reversed(version_numbers(root)) if n < int(current[2:]))
    return next((name for name in earlier if os.path.isfile(os.path.join(root, name, MANIFEST))), None)
