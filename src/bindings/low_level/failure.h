// kalvex._kalvex's exceptions for failed calls into the C interface: built-in classes,
// each built from exactly one argument, the whole message ("KalvError: ..."):
//   KalvCorruptError, KalvVersionError -> RuntimeError
//   KalvIOError                        -> OSError (one argument, so errno stays None)
//   KalvError                          -> ValueError
#pragma once

#include <Python.h>

#include "bindings/common/failure.h"
#include "kalvex.h"

namespace kalvex::bindings {

extern const ErrorClasses kBuiltinErrorClasses;

inline PyObject* RaiseFailure(kalvex_status status, const kalvex_error& error) {
  return RaiseFailure(status, error, kBuiltinErrorClasses);
}

}  // namespace kalvex::bindings
