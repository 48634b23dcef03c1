// _KalvReader: the Python face of the core reader.
//
// Every entry has one shape: parse, check the receiver, take shared use, convert, ask
// the core, build the result or raise. The core's state is immutable after open, so
// readers only ever take shared use and never see a borrow conflict among themselves.
// A damaged object fails the call and no partial result escapes: single results are built
// after the core has fetched everything; listings are built a chunk at a time or in file
// order (see NewPairList), and a failure releases everything built so far.
#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/args.h"
#include "bindings/common/convert.h"
#include "bindings/common/errors.h"
#include "bindings/common/instance.h"
#include "bindings/common/once.h"
#include "bindings/common/py_ref.h"
#include "bindings/common/results.h"
#include "bindings/spec/reader_type.h"
#include "bindings/common/receiver.h"
#include "core/format/layout.h"
#include "core/reader/file_order.h"
#include "core/reader/reader.h"

namespace kalvex::bindings {
namespace {

using reader::Bytes;
using reader::Reader;
using ReaderInstance = Instance<Reader>;
constexpr const char* kClassName = "_KalvReader";
constexpr std::size_t kCopyAhead = 8;
// Listings of at least this many entries, and of at least a quarter of the store, copy
// their payloads in file order. A shorter or sparser range has too few records per page
// of the file for the order to turn its reads into a stream; then sorting is pure cost.
constexpr std::size_t kFileOrderMinimum = std::size_t{1} << 14;
constexpr std::size_t kFileOrderShare = 4;

constexpr const char* kNewParams[] = {"path", "verify"};
constexpr const char* kKeyParams[] = {"key"};
constexpr const char* kPrefixParams[] = {"prefix"};
constexpr const char* kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};

constexpr ParamList kNewSignature{"_KalvReader.__new__()", kNewParams, 1};
constexpr ParamList kGetRawSignature{"_KalvReader.get_raw()", kKeyParams, 1};
constexpr ParamList kExistsSignature{"_KalvReader.exists()", kKeyParams, 1};
constexpr ParamList kPrefixSignature{"_KalvReader.prefix_raw()", kPrefixParams, 1};
constexpr ParamList kExitSignature{"_KalvReader.__exit__()", kExitParams, 3};

// Every method runs its body on the reader under shared use: the reader is immutable.
template <class Body>
PyObject* EnterReader(PyObject* self, Body&& body) {
  return Enter<Reader, SharedUse>(self, ReaderType(), kClassName, std::forward<Body>(body));
}

// A list of `count` elements made by `make(i)`; every element is a new reference.
template <class Make>
PyObject* NewListOf(std::size_t count, Make make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return RaiseCreationFailure();
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* element = make(i);
    if (element == nullptr) return nullptr;  // the list releases what it holds so far
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), element);
  }
  return list.release();
}

// References held by position until each is handed on, for objects made out of order.
// The slots start empty and each is written without being read first (a smart pointer's
// assignment reads the old value), so filling them at random positions never waits on
// memory; whatever is still held is released at the end.
class HeldByPosition {
 public:
  explicit HeldByPosition(std::size_t count) : slots_(new PyObject*[count]()), count_(count) {}
  ~HeldByPosition() {
    for (std::size_t i = 0; i < count_; ++i) Py_XDECREF(slots_[i]);
  }
  HeldByPosition(const HeldByPosition&) = delete;
  HeldByPosition& operator=(const HeldByPosition&) = delete;

  // REQUIRES: slot i is empty.
  void Put(std::size_t i, PyObject* owned) { slots_[i] = owned; }
  PyObject* Take(std::size_t i) { return std::exchange(slots_[i], nullptr); }

 private:
  std::unique_ptr<PyObject*[]> slots_;
  std::size_t count_;
};

