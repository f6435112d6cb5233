// The order-preserving parallel map: out[i] = kernel(inputs[i]) for every i, on the worker pool.
//
// Every thread that takes part claims the next run of elements from one shared cursor, evaluates
// it in index order into its own part of the output, and comes back for more until none is left.
// No thread holds more of the map than the run it is evaluating: when the scheduler preempts a
// worker, the threads that run (the calling thread among them) take the rest, and the map waits
// only for that worker's run. Each element is claimed once and evaluated by the same kernel
// whoever runs it, so the results do not depend on the pool size or on who ran what.
//
// The thread that calls the map takes part. It starts alone and times what it evaluates; once
// the estimated work of the rest outweighs what bringing in a worker costs (as the pool measures
// it), it publishes a helper job and goes on with its own claims. A helper that sees a worker
// idle on a free CPU while the rest is still worth it publishes one more, up to one helper per
// worker besides the calling thread. A map too small to be worth sharing never leaves the calling
// thread, and a pool of one worker never takes work from it; the pool exists from the first map
// on. Once a map is shared its runs hold about kClaimWork each: long enough that the cursor costs
// little, short enough that the participants' last runs end close together.
//
// Called from outside the pool, the calling thread asks the installed caller hook whether to stop
// at most kInterruptPollInterval apart, and while the map is shared it first does the hook's own
// work. When the hook says stop, the helpers leave within a run, and Interrupted is thrown once
// none of them touches the map any more. A map nested in an element of another (on any thread)
// shares the outer map's stop flag: it then returns what it has, without throwing (a worker throws
// nothing, since an exception is allocated), and the outermost map throws.
//
// When there is no pool (the system refused its threads), the map runs on the calling thread,
// after the hook has been told why. When the hook's own code forks the process (a signal handler),
// the child finishes on its calling thread a map that it had not shared yet; one that it had
// shared ends in the child with ForkedDuringMap. A map whose element ran the nested map that asked
// the hook learns of the fork after that run, before it touches the parent's pool.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/interruption.hpp"
#include "common/panic.hpp"
#include "parallel/result_vector.hpp"
#include "parallel/thread_pool.hpp"

namespace mirvanta::parallel {

enum class Sharing {
    when_worth_it,  // start on the calling thread; share the rest only when it is worth a hand-off
    always,         // share from the start; a caller outside the pool then leaves all elements to
                    // the workers (to exercise the pool itself)
};

// A kernel may also evaluate a contiguous run of elements at once, as kernel.range(inputs, out)
// for inputs[0..n) into out[0..n), with exactly the results of the element-wise calls; the map
// then hands it the runs it would otherwise evaluate one element at a time.
template <class Kernel, class In, class Out>
concept RangeKernel = requires(const Kernel& kernel, std::span<const In> inputs, Out* out) {
    kernel.range(inputs, out);
};

// For a kernel whose single elements run long: true when the map that evaluates the element has
// stopped (the element's result is then not used), so that the kernel may end the element early.
// On the calling thread it asks the caller hook when it has not been asked for a while. Outside
// any map (a one-element call, evaluated directly on the calling thread) it throws Interrupted
// when the hook says stop.
inline bool element_should_stop() {
    if (MapScope* scope = current_map_scope()) return scope->should_stop();
    interruption_point();
    return false;
}

namespace detail {

using Clock = std::chrono::steady_clock;

// The calling thread asks its hook after every stretch of this much of its own computing, and
// sleeps at most a nap at a time while it waits for the workers. Both are well under
// kInterruptPollInterval: when the workers fill every core, the scheduler may give the caller its
// CPU back up to a time slice (1 to 3 ms) later than asked, and the checks must stay within the
// interval all the same.
inline constexpr std::chrono::microseconds kCallerStretch{1000};
inline constexpr std::chrono::microseconds kCallerNap{2000};
static_assert(2 * kCallerStretch <= kInterruptPollInterval && 2 * kCallerNap <= kInterruptPollInterval);

// The work of one claim in a shared map.
inline constexpr std::chrono::nanoseconds kClaimWork{4000};

// How many elements a participant of a shared map claims at a time: a quarter of an even share
// of what is left, so that runs are long while much is left (the shared cursor then costs
// little) and short towards the end (the participants' last runs then end close together); but
// at least `shortest`, the elements that hold kClaimWork, and at most eight times that, since a
// participant notices that the map stopped only between its runs. When the cost of an element is
// not known (`shortest` 0), the shortest run is found first: `floor` elements, doubled while a run
// takes less than half of kClaimWork.
class RunLength {
public:
    RunLength(std::size_t shortest, std::size_t floor, std::size_t participants) noexcept
        : shortest_(shortest != 0 ? shortest : floor), participants_(participants), timing_(shortest == 0) {}

