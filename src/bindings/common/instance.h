// The memory layout of an instance of either class, and its birth and death.
//
// An instance is the object header, a pointer to its native state (the writer or the
// reader of the core, owned by the instance) and the borrow counter. Instances hold no
// Python references, so the classes are not tracked by the cycle collector.
#pragma once

#include <Python.h>

#include <memory>
#include <new>

#include "bindings/common/borrow.h"
#include "bindings/common/errors.h"

namespace kalvex::bindings {

template <class State>
struct Instance {
  PyObject_HEAD
  State* state;
  BorrowCounter borrow;
};

template <class State>
Instance<State>* AsInstance(PyObject* self) {
  return reinterpret_cast<Instance<State>*>(self);
}

// Allocates an instance of `type` through object's tp_new and moves `state` into it.
// On failure the state is destroyed (its resources released) and nullptr returned.
// `Deleter` destroys the state, here and in DeallocInstance: `delete` for a core class,
// the C interface's free function for one of its opaque handles.
template <class State, class Deleter = std::default_delete<State>>
PyObject* NewInstance(PyTypeObject* type, std::unique_ptr<State, Deleter> state) {
  newfunc base_new = PyBaseObject_Type.tp_new;
  if (base_new == nullptr) {
    PyErr_SetString(PyExc_TypeError, "base type without tp_new");
    return nullptr;
  }
  PyObject* empty = PyTuple_New(0);
  if (empty == nullptr) return nullptr;
  PyObject* self = base_new(type, empty, nullptr);
  Py_DECREF(empty);
  if (self == nullptr) return nullptr;
  Instance<State>* instance = AsInstance<State>(self);
  instance->state = state.release();
  new (&instance->borrow) BorrowCounter();
  return self;
}

// The calling convention of every method that takes arguments.
inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// Method-table entries hold every calling convention's function under one pointer type.
template <class Fn>
PyCFunction AsCFunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

template <class State, class Deleter = std::default_delete<State>>
void DeallocInstance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Instance<State>* instance = AsInstance<State>(self);
  if (instance->state != nullptr) Deleter()(instance->state);
  instance->state = nullptr;
  instance->borrow.~BorrowCounter();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot == nullptr) {
    // Cannot raise from a deallocator: report and leak the memory rather than crash.
    RaiseInternalFailure("instance type has no tp_free");
    PyErr_WriteUnraisable(self);
    return;
  }
  free_slot(self);
  // Instances of heap types own a reference to their type.
  Py_DECREF(type);
}

}  // namespace kalvex::bindings
