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
// Called from outside the pool, the calling thread keeps the poll promise (kInterruptPollInterval,
// common/interruption.hpp), and while the map is shared it first does the hook's own work. When
// the hook says stop, the helpers leave within a run, and Interrupted is thrown once none of them
// touches the map any more; a map nested in a stopped map's elements returns instead
// (map_scope.hpp). When there is no pool (the system refused its threads), the map runs on the
// calling thread, after the hook has been told why. A map keeps the fork rule (fork_generation(),
// thread_pool.hpp) in MapRun::leave_forked().
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
#include "parallel/map_scope.hpp"
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

namespace detail {

using Clock = std::chrono::steady_clock;

// The calling thread asks its hook once a stretch of this much time has passed since the call's
// last question, which it looks for after every run of its own, and sleeps at most a nap at a
// time while it waits for the workers: both well under the poll interval, which they keep
// (common/interruption.hpp), since when the workers fill every core the scheduler may give the
// caller its CPU back up to a time slice (1 to 3 ms) later than asked.
inline constexpr std::chrono::microseconds kCallerStretch{1000};
inline constexpr std::chrono::microseconds kCallerNap{2000};
static_assert(2 * kCallerStretch <= kInterruptPollInterval && 2 * kCallerNap <= kInterruptPollInterval);

// The work of one claim in a shared map.
inline constexpr std::chrono::nanoseconds kClaimWork{4000};

// The work of one run of the calling thread while it is alone: long enough that the look at the
// clock and the decision after it cost little (and a range kernel gets a few thousand cheap
// elements at once), short enough that a jump in the elements' cost along the input, which only
// the run that meets it can overshoot, costs little of the poll interval.
inline constexpr std::chrono::nanoseconds kAloneRunWork{16 * kClaimWork};

// How many elements of `ns_per_element` each hold `work`: at least `floor`, in whole sets of a
// range kernel's lanes above eight; `floor` when the cost is not known (0 or infinite).
inline std::size_t elements_in(std::chrono::nanoseconds work, double ns_per_element, std::size_t floor) {
    if (!(ns_per_element > 0.0 && ns_per_element < std::numeric_limits<double>::infinity())) return floor;
    const double count = static_cast<double>(work.count()) / ns_per_element;
    std::size_t elements = count < 1e12 ? std::max(floor, static_cast<std::size_t>(count)) : std::size_t{1} << 40;
    if (elements > 8) elements -= elements % 8;
    return elements;
}

// How many elements a participant of a shared map claims at a time: a quarter of an even share
// of what is left, so that runs are long while much is left (the shared cursor then costs
// little) and short towards the end (the participants' last runs then end close together); but
// at least `shortest`, the elements that hold kClaimWork, and at most eight times that, since a
// participant notices that the map stopped only between its runs.
//
// Every run is timed (the participant looks at the clock before each claim), and `shortest`
// follows what the last run's elements cost: it shrinks at once after a run that took longer than
// planned (costlier elements further along the input, or the thread preempted) and grows at most
// twofold a run. So a run holds about its planned work wherever it lies in the input, and only
// the run that meets a jump in the cost overshoots, by the ratio of the jump. It starts from the
// estimated cost of an element, or from `floor` elements when that is not known.
class RunLength {
public:
    RunLength(double ns_per_element, std::size_t floor, std::size_t participants) noexcept
        : floor_(floor), shortest_(elements_in(kClaimWork, ns_per_element, floor)), participants_(participants) {}

