// A thread's place to sleep until another thread wakes it, without a lock: one futex word.
//
// The sleeper calls prepare(), then checks what it waits for, then sleep(). A waker first makes
// that true, then calls wake(). Every step is sequentially consistent, so either the sleeper's
// check sees the change or the wake comes after prepare() and sleep() does not block (or is
// ended). Only a thread that is really asleep costs its waker a system call.
#pragma once

#include <atomic>
#include <cstdint>

#include "parallel/futex.hpp"

namespace mirvanta::parallel {

class Parker {
public:
    constexpr Parker() noexcept = default;
    Parker(const Parker&) = delete;
    Parker& operator=(const Parker&) = delete;

    void prepare() noexcept { word_.store(kAwake, std::memory_order_seq_cst); }

    // Sleeps unless woken since prepare(); may also return spuriously.
    void sleep() noexcept {
        std::uint32_t expected = kAwake;
        if (word_.compare_exchange_strong(expected, kAsleep, std::memory_order_seq_cst)) futex::wait(word_, kAsleep);
    }

    void wake() noexcept {
        if (word_.exchange(kWoken, std::memory_order_seq_cst) == kAsleep) futex::wake_one(futex::address(word_));
    }

private:
    static constexpr std::uint32_t kAwake = 0, kWoken = 1, kAsleep = 2;
    std::atomic<std::uint32_t> word_{kAwake};
};

}  // namespace mirvanta::parallel
