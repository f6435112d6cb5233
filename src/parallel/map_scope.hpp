// How a map stops, as the code inside its elements sees it: the innermost map whose elements a
// thread evaluates (its scope), the stop flag that the maps nested in its elements share with it,
// and the question a long element asks between its own steps.
//
// A map nested in an element of another (on any thread) shares the outer map's stop flag: when
// the outer map stops, the nested one returns what it has, without throwing (a worker throws
// nothing, since an exception is allocated), and only the outermost map throws Interrupted, on its
// caller's thread (parallel_map.hpp).
#pragma once

#include <cstddef>

#include <atomic>

namespace mirvanta::parallel {

// The innermost map whose elements a thread is evaluating: a map nested in an element stops with
// it, and a long element asks it whether to go on.
class MapScope {
public:
    // The map's stop flag, which the maps nested in its elements share.
    std::atomic<bool>& stop_flag() const noexcept { return *stop_; }

    // On a thread outside the pool: whether a CallerWorking already counts the thread as busy.
    bool caller_counted() const noexcept { return caller_counted_; }

    // Whether the map has stopped; on the thread that started it, outside the pool, the caller's
    // hook is asked first when it has not been asked for a while.
    virtual bool should_stop() = 0;

protected:
    explicit MapScope(std::atomic<bool>& stop) noexcept : stop_(&stop) {}
    ~MapScope() = default;
    std::atomic<bool>* stop_;
    bool caller_counted_ = false;
};

// The map whose elements the calling thread evaluates, or null. A worker of the pool keeps its own
// in its WorkerState (it never touches a thread_local variable); any other thread's belongs to the
// call running on it (common/interruption.hpp), so that a call made from inside another's map (by
// a signal handler its hook ran) starts with none and does not take its maps for nested ones.
MapScope* current_map_scope() noexcept;

// Makes `scope` the calling thread's map scope until the end of the scope.
class ScopedMapScope {
public:
    explicit ScopedMapScope(MapScope& scope) noexcept;
    ~ScopedMapScope();
    ScopedMapScope(const ScopedMapScope&) = delete;
    ScopedMapScope& operator=(const ScopedMapScope&) = delete;

private:
    MapScope** slot_;  // the worker's scope, or null for the call's
    MapScope* previous_;
};

// For a kernel whose single elements run long: true when the map that evaluates the element has
// stopped (the element's result is then not used), so that the kernel may end the element early.
// On the calling thread it asks the caller hook when it has not been asked for a while. Outside
// any map (a one-element call, evaluated directly on the calling thread) it throws Interrupted
// when the hook says stop.
bool element_should_stop();

// How many steps a long element takes between two questions to element_should_stop(), asked after
// steps kElementPollStride - 1, 2 kElementPollStride - 1, ... Its loops over the rings of a flux
// map (a ring kernel each, about 160 ns: 0.16 ms for 1024, measured at rho 0.05 with the lens at the
// centre, inside, on the limb and outside) and over the radii of a tabulated profile (at most a
// uniform disk each, about 100 ns) then ask at least every 0.2 ms, well within the calling
// thread's stretch between two questions to its hook (kCallerStretch, 1 ms, parallel_map.hpp),
// which keeps the poll promise (common/interruption.hpp); and the question (2 ns on a worker, a
// clock read more on the calling thread) costs about 1e-5 of the steps. A power of two: the test
// is a mask.
inline constexpr std::size_t kElementPollStride = 1024;

}  // namespace mirvanta::parallel
