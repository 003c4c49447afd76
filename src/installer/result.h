// The one result shape of the installer's operations: a value, or what went
// wrong. Steps of the run return Result<T> with the error text that ends the
// run; thin wrappers around system calls return OsResult<T> with the failure
// the system reported, which the step turns into its text. Nothing is thrown.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "shell/fault.h"
#include "shell/system_error.h"

namespace lbw {

// Final German wording for the error dialog, UTF-8.
struct ErrorText {
  std::string text;
};

template <typename T, typename E = ErrorText>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(E error) : error_(std::move(error)) {}

  bool ok() const { return value_.has_value(); }

  // A misuse is reported at the caller's line.
  T& value(SourcePlace caller = SourcePlace::current()) {
    check(ok(), "value taken from a failed result", caller);
    return *value_;
  }

  E& error(SourcePlace caller = SourcePlace::current()) {
    check(!ok(), "error taken from a successful result", caller);
    return error_;
  }

 private:
  std::optional<T> value_;
  E error_{};
};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }

  E& error(SourcePlace caller = SourcePlace::current()) {
    check(failed_, "error taken from a successful result", caller);
    return error_;
  }

 private:
  E error_{};
  bool failed_ = false;
};

using Status = Result<void>;

template <typename T = void>
using OsResult = Result<T, OsFailure>;

}  // namespace lbw