    // The length of the next run, with `left` elements left to claim; `now` is read before each
    // claim, so that the time since the last call is the last run's.
    std::size_t operator()(std::size_t left, Clock::time_point now) {
        if (last_length_ != 0) {
            const double ns = std::chrono::duration<double, std::nano>(now - last_).count();
            const double per_element = std::max(ns / static_cast<double>(last_length_), 1e-3);
            shortest_ = std::min(2 * shortest_, elements_in(kClaimWork, per_element, floor_));
        }
        std::size_t length = std::clamp(left / (4 * participants_), shortest_, 8 * shortest_);
        if (length > 8) length -= length % 8;  // whole sets of a range kernel's lanes
        last_ = now;
        last_length_ = std::min(length, left);
        return length;
    }

private:
    const std::size_t floor_;
    std::size_t shortest_;
    const std::size_t participants_;
    Clock::time_point last_{};
    std::size_t last_length_ = 0;  // the elements of the run that began at last_
};

// One run of a map, on the stack of the thread that called it. It plays three roles:
//
//   caller  the thread that called the map (run()): it claims runs alone at first, decides to
//           share, publishes the first helper and, on a thread outside the pool, asks the hook
//           and does the hook's own work;
//   helper  a worker that took a Helper job (help()): it claims runs of the plan's length and
//           may publish one more helper;
//   waiter  a thread whose published helper a worker took, once it has nothing left to claim:
//           the caller in wait_for_helpers() (asking the hook between naps), a helper in
//           wait_on_worker() for the one it published. A waiter leaves only when that job is
//           done or withdrawn, so the map outlives every helper that touches it.
//
// Its fields, by who writes them:
//   - fixed at construction, read by every role (pool_ too: the caller drops it only in a forked
//     child, and only before any helper exists);
//   - the plan (plan_), and the scope's caller_counted_: written by the caller in share() before
//     it publishes the first helper, never again, and read by the helpers. They are plain fields:
//     publish() queues the job under the pool's mutex after they are written, and the worker
//     take()s it under the same mutex before it reads them, so every helper sees them (a helper
//     that publishes another hands them on the same way);
//   - atomics that every role updates: the cursor, the writes, the helpers published, the stop
//     flag and whether a failure was recorded. The first failure itself (failure_) is written by
//     the helper that recorded it and read by the caller only once every helper is done (the
//     job's done state, which the waiter acquires);
//   - the caller's own (caller_, first_helper_): touched on the caller's thread only (the pool
//     touches the job's queue links and state).
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
                if (on_caller_ && caller_.published) {  // the caller hands the map over whole
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
        if (on_caller_ && current_worker() == nullptr) ask_hook_after_stretch(Clock::now());
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

    // How the shared map is split, decided by the caller in share() (see the class comment).
    struct Plan {
        std::size_t shortest_run = 0;  // elements per claim at least; 0: unknown
        std::size_t participants = 1;  // the threads that claim: the helpers, and the caller if it takes part
        double ns_per_element = 0.0;   // the estimated cost of an element; infinite when unknown
        unsigned most_helpers = 0;
    };

    // What only the caller's thread touches.
    struct CallerState {
        bool shared = false;     // share() has run
        bool published = false;  // the first helper was published
        bool hook_work_left = false;
        std::optional<ThreadPool::CallerWorking> working;
    };

    // Elements [begin, end), by the kernel's range where it has one.
    void elements(std::size_t begin, std::size_t end) {
        if constexpr (RangeKernel<Kernel, In, Out>) {
            kernel_.range(inputs_.subspan(begin, end - begin), out_ + begin);
        } else {
            for (std::size_t i = begin; i < end; ++i) out_[i] = kernel_(inputs_[i]);
        }
    }

    // The one loop that evaluates elements, in every role that claims: claims the next
    // `length(left, now)` elements, evaluates them and counts them, until none is left or the map
    // stops; then adds its count to the map's writes. `between(written, now)` runs before each
    // claim, with the time read just before it (which it may read again after work of its own).
    template <class Length, class Between>
    void take_part(Length length, Between between) {
        std::size_t written = 0;
        std::size_t next = next_.load(std::memory_order_relaxed);  // as this thread last saw it
        for (;;) {
            Clock::time_point now = Clock::now();
            between(written, now);
            if (stopped()) break;
            const std::size_t count = length(inputs_.size() - std::min(inputs_.size(), next), now);
            const std::size_t begin = next_.fetch_add(count, std::memory_order_relaxed);
            next = begin + count;
            if (begin >= inputs_.size()) break;
            const std::size_t end = std::min(inputs_.size(), begin + count);
            elements(begin, end);
            written += end - begin;
        }
        writes_.fetch_add(written, std::memory_order_relaxed);
    }

    // The caller: alone, it claims runs of growing length, each followed by the decision whether
    // to share; shared, runs of the plan's length, after the hook's own work. On a thread outside
    // the pool it asks the hook whenever a stretch has passed since the call's last question (the
    // call's first map at its start).
    //
    // The cost of the rest is estimated from what this thread has evaluated so far, and at least
    // as the elements of the last map of this kernel cost: the inputs of one call often differ in
    // cost along their order (a light curve's far ends take a cheaper form than its peak), and
    // calls in a loop repeat. A run alone holds kAloneRunWork at the cost of the last run's
    // elements, and at most as many elements as are done, so that a misleading start is
    // corrected soon.
    void take_part_as_initiator() {
        std::size_t next_length = 1;  // the first element warms the caches and is not timed
        std::optional<RunLength> shared_length;
        Clock::time_point started{}, last{};
        std::size_t alone = 0;  // elements evaluated from `started` to `last`, before the map was shared
        const std::size_t n = inputs_.size();
        take_part([&](std::size_t left, Clock::time_point now) {
                      if (!caller_.shared) return next_length;
                      if (!shared_length) shared_length.emplace(plan_.ns_per_element, kShortestRun, plan_.participants);
                      return (*shared_length)(left, now);
                  },
                  [&](std::size_t written, Clock::time_point& now) {
                      // The fork rule's check after a run: a map nested in its elements may have
                      // asked the hook, and this map must learn of a fork before it shares,
                      // withdraws or stops counting as busy.
                      if (forked()) leave_forked();
                      if (caller_.shared) {
                          if (caller_.hook_work_left) {
                              do_hook_work();
                              now = Clock::now();
                          }
                          if (on_caller_) ask_hook_after_stretch(now);
                          return;
                      }
                      if (on_caller_) ask_hook_after_stretch(now);
                      if (written == 0) return;
                      if (written == 1) {
                          started = last = now;
                          return;
                      }
                      const std::size_t last_run = written - 1 - alone;
                      const double last_run_ns =
                          std::chrono::duration<double, std::nano>(now - last).count() / static_cast<double>(last_run);
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
                      next_length = std::min(written, elements_in(kAloneRunWork, std::max(last_run_ns, 1e-3), 1));
                  });
        // A map evaluated alone for long enough tells what its elements cost.
        if (!caller_.shared && !stopped() && alone + 1 == n && alone >= kElementsToTell) {
            typical_ns_.store(std::chrono::duration<double, std::nano>(last - started).count() / static_cast<double>(alone),
                              std::memory_order_relaxed);
        }
    }

    // A helper, on a worker: takes part with the plan's claim length, and brings in one more
    // worker when one is idle on a free CPU and the rest is worth it; then, as a waiter, stays
    // until the one it brought in is done.
    void help(Clock::time_point published) noexcept {
        pool_->record_hand_off(Clock::now() - published);
        const ScopedMapScope scope(*this);
        Helper next(*this);
        bool recruited = false;
        try {
            take_part(RunLength(plan_.ns_per_element, kShortestRun, plan_.participants),
                      [&](std::size_t, Clock::time_point) {
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

    // Whether the process has forked since the map started (the fork rule, thread_pool.hpp).
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
        if (helpers_.load(std::memory_order_relaxed) >= plan_.most_helpers || !pool_->wants_work()) return false;
        const std::size_t n = inputs_.size();
        const std::size_t left = n - std::min(n, next_.load(std::memory_order_relaxed));
        if (left <= std::max<std::size_t>(plan_.shortest_run, 1)) return false;
        if (plan_.ns_per_element * static_cast<double>(left) <=
            2.0 * static_cast<double>(pool_->hand_off_cost().count())) {
            return false;
        }
        return helpers_.fetch_add(1, std::memory_order_relaxed) < plan_.most_helpers;
    }

    // The caller writes the plan and publishes the first helper. `per_element`: the estimated
    // cost of an element, infinite when unknown (each participant then finds its shortest run
    // itself).
    void share(double per_element) {
        if (pool_ == nullptr) return;
        caller_.shared = true;
        plan_.ns_per_element = per_element;
        // A caller outside the pool that hands the map over whole leaves it to the workers;
        // otherwise it takes part, with one helper fewer.
        const bool caller_takes_part = !(on_caller_ && !std::isfinite(per_element));
        plan_.most_helpers = pool_->size() - (caller_takes_part ? 1 : 0);
        plan_.participants = plan_.most_helpers + (caller_takes_part ? 1 : 0);
        if (std::isfinite(per_element)) {
            plan_.shortest_run = elements_in(kClaimWork, std::max(per_element, 1e-3), kShortestRun);
        }
        if (on_caller_ && !caller_counted_) {
            caller_.working.emplace(*pool_);
            caller_counted_ = true;
        }
        caller_.hook_work_left = on_caller_;
        if (plan_.most_helpers == 0) return;
        helpers_.store(1, std::memory_order_relaxed);
        first_helper_.published_ = Clock::now();
        pool_->publish(first_helper_);  // from here on the plan is read by the helpers
        caller_.published = true;
    }

    // On a thread outside the pool, once the map is shared: the hook's own work, a slice at a
    // time, each followed by a question to the hook.
    void do_hook_work() {
        while (caller_.hook_work_left && !stopped()) {
            caller_.hook_work_left = work_while_waiting();
            ask_hook();
        }
    }

    // Asks the hook when a stretch has passed since the call's last question (`now` read just
    // before); the clock costs as much as a hundred instructions on some virtual machines, a look
    // a run, which holds thousands.
    void ask_hook_after_stretch(Clock::time_point now) {
        if (now - call_map_question() >= kCallerStretch) ask_hook(now);
    }

    void ask_hook(Clock::time_point now = Clock::now()) {
        set_call_map_question(now);
        if (stop_requested()) stop_flag().store(true, std::memory_order_relaxed);
        if (forked()) leave_forked();  // the fork rule's check after a question
    }

    // The fork rule (thread_pool.hpp), kept: in a forked child nothing of the pool may be
    // touched. A map that was not shared goes on alone; one that was throws ForkedDuringMap.
    // Called after every question to the hook and, on the caller, after every run of its elements.
    void leave_forked() {
        if (caller_.working) caller_.working->forget();
        if (caller_.published) throw ForkedDuringMap{};
        pool_ = nullptr;
    }

    // A waiter on a worker: until `job`, which a worker took, is done.
    static void wait_on_worker(Job& job) {
        if (ThreadPool::spin_until_done(job)) return;
        while (!ThreadPool::wait(job, std::chrono::nanoseconds::zero())) {
        }
    }

    // The caller as a waiter: until no helper touches the map any more. On a thread outside the
    // pool, it first does what is left of the hook's work, then spins, then stops counting as busy
    // and naps, asking the hook after each nap; it never yields its CPU while it is awake, so that
    // the scheduler does not put it behind the busy workers. The first helper is withdrawn when no
    // worker has taken it and nothing is left to claim (or the map stopped).
    void wait_for_helpers() {
        if (!caller_.published) return;
        do_hook_work();
        if ((all_claimed() || stopped()) && pool_->withdraw(first_helper_)) return;
        if (!on_caller_) return wait_on_worker(first_helper_);
        if (ThreadPool::spin_until_done(first_helper_)) return;
        if (caller_.working) caller_.working->end();
        while (!ThreadPool::done(first_helper_)) {
            ThreadPool::wait(first_helper_, kCallerNap);
            ask_hook();
            if (stopped() && pool_->withdraw(first_helper_)) return;
        }
    }

    bool all_claimed() const { return next_.load(std::memory_order_relaxed) >= inputs_.size(); }

    // After a failure on the caller's thread, with the map stopped: until no helper touches the
    // map any more, asking nothing of the hook; in a forked child, where no helper exists, at once.
    void leave_after_failure() noexcept {
        if (!caller_.published) return;
        if (forked()) {
            if (caller_.working) caller_.working->forget();
            return;
        }
        if (caller_.working) caller_.working->end();
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

    // Fixed at construction.
    std::span<const In> inputs_;
    Out* out_;
    const Kernel& kernel_;
    ThreadPool* pool_;
    const bool on_caller_;            // the thread that called the map is outside the pool
    const std::uint64_t generation_;  // the process's fork generation when the map started
    // Updated by every role.
    std::atomic<bool> own_stop_{false};   // the stop flag, unless an enclosing map's is shared
    std::atomic<std::size_t> next_{0};    // the first element not yet claimed
    std::atomic<std::size_t> writes_{0};  // elements evaluated, added by each thread as it leaves
    std::atomic<unsigned> helpers_{0};    // helpers published
    std::atomic<bool> failed_{false};
    std::exception_ptr failure_;          // the first failure of a helper
    // Written by the caller before the first helper is published; read by the helpers.
    Plan plan_;
    // The caller's own.
    CallerState caller_;
    Helper first_helper_{*this};
};

}  // namespace detail

// out[i] = kernel(inputs[i]) for every i, into space for inputs.size() results. `out` may be
// the inputs' own storage: each element is read before its result is written, and by nothing
// else. A kernel failure (exception) is rethrown once no thread works on the map any more; the
// first one wins. Throws Interrupted when the installed caller hook stops the map (a map nested in
// an element of a stopped map returns instead, its results incomplete), and ForkedDuringMap by the
// fork rule (thread_pool.hpp).
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
