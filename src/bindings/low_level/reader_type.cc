// _KalvReader: the Python face of a reader of the C interface, opened with the index
// section parsed (a carried mapped index is left alone).
//
// Every entry has one shape: parse, check the receiver, take shared use, convert, call
// the C interface, build the result or raise. A reader is immutable after open, so
// readers only ever take shared use and never see a borrow conflict among themselves.
// A damaged object fails the call and no partial result escapes: single results are built
// after the record was found whole; listings are built a chunk at a time or in file order
// (see NewPairList), and a failure releases everything built so far.
#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "bindings/common/args.h"
#include "bindings/common/calls.h"
#include "bindings/common/convert.h"
#include "bindings/common/errors.h"
#include "bindings/common/handles.h"
#include "bindings/common/instance.h"
#include "bindings/common/lists.h"
#include "bindings/common/once.h"
#include "bindings/common/py_ref.h"
#include "bindings/common/receiver.h"
#include "bindings/common/results.h"
#include "bindings/low_level/failure.h"
#include "bindings/low_level/reader_type.h"
#include "kalvex.h"

namespace kalvex::bindings {
namespace {

using ReaderInstance = Instance<kalvex_reader>;
constexpr const char* kClassName = "_KalvReader";
// Entries per call of a listing: enough that the call's fixed cost vanishes per entry,
// few enough that the chunk's views stay in the cache while the objects are made (a walk
// of keys alone, whose objects are small, keeps them in the first level).
constexpr std::size_t kChunk = 1024;
constexpr std::size_t kKeyChunk = 256;
// Listings of at least this many entries, and of at least a quarter of the store, copy
// their payloads in file order. A shorter or sparser range has too few records per page
// of the file for the order to turn its reads into a stream; then sorting is pure cost.
constexpr std::size_t kFileOrderMinimum = std::size_t{1} << 14;
constexpr std::size_t kFileOrderShare = 4;

constexpr const char* kKeyParams[] = {"key"};
constexpr const char* kPrefixParams[] = {"prefix"};
constexpr const char* kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};

constexpr ParamList kGetRawSignature{"_KalvReader.get_raw()", kKeyParams, 1};
constexpr ParamList kExistsSignature{"_KalvReader.exists()", kKeyParams, 1};
constexpr ParamList kPrefixSignature{"_KalvReader.prefix_raw()", kPrefixParams, 1};
constexpr ParamList kExitSignature{"_KalvReader.__exit__()", kExitParams, 3};

// Every method runs its body on the reader under shared use: the reader is immutable.
template <class Body>
PyObject* EnterReader(PyObject* self, Body&& body) {
  return Enter<kalvex_reader, SharedUse>(self, ReaderType(), kClassName, [&](kalvex_reader& r) {
    return body(static_cast<const kalvex_reader*>(&r));
  });
}

std::span<const std::uint8_t> View(const kalvex_bytes& bytes) { return {bytes.data, bytes.size}; }

// Calls `each(i, key)` for entries [first, last) in order, a chunk of key views at a
// time; false after raising.
template <class Each>
bool ForEachKey(const kalvex_reader* r, std::size_t first, std::size_t last, Each each) {
  kalvex_bytes keys[kKeyChunk];
  for (std::size_t chunk = first; chunk < last;) {
    std::size_t count = 0;
    ErrorRecord error;
    const kalvex_status status = kalvex_reader_entries(r, chunk, last, kKeyChunk, keys, nullptr, nullptr, &count, error.get());
    if (status != KALVEX_OK) {
      RaiseFailure(status, *error);
      return false;
    }
    if (count == 0) {
      RaiseInternalFailure("a key walk stopped short");
      return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (!each(chunk - first + i, keys[i])) return false;
    }
    chunk += count;
  }
  return true;
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
// kalvex_reader_file_order) and pairs made in index order. nullopt, with nothing kept,
// when the range has no file order or a record does not fit in the file: the caller then
// lists the range in index order, which reports the first damaged record in index order.
// nullptr after raising.
template <class MakeKey>
std::optional<PyObject*> NewPairListInFileOrder(const kalvex_reader* r, std::size_t first, std::size_t last,
                                                MakeKey make_key) {
  const std::size_t count = last - first;
  const auto places = std::make_unique_for_overwrite<std::size_t[]>(count);
  const auto offsets = std::make_unique_for_overwrite<std::uint64_t[]>(count);
  std::size_t ordered = 0;
  ErrorRecord error;
  const kalvex_status status = kalvex_reader_file_order(r, first, last, places.get(), offsets.get(), &ordered, error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error);
  if (ordered == 0) return std::nullopt;
  HeldByPosition payloads(count);
  for (std::size_t k = 0; k < count; ++k) {
    kalvex_bytes payload;
    if (kalvex_reader_object(r, offsets[k], &payload, nullptr) != KALVEX_OK) return std::nullopt;
    PyObject* copy = NewBytes(View(payload));
    if (copy == nullptr) return nullptr;
    payloads.Put(places[k], copy);
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return RaiseCreationFailure();
  const bool filled = ForEachKey(r, first, last, [&](std::size_t i, const kalvex_bytes& key) {
    PyObject* pair = NewPair(make_key(View(key)), payloads.Take(i));
    if (pair == nullptr) return false;  // the list releases what it holds so far
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    return true;
  });
  if (!filled) return nullptr;
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
PyObject* NewPairList(const kalvex_reader* r, std::size_t first, std::size_t last, MakeKey make_key) {
  if (last - first >= kFileOrderMinimum && (last - first) * kFileOrderShare >= kalvex_reader_entry_count(r)) {
    if (const std::optional<PyObject*> list = NewPairListInFileOrder(r, first, last, make_key)) return *list;
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(last - first)));
  if (!list) return RaiseCreationFailure();
  kalvex_bytes keys[kChunk];
  kalvex_bytes payloads[kChunk];
  for (std::size_t chunk = first; chunk < last;) {
    std::size_t count = 0;
    ErrorRecord error;
    const kalvex_status status = kalvex_reader_entries(r, chunk, last, kChunk, keys, payloads, nullptr, &count, error.get());
    if (status != KALVEX_OK) return RaiseFailure(status, *error);
    if (count == 0) return RaiseInternalFailure("a listing stopped short");
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* pair = NewPair(make_key(View(keys[i])), NewPayloadAt(payloads, i, count));
      if (pair == nullptr) return nullptr;  // the list releases what it holds so far
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(chunk - first + i), pair);
    }
    chunk += count;
  }
  return list.release();
}

// The store's header values and path, for stats() and the repr.
struct Described {
  kalvex_stats stats;
  std::string_view path;
};

Described Describe(const kalvex_reader* r) {
  Described d;
  kalvex_reader_stats(r, &d.stats);
  const kalvex_bytes path = kalvex_reader_path(r);
  d.path = std::string_view(reinterpret_cast<const char*>(path.data), path.size);
  return d;
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&] {
    return OpenReader(type, "_KalvReader.__new__()", args, kwargs, {/*parse_index=*/true, /*takes_check=*/false, /*unlocked=*/false},
                      kBuiltinErrorClasses);
  });
}

