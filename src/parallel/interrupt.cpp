#include "parallel/interrupt.hpp"

namespace mirvanta::parallel {
namespace {

thread_local InterruptCheck* installed = nullptr;
thread_local bool stopped = false;

}  // namespace

ScopedInterruptCheck::ScopedInterruptCheck(InterruptCheck& check) noexcept
    : previous_check_(installed), previous_stopped_(stopped) {
    installed = &check;
    stopped = false;
}

ScopedInterruptCheck::~ScopedInterruptCheck() {
    installed = previous_check_;
    stopped = previous_stopped_;
}

bool stop_requested() {
    if (installed == nullptr) return false;
    if (!stopped) stopped = installed->stop_requested();
    return stopped;
}

void interruption_point() {
    if (stop_requested()) throw Interrupted{};
}

}  // namespace mirvanta::parallel
