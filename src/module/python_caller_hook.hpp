// The caller hook (common/interruption.hpp) of a Python thread that calls one of the module's
// functions: every few milliseconds it runs the handlers of pending signals (PyErr_CheckSignals,
// with the interpreter lock it holds), so that Ctrl-C stops the call with the handler's
// exception, already set; once a parallel map is shared with the workers it makes the result
// list ahead, when the call returns one float per separation; and when the worker pool cannot
// start, it issues the one RuntimeWarning that says why.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "module/compat.hpp"
#include "module/result_list_ahead.hpp"
#include "common/interruption.hpp"

namespace mirvanta::module {

class PythonCallerHook final : public CallerHook {
public:
    // `result_size`: the length of the result list to make ahead, or 0 for none (the list's
    // expect() sets it later).
    explicit PythonCallerHook(std::size_t result_size = 0) noexcept : list_(result_size) {}

    bool stop_requested() override { return PyErr_CheckSignals() != 0; }
    bool work_while_waiting() override { return list_.advance(); }

    // Under an "error" filter the warning is raised, and the call ends with it.
    bool pool_unavailable(std::string_view why) override {
        const std::string message = "mirvanta: the worker pool could not start (" + std::string(why) +
                                    "); calls compute on the calling thread until a later start succeeds";
        return PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0;
    }

    ResultListAhead& result_list() noexcept { return list_; }

private:
    ResultListAhead list_;
};

}  // namespace mirvanta::module
