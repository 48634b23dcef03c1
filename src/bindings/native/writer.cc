// kalvex._native.Writer: the package's writer, a thin face of the C interface's writer.
//
// Every entry has one shape: parse, check the receiver, take use, convert, call the C
// interface, build the result or raise. Growing the writer takes exclusive use, reading
// it shared use (see bindings/borrow.h); a build prints nothing and reports its counts.
// A build, and a large batch of pairs, let the interpreter lock go while the core works
// (unlocked.h). Both hold exclusive use (a build too: the core's const calls still finish
// work the adds deferred), so another thread's add, lookup or build of the same writer
// meanwhile is refused as any borrow conflict is.
#include <atomic>
#include <climits>
#include <cstring>
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

// Freeing millions of keys takes tens of milliseconds, so the lock goes meanwhile: the
// state is that of an instance being deallocated (no reference to it is left) or of
// one never made.
struct FreeWriterUnlocked {
  void operator()(kalvex_writer* writer) const {
    Unlocked([&] { kalvex_writer_free(writer); });
  }
};

constexpr const char* kClassName = "Writer";

constexpr const char* kPayloadParams[] = {"payload"};
constexpr const char* kAddKeyParams[] = {"key", "obj_id"};
constexpr const char* kKeyParams[] = {"key"};
constexpr const char* kBuildParams[] = {"path", "index", "drop_unreferenced", "compression", "dictionary"};
constexpr const char* kAddMappedParams[] = {"payload", "keys", "unique"};
constexpr const char* kAddPairsParams[] = {"payloads", "keys", "unique"};

constexpr ParamList kAddSignature{"Writer.add()", kPayloadParams, 1};
constexpr ParamList kAddUniqueSignature{"Writer.add_unique()", kPayloadParams, 1};
constexpr ParamList kAddKeySignature{"Writer.add_key()", kAddKeyParams, 2};
constexpr ParamList kContainsSignature{"Writer.contains()", kKeyParams, 1};
constexpr ParamList kBuildSignature{"Writer.build()", kBuildParams, 1};
constexpr ParamList kAddMappedSignature{"Writer.add_mapped()", kAddMappedParams, 2};
constexpr ParamList kAddPairsSignature{"Writer.add_pairs()", kAddPairsParams, 2};
// A bulk load's call carries one short key: its bytes and end stay on the stack.
constexpr std::size_t kInlineKeys = 4;
constexpr std::size_t kInlineKeyBytes = 256;

template <class Use, class Body>
PyObject* EnterWriter(PyObject* self, Body&& body) {
  return Enter<kalvex_writer, Use>(self, WriterType(), kClassName, std::forward<Body>(body));
}

PyObject* Writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&] { return NewWriter(type, "Writer()", args, kwargs, kErrorClasses, true); });
}

void Writer_dealloc(PyObject* self) { DeallocInstance<kalvex_writer, FreeWriterUnlocked>(self); }

using AddObject = kalvex_status (*)(kalvex_writer*, const void*, size_t, uint64_t*, kalvex_error*);

PyObject* AddPayload(const ParamList& signature, AddObject add, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kPayloadParams)];
    if (!ParseFastcall(signature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<ExclusiveUse>(self, [&](kalvex_writer& w) -> PyObject* {
      std::span<const std::uint8_t> payload;
      if (!ConvertBytes(slots[0], payload)) return WrapArgumentError("payload");
      std::uint64_t id = 0;
      ErrorRecord error;
      const kalvex_status status = add(&w, payload.data(), payload.size(), &id, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return NewUnsigned(id);
    });
  });
}

PyObject* Writer_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return AddPayload(kAddSignature, kalvex_writer_add_object, self, args, nargs, kwnames);
}

PyObject* Writer_add_unique(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return AddPayload(kAddUniqueSignature, kalvex_writer_add_object_unique, self, args, nargs, kwnames);
}

PyObject* Writer_add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kAddKeyParams)];
    if (!ParseFastcall(kAddKeySignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<ExclusiveUse>(self, [&](kalvex_writer& w) -> PyObject* {
      std::uint64_t obj_id = 0;
      if (!ConvertU64(slots[1], obj_id)) return WrapArgumentError("obj_id");
      KeyBytes key;
      if (!ConvertPackageKey(slots[0], key)) return nullptr;
      ErrorRecord error;
      const kalvex_status status =
          kalvex_writer_add_key(&w, key.bytes().data(), key.bytes().size(), obj_id, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      Py_RETURN_NONE;
    });
  });
}

