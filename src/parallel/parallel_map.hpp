// The order-preserving parallel map: out[i] = kernel(inputs[i]) for every i, on the worker pool.
//
// A map starts on the calling thread: it evaluates the first elements there, timing them, and
// hands the rest to the pool only once the estimated work of the rest outweighs what a hand-off
// costs (as the pool measures it). A map too small to be worth sharing never leaves the calling
// thread, and a pool of one worker never takes work from it; the pool still exists from the
// first map on.
//
// What is shared is split recursively in halves. A split budget starts at the pool size and is
// halved by each split; a range that another thread took over (stolen) resets it to at least the
// pool size, so work that moves keeps being divisible. A range whose half holds less work than a
// hand-off is not split. A range that is not split runs in index order, unless a worker looks
// for work meanwhile: then what is left of it is halved again. Every half writes straight into
// its own part of the output: nothing is merged or copied. Since every element is computed by
// the same kernel whoever runs it, the results do not depend on the pool size.
//
// Called from outside the pool, the map is handed to the workers and the caller blocks until it
// is done. Meanwhile it lets the installed caller hook do its own work, and asks it whether to
// stop at most kInterruptPollInterval apart; if so, the workers stop taking new ranges and leave
// the ones they run within a few elements, and Interrupted is thrown once none of them touches
// the map any more. Called from a worker (a map inside a map), the worker takes part in the work,
// and the map stops with the map around it: it then returns what it has, without throwing (a
// worker throws nothing, since an exception is allocated), and the map around it throws.
//
// When there is no pool (the system refused its threads), the map runs on the calling thread,
// checking as it goes, after the hook has been told why. When the hook's own code forks the
// process (a signal handler), the child finishes on its calling thread a map that it had not
// handed over yet; one that is on the parent's workers ends in the child with ForkedDuringMap.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "parallel/caller_hook.hpp"
#include "parallel/panic.hpp"
#include "parallel/result_vector.hpp"
#include "parallel/thread_pool.hpp"

namespace mirvanta::parallel {

enum class Sharing {
    when_worth_it,  // start on the calling thread; share the rest only when it is worth a hand-off
    always,         // hand the whole range to the pool at once (to exercise the pool itself)
};

// A kernel may also evaluate a contiguous run of elements at once, as kernel.range(inputs, out)
// for inputs[0..n) into out[0..n), with exactly the results of the element-wise calls; the map
// then hands it the runs it would otherwise evaluate one element at a time.
template <class Kernel, class In, class Out>
concept RangeKernel = requires(const Kernel& kernel, std::span<const In> inputs, Out* out) {
    kernel.range(inputs, out);
};

namespace detail {

using Clock = std::chrono::steady_clock;

// The calling thread checks with its hook after every stretch of this much of its own computing,
// and sleeps at most a nap at a time while it waits for the workers. Both are well under
// kInterruptPollInterval: when the workers fill every core, the scheduler may give the caller its
// CPU back up to a time slice (1 to 3 ms) later than asked, and the checks must stay within the
// interval all the same.
inline constexpr std::chrono::microseconds kCallerStretch{1000};
inline constexpr std::chrono::microseconds kCallerNap{2000};
static_assert(2 * kCallerStretch <= kInterruptPollInterval && 2 * kCallerNap <= kInterruptPollInterval);

// Sets, for the length of a scope, the stop flag of the map whose elements this worker evaluates:
// a map nested in them stops with it.
class EnclosingStop {
public:
    explicit EnclosingStop(const std::atomic<bool>* flag) noexcept
        : worker_(*current_worker()), previous_(worker_.enclosing_stop) {
        worker_.enclosing_stop = flag;
    }
    ~EnclosingStop() { worker_.enclosing_stop = previous_; }
    EnclosingStop(const EnclosingStop&) = delete;
    EnclosingStop& operator=(const EnclosingStop&) = delete;

private:
    WorkerState& worker_;
    const std::atomic<bool>* previous_;
};

template <class In, class Out, class Kernel>
class MapRun {
public:
    // `pool` is null when there is none: the map then runs on the calling thread.
    MapRun(std::span<const In> inputs, Out* out, const Kernel& kernel, ThreadPool* pool,
           const std::atomic<bool>* enclosing)
        : inputs_(inputs), out_(out), kernel_(kernel), pool_(pool),
          stop_(enclosing != nullptr ? enclosing : &own_stop_), generation_(fork_generation()) {}

