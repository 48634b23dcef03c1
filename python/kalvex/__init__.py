"""kalvex: an immutable, single-file key-to-object store with a native core.

Build a store once from Python values, then read it from a shared memory mapping:

>>> import kalvex
>>> kalvex.build("users.klvx", {"user:1": {"name": "Ada"}})
'users.klvx'
>>> with kalvex.KalvReader("users.klvx") as r:
...     r["user:1"]
{'name': 'Ada'}

``kalvex._kalvex`` is a low-level module beside the package: raw payload bytes in and out.
"""
from kalvex import _kalvex
from kalvex._version import __version__
from kalvex.errors import KalvCorruptError, KalvDecodeError, KalvError, KalvexError, KalvIOError, KalvVersionError
from kalvex.merge import merge
from kalvex.reader import KalvReader
from kalvex.shards import ShardedReader, open, shard_of
from kalvex.writer import KalvWriter, build

__all__ = [
    "KalvCorruptError", "KalvDecodeError", "KalvError", "KalvIOError", "KalvReader", "KalvVersionError",
    "KalvWriter", "KalvexError", "ShardedReader", "__version__", "_kalvex", "build", "merge", "open", "shard_of",
]
