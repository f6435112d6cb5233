// The worker pool and the order-preserving map. CTest runs this binary once per pool size
// (RAYON_NUM_THREADS = 1, 2, 3, 8); each test checks the guarantees that hold for any size.
// Tests of the pool's own machinery hand the whole map to the workers (Sharing::always); the
// others run as the models do, starting on the calling thread.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <stdexcept>
#include <thread>
#include <vector>

#include "models/source_radii/flux_map.hpp"
#include "models/source_radii/integrated.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/source_radii/witt_mao_batch.hpp"
#include "parallel/parallel_map.hpp"
#include "parallel/pool_size.hpp"

namespace mirvanta::parallel {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr Sharing kBothWays[] = {Sharing::when_worth_it, Sharing::always};

std::vector<double> iota(std::size_t n) {
    std::vector<double> values(n);
    std::iota(values.begin(), values.end(), 0.0);
    return values;
}

// Keeps the core busy for about `duration`, like an expensive kernel.
void busy(std::chrono::nanoseconds duration) {
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
    }
}

unsigned pool_size() { return current_num_threads(); }

TEST(PoolSize, FollowsTheEnvironment) {
    const char* requested = std::getenv("RAYON_NUM_THREADS");
    ASSERT_NE(requested, nullptr) << "run through CTest, which sets RAYON_NUM_THREADS";
    const std::string kept = requested;
    const char* cpus_before = std::getenv("RAYON_RS_NUM_CPUS");
    const std::string kept_cpus = cpus_before ? cpus_before : "";
    EXPECT_EQ(current_num_threads(), static_cast<unsigned>(std::atoi(kept.c_str())));

    // Which variable decides, read as the pool reads them when it starts (the pool above exists
    // already; the variables are put back afterwards). nullptr: the variable is unset; 0: the
    // default, the CPUs this process may use.
    const unsigned cpus = std::max(1u, available_cpus());
    const struct {
        const char* threads;
        const char* cpus_variable;
        unsigned expected;
    } cases[] = {
        {"3", nullptr, 3},      {"+2", nullptr, 2},    {"1", "5", 1},   {"0", "5", 0},  {"abc", "5", 5},
        {"-3", "4", 4},         {"2.5", nullptr, 0},   {"", nullptr, 0}, {"+", nullptr, 0},
        {nullptr, "6", 6},      {nullptr, "0", 0},     {nullptr, nullptr, 0},
    };
    const auto put = [](const char* name, const char* value) {
        if (value == nullptr) {
            unsetenv(name);
        } else {
            setenv(name, value, 1);
        }
    };
    for (const auto& c : cases) {
        put("RAYON_NUM_THREADS", c.threads);
        put("RAYON_RS_NUM_CPUS", c.cpus_variable);
        EXPECT_EQ(pool_size_from_environment(), c.expected == 0 ? cpus : c.expected)
            << "RAYON_NUM_THREADS=" << (c.threads ? c.threads : "(unset)")
            << " RAYON_RS_NUM_CPUS=" << (c.cpus_variable ? c.cpus_variable : "(unset)");
    }
    put("RAYON_NUM_THREADS", kept.c_str());
    put("RAYON_RS_NUM_CPUS", cpus_before != nullptr ? kept_cpus.c_str() : nullptr);
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

TEST(PoolSize, AFractionalCpuQuotaIsRoundedUp) {
    EXPECT_EQ(cpus_of_quota(150000, 100000), 2u);  // 1.5 CPUs: two workers, not one
    EXPECT_EQ(cpus_of_quota(200000, 100000), 2u);
    EXPECT_EQ(cpus_of_quota(200001, 100000), 3u);
    EXPECT_EQ(cpus_of_quota(10000, 100000), 1u);
    EXPECT_EQ(cpus_of_quota(-1, 100000), 0u);  // no limit
    EXPECT_EQ(cpus_of_quota(100000, 0), 0u);
}

TEST(ParallelMap, KeepsInputOrderAndEvaluatesEachElementOnce) {
    for (const Sharing sharing : kBothWays) {
        for (std::size_t n : {0u, 1u, 2u, 3u, 17u, 1000u, 100003u}) {
            const auto inputs = iota(n);
            std::vector<std::atomic<int>> calls(n);
            const auto out = parallel_map(
                std::span<const double>(inputs),
                [&](double x) {
                    calls[static_cast<std::size_t>(x)].fetch_add(1);
                    if (n == 1000) busy(2us);  // long enough to be shared
                    return 2.0 * x + 1.0;
                },
                sharing);
            ASSERT_EQ(out.size(), n);
            for (std::size_t i = 0; i < n; ++i) {
                EXPECT_EQ(out[i], 2.0 * static_cast<double>(i) + 1.0);
                EXPECT_EQ(calls[i].load(), 1) << "element " << i << " of " << n;
            }
        }
    }
}

std::set<std::thread::id> threads_used(std::size_t n, std::chrono::nanoseconds cost, Sharing sharing) {
    const auto inputs = iota(n);
    std::mutex mutex;
    std::set<std::thread::id> ids;
    parallel_map(
        std::span<const double>(inputs),
        [&](double) {
            busy(cost);
            std::lock_guard<std::mutex> lock(mutex);
            ids.insert(std::this_thread::get_id());
            return 0.0;
        },
        sharing);
    return ids;
}

// Sanitizers slow the bookkeeping of each element by an order of magnitude, so that under them a
// map of a few "free" elements may truly be worth a hand-off.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(ParallelMap, SmallMapsStayOnTheCallingThread) {
    const std::set<std::thread::id> caller{std::this_thread::get_id()};
    EXPECT_EQ(threads_used(1, 0ns, Sharing::when_worth_it), caller);  // one element is never shared
    if (!kSanitized) {
        // The decision is timed, so a caller preempted in the middle may see a small map as a large
        // one now and then; a rule that shares small maps would share them in every attempt.
        bool stayed = false;
        for (int attempt = 0; attempt < 5 && !stayed; ++attempt) {
            stayed = threads_used(16, 0ns, Sharing::when_worth_it) == caller;
        }
        EXPECT_TRUE(stayed) << "a map of 16 elements of no work left the calling thread in 5 attempts";
    }
    // Handed over whole, even one element runs on a worker while the caller waits.
    const auto handed_over = threads_used(1, 0ns, Sharing::always);
    EXPECT_EQ(handed_over.size(), 1u);
    EXPECT_EQ(handed_over.count(std::this_thread::get_id()), 0u);
}

