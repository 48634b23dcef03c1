// _KalvWriter: the Python face of the core writer.
//
// Every entry has one shape: parse, check the receiver, take use, convert, call the
// core, build the result or raise. add_object_raw and add_key take exclusive use;
// build and the repr take shared use.
#include <atomic>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "bindings/common/args.h"
#include "bindings/common/convert.h"
#include "bindings/common/errors.h"
#include "bindings/common/instance.h"
#include "bindings/common/once.h"
#include "bindings/common/py_ref.h"
#include "bindings/common/results.h"
#include "bindings/common/receiver.h"
#include "bindings/spec/writer_type.h"
#include "core/writer/summary_line.h"
#include "core/writer/writer.h"

namespace kalvex::bindings {
namespace {

using WriterInstance = Instance<writer::Writer>;
constexpr const char* kClassName = "_KalvWriter";

constexpr const char* kAddObjectParams[] = {"raw_bytes"};
constexpr const char* kAddKeyParams[] = {"key", "obj_id"};
constexpr const char* kBuildParams[] = {"path"};

constexpr ParamList kNewSignature{"_KalvWriter.__new__()"};
constexpr ParamList kAddObjectSignature{"_KalvWriter.add_object_raw()", kAddObjectParams, 1};
constexpr ParamList kAddKeySignature{"_KalvWriter.add_key()", kAddKeyParams, 2};
constexpr ParamList kBuildSignature{"_KalvWriter.build()", kBuildParams, 1};

// Growing the writer takes exclusive use; reading it (build, repr) shared use.
template <class Use, class Body>
PyObject* EnterWriter(PyObject* self, Body&& body) {
  return Enter<writer::Writer, Use>(self, WriterType(), kClassName, std::forward<Body>(body));
}

PyObject* Writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    if (!ParseTupleDict(kNewSignature, args, kwargs, nullptr)) return nullptr;
    return NewInstance(type, std::make_unique<writer::Writer>());
  });
}

void Writer_dealloc(PyObject* self) { DeallocInstance<writer::Writer>(self); }

PyObject* Writer_add_object_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kAddObjectParams)];
    if (!ParseFastcall(kAddObjectSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<ExclusiveUse>(self, [&](writer::Writer& w) -> PyObject* {
      std::span<const std::uint8_t> payload;
      if (!ConvertBytes(slots[0], payload)) return WrapArgumentError("raw_bytes");
      return NewUnsigned(w.AddObject(payload));
    });
  });
}

PyObject* Writer_add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kAddKeyParams)];
    if (!ParseFastcall(kAddKeySignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<ExclusiveUse>(self, [&](writer::Writer& w) -> PyObject* {
      // obj_id first: with both arguments wrong, the obj_id failure is the one reported.
      std::uint64_t obj_id = 0;
      if (!ConvertU64(slots[1], obj_id)) return WrapArgumentError("obj_id");
      KeyBytes key;
      if (!ConvertKey(slots[0], key)) return nullptr;
      Status added = w.AddKey(key.bytes(), obj_id);
      if (!added.ok()) return RaiseStoreError(added.error());
      Py_RETURN_NONE;
    });
  });
}

PyObject* Writer_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[std::size(kBuildParams)];
    if (!ParseFastcall(kBuildSignature, args, nargs, kwnames, slots)) return nullptr;
    return EnterWriter<SharedUse>(self, [&](writer::Writer& w) -> PyObject* {
      std::string_view path;
      if (!ConvertText(slots[0], path)) return WrapArgumentError("path");
      Result<writer::BuildReport> built = w.Build(path);
      if (!built.ok()) return RaiseStoreError(built.error());
      writer::PrintSummaryLine(path, built.value());
      Py_RETURN_NONE;
    });
  });
}

PyObject* Writer_repr(PyObject* self) {
  return Guarded([&]() -> PyObject* {
    return EnterWriter<SharedUse>(self, [&](writer::Writer& w) -> PyObject* {
      const std::string text = "_KalvWriter(objects=" + std::to_string(w.num_objects()) +
                               ", keys=" + std::to_string(w.num_keys()) + ")";
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
