// Forward-mode differentiation: a value and its derivatives with respect to N parameters, carried
// through the same operations in the same order as the double computation they shadow, so that a
// routine written once as a template gives its value (to the bit of its double instantiation) and
// its exact derivatives (to rounding). No fused multiply-add: each product is rounded before it is
// added, in the derivatives as in the value.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace mirvanta::numerics {

template <std::size_t N>
struct Dual {
    double v = 0.0;
    std::array<double, N> d{};

    Dual() = default;
    Dual(double value) : v(value) {}  // a constant: no derivatives
    // The parameter `which` itself, of value `value`.
    static Dual parameter(double value, std::size_t which) {
        Dual x(value);
        x.d[which] = 1.0;
        return x;
    }
};

template <std::size_t N>
Dual<N> operator+(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v + b.v);
    for (std::size_t i = 0; i < N; ++i) r.d[i] = a.d[i] + b.d[i];
    return r;
}

template <std::size_t N>
Dual<N> operator-(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v - b.v);
    for (std::size_t i = 0; i < N; ++i) r.d[i] = a.d[i] - b.d[i];
    return r;
}

template <std::size_t N>
Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v * b.v);
    for (std::size_t i = 0; i < N; ++i) r.d[i] = a.d[i] * b.v + a.v * b.d[i];
    return r;
}

template <std::size_t N>
Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) {
    const double q = a.v / b.v;
    Dual<N> r(q);
    for (std::size_t i = 0; i < N; ++i) r.d[i] = (a.d[i] - q * b.d[i]) / b.v;
    return r;
}

template <std::size_t N>
Dual<N> sqrt(const Dual<N>& a) {
    const double s = std::sqrt(a.v);
    Dual<N> r(s);
    for (std::size_t i = 0; i < N; ++i) r.d[i] = a.d[i] / (2.0 * s);
    return r;
}

template <std::size_t N> Dual<N> operator+(double a, const Dual<N>& b) { return Dual<N>(a) + b; }
template <std::size_t N> Dual<N> operator+(const Dual<N>& a, double b) { return a + Dual<N>(b); }
template <std::size_t N> Dual<N> operator-(double a, const Dual<N>& b) { return Dual<N>(a) - b; }
template <std::size_t N> Dual<N> operator-(const Dual<N>& a, double b) { return a - Dual<N>(b); }
template <std::size_t N> Dual<N> operator*(double a, const Dual<N>& b) {
    Dual<N> r(a * b.v);
    for (std::size_t i = 0; i < N; ++i) r.d[i] = a * b.d[i];
    return r;
}
template <std::size_t N> Dual<N> operator*(const Dual<N>& a, double b) {
    Dual<N> r(a.v * b);
    for (std::size_t i = 0; i < N; ++i) r.d[i] = a.d[i] * b;
    return r;
}
template <std::size_t N> Dual<N> operator/(double a, const Dual<N>& b) { return Dual<N>(a) / b; }
template <std::size_t N> Dual<N> operator/(const Dual<N>& a, double b) {
    Dual<N> r(a.v / b);
    for (std::size_t i = 0; i < N; ++i) r.d[i] = a.d[i] / b;
    return r;
}

// std::sqrt for a double, the Dual's for a Dual: one name for templates over both.
inline double sqrt_of(double x) { return std::sqrt(x); }
template <std::size_t N> Dual<N> sqrt_of(const Dual<N>& x) { return sqrt(x); }

inline double value_of(double x) { return x; }
template <std::size_t N> double value_of(const Dual<N>& x) { return x.v; }

}  // namespace mirvanta::numerics
