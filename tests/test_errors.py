"""How failures reach Python: store errors, the receiver check and the per-instance use guard."""
import pytest

from kalvex import _kalvex

_KalvReader = _kalvex._KalvReader
_KalvWriter = _kalvex._KalvWriter

STORE = [(b"ab", b"payload-ab"), (b"cd", b"payload-cd")]


def assert_plain(exc, cls, text):
    """A built-in exception class itself, carrying the rendered text as its one argument."""
    assert type(exc) is cls
    assert exc.args == (text,)
    assert str(exc) == text


class TestStoreErrorMapping:
    def test_caller_error_is_a_plain_value_error(self):
        with pytest.raises(ValueError) as excinfo:
            _KalvWriter().add_key("k", 0)
        assert_plain(excinfo.value, ValueError, str(excinfo.value))
        assert str(excinfo.value).startswith("KalvError: ")

    @pytest.mark.parametrize("path, detail", [
        ("/nonexistent/x.klvx", "No such file or directory (os error 2)"),
        ("nonexistent-dir/x.klvx", "No such file or directory (os error 2)"),
        ("/nonexistent/\u00e9\u2192.klvx", "No such file or directory (os error 2)"),
        ("/nonexistent/a\x00b.klvx", "file name contained an unexpected NUL byte"),
    ], ids=["absolute", "relative", "non-ascii", "nul"])
    def test_open_failure_is_a_plain_os_error(self, path, detail):
        with pytest.raises(OSError) as excinfo:
            _KalvReader(path)
        assert_plain(excinfo.value, OSError, f"KalvIOError: cannot open {path}: {detail}")
        assert (excinfo.value.errno, excinfo.value.strerror, excinfo.value.filename) == (
            None, None, None)

    def test_build_failure_is_a_plain_os_error(self, tmp_path):
        writer = _KalvWriter()
        with pytest.raises(OSError) as excinfo:
            writer.build(str(tmp_path / "missing-dir" / "x.klvx"))
        assert_plain(excinfo.value, OSError, str(excinfo.value))
        assert str(excinfo.value).startswith("KalvIOError: ")
        assert excinfo.value.errno is None

    @pytest.mark.parametrize("version", [0, 1, 3, 255])
    @pytest.mark.parametrize("verify", [True, False])
    def test_unknown_version_is_a_runtime_error(self, store_file, version, verify):
        # The stored CRC is wrong too: the version is checked first.
        path = store_file(STORE, version=version, crc=1)
        with pytest.raises(RuntimeError) as excinfo:
            _KalvReader(path, verify)
        assert_plain(excinfo.value, RuntimeError,
                     f"KalvVersionError: unsupported version {version}")

    @pytest.mark.parametrize("content, detail", [
        (b"KLVX\x02" + bytes(34), "file too small for header"),
        (bytes(40), "bad magic [0, 0, 0, 0]"),
    ], ids=["short", "magic"])
    def test_damaged_file_is_a_runtime_error(self, tmp_path, content, detail):
        path = tmp_path / "damaged.klvx"
        path.write_bytes(content)
        with pytest.raises(RuntimeError) as excinfo:
            _KalvReader(str(path))
        assert_plain(excinfo.value, RuntimeError, f"KalvCorruptError: {detail}")

    def test_crc_mismatch_is_a_runtime_error(self, store_file):
        with pytest.raises(RuntimeError) as excinfo:
            _KalvReader(store_file(crc=1))
        assert_plain(excinfo.value, RuntimeError,
                     "KalvCorruptError: file CRC32 mismatch  stored=0x00000001 computed=0x00000000")


