// The result list of a call, created while the workers compute: the list and its floats are made
// ahead, a slice at a time, by the calling thread while it waits for a parallel map, and the
// values are written into them once known. Until then the list is kept out of the garbage
// collector's sight, so that no Python code can meet a list with empty slots or with floats
// that do not hold their values yet. The result is the same list of the same floats as a list
// made afterwards; a failure to create it ahead is dropped, and met again when the rest is
// created after the computation (MemoryError, as without this). The values must be as many as
// the list was made for: a function declared to return one float per separation that returns
// another number of them has broken its declaration, which is an internal failure.
#pragma once

#include <cstddef>
#include <span>

#include "module/compat.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {

class ResultListAhead {
public:
    // `size` items; none are made when `size` is 0.
    explicit ResultListAhead(std::size_t size) noexcept : size_(size) {}
    ResultListAhead(const ResultListAhead&) = delete;
    ResultListAhead& operator=(const ResultListAhead&) = delete;

    // Makes the next slice; false when nothing is left to make (or making failed).
    bool advance();

    // The list of `values` (a new reference), from what was made ahead and whatever is still
    // missing; null with the interpreter's exception set on failure. Throws a Panic when
    // `values` are not `size` values.
    PyObject* finish(std::span<const double> values);

private:
    std::size_t size_;
    PyRef list_;  // untracked by the collector until finish() hands it over
    std::size_t made_ = 0;
    bool failed_ = false;
};

}  // namespace mirvanta::module
