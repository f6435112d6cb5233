// The process-wide pool of worker threads.
//
// Work arrives as Jobs: a thread publishes a job on the pool's queue, idle workers take jobs from
// it. A worker that published a job either takes it back (nobody had started it) or helps with
// other queued jobs until its job is done; a thread outside the pool submits a job and waits for
// it. A job lives on its publisher's stack; the publisher never leaves before the job is done,
// whoever runs it.
//
// Waking is targeted: a published job wakes at most one sleeping worker, and only when no
// spinning worker will take it and a CPU is free of busy workers; a finished job wakes only the
// thread that waits for it. Waiting callers, and up to two idle workers while CPUs are free, spin
// for a few tens of microseconds before they sleep, so that maps that follow each other closely
// do not pay a wake-up each. The pool allocates nothing of its own: the queue and the list of
// sleepers are linked through the jobs and the threads' parkers.
//
// The pool is created on first use and lives until the process ends. A child process made by
// fork() inherits none of the workers, so it gets a pool of its own on its first use.
#pragma once

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

#include "parallel/parker.hpp"

namespace mirvanta::parallel {

class ThreadPool;

class Job {
public:
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // Runs the job's work; `stolen` tells whether this thread is not the one that published it.
    virtual void execute(bool stolen) = 0;

    // What the job threw, once it is done; null if it succeeded.
    const std::exception_ptr& failure() const noexcept { return failure_; }

protected:
    Job() = default;
    ~Job() = default;

private:
    friend class ThreadPool;
    // queued -> running -> done. kAsleep is or-ed in while a thread outside the pool sleeps on
    // the word, waiting for the job; whoever finishes the job then wakes it.
    static constexpr std::uint32_t kQueued = 0, kRunning = 1, kDone = 2, kAsleep = 4;
    std::atomic<std::uint32_t> state_{kQueued};
    Job* newer_ = nullptr;  // queue links, guarded by the pool's mutex
    Job* older_ = nullptr;
    Parker* owner_ = nullptr;  // the publishing worker's parker; null when published from outside
    std::exception_ptr failure_;
};

class ThreadPool {
public:
    // `cpus`: the CPUs the process may use (0 when unknown), to which the spinning is matched.
    ThreadPool(unsigned size, unsigned cpus) noexcept : size_(size), cpus_(cpus != 0 ? cpus : size) {}
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned size() const noexcept { return size_; }

    // Runs `first` on this thread while `second` is offered to idle workers; returns when both
    // are done, rethrowing the first failure (that of `first` before that of `second`). Call it
    // on a worker of this pool.
    template <class First>
    void join(First&& first, Job& second);

    // For threads outside the pool: hands `job` to the workers. The caller then calls wait()
    // until it returns true, and must not let the job go out of scope before that.
    void submit(Job& job);

    // Waits for a submitted job, at most about `timeout`; true once the job is done.
    bool wait(Job& job, std::chrono::nanoseconds timeout);

    // Whether a submitted job is done, without waiting.
    static bool finished(const Job& job) noexcept {
        return job.state_.load(std::memory_order_acquire) == Job::kDone;
    }

    // What handing work to the workers costs a caller outside the pool: the time until a worker
    // starts it plus the time from its end until the caller runs again, as recently measured.
    std::chrono::nanoseconds hand_off_cost() const noexcept {
        return std::chrono::nanoseconds(hand_off_ns_.load(std::memory_order_relaxed));
    }
    void record_hand_off(std::chrono::nanoseconds sample) noexcept;

    // Whether a worker looks for work that no queued job would give it, on a CPU that the busy
    // workers leave free (a hint, read without a lock).
    bool wants_work() const noexcept {
        const unsigned looking = looking_.load(std::memory_order_relaxed);
        return looking > queued_.load(std::memory_order_relaxed) && size_ - std::min(size_, looking) < cpus_;
    }

    // The pool the calling thread works for, or null outside any pool.
    static ThreadPool* current() noexcept;

private:
    friend ThreadPool& global_pool();
    friend void* worker_main(void* pool);

    // Starts the workers. When the system refuses a thread, the workers already started are
    // stopped and joined before the Panic is thrown, so that nothing refers to the pool any more.
    void start();
    void stop() noexcept;
    void work_loop();
    Job* next_job();
    // A worker's spin before it sleeps, unless enough other workers spin already or the busy
    // workers and the spinning ones fill the CPUs (then a spin would only slow the busy ones).
    template <class Ready>
    void spin_while_allowed(Ready ready);
    void publish(Job& job);
    // After this thread's own half: take `job` back if nobody started it, else help until done.
    void finish(Job& job);
    void run(Job& job, bool stolen);
    void complete(Job& job) noexcept;

    // The queue and the idle list; all need the mutex.
    void push(Job& job) noexcept;
    void unlink(Job& job) noexcept;
    Job* take(bool newest) noexcept;  // the newest or the oldest queued job, or null
    void add_idle(Parker& parker) noexcept;
    bool remove_idle(Parker& parker) noexcept;  // false when it was not listed (it was woken)
    Parker* pop_idle() noexcept;

    const unsigned size_;
    const unsigned cpus_;
    std::mutex mutex_;
    Job* oldest_ = nullptr;
    Job* newest_ = nullptr;
    std::atomic<std::size_t> queued_{0};    // jobs on the queue, readable without the mutex
    Parker* idle_ = nullptr;                // the most recent of the threads asleep waiting for work
    std::atomic<unsigned> spinning_{0};     // workers spinning before they sleep
    std::atomic<unsigned> looking_{0};      // workers with nothing to do, spinning or asleep
    std::atomic<bool> stopping_{false};     // set only when the start failed
    std::atomic<std::int64_t> hand_off_ns_{20000};  // until measured: a wake-up of a sleeping worker
};

template <class First>
void ThreadPool::join(First&& first, Job& second) {
    publish(second);
    std::exception_ptr failure;
    try {
        first();
    } catch (abi::__forced_unwind&) {  // the thread is ending: `second` lives on this stack
        finish(second);
        throw;
    } catch (...) {  // held until `second` is done
        failure = std::current_exception();
    }
    finish(second);
    if (failure) std::rethrow_exception(failure);
    if (second.failure_) std::rethrow_exception(second.failure_);
}

// The process-wide pool, created on first use. Throws a Panic when it cannot be created.
ThreadPool& global_pool();

// The number of workers of the pool: from a worker, its own pool's; creates the pool if needed.
unsigned current_num_threads();

}  // namespace mirvanta::parallel
