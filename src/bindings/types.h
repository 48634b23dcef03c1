// The module's two classes, each created once per process on first need.
// Both return a borrowed reference kept for the life of the process, or nullptr with
// the creation error set.
#pragma once

#include <Python.h>

namespace kalvex::bindings {

PyObject* WriterType();
PyObject* ReaderType();

// The receiver check of every method: `self` must be an instance of `type` or a
// subtype. Raises TypeError "'{}' object is not an instance of '{}'" otherwise.
bool CheckReceiver(PyObject* self, PyObject* type, const char* class_name);

}  // namespace kalvex::bindings