class TestReceiverCheck:
    # Method descriptors may refuse a foreign receiver with the interpreter's own wording
    # before the module is entered (CPython always does); otherwise ours is the text.
    @pytest.mark.parametrize("cls, method, args", [
        (_KalvReader, "keys", ()),
        (_KalvReader, "get_raw", ("ab",)),
        (_KalvReader, "__exit__", (None, None, None)),
        (_KalvReader, "__repr__", ()),
        (_KalvWriter, "add_object_raw", (b"",)),
        (_KalvWriter, "add_key", ("k", 0)),
        (_KalvWriter, "build", ("/nonexistent/dir/x.klvx",)),
        (_KalvWriter, "__repr__", ()),
    ], ids=lambda value: value if isinstance(value, str) else None)
    @pytest.mark.parametrize("receiver", [object(), 5, "text"], ids=["object", "int", "str"])
    def test_foreign_receiver_is_refused(self, cls, method, args, receiver):
        with pytest.raises(TypeError) as excinfo:
            getattr(cls, method)(receiver, *args)
        message = str(excinfo.value)
        if message.startswith("descriptor "):
            assert f"'{type(receiver).__name__}'" in message
            assert cls.__name__ in message
        else:
            assert message == (
                f"'{type(receiver).__name__}' object is not an instance of '{cls.__name__}'")

    def test_instance_of_the_other_class_is_refused(self, store_file):
        with pytest.raises(TypeError):
            _KalvReader.keys(_KalvWriter())
        with pytest.raises(TypeError):
            _KalvWriter.add_object_raw(_KalvReader(store_file(STORE)), b"")


class Reentrant:
    """An obj_id whose __index__ first calls back into the writer under conversion."""

    def __init__(self, action, *, swallow=False):
        self.action = action
        self.swallow = swallow
        self.inner = None

    def __index__(self):
        try:
            self.action()
        except RuntimeError as exc:
            self.inner = exc
            if not self.swallow:
                raise
        return 0


class TestUseGuard:
    @pytest.fixture
    def writer(self):
        writer = _KalvWriter()
        writer.add_object_raw(b"first")
        return writer

    @pytest.mark.parametrize("action, message", [
        (lambda w, p: w.add_key("other", 0), "Already borrowed"),
        (lambda w, p: w.add_object_raw(b"more"), "Already borrowed"),
        (lambda w, p: repr(w), "Already mutably borrowed"),
        (lambda w, p: w.build(p), "Already mutably borrowed"),
    ], ids=["add_key", "add_object_raw", "repr", "build"])
    def test_reentry_during_add_key_is_refused(self, writer, tmp_path, action, message):
        path = str(tmp_path / "never.klvx")
        probe = Reentrant(lambda: action(writer, path))
        with pytest.raises(RuntimeError) as excinfo:
            writer.add_key("k", probe)
        assert_plain(probe.inner, RuntimeError, message)
        assert excinfo.value is probe.inner
        assert list(tmp_path.iterdir()) == []
        assert repr(writer) == "_KalvWriter(objects=1, keys=0)"
        assert writer.add_object_raw(b"after") == 1

    def test_caught_refusal_lets_the_outer_call_finish(self, writer):
        probe = Reentrant(lambda: writer.add_key("other", 0), swallow=True)
        assert writer.add_key("k", probe) is None
        assert str(probe.inner) == "Already borrowed"
        assert repr(writer) == "_KalvWriter(objects=1, keys=1)"

    @pytest.mark.parametrize("call", [
        lambda w: w.add_key("k", 5),
        lambda w: w.add_key(None, 0),
        lambda w: w.add_key("k", -1),
        lambda w: w.add_key("k", 1.5),
        lambda w: w.add_object_raw(bytearray()),
        lambda w: w.build(b"x"),
        lambda w: w.build("/nonexistent/dir/x.klvx"),
    ], ids=["range", "key", "overflow", "obj_id-type", "raw_bytes", "path", "io"])
    def test_use_is_given_back_after_a_failure(self, writer, call):
        with pytest.raises(Exception):
            call(writer)
        assert writer.add_object_raw(b"after") == 1
        assert repr(writer) == "_KalvWriter(objects=2, keys=0)"

    def test_readers_take_shared_use_only(self, store_file):
        reader = _KalvReader(store_file(STORE))
        seen = []

        class CallingKey:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i == 0:
                    seen.append(reader.get_raw("cd"))
                    seen.append(repr(reader))
                return b"ab"[i]

        assert reader.get_raw(CallingKey()) == b"payload-ab"
        assert seen[0] == b"payload-cd"
