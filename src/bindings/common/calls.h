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

// How a module's reader class opens its files (see kalvex_open_options).
struct ReaderOpening {
  bool parse_index;  // parse the index section, ignoring the header's feature bits
  bool takes_check;  // a third parameter, check=False: records' CRCs and the index checked
  bool unlocked;     // the open and its checks run without the interpreter lock (unlocked.h)
};

// tp_new of a reader class, `callable` its name in messages ("{Class}.__new__()"):
// parses (path, verify=True[, check=False]), opens the file as `opening` says and makes an
// instance of `type` owning the reader. With check, the index is checked once at open
// (kalvex_reader_check_index), so that no miss or listing trusts it blind.
PyObject* OpenReader(PyTypeObject* type, const char* callable, PyObject* args, PyObject* kwargs,
                     ReaderOpening opening, const ErrorClasses& classes);

// tp_new of a writer class: an instance of `type` owning a new writer. Without
// `takes_options` it takes no arguments and the writer holds everything in memory until its
// build; with them it parses (path=None, memory_limit=0), kalvex_writer_options's fields.
PyObject* NewWriter(PyTypeObject* type, const char* callable, PyObject* args, PyObject* kwargs,
                    const ErrorClasses& classes, bool takes_options = false);

// What a module takes as a key: ConvertKey (the low-level module) or the package's
// stricter rule; a template argument, so that the hot calls inline it.
using KeyRule = bool (*)(PyObject*, KeyBytes&);

// The payload stored under `key` as bytes, or None. Inline: the hottest call of all.
template <KeyRule Convert>
inline PyObject* FindPayload(const kalvex_reader* reader, PyObject* key, const ErrorClasses& classes) {
  KeyBytes converted;
  if (!Convert(key, converted)) return nullptr;
  kalvex_bytes payload;
  ErrorRecord error;
  const kalvex_status status =
      kalvex_reader_find(reader, converted.bytes().data(), converted.bytes().size(), &payload, error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error, classes);
  if (payload.data == nullptr) Py_RETURN_NONE;
  return NewBytes({payload.data, payload.size});
}

// Whether `key` is stored, as a bool; damage met on the way is raised.
template <KeyRule Convert>
inline PyObject* KeyExists(const kalvex_reader* reader, PyObject* key, const ErrorClasses& classes) {
  KeyBytes converted;
  if (!Convert(key, converted)) return nullptr;
  int found = 0;
  ErrorRecord error;
  const kalvex_status status =
      kalvex_reader_exists(reader, converted.bytes().data(), converted.bytes().size(), &found, error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error, classes);
  return PyBool_FromLong(found);
}

// The deep check: True, or the store error. With `unlocked`, it runs without the
// interpreter lock; the caller holds a shared use of the reader (unlocked.h).
PyObject* VerifyReader(const kalvex_reader* reader, const ErrorClasses& classes, bool unlocked = false);

}  // namespace kalvex::bindings
