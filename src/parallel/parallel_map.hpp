// The order-preserving parallel map: out[i] = kernel(inputs[i]) for every i, on the worker pool.
//
// The index range is split recursively in halves. A split budget starts at the pool size and is
// halved by each split; a range that another thread took over (stolen) resets it to at least the
// pool size, so work that moves keeps being divisible. A range that is not split runs in index
// order. Every half writes straight into its own part of the output: nothing is merged or copied.
//
// Called from outside the pool, the map is handed to the workers and the caller blocks until it
// is done; called from a worker (a map inside a map), the worker takes part in the work.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "parallel/panic.hpp"
#include "parallel/result_vector.hpp"
#include "parallel/thread_pool.hpp"

namespace mirvanta::parallel {

namespace detail {

template <class In, class Out, class Kernel>
class MapRun {
public:
    MapRun(std::span<const In> inputs, Out* out, const Kernel& kernel, ThreadPool& pool)
        : inputs_(inputs), out_(out), kernel_(kernel), pool_(pool) {}

    void range(std::size_t begin, std::size_t end, unsigned budget, bool stolen) {
        const std::size_t length = end - begin;
        bool split = false;
        if (length / 2 >= 1) {
            if (stolen) {
                budget = std::max(pool_.size(), budget / 2);
                split = true;
            } else if (budget > 0) {
                budget /= 2;
                split = true;
            }
        }
        if (!split) {
            for (std::size_t i = begin; i < end; ++i) out_[i] = kernel_(inputs_[i]);
            writes_.fetch_add(length, std::memory_order_relaxed);
            return;
        }
        const std::size_t middle = begin + length / 2;
        RangeJob second(*this, middle, end, budget);
        pool_.join([&] { range(begin, middle, budget, false); }, second);
    }

    // The whole index range, starting with a split budget of one split per worker.
    void whole() { range(0, inputs_.size(), pool_.size(), false); }

    std::size_t writes() const { return writes_.load(std::memory_order_relaxed); }

private:
    class RangeJob : public Job {
    public:
        RangeJob(MapRun& run, std::size_t begin, std::size_t end, unsigned budget)
            : run_(run), begin_(begin), end_(end), budget_(budget) {}
        void execute(bool stolen) override { run_.range(begin_, end_, budget_, stolen); }

    private:
        MapRun& run_;
        std::size_t begin_, end_;
        unsigned budget_;
    };

    std::span<const In> inputs_;
    Out* out_;
    const Kernel& kernel_;
    ThreadPool& pool_;
    std::atomic<std::size_t> writes_{0};
};

}  // namespace detail

// One result per input, in input order (a ResultVector: the elements are written once, by the
// map, and not zeroed first). Kernel failures (exceptions) are rethrown after every
// element has finished; the first one wins.
template <class In, class Kernel>
auto parallel_map(std::span<const In> inputs, const Kernel& kernel) {
    using Out = std::decay_t<decltype(kernel(inputs[0]))>;
    ResultVector<Out> out(inputs.size());
    ThreadPool* worker = ThreadPool::current();
    ThreadPool& pool = worker != nullptr ? *worker : global_pool();
    detail::MapRun<In, Out, Kernel> run(inputs, out.data(), kernel, pool);
    if (worker != nullptr) {
        run.whole();
    } else if (!inputs.empty()) {
        struct Root : Job {
            detail::MapRun<In, Out, Kernel>& run;
            explicit Root(detail::MapRun<In, Out, Kernel>& whole_run) : run(whole_run) {}
            void execute(bool) override { run.whole(); }
        } root(run);
        pool.run_from_outside(root);
    }
    if (run.writes() != inputs.size()) {
        throw Panic("expected " + std::to_string(inputs.size()) + " total writes, but got " +
                    std::to_string(run.writes()));
    }
    return out;
}

}  // namespace mirvanta::parallel
