"""kalvex: an immutable, single-file key-to-object store with a native core."""
from kalvex import _kalvex

__version__ = _kalvex.__version__
__all__ = ["_kalvex", "__version__"]
