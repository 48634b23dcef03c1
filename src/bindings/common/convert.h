// Conversion of Python argument values into the values the store works with.
//
// Each function returns false with a Python exception set on failure. Named arguments
// (path, verify, raw_bytes, obj_id) go through WrapArgumentError() at the call site;
// key conversion never does: every key failure is ValueError "key must be str or bytes".
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kalvex::bindings {

// Key bytes: borrowed from an exact str/bytes argument when possible (the argument
// outlives the call), copied otherwise. Not movable: `data` may point into `storage_`.
class KeyBytes {
 public:
  KeyBytes() = default;
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  friend bool ConvertKey(PyObject* object, KeyBytes& out);
  friend bool ConvertAnyKey(PyObject* object, KeyBytes& out);
  friend bool ConvertAnyPackageKey(PyObject* object, KeyBytes& out);  // bindings/native/key.h
  void Borrow(const char* data, Py_ssize_t size) {
    data_ = reinterpret_cast<const std::uint8_t*>(data);
    size_ = static_cast<std::size_t>(size);
  }
  void Own() {
    data_ = reinterpret_cast<const std::uint8_t*>(storage_.data());
    size_ = storage_.size();
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::string storage_;
};

// ConvertKey for every kind of key, out of line.
bool ConvertAnyKey(PyObject* object, KeyBytes& out);

// str (UTF-8), bytes, bytearray, or a non-str sequence of ints 0..255.
inline bool ConvertKey(PyObject* object, KeyBytes& out) {
#ifndef PYPY_VERSION
  // Most keys are plain ASCII str, whose characters are their UTF-8 bytes, stored right
  // behind the object: taken here without a call, as they sit on every lookup's path.
  if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) {
    out.Borrow(static_cast<const char*>(PyUnicode_DATA(object)), PyUnicode_GET_LENGTH(object));
    return true;
  }
#endif
  return ConvertAnyKey(object, out);
}

// A batch of keys, a list or tuple, as a new reference to a tuple (a tuple as it is), so
// that Python code run by the conversion of one key (a sequence of ints) cannot change the
// batch under the loop or drop keys already borrowed from it. nullptr with TypeError for
// any other type.
PyObject* KeysTuple(PyObject* keys);

// A bytes object (or subclass); the view borrows the argument's buffer for the call.
bool ConvertBytes(PyObject* object, std::span<const std::uint8_t>& out);

// An int, or anything with __index__, in 0..2**64-1.
bool ConvertU64(PyObject* object, std::uint64_t& out);

// A str (or subclass) as its UTF-8 text; lone surrogates raise the encoding error.
bool ConvertText(PyObject* object, std::string_view& out);

// True/False, or a NumPy boolean scalar through its type's __bool__.
bool ConvertBool(PyObject* object, bool& out);

// Turns a pending exception of class exactly TypeError into
// TypeError("argument '{name}': {text}") with the original __cause__; leaves any other
// exception as it is. Always returns nullptr, for `return WrapArgumentError(...)`.
PyObject* WrapArgumentError(const char* name);

// Raises TypeError "'{type}' object is not an instance of '{expected}'"
// ("'None' is not an instance of '{expected}'" for None). Returns false.
bool RaiseTypeMismatch(PyObject* object, const char* expected);

// The qualified name of `type` as UTF-8, or "<failed to extract type name>".
std::string QualifiedTypeName(PyTypeObject* type);

}  // namespace kalvex::bindings
