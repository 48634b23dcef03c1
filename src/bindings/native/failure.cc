#include "bindings/native/failure.h"

#include <atomic>

#include "bindings/common/once.h"
#include "bindings/common/py_ref.h"

namespace kalvex::native {
namespace {

using bindings::PyRef;

std::atomic<PyObject*> errors_module{nullptr};

PyObject* ErrorsModule() {
  return bindings::CreatedOnce(errors_module, [] { return PyImport_ImportModule("kalvex.errors"); });
}

// The class of each kalvex_error_kind, by its name in kalvex.errors.
PyObject* ClassFor(int kind) {
  PyObject* module = ErrorsModule();
  if (module == nullptr) return nullptr;
  switch (kind) {
    case KALVEX_KIND_CORRUPT:
      return PyObject_GetAttrString(module, "KalvCorruptError");
    case KALVEX_KIND_VERSION:
      return PyObject_GetAttrString(module, "KalvVersionError");
    case KALVEX_KIND_IO:
      return PyObject_GetAttrString(module, "KalvIOError");
    default:
      return PyObject_GetAttrString(module, "KalvError");
  }
}

}  // namespace

const bindings::ErrorClasses kErrorClasses{ClassFor, /*named_kinds=*/true};

PyObject* RaiseClosed() {
  PyObject* module = ErrorsModule();
  if (module == nullptr) return nullptr;
  PyRef exception(PyObject_CallMethod(module, "closed_error", nullptr));
  if (!exception) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace kalvex::native
