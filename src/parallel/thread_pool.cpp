#include "parallel/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "parallel/panic.hpp"
#include "parallel/pool_size.hpp"

namespace mirvanta::parallel {
namespace {

using Clock = std::chrono::steady_clock;

thread_local ThreadPool* worker_of = nullptr;
thread_local Parker this_thread;  // also the thread's identity as a job's publisher

// How long a thread spins before it sleeps, in pause instructions (tens of nanoseconds each).
// A caller outside the pool waits for a whole map and spins only briefly: on a machine with no
// spare core its spinning would slow the workers it waits for. An idle worker spins longer, to
// catch the next piece of work without a wake-up.
constexpr int kCallerSpins = 500;
constexpr int kWorkerSpins = 3000;
// Only so many workers spin at a time; the others sleep at once. With many workers a short map
// leaves most of them idle together, and each would burn its spin for nothing.
constexpr unsigned kMostSpinningWorkers = 2;

// Counts a worker as looking for work for the length of a scope.
class Looking {
public:
    explicit Looking(std::atomic<unsigned>& count) noexcept : count_(count) {
        count_.fetch_add(1, std::memory_order_relaxed);
    }
    ~Looking() { count_.fetch_sub(1, std::memory_order_relaxed); }
    Looking(const Looking&) = delete;
    Looking& operator=(const Looking&) = delete;

private:
    std::atomic<unsigned>& count_;
};

template <class Ready>
bool spin_until(Ready ready, int spins) {
    for (int spin = 0; spin < spins; ++spin) {
        if (ready()) return true;
        // Yield the core now and then: the machine may have no spare one.
        if (spin % 32 == 31) sched_yield();
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return ready();
}

// The pool lives in static storage and is reached through an atomic pointer, so that a created
// pool costs one load and nothing is allocated for it. It is never destroyed once started:
// workers wait on it until the process ends.
alignas(ThreadPool) unsigned char pool_storage[sizeof(ThreadPool)];
std::atomic<ThreadPool*> the_pool{nullptr};
std::mutex creation_mutex;

void forget_pool_in_child() noexcept {
    // The child has only the thread that forked: the parent's workers, and whatever locks they
    // or a creating thread held, do not exist here. Abandon the pool without touching it, make
    // the creation lock new in its own storage (nothing is allocated in the child), and let the
    // first use create a pool of its own in the same storage.
    the_pool.store(nullptr, std::memory_order_relaxed);
    new (&creation_mutex) std::mutex;
    worker_of = nullptr;
}

// Registered once, when the library is loaded, not on the way to a pool.
[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child);

}  // namespace

void* worker_main(void* pool) {
    static_cast<ThreadPool*>(pool)->work_loop();
    return nullptr;
}

ThreadPool* ThreadPool::current() noexcept { return worker_of; }

void ThreadPool::record_hand_off(std::chrono::nanoseconds sample) noexcept {
    // A running mean over about the last eight hand-offs; a single outlier (a preempted thread)
    // moves it by at most a factor of 1.5.
    constexpr std::int64_t kFloor = 1000;
    const std::int64_t current = hand_off_ns_.load(std::memory_order_relaxed);
    const std::int64_t bounded = std::clamp<std::int64_t>(sample.count(), current / 4, current * 4);
    hand_off_ns_.store(std::max(kFloor, current + (bounded - current) / 8), std::memory_order_relaxed);
}

void ThreadPool::push(Job& job) noexcept {
    job.older_ = newest_;
    job.newer_ = nullptr;
    (newest_ != nullptr ? newest_->newer_ : oldest_) = &job;
    newest_ = &job;
    queued_.fetch_add(1, std::memory_order_release);
}

void ThreadPool::unlink(Job& job) noexcept {
    (job.older_ != nullptr ? job.older_->newer_ : oldest_) = job.newer_;
    (job.newer_ != nullptr ? job.newer_->older_ : newest_) = job.older_;
    job.older_ = job.newer_ = nullptr;
    queued_.fetch_sub(1, std::memory_order_release);
}

Job* ThreadPool::take(bool newest) noexcept {
    Job* job = newest ? newest_ : oldest_;
    if (job == nullptr) return nullptr;
    unlink(*job);
    job->state_.fetch_or(Job::kRunning, std::memory_order_relaxed);
    return job;
}

void ThreadPool::add_idle(Parker& parker) noexcept {
    parker.idle_older_ = idle_;
    parker.idle_newer_ = nullptr;
    if (idle_ != nullptr) idle_->idle_newer_ = &parker;
    idle_ = &parker;
    parker.idle_listed_ = true;
}

bool ThreadPool::remove_idle(Parker& parker) noexcept {
    if (!parker.idle_listed_) return false;
    if (parker.idle_older_ != nullptr) parker.idle_older_->idle_newer_ = parker.idle_newer_;
    (parker.idle_newer_ != nullptr ? parker.idle_newer_->idle_older_ : idle_) = parker.idle_older_;
    parker.idle_listed_ = false;
    return true;
}

Parker* ThreadPool::pop_idle() noexcept {
    Parker* parker = idle_;
    if (parker != nullptr) remove_idle(*parker);
    return parker;
}

void ThreadPool::publish(Job& job) {
    job.owner_ = worker_of == this ? &this_thread : nullptr;
    job.state_.store(Job::kQueued, std::memory_order_relaxed);
    Parker* sleeper = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        push(job);
        // One job, at most one thread woken to take it; none when a spinning worker will take
        // it, or when the busy workers fill the CPUs already (a woken worker would only take a
        // CPU from one of them). A job left queued is taken by the next worker that looks for
        // work, or taken back by its publisher.
        const unsigned busy = size_ - std::min(size_, looking_.load(std::memory_order_relaxed));
        if (queued_.load(std::memory_order_relaxed) > spinning_.load(std::memory_order_relaxed) && busy < cpus_) {
            sleeper = pop_idle();
        }
    }
    if (sleeper != nullptr) sleeper->wake();
}

void ThreadPool::complete(Job& job) noexcept {
    Parker* const owner = job.owner_;
    std::uint32_t* const word = futex::address(job.state_);
    const std::uint32_t before = job.state_.exchange(Job::kDone, std::memory_order_seq_cst);
    // From here on the job may be gone; only its owner's parker (a worker's, which lives as long
    // as the process) and the address of its word are used.
    if ((before & Job::kAsleep) != 0) {
        futex::wake_all(word);
    } else if (owner != nullptr && owner != &this_thread) {
        owner->wake();
    }
}

void ThreadPool::run(Job& job, bool stolen) {
    try {
        job.execute(stolen);
    } catch (abi::__forced_unwind&) {  // the thread is ending: its job must still end for its owner
        job.failure_ = std::make_exception_ptr(Panic("a worker thread was ended while running a job"));
        complete(job);
        throw;
    } catch (...) {
        job.failure_ = std::current_exception();
    }
    complete(job);
}

void ThreadPool::finish(Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (job.state_.load(std::memory_order_relaxed) == Job::kQueued) {
        // Nobody took it: it runs here, as a continuation of this thread's own work.
        unlink(job);
        job.state_.store(Job::kRunning, std::memory_order_relaxed);
        lock.unlock();
        run(job, false);
        return;
    }
    // Someone else runs it. Meanwhile help with other queued work (newest first, the smallest
    // pieces, often parts of the same map), so that a nested map never blocks a worker.
    const auto done = [&] { return job.state_.load(std::memory_order_seq_cst) == Job::kDone; };
    bool spun = false;
    bool woken_for_work = false;
    while (!done()) {
        if (Job* other = take(true)) {
            woken_for_work = false;
            spun = false;
            lock.unlock();
            run(*other, other->owner_ != &this_thread);
            lock.lock();
            continue;
        }
        const Looking looking(looking_);
        if (!spun) {
            lock.unlock();
            spin_while_allowed([&] { return done() || queued_.load(std::memory_order_acquire) > 0; });
            lock.lock();
            spun = true;
            continue;
        }
        // Asleep until the job is done (its finisher wakes this thread) or there is work to take
        // (a publisher takes this thread off the idle list to wake it).
        add_idle(this_thread);
        this_thread.prepare();
        if (done()) {
            remove_idle(this_thread);
            break;
        }
        lock.unlock();
        this_thread.sleep();
        lock.lock();
        if (!remove_idle(this_thread)) woken_for_work = true;
    }
    // A wake meant for work that this thread leaves behind goes on to another sleeping thread.
    Parker* next = woken_for_work && oldest_ != nullptr ? pop_idle() : nullptr;
    lock.unlock();
    if (next != nullptr) next->wake();
}

void ThreadPool::submit(Job& job) { publish(job); }

bool ThreadPool::wait(Job& job, std::chrono::nanoseconds timeout) {
    const auto done = [&] { return job.state_.load(std::memory_order_acquire) == Job::kDone; };
    if (spin_until(done, kCallerSpins)) return true;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::uint32_t state = job.state_.load(std::memory_order_seq_cst);
        if (state == Job::kDone) return true;
        if ((state & Job::kAsleep) == 0) {
            if (!job.state_.compare_exchange_weak(state, state | Job::kAsleep, std::memory_order_seq_cst)) continue;
            state |= Job::kAsleep;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        futex::wait(job.state_, state, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    }
}

template <class Ready>
void ThreadPool::spin_while_allowed(Ready ready) {
    const unsigned spinning = spinning_.fetch_add(1, std::memory_order_relaxed);
    const unsigned busy = size_ - std::min(size_, looking_.load(std::memory_order_relaxed));
    if (spinning < kMostSpinningWorkers && busy + spinning < cpus_) spin_until(ready, kWorkerSpins);
    spinning_.fetch_sub(1, std::memory_order_relaxed);
}

Job* ThreadPool::next_job() {
    const Looking looking(looking_);
    spin_while_allowed(
        [&] { return queued_.load(std::memory_order_acquire) > 0 || stopping_.load(std::memory_order_relaxed); });
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_.load(std::memory_order_relaxed)) return nullptr;
        // The oldest job is the largest piece of work still unclaimed.
        if (Job* job = take(false)) return job;
        add_idle(this_thread);
        this_thread.prepare();
        lock.unlock();
        this_thread.sleep();
        lock.lock();
        remove_idle(this_thread);
    }
}

