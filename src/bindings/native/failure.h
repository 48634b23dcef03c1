// The package's exceptions for failed calls into the C interface.
//
// A store error becomes the kalvex.errors class its kind names, built from the error's
// detail (the message without the kind's name: the class names it). A KalvIOError also
// gets `errno` (None when the store refused the path on its own judgement) and
// `filename` (None when no file was involved) from the error record. kalvex.errors is
// imported at the first failure, never at module import, so loading this module does
// not depend on the package having finished its own import.
#pragma once

#include <Python.h>

#include "kalvex.h"

namespace kalvex::native {

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

// Raises the exception for `status` (not KALVEX_OK) as `error` describes it; returns
// nullptr, for `return RaiseFailure(...)`.
PyObject* RaiseFailure(kalvex_status status, const kalvex_error& error);

// Raises kalvex.errors.closed_error(): any use of a reader after close().
PyObject* RaiseClosed();

}  // namespace kalvex::native
