// kalvex._native.Reader: the package's reader, a thin face of the C interface's reader.
//
// Every entry has one shape: parse, check the receiver and that the reader is open, take
// shared use, convert, call the C interface, build the result or raise. The long calls
// (opening with the whole-file check, verify, objects, find_many and chunks of many
// entries) let the interpreter lock go around the C interface's work (unlocked.h), so
// another thread may reach the reader mid-call, as may Python code a call runs itself (a
// key given as a sequence, a collection run by an allocation). close() never frees the
// reader under a call: it marks the reader closed, later calls raise the closed error,
// and the last call out frees it. It defers rather than refuses because close() is what a
// `with` block's exit and a clean-up path call, must not fail for another thread's read,
// and leaves its caller nothing to wait on.
//
// Listings come in chunks (read_range): up to kChunkEntries entries, fewer once the
// payloads pass kChunkBytes, as parallel lists of keys, payloads and object ids. A
// chunk ends before a damaged record; a chunk that would start with one raises.
#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

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
#include "bindings/native/failure.h"
#include "bindings/native/key.h"
#include "bindings/native/types.h"
#include "bindings/common/unlocked.h"
#include "kalvex.h"

namespace kalvex::native {
namespace {

using namespace bindings;

struct ReaderObject {
  Instance<kalvex_reader> instance;
  bool close_pending;  // close() ran while a call was inside: the last one out frees
  bool compressed;     // the store's values are compressed: payload views are decoded
};

constexpr const char* kClassName = "Reader";
// A chunk's size: enough entries that the call's fixed cost vanishes per entry, few
// enough that its views stay in the cache while the objects are made.
constexpr std::size_t kChunkEntries = 1024;
constexpr std::size_t kChunkBytes = std::size_t{8} << 20;

constexpr const char* kKeyParams[] = {"key"};
constexpr const char* kKeysParams[] = {"keys"};
constexpr const char* kPrefixParams[] = {"prefix"};
constexpr const char* kRangeParams[] = {"first", "last", "keys", "payloads", "ids"};
constexpr const char* kObjectsParams[] = {"ids"};

constexpr ParamList kFindSignature{"Reader.find()", kKeyParams, 1};
constexpr ParamList kFindManySignature{"Reader.find_many()", kKeysParams, 1};
constexpr ParamList kExistsSignature{"Reader.exists()", kKeyParams, 1};
constexpr ParamList kPrefixSignature{"Reader.prefix_range()", kPrefixParams, 1};
constexpr ParamList kLowerBoundSignature{"Reader.lower_bound()", kKeyParams, 1};
constexpr ParamList kRangeSignature{"Reader.read_range()", kRangeParams, 2};
constexpr ParamList kObjectsSignature{"Reader.objects()", kObjectsParams, 0};

ReaderObject* AsReader(PyObject* self) { return reinterpret_cast<ReaderObject*>(self); }

// Frees the reader once close() has asked and no call is inside it.
void FinishClose(ReaderObject* reader) {
  BorrowCounter& borrow = reader->instance.borrow;
  if (!reader->close_pending || !borrow.TryExclusive()) return;
  kalvex_reader_close(reader->instance.state);
  reader->instance.state = nullptr;
  reader->close_pending = false;
  borrow.ReleaseExclusive();
}

template <class Body>
PyObject* EnterReader(PyObject* self, Body&& body) {
  if (!CheckReceiver(self, ReaderType(), kClassName)) return nullptr;
  ReaderObject* reader = AsReader(self);
  if (reader->instance.state == nullptr || reader->close_pending) return RaiseClosed();
  PyObject* result;
  {
    SharedUse use(reader->instance.borrow);
    if (!use.held()) return nullptr;
    result = body(static_cast<const kalvex_reader*>(reader->instance.state));
  }
  if (reader->close_pending) FinishClose(reader);
  return result;
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    PyObject* self = OpenReader(type, "Reader()", args, kwargs,
                                {/*parse_index=*/false, /*takes_check=*/true, /*unlocked=*/true}, kErrorClasses);
    if (self == nullptr) return nullptr;
    kalvex_stats stats;
    kalvex_reader_stats(AsReader(self)->instance.state, &stats);
    AsReader(self)->compressed = stats.compressed != 0;
    return self;
  });
}

void Reader_dealloc(PyObject* self) { DeallocInstance<kalvex_reader, CloseReader>(self); }

// The value behind a payload view the C interface gave: a copy of its bytes, or for a
// compressed store the value decoded by the library straight into the new bytes object.
PyObject* NewValue(const kalvex_reader* r, bool compressed, const kalvex_bytes& stored) {
  if (!compressed) return NewBytes({stored.data, stored.size});
  std::size_t size = 0;
  ErrorRecord error;
  kalvex_status status = kalvex_reader_value_size(r, stored, &size, error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error);
  PyRef value(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!value) return nullptr;
  status = kalvex_reader_decode(r, stored, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(value.get())), size,
                                error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error);
  return value.release();
}

