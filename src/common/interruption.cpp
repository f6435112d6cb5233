#include "common/interruption.hpp"

namespace mirvanta {
namespace {

// The state of the call running on this thread: one thread-local object, so that each function
// reaches it with a single look-up. Outside any installed hook (the C++ tests and benchmarks) it
// is the thread's default state.
struct Installed {
    CallerHook* hook = nullptr;
    bool stopped = false;
    void* map_scope = nullptr;
    std::chrono::steady_clock::time_point map_question{};
};

thread_local Installed installed;

}  // namespace

ScopedCallerHook::ScopedCallerHook(CallerHook& hook) noexcept {
    Installed& here = installed;
    previous_hook_ = here.hook;
    previous_stopped_ = here.stopped;
    previous_map_scope_ = here.map_scope;
    previous_map_question_ = here.map_question;
    here = {&hook, false, nullptr, {}};
}

ScopedCallerHook::~ScopedCallerHook() {
    installed = {previous_hook_, previous_stopped_, previous_map_scope_, previous_map_question_};
}

bool stop_requested() {
    Installed& here = installed;
    if (here.hook == nullptr) return false;
    if (!here.stopped) here.stopped = here.hook->stop_requested();
    return here.stopped;
}

void interruption_point() {
    if (stop_requested()) throw Interrupted{};
}

bool work_while_waiting() {
    Installed& here = installed;
    return here.hook != nullptr && !here.stopped && here.hook->work_while_waiting();
}

bool pool_unavailable(std::string_view why) {
    Installed& here = installed;
    if (here.hook == nullptr || here.stopped) return here.stopped;
    here.stopped = here.hook->pool_unavailable(why);
    return here.stopped;
}

void* call_map_scope() noexcept { return installed.map_scope; }

void set_call_map_scope(void* scope) noexcept { installed.map_scope = scope; }

std::chrono::steady_clock::time_point call_map_question() noexcept { return installed.map_question; }

void set_call_map_question(std::chrono::steady_clock::time_point when) noexcept { installed.map_question = when; }

}  // namespace mirvanta
