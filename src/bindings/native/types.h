// The types of kalvex._native, each created once per process.
#pragma once

#include <Python.h>

namespace kalvex::native {

// Borrowed references, or nullptr with an error set.
PyObject* ReaderType();
PyObject* WriterType();

}  // namespace kalvex::native