// The values of payload views for this reader: copies, or a compressed store's decoded.
auto ValuesOf(const kalvex_reader* r, bool compressed) {
  return [r, compressed](const kalvex_bytes& payload) { return NewValue(r, compressed, payload); };
}

PyObject* Reader_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kKeyParams)];
    if (!ParseFastcall(kFindSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      KeyBytes key;
      if (!ConvertPackageKey(slots[0], key)) return nullptr;
      kalvex_bytes payload;
      ErrorRecord error;
      const kalvex_status status =
          kalvex_reader_find(r, key.bytes().data(), key.bytes().size(), &payload, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      if (payload.data == nullptr) Py_RETURN_NONE;
      return NewValue(r, AsReader(self)->compressed, payload);
    });
  });
}

PyObject* Reader_find_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kKeysParams)];
    if (!ParseFastcall(kFindManySignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      PyRef keys(KeysTuple(slots[0]));
      if (!keys) return nullptr;
      const std::size_t count = static_cast<std::size_t>(PyTuple_GET_SIZE(keys.get()));
      // The C interface takes the keys end to end in one buffer, with each one's end.
      std::vector<std::uint8_t> joined;
      std::vector<std::size_t> ends(count);
      joined.reserve(count * 24);
      for (std::size_t i = 0; i < count; ++i) {
        KeyBytes key;
        if (!ConvertPackageKey(PyTuple_GET_ITEM(keys.get(), static_cast<Py_ssize_t>(i)), key)) return nullptr;
        joined.insert(joined.end(), key.bytes().begin(), key.bytes().end());
        ends[i] = joined.size();
      }
      std::vector<kalvex_bytes> payloads(count);
      ErrorRecord error;
      const kalvex_status status = UnlockedIf(count >= kUnlockedFromEntries, [&] {
        return kalvex_reader_find_many(r, count, joined.data(), ends.data(), payloads.data(), error.get());
      });
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return NewFoundList(payloads.data(), count, ValuesOf(r, AsReader(self)->compressed));
    });
  });
}

PyObject* Reader_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kKeyParams)];
    if (!ParseFastcall(kExistsSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) {
      return KeyExists<ConvertPackageKey>(r, slots[0], kErrorClasses);
    });
  });
}

PyObject* Reader_count(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      return NewUnsigned(kalvex_reader_entry_count(r));
    });
  });
}

PyObject* Reader_prefix_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kPrefixParams)];
    if (!ParseFastcall(kPrefixSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      KeyBytes prefix;
      if (!ConvertPackageKey(slots[0], prefix)) return nullptr;
      std::size_t first = 0;
      std::size_t last = 0;
      ErrorRecord error;
      const kalvex_status status =
          kalvex_reader_prefix_range(r, prefix.bytes().data(), prefix.bytes().size(), &first, &last, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return NewPair(NewUnsigned(first), NewUnsigned(last));
    });
  });
}

PyObject* Reader_lower_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kKeyParams)];
    if (!ParseFastcall(kLowerBoundSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      KeyBytes key;
      if (!ConvertKey(slots[0], key)) return nullptr;
      std::size_t position = 0;
      ErrorRecord error;
      const kalvex_status status =
          kalvex_reader_lower_bound(r, key.bytes().data(), key.bytes().size(), &position, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return NewUnsigned(position);
    });
  });
}

// The `keys` argument of read_range: None, bytes or str (the type objects).
enum class KeyForm { kNone, kBytes, kText };

bool ConvertKeyForm(PyObject* object, KeyForm& out) {
  if (object == nullptr || object == Py_None) {
    out = KeyForm::kNone;
  } else if (object == reinterpret_cast<PyObject*>(&PyBytes_Type)) {
    out = KeyForm::kBytes;
  } else if (object == reinterpret_cast<PyObject*>(&PyUnicode_Type)) {
    out = KeyForm::kText;
  } else {
    PyErr_SetString(PyExc_TypeError, "argument 'keys': must be bytes, str or None");
    return false;
  }
  return true;
}

