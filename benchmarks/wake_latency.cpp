// How long a sleeping thread takes to run after another thread wakes it, on this machine: what a
// map pays to bring in a worker of the pool that has slept (after a pause between calls). No
// code of the module is involved: one thread sleeps on a futex, the main thread sleeps 20 ms,
// wakes it and keeps its own CPU busy until the other runs, as a calling thread does while it
// computes its share of a map.
//
//   wake_latency          prints the 10th, 50th and 90th percentile and the largest of 60
//                         wake-ups, microseconds: first with the scheduler free to place both
//                         threads, then with each thread held on a CPU of its own (CPUs 0 and 1),
//                         and the time the waking call itself takes.
//
// On a virtual machine whose scheduler places the woken thread on the waker's CPU (it may count
// the other CPU, halted by its hypervisor, as not idle), the woken thread waits there for the
// waker's time slice to end: milliseconds, against tens of microseconds on a CPU of its own.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void hold_on_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

void measure(bool pinned) {
    constexpr int kWakes = 60;
    std::atomic<int> generation{0};
    std::atomic<Clock::rep> woke{0};
    std::vector<double> latency, waking;
    std::thread sleeper([&] {
        if (pinned) hold_on_cpu(1);
        for (int i = 1; i <= kWakes; ++i) {
            while (generation.load() < i) generation.wait(i - 1);
            woke.store(Clock::now().time_since_epoch().count());
        }
    });
    if (pinned) hold_on_cpu(0);
    for (int i = 1; i <= kWakes; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto start = Clock::now();
        generation.store(i);
        generation.notify_one();
        waking.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        while (woke.load() < start.time_since_epoch().count()) {
        }
        latency.push_back(std::chrono::duration<double, std::micro>(Clock::duration(woke.load() - start.time_since_epoch().count())).count());
    }
    sleeper.join();
    std::sort(latency.begin(), latency.end());
    std::sort(waking.begin(), waking.end());
    std::printf("%-32s wake-up to running: p10 %7.1f  p50 %7.1f  p90 %7.1f  max %7.1f us;  the waking call: p50 %.1f us\n",
                pinned ? "each thread on a CPU of its own" : "placed by the scheduler", latency[kWakes / 10],
                latency[kWakes / 2], latency[kWakes * 9 / 10], latency.back(), waking[kWakes / 2]);
}

}  // namespace

int main() {
    measure(false);
    if (std::thread::hardware_concurrency() >= 2) measure(true);
}
