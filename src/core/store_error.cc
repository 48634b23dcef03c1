#include "core/store_error.h"

#include <cstring>

namespace kalvex {

std::string StoreError::Render() const {
  switch (kind_) {
    case ErrorKind::kCorrupt:
      return "KalvCorruptError: " + detail_;
    case ErrorKind::kVersion:
      return "KalvVersionError: unsupported version " + std::to_string(version_);
    case ErrorKind::kIO:
      return "KalvIOError: " + detail_;
    case ErrorKind::kInvalid:
      return "KalvError: " + detail_;
  }
  return "KalvError: " + detail_;
}

std::string OsErrorText(int errnum) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace kalvex