    // On a thread outside the pool.
    void from_outside(Sharing sharing) {
        std::size_t begin = 0;
        if (sharing == Sharing::when_worth_it || !may_share()) {
            begin = start_alone(true);
            if (begin == inputs_.size()) return;
        }
        hand_off(begin);
    }

    // On a worker of the pool, inside another map.
    void on_worker(Sharing sharing) {
        const EnclosingStop nested(stop_);
        std::size_t begin = 0;
        if (sharing == Sharing::when_worth_it) {
            begin = start_alone(false);
            if (begin == inputs_.size()) return;
        }
        range(begin, inputs_.size(), pool_->size(), false);
    }

    std::size_t writes() const { return writes_.load(std::memory_order_relaxed); }
    bool stopped() const { return stop_->load(std::memory_order_relaxed); }

private:
    class RangeJob final : public Job {
    public:
        RangeJob(MapRun& run, std::size_t begin, std::size_t end, unsigned budget)
            : run_(run), begin_(begin), end_(end), budget_(budget) {}
        void execute(bool stolen) override {
            const EnclosingStop nested(run_.stop_);
            run_.range(begin_, end_, budget_, stolen);
        }

    private:
        MapRun& run_;
        std::size_t begin_, end_;
        unsigned budget_;
    };

    // The part of the map handed over by a caller outside the pool, timed for the hand-off cost.
    class RootJob final : public Job {
    public:
        RootJob(MapRun& run, std::size_t begin) : run_(run), begin_(begin) {}
        void execute(bool) override {
            started_ = Clock::now();
            const EnclosingStop nested(run_.stop_);
            run_.range(begin_, run_.inputs_.size(), run_.pool_->size(), false);
            finished_ = Clock::now();
        }
        Clock::time_point started_{}, finished_{};

    private:
        MapRun& run_;
        std::size_t begin_;
    };

    // Elements [begin, end), by the kernel's range where it has one.
    void elements(std::size_t begin, std::size_t end) {
        if constexpr (RangeKernel<Kernel, In, Out>) {
            kernel_.range(inputs_.subspan(begin, end - begin), out_ + begin);
        } else {
            for (std::size_t i = begin; i < end; ++i) out_[i] = kernel_(inputs_[i]);
        }
    }

    // Elements [begin, end) in index order on this thread, stopping early when the map stops.
    // (On a worker, the thread's enclosing stop flag is this map's while it runs its elements.)
    void evaluate(std::size_t begin, std::size_t end) {
        constexpr std::size_t kStopCheckStride = 16;
        std::size_t i = begin;
        while (i < end && !stopped()) {
            const std::size_t stride_end = std::min(end, i + kStopCheckStride);
            elements(i, stride_end);
            i = stride_end;
        }
        writes_.fetch_add(i - begin, std::memory_order_relaxed);
    }

    // A range that the budget no longer splits, on a worker: evaluated in order, unless a worker
    // goes idle meanwhile; then what is left is halved and the upper half offered, so that the
    // last ranges of a map do not keep the other workers waiting.
    void leaf(std::size_t begin, std::size_t end) {
        constexpr std::size_t kStride = 16;
        std::size_t i = begin;
        while (i < end && !stopped()) {
            if (end - i >= 2 * std::max<std::size_t>(min_split_, 1) && pool_->wants_work()) {
                writes_.fetch_add(i - begin, std::memory_order_relaxed);
                const std::size_t middle = i + (end - i) / 2;
                RangeJob second(*this, middle, end, 0);
                pool_->join([&] { leaf(i, middle); }, second);
                return;
            }
            const std::size_t stride_end = std::min(end, i + kStride);
            elements(i, stride_end);
            i = stride_end;
        }
        writes_.fetch_add(i - begin, std::memory_order_relaxed);
    }

