// What the package takes as a key, at the native module's door: exactly a str (subclasses
// included), bytes (subclasses included), bytearray or memoryview, the rule of as_bytes in
// kalvex/_codec.py, which the cffi binding calls. Anything else is TypeError "key must be
// str, bytes, bytearray or memoryview, not {type}", the text of _codec.key_type_error; a
// str with no UTF-8 form stays the ValueError of ConvertKey, which the package words.
//
// The specified module keeps ConvertKey, which also takes a sequence of ints: that a list
// or tuple of small ints is a key is its contract, not the package's.
#pragma once

#include <Python.h>

#include "bindings/convert.h"

namespace kalvex::bindings {

// ConvertPackageKey for everything but a compact ASCII str, out of line.
bool ConvertAnyPackageKey(PyObject* object, KeyBytes& out);

inline bool ConvertPackageKey(PyObject* object, KeyBytes& out) {
#ifndef PYPY_VERSION
  // The hot path of every lookup, as in ConvertKey: an exact ASCII str without a call.
  if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) return ConvertKey(object, out);
#endif
  return ConvertAnyPackageKey(object, out);
}

}  // namespace kalvex::bindings
