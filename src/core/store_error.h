// StoreError: the one error value the store's core hands back.
//
// Four kinds, in tag order; each renders as the kind's name, ": " and a detail.
// The bindings are the only place that turns a StoreError into a Python exception.
// Errors are values: fallible core calls return Result<T> (see result.h).
#pragma once

#include <cstdint>
#include <string>

namespace kalvex {

// The ordinal of each kind is fixed: the bindings choose the exception class by it.
enum class ErrorKind : std::uint8_t {
  kCorrupt = 0,  // KalvCorruptError: damaged file or failed integrity check
  kVersion = 1,  // KalvVersionError: header version byte other than the one we read
  kIO = 2,       // KalvIOError: an operating-system call failed
  kInvalid = 3,  // KalvError: a caller's request breaks a rule of the store
};

class StoreError {
 public:
  static StoreError Corrupt(std::string detail) { return {ErrorKind::kCorrupt, std::move(detail), 0}; }
  static StoreError Version(std::uint8_t found) { return {ErrorKind::kVersion, {}, found}; }
  // A KalvVersionError for a part of the format other than the header's version byte
  // (a feature bit, a structure version), described by `detail`.
  static StoreError Unsupported(std::string detail) { return {ErrorKind::kVersion, std::move(detail), 0}; }
  // `os_error` is the errno of the call that failed (0 when the failure is the store's own
  // judgement of a path, such as a device where a file must be); `path` names the file
  // involved where there is one. Both are facts for callers, never part of the text.
  static StoreError IO(std::string detail, int os_error = 0, std::string path = {}) {
    StoreError error(ErrorKind::kIO, std::move(detail), 0);
    error.os_error_ = os_error;
    error.path_ = std::move(path);
    return error;
  }
  static StoreError Invalid(std::string detail) { return {ErrorKind::kInvalid, std::move(detail), 0}; }

  ErrorKind kind() const { return kind_; }
  const std::string& detail() const { return detail_; }
  std::uint8_t version() const { return version_; }
  int os_error() const { return os_error_; }
  const std::string& path() const { return path_; }

  // The same error naming `path`, unless it already names one: a layer that knows the
  // file adds it to an error from a layer that only had a descriptor.
  StoreError WithPath(const std::string& path) && {
    if (path_.empty()) path_ = path;
    return std::move(*this);
  }

  // The text without the kind's name: detail(), or "unsupported version {n}" for Version().
  std::string Describe() const;

  // The kind's name, ": " and Describe(): "KalvCorruptError: {detail}", ...
  std::string Render() const;

 private:
  StoreError(ErrorKind kind, std::string detail, std::uint8_t version)
      : kind_(kind), detail_(std::move(detail)), version_(version) {}

  ErrorKind kind_;
  std::string detail_;
  std::uint8_t version_;
  int os_error_ = 0;
  std::string path_;
};

// The operating system's description of `errnum` in the form "{text} (os error {errnum})",
// e.g. "No such file or directory (os error 2)".
std::string OsErrorText(int errnum);

}  // namespace kalvex
