// PyRef: owns exactly one strong reference to a Python object (or none).
//
// get() lends the pointer without touching the count; release() hands the reference
// to the caller, e.g. when returning a result to the interpreter. Borrowed pointers
// stay raw PyObject* and are never stored beyond the call that received them.
#pragma once

#include <Python.h>

#include <utility>

namespace kalvex::bindings {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference; nullptr is allowed (creation failed).
  explicit PyRef(PyObject* owned) : object_(owned) {}
  static PyRef Borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace kalvex::bindings
