// A value or an error, for routines that report failures as values rather than by throwing.
#pragma once

#include <utility>
#include <variant>

namespace mirvanta {

template <class T, class E>
class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    const T& value() const { return std::get<0>(state_); }
    const E& error() const { return std::get<1>(state_); }

    // The value, or `fallback` when this holds an error.
    T value_or(T fallback) const { return has_value() ? std::get<0>(state_) : fallback; }

private:
    std::variant<T, E> state_;
};

}  // namespace mirvanta
