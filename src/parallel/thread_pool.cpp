#include "parallel/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "parallel/pool_size.hpp"

namespace mirvanta::parallel {
namespace {

using Clock = std::chrono::steady_clock;

// The key under which each worker finds its WorkerState; created when the library is loaded. A
// key of the first 32 is kept inside the thread's descriptor, so setting it allocates nothing.
pthread_key_t worker_key;
const bool worker_key_created = pthread_key_create(&worker_key, nullptr) == 0;

// How long a thread spins before it sleeps, in pause instructions (tens of nanoseconds each).
// A publisher waits for the last run of a helper and spins only briefly: on a machine with no
// spare core its spinning would slow the worker it waits for. An idle worker spins longer, to
// catch the next piece of work without a wake-up.
constexpr int kCallerSpins = 500;
constexpr int kWorkerSpins = 3000;
// An idle worker's spin yields its core now and then, for the machine may have no spare one. A
// waiting caller's never does: the scheduler would then put it behind the busy workers (each
// sched_yield moves a thread's turn a whole time slice later), and its questions to the hook with
// it (the poll promise, common/interruption.hpp).
enum class Yield : bool { never, sometimes };
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
bool spin_until(Ready ready, int spins, Yield yield) {
    for (int spin = 0; spin < spins; ++spin) {
        if (ready()) return true;
        if (yield == Yield::sometimes && spin % 32 == 31) sched_yield();
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
// After a failed start, no new attempt before `next_start`; `start_pause` doubles with each
// failure. Guarded by creation_mutex.
Clock::time_point next_start{};
Clock::duration start_pause{};
constexpr Clock::duration kFirstStartPause = std::chrono::milliseconds(10);
constexpr Clock::duration kLongestStartPause = std::chrono::seconds(1);
// The first failed start's reason, for take_start_failure(): written once, under creation_mutex,
// before the state becomes pending.
char start_failure_text[200];
enum : int { kNoFailure, kFailurePending, kFailureTaken };
std::atomic<int> start_failure_state{kNoFailure};

std::atomic<std::uint64_t> forks_since_load{0};

void forget_pool_in_child() noexcept {
    // The pool's part of the fork rule (thread_pool.hpp): abandon the pool without touching it,
    // make the creation lock new in its own storage (nothing is allocated in the child), and count
    // the fork, by which the maps that started before it learn of it.
    the_pool.store(nullptr, std::memory_order_relaxed);
    new (&creation_mutex) std::mutex;
    forks_since_load.fetch_add(1, std::memory_order_relaxed);
}

// Registered once, when the library is loaded, not on the way to a pool.
[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child);

}  // namespace

WorkerState* current_worker() noexcept { return static_cast<WorkerState*>(pthread_getspecific(worker_key)); }

std::uint64_t fork_generation() noexcept { return forks_since_load.load(std::memory_order_relaxed); }

void* worker_main(void* pool) {
    WorkerState self(*static_cast<ThreadPool*>(pool));
    pthread_setspecific(worker_key, &self);
    self.pool.work_loop(self);
    pthread_setspecific(worker_key, nullptr);
    return nullptr;
}

void ThreadPool::record_hand_off(std::chrono::nanoseconds sample) noexcept {
    // A running mean over about the last eight hand-offs; a single outlier (a preempted thread)
    // moves it by at most a factor of 1.5. It stays within 1 us and 1 ms: maps are shared only
    // when their work outweighs it, and only shared maps measure it, so that an estimate that
    // a burst of load had driven up would otherwise stop every later map from being shared.
    constexpr std::int64_t kFloor = 1000, kCeiling = 1000000;
    const std::int64_t current = hand_off_ns_.load(std::memory_order_relaxed);
    const std::int64_t bounded = std::clamp<std::int64_t>(sample.count(), current / 4, current * 4);
    hand_off_ns_.store(std::clamp(current + (bounded - current) / 8, kFloor, kCeiling), std::memory_order_relaxed);
}

// The waking rules. Each condition is kept where its number appears below.
//
// 1. A job is not left on the queue while a sleeping worker could start it at once on a CPU that
//    our busy threads leave free: publish() wakes one (unless a spinning worker will take it), and
//    so does every thread that frees a CPU while it stays ours (a working caller's end); a worker
//    that finishes a job takes the next queued one itself.
// 2. A worker never sleeps through a job: under the mutex it finds the queue empty, lists itself
//    idle and prepares its parker; a publisher that queues a job afterwards, under the same mutex,
//    takes it off the list and wakes it, and a wake after prepare() ends the sleep (parker.hpp).
// 3. A spinning worker, which rule 1 counts on, looks at the queue under the mutex after its spin
//    and before it sleeps: a job left to it is taken even when the spin ended first.
// 4. A publisher's and a working caller's end read and change the counts of rule 1 under the
//    mutex, so that of two that race, the second sees the first.
// 5. A job's publisher never leaves it behind: it withdraws the job or waits until it is done; the
//    worker that ends a job wakes the publisher when that sleeps on the job's word (kAsleep).

// The threads of ours that occupy a CPU: workers not looking for work, and working callers.
unsigned ThreadPool::busy() const noexcept {
    return size_ - std::min(size_, looking_.load(std::memory_order_relaxed)) +
           callers_working_.load(std::memory_order_relaxed);
}

// Rule 1: wake for a queued job that no spinning worker will take, when a CPU is free for it.
bool ThreadPool::wake_wanted() const noexcept {
    return queued_.load(std::memory_order_relaxed) > spinning_.load(std::memory_order_relaxed) && cpu_free();
}

// An idle worker spins before it sleeps unless enough others spin already, or the busy threads
// and the spinning ones fill the CPUs (a spin would then only slow the busy ones).
bool ThreadPool::spin_allowed(unsigned spinning_before) const noexcept {
    return spinning_before < kMostSpinningWorkers && busy() + spinning_before < cpus_;
}

bool ThreadPool::wants_work() const noexcept {
    return looking_.load(std::memory_order_relaxed) > queued_.load(std::memory_order_relaxed) && cpu_free();
}

IdleList::Entry* ThreadPool::sleeper_to_wake() noexcept { return wake_wanted() ? idle_.pop() : nullptr; }

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

void ThreadPool::publish(Job& job) {
    job.state_.store(Job::kQueued, std::memory_order_relaxed);
    IdleList::Entry* sleeper = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        push(job);
        sleeper = sleeper_to_wake();  // rules 1, 2 and 4
    }
    if (sleeper != nullptr) sleeper->parker.wake();
}

bool ThreadPool::withdraw(Job& job) noexcept {
    if (job.state_.load(std::memory_order_acquire) != Job::kQueued) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (job.state_.load(std::memory_order_relaxed) != Job::kQueued) return false;
    unlink(job);
    job.state_.store(Job::kDone, std::memory_order_relaxed);
    return true;
}

Job* ThreadPool::take() noexcept {
    Job* job = oldest_;
    if (job == nullptr) return nullptr;
    unlink(*job);
    job->state_.store(Job::kTaken, std::memory_order_relaxed);
    return job;
}

void ThreadPool::run(Job& job) noexcept {
    job.execute();
    std::uint32_t* const word = futex::address(job.state_);
    const std::uint32_t before = job.state_.exchange(Job::kDone, std::memory_order_seq_cst);
    // From here on the job may be gone; only the address of its word is used (rule 5).
    if ((before & Job::kAsleep) != 0) futex::wake_all(word);
}

bool ThreadPool::spin_until_done(const Job& job) noexcept {
    return spin_until([&] { return done(job); }, kCallerSpins, Yield::never);
}

bool ThreadPool::wait(Job& job, std::chrono::nanoseconds timeout) noexcept {
    for (;;) {
        std::uint32_t state = job.state_.load(std::memory_order_seq_cst);
        if (state == Job::kDone) return true;
        if ((state & Job::kAsleep) == 0) {
            if (!job.state_.compare_exchange_weak(state, state | Job::kAsleep, std::memory_order_seq_cst)) continue;
            state |= Job::kAsleep;
        }
        // One sleep: it ends when the job's worker wakes this thread (rule 5), at the time-out, or
        // when a signal arrives for this thread (its handler is then due).
        futex::wait(job.state_, state, timeout);
        return done(job);
    }
}

ThreadPool::CallerWorking::CallerWorking(ThreadPool& pool) noexcept : pool_(&pool) {
    std::lock_guard<std::mutex> lock(pool.mutex_);  // rule 4
    pool.callers_working_.fetch_add(1, std::memory_order_relaxed);
}

void ThreadPool::CallerWorking::end() noexcept {
    if (pool_ == nullptr) return;
    ThreadPool& pool = *pool_;
    pool_ = nullptr;
    IdleList::Entry* sleeper = nullptr;
    {
        std::lock_guard<std::mutex> lock(pool.mutex_);
        pool.callers_working_.fetch_sub(1, std::memory_order_relaxed);
        sleeper = pool.sleeper_to_wake();  // rules 1 and 4, for the jobs that waited for this CPU
    }
    if (sleeper != nullptr) sleeper->parker.wake();
}

Job* ThreadPool::next_job(WorkerState& self) {
    const Looking looking(looking_);
    const unsigned spinning = spinning_.fetch_add(1, std::memory_order_relaxed);
    if (spin_allowed(spinning)) {
        spin_until(
            [&] { return queued_.load(std::memory_order_acquire) > 0 || stopping_.load(std::memory_order_relaxed); },
            kWorkerSpins, Yield::sometimes);
    }
    spinning_.fetch_sub(1, std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_.load(std::memory_order_relaxed)) return nullptr;
        if (Job* job = take()) return job;  // rule 3
        idle_.add(self.idle);               // rule 2
        self.idle.parker.prepare();
        lock.unlock();
        self.idle.parker.sleep();
        lock.lock();
        idle_.remove(self.idle);  // still listed after a spurious wake
    }
}

void ThreadPool::work_loop(WorkerState& self) {
    while (Job* job = next_job(self)) run(*job);
}

void ThreadPool::stop() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true, std::memory_order_relaxed);
    while (IdleList::Entry* sleeper = idle_.pop()) sleeper->parker.wake();
}

