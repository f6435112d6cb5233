// The error value of a model routine: which Python exception the call frame should raise and a
// static message for it, with an index into one of the call's arguments where the message names
// one. It holds no interpreter object, so workers may create and drop it.
#pragma once

#include <cstddef>
#include <limits>

#include "numerics/elliptic.hpp"
#include "common/expected.hpp"

namespace mirvanta::models {

enum class ErrorKind { runtime_error, value_error };

struct DeferredError {
    static constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();
    // The text that marks where the index goes in a message.
    static constexpr const char* kIndexMark = "{index}";

    ErrorKind kind;
    const char* message;         // static text; names the argument it is about
    std::size_t index = kNoIndex;  // written in place of kIndexMark in the message, when set

    static DeferredError from(numerics::EllipticError error) { return {ErrorKind::runtime_error, error.message}; }

    // A ValueError about the item at `index` of an argument, e.g. "bl must be ascending; the
    // first radius out of order is at index {index}".
    static DeferredError value_error(const char* message, std::size_t index = kNoIndex) {
        return {ErrorKind::value_error, message, index};
    }
};

template <class T>
using ModelResult = Expected<T, DeferredError>;

}  // namespace mirvanta::models
