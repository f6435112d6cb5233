// The order-preserving map with kernels that take runs of elements, as the uniform-disk batch's
// does: every element once, in its own slot, and the batch's bits those of the element-wise
// kernel. Built into the pool tests, which CTest runs once per pool size.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <new>
#include <span>
#include <vector>

#include "kernel_sample.hpp"
#include "models/source_radii/magnification_grid.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/source_radii/witt_mao_batch.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::parallel {
namespace {

constexpr Sharing kBothWays[] = {Sharing::when_worth_it, Sharing::always};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Counts each element's evaluations; records the longest run the map handed over at once.
struct CountingRangeKernel {
    std::span<const double> all;
    std::vector<std::atomic<int>>* calls;
    std::atomic<std::size_t>* longest_run;
    double operator()(double x) const {
        (*calls)[static_cast<std::size_t>(x)].fetch_add(1);
        return 2.0 * x + 1.0;
    }
    void range(std::span<const double> inputs, double* out) const {
        EXPECT_TRUE(inputs.data() >= all.data() && inputs.data() + inputs.size() <= all.data() + all.size());
        std::size_t longest = longest_run->load();
        while (inputs.size() > longest && !longest_run->compare_exchange_weak(longest, inputs.size())) {
        }
        for (std::size_t i = 0; i < inputs.size(); ++i) out[i] = (*this)(inputs[i]);
    }
};

TEST(RangeKernels, TakeRunsOfElementsEachOnceIntoTheirOwnSlots) {
    for (const Sharing sharing : kBothWays) {
        for (std::size_t n : {0u, 1u, 2u, 3u, 17u, 1001u, 100003u}) {
            std::vector<double> inputs(n);
            std::iota(inputs.begin(), inputs.end(), 0.0);
            std::vector<std::atomic<int>> calls(n);
            std::atomic<std::size_t> longest{0};
            const auto out =
                parallel_map(std::span<const double>(inputs), CountingRangeKernel{inputs, &calls, &longest}, sharing);
            ASSERT_EQ(out.size(), n);
            for (std::size_t i = 0; i < n; ++i) {
                EXPECT_EQ(out[i], 2.0 * static_cast<double>(i) + 1.0);
                EXPECT_EQ(calls[i].load(), 1) << "element " << i << " of " << n;
            }
            // Split among 8 workers, a long map still leaves runs of hundreds of elements.
            if (n == 100003) {
                EXPECT_GE(longest.load(), 16u) << n << " elements went in short runs only";
            }
        }
    }
}

struct AtSeparation {
    double rho;
    double operator()(double x) const { return models::witt_mao_magnification_scaled(x * rho, rho); }
    void range(std::span<const double> x, double* out) const { models::witt_mao_magnification_range(x, rho, out); }
};

// The one test that the uniform-disk batch and grid equal their kernel element by element.
TEST(RangeKernels, UniformDiskBatchAndGridGiveTheKernelsBits) {
    // The sample's runs, of every length and kind, through the batch and the grid (every pair's
    // row, the point source among them); then all of them joined into long maps that the pool
    // splits at places of its own.
    std::vector<double> joined;
    std::size_t differing = 0;
    for (const auto& run : testing::kernel_sample(100000)) {
        const auto batch = models::witt_mao_magnification(run.x, 1.0, run.rho);
        const std::vector<double> re{1.0, 2.0}, rstar{run.rho, 3.0 * run.rho, 0.0};
        const auto grid = models::multi_witt_mao_magnification(run.x, re, rstar);
        ASSERT_EQ(grid.size(), 6u);
        for (std::size_t i = 0; i < run.x.size(); ++i) {
            const double expected = models::witt_mao_magnification_scaled(run.x[i] * run.rho, run.rho);
            differing += !same_bits(batch[i], expected);
            for (std::size_t row = 0; row < grid.size(); ++row) {
                const double rho = rstar[row % rstar.size()] / re[row / rstar.size()];
                ASSERT_EQ(grid[row].size(), run.x.size());
                differing += !same_bits(grid[row][i], models::witt_mao_magnification_scaled(run.x[i] * rho, rho));
            }
        }
        joined.insert(joined.end(), run.x.begin(), run.x.end());
    }
    EXPECT_EQ(differing, 0u);
    for (const Sharing sharing : kBothWays) {
        for (const double rho : {0.1, 1.3}) {
            const auto values = parallel_map(std::span<const double>(joined), AtSeparation{rho}, sharing);
            differing = 0;
            for (std::size_t i = 0; i < joined.size(); ++i) differing += !same_bits(values[i], AtSeparation{rho}(joined[i]));
            EXPECT_EQ(differing, 0u) << "of " << joined.size() << " at rho = " << rho;
        }
    }
}

TEST(MagnificationGrid, RowsAreTheirOwnAndAnOverflowingSizeIsRefused) {
    models::MagnificationGrid grid(3, 5);
    ASSERT_EQ(grid.size(), 3u);
    for (std::size_t row = 0; row < 3; ++row) {
        ASSERT_EQ(grid[row].size(), 5u);
        for (std::size_t i = 0; i < 5; ++i) grid[row][i] = 10.0 * static_cast<double>(row) + static_cast<double>(i);
    }
    for (std::size_t row = 0; row < 3; ++row) {
        for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(grid[row][i], 10.0 * static_cast<double>(row) + static_cast<double>(i));
    }
    // Rows of no separations, and no rows.
    EXPECT_EQ(models::MagnificationGrid(std::size_t{1} << 40, 0)[12345].size(), 0u);
    EXPECT_EQ(models::MagnificationGrid(0, 7).size(), 0u);
    // 2^40 rows of 2^24 values: the product wraps to 0 in 64 bits; the grid must refuse it rather
    // than allocate nothing and let the rows be written.
    EXPECT_THROW(models::MagnificationGrid(std::size_t{1} << 40, std::size_t{1} << 24), std::bad_alloc);
}

}  // namespace
}  // namespace mirvanta::parallel
