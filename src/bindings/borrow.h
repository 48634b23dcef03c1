// The per-instance borrow counter and the scopes that hold a use of it.
//
// Counter values: 0 free, n > 0 held by n shared uses, -1 held by one exclusive use.
// Under the interpreter lock a conflict only arises when Python code run inside a call
// (an __index__, a key sequence's iteration) reaches the same instance again; the
// counter is atomic anyway so it stays right without relying on that lock.
//
// A use is given back by the scope's destructor, so every exit path returns it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace kalvex::bindings {

class BorrowCounter {
 public:
  bool TryShared() {
    std::intptr_t seen = value_.load(std::memory_order_relaxed);
    do {
      if (seen == -1) return false;
    } while (!value_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void ReleaseShared() { value_.fetch_sub(1, std::memory_order_release); }

  bool TryExclusive() {
    std::intptr_t expected = 0;
    return value_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void ReleaseExclusive() { value_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::intptr_t> value_{0};
};

// Holds shared use for its lifetime. When !held(), "Already mutably borrowed" is raised.
class SharedUse {
 public:
  explicit SharedUse(BorrowCounter& counter) : counter_(counter), held_(counter.TryShared()) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedUse() {
    if (held_) counter_.ReleaseShared();
  }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;
  bool held() const { return held_; }

 private:
  BorrowCounter& counter_;
  bool held_;
};

// Holds exclusive use for its lifetime. When !held(), "Already borrowed" is raised.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(BorrowCounter& counter) : counter_(counter), held_(counter.TryExclusive()) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveUse() {
    if (held_) counter_.ReleaseExclusive();
  }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;
  bool held() const { return held_; }

 private:
  BorrowCounter& counter_;
  bool held_;
};

}  // namespace kalvex::bindings