TEST(ParallelMap, LargeMapsUseTheWorkersWhenThereAreSeveral) {
    // 200 elements of 100 us: far more work than any hand-off costs.
    const auto ids = threads_used(200, 100us, Sharing::when_worth_it);
    if (pool_size() == 1) {
        EXPECT_EQ(ids, std::set<std::thread::id>{std::this_thread::get_id()});
    } else {
        EXPECT_GE(ids.size(), 2u);
    }
}

TEST(ParallelMap, NestedMapsRunOnTheSamePool) {
    // The inner maps run on workers that take part instead of blocking: with one worker this
    // would deadlock otherwise.
    const auto outer = iota(40);
    const auto inner = iota(500);
    for (const Sharing sharing : kBothWays) {
        const auto rows = parallel_map(
            std::span<const double>(outer),
            [&](double row) {
                EXPECT_NE(ThreadPool::current(), nullptr);
                return parallel_map(
                    std::span<const double>(inner), [row](double x) { return row * 1000.0 + x; }, sharing);
            },
            Sharing::always);
        ASSERT_EQ(rows.size(), outer.size());
        for (std::size_t r = 0; r < rows.size(); ++r) {
            ASSERT_EQ(rows[r].size(), inner.size());
            for (std::size_t i = 0; i < inner.size(); ++i) EXPECT_EQ(rows[r][i], static_cast<double>(r * 1000 + i));
        }
    }
}

TEST(ParallelMap, FailuresAreRethrownAfterEveryElementFinished) {
    const auto inputs = iota(5000);
    for (const Sharing sharing : kBothWays) {
        std::atomic<int> evaluated{0};
        EXPECT_THROW(parallel_map(
                         std::span<const double>(inputs),
                         [&](double x) {
                             evaluated.fetch_add(1);
                             if (x == 1234.0) throw std::runtime_error("element failed");
                             return x;
                         },
                         sharing),
                     std::runtime_error);
        // The range that threw stops there; every range before it has run.
        EXPECT_GE(evaluated.load(), 1235);
        const int after = evaluated.load();
        std::this_thread::sleep_for(10ms);
        EXPECT_EQ(evaluated.load(), after) << "a worker still evaluates the failed map";
        // The pool is still usable.
        EXPECT_TRUE(std::ranges::equal(parallel_map(std::span<const double>(inputs), [](double x) { return x; }),
                                       inputs));
    }
}