    // The length of the next run, with `left` elements left to claim; called before each claim,
    // so that the time since the last call is the last run's.
    std::size_t operator()(std::size_t left) {
        if (timing_) {
            const auto now = Clock::now();
            if (last_ != Clock::time_point{}) {
                if (now - last_ < kClaimWork / 2) {
                    shortest_ *= 2;
                } else {
                    timing_ = false;
                }
            }
            last_ = now;
            return shortest_;
        }
        std::size_t length = std::clamp(left / (4 * participants_), shortest_, 8 * shortest_);
        if (length > 8) length -= length % 8;  // whole sets of a range kernel's lanes
        return length;
    }

private:
    std::size_t shortest_;
    const std::size_t participants_;
    bool timing_;
    Clock::time_point last_{};
};

template <class In, class Out, class Kernel>
class MapRun final : public MapScope {
public:
    // `pool` is null when there is none: the map then runs on the calling thread. `enclosing` is
    // the map in whose element this one runs, if any.
    MapRun(std::span<const In> inputs, Out* out, const Kernel& kernel, ThreadPool* pool, MapScope* enclosing)
        : MapScope(enclosing != nullptr ? enclosing->stop_flag() : own_stop_),
          inputs_(inputs), out_(out), kernel_(kernel), pool_(pool), on_caller_(current_worker() == nullptr),
          generation_(fork_generation()) {
        caller_counted_ = enclosing != nullptr && enclosing->caller_counted();
    }

    // Runs the map on the thread that called it; returns (or throws the first failure) once no
    // other thread touches it any more.
    void run(Sharing sharing) {
        const ScopedMapScope scope(*this);
        try {
            if (sharing == Sharing::always) {
                share(std::numeric_limits<double>::infinity());
                if (on_caller_ && published_) {  // the caller hands the map over whole
                    wait_for_helpers();
                    return rethrow_failure();
                }
            }
            take_part_as_initiator();
            wait_for_helpers();
        } catch (...) {  // a kernel, the hook, a fork, or this thread ending: the helpers leave first
            stop_flag().store(true, std::memory_order_relaxed);
            leave_after_failure();
            throw;
        }
        rethrow_failure();
    }

    std::size_t writes() const { return writes_.load(std::memory_order_relaxed); }
    bool stopped() const { return stop_flag().load(std::memory_order_relaxed); }

    bool should_stop() override {
        if (on_caller_ && current_worker() == nullptr && Clock::now() - last_question_ >= kCallerStretch) ask_hook();
        return stopped();
    }

private:
    class Helper final : public Job {
    public:
        explicit Helper(MapRun& map) noexcept : map_(map) {}
        void execute() noexcept override { map_.help(published_); }
        Clock::time_point published_{};

    private:
        MapRun& map_;
    };

    // Elements [begin, end), by the kernel's range where it has one.
    void elements(std::size_t begin, std::size_t end) {
        if constexpr (RangeKernel<Kernel, In, Out>) {
            kernel_.range(inputs_.subspan(begin, end - begin), out_ + begin);
        } else {
            for (std::size_t i = begin; i < end; ++i) out_[i] = kernel_(inputs_[i]);
        }
    }

    // The one loop that evaluates elements, on every thread that takes part: claims the next
    // `length()` elements, evaluates them and counts them, until none is left or the map stops;
    // then adds its count to the map's writes. `between()` runs before each claim.
    template <class Length, class Between>
    void take_part(Length length, Between between) {
        std::size_t written = 0;
        std::size_t next = next_.load(std::memory_order_relaxed);  // as this thread last saw it
        for (;;) {
            between(written);
            if (stopped()) break;
            const std::size_t count = length(inputs_.size() - std::min(inputs_.size(), next));
            const std::size_t begin = next_.fetch_add(count, std::memory_order_relaxed);
            next = begin + count;
            if (begin >= inputs_.size()) break;
            const std::size_t end = std::min(inputs_.size(), begin + count);
            elements(begin, end);
            written += end - begin;
        }
        writes_.fetch_add(written, std::memory_order_relaxed);
    }

