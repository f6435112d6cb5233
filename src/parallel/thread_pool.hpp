// The process-wide pool of worker threads.
//
// Work arrives as Jobs. A job's life, one verb per step:
//   publish   its publisher puts it on the pool's queue; a sleeping worker is woken for it when
//             the waking rules (thread_pool.cpp) allow;
//   take      an idle worker removes the oldest job from the queue;
//   run       that worker executes it, marks it done and wakes the publisher if it sleeps on it;
//   withdraw  or, while no worker has taken it, its publisher removes it from the queue again;
//   wait      a publisher whose job was taken waits until it is done.
// A job lives on its publisher's stack: the publisher withdraws it or waits for it before it
// leaves. Jobs are small and many of them are useless by the time a worker takes them (the map
// they would help with is finished): taking and running such a job costs a few instructions.
//
// Waking is targeted: a published job wakes at most one sleeping worker, and only when no
// spinning worker will take it and a CPU is free of our busy threads; a finished job wakes only
// the thread that waits for it. Busy threads are the workers that are not looking for work and
// the callers outside the pool that compute or do work of their own during a map (CallerWorking).
// Up to two idle workers spin for a while before they sleep, while CPUs are free, so that maps
// that follow each other closely do not pay a wake-up each. The pool allocates nothing of its
// own: the queue and the idle list are linked through the jobs and the workers' states.
//
// The pool is created on first use and lives until the process ends; a forked child gets one of
// its own (the fork rule, at fork_generation() below). When the system refuses the workers'
// threads, there is no pool for a while, and maps run on the calling thread (parallel_map.hpp).
//
// Workers allocate nothing in steady state: a thread's first malloc gives it an arena of its own
// (64 MB of address space each, up to 8 per core), which a process under an address-space limit
// cannot spare. So a worker keeps its own state on its stack, found through a pthread key rather
// than thread_local variables (in a library loaded by dlopen, those are allocated by malloc at a
// thread's first use of them), and the maps write into storage that their callers allocated.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "parallel/idle_list.hpp"

namespace mirvanta::parallel {

class ThreadPool;

class MapScope;  // parallel/map_scope.hpp

// What a worker thread keeps for itself, on its own stack.
struct WorkerState {
    explicit WorkerState(ThreadPool& owner) noexcept : pool(owner) {}
    ThreadPool& pool;
    IdleList::Entry idle;
    MapScope* scope = nullptr;  // the map whose elements the worker evaluates (map_scope.hpp)
};

// The calling worker's state; null on any thread that is not a worker of a pool.
WorkerState* current_worker() noexcept;

class Job {
public:
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // The job's work, on the worker that took it. A job keeps its own failures.
    virtual void execute() noexcept = 0;

protected:
    Job() = default;
    ~Job() = default;

private:
    friend class ThreadPool;
    // queued -> taken -> done, or queued -> done when withdrawn. kAsleep is or-ed in while the
    // publisher sleeps on the word waiting for a taken job; the worker that ends it wakes it.
    static constexpr std::uint32_t kQueued = 0, kTaken = 1, kDone = 2, kAsleep = 4;
    std::atomic<std::uint32_t> state_{kDone};
    Job* newer_ = nullptr;  // queue links, guarded by the pool's mutex
    Job* older_ = nullptr;
};

class ThreadPool {
public:
    // `cpus`: the CPUs the process may use (0 when unknown), which our busy threads should not
    // outnumber.
    ThreadPool(unsigned size, unsigned cpus) noexcept : size_(size), cpus_(cpus != 0 ? cpus : size) {}
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned size() const noexcept { return size_; }

    void publish(Job& job);

    // True when the job was still queued: it is off the queue and will never run. False when a
    // worker has taken it (wait for it) or it is done.
    bool withdraw(Job& job) noexcept;

    static bool done(const Job& job) noexcept { return job.state_.load(std::memory_order_acquire) == Job::kDone; }

    // Spins a short while, without yielding the CPU, until the job is done; true if it is.
    static bool spin_until_done(const Job& job) noexcept;

    // Sleeps once until the job is done, `timeout` has passed (none when it is zero) or a signal
    // arrives for this thread; true when the job is done.
    static bool wait(Job& job, std::chrono::nanoseconds timeout) noexcept;

    // What sharing work costs before a worker starts on it: the time from a publish to the start
    // of the job, as recently measured.
    std::chrono::nanoseconds hand_off_cost() const noexcept {
        return std::chrono::nanoseconds(hand_off_ns_.load(std::memory_order_relaxed));
    }
    void record_hand_off(std::chrono::nanoseconds sample) noexcept;

