// The mapping of store errors and internal failures onto Python exceptions.
//
// This is the only place where a StoreError becomes a Python exception:
//   KalvCorruptError, KalvVersionError -> RuntimeError
//   KalvIOError                        -> OSError (one argument, so errno stays None)
//   KalvError                          -> ValueError
// each built from exactly one argument, the rendered text.
//
// Internal failures (broken invariants, C++ exceptions, result objects the interpreter
// could not create) raise the internal-failure class: it derives from BaseException, so
// an `except Exception` cannot swallow it, and one diagnostic goes to standard error.
#pragma once

#include <Python.h>

#include <new>
#include <source_location>
#include <string>

#include "core/internal_failure.h"
#include "core/store_error.h"

namespace kalvex::bindings {

// Sets the Python exception for `error` and returns nullptr (the failure value).
PyObject* RaiseStoreError(const StoreError& error);

// Sets the internal-failure exception with `text` after a diagnostic naming `where`.
PyObject* RaiseInternalFailure(const std::string& text,
                               std::source_location where = std::source_location::current());

// For a result object the interpreter failed to create: reports the pending error as
// unraisable, then raises the internal failure in its place.
PyObject* RaiseCreationFailure(std::source_location where = std::source_location::current());

// Runs an entry point's body and stops every C++ exception at the boundary:
// std::bad_alloc becomes MemoryError, anything else the internal failure.
template <class Body>
PyObject* Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const InternalFailure& failure) {
    return RaiseInternalFailure(failure.what(), failure.where());
  } catch (const std::exception& failure) {
    return RaiseInternalFailure(failure.what());
  } catch (...) {
    return RaiseInternalFailure("unknown C++ exception");
  }
}

}  // namespace kalvex::bindings
