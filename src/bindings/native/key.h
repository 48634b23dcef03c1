// What the package takes as a key, at the native module's door: exactly a str (subclasses
// included), bytes (subclasses included), bytearray or memoryview, the rule of as_bytes in
// kalvex/_codec.py, which the cffi binding calls. Anything else is TypeError "key must be
// str, bytes, bytearray or memoryview, not {type}", the text of _codec.key_type_error; a
// str with no UTF-8 form stays the ValueError of ConvertKey, which the package words.
//
// The low-level module keeps ConvertKey, which also takes a sequence of ints: that a list
// or tuple of small ints is a key is its contract, not the package's.
#pragma once

#include <Python.h>

#include "bindings/common/convert.h"

namespace kalvex::bindings {

// ConvertPackageKey for a memoryview or a type that is no key, out of line.
bool ConvertAnyPackageKey(PyObject* object, KeyBytes& out);

inline bool ConvertPackageKey(PyObject* object, KeyBytes& out) {
  // str, bytes and bytearray take ConvertKey's own paths (an ASCII str inline, without a
  // call), so that their lookups cost what they cost before: a flag test or two more.
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object)) return ConvertKey(object, out);
  return ConvertAnyPackageKey(object, out);
}

}  // namespace kalvex::bindings
