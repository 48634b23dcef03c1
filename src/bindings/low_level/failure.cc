#include "bindings/low_level/failure.h"

namespace kalvex::bindings {
namespace {

PyObject* BuiltinFor(int kind) {
  switch (kind) {
    case KALVEX_KIND_CORRUPT:
    case KALVEX_KIND_VERSION:
      return PyExc_RuntimeError;
    case KALVEX_KIND_IO:
      return PyExc_OSError;
    default:
      return PyExc_ValueError;
  }
}

PyObject* ClassFor(int kind) {
  PyObject* cls = BuiltinFor(kind);
  Py_INCREF(cls);
  return cls;
}

}  // namespace

const ErrorClasses kBuiltinErrorClasses{ClassFor, /*named_kinds=*/false};

}  // namespace kalvex::bindings
