#include "bindings/common/errors.h"

#include <atomic>
#include <cstdio>

#include "bindings/common/once.h"
#include "bindings/common/py_ref.h"

namespace kalvex::bindings {
namespace {

std::atomic<PyObject*> internal_failure_class{nullptr};

PyObject* InternalFailureClass() {
  return CreatedOnce(internal_failure_class, [] {
    return PyErr_NewExceptionWithDoc(
        "kalvex._kalvex.InternalFailure",
        "An invariant of kalvex's native core broke. This is a bug in kalvex, never a\n"
        "property of the data or the arguments; it derives from BaseException so that\n"
        "handlers for ordinary errors do not mistake it for one.",
        PyExc_BaseException, nullptr);
  });
}

PyObject* ClassFor(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kCorrupt:
    case ErrorKind::kVersion:
      return PyExc_RuntimeError;
    case ErrorKind::kIO:
      return PyExc_OSError;
    case ErrorKind::kInvalid:
      return PyExc_ValueError;
  }
  return PyExc_ValueError;
}

}  // namespace

PyObject* RaiseStoreError(const StoreError& error) {
  const std::string text = error.Render();
  PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return RaiseCreationFailure();
  // A one-element tuple makes the class receive the text as its single argument even
  // where PyErr_SetObject would unpack a tuple-valued message.
  PyRef args(PyTuple_Pack(1, message.get()));
  if (!args) return RaiseCreationFailure();
  PyErr_SetObject(ClassFor(error.kind()), args.get());
  return nullptr;
}

PyObject* RaiseInternalFailure(const std::string& text, std::source_location where) {
  const std::string shown = text.empty() ? std::string("internal failure in kalvex") : text;
  std::fprintf(stderr, "kalvex: internal failure at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), shown.c_str());
  std::fflush(stderr);
  PyObject* cls = InternalFailureClass();
  if (cls == nullptr) return nullptr;  // its creation error stands in its place
  PyRef message(PyUnicode_FromStringAndSize(shown.data(), static_cast<Py_ssize_t>(shown.size())));
  if (!message) return nullptr;
  PyErr_SetObject(cls, message.get());
  return nullptr;
}

PyObject* RaiseCreationFailure(std::source_location where) {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  return RaiseInternalFailure("the interpreter could not create a result object", where);
}

}  // namespace kalvex::bindings
