// Status and Result: how a call that can fail tells its caller what happened.
//
// A Status is a code from one scoped enum per boundary (the disk layer's
// DiskResult, a task's TaskError, a course's step codes) and the detail text
// that names the record, offset, path or system error. Every code enum used
// here has its success at 0, so a default Status is a success. A Result is a
// value or the Status that says why there is none.
//
// Numbers leave the program only where they must (an exit status, a log line,
// a message's "(error N)"): the code itself travels as its enum.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace stow {

template <typename Code>
  requires std::is_enum_v<Code>
class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;
  // NOLINTNEXTLINE(google-explicit-constructor): a code is a status, as returned.
  Status(Code code, std::string detail = {}) : code_(code), detail_(std::move(detail)) {}

  [[nodiscard]] bool Ok() const { return code_ == Code{}; }
  [[nodiscard]] Code code() const { return code_; }
  // What failed where; empty for a success and for a failure that says no more.
  [[nodiscard]] const std::string& Detail() const { return detail_; }

  friend bool operator==(const Status& a, Code b) { return a.code_ == b; }

 private:
  Code code_{};
  std::string detail_;
};

template <typename T, typename Code>
  requires std::is_enum_v<Code>
class [[nodiscard]] Result {
 public:
  // NOLINTNEXTLINE(google-explicit-constructor): a value is a result, as returned.
  Result(T value) : value_(std::move(value)) {}
  // A failure; a success status without a value counts as Code's failure to
  // give one and must not be passed.
  // NOLINTNEXTLINE(google-explicit-constructor)
  Result(Status<Code> failure) : status_(std::move(failure)) {}
  // NOLINTNEXTLINE(google-explicit-constructor)
  Result(Code code, std::string detail = {}) : status_(code, std::move(detail)) {}

  [[nodiscard]] bool Ok() const { return value_.has_value(); }
  // The value; only after Ok().
  [[nodiscard]] const T& Value() const& { return *value_; }
  [[nodiscard]] T& Value() & { return *value_; }
  [[nodiscard]] T&& Value() && { return std::move(*value_); }
  // Why there is no value; a success when there is one.
  [[nodiscard]] const Status<Code>& GetStatus() const { return status_; }

 private:
  std::optional<T> value_;
  Status<Code> status_;
};

}  // namespace stow