TEST(ParallelMap, ManyCallersAtOnce) {
    const auto inputs = iota(20000);
    for (const Sharing sharing : kBothWays) {
        std::vector<std::thread> callers;
        std::atomic<int> mismatches{0};
        for (int t = 0; t < 6; ++t) {
            callers.emplace_back([&, t] {
                for (int round = 0; round < 5; ++round) {
                    const auto out = parallel_map(
                        std::span<const double>(inputs),
                        [t](double x) {
                            if (static_cast<int>(x) % 100 == 0) busy(1us);
                            return x * t;
                        },
                        sharing);
                    for (std::size_t i = 0; i < out.size(); ++i) {
                        if (out[i] != inputs[i] * t) mismatches.fetch_add(1);
                    }
                }
            });
        }
        for (auto& caller : callers) caller.join();
        EXPECT_EQ(mismatches.load(), 0);
    }
}

// Says stop at its `stop_at`-th question, and records on which threads it was asked.
class StopAtQuestion final : public CallerHook {
public:
    explicit StopAtQuestion(int stop_at) : stop_at_(stop_at) {}

    bool stop_requested() override {
        threads_.insert(std::this_thread::get_id());
        return asked_.fetch_add(1) + 1 >= stop_at_;
    }

    // For a kernel: holds its thread until the check has been asked `times` (so that the map
    // cannot end before, however slowly the machine lets the caller run).
    void await_questions(int times) const {
        while (asked_.load() < times) std::this_thread::yield();
    }

    int stop_at_;
    std::atomic<int> asked_{0};
    std::set<std::thread::id> threads_;
};

struct InterruptCase {
    const char* name;
    Sharing outer;
    bool nested;
};

class Interruption : public testing::TestWithParam<InterruptCase> {};

TEST_P(Interruption, StopsTheMapAndLeavesThePoolUsable) {
    // About two seconds of work per worker if nothing stopped it; the check says stop at its third
    // question, which the calling thread asks while the map runs.
    const InterruptCase& c = GetParam();
    const auto outer = iota(c.nested ? 16 : 400000);
    const auto inner = iota(25000);
    const long total = c.nested ? 16 * 25000 : 400000;
    StopAtQuestion check(3);
    std::atomic<long> evaluated{0};
    const auto element = [&](double) {
        // Past the first half, the workers wait until the check has said stop (the calling thread,
        // which asks it, asks between its own runs).
        if (evaluated.fetch_add(1, std::memory_order_relaxed) >= total / 2 && ThreadPool::current() != nullptr) {
            check.await_questions(3);
        }
        busy(5us);
        return 1.0;
    };
    const auto row = [&](double) {
        return parallel_map(std::span<const double>(inner), element).size();
    };
    {
        const ScopedCallerHook installed(check);
        if (c.nested) {
            EXPECT_THROW(parallel_map(std::span<const double>(outer), row, c.outer), Interrupted);
        } else {
            EXPECT_THROW(parallel_map(std::span<const double>(outer), element, c.outer), Interrupted);
        }
    }
    EXPECT_EQ(check.asked_.load(), 3);  // its answer stands: it is not asked again
    EXPECT_EQ(check.threads_, std::set<std::thread::id>{std::this_thread::get_id()});
    // The map stopped early, and no worker touches it once the caller is back.
    const long stopped_at = evaluated.load();
    EXPECT_LT(stopped_at, total);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(evaluated.load(), stopped_at) << "a worker still evaluates the stopped map";
    // The pool works on, and without a check installed nothing is stopped.
    const auto again = iota(2000);
    EXPECT_TRUE(std::ranges::equal(parallel_map(std::span<const double>(again), [](double x) { return x; }, c.outer),
                                   again));
}

INSTANTIATE_TEST_SUITE_P(
    ParallelMap, Interruption,
    testing::Values(InterruptCase{"flat", Sharing::when_worth_it, false}, InterruptCase{"flat_handed_over", Sharing::always, false},
                    InterruptCase{"nested", Sharing::when_worth_it, true},
                    InterruptCase{"nested_on_workers", Sharing::always, true}),
    [](const testing::TestParamInfo<InterruptCase>& info) { return info.param.name; });

