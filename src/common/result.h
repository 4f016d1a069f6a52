// A value or an error text: what the model store's operations return for
// failures that are reported and skipped rather than raised.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace corvane {

struct Error {
  std::string message;  // the display text callers print
};

template <class T>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }
  const T& operator*() const& { return std::get<0>(v_); }
  T&& operator*() && { return std::get<0>(std::move(v_)); }

  const std::string& error() const { return std::get<1>(v_).message; }
  Error take_error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace corvane
