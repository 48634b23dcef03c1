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

}  // namespace kalvex::bindings
