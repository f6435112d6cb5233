// Two doubles in an SSE2 register. Each operation is the IEEE operation of the scalar code on
// each lane (the same instruction's packed form: the same rounding, the same NaN), and comparisons
// are ordered, except != (true for NaN), as in C++.
#pragma once

#include <emmintrin.h>

#include <cstddef>

namespace mirvanta::numerics::lanes {

// A lane mask: all bits of a lane set or clear.
struct Sse2Mask {
    __m128d v;
    unsigned bits() const { return static_cast<unsigned>(_mm_movemask_pd(v)); }
    friend Sse2Mask operator&(Sse2Mask a, Sse2Mask b) { return {_mm_and_pd(a.v, b.v)}; }
    friend Sse2Mask operator|(Sse2Mask a, Sse2Mask b) { return {_mm_or_pd(a.v, b.v)}; }
    // a and not b
    friend Sse2Mask and_not(Sse2Mask a, Sse2Mask b) { return {_mm_andnot_pd(b.v, a.v)}; }
};

struct Sse2 {
    using Mask = Sse2Mask;
    static constexpr std::size_t width = 2;
    __m128d v;

    Sse2() = default;
    Sse2(__m128d x) : v(x) {}
    Sse2(double x) : v(_mm_set1_pd(x)) {}
    static Sse2 load(const double* p) { return _mm_loadu_pd(p); }
    void store(double* p) const { _mm_storeu_pd(p, v); }
    // base[index[i]] in lane i, put together in registers (a vector load of values just stored
    // one by one would wait for the stores).
    template <class Index>
    static Sse2 gather(const double* base, const Index* index) {
        return _mm_set_pd(base[index[1]], base[index[0]]);
    }
    // The lanes whose bit is set in `bits` (lane i: bit i).
    static Mask mask(unsigned bits) {
        return {_mm_castsi128_pd(_mm_set_epi64x(-static_cast<long long>((bits >> 1) & 1u),
                                                -static_cast<long long>(bits & 1u)))};
    }

    friend Sse2 operator+(Sse2 a, Sse2 b) { return _mm_add_pd(a.v, b.v); }
    friend Sse2 operator-(Sse2 a, Sse2 b) { return _mm_sub_pd(a.v, b.v); }
    friend Sse2 operator*(Sse2 a, Sse2 b) { return _mm_mul_pd(a.v, b.v); }
    friend Sse2 operator/(Sse2 a, Sse2 b) { return _mm_div_pd(a.v, b.v); }
    friend Sse2 operator-(Sse2 a) { return _mm_xor_pd(a.v, _mm_set1_pd(-0.0)); }
    friend Sse2 sqrt(Sse2 a) { return _mm_sqrt_pd(a.v); }
    friend Sse2 fabs(Sse2 a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a.v); }

    friend Mask operator<(Sse2 a, Sse2 b) { return {_mm_cmplt_pd(a.v, b.v)}; }
    friend Mask operator<=(Sse2 a, Sse2 b) { return {_mm_cmple_pd(a.v, b.v)}; }
    friend Mask operator>(Sse2 a, Sse2 b) { return {_mm_cmpgt_pd(a.v, b.v)}; }
    friend Mask operator>=(Sse2 a, Sse2 b) { return {_mm_cmpge_pd(a.v, b.v)}; }
    friend Mask operator==(Sse2 a, Sse2 b) { return {_mm_cmpeq_pd(a.v, b.v)}; }
    friend Mask operator!=(Sse2 a, Sse2 b) { return {_mm_cmpneq_pd(a.v, b.v)}; }

    // a where `m` is set, else b.
    friend Sse2 select(Mask m, Sse2 a, Sse2 b) { return _mm_or_pd(_mm_and_pd(m.v, a.v), _mm_andnot_pd(m.v, b.v)); }

    // Nothing to settle before baseline code runs (Avx2::settle).
    static void settle() {}
};

}  // namespace mirvanta::numerics::lanes
