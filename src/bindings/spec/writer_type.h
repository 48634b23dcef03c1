// _KalvWriter, created once per process on first need.
#pragma once

#include <Python.h>

namespace kalvex::bindings {

// A borrowed reference kept for the life of the process, or nullptr with the creation
// error set.
PyObject* WriterType();

}  // namespace kalvex::bindings