    // Whether an idle worker would start on one more job at once, on a CPU that our busy threads
    // leave free (a hint, read without a lock).
    bool wants_work() const noexcept;

    // Counts a caller outside the pool as busy, from construction until end() (or destruction):
    // it computes, or does work of its own, during a map. end() wakes a sleeping worker for a
    // queued job when the caller's CPU is the one that was missing.
    class CallerWorking {
    public:
        explicit CallerWorking(ThreadPool& pool) noexcept;
        ~CallerWorking() { end(); }
        CallerWorking(const CallerWorking&) = delete;
        CallerWorking& operator=(const CallerWorking&) = delete;
        void end() noexcept;
        // Stops counting without touching the pool: in a forked child (the fork rule).
        void forget() noexcept { pool_ = nullptr; }

    private:
        ThreadPool* pool_;  // null once ended
    };

    // The pool the calling thread works for, or null outside any pool.
    static ThreadPool* current() noexcept {
        WorkerState* worker = current_worker();
        return worker != nullptr ? &worker->pool : nullptr;
    }

private:
    friend ThreadPool* global_pool();
    friend void* worker_main(void* pool);

    // Starts the workers. When the system refuses a thread, the workers already started are
    // stopped and joined, so that nothing refers to the pool any more, and the reason is returned
    // (empty on success).
    std::string start();
    void stop() noexcept;
    void work_loop(WorkerState& self);
    Job* next_job(WorkerState& self);
    Job* take() noexcept;
    void run(Job& job) noexcept;

    // The waking rules' formulas (thread_pool.cpp), each written once.
    unsigned busy() const noexcept;
    bool cpu_free() const noexcept { return busy() < cpus_; }
    bool wake_wanted() const noexcept;
    bool spin_allowed(unsigned spinning_before) const noexcept;
    IdleList::Entry* sleeper_to_wake() noexcept;  // under the mutex: the worker the rules wake, or null

    // The queue; needs the mutex.
    void push(Job& job) noexcept;
    void unlink(Job& job) noexcept;

    const unsigned size_;
    const unsigned cpus_;
    std::mutex mutex_;
    Job* oldest_ = nullptr;
    Job* newest_ = nullptr;
    IdleList idle_;
    std::atomic<std::size_t> queued_{0};        // jobs on the queue, readable without the mutex
    std::atomic<unsigned> spinning_{0};         // workers spinning before they sleep
    std::atomic<unsigned> looking_{0};          // workers with nothing to do, spinning or asleep
    std::atomic<unsigned> callers_working_{0};  // callers counted by CallerWorking
    std::atomic<bool> stopping_{false};         // set only when the start failed
    std::atomic<std::int64_t> hand_off_ns_{20000};  // until measured: a wake-up of a sleeping worker
};

// The process-wide pool, created on first use; null while it cannot be. When the system refuses
// a worker's thread (a limit on threads, processes or address space), the start is tried again
// by a call at least 10 ms later, and the pause doubles with every failure up to one second, so
// that a lasting limit costs a call nothing and a passing one is overcome.
ThreadPool* global_pool();

// Why the pool could not start, for the first map that finds it missing after the first failed
// start of the process: that call gets the reason, every other call (and every call before) an
// empty string.
std::string take_start_failure();

// The number of workers of the pool: from a worker, its own pool's; creates the pool if needed,
// and is 1 while it cannot be created (the calling thread does the work).
unsigned current_num_threads();

// The fork rule. A child made by fork() has only the thread that forked: none of the workers, nor
// the locks that they or a thread creating the pool held. So the child abandons the parent's pool
// without touching it and creates one of its own, in the same storage, on its first use
// (thread_pool.cpp). While a map runs, only code that the hook runs on the map's calling thread (a
// signal handler) can fork it; a map therefore compares the fork generation with the one it
// started in after every question to the hook and, on its calling thread, after every run of its
// elements (a map nested in them may have asked). Forked, it touches nothing of the pool it
// started with: a map that it had not shared yet goes on alone on the calling thread, and one that
// it had shared throws ForkedDuringMap (common/interruption.hpp), since the workers and the runs
// they held are not in the child (MapRun::leave_forked, parallel_map.hpp).
//
// How many forks separate this process from the one that loaded the library.
std::uint64_t fork_generation() noexcept;

}  // namespace mirvanta::parallel