PyObject* Writer_add_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kAddMappedParams)];
    if (!ParseFastcall(kAddMappedSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<ExclusiveUse>(self, [&](kalvex_writer& w) -> PyObject* {
      std::span<const std::uint8_t> payload;
      if (!ConvertBytes(slots[0], payload)) return WrapArgumentError("payload");
      bool unique = false;
      if (slots[2] != nullptr && !ConvertBool(slots[2], unique)) return WrapArgumentError("unique");
      PyRef keys(KeysTuple(slots[1]));
      if (!keys) return nullptr;
      const std::size_t count = static_cast<std::size_t>(PyTuple_GET_SIZE(keys.get()));
      KeyBytes inline_keys[kInlineKeys];
      std::unique_ptr<KeyBytes[]> more_keys;
      KeyBytes* converted = inline_keys;
      if (count > kInlineKeys) {
        more_keys = std::make_unique<KeyBytes[]>(count);
        converted = more_keys.get();
      }
      std::size_t total = 0;
      for (std::size_t i = 0; i < count; ++i) {
        if (!ConvertPackageKey(PyTuple_GET_ITEM(keys.get(), static_cast<Py_ssize_t>(i)), converted[i])) return nullptr;
        total += converted[i].bytes().size();
      }
      // The C interface takes the keys as one run of bytes with their ends.
      std::uint8_t inline_blob[kInlineKeyBytes];
      std::size_t inline_ends[kInlineKeys];
      std::vector<std::uint8_t> more_blob;
      std::vector<std::size_t> more_ends;
      std::uint8_t* blob = inline_blob;
      std::size_t* ends = inline_ends;
      if (total > kInlineKeyBytes) {
        more_blob.resize(total);
        blob = more_blob.data();
      }
      if (count > kInlineKeys) {
        more_ends.resize(count);
        ends = more_ends.data();
      }
      std::size_t end = 0;
      for (std::size_t i = 0; i < count; ++i) {
        const std::span<const std::uint8_t> key = converted[i].bytes();
        if (!key.empty()) std::memcpy(blob + end, key.data(), key.size());
        ends[i] = end += key.size();
      }
      std::uint64_t id = 0;
      ErrorRecord error;
      const kalvex_status status = kalvex_writer_add_mapped(&w, payload.data(), payload.size(), unique ? 1 : 0,
                                                            count, blob, ends, &id, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return NewUnsigned(id);
    });
  });
}

// Byte strings laid end to end with their end offsets, as the C interface's batch calls
// take them.
struct Concatenation {
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> ends;

  void Reserve(std::size_t count, std::size_t total) {
    bytes.reserve(total);
    ends.reserve(count);
  }
  void Append(std::span<const std::uint8_t> item) {
    bytes.insert(bytes.end(), item.begin(), item.end());
    ends.push_back(bytes.size());
  }
};

PyObject* Writer_add_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kAddPairsParams)];
    if (!ParseFastcall(kAddPairsSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<ExclusiveUse>(self, [&](kalvex_writer& w) -> PyObject* {
      PyObject* const payloads = slots[0];
      PyObject* const keys = slots[1];
      if (!PyTuple_Check(payloads) && !PyList_Check(payloads)) {
        PyErr_SetString(PyExc_TypeError, "argument 'payloads': must be a list or tuple");
        return nullptr;
      }
      if (!PyTuple_Check(keys) && !PyList_Check(keys)) {
        PyErr_SetString(PyExc_TypeError, "argument 'keys': must be a list or tuple");
        return nullptr;
      }
      bool unique = false;
      if (slots[2] != nullptr && !ConvertBool(slots[2], unique)) return WrapArgumentError("unique");
      const Py_ssize_t count = PySequence_Fast_GET_SIZE(keys);
      if (PySequence_Fast_GET_SIZE(payloads) != count) {
        PyErr_SetString(PyExc_ValueError, "payloads and keys differ in length");
        return nullptr;
      }
      // Every item is copied out before the writer sees any: a bad one changes nothing.
      // The lists are read in place, not copied into tuples (a copy touches every key
      // object twice more, at random places in memory, when keys come sorted). The
      // payloads are copied first, while no Python code can run; a key's conversion may
      // run some (a sequence of ints), so each key is held while it is converted and the
      // batch's length is checked again before each one.
      Concatenation payload_run;
      std::size_t payload_total = 0;
      for (Py_ssize_t i = 0; i < count; ++i) {
        std::span<const std::uint8_t> payload;
        if (!ConvertBytes(PySequence_Fast_GET_ITEM(payloads, i), payload)) return WrapArgumentError("payloads");
        payload_total += payload.size();
      }
      payload_run.Reserve(static_cast<std::size_t>(count), payload_total);
      for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* const payload = PySequence_Fast_GET_ITEM(payloads, i);
        payload_run.Append({reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload)),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(payload))});
      }
      // The batch ends before the first object that is no key (ValueError).
      Concatenation key_run;
      key_run.Reserve(static_cast<std::size_t>(count), 0);
      std::size_t usable = static_cast<std::size_t>(count);
      for (Py_ssize_t i = 0; i < count; ++i) {
        if (PySequence_Fast_GET_SIZE(keys) != count) {
          PyErr_SetString(PyExc_RuntimeError, "keys changed size during the call");
          return nullptr;
        }
        const PyRef held = PyRef::Borrow(PySequence_Fast_GET_ITEM(keys, i));
        KeyBytes key;
        if (!ConvertPackageKey(held.get(), key)) {
          if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
          PyErr_Clear();
          usable = static_cast<std::size_t>(i);
          break;
        }
        key_run.Append(key.bytes());
      }
      std::size_t added = 0;
      ErrorRecord error;
      // A large batch lets the lock go: besides its own work it may grow the writer's
      // tables, a copy of every key and object so far, which at millions of keys takes
      // longer than other threads should wait. The batch is in buffers of this call's own.
      const auto add = [&](std::size_t n) {
        return UnlockedIf(n >= kUnlockedFromEntries, [&] {
          return kalvex_writer_add_pairs(&w, unique ? 1 : 0, n, payload_run.bytes.data(), payload_run.ends.data(),
                                         key_run.bytes.data(), key_run.ends.data(), &added, error.get());
        });
      };
      kalvex_status status = add(usable);
      // A refused key changed nothing and *added is its place: the pairs before it go in
      // now, and the caller adds it alone to raise its own error.
      if (status == KALVEX_STORE_ERROR && added > 0) {
        usable = added;
        status = add(usable);
      } else if (status == KALVEX_STORE_ERROR) {
        usable = 0;
        status = KALVEX_OK;
      }
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return NewUnsigned(usable);
    });
  });
}

