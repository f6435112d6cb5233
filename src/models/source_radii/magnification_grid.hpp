// The result of a computation over parameter pairs: one row of magnifications per pair, each as
// long as the separations, in one block. The values are left unset until the computation writes
// them: on a grid of cheap kernels, zeroing them first would cost a visible share of the call.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>

#include "common/allocation_failure.hpp"

namespace mirvanta::models {

class MagnificationGrid {
public:
    MagnificationGrid() = default;

    // Throws AllocationFailure (a std::bad_alloc) when the block cannot be had, its size in
    // doubles included.
    MagnificationGrid(std::size_t rows, std::size_t row_length) : rows_(rows), row_length_(row_length) {
        const double values = static_cast<double>(rows) * static_cast<double>(row_length);
        if (row_length != 0 && rows > kMostValues / row_length) throw AllocationFailure("the result grid", values, 8.0);
        try {
            values_ = std::make_unique_for_overwrite<double[]>(rows * row_length);
        } catch (const std::bad_alloc&) {
            throw AllocationFailure("the result grid", values, 8.0);
        }
    }

    std::size_t size() const noexcept { return rows_; }
    std::size_t row_length() const noexcept { return row_length_; }

    std::span<double> operator[](std::size_t row) noexcept { return {values_.get() + row * row_length_, row_length_}; }
    std::span<const double> operator[](std::size_t row) const noexcept {
        return {values_.get() + row * row_length_, row_length_};
    }

private:
    static constexpr std::size_t kMostValues = static_cast<std::size_t>(-1) / sizeof(double);
    std::size_t rows_ = 0;
    std::size_t row_length_ = 0;
    std::unique_ptr<double[]> values_;
};

}  // namespace mirvanta::models