    void range(std::size_t begin, std::size_t end, unsigned budget, bool stolen) {
        if (stopped()) return;
        const std::size_t length = end - begin;
        bool split = false;
        if (length / 2 >= min_split_) {
            if (stolen) {
                budget = std::max(pool_->size(), budget / 2);
                split = true;
            } else if (budget > 0) {
                budget /= 2;
                split = true;
            }
        }
        if (!split) return leaf(begin, end);
        const std::size_t middle = begin + length / 2;
        RangeJob second(*this, middle, end, budget);
        pool_->join([&] { range(begin, middle, budget, false); }, second);
    }

    // Whether the process has forked since the map started: code that the hook ran did it, and
    // this is the child.
    bool forked() const { return fork_generation() != generation_; }

    // Whether the rest of the map may go to the pool's workers: there is a pool, and it is this
    // process's.
    bool may_share() const { return pool_ != nullptr && !forked(); }

    // Shared over p workers the rest takes remaining / p and a hand-off; it is shared when that
    // saves at least one more hand-off.
    bool worth_sharing(double remaining_ns, double hand_off_ns) const {
        const double workers = pool_->size();
        return workers > 1 && remaining_ns * (1.0 - 1.0 / workers) > 2.0 * hand_off_ns;
    }

    // Evaluates elements from the first on, on this thread, until all are done or the rest is
    // worth sharing; returns where the rest begins (the input size when nothing is left). The
    // first element is not timed (it warms the caches); then chunks of growing length are, each
    // followed by the decision and, on a thread outside the pool, by a check with the hook. A
    // chunk holds about kCallerStretch of work, so that the checks stay well within the interval.
    std::size_t start_alone(bool poll) {
        const std::size_t n = inputs_.size();
        if (n == 0) return 0;
        evaluate(0, 1);
        std::size_t done = 1;
        const auto start = Clock::now();
        std::size_t chunk = 1;
        while (done < n && !stopped()) {
            const std::size_t end = done + std::min(chunk, n - done);
            evaluate(done, end);
            done = end;
            if (done == n) break;
            const auto now = Clock::now();
            const double per_element = std::chrono::duration<double, std::nano>(now - start).count() /
                                       static_cast<double>(done - 1);
            if (may_share()) {
                const double hand_off_ns = static_cast<double>(pool_->hand_off_cost().count());
                if (worth_sharing(per_element * static_cast<double>(n - done), hand_off_ns)) {
                    // Halves holding less work than a hand-off stay whole.
                    min_split_ = static_cast<std::size_t>(
                        std::max(1.0, std::ceil(hand_off_ns / std::max(per_element, 1e-3))));
                    return done;
                }
            }
            if (poll) interruption_point();
            // The next decision after about a stretch of work, and after a chunk at most four
            // times as long as what is done, so that a misleading start is corrected soon.
            const double per_stretch =
                std::chrono::duration<double, std::nano>(kCallerStretch).count() / std::max(per_element, 1e-3);
            chunk = std::max<std::size_t>(1, std::min<double>(per_stretch, 4.0 * static_cast<double>(done)));
        }
        return n;
    }

    // Stops the map and waits until no worker touches it any more; in a forked child, where no
    // worker exists, there is nothing to wait for. The caller stops counting as busy first: the
    // root job may still be queued for want of a CPU.
    void stop_and_wait(RootJob& root, ThreadPool::CallerWorking& working) {
        own_stop_.store(true, std::memory_order_relaxed);
        if (forked()) {
            working.forget();
            return;
        }
        working.end();
        while (!pool_->wait(root, std::chrono::nanoseconds::zero(), false)) {
        }
    }

