"""Shared fixtures: container files written byte by byte, so reader tests need no writer."""
import itertools

import pytest

from klvx_files import Container


def encode_store(items=(), *, version=2, crc=None):
    """The bytes of a container holding one object per (key, payload) pair.

    Keys are bytes and are written in the order given (pass them sorted for a well-formed
    store). `crc` replaces the stored whole-file CRC-32; `version` the version byte.
    """
    container = Container()
    for key, payload in items:
        container.add_entry(key, container.add_object(payload))
    return bytes(container.build(version=version, file_crc32=crc))


@pytest.fixture
def store_file(tmp_path):
    """Factory: writes encode_store(...) to a fresh file and returns its path as a str."""
    counter = itertools.count()

    def write(items=(), **kwargs):
        path = tmp_path / f"store{next(counter)}.klvx"
        path.write_bytes(encode_store(items, **kwargs))
        return str(path)

    return write


def _backends():
    """Each backend built here: kalvex._native on CPython, the cffi binding wherever cffi
    was importable at build time (always on PyPy)."""
    import importlib

    params = []
    for name in ("native", "cffi"):
        try:
            importlib.import_module(f"kalvex._{name}")
            marks = ()
        except ImportError as exc:
            marks = pytest.mark.skip(reason=f"kalvex._{name} is not built here: {exc}")
        params.append(pytest.param(name, marks=marks))
    return params


@pytest.fixture(params=_backends())
def backend(request):
    """The package with the backend of this parameter: readers and writers made in the
    test use it. Suites of the public package take it with
    ``pytestmark = pytest.mark.usefixtures("backend")``."""
    from kalvex import _backend

    before = _backend.BACKEND
    _backend.use(request.param)
    yield request.param
    _backend.BACKEND = before
