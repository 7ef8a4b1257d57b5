// Result<T, E>: the outcome of a fallible operation, a value or an error,
// never both and never neither. The class is [[nodiscard]], so an ignored
// result is a compiler warning.

#ifndef CELLVAULT_COMMON_RESULT_H_
#define CELLVAULT_COMMON_RESULT_H_

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace cellvault {

// Err wraps an error value on its way into a Result: `return Err{e};`.
template <class E>
struct Err {
  E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class E2, class = std::enable_if_t<std::is_convertible_v<E2, E>>>
  Result(Err<E2> err) : v_(std::in_place_index<1>, E(std::move(err.error))) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

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
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

  // take moves the value out; used by CV_TRY_ASSIGN.
  T take() && { return std::get<0>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

// The void form holds nothing on success.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Result() = default;
  template <class E2, class = std::enable_if_t<std::is_convertible_v<E2, E>>>
  Result(Err<E2> err) : err_(E(std::move(err.error))) {}

  bool ok() const { return !err_.has_value(); }
  explicit operator bool() const { return ok(); }

  const E& error() const& {
    assert(!ok());
    return *err_;
  }
  E&& error() && {
    assert(!ok());
    return std::move(*err_);
  }
  void take() && {}

 private:
  std::optional<E> err_;
};

}  // namespace cellvault

// CV_TRY(expr); evaluates a Result as a statement. On error it returns the
// error from the enclosing function (whose Result must have a compatible
// error type); a value on success is dropped.
#define CV_TRY(...)                                                 \
  do {                                                              \
    auto&& cv_try_result_ = (__VA_ARGS__);                          \
    if (!cv_try_result_.ok())                                       \
      return ::cellvault::Err{std::move(cv_try_result_).error()};   \
  } while (0)

// CV_TRY_ASSIGN(lhs, expr); evaluates a Result and, on success, assigns its
// value to |lhs|, which may be a declaration (`CV_TRY_ASSIGN(File f, ...)`)
// or an existing variable; on error it returns the error like CV_TRY. It
// expands to several statements, so it cannot be the body of an unbraced
// `if`.
#define CV_TRY_ASSIGN(lhs, ...) \
  CV_TRY_ASSIGN_IMPL_(CV_TRY_CONCAT_(cv_try_result_, __LINE__), lhs, __VA_ARGS__)
#define CV_TRY_ASSIGN_IMPL_(tmp, lhs, ...)                  \
  auto&& tmp = (__VA_ARGS__);                               \
  if (!tmp.ok()) return ::cellvault::Err{std::move(tmp).error()}; \
  lhs = std::move(tmp).take()
#define CV_TRY_CONCAT_(a, b) CV_TRY_CONCAT_INNER_(a, b)
#define CV_TRY_CONCAT_INNER_(a, b) a##b

#endif  // CELLVAULT_COMMON_RESULT_H_
