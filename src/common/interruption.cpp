#include "common/interruption.hpp"

namespace mirvanta {
namespace {

// One thread-local object, so that each function reaches it with a single look-up.
struct Installed {
    CallerHook* hook = nullptr;
    bool stopped = false;
};

thread_local Installed installed;

}  // namespace

ScopedCallerHook::ScopedCallerHook(CallerHook& hook) noexcept {
    Installed& here = installed;
    previous_hook_ = here.hook;
    previous_stopped_ = here.stopped;
    here = {&hook, false};
}

ScopedCallerHook::~ScopedCallerHook() { installed = {previous_hook_, previous_stopped_}; }

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

}  // namespace mirvanta
