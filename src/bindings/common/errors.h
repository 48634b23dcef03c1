// Internal failures as Python exceptions, and the boundary that keeps C++ exceptions in.
//
// Internal failures (broken invariants, C++ exceptions, result objects the interpreter
// could not create, KALVEX_INTERNAL from the C interface) raise the internal-failure
// class: it derives from BaseException, so an `except Exception` cannot swallow it, and
// one diagnostic goes to standard error. Store errors are failure.h's.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <string>

namespace kalvex::bindings {

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
  } catch (const std::exception& failure) {
    return RaiseInternalFailure(failure.what());
  } catch (...) {
    return RaiseInternalFailure("unknown C++ exception");
  }
}

}  // namespace kalvex::bindings
