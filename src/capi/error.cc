#include "capi/error.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace kalvex::capi {

kalvex_status Fail(kalvex_error* err, kalvex_status status, int kind, std::string_view text) noexcept {
  if (err == nullptr) return status;
  std::free(err->message);
  err->kind = kind;
  err->message = static_cast<char*>(std::malloc(text.size() + 1));
  err->message_size = err->message != nullptr ? text.size() : 0;
  if (err->message != nullptr) {
    std::memcpy(err->message, text.data(), text.size());
    err->message[text.size()] = '\0';
  }
  return status;
}

kalvex_status FailWith(kalvex_error* err, const StoreError& error) {
  if (err == nullptr) return KALVEX_STORE_ERROR;
  return Fail(err, KALVEX_STORE_ERROR, static_cast<int>(error.kind()), error.Render());
}

kalvex_status FailInvalid(kalvex_error* err, std::string detail) {
  return FailWith(err, StoreError::Invalid(std::move(detail)));
}

}  // namespace kalvex::capi

extern "C" void kalvex_error_clear(kalvex_error* err) {
  if (err == nullptr) return;
  std::free(err->message);
  err->kind = -1;
  err->message = nullptr;
  err->message_size = 0;
}

// The C kinds are the core's kinds, ordinal for ordinal.
static_assert(static_cast<int>(kalvex::ErrorKind::kCorrupt) == KALVEX_KIND_CORRUPT);
static_assert(static_cast<int>(kalvex::ErrorKind::kVersion) == KALVEX_KIND_VERSION);
static_assert(static_cast<int>(kalvex::ErrorKind::kIO) == KALVEX_KIND_IO);
static_assert(static_cast<int>(kalvex::ErrorKind::kInvalid) == KALVEX_KIND_ERROR);