    // The thread that called the map: alone, it claims runs of growing length, each followed by
    // the decision whether to share; shared, runs of the map's claim length, after the hook's own
    // work. On a thread outside the pool it asks the hook after each run at first, then whenever a
    // stretch has passed.
    //
    // The cost of the rest is estimated from what this thread has evaluated so far, and at least
    // as the elements of the last map of this kernel cost: the inputs of one call often differ in
    // cost along their order (a light curve's far ends take a cheaper form than its peak), and
    // calls in a loop repeat.
    void take_part_as_initiator() {
        std::size_t next_length = 1;  // the first element warms the caches and is not timed
        std::optional<RunLength> shared_length;
        Clock::time_point started{}, last{};
        std::size_t runs_since_clock = 0;
        std::size_t alone = 0;  // elements evaluated from `started` to `last`, before the map was shared
        const std::size_t n = inputs_.size();
        take_part([&](std::size_t left) {
                      if (!shared_) return next_length;
                      if (!shared_length) shared_length.emplace(shortest_run_, kShortestRun, participants_);
                      return (*shared_length)(left);
                  },
                  [&](std::size_t written) {
                      // A map nested in the last run's elements may have asked the hook, whose
                      // code forked: this map's pool is then the parent's (or, once a map of the
                      // child started one, the child's own in the same storage), and this map
                      // leaves it before it shares, withdraws or stops counting as busy.
                      if (forked()) leave_forked();
                      if (shared_) {
                          do_hook_work();
                          if (on_caller_ && ++runs_since_clock >= runs_per_clock_) {
                              runs_since_clock = 0;
                              look_at_clock();
                          }
                          return;
                      }
                      if (written == 0) return;
                      const auto now = Clock::now();
                      if (written == 1) {
                          started = now;
                          if (on_caller_) last_question_ = now;
                          return;
                      }
                      alone = written - 1;
                      last = now;
                      const std::size_t left = n - std::min(n, next_.load(std::memory_order_relaxed));
                      if (left == 0) return;
                      const double measured = std::chrono::duration<double, std::nano>(now - started).count() /
                                              static_cast<double>(alone);
                      const double per_element = std::max(measured, typical_ns_.load(std::memory_order_relaxed));
                      if (worth_sharing(per_element * static_cast<double>(left))) {
                          share(per_element);
                          return;
                      }
                      if (on_caller_) ask_hook();
                      // The next decision after about a stretch of work, and after a run at most
                      // as long as what is done, so that a misleading start is corrected soon.
                      const double per_stretch =
                          std::chrono::duration<double, std::nano>(kCallerStretch).count() / std::max(measured, 1e-3);
                      next_length = std::max<std::size_t>(
                          1, static_cast<std::size_t>(std::min(per_stretch, static_cast<double>(written))));
                  });
        // A map evaluated alone for long enough tells what its elements cost.
        if (!shared_ && !stopped() && alone + 1 == n && alone >= kElementsToTell) {
            typical_ns_.store(std::chrono::duration<double, std::nano>(last - started).count() / static_cast<double>(alone),
                              std::memory_order_relaxed);
        }
    }

    // A helper, on a worker: takes part with the map's claim length, and brings in one more
    // worker when one is idle on a free CPU and the rest is worth it.
    void help(Clock::time_point published) noexcept {
        pool_->record_hand_off(Clock::now() - published);
        const ScopedMapScope scope(*this);
        Helper next(*this);
        bool recruited = false;
        try {
            take_part(RunLength(shortest_run_, kShortestRun, participants_),
                      [&](std::size_t) {
                          if (!recruited && worth_recruiting()) {
                              recruited = true;
                              next.published_ = Clock::now();
                              pool_->publish(next);
                          }
                      });
        } catch (...) {  // the first failure wins; the map stops
            record_failure(std::current_exception());
        }
        if (recruited && !pool_->withdraw(next)) wait_on_worker(next);
    }

    // Whether the process has forked since the map started: code that the hook ran did it, and
    // this is the child.
    bool forked() const { return fork_generation() != generation_; }

    // Shared over the pool's workers, the rest takes a share of its time and a hand-off, which
    // the calling thread partly pays (waking a worker); it is shared when the time it saves is
    // above a hand-off.
    bool worth_sharing(double rest_ns) const {
        if (pool_ == nullptr || pool_->size() < 2) return false;
        const double workers = pool_->size();
        return rest_ns * (1.0 - 1.0 / workers) > static_cast<double>(pool_->hand_off_cost().count());
    }

