// Ctrl-C during a long call: while a model computes, it asks every few milliseconds (on the
// calling thread, which holds the interpreter lock) whether a signal handler has raised. If one
// has, the computation stops and the handler's exception, already set, is what the call raises.
#pragma once

#include "module/compat.hpp"
#include "parallel/interrupt.hpp"

namespace mirvanta::module {

class SignalCheck final : public parallel::InterruptCheck {
public:
    // Runs the handlers of pending signals (Python code); true when one of them raised.
    bool stop_requested() override { return PyErr_CheckSignals() != 0; }
};

}  // namespace mirvanta::module
