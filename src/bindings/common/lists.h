// Lists built from the C interface's answers, for both modules' listings.
//
// Each returns a new reference, or nullptr after raising; a list whose building fails
// releases what it holds so far.
#pragma once

#include <Python.h>

#include <cstddef>

#include "bindings/common/errors.h"
#include "bindings/common/py_ref.h"
#include "bindings/common/results.h"
#include "kalvex.h"

namespace kalvex::bindings {

// A list of `count` elements made by `make(i)`; every element is a new reference.
template <class Make>
PyObject* NewListOf(std::size_t count, Make make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return RaiseCreationFailure();
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* element = make(i);
    if (element == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), element);
  }
  return list.release();
}

// The C interface touched each record's first line for its bounds check; asking for the
// rest of the payload a few entries ahead of its copy lets that copy not wait.
inline void PrefetchAhead(const kalvex_bytes* payloads, std::size_t i, std::size_t count) {
  constexpr std::size_t kCopyAhead = 8;
  if (count - i > kCopyAhead && payloads[i + kCopyAhead].size != 0) {
    const kalvex_bytes& ahead = payloads[i + kCopyAhead];
    __builtin_prefetch(ahead.data + ahead.size - 1);
  }
}

// A copy of the payload at `i`, asking for the one a few ahead first.
inline PyObject* NewPayloadAt(const kalvex_bytes* payloads, std::size_t i, std::size_t count) {
  PrefetchAhead(payloads, i, count);
  return NewBytes({payloads[i].data, payloads[i].size});
}

// Copies of `count` payloads.
inline PyObject* NewPayloadList(const kalvex_bytes* payloads, std::size_t count) {
  return NewListOf(count, [&](std::size_t i) { return NewPayloadAt(payloads, i, count); });
}

// find_many's answers: bytes, or None where data is null (an absent key).
inline PyObject* NewFoundList(const kalvex_bytes* payloads, std::size_t count) {
  return NewListOf(count, [&](std::size_t i) -> PyObject* {
    if (payloads[i].data == nullptr) {
      PrefetchAhead(payloads, i, count);
      Py_INCREF(Py_None);
      return Py_None;
    }
    return NewPayloadAt(payloads, i, count);
  });
}

}  // namespace kalvex::bindings
