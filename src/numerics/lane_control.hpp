// Loop control written once for a double and for a set of lanes (T: double or a lane type of
// numerics/lanes/), so that the scalar code and the lanes run the same loops: `running` holds the
// lanes still in a loop, a bool for a double and one bit per lane for a lane type. A lane leaves
// on its own test and keeps the values it had then while the others go on; a double's loop ends
// when its one lane leaves, so there every `keep` takes the new values.
//
// Templates only, always inlined (see numerics/elliptic_steps.hpp for why).
#pragma once

namespace mirvanta::numerics {

template <class T>
struct LaneControl {
    using Running = unsigned;
    static constexpr Running kAll = (1u << T::width) - 1u;

    // `running` less the lanes in which `test` holds.
    template <class Mask>
    [[gnu::always_inline]] static Running leave(Running running, Mask test) {
        return running & ~test.bits();
    }
    [[gnu::always_inline]] static bool any(Running running) { return running != 0; }

    // The lanes of `running` as a mask for keep(); all of them is the common case, without blends.
    struct Moving {
        bool all;
        typename T::Mask mask;
    };
    [[gnu::always_inline]] static Moving moving(Running running) {
        return {running == kAll, running == kAll ? typename T::Mask{} : T::mask(running)};
    }
    // `next` in the moving lanes, `kept` in the others.
    [[gnu::always_inline]] static T keep(const Moving& moving, T next, T kept) {
        return moving.all ? next : select(moving.mask, next, kept);
    }
};

template <>
struct LaneControl<double> {
    using Running = bool;
    static constexpr Running kAll = true;

    [[gnu::always_inline]] static Running leave(Running running, bool test) { return running && !test; }
    [[gnu::always_inline]] static bool any(Running running) { return running; }

    using Moving = bool;
    [[gnu::always_inline]] static Moving moving(Running running) { return running; }
    [[gnu::always_inline]] static double keep(Moving moving, double next, double kept) { return moving ? next : kept; }
};

template <class T>
using Running = typename LaneControl<T>::Running;

}  // namespace mirvanta::numerics