TEST(ParallelMap, AFailingCheckEndsTheMapAfterTheWorkersLeft) {
    struct Throwing final : CallerHook {
        bool stop_requested() override {
            asked.store(true);
            throw std::runtime_error("the check failed");
        }
        std::atomic<bool> asked{false};
    } check;
    const auto inputs = iota(100000);
    std::atomic<long> evaluated{0};
    {
        const ScopedCallerHook installed(check);
        EXPECT_THROW(parallel_map(std::span<const double>(inputs),
                                  [&](double x) {
                                      // Past the first half, the workers wait until the check has
                                      // been asked (and failed).
                                      if (evaluated.fetch_add(1) >= 50000 && ThreadPool::current() != nullptr) {
                                          while (!check.asked.load()) std::this_thread::yield();
                                      }
                                      busy(5us);
                                      return x;
                                  }),
                     std::runtime_error);
    }
    EXPECT_LT(evaluated.load(), 100000);
    const long total = evaluated.load();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(evaluated.load(), total);
}

// The first run that a worker claims stalls until the calling thread's hook releases it, which it
// does once every other element is evaluated: the calling thread must take over the rest of the
// map while the worker that would have held it in a range of its own is held.
TEST(ParallelMap, TheCallerTakesOverWhatAStalledWorkerLeft) {
    if (pool_size() < 2 || available_cpus() < 2) GTEST_SKIP() << "needs a worker that takes part with the caller";
    constexpr std::size_t n = 4000;  // about 4 ms of work: shared in its first microseconds
    const auto deadline = Clock::now() + 30s;
    struct State {
        std::vector<std::atomic<int>> calls = std::vector<std::atomic<int>>(n);
        std::atomic<long> evaluated{0};
        std::atomic<bool> stall_taken{false}, stalled{false}, released{false};
        std::size_t stalled_begin = 0, stalled_size = 0;  // written before `stalled` is set
        long evaluated_at_release = -1;
    } state;
    struct Kernel {
        State* state;
        Clock::time_point deadline;
        double operator()(double x) const { return 2.0 * x + 1.0; }
        void range(std::span<const double> x, double* out) const {
            const auto first = static_cast<std::size_t>(x.front());
            if (ThreadPool::current() != nullptr && !state->stall_taken.exchange(true)) {
                state->stalled_begin = first;
                state->stalled_size = x.size();
                state->stalled.store(true);
                while (!state->released.load() && Clock::now() < deadline) std::this_thread::yield();
            } else if (ThreadPool::current() == nullptr && first >= n / 4) {
                // The caller goes on only once a worker has stalled (by then the map is shared).
                while (!state->stalled.load() && Clock::now() < deadline) std::this_thread::yield();
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                state->calls[first + i].fetch_add(1);
                busy(1us);
                out[i] = (*this)(x[i]);
            }
            state->evaluated.fetch_add(static_cast<long>(x.size()));
        }
    };
    struct Release final : CallerHook {
        State* state;
        bool stop_requested() override {
            if (state->stalled.load() && !state->released.load() &&
                state->evaluated.load() + static_cast<long>(state->stalled_size) == static_cast<long>(n)) {
                state->evaluated_at_release = state->evaluated.load();
                state->released.store(true);
            }
            return false;
        }
    } release;
    release.state = &state;
    const auto inputs = iota(n);
    ResultVector<double> out;
    {
        const ScopedCallerHook installed(release);
        out = parallel_map(std::span<const double>(inputs), Kernel{&state, deadline});
    }
    ASSERT_TRUE(state.stalled.load()) << "no worker took part";
    ASSERT_TRUE(state.released.load()) << "the caller did not finish the rest while the worker was held";
    EXPECT_EQ(state.evaluated_at_release + static_cast<long>(state.stalled_size), static_cast<long>(n));
    EXPECT_LE(state.stalled_size, n / 8) << "the worker held a range of its own";
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(state.calls[i].load(), 1) << "element " << i;
        EXPECT_EQ(out[i], 2.0 * static_cast<double>(i) + 1.0);
    }
}

