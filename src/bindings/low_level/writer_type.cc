// _KalvWriter: the Python face of a writer of the C interface.
//
// Every entry has one shape: parse, check the receiver, take use, convert, call the C
// interface, build the result or raise. add_object_raw and add_key take exclusive use;
// build and the repr take shared use.
#include <atomic>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

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
#include "bindings/low_level/failure.h"
#include "bindings/low_level/writer_type.h"
#include "kalvex.h"

namespace kalvex::bindings {
namespace {

using WriterInstance = Instance<kalvex_writer>;
constexpr const char* kClassName = "_KalvWriter";

constexpr const char* kAddObjectParams[] = {"raw_bytes"};
constexpr const char* kAddKeyParams[] = {"key", "obj_id"};
constexpr const char* kBuildParams[] = {"path"};

constexpr ParamList kAddObjectSignature{"_KalvWriter.add_object_raw()", kAddObjectParams, 1};
constexpr ParamList kAddKeySignature{"_KalvWriter.add_key()", kAddKeyParams, 2};
constexpr ParamList kBuildSignature{"_KalvWriter.build()", kBuildParams, 1};

// Growing the writer takes exclusive use; reading it (build, repr) shared use.
template <class Use, class Body>
PyObject* EnterWriter(PyObject* self, Body&& body) {
  return Enter<kalvex_writer, Use>(self, WriterType(), kClassName, [&](kalvex_writer& w) { return body(&w); });
}

PyObject* Writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&] { return NewWriter(type, "_KalvWriter.__new__()", args, kwargs, kBuiltinErrorClasses); });
}

void Writer_dealloc(PyObject* self) { DeallocInstance<kalvex_writer, FreeWriter>(self); }

PyObject* Writer_add_object_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kAddObjectParams)];
    if (!ParseFastcall(kAddObjectSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<ExclusiveUse>(self, [&](kalvex_writer* w) -> PyObject* {
      std::span<const std::uint8_t> payload;
      if (!ConvertBytes(slots[0], payload)) return WrapArgumentError("raw_bytes");
      std::uint64_t id = 0;
      ErrorRecord error;
      const kalvex_status status = kalvex_writer_add_object(w, payload.data(), payload.size(), &id, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      return NewUnsigned(id);
    });
  });
}

PyObject* Writer_add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kAddKeyParams)];
    if (!ParseFastcall(kAddKeySignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<ExclusiveUse>(self, [&](kalvex_writer* w) -> PyObject* {
      // obj_id first: with both arguments wrong, the obj_id failure is the one reported.
      std::uint64_t obj_id = 0;
      if (!ConvertU64(slots[1], obj_id)) return WrapArgumentError("obj_id");
      KeyBytes key;
      if (!ConvertKey(slots[0], key)) return nullptr;
      ErrorRecord error;
      const kalvex_status status = kalvex_writer_add_key(w, key.bytes().data(), key.bytes().size(), obj_id, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      Py_RETURN_NONE;
    });
  });
}

PyObject* Writer_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kBuildParams)];
    if (!ParseFastcall(kBuildSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<SharedUse>(self, [&](kalvex_writer* w) -> PyObject* {
      std::string_view path;
      if (!ConvertText(slots[0], path)) return WrapArgumentError("path");
      ErrorRecord error;
      const kalvex_status status = kalvex_writer_build(w, path.data(), path.size(), /*print_summary=*/1, nullptr, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      Py_RETURN_NONE;
    });
  });
}

PyObject* Writer_repr(PyObject* self) {
  return Guarded([&]() -> PyObject* {
    return EnterWriter<SharedUse>(self, [&](kalvex_writer* w) -> PyObject* {
      std::uint64_t keys = 0;
      ErrorRecord error;
      const kalvex_status status = kalvex_writer_num_keys(w, &keys, error.get());
      if (status != KALVEX_OK) return RaiseFailure(status, *error);
      const std::string text = "_KalvWriter(objects=" + std::to_string(kalvex_writer_num_objects(w)) +
                               ", keys=" + std::to_string(keys) + ")";
      return NewText(text);
    });
  });
}

PyMethodDef kWriterMethods[] = {
    {"add_object_raw", AsCFunction(Writer_add_object_raw), kFastcall,
     "add_object_raw($self, raw_bytes)\n--\n\n"
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."},
    {"add_key", AsCFunction(Writer_add_key), kFastcall,
     "add_key($self, key, obj_id)\n--\n\n"
     "Map *key* (str or bytes) to *obj_id*."},
    {"build", AsCFunction(Writer_build), kFastcall,
     "build($self, path)\n--\n\n"
     "Atomically write the `.klvx` file: tmp \u2192 fsync \u2192 rename."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kWriterDoc[] =
    "_KalvWriter()\n"
    "--\n"
    "\n"
    "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
    "**Use `kalvex.KalvWriter` (Python wrapper) instead of this directly.**";

PyType_Slot kWriterSlots[] = {
    {Py_tp_doc, const_cast<char*>(kWriterDoc)},
    {Py_tp_new, reinterpret_cast<void*>(Writer_new)},
    {Py_tp_repr, reinterpret_cast<void*>(Writer_repr)},
    {Py_tp_methods, kWriterMethods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Writer_dealloc)},
    {0, nullptr},
};

PyType_Spec kWriterSpec = {
    "builtins._KalvWriter",
    static_cast<int>(sizeof(WriterInstance)),
    0,
    0,  // no subclassing, no __dict__, no weak references, not GC-tracked
    kWriterSlots,
};

std::atomic<PyObject*> writer_type{nullptr};

}  // namespace

PyObject* WriterType() {
  return CreatedOnce(writer_type, [] { return PyType_FromSpec(&kWriterSpec); });
}

}  // namespace kalvex::bindings
