#include "parallel/map_scope.hpp"

#include "common/interruption.hpp"
#include "parallel/thread_pool.hpp"

namespace mirvanta::parallel {

MapScope* current_map_scope() noexcept {
    if (WorkerState* worker = current_worker()) return worker->scope;
    return static_cast<MapScope*>(call_map_scope());
}

ScopedMapScope::ScopedMapScope(MapScope& scope) noexcept {
    WorkerState* worker = current_worker();
    slot_ = worker != nullptr ? &worker->scope : nullptr;
    previous_ = slot_ != nullptr ? *slot_ : static_cast<MapScope*>(call_map_scope());
    if (slot_ != nullptr) {
        *slot_ = &scope;
    } else {
        set_call_map_scope(&scope);
    }
}

ScopedMapScope::~ScopedMapScope() {
    if (slot_ != nullptr) {
        *slot_ = previous_;
    } else {
        set_call_map_scope(previous_);
    }
}

bool element_should_stop() {
    if (MapScope* scope = current_map_scope()) return scope->should_stop();
    interruption_point();
    return false;
}

}  // namespace mirvanta::parallel
