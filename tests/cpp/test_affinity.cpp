// The affinity mask on a machine with more CPUs than a cpu_set_t holds (1024). This binary
// replaces the C library's sched_getaffinity with a stand-in for a kernel of 3000 CPUs, which
// refuses a mask shorter than its own as Linux does.
#include <gtest/gtest.h>
#include <sched.h>

#include <cerrno>

#include "parallel/pool_size.hpp"

namespace {

constexpr int kCpus = 3000;

}  // namespace

extern "C" int sched_getaffinity(pid_t, std::size_t size, cpu_set_t* set) {
    if (size < CPU_ALLOC_SIZE(kCpus)) {
        errno = EINVAL;
        return -1;
    }
    CPU_ZERO_S(size, set);
    for (int cpu = 0; cpu < kCpus; ++cpu) {
        if (cpu % 3 != 0) CPU_SET_S(cpu, size, set);  // 2000 of them allowed
    }
    return 0;
}

TEST(Affinity, CountsMasksLongerThanACpuSet) { EXPECT_EQ(mirvanta::parallel::affinity_cpus(), 2000u); }
