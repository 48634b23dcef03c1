// The module's two classes, each created once per process on first need.
// Both return a borrowed reference kept for the life of the process, or nullptr with
// the creation error set.
#pragma once

#include <Python.h>

namespace kalvex::bindings {

PyObject* WriterType();
PyObject* ReaderType();

// Raises TypeError "'{}' object is not an instance of '{}'" and returns false; or
// returns false with the class's creation error standing when `type` is null.
bool RejectReceiver(PyObject* self, PyObject* type, const char* class_name);

// The receiver check of every method: `self` must be an instance of `type` or a
// subtype. The exact type, by far the common case, is settled without a call.
inline bool CheckReceiver(PyObject* self, PyObject* type, const char* class_name) {
  if (type != nullptr && (Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(type) ||
                          PyType_IsSubtype(Py_TYPE(self), reinterpret_cast<PyTypeObject*>(type)))) {
    return true;
  }
  return RejectReceiver(self, type, class_name);
}

}  // namespace kalvex::bindings
