// The package's exceptions: the kalvex.errors classes, by kind, for failed calls into
// the C interface (raised by bindings/common/failure.h), and the error of a closed reader.
// kalvex.errors is imported at the first failure, never at module import, so loading
// this module does not depend on the package having finished its own import.
#pragma once

#include <Python.h>

#include "bindings/common/failure.h"
#include "kalvex.h"

namespace kalvex::native {

using bindings::ErrorRecord;

extern const bindings::ErrorClasses kErrorClasses;

inline PyObject* RaiseFailure(kalvex_status status, const kalvex_error& error) {
  return bindings::RaiseFailure(status, error, kErrorClasses);
}

// Raises kalvex.errors.closed_error(): any use of a reader after close().
PyObject* RaiseClosed();

}  // namespace kalvex::native
