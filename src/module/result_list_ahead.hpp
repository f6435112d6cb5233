// The result list of a call, its floats made while the workers compute: the calling thread makes
// them ahead, a slice at a time, while it waits for a parallel map, and the values are written
// into them once known. Until then they are held here, where no Python code can meet them, and
// the list that takes them is made at the end (results.hpp). The result is the same list of the
// same floats as a list made afterwards; a failure to make floats ahead is dropped, and met
// again when the rest is made after the computation (MemoryError, as without this). The values
// must be as many as the list was made for: a function declared to return one float per
// separation that returns another number of them has broken its declaration, which is an internal
// failure.
//
// The calling thread spends at most kMostWork making floats ahead, whatever the list's length: a
// call that Ctrl-C stops releases the floats it made, one by one, before it returns, which takes
// about a third of the time making them took (43 and 15 ns a float on a busy 2-core machine; all
// 3e7 floats of a long list took 150 to 450 ms to release). The floats of a longer list are made
// after the computation.
#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <vector>

#include "module/compat.hpp"

namespace mirvanta::module {

class ResultListAhead {
public:
    static constexpr std::chrono::milliseconds kMostWork{20};

    // `size` items; none are made when `size` is 0. `most_work`: the time to spend making them
    // ahead, at most (for tests).
    explicit ResultListAhead(std::size_t size = 0, std::chrono::nanoseconds most_work = kMostWork) noexcept
        : size_(size), work_left_(most_work) {}
    ResultListAhead(const ResultListAhead&) = delete;
    ResultListAhead& operator=(const ResultListAhead&) = delete;
    ~ResultListAhead() noexcept(false);  // releases the floats made ahead and not handed over

    // Sets the list's length, before the first advance().
    void expect(std::size_t size) noexcept { size_ = size; }

    // Makes the next slice; false when nothing is left to make ahead (or making failed, or took
    // all the time given to it).
    bool advance();

    // The list of `values` (a new reference), from what was made ahead and whatever is still
    // missing; null with the interpreter's exception set on failure. Throws a Panic when
    // `values` are not `size` values, and Interrupted as to_python (results.hpp) does.
    PyObject* finish(std::span<const double> values);

    std::size_t made() const noexcept { return floats_.size(); }

private:
    std::size_t size_;
    std::chrono::nanoseconds work_left_;
    std::vector<PyObject*> floats_;  // new references, made ahead; null once handed over
    bool failed_ = false;
};

}  // namespace mirvanta::module