    bool worth_recruiting() {
        if (helpers_.load(std::memory_order_relaxed) >= most_helpers_ || !pool_->wants_work()) return false;
        const std::size_t n = inputs_.size();
        const std::size_t left = n - std::min(n, next_.load(std::memory_order_relaxed));
        if (left <= std::max<std::size_t>(shortest_run_, 1)) return false;
        if (ns_per_element_ * static_cast<double>(left) <= 2.0 * static_cast<double>(pool_->hand_off_cost().count())) {
            return false;
        }
        return helpers_.fetch_add(1, std::memory_order_relaxed) < most_helpers_;
    }

    // Publishes the first helper. `per_element`: the estimated cost of an element, infinite when
    // unknown (each participant then finds its shortest run itself).
    void share(double per_element) {
        if (pool_ == nullptr) return;
        shared_ = true;
        ns_per_element_ = per_element;
        // A caller outside the pool that hands the map over whole leaves it to the workers;
        // otherwise it takes part, with one helper fewer.
        const bool caller_takes_part = !(on_caller_ && !std::isfinite(per_element));
        most_helpers_ = pool_->size() - (caller_takes_part ? 1 : 0);
        participants_ = most_helpers_ + (caller_takes_part ? 1 : 0);
        if (std::isfinite(per_element)) {
            const double claim_ns = std::chrono::duration<double, std::nano>(kClaimWork).count();
            std::size_t shortest =
                std::max(kShortestRun, static_cast<std::size_t>(claim_ns / std::max(per_element, 1e-3)));
            if (shortest > 8) shortest -= shortest % 8;
            shortest_run_ = shortest;
            // The clock is looked at about eight times a stretch, by the estimate.
            const double run_ns = per_element * static_cast<double>(8 * shortest);
            const double stretch_ns = std::chrono::duration<double, std::nano>(kCallerStretch).count();
            runs_per_clock_ = std::max<std::size_t>(1, static_cast<std::size_t>(stretch_ns / (8.0 * run_ns)));
            last_clock_look_ = Clock::now();
        }
        if (on_caller_ && !caller_counted_) {
            working_.emplace(*pool_);
            caller_counted_ = true;
        }
        hook_work_left_ = on_caller_;
        if (most_helpers_ == 0) return;
        helpers_.store(1, std::memory_order_relaxed);
        first_helper_.published_ = Clock::now();
        pool_->publish(first_helper_);
        published_ = true;
    }

    // On a thread outside the pool, once the map is shared: the hook's own work, a slice at a
    // time, each followed by a question to the hook.
    void do_hook_work() {
        while (hook_work_left_ && !stopped()) {
            hook_work_left_ = work_while_waiting();
            ask_hook();
        }
    }

    // In a shared map the calling thread looks at the clock (which costs as much as a hundred
    // instructions on some virtual machines) every runs_per_clock_ runs only, about eight times a
    // stretch by the estimate; when the runs take longer than estimated, it looks twice as often.
    void look_at_clock() {
        const auto now = Clock::now();
        if (now - last_clock_look_ > kCallerStretch / 4 && runs_per_clock_ > 1) runs_per_clock_ /= 2;
        last_clock_look_ = now;
        if (now - last_question_ >= kCallerStretch) ask_hook();
    }

    void ask_hook() {
        last_question_ = Clock::now();
        if (stop_requested()) stop_flag().store(true, std::memory_order_relaxed);
        if (forked()) leave_forked();
    }

    // In a forked child the pool is not this process's: nothing of it may be touched (its lock
    // may be held by a worker that is not in the child, or the child's own pool may have replaced
    // it). A map that was not shared goes on alone. Called after every question to the hook and,
    // on the thread that started the map, after every run of its elements (a nested map's question).
    void leave_forked() {
        if (working_) working_->forget();
        if (published_) throw ForkedDuringMap{};
        pool_ = nullptr;
    }

    // On a worker: until `job`, which a worker took, is done.
    static void wait_on_worker(Job& job) {
        if (ThreadPool::spin_until_done(job)) return;
        while (!ThreadPool::wait(job, std::chrono::nanoseconds::zero())) {
        }
    }

    // Until no helper touches the map any more. On a thread outside the pool, the caller first
    // does what is left of the hook's work, then spins, then stops counting as busy and naps,
    // asking the hook after each nap; it never yields its CPU while it is awake, so that the
    // scheduler does not put it behind the busy workers. The first helper is withdrawn when no
    // worker has taken it and nothing is left to claim (or the map stopped).
    void wait_for_helpers() {
        if (!published_) return;
        do_hook_work();
        if ((all_claimed() || stopped()) && pool_->withdraw(first_helper_)) return;
        if (!on_caller_) return wait_on_worker(first_helper_);
        if (ThreadPool::spin_until_done(first_helper_)) return;
        if (working_) working_->end();
        while (!ThreadPool::done(first_helper_)) {
            ThreadPool::wait(first_helper_, kCallerNap);
            ask_hook();
            if (stopped() && pool_->withdraw(first_helper_)) return;
        }
    }

