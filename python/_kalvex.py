"""Top-level alias: ``import _kalvex`` yields the extension module ``kalvex._kalvex`` itself."""
import sys

from kalvex import _kalvex as _native

sys.modules[__name__] = _native