    // Hands [begin, n) to the workers and waits for them. Meanwhile the caller does the installed
    // hook's own work, a slice at a time, then naps; after every slice and every nap it asks the
    // hook whether to stop. So it asks at least every kCallerNap, and at once when a signal wakes
    // it; it never yields its CPU while it is awake, so that the scheduler does not put it behind
    // the busy workers.
    void hand_off(std::size_t begin) {
        RootJob root(*this, begin);
        // Until the hook has no more work of its own, this thread counts as a busy one of the
        // pool's, so that the workers leave it a CPU.
        ThreadPool::CallerWorking working(*pool_);
        const auto submitted = Clock::now();
        pool_->submit(root);
        bool interrupted = false;
        bool worked = false;
        // In a forked child the pool is not this process's: nothing of it may be touched (its
        // lock may be held by a worker that is not in the child).
        const auto leave_if_forked = [&] {
            if (!forked()) return;
            working.forget();
            throw ForkedDuringMap{};
        };
        try {
            bool more = true;
            bool first_wait = true;
            while (!pool_->finished(root)) {
                if (more) {
                    more = work_while_waiting();
                    worked = worked || more;
                } else if (pool_->wait(root, kCallerNap, first_wait)) {
                    break;
                } else {
                    first_wait = false;
                }
                leave_if_forked();
                if (!more) working.end();
                if (stop_requested()) {
                    interrupted = true;
                    break;
                }
                leave_if_forked();
            }
        } catch (...) {  // the hook failed, or this thread is ending: the workers must leave this stack first
            stop_and_wait(root, working);
            throw;
        }
        if (interrupted) {
            stop_and_wait(root, working);
            throw Interrupted{};
        }
        if (root.failure()) std::rethrow_exception(root.failure());
        // A caller busy with its own work notices the end late; that is not the hand-off's cost.
        if (!worked) pool_->record_hand_off((root.started_ - submitted) + (Clock::now() - root.finished_));
    }

    std::span<const In> inputs_;
    Out* out_;
    const Kernel& kernel_;
    ThreadPool* pool_;
    std::atomic<bool> own_stop_{false};
    const std::atomic<bool>* stop_;  // own_stop_, or the flag of the map this one is nested in
    const std::uint64_t generation_;  // the process's fork generation when the map started
    std::size_t min_split_ = 1;      // a range is split only when its halves have at least this many
    std::atomic<std::size_t> writes_{0};
};

}  // namespace detail

// out[i] = kernel(inputs[i]) for every i, into space for inputs.size() results. `out` may be
// the inputs' own storage: each element is read before its result is written, and by nothing
// else. A kernel failure (exception) is rethrown once no thread works on the map any more; the
// first one wins. Throws Interrupted when the installed caller hook stops the map (on a worker,
// a map nested in a stopped map returns instead, its results incomplete), and ForkedDuringMap
// in a child forked by the hook's code while the map was on the workers.
template <class In, class Out, class Kernel>
void parallel_map_into(std::span<const In> inputs, Out* out, const Kernel& kernel,
                       Sharing sharing = Sharing::when_worth_it) {
    WorkerState* worker = current_worker();
    ThreadPool* pool = worker != nullptr ? &worker->pool : global_pool();
    if (pool == nullptr) {
        const std::string why = take_start_failure();
        if (!why.empty() && pool_unavailable(why)) throw Interrupted{};
    }
    if (inputs.size() == 1 && sharing == Sharing::when_worth_it) {  // nothing to share or to stop
        out[0] = kernel(inputs[0]);
        return;
    }
    detail::MapRun<In, Out, Kernel> run(inputs, out, kernel, pool,
                                        worker != nullptr ? worker->enclosing_stop : nullptr);
    if (worker != nullptr) {
        run.on_worker(sharing);
        if (run.stopped()) return;  // the map around this one throws, on its caller's thread
    } else if (!inputs.empty()) {
        run.from_outside(sharing);
    }
    if (run.stopped()) throw Interrupted{};
    if (run.writes() != inputs.size()) {
        throw Panic("expected " + std::to_string(inputs.size()) + " total writes, but got " +
                    std::to_string(run.writes()));
    }
}

// One result per input, in input order (a ResultVector: the elements are written once, by the
// map, and not zeroed first); otherwise as parallel_map_into.
template <class In, class Kernel>
auto parallel_map(std::span<const In> inputs, const Kernel& kernel, Sharing sharing = Sharing::when_worth_it) {
    using Out = std::decay_t<decltype(kernel(inputs[0]))>;
    ResultVector<Out> out(inputs.size());
    parallel_map_into(inputs, out.data(), kernel, sharing);
    return out;
}

}  // namespace mirvanta::parallel
