#include "parallel/interrupt.hpp"

namespace mirvanta::parallel {
namespace {

// One thread-local object, so that each function reaches it with a single look-up.
struct Installed {
    InterruptCheck* check = nullptr;
    bool stopped = false;
};

thread_local Installed installed;

}  // namespace

ScopedInterruptCheck::ScopedInterruptCheck(InterruptCheck& check) noexcept {
    Installed& here = installed;
    previous_check_ = here.check;
    previous_stopped_ = here.stopped;
    here = {&check, false};
}

ScopedInterruptCheck::~ScopedInterruptCheck() { installed = {previous_check_, previous_stopped_}; }

bool stop_requested() {
    Installed& here = installed;
    if (here.check == nullptr) return false;
    if (!here.stopped) here.stopped = here.check->stop_requested();
    return here.stopped;
}

void interruption_point() {
    if (stop_requested()) throw Interrupted{};
}

}  // namespace mirvanta::parallel
