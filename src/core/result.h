// Result<T>: a value or a StoreError, never both. Must be looked at ([[nodiscard]]).
//
//   Result<Foo> r = MakeFoo();
//   if (!r.ok()) return r.take_error();
//   Foo foo = std::move(r).value();
//
// Status is Result<void>: success carries nothing.
#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "core/store_error.h"

namespace kalvex {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(StoreError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }

  // REQUIRES: ok()
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  // REQUIRES: !ok()
  const StoreError& error() const { return std::get<1>(state_); }
  StoreError take_error() { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, StoreError> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(StoreError error) : error_(std::move(error)), has_error_(true) {}

  bool ok() const { return !has_error_; }
  const StoreError& error() const { return error_; }
  StoreError take_error() { return std::move(error_); }

 private:
  StoreError error_ = StoreError::Invalid({});
  bool has_error_ = false;
};

using Status = Result<void>;

}  // namespace kalvex
