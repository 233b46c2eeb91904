// Failures as values. Every fallible host routine returns Expected<T, E>: a value, or the one
// failure (a fixed message, a parse failure) that explains why there is none. Where the standard
// library offers std::expected this is exactly that type; the small stand-in below serves the
// compilers whose library lacks it (the fuzzing build's clang), with the subset the host uses.
#pragma once

#include <version>

#if defined(__cpp_lib_expected)
#include <expected>

namespace ktarn {
template <class T, class E>
using Expected = std::expected<T, E>;
template <class E>
using Unexpected = std::unexpected<E>;
}  // namespace ktarn

#else
#include <type_traits>
#include <utility>
#include <variant>

namespace ktarn {

template <class E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class Expected {
 public:
  // Anything a T can be made from, as std::expected takes it (a std::nullopt for an optional T).
  template <class U = T,
            class = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                     !std::is_same_v<std::remove_cvref_t<U>, Expected> > >
  Expected(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  template <class G>
  Expected(Unexpected<G> failure) : state_(std::in_place_index<1>, std::move(failure).error()) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }
  template <class U>
  T value_or(U&& fallback) const& {
    return has_value() ? value() : static_cast<T>(std::forward<U>(fallback));
  }

 private:
  std::variant<T, E> state_;
};

}  // namespace ktarn
#endif