// Waits up to 30 s for a forked child and returns its exit code; -1 when it did not exit (it is
// killed then) or ended by a signal.
int child_exit_code(pid_t child) {
    int status = 0;
    pid_t ended = 0;
    for (int wait = 0; wait < 3000 && ended == 0; ++wait) {
        ended = waitpid(child, &status, WNOHANG);
        if (ended == 0) std::this_thread::sleep_for(10ms);
    }
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Forks the process at its first question, as a Python signal handler may.
class ForkAtFirstQuestion final : public CallerHook {
public:
    bool stop_requested() override {
        if (pid_ < 0) pid_ = fork();
        return false;
    }
    pid_t pid_ = -1;
};

TEST(ParallelMap, AForkByTheCheckLeavesNoChildWaiting) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers' runtimes do not support a fork among running threads";
    const auto inputs = iota(200000);
    const auto twice = [](double x) {
        busy(1us);
        return 2.0 * x;
    };
    for (const Sharing sharing : kBothWays) {
        ForkAtFirstQuestion check;
        int outcome = 0;  // 0: finished with the right results, 1: ForkedDuringMap, 2: wrong results
        {
            const ScopedCallerHook installed(check);
            try {
                const auto out = parallel_map(std::span<const double>(inputs), twice, sharing);
                for (std::size_t i = 0; i < out.size(); ++i) outcome = out[i] == 2.0 * inputs[i] ? outcome : 2;
            } catch (const ForkedDuringMap&) {
                outcome = 1;
            }
        }
        if (check.pid_ == 0) _exit(10 + outcome);  // the child, which must get here
        ASSERT_GT(check.pid_, 0);
        EXPECT_EQ(outcome, 0);  // the parent's map is unaffected
        // Handed over, the map is on workers that the child lacks; a pool of one worker never
        // takes a map from its caller, whose child then finishes it.
        const int code = child_exit_code(check.pid_);
        ASSERT_NE(code, -1) << "the child waits for workers that are not in it";
        if (sharing == Sharing::always) {
            EXPECT_EQ(code, 11);
        } else if (pool_size() == 1) {
            EXPECT_EQ(code, 10);
        } else {
            EXPECT_TRUE(code == 10 || code == 11) << code;
        }
    }
}

// The fork comes from the hook asked by a map nested in an element that the calling thread
// evaluates (a per-pair map of multi_witt_mao_magnification), before the outer map is shared. The
// outer map has asked nothing yet, and its decision to share follows that element at once: in the
// child it must see the fork there, since its pool is the parent's (whose lock a worker of the
// parent may hold) or, once a map in the child has started a pool in the same storage, the child's,
// whose workers the outer map would leave behind when it then ends with ForkedDuringMap. Not
// shared at the fork, the outer map is the child's to finish.
TEST(ParallelMap, AForkByANestedMapsCheckIsSeenByTheOuterMap) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers' runtimes do not support a fork among running threads";
    const auto inputs = iota(8);
    const auto nested_inputs = iota(64);
    for (const bool pool_in_child : {false, true}) {
        const pid_t parent = getpid();
        const auto outer = [&](double x) {
            if (x == 1.0 && current_worker() == nullptr && getpid() == parent) {
                // The second element is the caller's (the outer map decides after it): its nested
                // map, too cheap to share, asks the hook after its second element, which forks.
                parallel_map(std::span<const double>(nested_inputs), [](double v) { return v; });
                // A map that the child starts here makes its pool in the parent's storage.
                if (pool_in_child) parallel_map(std::span<const double>(nested_inputs), [](double v) { return v; });
                busy(5ms);  // the rest is then worth sharing with any pool of two workers or more
            } else {
                busy(100us);
            }
            return 2.0 * x;
        };
        ForkAtFirstQuestion check;
        int outcome = 0;  // 0: finished with the right results, 1: ForkedDuringMap, 2: wrong results
        {
            const ScopedCallerHook installed(check);
            try {
                const auto out = parallel_map(std::span<const double>(inputs), outer);
                for (std::size_t i = 0; i < out.size(); ++i) outcome = out[i] == 2.0 * inputs[i] ? outcome : 2;
            } catch (const ForkedDuringMap&) {
                outcome = 1;
            }
        }
        if (check.pid_ == 0) _exit(10 + outcome);
        ASSERT_GT(check.pid_, 0) << "the nested map's check did not fork";
        EXPECT_EQ(outcome, 0);
        EXPECT_EQ(child_exit_code(check.pid_), 10) << (pool_in_child ? "with" : "without") << " a pool in the child";
    }
}