// (key, payload) pairs for entries [first, last), payloads copied in file order (see
// core/reader/file_order.h) and pairs made in index order. nullopt, with nothing kept,
// when a record does not fit in the file: the caller then lists the range in index
// order, which reports the first damaged record in index order. nullptr after raising.
template <class MakeKey>
std::optional<PyObject*> NewPairListInFileOrder(const Reader& r, const reader::FileOrder& order,
                                                std::size_t first, MakeKey make_key) {
  const std::size_t count = order.size();
  HeldByPosition payloads(count);
  for (std::size_t k = 0; k < count; ++k) {
    Result<Bytes> payload = r.FetchObject(order.offset(k));
    if (!payload.ok()) return std::nullopt;
    PyObject* copy = NewBytes(payload.value());
    if (copy == nullptr) return nullptr;
    payloads.Put(order.place(k), copy);
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return RaiseCreationFailure();
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* pair = NewPair(make_key(r.key(first + i)), payloads.Take(i));
    if (pair == nullptr) return nullptr;  // the list releases what it holds so far
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// (key, payload) pairs for entries [first, last). At a million keys the records lie far
// apart in a file much larger than the caches: a long range is copied in file order. A
// shorter one goes in index order, a chunk at a time: a record's lines are fetched from
// memory for the bounds check, and building its objects right after copies the payload
// while those lines are still in the cache instead of fetching them again. Chunks go in
// index order, so the first damaged record in index order is the error, as for a fetch
// of the whole range.
template <class MakeKey>
PyObject* NewPairList(const Reader& r, std::size_t first, std::size_t last, MakeKey make_key) {
  if (last - first >= kFileOrderMinimum && (last - first) * kFileOrderShare >= r.entry_count()) {
    if (const std::optional<reader::FileOrder> order = reader::FileOrder::Of(r, first, last)) {
      if (const std::optional<PyObject*> list = NewPairListInFileOrder(r, *order, first, make_key)) {
        return *list;
      }
    }
  }
  constexpr std::size_t kChunk = 1024;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(last - first)));
  if (!list) return RaiseCreationFailure();
  for (std::size_t chunk = first; chunk < last; chunk += kChunk) {
    Result<std::vector<Bytes>> fetched = r.FetchRange(chunk, std::min(last, chunk + kChunk));
    if (!fetched.ok()) return RaiseStoreError(fetched.error());
    const std::vector<Bytes>& payloads = fetched.value();
    for (std::size_t i = 0; i < payloads.size(); ++i) {
      // The fetch brought in each record's first line; ask for the rest of a payload a
      // few pairs ahead so its copy does not wait.
      if (payloads.size() - i > kCopyAhead && !payloads[i + kCopyAhead].empty()) {
        const Bytes ahead = payloads[i + kCopyAhead];
        __builtin_prefetch(ahead.data() + ahead.size() - 1);
      }
      PyObject* pair = NewPair(make_key(r.key(chunk + i)), NewBytes(payloads[i]));
      if (pair == nullptr) return nullptr;  // the list releases what it holds so far
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(chunk - first + i), pair);
    }
  }
  return list.release();
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kNewParams)];
    if (!ParseTupleDict(kNewSignature, args, kwargs, slots)) return nullptr;
    std::string_view path;
    if (!ConvertText(slots[0], path)) return WrapArgumentError("path");
    bool verify = true;
    if (slots[1] != nullptr && !ConvertBool(slots[1], verify)) return WrapArgumentError("verify");
    Result<std::unique_ptr<Reader>> opened = Reader::Open(std::string(path), verify);
    if (!opened.ok()) return RaiseStoreError(opened.error());
    return NewInstance(type, std::move(opened).value());
  });
}

void Reader_dealloc(PyObject* self) { DeallocInstance<Reader>(self); }

PyObject* Reader_get_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kKeyParams)];
    if (!ParseFastcall(kGetRawSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      KeyBytes key;
      if (!ConvertKey(slots[0], key)) return nullptr;
      const std::optional<std::uint64_t> offset = r.Find(key.bytes());
      if (!offset) Py_RETURN_NONE;
      Result<Bytes> payload = r.FetchObject(*offset);
      if (!payload.ok()) return RaiseStoreError(payload.error());
      return NewBytes(payload.value());
    });
  });
}

PyObject* Reader_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kKeyParams)];
    if (!ParseFastcall(kExistsSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      KeyBytes key;
      if (!ConvertKey(slots[0], key)) return nullptr;
      return PyBool_FromLong(r.Find(key.bytes()).has_value());
    });
  });
}

PyObject* Reader_prefix_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kPrefixParams)];
    if (!ParseFastcall(kPrefixSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      KeyBytes prefix;
      if (!ConvertKey(slots[0], prefix)) return nullptr;
      const auto [first, last] = r.PrefixRange(prefix.bytes());
      return NewPairList(r, first, last, NewKeyText);
    });
  });
}

PyObject* Reader_keys(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      return NewListOf(r.entry_count(), [&](std::size_t i) { return NewKeyText(r.key(i)); });
    });
  });
}

PyObject* Reader_items_raw(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      return NewPairList(r, 0, r.entry_count(), NewKeyText);
    });
  });
}

