// Builders of the Python objects that queries hand back.
//
// Each returns a new reference, or nullptr after raising the internal failure: a result
// object the interpreter cannot create is reported as such, never as a store error.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace kalvex::bindings {

PyObject* NewBytes(std::span<const std::uint8_t> bytes);
// UTF-8 with one U+FFFD per maximal ill-formed subpart; never fails on the input.
PyObject* NewKeyText(std::span<const std::uint8_t> key);
PyObject* NewText(std::string_view utf8);
PyObject* NewUnsigned(std::uint64_t value);
// A 2-tuple that takes over both references (released on failure too).
PyObject* NewPair(PyObject* first, PyObject* second);

// A store's metadata as both modules' stats() answer it.
struct StoreStats {
  std::string_view path;
  std::uint64_t version;
  std::uint64_t num_keys;
  std::uint64_t num_objects;
  std::uint64_t index_offset;
  std::uint64_t data_offset;
  std::uint64_t file_size;
  std::uint32_t file_crc32;
};

// {"path", "version", "num_keys", "num_objects", "index_offset", "data_offset",
//  "file_size_kb", "file_crc32"}, in that order; the CRC as "0x" and eight hex digits.
PyObject* NewStatsDict(const StoreStats& stats);

}  // namespace kalvex::bindings