std::string ThreadPool::start() {
    std::vector<pthread_t> threads;
    try {
        threads.reserve(size_);
    } catch (const std::bad_alloc&) {
        return "no memory for the list of its " + std::to_string(size_) + " worker threads";
    }
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
        return "the system refused worker thread " + std::to_string(threads.size() + 1) + " of " +
               std::to_string(size_) + ": " + std::strerror(error);
    }
    for (const pthread_t thread : threads) pthread_detach(thread);
    return {};
}

ThreadPool* global_pool() {
    if (ThreadPool* pool = the_pool.load(std::memory_order_acquire)) return pool;
    std::lock_guard<std::mutex> lock(creation_mutex);
    if (ThreadPool* pool = the_pool.load(std::memory_order_acquire)) return pool;
    const auto now = Clock::now();
    if (now < next_start) return nullptr;
    std::string failure = "no thread-specific key was left for its workers";
    // In a forked child the storage may still hold the parent's abandoned pool (the fork rule):
    // it is reused as it is, without running anything of the old one.
    auto* pool = new (pool_storage) ThreadPool(pool_size_from_environment(), available_cpus());
    if (worker_key_created) failure = pool->start();
    if (failure.empty()) {
        start_pause = {};
        the_pool.store(pool, std::memory_order_release);
        return pool;
    }
    pool->~ThreadPool();  // no worker refers to it any more
    start_pause = start_pause == Clock::duration::zero() ? kFirstStartPause
                                                         : std::min(2 * start_pause, kLongestStartPause);
    next_start = Clock::now() + start_pause;
    if (start_failure_state.load(std::memory_order_relaxed) == kNoFailure) {
        std::snprintf(start_failure_text, sizeof start_failure_text, "%s", failure.c_str());
        start_failure_state.store(kFailurePending, std::memory_order_release);
    }
    return nullptr;
}

std::string take_start_failure() {
    int expected = kFailurePending;
    if (start_failure_state.load(std::memory_order_relaxed) != kFailurePending ||
        !start_failure_state.compare_exchange_strong(expected, kFailureTaken, std::memory_order_acquire)) {
        return {};
    }
    return start_failure_text;
}

unsigned current_num_threads() {
    if (ThreadPool* pool = ThreadPool::current()) return pool->size();
    ThreadPool* pool = global_pool();
    return pool != nullptr ? pool->size() : 1;
}

}  // namespace mirvanta::parallel
