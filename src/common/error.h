// common/error.h: how the pure cores report failure.
// * Expected failures (bad input) are values: cores return a Result or a message
//   and never name a Python exception class.
// * CoreError is thrown only where unwinding is the simplest honest report (deep
//   recursion in the codec); it carries the kind of built-in exception the binding
//   layer raises for it.
// * InternalFailure marks a broken invariant. The binding guard turns it into
//   PanicException; it must never be used for input the caller got wrong.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace tallowmere {

enum class ErrorKind { Value, Type, Runtime, Overflow, Attribute };

class CoreError : public std::runtime_error {
 public:
  CoreError(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

class InternalFailure : public std::logic_error {
 public:
  explicit InternalFailure(const std::string& message) : std::logic_error(message) {}
};

// A value or an error message; the small subset of std::expected we need.
template <class T, class E = std::string>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  static Result failure(E error) { return Result(std::in_place_index<1>, std::move(error)); }

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  template <std::size_t I, class U>
  Result(std::in_place_index_t<I> tag, U&& u) : state_(tag, std::forward<U>(u)) {}
  std::variant<T, E> state_;
};

}  // namespace tallowmere
