// An allocation of a call that failed, with what it was for and how large it was, so that the
// MemoryError raised for it can say so. It is a std::bad_alloc: code that handles allocation
// failures in general handles it too. Constructing it allocates nothing (the text is static).
#pragma once

#include <cstddef>
#include <new>

namespace mirvanta {

class AllocationFailure : public std::bad_alloc {
public:
    // `what_for` is static text, e.g. "the result grid"; `count` items of `item_bytes` each (as
    // doubles, since a request that failed may not even fit a size_t).
    AllocationFailure(const char* what_for, double count, double item_bytes) noexcept
        : what_for_(what_for), count_(count), item_bytes_(item_bytes) {}

    const char* what() const noexcept override { return "allocation failure"; }
    const char* what_for() const noexcept { return what_for_; }
    double count() const noexcept { return count_; }
    double bytes() const noexcept { return count_ * item_bytes_; }

private:
    const char* what_for_;
    double count_;
    double item_bytes_;
};

}  // namespace mirvanta
