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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job.state_ = Job::State::queued;
        queue_.push_back(&job);
    }
    work_available_.notify_one();
    job_done_.notify_all();  // workers waiting for their own jobs help with this one
}

void ThreadPool::run(Job& job, bool stolen) noexcept {
    try {
        job.execute(stolen);
    } catch (...) {
        job.failure_ = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job.state_ = Job::State::done;
    }
    job_done_.notify_all();
}

void ThreadPool::finish(Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (job.state_ == Job::State::queued) {
        // Nobody took it: it runs here, as a continuation of this thread's own work.
        queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
        job.state_ = Job::State::running;
        lock.unlock();
        run(job, false);
        return;
    }
    // Someone else runs it. Meanwhile help with other queued work (newest first, the smallest
    // pieces, often parts of the same map), so that a nested map never blocks a worker.
    while (job.state_ != Job::State::done) {
        if (!queue_.empty()) {
            Job* other = queue_.back();
            queue_.pop_back();
            other->state_ = Job::State::running;
            lock.unlock();
            run(*other, other->owner_ != std::this_thread::get_id());
            lock.lock();
        } else {
            job_done_.wait(lock);
        }
    }
}

void ThreadPool::run_from_outside(Job& job) {
    publish(job);
    std::unique_lock<std::mutex> lock(mutex_);
    job_done_.wait(lock, [&] { return job.state_ == Job::State::done; });
    if (job.failure_) std::rethrow_exception(job.failure_);
}

void ThreadPool::work_loop() {
    worker_of = this;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_available_.wait(lock, [&] { return !queue_.empty(); });
        // The oldest job is the largest piece of work still unclaimed.
        Job* job = queue_.front();
        queue_.pop_front();
        job->state_ = Job::State::running;
        lock.unlock();
        run(*job, job->owner_ != std::this_thread::get_id());
        lock.lock();
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