void Reader_dealloc(PyObject* self) { DeallocInstance<kalvex_reader, CloseReader>(self); }

PyObject* Reader_get_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kKeyParams)];
    if (!ParseFastcall(kGetRawSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) { return FindPayload<ConvertKey>(r, slots[0], kBuiltinErrorClasses); });
  });
}

PyObject* Reader_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kKeyParams)];
    if (!ParseFastcall(kExistsSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) { return KeyExists<ConvertKey>(r, slots[0], kBuiltinErrorClasses); });
  });
}

PyObject* Reader_prefix_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kPrefixParams)];
    if (!ParseFastcall(kPrefixSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      KeyBytes prefix;
      if (!ConvertKey(slots[0], prefix)) return nullptr;
      std::size_t first = 0;
      std::size_t last = 0;
      ErrorRecord error;
      const kalvex_status status =
          kalvex_reader_prefix_range(r, prefix.bytes().data(), prefix.bytes().size(), &first, &last, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error, kBuiltinErrorClasses);
      return NewPairList(r, first, last, NewKeyText);
    });
  });
}

PyObject* Reader_keys(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      const std::size_t count = kalvex_reader_entry_count(r);
      PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
      if (!list) return RaiseCreationFailure();
      const bool filled = ForEachKey(r, 0, count, [&](std::size_t i, const kalvex_bytes& key) {
        PyObject* text = NewKeyText(View(key));
        if (text == nullptr) return false;  // the list releases what it holds so far
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
        return true;
      });
      return filled ? list.release() : nullptr;
    });
  });
}

PyObject* Reader_items_raw(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      return NewPairList(r, 0, kalvex_reader_entry_count(r), NewKeyText);
    });
  });
}

PyObject* Reader_items_raw_bytes(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      return NewPairList(r, 0, kalvex_reader_entry_count(r), NewBytes);
    });
  });
}

PyObject* Reader_objects_raw(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      kalvex_objects* found = nullptr;
      ErrorRecord error;
      const kalvex_status status = kalvex_reader_objects(r, &found, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      const std::unique_ptr<kalvex_objects, void (*)(kalvex_objects*)> objects(found, kalvex_objects_free);
      return NewPayloadList(kalvex_objects_items(found), kalvex_objects_count(found));
    });
  });
}

PyObject* Reader_stats(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      const Described d = Describe(r);
      const kalvex_stats& s = d.stats;
      return NewStatsDict({d.path, s.version, s.num_keys, s.num_objects, s.index_offset, s.data_offset,
                           s.file_size, s.file_crc32});
    });
  });
}

PyObject* Reader_verify(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) { return VerifyReader(r, kBuiltinErrorClasses); });
  });
}

// The reader holds no descriptor and no closed state: close() and __exit__ release
// nothing, and every method keeps answering until the object itself goes away.
PyObject* Reader_close(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader*) -> PyObject* {
      Py_RETURN_NONE;
    });
  });
}

PyObject* Reader_enter(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader*) -> PyObject* {
      Py_INCREF(self);
      return self;
    });
  });
}

PyObject* Reader_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kExitParams)];
    if (!ParseFastcall(kExitSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader*) -> PyObject* {
      Py_RETURN_FALSE;
    });
  });
}

PyObject* Reader_repr(PyObject* self) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      // The path is shown as given, between quotes and without escaping.
      const Described d = Describe(r);
      const std::string text = "_KalvReader('" + std::string(d.path) + "', keys=" + std::to_string(d.stats.num_keys) +
                               ", objects=" + std::to_string(d.stats.num_objects) + ")";
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