PyObject* Reader_read_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kRangeParams)];
    if (!ParseFastcall(kRangeSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      std::uint64_t first = 0;
      std::uint64_t last = 0;
      if (!ConvertU64(slots[0], first)) return WrapArgumentError("first");
      if (!ConvertU64(slots[1], last)) return WrapArgumentError("last");
      KeyForm key_form = KeyForm::kNone;
      if (!ConvertKeyForm(slots[2], key_form)) return nullptr;
      bool want_payloads = false;
      bool want_ids = false;
      if (slots[3] != nullptr && !ConvertBool(slots[3], want_payloads)) return WrapArgumentError("payloads");
      if (slots[4] != nullptr && !ConvertBool(slots[4], want_ids)) return WrapArgumentError("ids");
      if (key_form == KeyForm::kNone && !want_payloads && !want_ids) {
        PyErr_SetString(PyExc_ValueError, "read_range() needs keys, payloads or ids");
        return nullptr;
      }
      kalvex_bytes keys[kChunkEntries];
      kalvex_bytes payloads[kChunkEntries];
      std::uint64_t ids[kChunkEntries];
      std::size_t count = 0;
      ErrorRecord error;
      const kalvex_status status = UnlockedIf(last > first && last - first >= kUnlockedFromEntries, [&] {
        return kalvex_reader_entries(r, static_cast<std::size_t>(first), static_cast<std::size_t>(last),
                                     kChunkEntries, key_form != KeyForm::kNone ? keys : nullptr,
                                     want_payloads ? payloads : nullptr, want_ids ? ids : nullptr, &count,
                                     error.get());
      });
      // The entries before a damaged record are delivered; the next chunk starts at it.
      if (status != KALVEX_OK && count == 0) return RaiseFailure(status, *error);
      if (want_payloads) {
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < count; ++i) {
          bytes += payloads[i].size;
          if (bytes > kChunkBytes && i > 0) {
            count = i;
            break;
          }
        }
      }
      PyRef key_list = PyRef::Borrow(Py_None);
      if (key_form == KeyForm::kBytes) {
        key_list = PyRef(NewListOf(count, [&](std::size_t i) { return NewBytes({keys[i].data, keys[i].size}); }));
      } else if (key_form == KeyForm::kText) {
        key_list = PyRef(NewListOf(count, [&](std::size_t i) { return NewKeyText({keys[i].data, keys[i].size}); }));
      }
      if (!key_list) return nullptr;
      PyRef payload_list = want_payloads ? PyRef(NewPayloadList(payloads, count, ValuesOf(r, AsReader(self)->compressed)))
                                         : PyRef::Borrow(Py_None);
      if (!payload_list) return nullptr;
      PyRef id_list = want_ids ? PyRef(NewListOf(count, [&](std::size_t i) { return NewUnsigned(ids[i]); }))
                               : PyRef::Borrow(Py_None);
      if (!id_list) return nullptr;
      PyObject* chunk = PyTuple_Pack(3, key_list.get(), payload_list.get(), id_list.get());
      return chunk != nullptr ? chunk : RaiseCreationFailure();
    });
  });
}

PyObject* Reader_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kObjectsParams)];
    if (!ParseFastcall(kObjectsSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      bool want_ids = false;
      if (slots[0] != nullptr && !ConvertBool(slots[0], want_ids)) return WrapArgumentError("ids");
      kalvex_objects* found = nullptr;
      ErrorRecord error;
      const kalvex_status status = Unlocked([&] { return kalvex_reader_objects(r, &found, error.get()); });
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      const std::unique_ptr<kalvex_objects, void (*)(kalvex_objects*)> objects(found, kalvex_objects_free);
      const std::size_t count = kalvex_objects_count(found);
      PyRef payload_list(NewPayloadList(kalvex_objects_items(found), count, ValuesOf(r, AsReader(self)->compressed)));
      if (!payload_list) return nullptr;
      const std::uint64_t* offsets = kalvex_objects_offsets(found);
      PyRef id_list = want_ids ? PyRef(NewListOf(count, [&](std::size_t i) { return NewUnsigned(offsets[i]); }))
                               : PyRef::Borrow(Py_None);
      if (!id_list) return nullptr;
      return NewPair(payload_list.release(), id_list.release());
    });
  });
}

PyObject* Reader_stats(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      kalvex_stats s;
      kalvex_reader_stats(r, &s);
      const kalvex_bytes path = kalvex_reader_path(r);
      // The package counts the objects its users stored; the index shows on its own.
      PyRef stats(NewStatsDict({std::string_view(reinterpret_cast<const char*>(path.data), path.size),
                                s.version, s.num_keys, s.user_objects, s.index_offset, s.data_offset,
                                s.file_size, s.file_crc32}));
      if (!stats) return nullptr;
      PyRef index_size(NewUnsigned(s.index_size));
      if (!index_size || PyDict_SetItemString(stats.get(), "index", s.mapped_index != 0 ? Py_True : Py_False) != 0 ||
          PyDict_SetItemString(stats.get(), "index_size", index_size.get()) != 0) {
        return nullptr;
      }
      PyRef dictionary_size(NewUnsigned(s.dictionary_size));
      PyRef original_bytes(NewUnsigned(s.original_bytes));
      PyRef stored_bytes(NewUnsigned(s.stored_bytes));
      if (!dictionary_size || !original_bytes || !stored_bytes ||
          PyDict_SetItemString(stats.get(), "compressed", s.compressed != 0 ? Py_True : Py_False) != 0 ||
          PyDict_SetItemString(stats.get(), "dictionary_size", dictionary_size.get()) != 0 ||
          PyDict_SetItemString(stats.get(), "original_bytes", original_bytes.get()) != 0 ||
          PyDict_SetItemString(stats.get(), "stored_bytes", stored_bytes.get()) != 0) {
        return nullptr;
      }
      return stats.release();
    });
  });
}

