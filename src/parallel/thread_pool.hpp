// The process-wide pool of worker threads.
//
// Work arrives as Jobs: a caller publishes a job on the pool's queue, idle workers take jobs from
// it, and the caller either takes its job back (nobody had started it) or, on a worker, helps with
// other queued jobs until its job is done. A job lives on its caller's stack; the caller never
// returns before the job is finished, whoever runs it.
//
// Idle workers and waiting callers spin for a few tens of microseconds before they sleep, so that
// the short maps of a model fit do not pay a thread wake-up for every call.
//
// The pool is created on first use and lives until the process ends. A child process made by
// fork() inherits none of the workers, so it gets a pool of its own on its first use.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace mirvanta::parallel {

class ThreadPool;

class Job {
public:
    virtual ~Job() = default;

    // Runs the job's work; `stolen` tells whether this thread is not the one that published it.
    virtual void execute(bool stolen) = 0;

private:
    friend class ThreadPool;
    enum class State { queued, running, done };
    std::atomic<State> state_{State::queued};  // changed under the pool's mutex, read without it
    std::thread::id owner_;
    std::exception_ptr failure_;
};

class ThreadPool {
public:
    explicit ThreadPool(unsigned size) noexcept : size_(size) {}
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned size() const noexcept { return size_; }

    // Runs `first` on this thread while `second` is offered to idle workers; returns when both
    // are done, rethrowing the first failure (that of `first` before that of `second`). Call it
    // on a worker of this pool.
    template <class First>
    void join(First&& first, Job& second);

    // Publishes `job` and blocks until it is done; for threads outside the pool. Rethrows the
    // job's failure.
    void run_from_outside(Job& job);

    // The pool the calling thread works for, or null outside any pool.
    static ThreadPool* current() noexcept;

private:
    friend ThreadPool& global_pool();
    // Starts the workers; throws std::system_error when the system refuses a thread. The workers
    // use the pool until the process ends, so it must never be destroyed once started.
    void start();
    void publish(Job& job);
    // After this thread's own half: take `job` back if nobody started it, else help until done.
    void finish(Job& job);
    void run(Job& job, bool stolen) noexcept;
    // Takes a job from the queue (oldest first, or newest first) or returns null; needs the lock.
    Job* take(bool newest);
    // Waits until `ready()`, spinning first, then sleeping; the lock is held on return.
    template <class Ready>
    void wait_for(std::unique_lock<std::mutex>& lock, Ready ready, int spins);
    void work_loop();

    const unsigned size_;
    std::mutex mutex_;
    std::condition_variable changed_;  // a job was published or finished
    std::deque<Job*> queue_;
    std::atomic<std::size_t> queued_{0};  // queue_.size(), readable without the lock
    unsigned sleepers_ = 0;               // threads asleep on changed_, guarded by mutex_
};

template <class First>
void ThreadPool::join(First&& first, Job& second) {
    publish(second);
    std::exception_ptr failure;
    try {
        first();
    } catch (...) {
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
