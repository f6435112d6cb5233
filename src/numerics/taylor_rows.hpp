// The Taylor rows of K and E (elliptic_tables.hpp) as one matrix each, for evaluating both at
// once, or one row per lane. Every row is padded with zeros above its degree to the K row's
// degree, and K's rows to the longest. Horner's rule through the padding gives exactly the
// unpadded value: from a zero sum, sum x + 0 stays a zero, and the first real coefficient c
// turns (+-0) x + c into c itself; so E and K can share one loop, and lanes in different rows
// one loop of the longest row's length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "numerics/elliptic_tables.hpp"

namespace mirvanta::numerics {

inline constexpr std::size_t kTaylorRowCount = tables::kKRows.size();
inline constexpr std::size_t kTaylorRowLength = 20;  // K about 0.75 and 0.875 have degree 19

using TaylorMatrix = std::array<std::array<double, kTaylorRowLength>, kTaylorRowCount>;

struct TaylorRows {
    TaylorMatrix k{};
    TaylorMatrix e{};
    std::array<std::size_t, kTaylorRowCount> degree{};  // of the K row, which is never below E's
};

consteval TaylorRows make_taylor_rows() {
    TaylorRows rows;
    for (std::size_t r = 0; r < kTaylorRowCount; ++r) {
        const auto k = tables::kKRows[r];
        const auto e = tables::kERows[r];
        if (k.size() > kTaylorRowLength || e.size() > k.size()) throw "a K row is the longest of its row";
        for (std::size_t j = 0; j < k.size(); ++j) rows.k[r][j] = k[j];
        for (std::size_t j = 0; j < e.size(); ++j) rows.e[r][j] = e[j];
        rows.degree[r] = k.size() - 1;
    }
    return rows;
}

inline constexpr TaylorRows kTaylorRows = make_taylor_rows();

// The row of an interval index 0..17 (the truncation of 20 m): two indices per row of width 0.1
// below 0.8, one per row of width 0.05 from 0.8 to 0.9.
constexpr std::size_t taylor_row(std::int64_t index) {
    return index < 16 ? static_cast<std::size_t>(index / 2) : static_cast<std::size_t>(index - 8);
}

}  // namespace mirvanta::numerics
