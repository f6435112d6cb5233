// What the thread that called a long computation does for it, without the lower layers knowing
// who that caller is: it tells whether to stop (Ctrl-C in Python), and it may do work of its
// own while it waits for the workers.
//
// The caller installs a CallerHook on its thread for the duration of a call. Sequential loops
// call interruption_point() between elements; a parallel map keeps the poll promise below, and in
// between its questions lets the hook work. When the hook says stop, the computation throws
// Interrupted, after a parallel map has stopped its workers; the installer knows why it stopped.
// The hook is used only on the thread that installed it.
//
// Everything a call keeps on its thread belongs to that call alone: its hook, whether the hook has
// said stop, and the innermost map whose elements the thread evaluates for it. The hook's own code
// may call again (a signal handler that calls the module while an outer call waits for its map):
// that inner call installs a hook of its own and starts with no stop and no map, so its maps are
// its own, not maps nested in the outer call's, and a stop of either is seen by that call alone.
// When the inner call ends, the outer call's state is back as it was.
#pragma once

#include <chrono>
#include <string_view>

namespace mirvanta {

// The poll promise: while a parallel map runs for a call, the call's thread asks the hook at
// least once every kInterruptPollInterval of wall time, whether it evaluates elements, does the
// hook's own work (a slice well under the interval at a time) or waits for the workers, so that a
// stop (Ctrl-C) is seen that soon. Kept by the map's calling thread (kCallerStretch and kCallerNap,
// parallel/parallel_map.hpp), which never yields its CPU while it waits awake
// (parallel/thread_pool.cpp), and by the hook's slices of work.
inline constexpr std::chrono::milliseconds kInterruptPollInterval{4};

class CallerHook {
public:
    // True when the computation must stop. May run code of the installer's (a signal handler).
    virtual bool stop_requested() = 0;

    // Does a slice of the installer's own work (well under the poll interval: the poll promise)
    // while a map runs on the workers; false when there is none left.
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

// Thrown in a child process that the hook's own code forked while a map was shared with the
// pool's workers, which the child does not have (the fork rule, parallel/thread_pool.hpp).
struct ForkedDuringMap {};

// Installs `hook` on this thread until the end of the scope, with a call state of its own (the
// previous call's state comes back).
class ScopedCallerHook {
public:
    explicit ScopedCallerHook(CallerHook& hook) noexcept;
    ~ScopedCallerHook();
    ScopedCallerHook(const ScopedCallerHook&) = delete;
    ScopedCallerHook& operator=(const ScopedCallerHook&) = delete;

private:
    CallerHook* previous_hook_;
    bool previous_stopped_;
    void* previous_map_scope_;
    std::chrono::steady_clock::time_point previous_map_question_;
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

// The innermost map whose elements this thread evaluates for the call now running on it (null
// when none), kept here so that it belongs to the call. Only the parallel layer, which knows its
// type, reads and sets it; a worker of the pool keeps its own elsewhere.
void* call_map_scope() noexcept;
void set_call_map_scope(void* scope) noexcept;

// When a parallel map last asked the hook for the call now running on this thread (the clock's
// epoch before the first question). The maps of a call ask once a stretch has passed since,
// whichever of them asked last, so that a call made of many short maps asks as one long map
// does, and its first map asks at its start. Only the parallel layer reads and sets it.
std::chrono::steady_clock::time_point call_map_question() noexcept;
void set_call_map_question(std::chrono::steady_clock::time_point when) noexcept;

}  // namespace mirvanta
