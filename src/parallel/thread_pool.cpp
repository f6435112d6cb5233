#include "parallel/thread_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <new>
#include <string>
#include <system_error>

#include "parallel/panic.hpp"
#include "parallel/pool_size.hpp"

namespace mirvanta::parallel {
namespace {

thread_local ThreadPool* worker_of = nullptr;

// How long a thread spins before it sleeps, in pause instructions (tens of nanoseconds each).
// A caller outside the pool waits for a whole map and spins only briefly: on a machine with no
// spare core its spinning would slow the workers it waits for. An idle worker spins longer, to
// catch the next short map of a fit without a wake-up.
constexpr int kCallerSpins = 500;
constexpr int kWorkerSpins = 3000;

// The pool is reached through an atomic pointer so that a created pool costs one load. It is
// never destroyed: workers wait on it until the process ends.
std::atomic<ThreadPool*> the_pool{nullptr};
std::mutex* creation_mutex = new std::mutex;  // replaced in a forked child, never destroyed

void forget_pool_in_child() {
    // The child has only the thread that forked: the parent's workers, and whatever locks they
    // held, do not exist here. Abandon them (without destroying anything that may be locked) and
    // let the first use in the child create a pool of its own.
    the_pool.store(nullptr, std::memory_order_relaxed);
    creation_mutex = new std::mutex;
    worker_of = nullptr;
}

}  // namespace

void ThreadPool::start() {
    for (unsigned i = 0; i < size_; ++i) std::thread([this] { work_loop(); }).detach();
}

ThreadPool* ThreadPool::current() noexcept { return worker_of; }

void ThreadPool::publish(Job& job) {
    job.owner_ = std::this_thread::get_id();
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job.state_.store(Job::State::queued, std::memory_order_relaxed);
        queue_.push_back(&job);
        queued_.store(queue_.size(), std::memory_order_release);
        wake = sleepers_ > 0;
    }
    // Idle workers take it; workers waiting for their own jobs help with it.
    if (wake) changed_.notify_all();
}

Job* ThreadPool::take(bool newest) {
    if (queue_.empty()) return nullptr;
    Job* job = newest ? queue_.back() : queue_.front();
    newest ? queue_.pop_back() : queue_.pop_front();
    queued_.store(queue_.size(), std::memory_order_release);
    job->state_.store(Job::State::running, std::memory_order_relaxed);
    return job;
}

template <class Ready>
void ThreadPool::wait_for(std::unique_lock<std::mutex>& lock, Ready ready, int spins) {
    // Spin (yielding the core now and then, since the machine may have no spare one) before
    // paying for a sleep and a wake-up.
    lock.unlock();
    for (int spin = 0; spin < spins && !ready(); ++spin) {
        if (spin % 32 == 31) std::this_thread::yield();
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    lock.lock();
    if (ready()) return;
    ++sleepers_;
    changed_.wait(lock, ready);
    --sleepers_;
}

void ThreadPool::run(Job& job, bool stolen) noexcept {
    try {
        job.execute(stolen);
    } catch (...) {
        job.failure_ = std::current_exception();
    }
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job.state_.store(Job::State::done, std::memory_order_release);
        wake = sleepers_ > 0;
    }
    if (wake) changed_.notify_all();
}

void ThreadPool::finish(Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (job.state_.load(std::memory_order_relaxed) == Job::State::queued) {
        // Nobody took it: it runs here, as a continuation of this thread's own work.
        queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
        queued_.store(queue_.size(), std::memory_order_release);
        job.state_.store(Job::State::running, std::memory_order_relaxed);
        lock.unlock();
        run(job, false);
        return;
    }
    // Someone else runs it. Meanwhile help with other queued work (newest first, the smallest
    // pieces, often parts of the same map), so that a nested map never blocks a worker.
    const auto done = [&] { return job.state_.load(std::memory_order_acquire) == Job::State::done; };
    while (!done()) {
        if (Job* other = take(true)) {
            lock.unlock();
            run(*other, other->owner_ != std::this_thread::get_id());
            lock.lock();
        } else {
            wait_for(lock, [&] { return done() || queued_.load(std::memory_order_acquire) > 0; }, kWorkerSpins);
        }
    }
}

void ThreadPool::run_from_outside(Job& job) {
    publish(job);
    std::unique_lock<std::mutex> lock(mutex_);
    wait_for(lock, [&] { return job.state_.load(std::memory_order_acquire) == Job::State::done; }, kCallerSpins);
    if (job.failure_) std::rethrow_exception(job.failure_);
}

void ThreadPool::work_loop() {
    worker_of = this;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wait_for(lock, [&] { return queued_.load(std::memory_order_acquire) > 0; }, kWorkerSpins);
        // The oldest job is the largest piece of work still unclaimed.
        if (Job* job = take(false)) {
            lock.unlock();
            run(*job, job->owner_ != std::this_thread::get_id());
            lock.lock();
        }
    }
}

ThreadPool& global_pool() {
    if (ThreadPool* pool = the_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard<std::mutex> lock(*creation_mutex);
    if (ThreadPool* pool = the_pool.load(std::memory_order_acquire)) return *pool;
    static const bool fork_handler = [] {
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        return true;
    }();
    (void)fork_handler;
    auto* pool = new ThreadPool(pool_size_from_environment());
    try {
        pool->start();
    } catch (const std::system_error& failure) {
        // The workers that did start keep waiting on this pool, so it is left in place, unused;
        // a later call tries again with a new one.
        throw Panic(std::string("The global thread pool has not been initialized.: ") + failure.what());
    }
    the_pool.store(pool, std::memory_order_release);
    return *pool;
}

unsigned current_num_threads() {
    if (ThreadPool* pool = ThreadPool::current()) return pool->size();
    return global_pool().size();
}

}  // namespace mirvanta::parallel
