// Sleeping on a 32-bit word until another thread wakes it: Linux futexes, private to the process.
//
// A wait returns when woken, when the word no longer holds the expected value, on a signal, at
// the time-out, or spuriously; callers recheck their condition in a loop. Waking an address whose
// object has gone is harmless (the system call touches no memory), so a thread may wake the
// word of an object that its owner may free as soon as it has seen the new value.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>

namespace mirvanta::parallel::futex {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

inline std::uint32_t* address(std::atomic<std::uint32_t>& word) noexcept {
    return reinterpret_cast<std::uint32_t*>(&word);
}

// Sleeps while the word holds `expected`, at most `timeout` (none when it is zero or negative).
inline void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                 std::chrono::nanoseconds timeout = std::chrono::nanoseconds::zero()) noexcept {
    timespec relative{};
    timespec* limit = nullptr;
    if (timeout > std::chrono::nanoseconds::zero()) {
        relative.tv_sec = static_cast<time_t>(timeout.count() / 1000000000);
        relative.tv_nsec = static_cast<long>(timeout.count() % 1000000000);
        limit = &relative;
    }
    syscall(SYS_futex, address(word), FUTEX_WAIT_PRIVATE, expected, limit, nullptr, 0);
}

inline void wake_one(std::uint32_t* word) noexcept { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

inline void wake_all(std::uint32_t* word) noexcept {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace mirvanta::parallel::futex