PyObject* Reader_items_raw_bytes(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      return NewPairList(r, 0, r.entry_count(), NewBytes);
    });
  });
}

PyObject* Reader_objects_raw(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      Result<std::vector<Bytes>> payloads = r.FetchUniqueObjects();
      if (!payloads.ok()) return RaiseStoreError(payloads.error());
      const std::vector<Bytes>& found = payloads.value();
      return NewListOf(found.size(), [&](std::size_t i) { return NewBytes(found[i]); });
    });
  });
}

PyObject* Reader_stats(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      return NewStatsDict({r.path(), format::kVersion, r.num_keys(), r.num_objects(), r.index_offset(),
                           format::kDataOffset, r.file_size(), r.file_crc32()});
    });
  });
}

PyObject* Reader_verify(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      Status checked = r.Verify();
      if (!checked.ok()) return RaiseStoreError(checked.error());
      Py_RETURN_TRUE;
    });
  });
}

// The reader holds no descriptor and no closed state: close() and __exit__ release
// nothing, and every method keeps answering until the object itself goes away.
PyObject* Reader_close(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const Reader&) -> PyObject* {
      Py_RETURN_NONE;
    });
  });
}

PyObject* Reader_enter(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const Reader&) -> PyObject* {
      Py_INCREF(self);
      return self;
    });
  });
}

PyObject* Reader_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kExitParams)];
    if (!ParseFastcall(kExitSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const Reader&) -> PyObject* {
      Py_RETURN_FALSE;
    });
  });
}

PyObject* Reader_repr(PyObject* self) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const Reader& r) -> PyObject* {
      // The path is shown as given, between quotes and without escaping.
      const std::string text = "_KalvReader('" + r.path() + "', keys=" + std::to_string(r.num_keys()) +
                               ", objects=" + std::to_string(r.num_objects()) + ")";
      return NewText(text);
    });
  });
}

PyMethodDef kReaderMethods[] = {
    {"get_raw", AsCFunction(Reader_get_raw), kFastcall,
     "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`."},
    {"exists", AsCFunction(Reader_exists), kFastcall,
     "exists($self, key)\n--\n\nKey presence check \u2014 no I/O beyond the in-memory hash index."},
    {"prefix_raw", AsCFunction(Reader_prefix_raw), kFastcall,
     "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`."},
    {"keys", AsCFunction(Reader_keys), METH_NOARGS, "keys($self)\n--\n\nAll keys in sorted order."},
    {"items_raw", AsCFunction(Reader_items_raw), METH_NOARGS,
     "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order."},
    {"items_raw_bytes", AsCFunction(Reader_items_raw_bytes), METH_NOARGS,
     "items_raw_bytes($self)\n--\n\n"
     "All `(key_bytes, raw_bytes)` pairs in sorted key order.\n"
     "\n"
     "Unlike `items_raw`, keys come back as `bytes` \u2014 no UTF-8 lossy decode,\n"
     "so `merge()` can round-trip non-UTF-8 keys unchanged."},
    {"objects_raw", AsCFunction(Reader_objects_raw), METH_NOARGS,
     "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset)."},
    {"stats", AsCFunction(Reader_stats), METH_NOARGS,
     "stats($self)\n--\n\nReturn file metadata as a `dict`."},
    {"verify", AsCFunction(Reader_verify), METH_NOARGS,
     "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object)."},
    {"close", AsCFunction(Reader_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", AsCFunction(Reader_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", AsCFunction(Reader_exit), kFastcall,
     "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kReaderDoc[] =
    "_KalvReader(path, verify=True)\n"
    "--\n"
    "\n"
    "Low-level reader \u2014 returns raw msgpack bytes.\n"
    "**Use `kalvex.KalvReader` (Python wrapper) instead of this directly.**\n"
    "\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads.";

PyType_Slot kReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>(kReaderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(Reader_new)},
    {Py_tp_repr, reinterpret_cast<void*>(Reader_repr)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader_dealloc)},
    {0, nullptr},
};

PyType_Spec kReaderSpec = {
    "builtins._KalvReader",
    static_cast<int>(sizeof(ReaderInstance)),
    0,
    0,  // no subclassing, no __dict__, no weak references, not GC-tracked
    kReaderSlots,
};

std::atomic<PyObject*> reader_type{nullptr};

}  // namespace

PyObject* ReaderType() {
  return CreatedOnce(reader_type, [] { return PyType_FromSpec(&kReaderSpec); });
}

}  // namespace kalvex::bindings
