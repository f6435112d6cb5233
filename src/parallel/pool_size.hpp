// How many worker threads the process-wide pool gets.
#pragma once

#include <optional>
#include <string_view>

namespace mirvanta::parallel {

// An unsigned decimal as the pool's environment variables take it: an optional leading '+',
// then digits only, within 64 bits. Anything else (empty, signed, fractional, a lone '+') is
// no number.
std::optional<unsigned long long> parse_thread_count(std::string_view text);

// The pool size: RAYON_NUM_THREADS when it is a number above 0 (0 selects the default without
// looking further); else RAYON_RS_NUM_CPUS when it is a number above 0; else the CPUs this
// process may run on, lowered to its control group's CPU quota; 1 when nothing can be told.
unsigned pool_size_from_environment();

// The CPUs of the affinity mask, lowered to the cgroup CPU quota; 0 when unknown.
unsigned available_cpus();

// The CPUs that a cgroup quota of `quota` per `period` allows, a fraction rounded up (1.5 CPUs
// give two workers, which share the quota between them, where one would leave half a CPU
// unused); 0 when there is no limit (a quota or period of 0 or below).
unsigned cpus_of_quota(long long quota, long long period);

// The CPUs of the affinity mask, however many the system has; 0 when unknown.
unsigned affinity_cpus();

}  // namespace mirvanta::parallel
