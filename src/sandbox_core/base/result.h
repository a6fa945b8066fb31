// The one result vocabulary of the core: a value or a closed error type, shaped like
// std::expected so it can become that type later. Nothing in the core throws.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace sandbox {

template <class E>
struct Unexpected {
  E error;
};

// fail(e) turns an error value into something any Result<T, E> accepts.
template <class E>
Unexpected<std::decay_t<E>> fail(E&& error) {
  return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <class G, class = std::enable_if_t<std::is_constructible_v<E, G>>>
  Result(Unexpected<G> u) : v_(std::in_place_index<1>, E(std::move(u.error))) {}  // NOLINT

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class G, class = std::enable_if_t<std::is_constructible_v<E, G>>>
  Result(Unexpected<G> u) : error_(E(std::move(u.error))), ok_(false) {}  // NOLINT

  bool has_value() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  void value() const noexcept {}

  E& error() & { return error_; }
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_{};
  bool ok_ = true;
};

}  // namespace sandbox

// Early return of the error of an expression that yields a Result.
#define SANDBOX_TRY(expr)                                        \
  do {                                                           \
    auto&& sandbox_try_r_ = (expr);                              \
    if (!sandbox_try_r_) {                                       \
      return ::sandbox::fail(std::move(sandbox_try_r_).error()); \
    }                                                            \
  } while (0)

// Declares or assigns `lhs` from the value of an expression that yields a Result, or
// returns its error early: SANDBOX_ASSIGN_OR_RETURN(auto fd, open_thing());
#define SANDBOX_ASSIGN_OR_RETURN(lhs, expr) \
  SANDBOX_ASSIGN_OR_RETURN_IMPL_(SANDBOX_CONCAT_(sandbox_assign_r_, __LINE__), lhs, expr)
#define SANDBOX_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)      \
  auto tmp = (expr);                                        \
  if (!tmp) return ::sandbox::fail(std::move(tmp).error()); \
  lhs = std::move(tmp).value()
#define SANDBOX_CONCAT_(a, b) SANDBOX_CONCAT_IMPL_(a, b)
#define SANDBOX_CONCAT_IMPL_(a, b) a##b
