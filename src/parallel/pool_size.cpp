#include "parallel/pool_size.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace mirvanta::parallel {
namespace {

std::optional<unsigned long long> environment_count(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return parse_thread_count(value);
}

// cgroup v2: the smallest cpu.max limit from the process's cgroup up to the root.
unsigned cgroup_v2_limit(const std::string& relative) {
    unsigned limit = 0;
    std::string path = relative;
    for (;;) {
        std::ifstream file("/sys/fs/cgroup" + path + "/cpu.max");
        std::string quota;
        long long period = 0;
        if (file >> quota >> period && quota != "max") {
            const unsigned cpus = cpus_of_quota(std::atoll(quota.c_str()), period);
            if (cpus != 0) limit = limit == 0 ? cpus : std::min(limit, cpus);
        }
        if (path.empty() || path == "/") break;
        const auto slash = path.find_last_of('/');
        path = slash == 0 || slash == std::string::npos ? "" : path.substr(0, slash);
    }
    return limit;
}

// cgroup v1: cpu.cfs_quota_us / cpu.cfs_period_us of the cpu controller's group.
unsigned cgroup_v1_limit(const std::string& relative) {
    for (const char* root : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        std::ifstream quota_file(std::string(root) + relative + "/cpu.cfs_quota_us");
        std::ifstream period_file(std::string(root) + relative + "/cpu.cfs_period_us");
        long long quota = 0, period = 0;
        if (quota_file >> quota && period_file >> period) return cpus_of_quota(quota, period);
    }
    return 0;
}

unsigned cgroup_cpu_limit() {
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        // hierarchy-ID:controller-list:path
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) return cgroup_v2_limit(path);
        std::stringstream list(controllers);
        for (std::string controller; std::getline(list, controller, ',');) {
            if (controller == "cpu") return cgroup_v1_limit(path);
        }
    }
    return 0;
}

}  // namespace

unsigned cpus_of_quota(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return 0;
    const long long whole = quota / period;
    return static_cast<unsigned>(std::min<long long>(whole + (quota % period != 0 ? 1 : 0),
                                                     std::numeric_limits<unsigned>::max()));
}

unsigned affinity_cpus() {
    // The kernel refuses a mask shorter than its own CPU count (EINVAL), which may exceed the 1024
    // CPUs of a cpu_set_t: the mask grows until it fits.
    constexpr int kMostCpus = 1 << 22;
    for (int cpus = 1024; cpus <= kMostCpus; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 0;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        const bool read = sched_getaffinity(0, size, set) == 0;
        const int error = errno;
        const unsigned count = read ? static_cast<unsigned>(CPU_COUNT_S(size, set)) : 0;
        CPU_FREE(set);
        if (read || error != EINVAL) return count;
    }
    return 0;
}

std::optional<unsigned long long> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    unsigned long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (std::numeric_limits<unsigned long long>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

unsigned available_cpus() {
    unsigned cpus = affinity_cpus();
    const unsigned quota = cgroup_cpu_limit();
    if (quota != 0) cpus = cpus == 0 ? quota : std::min(cpus, quota);
    return cpus;
}

unsigned pool_size_from_environment() {
    constexpr unsigned long long kMax = std::numeric_limits<unsigned>::max();
    const auto explicit_count = environment_count("RAYON_NUM_THREADS");
    if (explicit_count && *explicit_count > 0) return static_cast<unsigned>(std::min(*explicit_count, kMax));
    if (!explicit_count || *explicit_count != 0) {
        const auto cpus = environment_count("RAYON_RS_NUM_CPUS");
        if (cpus && *cpus > 0) return static_cast<unsigned>(std::min(*cpus, kMax));
    }
    return std::max(1u, available_cpus());
}

}  // namespace mirvanta::parallel
