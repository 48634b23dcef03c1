// Failed calls into the C interface as Python exceptions: the only place where a
// kalvex_error becomes one, for both modules.
//
// Each module hands in its table of classes: kalvex._kalvex the built-in ones, built
// from the whole message (the kind's name leads it); kalvex._native the kalvex.errors
// classes, which name the kind themselves, so they get the detail alone, and an I/O
// error also gets `errno` (None when the store refused the path on its own judgement)
// and `filename` (None when no file was involved) from the record. KALVEX_NO_MEMORY is
// MemoryError and KALVEX_INTERNAL the internal failure (errors.h) in either module.
#pragma once

#include <Python.h>

#include "kalvex.h"

namespace kalvex::bindings {

// Owns one kalvex_error record for a call and clears it on every exit.
class ErrorRecord {
 public:
  ErrorRecord() = default;
  ~ErrorRecord() {
    if (error_.message != nullptr || error_.path != nullptr) kalvex_error_clear(&error_);
  }
  ErrorRecord(const ErrorRecord&) = delete;
  ErrorRecord& operator=(const ErrorRecord&) = delete;

  kalvex_error* get() { return &error_; }
  const kalvex_error& operator*() const { return error_; }

 private:
  kalvex_error error_ = KALVEX_ERROR_INIT;
};

// A module's exception classes for store errors.
struct ErrorClasses {
  // A new reference to the class of a kalvex_error_kind, or nullptr after raising.
  PyObject* (*class_for)(int kind);
  // The classes name the kind: build them from the detail, with an I/O error's facts.
  bool named_kinds;
};

// Raises the exception for `status` (not KALVEX_OK) as `error` describes it, a store
// error from `classes`; returns nullptr, for `return RaiseFailure(...)`.
PyObject* RaiseFailure(kalvex_status status, const kalvex_error& error, const ErrorClasses& classes);

}  // namespace kalvex::bindings