TEST(Interrupt, AStopRequestedBeforeACallsFirstMapStopsItBeforeItsFirstElement) {
    // A stop that came while the call did sequential work (a conversion, a plan) is seen at the
    // start of its first map, however long its elements are.
    StopAtQuestion at_once(1);
    std::atomic<int> evaluated{0};
    const auto inputs = iota(64);
    {
        const ScopedCallerHook installed(at_once);
        EXPECT_THROW(parallel_map(std::span<const double>(inputs),
                                  [&](double x) {
                                      evaluated.fetch_add(1);
                                      busy(100us);
                                      return x;
                                  }),
                     Interrupted);
    }
    EXPECT_EQ(evaluated.load(), 0);
    EXPECT_EQ(at_once.asked_.load(), 1);
}

// RunLength, fed the times of runs: the shortest run holds kClaimWork at the cost its last run
// measured, shrinking at once and growing at most twofold a run.
TEST(RunLength, FollowsTheCostOfTheLastRun) {
    using detail::RunLength;
    const Clock::time_point start{};
    const std::size_t plenty = 1 << 30;  // left to claim: runs of eight times the shortest
    RunLength length(10.0, 8, 2);       // 10 ns an element: 400 elements a claim
    std::size_t run = length(plenty, start);
    EXPECT_EQ(run, 3200u);
    // The elements turn out to cost 1 us each (or the thread was preempted): 4 elements hold a
    // claim, below the floor of one set of lanes.
    Clock::time_point now = start + run * 1us;
    run = length(plenty, now);
    EXPECT_EQ(run, 64u);
    // Cheap again (10 ns): the shortest run doubles a run until it holds a claim's work.
    std::vector<std::size_t> runs;
    for (int i = 0; i < 8; ++i) {
        now += run * 10ns;
        run = length(plenty, now);
        runs.push_back(run);
    }
    EXPECT_EQ(runs, (std::vector<std::size_t>{128, 256, 512, 1024, 2048, 3200, 3200, 3200}));
    // Towards the end, a quarter of an even share of what is left, but at least the shortest run.
    now += run * 10ns;
    EXPECT_EQ(length(16000, now), 2000u);
    now += 2000 * 10ns;
    EXPECT_EQ(length(1000, now), 400u);
    // The cost not known: from the floor up.
    RunLength unknown(std::numeric_limits<double>::infinity(), 1, 3);
    EXPECT_EQ(unknown(plenty, start), 8u);
    EXPECT_EQ(unknown(plenty, start + 8 * 10ns), 16u);
}

TEST(Interrupt, SequentialLoopsStopAndTheCheckIsAskedOnce) {
    StopAtQuestion never(1 << 30), at_once(1);
    const ScopedCallerHook outer(never);
    EXPECT_NO_THROW(interruption_point());
    {
        const ScopedCallerHook inner(at_once);
        EXPECT_THROW(interruption_point(), Interrupted);
        EXPECT_THROW(interruption_point(), Interrupted);
        EXPECT_EQ(at_once.asked_.load(), 1);  // its answer stands; it is not asked again
    }
    EXPECT_NO_THROW(interruption_point());  // the outer check is back
    EXPECT_EQ(never.asked_.load(), 2);
}

// The hook's own code calls again while the caller waits for its map, as a Python signal handler
// that calls the module does. The inner call's maps are its own: stopped by its own hook, the
// inner map throws instead of returning unfinished results (as a map nested in an element of the
// outer one would), a map it runs to the end gives every result, and the outer map neither stops
// nor loses an element.
class CallsAgainAtFirstQuestion final : public CallerHook {
public:
    bool stop_requested() override {
        if (!called_) {
            called_ = true;
            stopped_inner_ = run_inner(1);        // its hook says stop at its first question
            finished_inner_ = run_inner(1 << 30);  // never
        }
        return false;
    }

    // 1: the inner map threw Interrupted; 0: it returned every result, right; -1: it returned
    // something else.
    static int run_inner(int stop_at) {
        StopAtQuestion hook(stop_at);
        const ScopedCallerHook installed(hook);
        const auto inputs = iota(20000);
        try {
            const auto out = parallel_map(std::span<const double>(inputs), [](double x) {
                busy(2us);
                return 3.0 * x;
            });
            for (std::size_t i = 0; i < inputs.size(); ++i) {
                if (out[i] != 3.0 * inputs[i]) return -1;
            }
            return 0;
        } catch (const Interrupted&) {
            return 1;
        }
    }

