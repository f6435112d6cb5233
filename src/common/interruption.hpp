// What the thread that called a long computation does for it, without the lower layers knowing
// who that caller is: it tells whether to stop (Ctrl-C in Python), and it may do work of its
// own while it waits for the workers.
//
// The caller installs a CallerHook on its thread for the duration of a call. Sequential loops
// call interruption_point() between elements; a parallel map asks from the calling thread at
// most kInterruptPollInterval apart, in wall time, while it computes or waits, and in between
// lets the hook work. When the hook says stop, the computation throws Interrupted, after a
// parallel map has stopped its workers; the installer knows why it stopped. The hook is used only
// on the thread that installed it.
#pragma once

#include <chrono>
#include <string_view>

namespace mirvanta {

// The longest time between two questions to the hook while a map computes.
inline constexpr std::chrono::milliseconds kInterruptPollInterval{4};

class CallerHook {
public:
    // True when the computation must stop. May run code of the installer's (a signal handler).
    virtual bool stop_requested() = 0;

    // Does a slice of the installer's own work (well under the poll interval) while a map runs
    // on the workers; false when there is none left.
    virtual bool work_while_waiting() { return false; }

    // Told once per process, by the first map that finds no pool after the pool could not start
    // (`why` says what the system refused); that map and the later ones run on the calling thread
    // until a start succeeds. True when the computation must stop.
    virtual bool pool_unavailable(std::string_view /*why*/) { return false; }

protected:
    ~CallerHook() = default;
};

// Thrown when the installed hook says stop. Not a std::exception: only the installer's frame
// handles it.
struct Interrupted {};

// Thrown in a child process that the hook's own code forked while a map it waited for was on the
// pool's workers: the workers, and the parts of the map they held, are not in the child, so the
// map cannot be finished there.
struct ForkedDuringMap {};

// Installs `hook` on this thread until the end of the scope (the previous one comes back).
class ScopedCallerHook {
public:
    explicit ScopedCallerHook(CallerHook& hook) noexcept;
    ~ScopedCallerHook();
    ScopedCallerHook(const ScopedCallerHook&) = delete;
    ScopedCallerHook& operator=(const ScopedCallerHook&) = delete;

private:
    CallerHook* previous_hook_;
    bool previous_stopped_;
};

// Asks the installed hook; false when none is installed. Once it has said stop, the answer
// stays true until the scope ends, without asking again.
bool stop_requested();

// Throws Interrupted when stop_requested().
void interruption_point();

// Lets the installed hook do a slice of its own work; false when it has none (left), or when
// no hook is installed or it has said stop.
bool work_while_waiting();

// Tells the installed hook that the pool could not start; true when it says stop (as
// stop_requested() from then on).
bool pool_unavailable(std::string_view why);

}  // namespace mirvanta