void ThreadPool::work_loop() {
    worker_of = this;
    while (Job* job = next_job()) run(*job, job->owner_ != &this_thread);
    worker_of = nullptr;
}

void ThreadPool::stop() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true, std::memory_order_relaxed);
    while (Parker* sleeper = pop_idle()) sleeper->wake();
}

void ThreadPool::start() {
    std::vector<pthread_t> threads;
    threads.reserve(size_);  // std::bad_alloc here leaves nothing behind
    // Workers take no asynchronous signals: those go to the callers' threads, where Python handles
    // them (and a caller asleep waiting for a map wakes at once). Faults stay with the thread.
    sigset_t all, previous;
    sigfillset(&all);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, fault);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    int error = 0;
    while (threads.size() < size_) {
        pthread_t thread;
        error = pthread_create(&thread, nullptr, worker_main, this);
        if (error != 0) break;
        threads.push_back(thread);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        stop();
        for (const pthread_t thread : threads) pthread_join(thread, nullptr);
        throw Panic(std::string("The global thread pool has not been initialized.: ") + std::strerror(error));
    }
    for (const pthread_t thread : threads) pthread_detach(thread);
}

ThreadPool& global_pool() {
    if (ThreadPool* pool = the_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard<std::mutex> lock(creation_mutex);
    if (ThreadPool* pool = the_pool.load(std::memory_order_acquire)) return *pool;
    // In a forked child the storage may still hold the parent's abandoned pool: it is reused as
    // it is, without running anything of the old one.
    auto* pool = new (pool_storage) ThreadPool(pool_size_from_environment(), available_cpus());
    try {
        pool->start();
    } catch (...) {  // no worker refers to the pool any more; a later call tries again
        pool->~ThreadPool();
        throw;
    }
    the_pool.store(pool, std::memory_order_release);
    return *pool;
}

unsigned current_num_threads() {
    if (ThreadPool* pool = ThreadPool::current()) return pool->size();
    return global_pool().size();
}

}  // namespace mirvanta::parallel
