// The output vector of a parallel map: its elements are default-initialised (left unset for
// doubles) rather than zeroed, since every one is written by the map anyway. On a batch of
// cheap kernels, zeroing the output first would cost a visible share of the whole call.
#pragma once

#include <memory>
#include <vector>

namespace mirvanta::parallel {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    using std::allocator<T>::allocator;

    template <class U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using ResultVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace mirvanta::parallel
