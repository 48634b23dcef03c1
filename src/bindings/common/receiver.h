// The receiver check and the entry of every method of the two classes.
//
// A method first parses its arguments (args.h), then enters the instance: checks that
// `self` is an instance of its class, takes a use of the instance's borrow counter for
// the rest of the call, and only then sees the native state.
#pragma once

#include <Python.h>

#include "bindings/common/instance.h"

namespace kalvex::bindings {

// Raises TypeError "'{}' object is not an instance of '{}'" and returns false; or
// returns false with the class's creation error standing when `type` is null.
bool RejectReceiver(PyObject* self, PyObject* type, const char* class_name);

// `self` must be an instance of `type` or a subtype. The exact type, by far the common
// case, is settled without a call.
inline bool CheckReceiver(PyObject* self, PyObject* type, const char* class_name) {
  if (type != nullptr && (Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(type) ||
                          PyType_IsSubtype(Py_TYPE(self), reinterpret_cast<PyTypeObject*>(type)))) {
    return true;
  }
  return RejectReceiver(self, type, class_name);
}

// Runs `body(state)` as a method of `type`, holding `Use` (SharedUse or ExclusiveUse) of
// the instance for the call. Returns nullptr with an error set when the receiver is
// wrong or the use cannot be had; otherwise what the body returns.
template <class State, class Use, class Body>
PyObject* Enter(PyObject* self, PyObject* type, const char* class_name, Body&& body) {
  if (!CheckReceiver(self, type, class_name)) return nullptr;
  Instance<State>* instance = AsInstance<State>(self);
  Use use(instance->borrow);
  if (!use.held()) return nullptr;
  return body(*instance->state);
}

}  // namespace kalvex::bindings
