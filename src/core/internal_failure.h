// InternalFailure: a broken invariant of the store itself, never a user or file error.
//
// The core throws it only where its own checks were meant to make the situation
// impossible; the bindings catch it at the method boundary and raise the module's
// internal-failure exception, after a diagnostic naming `where()` on standard error.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace kalvex {

class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(const std::string& text,
                           std::source_location where = std::source_location::current())
      : std::runtime_error(text), where_(where) {}

  const std::source_location& where() const { return where_; }

 private:
  std::source_location where_;
};

}  // namespace kalvex
