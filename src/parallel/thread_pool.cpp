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

#include "parallel/panic.hpp"
#include "parallel/pool_size.hpp"

namespace mirvanta::parallel {
namespace {

using Clock = std::chrono::steady_clock;

// The key under which each worker finds its WorkerState; created when the library is loaded. A
// key of the first 32 is kept inside the thread's descriptor, so setting it allocates nothing.
pthread_key_t worker_key;
const bool worker_key_created = pthread_key_create(&worker_key, nullptr) == 0;

// How long a thread spins before it sleeps, in pause instructions (tens of nanoseconds each).
// A caller outside the pool waits for a whole map and spins only briefly: on a machine with no
// spare core its spinning would slow the workers it waits for. An idle worker spins longer, to
// catch the next piece of work without a wake-up.
constexpr int kCallerSpins = 500;
constexpr int kWorkerSpins = 3000;
// An idle worker's spin yields its core now and then, for the machine may have no spare one. A
// waiting caller's never does: the scheduler would then put it behind the busy workers (each
// sched_yield moves a thread's turn a whole time slice later), and its checks for signals with it.
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
    // The child has only the thread that forked: the parent's workers, and whatever locks they
    // or a creating thread held, do not exist here. Abandon the pool without touching it, make
    // the creation lock new in its own storage (nothing is allocated in the child), and let the
    // first use create a pool of its own in the same storage. A map that the forking thread was
    // waiting for learns from the new generation that its workers are gone.
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
    WorkerState* self = current_worker();
    job.owner_ = self != nullptr && &self->pool == this ? &self->parker : nullptr;
    job.state_.store(Job::kQueued, std::memory_order_relaxed);
    Parker* sleeper = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        push(job);
        // One job, at most one thread woken to take it; none when a spinning worker will take
        // it, or when the busy threads fill the CPUs already (a woken worker would only take a
        // CPU from one of them). A job left queued is taken by the next worker that looks for
        // work, or taken back by its publisher, or gets a worker woken when a working caller
        // stops (CallerWorking::end).
        if (queued_.load(std::memory_order_relaxed) > spinning_.load(std::memory_order_relaxed) && busy() < cpus_) {
            sleeper = pop_idle();
        }
    }
    if (sleeper != nullptr) sleeper->wake();
}

void ThreadPool::CallerWorking::end() noexcept {
    if (pool_ == nullptr) return;
    ThreadPool& pool = *pool_;
    pool_ = nullptr;
    Parker* sleeper = nullptr;
    {
        std::lock_guard<std::mutex> lock(pool.mutex_);
        pool.callers_working_.fetch_sub(1, std::memory_order_relaxed);
        // The rule of publish(), for the jobs that waited for this CPU.
        if (pool.queued_.load(std::memory_order_relaxed) > pool.spinning_.load(std::memory_order_relaxed) &&
            pool.busy() < pool.cpus_) {
            sleeper = pool.pop_idle();
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
    } else if (owner != nullptr) {
        const WorkerState* self = current_worker();
        if (self == nullptr || owner != &self->parker) owner->wake();
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

void ThreadPool::finish(Job& job, WorkerState& self) {
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
            run(*other, other->owner_ != &self.parker);
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
        add_idle(self.parker);
        self.parker.prepare();
        if (done()) {
            remove_idle(self.parker);
            break;
        }
        lock.unlock();
        self.parker.sleep();
        lock.lock();
        if (!remove_idle(self.parker)) woken_for_work = true;
    }
    // A wake meant for work that this thread leaves behind goes on to another sleeping thread.
    Parker* next = woken_for_work && oldest_ != nullptr ? pop_idle() : nullptr;
    lock.unlock();
    if (next != nullptr) next->wake();
}

void ThreadPool::submit(Job& job) { publish(job); }

bool ThreadPool::wait(Job& job, std::chrono::nanoseconds timeout, bool spin) {
    const auto done = [&] { return job.state_.load(std::memory_order_acquire) == Job::kDone; };
    if (spin && spin_until(done, kCallerSpins, Yield::never)) return true;
    for (;;) {
        std::uint32_t state = job.state_.load(std::memory_order_seq_cst);
        if (state == Job::kDone) return true;
        if ((state & Job::kAsleep) == 0) {
            if (!job.state_.compare_exchange_weak(state, state | Job::kAsleep, std::memory_order_seq_cst)) continue;
            state |= Job::kAsleep;
        }
        // One sleep: it ends when the job's finisher wakes this thread, at the time-out, or when
        // a signal arrives for this thread (its handler is then due).
        futex::wait(job.state_, state, timeout);
        return done();
    }
}

template <class Ready>
void ThreadPool::spin_while_allowed(Ready ready) {
    const unsigned spinning = spinning_.fetch_add(1, std::memory_order_relaxed);
    if (spinning < kMostSpinningWorkers && busy() + spinning < cpus_) spin_until(ready, kWorkerSpins, Yield::sometimes);
    spinning_.fetch_sub(1, std::memory_order_relaxed);
}

Job* ThreadPool::next_job(WorkerState& self) {
    const Looking looking(looking_);
    spin_while_allowed(
        [&] { return queued_.load(std::memory_order_acquire) > 0 || stopping_.load(std::memory_order_relaxed); });
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_.load(std::memory_order_relaxed)) return nullptr;
        // The oldest job is the largest piece of work still unclaimed.
        if (Job* job = take(false)) return job;
        add_idle(self.parker);
        self.parker.prepare();
        lock.unlock();
        self.parker.sleep();
        lock.lock();
        remove_idle(self.parker);
    }
}

void ThreadPool::work_loop(WorkerState& self) {
    while (Job* job = next_job(self)) run(*job, job->owner_ != &self.parker);
}

void ThreadPool::stop() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true, std::memory_order_relaxed);
    while (Parker* sleeper = pop_idle()) sleeper->wake();
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
    // In a forked child the storage may still hold the parent's abandoned pool: it is reused as
    // it is, without running anything of the old one.
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
