"""Parameter parsing and argument conversion at every entry point of the module."""
import operator
import pathlib

import pytest

from kalvex import _kalvex

_KalvReader = _kalvex._KalvReader
_KalvWriter = _kalvex._KalvWriter

# Keys in byte order: "ab" sorts before the UTF-8 of "é" (0xC3 0xA9).
STORE = [(b"ab", b"payload-ab"), ("é".encode(), b"payload-e")]


@pytest.fixture
def reader(store_file):
    return _KalvReader(store_file(STORE))


@pytest.fixture
def writer():
    return _KalvWriter()


@pytest.fixture
def resolve(store_file):
    """'reader.get_raw', 'writer.add_key', '_KalvReader' ... to the callable they name."""
    owners = {
        "reader": lambda: _KalvReader(store_file(STORE)),
        "writer": _KalvWriter,
        "_KalvReader": lambda: _KalvReader,
        "_KalvWriter": lambda: _KalvWriter,
    }

    def resolve(target):
        owner, _, method = target.partition(".")
        obj = owners[owner]()
        return getattr(obj, method) if method else obj

    return resolve


class StrKey(str):
    pass


class BytesKey(bytes):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class UnsizedSequence:
    """A sequence whose length cannot be asked; iteration still works."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return [97, 98][i]


class BrokenSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise RuntimeError("iteration fails")


class Holder:
    class Payload:
        pass


def ident(value):
    """A test id that stays the same between runs (no object addresses)."""
    text = repr(value)
    return type(value).__name__ if " at 0x" in text else text


def fake_numpy_type(name, module="numpy", **namespace):
    return type(name, (), {"__module__": module, **namespace})


PARSE_ERRORS = [
    ("reader.get_raw", (), {},
     "_KalvReader.get_raw() missing 1 required positional argument: 'key'"),
    ("reader.get_raw", ("a", "b"), {},
     "_KalvReader.get_raw() takes 1 positional arguments but 2 were given"),
    ("reader.get_raw", ("a",), {"key": "b"},
     "_KalvReader.get_raw() got multiple values for argument 'key'"),
    ("reader.exists", (), {"prefix": "a"},
     "_KalvReader.exists() got an unexpected keyword argument 'prefix'"),
    ("reader.prefix_raw", (), {},
     "_KalvReader.prefix_raw() missing 1 required positional argument: 'prefix'"),
    ("reader.__exit__", (), {},
     "_KalvReader.__exit__() missing 3 required positional arguments: "
     "'_exc_type', '_exc_val', and '_exc_tb'"),
    ("reader.__exit__", (), {"_exc_val": None},
     "_KalvReader.__exit__() missing 2 required positional arguments: '_exc_type' and '_exc_tb'"),
    ("reader.__exit__", (None, None, None, None), {},
     "_KalvReader.__exit__() takes 3 positional arguments but 4 were given"),
    ("writer.add_object_raw", (), {},
     "_KalvWriter.add_object_raw() missing 1 required positional argument: 'raw_bytes'"),
    ("writer.add_key", (), {},
     "_KalvWriter.add_key() missing 2 required positional arguments: 'key' and 'obj_id'"),
    ("writer.add_key", ("k", 0), {"obj_id": 0},
     "_KalvWriter.add_key() got multiple values for argument 'obj_id'"),
    # Keywords are taken in the order given; the positional count goes before them all.
    ("writer.add_key", ("k",), {"key": "k", "bogus": 0},
     "_KalvWriter.add_key() got multiple values for argument 'key'"),
    ("writer.add_key", ("k",), {"bogus": 0, "key": "k"},
     "_KalvWriter.add_key() got an unexpected keyword argument 'bogus'"),
    ("writer.add_key", ("k", 0, 0), {"bogus": 0},
     "_KalvWriter.add_key() takes 2 positional arguments but 3 were given"),
    ("writer.build", (), {},
     "_KalvWriter.build() missing 1 required positional argument: 'path'"),
    ("_KalvWriter", (1,), {},
     "_KalvWriter.__new__() takes 0 positional arguments but 1 was given"),
    ("_KalvWriter", (), {"path": "x"},
     "_KalvWriter.__new__() got an unexpected keyword argument 'path'"),
    ("_KalvReader", (), {},
     "_KalvReader.__new__() missing 1 required positional argument: 'path'"),
    ("_KalvReader", ("x", True, None), {},
     "_KalvReader.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ("_KalvReader", ("x", True), {"verify": True},
     "_KalvReader.__new__() got multiple values for argument 'verify'"),
    # Parsing comes before conversion: the bytes path is never looked at.
    ("_KalvReader", (b"x",), {"mode": "r"},
     "_KalvReader.__new__() got an unexpected keyword argument 'mode'"),
]


class TestParsing:
    @pytest.mark.parametrize("target, args, kwargs, message", PARSE_ERRORS)
    def test_rejects_with_message(self, resolve, target, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            resolve(target)(*args, **kwargs)
        assert str(excinfo.value) == message

    def test_every_parameter_accepts_its_keyword(self, store_file, tmp_path, reader):
        assert _KalvReader(path=store_file(STORE), verify=False).keys() == ["ab", "é"]
        assert reader.get_raw(key="ab") == b"payload-ab"
        assert reader.exists(key="ab") is True
        assert reader.prefix_raw(prefix="a") == [("ab", b"payload-ab")]
        assert reader.__exit__(_exc_tb=None, _exc_type=None, _exc_val=None) is False

        writer = _KalvWriter()
        assert writer.add_object_raw(raw_bytes=b"x") == 0
        assert writer.add_key(obj_id=0, key="k") is None
        assert writer.build(path=str(tmp_path / "kw.klvx")) is None
        assert _KalvReader(str(tmp_path / "kw.klvx")).get_raw("k") == b"x"

    @pytest.mark.parametrize("method", [
        "keys", "items_raw", "items_raw_bytes", "objects_raw",
        "stats", "verify", "close", "__enter__"])
    def test_methods_without_parameters_reject_arguments(self, reader, method):
        with pytest.raises(TypeError):
            getattr(reader, method)(None)


class TestKeyConversion:
    @pytest.mark.parametrize("key", [
        "ab", b"ab", bytearray(b"ab"), [97, 98], (97, 98),
        StrKey("ab"), BytesKey(b"ab"), UnsizedSequence()],
        ids=lambda key: type(key).__name__)
    def test_forms_of_one_key_find_the_same_entry(self, reader, key):
        assert reader.get_raw(key) == b"payload-ab"
        assert reader.exists(key) is True
        assert reader.prefix_raw(key) == [("ab", b"payload-ab")]

    @pytest.mark.parametrize("key", ["é", "é".encode(), [0xC3, 0xA9]],
                             ids=["str", "bytes", "list"])
    def test_text_keys_are_utf8(self, reader, key):
        assert reader.get_raw(key) == b"payload-e"

    @pytest.mark.parametrize("forms", [
        ["ab", b"ab", bytearray(b"ab"), [97, 98], (97, 98), StrKey("ab")],
        ["", b"", bytearray(), [], ()]], ids=["ab", "empty"])
    def test_forms_of_one_key_are_one_writer_entry(self, writer, forms):
        writer.add_object_raw(b"")
        for key in forms:
            writer.add_key(key, 0)
        assert repr(writer) == "_KalvWriter(objects=1, keys=1)"

    @pytest.mark.parametrize("key", [
        [256], [-1], [97, "b"], [2**70], None, 97, 1.5, {"ab": 1}, {97},
        "\ud800", "a\udfffb", StrKey("\ud800"), iter([97]), object(), BrokenSequence()],
        ids=ident)
    @pytest.mark.parametrize("method", ["get_raw", "exists", "prefix_raw"])
    def test_reader_rejects(self, reader, method, key):
        with pytest.raises(ValueError) as excinfo:
            getattr(reader, method)(key)
        assert excinfo.value.args == ("key must be str or bytes",)

    @pytest.mark.parametrize("key", [[256], None, 97, "\ud800", BrokenSequence()], ids=ident)
    def test_writer_rejects_before_the_range_check(self, writer, key):
        # No object exists, so a converted key would fail the Object ID range check.
        with pytest.raises(ValueError) as excinfo:
            writer.add_key(key, 0)
        assert excinfo.value.args == ("key must be str or bytes",)


class TestRawBytesConversion:
    def test_bytes_and_subclasses_are_copied_in_order(self, writer):
        payload = BytesKey(b"sub")
        assert [writer.add_object_raw(p) for p in (b"", b"x", payload)] == [0, 1, 2]
        assert repr(writer) == "_KalvWriter(objects=3, keys=0)"

    @pytest.mark.parametrize("value, message", [
        (bytearray(b"x"), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(b"x"), "'memoryview' object is not an instance of 'bytes'"),
        ("x", "'str' object is not an instance of 'bytes'"),
        ([120], "'list' object is not an instance of 'bytes'"),
        (Holder.Payload(), "'Holder.Payload' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
    ], ids=lambda value: type(value).__name__)
    def test_rejects_everything_else(self, writer, value, message):
        with pytest.raises(TypeError) as excinfo:
            writer.add_object_raw(value)
        assert str(excinfo.value) == f"argument 'raw_bytes': {message}"
        assert repr(writer) == "_KalvWriter(objects=0, keys=0)"


class TestObjIdConversion:
    @pytest.fixture
    def writer(self):
        writer = _KalvWriter()
        writer.add_object_raw(b"only")
        return writer

    @pytest.mark.parametrize("obj_id", [0, False, Index(0)], ids=ident)
    def test_zero_maps_the_key(self, writer, obj_id):
        assert writer.add_key("k", obj_id) is None
        assert repr(writer) == "_KalvWriter(objects=1, keys=1)"

    @pytest.mark.parametrize("obj_id, value", [
        (True, 1), (Index(5), 5), (2**63, 2**63), (2**64 - 1, 2**64 - 1)],
        ids=ident)
    def test_converted_value_reaches_the_range_check(self, writer, obj_id, value):
        with pytest.raises(ValueError) as excinfo:
            writer.add_key("k", obj_id)
        assert str(excinfo.value) == f"KalvError: obj_id {value} out of range (have 1 objects)"

    @pytest.mark.parametrize("obj_id", [-1, 2**64, Index(-1), Index(2**64)], ids=ident)
    def test_out_of_range_is_an_unwrapped_overflow(self, writer, obj_id):
        with pytest.raises(OverflowError) as excinfo:
            writer.add_key("k", obj_id)
        assert not str(excinfo.value).startswith("argument")
        assert repr(writer) == "_KalvWriter(objects=1, keys=0)"

    @pytest.mark.parametrize("obj_id", [1.0, "1", None, b"\x01", Index("1"), Index(1.5)],
                             ids=ident)
    def test_non_integers_are_wrapped_type_errors(self, writer, obj_id):
        with pytest.raises(TypeError) as plain:
            operator.index(obj_id)
        with pytest.raises(TypeError) as excinfo:
            writer.add_key("k", obj_id)
        assert str(excinfo.value) == f"argument 'obj_id': {plain.value}"

    def test_obj_id_is_converted_before_the_key(self, writer):
        with pytest.raises(TypeError) as excinfo:
            writer.add_key(None, "x")
        assert str(excinfo.value).startswith("argument 'obj_id': ")

    @pytest.mark.parametrize("with_cause", [True, False])
    def test_type_error_from_index_is_wrapped_keeping_its_cause(self, writer, with_cause):
        raised = TypeError("bad index")
        cause = KeyError("inner") if with_cause else None
        raised.__cause__ = cause
        with pytest.raises(TypeError) as excinfo:
            writer.add_key("k", RaisingIndex(raised))
        assert excinfo.value is not raised
        assert excinfo.value.args == ("argument 'obj_id': bad index",)
        assert excinfo.value.__cause__ is cause

    @pytest.mark.parametrize("raised", [
        ValueError("v"), ZeroDivisionError("z"), OverflowError("o"),
        type("TypeErrorSubclass", (TypeError,), {})("t")], ids=ident)
    def test_other_errors_from_index_pass_through(self, writer, raised):
        with pytest.raises(type(raised)) as excinfo:
            writer.add_key("k", RaisingIndex(raised))
        assert excinfo.value is raised


class TestPathConversion:
    @pytest.fixture(params=["reader", "build"])
    def open_or_build(self, request):
        if request.param == "reader":
            return _KalvReader
        return _KalvWriter().build

    @pytest.mark.parametrize("path, message", [
        (b"/tmp/x.klvx", "'bytes' object is not an instance of 'str'"),
        (pathlib.Path("/tmp/x.klvx"),
         f"'{type(pathlib.Path()).__qualname__}' object is not an instance of 'str'"),
        (3, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
    ], ids=lambda value: type(value).__name__)
    def test_rejects_non_str(self, open_or_build, path, message):
        with pytest.raises(TypeError) as excinfo:
            open_or_build(path)
        assert str(excinfo.value) == f"argument 'path': {message}"

    def test_unencodable_text_is_the_encoding_error(self, open_or_build, tmp_path):
        with pytest.raises(UnicodeEncodeError):
            open_or_build(str(tmp_path / "\udcff.klvx"))
        assert list(tmp_path.iterdir()) == []

    def test_str_subclass_is_taken_as_given(self, store_file):
        path = store_file(STORE)
        assert repr(_KalvReader(StrKey(path))) == f"_KalvReader('{path}', keys=2, objects=2)"


class TestVerifyConversion:
    @pytest.fixture
    def bad_crc_store(self, store_file):
        return store_file(STORE, crc=0)

    @pytest.mark.parametrize("flag", [
        False, fake_numpy_type("bool_", __bool__=lambda self: False)(),
        fake_numpy_type("bool", __bool__=lambda self: False)()], ids=ident)
    def test_false_skips_the_file_check(self, bad_crc_store, flag):
        assert _KalvReader(bad_crc_store, flag).keys() == ["ab", "é"]

    @pytest.mark.parametrize("kwargs", [
        {}, {"verify": True},
        {"verify": fake_numpy_type("bool_", __bool__=lambda self: True)()}], ids=ident)
    def test_true_and_the_default_check_the_file(self, bad_crc_store, kwargs):
        with pytest.raises(RuntimeError, match="^KalvCorruptError: file CRC32 mismatch"):
            _KalvReader(bad_crc_store, **kwargs)

    @pytest.mark.parametrize("flag, opens", [(False, True), (True, False)])
    def test_numpy_booleans(self, bad_crc_store, flag, opens):
        numpy = pytest.importorskip("numpy")
        if opens:
            _KalvReader(bad_crc_store, numpy.bool_(flag))
        else:
            with pytest.raises(RuntimeError, match="^KalvCorruptError: "):
                _KalvReader(bad_crc_store, verify=numpy.bool_(flag))

    @pytest.mark.parametrize("flag, message", [
        (1, "'int' object is not an instance of 'bool'"),
        (0, "'int' object is not an instance of 'bool'"),
        (None, "'None' is not an instance of 'bool'"),
        ("yes", "'str' object is not an instance of 'bool'"),
        (fake_numpy_type("int8", __bool__=lambda self: True)(),
         "'int8' object is not an instance of 'bool'"),
        (fake_numpy_type("bool_", module="numpy.core", __bool__=lambda self: True)(),
         "'bool_' object is not an instance of 'bool'"),
        (fake_numpy_type("bool_")(),
         "object of type 'bool_' does not define a '__bool__' conversion"),
        (fake_numpy_type("bool")(),
         "object of type 'bool' does not define a '__bool__' conversion"),
    ], ids=ident)
    def test_rejects_other_values_before_opening(self, flag, message):
        with pytest.raises(TypeError) as excinfo:
            _KalvReader("/nonexistent/x.klvx", flag)
        assert str(excinfo.value) == f"argument 'verify': {message}"

    def test_numpy_bool_returning_non_bool_is_rejected(self):
        flag = fake_numpy_type("bool_", __bool__=lambda self: 1)()
        with pytest.raises(TypeError, match="^argument 'verify': "):
            _KalvReader("/nonexistent/x.klvx", flag)

    def test_path_is_converted_before_verify(self):
        with pytest.raises(TypeError, match="^argument 'path': "):
            _KalvReader(b"/nonexistent/x.klvx", 1)
