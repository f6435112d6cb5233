// Stopping a long computation when its caller asks to (Ctrl-C in Python), without the lower
// layers knowing who asks.
//
// The caller installs an InterruptCheck on its thread for the duration of a call. Sequential
// loops call interruption_point() between elements; a parallel map asks from the calling thread
// every kInterruptPollInterval while it waits. When the check says stop, the computation throws
// Interrupted, after a parallel map has stopped its workers; the installer knows why it stopped.
// Checks are made only on the thread that installed them.
#pragma once

#include <chrono>

namespace mirvanta::parallel {

inline constexpr std::chrono::milliseconds kInterruptPollInterval{4};

class InterruptCheck {
public:
    // True when the computation must stop. May run code of the installer's (a signal handler).
    virtual bool stop_requested() = 0;

protected:
    ~InterruptCheck() = default;
};

// Thrown when the installed check says stop. Not a std::exception: only the installer's frame
// handles it.
struct Interrupted {};

// Installs `check` on this thread until the end of the scope (the previous one comes back).
class ScopedInterruptCheck {
public:
    explicit ScopedInterruptCheck(InterruptCheck& check) noexcept;
    ~ScopedInterruptCheck();
    ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
    ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

private:
    InterruptCheck* previous_check_;
    bool previous_stopped_;
};

// Asks the installed check; false when none is installed. Once it has said stop, the answer
// stays true until the scope ends, without asking again.
bool stop_requested();

// Throws Interrupted when stop_requested().
void interruption_point();

}  // namespace mirvanta::parallel
