#pragma once
// The outcome of an internal helper: success, or the cv error code of its failure. Helpers
// return it instead of setting the last error themselves; the public entry point that
// called them sets the last error once, from the status it ends with. Both types are
// [[nodiscard]], so an outcome cannot be dropped by accident; clean-up after a failure
// combines with FirstFailure, which keeps the error that happened first.
#include <cstdint>
#include <type_traits>
#include <utility>

#include "core/errors/error_codes.h"

namespace cvcore {

class [[nodiscard]] Status {
 public:
  constexpr Status() noexcept = default;
  // A bare number names the same error as its full code; 0 is success.
  constexpr explicit Status(uint32_t code) noexcept : code_(FullErrorCode(code)) {}

  constexpr bool ok() const noexcept { return code_ == 0; }
  // The full cv error code; 0 for success.
  constexpr uint32_t error() const noexcept { return code_; }

 private:
  uint32_t code_ = 0;
};

// The failure that came first: a later one (a clean-up after it) does not replace it.
constexpr Status FirstFailure(Status first, Status then) noexcept { return first.ok() ? then : first; }

// A value, or the failure that kept a helper from making it.
template <typename T>
class [[nodiscard]] Result {
 public:
  constexpr Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)) {}
  // A failed status; an ok one would make a result without a value, so it counts as one
  // holding the default value.
  constexpr Result(Status failure) noexcept : status_(failure) {}

  constexpr bool ok() const noexcept { return status_.ok(); }
  constexpr uint32_t error() const noexcept { return status_.error(); }
  constexpr Status status() const noexcept { return status_; }
  constexpr T& value() noexcept { return value_; }
  constexpr const T& value() const noexcept { return value_; }

 private:
  T value_{};
  Status status_;
};

}  // namespace cvcore
