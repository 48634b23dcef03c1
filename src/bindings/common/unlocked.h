// Long core work with the interpreter lock let go, so that other threads run meanwhile.
//
// REQUIRES of a caller of Unlocked():
//   - it holds a use of the instance (shared for a reader, exclusive for a writer: the
//     writer's const calls still finish deferred work), taken before and given back after,
//     so that every operation on the borrow counter stays under the lock (borrow.h); or
//     the state is one no instance holds (being opened, or freed with its instance);
//   - `work` touches no Python object and nothing a Python object owns that another
//     thread could change or free: only the native state, which the use protects, and
//     buffers of the caller's own (a str's UTF-8 form is immutable and lives as long as the
//     caller's reference to it).
// A short call keeps the lock: letting it go and taking it back costs more than a lookup,
// and when another thread is busy in Python the way back waits for its switch interval.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

namespace kalvex::bindings {

// Batches from this many entries (keys of find_many, positions of a chunk) are worth the
// round trip of the lock: at ~100 ns an entry the work is tens of microseconds, the round
// trip a fraction of one when nobody waits.
inline constexpr std::size_t kUnlockedFromEntries = 256;

// Returns work() run without the interpreter lock; takes the lock back on every exit.
template <class Work>
auto Unlocked(Work&& work) {
  struct Relock {
    PyThreadState* saved;
    ~Relock() { PyEval_RestoreThread(saved); }
  } relock{PyEval_SaveThread()};
  return std::forward<Work>(work)();
}

// work() without the lock when `unlock`, else with it.
template <class Work>
auto UnlockedIf(bool unlock, Work&& work) {
  return unlock ? Unlocked(std::forward<Work>(work)) : std::forward<Work>(work)();
}

}  // namespace kalvex::bindings
