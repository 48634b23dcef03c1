"""The extension module as Python sees it: names, classes, method tables and docstrings."""
import gc
import importlib
import importlib.util
import pathlib
import platform
import re
import sys
import weakref

import pytest

import kalvex
from kalvex import _kalvex

_KalvReader = _kalvex._KalvReader
_KalvWriter = _kalvex._KalvWriter

# PyPy's C-API layer shows no docstrings on native methods and does not enforce the
# type flags (subclassing, instance attributes, weak references): CPython's checks alone.
cpython_only = pytest.mark.skipif(
    platform.python_implementation() == "PyPy",
    reason="PyPy's C-API emulation does not expose native docstrings or type flags")

# The package's version's one home; the build hands it to kalvex/_version.py.
PROJECT_VERSION = re.search(
    r'^version = "([^"]+)"$',
    (pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml").read_text(),
    re.MULTILINE).group(1)

READER_DOC = (
    "Low-level reader \u2014 returns raw msgpack bytes.\n"
    "**Use `kalvex.KalvReader` (Python wrapper) instead of this directly.**\n"
    "\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads.")

WRITER_DOC = (
    "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
    "**Use `kalvex.KalvWriter` (Python wrapper) instead of this directly.**")

# (name, text signature, docstring body) in method-table order; None is an empty body.
READER_METHODS = [
    ("get_raw", "($self, key)",
     "O(1) exact-match lookup. Returns raw msgpack bytes or `None`."),
    ("exists", "($self, key)",
     "Key presence check \u2014 no I/O beyond the in-memory hash index."),
    ("prefix_raw", "($self, prefix)",
     "Sorted prefix scan. Returns `list[tuple[str, bytes]]`."),
    ("keys", "($self)", "All keys in sorted order."),
    ("items_raw", "($self)", "All `(key, raw_bytes)` pairs in sorted key order."),
    ("items_raw_bytes", "($self)",
     "All `(key_bytes, raw_bytes)` pairs in sorted key order.\n"
     "\n"
     "Unlike `items_raw`, keys come back as `bytes` \u2014 no UTF-8 lossy decode,\n"
     "so `merge()` can round-trip non-UTF-8 keys unchanged."),
    ("objects_raw", "($self)", "Unique objects only (deduplicated by file offset)."),
    ("stats", "($self)", "Return file metadata as a `dict`."),
    ("verify", "($self)", "Deep CRC32 integrity check (whole-file + per-object)."),
    ("close", "($self)", None),
    ("__enter__", "($self)", None),
    ("__exit__", "($self, _exc_type, _exc_val, _exc_tb)", None),
]

WRITER_METHODS = [
    ("add_object_raw", "($self, raw_bytes)",
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."),
    ("add_key", "($self, key, obj_id)", "Map *key* (str or bytes) to *obj_id*."),
    ("build", "($self, path)",
     "Atomically write the `.klvx` file: tmp \u2192 fsync \u2192 rename."),
]

CLASSES = [
    pytest.param(_KalvReader, "_KalvReader", READER_METHODS, id="reader"),
    pytest.param(_KalvWriter, "_KalvWriter", WRITER_METHODS, id="writer"),
]


def table_methods(cls):
    """Names the class's own method table put into its namespace, in table order."""
    return [name for name, value in vars(cls).items()
            if callable(value) and name not in ("__new__", "__repr__")]


@pytest.fixture(params=["reader", "writer"])
def instance(request, store_file):
    if request.param == "reader":
        return _KalvReader(store_file())
    return _KalvWriter()


class TestModuleNamespace:
    def test_exports_exactly_the_two_classes_and_the_version(self):
        assert _kalvex.__all__ == ["_KalvWriter", "_KalvReader", "__version__"]
        assert _kalvex.__version__ == "0.3.0"  # the module's own, whatever the package's is
        assert kalvex.__version__ == PROJECT_VERSION
        public = sorted(name for name in dir(_kalvex) if not name.startswith("__"))
        assert public == ["_KalvReader", "_KalvWriter"]

    def test_module_docstring(self):
        assert _kalvex.__doc__ == "kalvex._kalvex \u2014 native extension module entry-point"

    def test_top_level_import_is_the_extension_itself(self):
        import _kalvex as top_level
        assert top_level is _kalvex
        assert kalvex._kalvex is _kalvex

    def test_a_second_module_object_gets_its_own_all_but_the_same_classes(self):
        module_location = importlib.util.spec_from_file_location("kalvex._kalvex", _kalvex.__file__)
        fresh = importlib.util.module_from_spec(module_location)
        module_location.loader.exec_module(fresh)
        assert fresh is not _kalvex
        assert fresh.__all__ == ["_KalvWriter", "_KalvReader", "__version__"]
        assert fresh._KalvReader is _KalvReader
        assert fresh._KalvWriter is _KalvWriter


class TestClassIdentity:
    @pytest.mark.parametrize("cls, name, methods", CLASSES)
    def test_names_and_base(self, cls, name, methods):
        assert cls.__module__ == "builtins"
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert cls.__bases__ == (object,)

    @pytest.mark.parametrize("cls, name, methods", CLASSES)
    def test_method_table_in_order(self, cls, name, methods):
        assert table_methods(cls) == [method for method, _, _ in methods]


@cpython_only
class TestClassFlags:
    @pytest.mark.parametrize("cls", [_KalvReader, _KalvWriter])
    def test_cannot_be_subclassed(self, cls):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (cls,), {})

    @pytest.mark.parametrize("attribute", ["anything", "close", "add_key"])
    def test_instances_take_no_new_attributes(self, instance, attribute):
        with pytest.raises(AttributeError):
            setattr(instance, attribute, 1)
        assert not hasattr(instance, "__dict__")

    def test_instances_cannot_be_weakly_referenced(self, instance):
        with pytest.raises(TypeError):
            weakref.ref(instance)

    def test_instances_are_not_tracked_by_the_cycle_collector(self, instance):
        assert not gc.is_tracked(instance)

    @pytest.mark.parametrize("cls", [_KalvReader, _KalvWriter])
    def test_dropped_instances_give_back_their_class_reference(self, cls, store_file):
        path = store_file()
        make = (lambda: _KalvReader(path)) if cls is _KalvReader else _KalvWriter
        before = sys.getrefcount(cls)
        for _ in range(1000):
            make()
        assert sys.getrefcount(cls) == before


class TestDocstrings:
    def test_reader_class(self):
        assert _KalvReader.__doc__ == READER_DOC
        assert _KalvReader.__text_signature__ == "(path, verify=True)"

    def test_writer_class(self):
        assert _KalvWriter.__doc__ == WRITER_DOC
        assert _KalvWriter.__text_signature__ == "()"

    @cpython_only
    @pytest.mark.parametrize("cls, name, signature, body", [
        pytest.param(cls, *row, id=f"{cls.__name__}.{row[0]}")
        for cls, rows in ((_KalvReader, READER_METHODS), (_KalvWriter, WRITER_METHODS))
        for row in rows])
    def test_method(self, cls, name, signature, body):
        method = vars(cls)[name]
        assert method.__text_signature__ == signature
        assert method.__doc__ == body
