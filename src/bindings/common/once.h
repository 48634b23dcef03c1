// A Python object created once per process, on first need.
//
// Creation runs with the interpreter lock held and may itself run Python code that lets
// the lock go; a second thread can then start its own creation. Both finish (nobody
// waits on anybody, so there is no deadlock), the first to publish wins, and the loser
// drops its copy: every caller sees the same object for the rest of the process.
#pragma once

#include <Python.h>

#include <atomic>

namespace kalvex::bindings {

// Returns a borrowed reference kept alive by `slot` forever, or nullptr with an error set.
template <class Make>
PyObject* CreatedOnce(std::atomic<PyObject*>& slot, Make make) {
  if (PyObject* existing = slot.load(std::memory_order_acquire)) return existing;
  PyObject* created = make();
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

// An interned str created once per process; borrowed, or nullptr with an error set.
PyObject* InternedName(std::atomic<PyObject*>& slot, const char* text);

}  // namespace kalvex::bindings
