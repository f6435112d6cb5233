// The process-wide pool of worker threads.
//
// Work arrives as Jobs: a thread publishes a job on the pool's queue, idle workers take jobs from
// it. A worker that published a job either takes it back (nobody had started it) or helps with
// other queued jobs until its job is done; a thread outside the pool submits a job and waits for
// it. A job lives on its publisher's stack; the publisher never leaves before the job is done,
// whoever runs it.
//
// Waking is targeted: a published job wakes at most one sleeping worker, and only when no
// spinning worker will take it and a CPU is free of busy threads; a finished job wakes only the
// thread that waits for it. Busy threads are the workers that are not looking for work and the
// callers outside the pool that do work of their own while they wait for a map (CallerWorking):
// such a caller keeps a CPU for itself, so that no worker of ours takes it from the caller, whose
// checks for signals must come on time; when it stops, a sleeping worker is woken for a queued
// job if that frees a CPU. Waiting callers, and up to two idle workers while CPUs are free, spin
// for a few tens of microseconds before they sleep, so that maps that follow each other closely
// do not pay a wake-up each. The pool allocates nothing of its own: the queue and the list of
// sleepers are linked through the jobs and the threads' parkers.
//
// The pool is created on first use and lives until the process ends. A child process made by
// fork() inherits none of the workers, so it gets a pool of its own on its first use. When the
// system refuses the workers' threads, there is no pool for a while, and maps run on the calling
// thread (parallel_map.hpp).
//
// Workers allocate nothing in steady state: a thread's first malloc gives it an arena of its own
// (64 MB of address space each, up to 8 per core), which a process under an address-space limit
// cannot spare. So a worker keeps its own state on its stack, found through a pthread key rather
// than thread_local variables (in a library loaded by dlopen, those are allocated by malloc at a
// thread's first use of them), and the maps write into storage that their callers allocated.
#pragma once

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

#include "parallel/parker.hpp"

namespace mirvanta::parallel {

class ThreadPool;

// What a worker thread keeps for itself, on its own stack.
struct WorkerState {
    explicit WorkerState(ThreadPool& owner) noexcept : pool(owner) {}
    ThreadPool& pool;
    Parker parker;  // also the worker's identity as a job's publisher
    // The stop flag of the map whose elements the worker is evaluating (parallel_map.hpp).
    const std::atomic<bool>* enclosing_stop = nullptr;
};

// The calling worker's state; null on any thread that is not a worker of a pool.
WorkerState* current_worker() noexcept;

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

    // Waits for a submitted job: spins briefly first when `spin`, then sleeps once, until the
    // job is done, `timeout` has passed (none when it is zero) or a signal arrives for this
    // thread. True once the job is done.
    bool wait(Job& job, std::chrono::nanoseconds timeout, bool spin);

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
    // threads leave free (a hint, read without a lock).
    bool wants_work() const noexcept {
        return looking_.load(std::memory_order_relaxed) > queued_.load(std::memory_order_relaxed) && busy() < cpus_;
    }

    // Counts a caller outside the pool as busy, from construction until end() (or destruction):
    // it does work of its own while it waits for a map. end() wakes a sleeping worker for a
    // queued job when the caller's CPU is the one that was missing.
    class CallerWorking {
    public:
        explicit CallerWorking(ThreadPool& pool) noexcept : pool_(&pool) {
            pool.callers_working_.fetch_add(1, std::memory_order_relaxed);
        }
        ~CallerWorking() { end(); }
        CallerWorking(const CallerWorking&) = delete;
        CallerWorking& operator=(const CallerWorking&) = delete;
        void end() noexcept;
        // Stops counting without touching the pool: in a forked child, whose pool is another.
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
    // The threads of ours that occupy a CPU: workers not looking for work, and working callers.
    unsigned busy() const noexcept {
        return size_ - std::min(size_, looking_.load(std::memory_order_relaxed)) +
               callers_working_.load(std::memory_order_relaxed);
    }
    // A worker's spin before it sleeps, unless enough other workers spin already or the busy
    // threads and the spinning ones fill the CPUs (then a spin would only slow the busy ones).
    template <class Ready>
    void spin_while_allowed(Ready ready);
    void publish(Job& job);
    // After this thread's own half: take `job` back if nobody started it, else help until done.
    void finish(Job& job, WorkerState& self);
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
    std::atomic<unsigned> callers_working_{0};  // callers doing their own work (CallerWorking)
    std::atomic<bool> stopping_{false};     // set only when the start failed
    std::atomic<std::int64_t> hand_off_ns_{20000};  // until measured: a wake-up of a sleeping worker
};

template <class First>
void ThreadPool::join(First&& first, Job& second) {
    WorkerState& self = *current_worker();
    publish(second);
    std::exception_ptr failure;
    try {
        first();
    } catch (abi::__forced_unwind&) {  // the thread is ending: `second` lives on this stack
        finish(second, self);
        throw;
    } catch (...) {  // held until `second` is done
        failure = std::current_exception();
    }
    finish(second, self);
    if (failure) std::rethrow_exception(failure);
    if (second.failure_) std::rethrow_exception(second.failure_);
}

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

// How many forks separate this process from the one that loaded the library: a child forked by
// code that a map ran on its calling thread (a signal handler) sees a different count than the
// map saw when it started, and knows that the pool's workers, and the work they had, are gone.
std::uint64_t fork_generation() noexcept;

}  // namespace mirvanta::parallel
