// The method bodies both modules share, once their receiver is checked: each converts the
// arguments, calls the C interface, and builds the result or raises from the module's
// classes. The modules keep their own names, signatures and receivers.
#pragma once

#include <Python.h>

#include "bindings/common/convert.h"
#include "bindings/common/failure.h"
#include "bindings/common/results.h"
#include "kalvex.h"

namespace kalvex::bindings {

// tp_new of a reader class, `callable` its name in messages ("{Class}.__new__()"):
// parses (path, verify=True), opens the file (with `parse_index`, the index section
// parsed; see kalvex_open_options) and makes an instance of `type` owning the reader.
PyObject* OpenReader(PyTypeObject* type, const char* callable, PyObject* args, PyObject* kwargs,
                     bool parse_index, const ErrorClasses& classes);

// tp_new of a writer class: no arguments; an instance of `type` owning a new writer.
PyObject* NewWriter(PyTypeObject* type, const char* callable, PyObject* args, PyObject* kwargs,
                    const ErrorClasses& classes);

// The payload stored under `key` as bytes, or None. Inline: the hottest call of all.
inline PyObject* FindPayload(const kalvex_reader* reader, PyObject* key, const ErrorClasses& classes) {
  KeyBytes converted;
  if (!ConvertKey(key, converted)) return nullptr;
  kalvex_bytes payload;
  ErrorRecord error;
  const kalvex_status status =
      kalvex_reader_find(reader, converted.bytes().data(), converted.bytes().size(), &payload, error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error, classes);
  if (payload.data == nullptr) Py_RETURN_NONE;
  return NewBytes({payload.data, payload.size});
}

// Whether `key` is stored, as a bool.
inline PyObject* KeyExists(const kalvex_reader* reader, PyObject* key) {
  KeyBytes converted;
  if (!ConvertKey(key, converted)) return nullptr;
  return PyBool_FromLong(kalvex_reader_exists(reader, converted.bytes().data(), converted.bytes().size()));
}

// The deep check: True, or the store error.
PyObject* VerifyReader(const kalvex_reader* reader, const ErrorClasses& classes);

}  // namespace kalvex::bindings
