#include "core/store_error.h"

#include <cstring>

namespace kalvex {

std::string StoreError::Describe() const {
  if (kind_ == ErrorKind::kVersion && detail_.empty()) return "unsupported version " + std::to_string(version_);
  return detail_;
}

std::string StoreError::Render() const {
  switch (kind_) {
    case ErrorKind::kCorrupt:
      return "KalvCorruptError: " + Describe();
    case ErrorKind::kVersion:
      return "KalvVersionError: " + Describe();
    case ErrorKind::kIO:
      return "KalvIOError: " + Describe();
    case ErrorKind::kInvalid:
      return "KalvError: " + Describe();
  }
  return "KalvError: " + Describe();
}

std::string OsErrorText(int errnum) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace kalvex
