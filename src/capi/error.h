// The C interface's error side: filling a kalvex_error and keeping C++ exceptions in.
//
// Every exported function that can fail runs its body inside Guarded(), so a
// std::bad_alloc becomes KALVEX_NO_MEMORY and any other exception KALVEX_INTERNAL; none
// crosses into C. Filling the error itself never throws: the message is copied with
// malloc, and a message that cannot be allocated is left NULL.
#pragma once

#include <new>
#include <string_view>

#include "core/internal_failure.h"
#include "core/store_error.h"
#include "kalvex.h"

namespace kalvex::capi {

// Replaces err's content with (kind, text); returns `status`. `err` may be NULL.
kalvex_status Fail(kalvex_error* err, kalvex_status status, int kind, std::string_view text) noexcept;

// KALVEX_STORE_ERROR with the error's kind and its rendered text.
kalvex_status FailWith(kalvex_error* err, const StoreError& error);

// A caller's mistake that the core never sees (a position past the end): KalvError.
kalvex_status FailInvalid(kalvex_error* err, std::string detail);

template <class Body>
kalvex_status Guarded(kalvex_error* err, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(err, KALVEX_NO_MEMORY, -1, "out of memory");
  } catch (const InternalFailure& failure) {
    return Fail(err, KALVEX_INTERNAL, -1, failure.what());
  } catch (const std::exception& failure) {
    return Fail(err, KALVEX_INTERNAL, -1, failure.what());
  } catch (...) {
    return Fail(err, KALVEX_INTERNAL, -1, "unknown C++ exception");
  }
}

}  // namespace kalvex::capi