PyObject* Writer_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kKeyParams)];
    if (!ParseFastcall(kContainsSignature, args, nargs, kwnames, slots)) return nullptr;
    // Shared use: to the caller a lookup changes nothing, though it may place parked keys.
    return EnterWriter<SharedUse>(self, [&](kalvex_writer& w) -> PyObject* {
      KeyBytes key;
      if (!ConvertPackageKey(slots[0], key)) return nullptr;
      int found = 0;
      ErrorRecord error;
      const kalvex_status status =
          kalvex_writer_contains_key(&w, key.bytes().data(), key.bytes().size(), &found, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return PyBool_FromLong(found);
    });
  });
}

PyObject* Writer_key_count(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterWriter<SharedUse>(self, [&](kalvex_writer& w) -> PyObject* {
      std::uint64_t count = 0;
      ErrorRecord error;
      const kalvex_status status = kalvex_writer_num_keys(&w, &count, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return NewUnsigned(count);
    });
  });
}

PyObject* Writer_object_count(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterWriter<SharedUse>(self, [&](kalvex_writer& w) -> PyObject* {
      return NewUnsigned(kalvex_writer_num_objects(&w));
    });
  });
}

PyObject* Writer_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kBuildParams)];
    if (!ParseFastcall(kBuildSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<ExclusiveUse>(self, [&](kalvex_writer& w) -> PyObject* {
      std::string_view path;
      if (!ConvertText(slots[0], path)) return WrapArgumentError("path");
      bool index = false;
      if (slots[1] != nullptr && !ConvertBool(slots[1], index)) return WrapArgumentError("index");
      bool drop = false;
      if (slots[2] != nullptr && !ConvertBool(slots[2], drop)) return WrapArgumentError("drop_unreferenced");
      kalvex_build_options options{};
      options.mapped_index = index ? 1 : 0;
      options.drop_unreferenced = drop ? 1 : 0;
      // compression: 0 for none, else libzstd's level; dictionary: bytes or None.
      if (slots[3] != nullptr) {
        const long level = PyLong_Check(slots[3]) ? PyLong_AsLong(slots[3]) : -1;
        if (!PyLong_Check(slots[3]) || (level == -1 && PyErr_Occurred()) || level < INT_MIN || level > INT_MAX) {
          PyErr_Clear();
          PyErr_SetString(PyExc_TypeError, "argument 'compression': must be an int level (0: none)");
          return nullptr;
        }
        options.compression = level != 0 ? 1 : 0;
        options.compression_level = static_cast<int>(level);
      }
      std::span<const std::uint8_t> dictionary;
      if (slots[4] != nullptr && slots[4] != Py_None) {
        if (!ConvertBytes(slots[4], dictionary)) return WrapArgumentError("dictionary");
        options.dictionary = dictionary.data();
        options.dictionary_size = dictionary.size();
      }
      kalvex_build_report report;
      ErrorRecord error;
      const kalvex_status status = Unlocked(
          [&] { return kalvex_writer_build_with(&w, path.data(), path.size(), &options, &report, error.get()); });
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      PyObject* counts = Py_BuildValue("(KKK)", static_cast<unsigned long long>(report.num_objects),
                                       static_cast<unsigned long long>(report.num_keys),
                                       static_cast<unsigned long long>(report.file_size));
      return counts != nullptr ? counts : RaiseCreationFailure();
    });
  });
}

