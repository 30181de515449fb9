// Failures as values: every fallible routine of the engine and the model reader
// returns a Result holding either its value or a failure message.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace wd {

// A failure of the model reader or the engine: the message text alone, short
// English, lower case first, no final full stop.
struct Failure {
  std::string message;
};

inline Failure fail(std::string message) { return Failure{std::move(message)}; }

template <typename T, typename E = Failure>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

// The value-less form: success, or the error.
struct Ok {};
template <typename E = Failure>
using Status = Result<Ok, E>;

// A broken invariant inside the library (never a property of the input that is
// reported as a message). It is caught only at the C boundary, which turns it into
// result code 5.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] inline void internal_fault(const char* what) { throw InternalFault(what); }

}  // namespace wd

// Early return of a failed Result from a function whose own Result has the same
// error type. `WD_TRY(auto x, f());` binds the value of f() to x.
#define WD_CONCAT_INNER(a, b) a##b
#define WD_CONCAT(a, b) WD_CONCAT_INNER(a, b)
#define WD_TRY_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                 \
  if (!tmp.ok()) return std::move(tmp).error(); \
  decl = std::move(tmp).value()
#define WD_TRY(decl, expr) WD_TRY_IMPL(WD_CONCAT(wd_try_, __LINE__), decl, expr)
// Early return when a Status (or any Result whose value is not needed) failed.
#define WD_CHECK(expr)                                  \
  do {                                                  \
    auto wd_check_ = (expr);                            \
    if (!wd_check_.ok()) return std::move(wd_check_).error(); \
  } while (false)
