#include "bindings/results.h"

#include "bindings/errors.h"

namespace kalvex::bindings {

PyObject* NewBytes(std::span<const std::uint8_t> bytes) {
  PyObject* object = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<Py_ssize_t>(bytes.size()));
  return object != nullptr ? object : RaiseCreationFailure();
}

PyObject* NewKeyText(std::span<const std::uint8_t> key) {
  // The interpreter's "replace" handler substitutes per maximal subpart, as keys require.
  PyObject* object = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(key.data()),
                                          static_cast<Py_ssize_t>(key.size()), "replace");
  return object != nullptr ? object : RaiseCreationFailure();
}

PyObject* NewText(std::string_view utf8) {
  PyObject* object = PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
  return object != nullptr ? object : RaiseCreationFailure();
}

PyObject* NewUnsigned(std::uint64_t value) {
  PyObject* object = PyLong_FromUnsignedLongLong(value);
  return object != nullptr ? object : RaiseCreationFailure();
}

PyObject* NewPair(PyObject* first, PyObject* second) {
  if (first == nullptr || second == nullptr) {
    Py_XDECREF(first);
    Py_XDECREF(second);
    return nullptr;
  }
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) {
    Py_DECREF(first);
    Py_DECREF(second);
    return RaiseCreationFailure();
  }
  PyTuple_SET_ITEM(pair, 0, first);
  PyTuple_SET_ITEM(pair, 1, second);
  return pair;
}

}  // namespace kalvex::bindings
