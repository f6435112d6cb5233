// The worker pool and the order-preserving map. CTest runs this binary once per pool size
// (RAYON_NUM_THREADS = 1, 2, 3, 8); each test checks the guarantees that hold for any size.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "models/witt_mao.hpp"
#include "parallel/parallel_map.hpp"
#include "parallel/pool_size.hpp"

namespace mirvanta::parallel {
namespace {

std::vector<double> iota(std::size_t n) {
    std::vector<double> values(n);
    std::iota(values.begin(), values.end(), 0.0);
    return values;
}

TEST(PoolSize, FollowsTheEnvironment) {
    const char* requested = std::getenv("RAYON_NUM_THREADS");
    ASSERT_NE(requested, nullptr) << "run through CTest, which sets RAYON_NUM_THREADS";
    EXPECT_EQ(current_num_threads(), static_cast<unsigned>(std::atoi(requested)));
}

TEST(PoolSize, ParsesUnsignedDecimalsOnly) {
    EXPECT_EQ(parse_thread_count("4"), 4u);
    EXPECT_EQ(parse_thread_count("+4"), 4u);
    EXPECT_EQ(parse_thread_count("0"), 0u);
    EXPECT_EQ(parse_thread_count("007"), 7u);
    EXPECT_EQ(parse_thread_count("18446744073709551615"), 18446744073709551615ull);
    for (const char* bad : {"", "+", "-3", "2.5", "abc", " 4", "4 ", "18446744073709551616", "++4", "0x10"}) {
        EXPECT_FALSE(parse_thread_count(bad).has_value()) << '"' << bad << '"';
    }
}

TEST(ParallelMap, KeepsInputOrderAndEvaluatesEachElementOnce) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 17u, 1000u, 100003u}) {
        const auto inputs = iota(n);
        std::vector<std::atomic<int>> calls(n);
        const auto out = parallel_map(std::span<const double>(inputs), [&](double x) {
            calls[static_cast<std::size_t>(x)].fetch_add(1);
            return 2.0 * x + 1.0;
        });
        ASSERT_EQ(out.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(out[i], 2.0 * static_cast<double>(i) + 1.0);
            EXPECT_EQ(calls[i].load(), 1) << "element " << i << " of " << n;
        }
    }
}

TEST(ParallelMap, UsesTheWorkersAndSplitsOnlyWhatItCan) {
    const auto inputs = iota(1);
    const auto caller = std::this_thread::get_id();
    const auto ids = parallel_map(std::span<const double>(inputs), [](double) { return std::this_thread::get_id(); });
    // Called from outside the pool, the work runs on a worker while the caller waits.
    EXPECT_NE(ids[0], caller);
}

TEST(ParallelMap, NestedMapsRunOnTheSamePool) {
    // The inner maps run on workers that take part instead of blocking: with one worker this
    // would deadlock otherwise.
    const auto outer = iota(40);
    const auto inner = iota(500);
    const auto rows = parallel_map(std::span<const double>(outer), [&](double row) {
        EXPECT_NE(ThreadPool::current(), nullptr);
        return parallel_map(std::span<const double>(inner), [row](double x) { return row * 1000.0 + x; });
    });
    ASSERT_EQ(rows.size(), outer.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(rows[r].size(), inner.size());
        for (std::size_t i = 0; i < inner.size(); ++i) EXPECT_EQ(rows[r][i], static_cast<double>(r * 1000 + i));
    }
}

TEST(ParallelMap, FailuresAreRethrownAfterEveryElementFinished) {
    const auto inputs = iota(5000);
    std::atomic<int> evaluated{0};
    EXPECT_THROW(parallel_map(std::span<const double>(inputs),
                              [&](double x) {
                                  evaluated.fetch_add(1);
                                  if (x == 1234.0) throw std::runtime_error("element failed");
                                  return x;
                              }),
                 std::runtime_error);
    // The range that threw stops there; every other range runs to completion.
    EXPECT_GE(evaluated.load(), 1235);
    // The pool is still usable.
    EXPECT_TRUE(std::ranges::equal(parallel_map(std::span<const double>(inputs), [](double x) { return x; }), inputs));
}

TEST(ParallelMap, ManyCallersAtOnce) {
    const auto inputs = iota(20000);
    std::vector<std::thread> callers;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) {
                const auto out = parallel_map(std::span<const double>(inputs), [t](double x) { return x * t; });
                for (std::size_t i = 0; i < out.size(); ++i) {
                    if (out[i] != inputs[i] * t) mismatches.fetch_add(1);
                }
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(ParallelMap, UniformDiskBatchEqualsTheSequentialKernel) {
    std::vector<double> l;
    for (int i = 0; i < 30000; ++i) l.push_back(i * 0.01);
    const auto batch = models::witt_mao_magnification(l, 1.0, 0.07);
    for (std::size_t i = 0; i < l.size(); ++i) {
        const double expected = models::witt_mao_magnification_scaled(l[i] * 0.07, 0.07);
        EXPECT_EQ(std::memcmp(&batch[i], &expected, sizeof expected), 0) << i;
    }
    const auto grid = models::multi_witt_mao_magnification(l, {1.0, 2.0}, {0.07, 0.5, 0.0});
    ASSERT_EQ(grid.size(), 6u);
    EXPECT_EQ(grid[0], batch);
    EXPECT_EQ(grid[3], models::witt_mao_magnification(l, 2.0, 0.07));
}

}  // namespace
}  // namespace mirvanta::parallel
