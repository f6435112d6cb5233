// Values read through a broadcast: element `flat` (in C order) of a shape of `extents` lies at
// data[sum over k of index_k * strides_k], a stride 0 along each axis the values are broadcast
// over. A computation over a broadcast shape reads its arguments where they lie through it,
// without expanding them into arrays of the shape's size. Reading allocates nothing (for up to
// kMostAxes axes, NumPy's own limit), so that a worker of the pool may read a view.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace mirvanta::models {

class ArrayView {
public:
    static constexpr std::size_t kMostAxes = 64;

    // Contiguous values, one per element.
    ArrayView(std::span<const double> values) noexcept : data_(values.data()), size_(values.size()), contiguous_(true) {}

    // `extents` and `strides` (in elements) of equal length; the size is the extents' product.
    ArrayView(const double* data, std::vector<std::size_t> extents, std::vector<std::size_t> strides)
        : data_(data), extents_(std::move(extents)), strides_(std::move(strides)), size_(1) {
        std::size_t expected = 1;
        contiguous_ = true;
        one_value_ = true;
        for (std::size_t axis = extents_.size(); axis-- > 0;) {
            size_ *= extents_[axis];
            if (extents_[axis] != 1 && strides_[axis] != expected) contiguous_ = false;
            if (extents_[axis] != 1 && strides_[axis] != 0) one_value_ = false;
            expected *= extents_[axis];
        }
    }

    std::size_t size() const noexcept { return size_; }
    // One value in memory after another, in the elements' order: span() then holds them.
    bool contiguous() const noexcept { return contiguous_; }
    std::span<const double> span() const noexcept { return {data_, size_}; }
    // The same value for every element (an array of one, or broadcast along every axis).
    bool one_value() const noexcept { return one_value_ || size_ == 1; }
    double first() const noexcept { return data_[0]; }

    // Element `flat` (in C order).
    double at(std::size_t flat) const noexcept {
        if (contiguous_) return data_[flat];
        std::size_t offset = 0;
        for (std::size_t axis = extents_.size(); axis-- > 0;) {
            offset += (flat % extents_[axis]) * strides_[axis];
            flat /= extents_[axis];
        }
        return data_[offset];
    }

    // Elements [first, first + length) as a view of their own, where `length` is the product of
    // some trailing extents and `first` a multiple of it (a run of whole trailing axes).
    ArrayView rows(std::size_t first, std::size_t length) const {
        if (contiguous_ || one_value_) {
            if (one_value_) return ArrayView(data_, {length}, {0});
            return ArrayView(std::span<const double>(data_ + first, length));
        }
        std::size_t axes = 0, product = 1;
        while (product < length && axes < extents_.size()) product *= extents_[extents_.size() - 1 - axes++];
        std::size_t offset = 0;
        for (std::size_t axis = extents_.size(), rest = first; axis-- > 0;) {
            offset += (rest % extents_[axis]) * strides_[axis];
            rest /= extents_[axis];
        }
        const std::size_t from = extents_.size() - axes;
        return ArrayView(data_ + offset, std::vector<std::size_t>(extents_.begin() + from, extents_.end()),
                         std::vector<std::size_t>(strides_.begin() + from, strides_.end()));
    }

    // out[k] = element begin + k, for k < count.
    void gather(std::size_t begin, std::size_t count, double* out) const {
        if (contiguous_) {
            for (std::size_t k = 0; k < count; ++k) out[k] = data_[begin + k];
            return;
        }
        const std::size_t n = extents_.size();
        std::array<std::size_t, kMostAxes> fixed;
        std::vector<std::size_t> more(n > kMostAxes ? n : 0);
        std::size_t* index = n > kMostAxes ? more.data() : fixed.data();
        std::size_t offset = 0, rest = begin;
        for (std::size_t axis = n; axis-- > 0;) {
            index[axis] = rest % extents_[axis];
            rest /= extents_[axis];
            offset += index[axis] * strides_[axis];
        }
        for (std::size_t k = 0; k < count; ++k) {
            out[k] = data_[offset];
            for (std::size_t axis = n; axis-- > 0;) {  // the next index in C order
                offset += strides_[axis];
                if (++index[axis] < extents_[axis]) break;
                offset -= strides_[axis] * extents_[axis];
                index[axis] = 0;
            }
        }
    }

private:
    const double* data_;
    std::vector<std::size_t> extents_, strides_;
    std::size_t size_;
    bool contiguous_ = true;
    bool one_value_ = false;
};

}  // namespace mirvanta::models