    bool all_claimed() const { return next_.load(std::memory_order_relaxed) >= inputs_.size(); }

    // After a failure on this thread, with the map stopped: until no helper touches the map any
    // more, asking nothing of the hook; in a forked child, where no helper exists, at once.
    void leave_after_failure() noexcept {
        if (!published_) return;
        if (forked()) {
            if (working_) working_->forget();
            return;
        }
        if (working_) working_->end();
        if (!pool_->withdraw(first_helper_)) wait_on_worker(first_helper_);
    }

    void record_failure(std::exception_ptr failure) noexcept {
        if (!failed_.exchange(true, std::memory_order_acq_rel)) failure_ = std::move(failure);
        stop_flag().store(true, std::memory_order_relaxed);
    }

    void rethrow_failure() {
        if (failed_.load(std::memory_order_acquire)) std::rethrow_exception(failure_);
    }

    // A kernel that takes runs evaluates whole sets of lanes at once (up to eight): its runs hold
    // at least one set of eight.
    static constexpr std::size_t kShortestRun = RangeKernel<Kernel, In, Out> ? 8 : 1;

    // The cost of an element in the last map of this kernel that ran alone long enough to tell.
    static constexpr std::size_t kElementsToTell = 64;
    inline static std::atomic<double> typical_ns_{0.0};

    std::span<const In> inputs_;
    Out* out_;
    const Kernel& kernel_;
    ThreadPool* pool_;
    const bool on_caller_;            // the thread that called the map is outside the pool
    const std::uint64_t generation_;  // the process's fork generation when the map started
    std::atomic<bool> own_stop_{false};
    std::atomic<std::size_t> next_{0};    // the first element not yet claimed
    std::atomic<std::size_t> writes_{0};  // elements evaluated, added by each thread as it leaves
    std::atomic<unsigned> helpers_{0};    // helpers published
    std::atomic<bool> failed_{false};
    std::exception_ptr failure_;          // the first failure of a helper
    // Set before the first helper is published, read by the helpers.
    std::size_t shortest_run_ = 0;  // 0: unknown
    std::size_t participants_ = 1;
    double ns_per_element_ = 0.0;
    unsigned most_helpers_ = 0;
    // The calling thread's own.
    bool shared_ = false;
    bool published_ = false;
    bool hook_work_left_ = false;
    std::size_t runs_per_clock_ = 1;  // shared runs between two looks at the clock
    Clock::time_point last_question_{};
    Clock::time_point last_clock_look_{};
    std::optional<ThreadPool::CallerWorking> working_;
    Helper first_helper_{*this};
};

}  // namespace detail

// out[i] = kernel(inputs[i]) for every i, into space for inputs.size() results. `out` may be
// the inputs' own storage: each element is read before its result is written, and by nothing
// else. A kernel failure (exception) is rethrown once no thread works on the map any more; the
// first one wins. Throws Interrupted when the installed caller hook stops the map (a map nested in
// an element of a stopped map returns instead, its results incomplete), and ForkedDuringMap in a
// child forked by the hook's code while the map was shared.
template <class In, class Out, class Kernel>
void parallel_map_into(std::span<const In> inputs, Out* out, const Kernel& kernel,
                       Sharing sharing = Sharing::when_worth_it) {
    WorkerState* worker = current_worker();
    ThreadPool* pool = worker != nullptr ? &worker->pool : global_pool();
    if (pool == nullptr) {
        const std::string why = take_start_failure();
        if (!why.empty() && pool_unavailable(why)) throw Interrupted{};
    }
    if (inputs.empty()) return;
    if (inputs.size() == 1 && sharing == Sharing::when_worth_it) {  // nothing to share or to stop
        out[0] = kernel(inputs[0]);
        return;
    }
    MapScope* enclosing = current_map_scope();
    detail::MapRun<In, Out, Kernel> run(inputs, out, kernel, pool, enclosing);
    run.run(sharing);
    if (run.stopped()) {
        if (enclosing != nullptr) return;  // the outermost map throws, on its caller's thread
        throw Interrupted{};
    }
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