    bool called_ = false;
    int stopped_inner_ = -2, finished_inner_ = -2;
};

TEST(Interrupt, ACallMadeByTheHookHasMapsAndAStopOfItsOwn) {
    const auto inputs = iota(50000);
    for (const Sharing sharing : kBothWays) {
        CallsAgainAtFirstQuestion hook;
        ResultVector<double> out;
        {
            const ScopedCallerHook installed(hook);
            ASSERT_NO_THROW(out = parallel_map(std::span<const double>(inputs),
                                               [](double x) {
                                                   busy(1us);
                                                   return x + 1.0;
                                               },
                                               sharing));
        }
        ASSERT_TRUE(hook.called_) << "the outer map never asked its hook";
        EXPECT_EQ(hook.stopped_inner_, 1) << "the stopped inner map did not throw";
        EXPECT_EQ(hook.finished_inner_, 0);
        for (std::size_t i = 0; i < inputs.size(); ++i) ASSERT_EQ(out[i], inputs[i] + 1.0) << i;
    }
}

// The limb-darkened and flux-map functions: a batch shared over the pool gives, in input order,
// the bits of the one-separation calls (which run on the calling thread, outside any map), also
// where the separation has no finite value (the discrete map raises there, and is left out).
using ExtendedFunction = std::vector<double> (*)(std::vector<double>);
const std::vector<double> kRadii{0.0, 0.2, 0.45, 0.7, 0.9, 1.0};
const std::vector<double> kBrightness{1.0, 0.97, 0.85, 0.7, 0.55, 0.4};
constexpr ExtendedFunction kExtendedFunctions[] = {
    [](std::vector<double> l) { return models::integrated_witt_mao_magnification(std::move(l), 1.0, 0.05); },
    [](std::vector<double> l) { return models::integrated_heyrovsky_magnification(std::move(l), 1.0, 0.05); },
    [](std::vector<double> l) {
        return models::integrated_flux_map_witt_mao_magnification(std::move(l), 1.0, 0.05, kRadii, kBrightness).value();
    },
    [](std::vector<double> l) {
        return models::integrated_flux_map_heyrovsky_magnification(std::move(l), 1.0, 0.05, kRadii, kBrightness).value();
    },
    [](std::vector<double> l) {
        return models::discrete_flux_map_heyrovsky_magnification(std::move(l), 1.0, 0.05, kRadii, kBrightness).value();
    },
};

constexpr std::size_t kDiscrete = 4;

class ExtendedSources : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ExtendedSources, ABatchEqualsItsOneSeparationCallsInOrder) {
    const ExtendedFunction function = kExtendedFunctions[GetParam()];
    std::vector<double> l;
    for (int i = 0; i < 120; ++i) l.push_back(0.0173 * i + 0.001);  // inside the source and out
    if (GetParam() != kDiscrete) {
        for (const double special : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(), -0.5, 0.0}) {
            l.insert(l.begin() + 60, special);
        }
    }
    const auto batch = function(l);
    ASSERT_EQ(batch.size(), l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        const double expected = function({l[i]})[0];
        EXPECT_EQ(std::memcmp(&batch[i], &expected, sizeof expected), 0) << i << ": " << batch[i] << " " << expected;
    }
}

INSTANTIATE_TEST_SUITE_P(AllFive, ExtendedSources, ::testing::Range<std::size_t>(0, std::size(kExtendedFunctions)));

TEST(ExtendedSources, ADiscreteMapFailsWhereverInTheBatchItsRingFails) {
    std::vector<double> l;
    for (int i = 0; i < 2000; ++i) l.push_back(0.5 + 1e-3 * i);
    for (const std::size_t at : {std::size_t{0}, std::size_t{1000}, l.size() - 1}) {
        std::vector<double> failing = l;
        failing[at] = -1.0;
        const auto result = models::discrete_flux_map_heyrovsky_magnification(failing, 1.0, 0.05, kRadii, kBrightness);
        ASSERT_FALSE(result.has_value()) << at;
        EXPECT_STREQ(result.error().message, "ellipk: Arguments cannot be NAN.");
    }
}

}  // namespace
}  // namespace mirvanta::parallel
