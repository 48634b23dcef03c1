// The per-instance borrow counter and the scopes that hold a use of it.
//
// Counter values: 0 free, n > 0 held by n shared uses, -1 held by one exclusive use.
// A conflict only arises when Python code run inside a call (an __index__, a key
// sequence's iteration) reaches the same instance again. Every use is taken and given
// back with the interpreter lock held (no method releases it), so the lock orders all
// accesses and a plain read and write suffice: a locked read-modify-write would cost a
// lookup a fifth of its time. A method that ever releases the lock while holding a use
// must make these operations atomic read-modify-writes again.
//
// A use is given back by the scope's destructor, so every exit path returns it.
#pragma once

#include <Python.h>

#include <cstdint>

namespace kalvex::bindings {

class BorrowCounter {
 public:
  bool TryShared() {
    const std::intptr_t seen = value_;
    if (seen == -1) return false;
    value_ = seen + 1;
    return true;
  }
  void ReleaseShared() { --value_; }

  bool TryExclusive() {
    if (value_ != 0) return false;
    value_ = -1;
    return true;
  }
  void ReleaseExclusive() { value_ = 0; }

 private:
  std::intptr_t value_ = 0;
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
