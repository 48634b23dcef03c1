#include "bindings/common/results.h"

#include <cstdint>
#include <cstring>

#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "core/reader/reader.h"

namespace kalvex::bindings {

PyObject* NewBytes(std::span<const std::uint8_t> bytes) {
  PyObject* object = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<Py_ssize_t>(bytes.size()));
  return object != nullptr ? object : RaiseCreationFailure();
}

#ifndef PYPY_VERSION
namespace {
// True when every byte is below 0x80; eight at a time.
bool IsAscii(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  std::uint64_t high = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    high |= word;
  }
  for (; i < bytes.size(); ++i) high |= bytes[i];
  return (high & 0x8080808080808080ull) == 0;
}
}  // namespace
#endif

PyObject* NewKeyText(std::span<const std::uint8_t> key) {
#ifndef PYPY_VERSION
  // Listings make a str of every key, and keys are mostly ASCII, whose UTF-8 bytes are
  // the characters themselves: copied straight into a new one-byte-per-character str.
  // Keys of one character keep going through the decoder, which hands out the shared
  // objects the interpreter keeps for them.
  if (key.size() > 1 && IsAscii(key)) {
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127);
    if (object == nullptr) return RaiseCreationFailure();
    std::memcpy(PyUnicode_DATA(object), key.data(), key.size());
    return object;
  }
#endif
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

namespace {

// Sets dict[name] = value, taking over `value`. False with an error set on failure.
bool SetItem(PyObject* dict, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  PyRef owned(value);
  return PyDict_SetItemString(dict, name, value) == 0;
}

}  // namespace

PyObject* NewStatsDict(const StoreStats& s) {
  PyRef stats(PyDict_New());
  if (!stats) return RaiseCreationFailure();
  // The size is exact as a double below 2**53; the scale by 2**-10 adds no rounding.
  const double size_kb = static_cast<double>(s.file_size) * 0.0009765625;
  const bool filled = SetItem(stats.get(), "path", NewText(s.path)) &&
                      SetItem(stats.get(), "version", NewUnsigned(s.version)) &&
                      SetItem(stats.get(), "num_keys", NewUnsigned(s.num_keys)) &&
                      SetItem(stats.get(), "num_objects", NewUnsigned(s.num_objects)) &&
                      SetItem(stats.get(), "index_offset", NewUnsigned(s.index_offset)) &&
                      SetItem(stats.get(), "data_offset", NewUnsigned(s.data_offset)) &&
                      SetItem(stats.get(), "file_size_kb", PyFloat_FromDouble(size_kb)) &&
                      SetItem(stats.get(), "file_crc32", NewText(reader::FormatCrc(s.file_crc32)));
  if (!filled) return nullptr;
  return stats.release();
}

}  // namespace kalvex::bindings
