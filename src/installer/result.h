// The one result shape of the installer's operations: a value, or the error
// text that ends the run. Nothing is thrown.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "shell/fault.h"

namespace lbw {

// Final German wording for the error dialog, UTF-8.
struct ErrorText {
  std::string text;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(ErrorText error) : error_(std::move(error.text)) {}

  bool ok() const { return value_.has_value(); }

  T& operator*() {
    LBW_CHECK(ok(), "value taken from a failed result");
    return *value_;
  }
  T* operator->() { return &**this; }

  // The error text; taken from a failed result only.
  ErrorText error() && {
    LBW_CHECK(!ok(), "error taken from a successful result");
    return {std::move(error_)};
  }

 private:
  std::optional<T> value_;
  std::string error_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(ErrorText error) : error_(std::move(error.text)), failed_(true) {}

  bool ok() const { return !failed_; }

  ErrorText error() && {
    LBW_CHECK(failed_, "error taken from a successful result");
    return {std::move(error_)};
  }
  const std::string& error_text() const { return error_; }

 private:
  std::string error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace lbw
