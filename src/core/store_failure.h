// StoreFailure: a StoreError thrown from where a call cannot return one.
//
// The writer's payloads leave memory for a temporary file as they are added (see
// writer/spool.h), so an add may need to write that file, and the compare of a duplicate
// may need to read a payload back from it: calls whose result is an object id, reached
// through the payload index's probes. Their rare I/O failure travels as this exception to
// the C interface, which reports it as the store error it carries. Thrown only before the
// throwing call has changed anything: a failed add leaves the writer as it was.
#pragma once

#include <exception>
#include <utility>

#include "core/store_error.h"

namespace kalvex {

class StoreFailure : public std::exception {
 public:
  explicit StoreFailure(StoreError error) : error_(std::move(error)) {}
  const StoreError& error() const { return error_; }
  const char* what() const noexcept override { return "store error"; }

 private:
  StoreError error_;
};

}  // namespace kalvex
