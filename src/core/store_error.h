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
  static StoreError IO(std::string detail) { return {ErrorKind::kIO, std::move(detail), 0}; }
  static StoreError Invalid(std::string detail) { return {ErrorKind::kInvalid, std::move(detail), 0}; }

  ErrorKind kind() const { return kind_; }
  const std::string& detail() const { return detail_; }
  std::uint8_t version() const { return version_; }

  // "KalvCorruptError: {detail}", "KalvVersionError: unsupported version {n}", ...
  std::string Render() const;

 private:
  StoreError(ErrorKind kind, std::string detail, std::uint8_t version)
      : kind_(kind), detail_(std::move(detail)), version_(version) {}

  ErrorKind kind_;
  std::string detail_;
  std::uint8_t version_;
};

// The operating system's description of `errnum` in the form "{text} (os error {errnum})",
// e.g. "No such file or directory (os error 2)".
std::string OsErrorText(int errnum);

}  // namespace kalvex
