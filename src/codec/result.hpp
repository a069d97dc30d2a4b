// Result<T>: a value or an EngineError. Errors travel as values between layers.
//
// The one way the codec and the transport return a failure: Result<T> for an operation with a
// value, std::optional<EngineError> (the error, if any) for one without. Two kinds of failure
// are kept apart on purpose, as plain text: a time-out refused by timeout_from_secs (it becomes
// PanicException in the call, never a future's error), and the failures of a step whose text
// only ends up inside a longer message or a diagnostic line (std::optional<std::string>).
#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "codec/engine_error.hpp"

namespace pen {

template <class T>
class [[nodiscard]] Result {
 public:
  // A default value (T{}): coroutine machinery needs one for its exceptional path.
  Result() = default;
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(EngineError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  const EngineError& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  EngineError&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

 private:
  std::variant<T, EngineError> v_;
};

}  // namespace pen
