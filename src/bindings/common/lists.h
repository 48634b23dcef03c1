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

// A copy of a payload: what a listing holds unless its module makes values otherwise
// (the package's module decodes a compressed store's values).
inline PyObject* CopyPayload(const kalvex_bytes& payload) { return NewBytes({payload.data, payload.size}); }

// The value made by `make` of the payload at `i`, asking for the one a few ahead first.
template <class Make>
inline PyObject* NewPayloadAt(const kalvex_bytes* payloads, std::size_t i, std::size_t count, Make make) {
  PrefetchAhead(payloads, i, count);
  return make(payloads[i]);
}
inline PyObject* NewPayloadAt(const kalvex_bytes* payloads, std::size_t i, std::size_t count) {
  return NewPayloadAt(payloads, i, count, CopyPayload);
}

// The values of `count` payloads, made by `make` (copies by default).
template <class Make>
inline PyObject* NewPayloadList(const kalvex_bytes* payloads, std::size_t count, Make make) {
  return NewListOf(count, [&](std::size_t i) { return NewPayloadAt(payloads, i, count, make); });
}
inline PyObject* NewPayloadList(const kalvex_bytes* payloads, std::size_t count) {
  return NewPayloadList(payloads, count, CopyPayload);
}

// find_many's answers: a value made by `make` (a copy by default), or None where data is
// null (an absent key).
template <class Make>
inline PyObject* NewFoundList(const kalvex_bytes* payloads, std::size_t count, Make make) {
  return NewListOf(count, [&](std::size_t i) -> PyObject* {
    if (payloads[i].data == nullptr) {
      PrefetchAhead(payloads, i, count);
      Py_INCREF(Py_None);
      return Py_None;
    }
    return NewPayloadAt(payloads, i, count, make);
  });
}
inline PyObject* NewFoundList(const kalvex_bytes* payloads, std::size_t count) {
  return NewFoundList(payloads, count, CopyPayload);
}

}  // namespace kalvex::bindings
