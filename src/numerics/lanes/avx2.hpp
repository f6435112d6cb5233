// Four doubles in an AVX register, as Sse2 (sse2.hpp) holds two. Each function is compiled for
// AVX2 (and no more: no FMA) by its own target attribute and inlined into its callers, which must
// be compiled for AVX2 too (models/kernel/lanes/range_avx2.cpp).
#pragma once

#include <immintrin.h>

#include <cstddef>

#define MIRVANTA_AVX2_INLINE [[gnu::target("avx2"), gnu::always_inline]] inline

namespace mirvanta::numerics::lanes {

struct Avx2Mask {
    __m256d v;
    MIRVANTA_AVX2_INLINE unsigned bits() const { return static_cast<unsigned>(_mm256_movemask_pd(v)); }
    MIRVANTA_AVX2_INLINE friend Avx2Mask operator&(Avx2Mask a, Avx2Mask b) { return {_mm256_and_pd(a.v, b.v)}; }
    MIRVANTA_AVX2_INLINE friend Avx2Mask operator|(Avx2Mask a, Avx2Mask b) { return {_mm256_or_pd(a.v, b.v)}; }
    MIRVANTA_AVX2_INLINE friend Avx2Mask and_not(Avx2Mask a, Avx2Mask b) { return {_mm256_andnot_pd(b.v, a.v)}; }
};

struct Avx2 {
    using Mask = Avx2Mask;
    static constexpr std::size_t width = 4;
    __m256d v;

    Avx2() = default;
    MIRVANTA_AVX2_INLINE Avx2(__m256d x) : v(x) {}
    MIRVANTA_AVX2_INLINE Avx2(double x) : v(_mm256_set1_pd(x)) {}
    MIRVANTA_AVX2_INLINE static Avx2 load(const double* p) { return _mm256_loadu_pd(p); }
    MIRVANTA_AVX2_INLINE void store(double* p) const { _mm256_storeu_pd(p, v); }
    // base[index[i]] in lane i, put together in registers (a vector load of values just stored
    // one by one would wait for the stores).
    template <class Index>
    MIRVANTA_AVX2_INLINE static Avx2 gather(const double* base, const Index* index) {
        return _mm256_set_pd(base[index[3]], base[index[2]], base[index[1]], base[index[0]]);
    }
    MIRVANTA_AVX2_INLINE static Mask mask(unsigned bits) {
        return {_mm256_castsi256_pd(_mm256_set_epi64x(
            -static_cast<long long>((bits >> 3) & 1u), -static_cast<long long>((bits >> 2) & 1u),
            -static_cast<long long>((bits >> 1) & 1u), -static_cast<long long>(bits & 1u)))};
    }

    MIRVANTA_AVX2_INLINE friend Avx2 operator+(Avx2 a, Avx2 b) { return _mm256_add_pd(a.v, b.v); }
    MIRVANTA_AVX2_INLINE friend Avx2 operator-(Avx2 a, Avx2 b) { return _mm256_sub_pd(a.v, b.v); }
    MIRVANTA_AVX2_INLINE friend Avx2 operator*(Avx2 a, Avx2 b) { return _mm256_mul_pd(a.v, b.v); }
    MIRVANTA_AVX2_INLINE friend Avx2 operator/(Avx2 a, Avx2 b) { return _mm256_div_pd(a.v, b.v); }
    MIRVANTA_AVX2_INLINE friend Avx2 operator-(Avx2 a) { return _mm256_xor_pd(a.v, _mm256_set1_pd(-0.0)); }
    MIRVANTA_AVX2_INLINE friend Avx2 sqrt(Avx2 a) { return _mm256_sqrt_pd(a.v); }
    MIRVANTA_AVX2_INLINE friend Avx2 fabs(Avx2 a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v); }

    MIRVANTA_AVX2_INLINE friend Mask operator<(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
    MIRVANTA_AVX2_INLINE friend Mask operator<=(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
    MIRVANTA_AVX2_INLINE friend Mask operator>(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
    MIRVANTA_AVX2_INLINE friend Mask operator>=(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
    MIRVANTA_AVX2_INLINE friend Mask operator==(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)}; }
    MIRVANTA_AVX2_INLINE friend Mask operator!=(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)}; }

    MIRVANTA_AVX2_INLINE friend Avx2 select(Mask m, Avx2 a, Avx2 b) { return _mm256_blendv_pd(b.v, a.v, m.v); }

    // Before code compiled for the baseline runs (the scalar kernel, the caller): the upper halves
    // of the AVX registers cleared, so that its SSE instructions pay no transition (with them left
    // in use, every later SSE instruction of the process ran about 3.7 times slower).
    MIRVANTA_AVX2_INLINE static void settle() { _mm256_zeroupper(); }
};

}  // namespace mirvanta::numerics::lanes