PyObject* Reader_dictionary(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      const kalvex_bytes dictionary = kalvex_reader_dictionary(r);
      return NewBytes({dictionary.data, dictionary.size});
    });
  });
}

PyObject* Reader_verify(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) { return VerifyReader(r, kErrorClasses, /*unlocked=*/true); });
  });
}

PyObject* Reader_memory_usage(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterReader(self, [&](const kalvex_reader* r) -> PyObject* {
      return NewUnsigned(kalvex_reader_memory_usage(r));
    });
  });
}

// Not through EnterReader: closing a closed reader is no error.
PyObject* Reader_close(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    if (!CheckReceiver(self, ReaderType(), kClassName)) return nullptr;
    ReaderObject* reader = AsReader(self);
    if (reader->instance.state != nullptr) {
      reader->close_pending = true;
      FinishClose(reader);
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef kReaderMethods[] = {
    {"find", AsCFunction(Reader_find), kFastcall,
     "find($self, key)\n--\n\nThe payload stored under key, or None."},
    {"find_many", AsCFunction(Reader_find_many), kFastcall,
     "find_many($self, keys)\n--\n\nThe payload stored under each key of a list or tuple, or None, in order."},
    {"exists", AsCFunction(Reader_exists), kFastcall,
     "exists($self, key)\n--\n\nWhether key is stored; reads no payload."},
    {"count", AsCFunction(Reader_count), METH_NOARGS,
     "count($self)\n--\n\nThe number of index entries: positions are 0 .. count() - 1."},
    {"prefix_range", AsCFunction(Reader_prefix_range), kFastcall,
     "prefix_range($self, prefix)\n--\n\nPositions (first, last) of the keys starting with prefix."},
    {"lower_bound", AsCFunction(Reader_lower_bound), kFastcall,
     "lower_bound($self, key)\n--\n\nThe position of the first key not below key; count() when none."},
    {"read_range", AsCFunction(Reader_read_range), kFastcall,
     "read_range($self, first, last, keys=None, payloads=False, ids=False)\n--\n\n"
     "One chunk of positions [first, last): (keys, payloads, ids), each a list or None."},
    {"objects", AsCFunction(Reader_objects), kFastcall,
     "objects($self, ids=False)\n--\n\nThe distinct objects' payloads, and their ids if asked."},
    {"stats", AsCFunction(Reader_stats), METH_NOARGS,
     "stats($self)\n--\n\nThe file's metadata; num_objects without the index, shown by index and index_size."},
    {"dictionary", AsCFunction(Reader_dictionary), METH_NOARGS,
     "dictionary($self)\n--\n\nThe compression dictionary the store carries (b'' when none)."},
    {"verify", AsCFunction(Reader_verify), METH_NOARGS,
     "verify($self)\n--\n\nWhole-file and per-object CRC-32 check, then the mapped index: True, or "
     "KalvCorruptError."},
    {"memory_usage", AsCFunction(Reader_memory_usage), METH_NOARGS,
     "memory_usage($self)\n--\n\nBytes of native memory held besides the mapping."},
    {"close", AsCFunction(Reader_close), METH_NOARGS,
     "close($self)\n--\n\nFree the reader; later calls raise ValueError. Idempotent."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>("Reader(path, verify=True, check=False)\n--\n\nA store opened read-only; with check, "
                                  "its index checked and every payload's CRC-32 checked as it is read.")},
    {Py_tp_new, reinterpret_cast<void*>(Reader_new)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader_dealloc)},
    {0, nullptr},
};

PyType_Spec kReaderSpec = {"kalvex._native.Reader", static_cast<int>(sizeof(ReaderObject)), 0,
                           Py_TPFLAGS_DEFAULT, kReaderSlots};

std::atomic<PyObject*> reader_type{nullptr};

}  // namespace

PyObject* ReaderType() {
  return CreatedOnce(reader_type, [] { return PyType_FromSpec(&kReaderSpec); });
}

}  // namespace kalvex::native
