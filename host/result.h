// A value or the error that kept it from being had, without exceptions:
// operations that can fail return Result<T, E>, and Result<void, E> when they
// have nothing to give back but success.
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

namespace quorvantix::host {

// The error side of a Result, so that `return Failure{error};` builds one
// even where the value and the error have the same type.
template <class E>
struct Failure {
  E error;
};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Only on a Result that is ok().
  T& value() {
    assert(ok());
    return *std::get_if<0>(&state_);
  }
  const T& value() const {
    assert(ok());
    return *std::get_if<0>(&state_);
  }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Only on a Result that is not ok().
  const E& error() const {
    assert(!ok());
    return *std::get_if<1>(&state_);
  }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(Failure<E> failure) : error_(std::move(failure.error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  // Only on a Result that is not ok().
  const E& error() const {
    assert(!ok());
    return *error_;
  }

 private:
  std::optional<E> error_;
};

}  // namespace quorvantix::host
