#include "capi/error.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace kalvex::capi {

namespace {

// A NUL-terminated malloc'd copy of `text` and its size; NULL and 0 when out of memory.
char* CopyText(std::string_view text, size_t* size) noexcept {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  *size = copy != nullptr ? text.size() : 0;
  if (copy != nullptr) {
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
  }
  return copy;
}

}  // namespace

kalvex_status Fail(kalvex_error* err, kalvex_status status, int kind, std::string_view text) noexcept {
  if (err == nullptr) return status;
  kalvex_error_clear(err);
  err->kind = kind;
  err->message = CopyText(text, &err->message_size);
  return status;
}

kalvex_status FailWith(kalvex_error* err, const StoreError& error) {
  if (err == nullptr) return KALVEX_STORE_ERROR;
  const std::string text = error.Render();
  Fail(err, KALVEX_STORE_ERROR, static_cast<int>(error.kind()), text);
  // Render() ends in Describe(): the detail is the message's tail of that length.
  if (err->message != nullptr) err->detail_offset = text.size() - error.Describe().size();
  err->os_errno = error.os_error();
  if (!error.path().empty()) err->path = CopyText(error.path(), &err->path_size);
  return KALVEX_STORE_ERROR;
}

kalvex_status FailInvalid(kalvex_error* err, std::string detail) {
  return FailWith(err, StoreError::Invalid(std::move(detail)));
}

}  // namespace kalvex::capi

extern "C" void kalvex_error_clear(kalvex_error* err) {
  if (err == nullptr) return;
  std::free(err->message);
  std::free(err->path);
  *err = KALVEX_ERROR_INIT;
}

// The C kinds are the core's kinds, ordinal for ordinal.
static_assert(static_cast<int>(kalvex::ErrorKind::kCorrupt) == KALVEX_KIND_CORRUPT);
static_assert(static_cast<int>(kalvex::ErrorKind::kVersion) == KALVEX_KIND_VERSION);
static_assert(static_cast<int>(kalvex::ErrorKind::kIO) == KALVEX_KIND_IO);
static_assert(static_cast<int>(kalvex::ErrorKind::kInvalid) == KALVEX_KIND_ERROR);