PyObject* Writer_discard(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterWriter<ExclusiveUse>(self, [&](kalvex_writer& w) -> PyObject* {
      Unlocked([&] { kalvex_writer_discard(&w); });
      Py_RETURN_NONE;
    });
  });
}

PyObject* Writer_train_dictionary(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    return EnterWriter<SharedUse>(self, [&](kalvex_writer& w) -> PyObject* {
      std::vector<std::uint8_t> buffer(KALVEX_MAX_DICTIONARY_SIZE);
      std::size_t size = 0;
      ErrorRecord error;
      const kalvex_status status = kalvex_writer_train_dictionary(&w, buffer.data(), buffer.size(), &size, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return NewBytes({buffer.data(), size});
    });
  });
}

PyMethodDef kWriterMethods[] = {
    {"train_dictionary", AsCFunction(Writer_train_dictionary), METH_NOARGS,
     "train_dictionary($self)\n--\n\nThe dictionary a compressed build would train from the objects (b'' when too few)."},
    {"discard", AsCFunction(Writer_discard), METH_NOARGS,
     "discard($self)\n--\n\nDrop every object and key and remove the writer's temporary files."},
    {"add", AsCFunction(Writer_add), kFastcall,
     "add($self, payload)\n--\n\nStore a copy of payload as a new object; its id."},
    {"add_unique", AsCFunction(Writer_add_unique), kFastcall,
     "add_unique($self, payload)\n--\n\n"
     "The id of an object added here before with exactly these bytes, else add(payload)."},
    {"add_key", AsCFunction(Writer_add_key), kFastcall,
     "add_key($self, key, obj_id)\n--\n\nMap key to object obj_id, replacing an earlier mapping."},
    {"add_mapped", AsCFunction(Writer_add_mapped), kFastcall,
     "add_mapped($self, payload, keys, unique=False)\n--\n\n"
     "add(payload), or add_unique(payload) if unique, with every key of keys (a tuple or list) "
     "mapped to it, checked first; its id."},
    {"add_pairs", AsCFunction(Writer_add_pairs), kFastcall,
     "add_pairs($self, payloads, keys, unique=False)\n--\n\n"
     "add_mapped(payloads[i], (keys[i],), unique) for each i in order, up to the first refused "
     "key; payloads and keys are lists or tuples of one length. The number of pairs stored."},
    {"contains", AsCFunction(Writer_contains), kFastcall,
     "contains($self, key)\n--\n\nWhether key has been mapped."},
    {"key_count", AsCFunction(Writer_key_count), METH_NOARGS,
     "key_count($self)\n--\n\nThe number of distinct keys mapped."},
    {"object_count", AsCFunction(Writer_object_count), METH_NOARGS,
     "object_count($self)\n--\n\nThe number of objects stored."},
    {"build", AsCFunction(Writer_build), kFastcall,
     "build($self, path, index=False, drop_unreferenced=False, compression=0, dictionary=None)\n--\n\n"
     "Write the store to path atomically, with a mapped index if index, without the objects "
     "no key maps to if drop_unreferenced, its values compressed at level compression (0: not) "
     "with dictionary or one trained; (objects, keys, file size). Prints nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kWriterSlots[] = {
    {Py_tp_doc, const_cast<char*>("Writer(path=None, memory_limit=0)\n--\n\nObjects and keys built into a store; with memory_limit, values beyond it "
                                  "go to a temporary file (path's, when given) as they are added.")},
    {Py_tp_new, reinterpret_cast<void*>(Writer_new)},
    {Py_tp_methods, kWriterMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(Writer_dealloc)},
    {0, nullptr},
};

PyType_Spec kWriterSpec = {"kalvex._native.Writer", static_cast<int>(sizeof(Instance<kalvex_writer>)), 0,
                           Py_TPFLAGS_DEFAULT, kWriterSlots};

std::atomic<PyObject*> writer_type{nullptr};

}  // namespace

PyObject* WriterType() {
  return CreatedOnce(writer_type, [] { return PyType_FromSpec(&kWriterSpec); });
}

}  // namespace kalvex::native
