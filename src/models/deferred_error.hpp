// The error value of a model routine: which Python exception the call frame should raise and a
// static message for it. It holds no interpreter object, so workers may create and drop it.
#pragma once

#include "numerics/elliptic.hpp"
#include "common/expected.hpp"

namespace mirvanta::models {

enum class ErrorKind { runtime_error };

struct DeferredError {
    ErrorKind kind;
    const char* message;

    static DeferredError from(numerics::EllipticError error) { return {ErrorKind::runtime_error, error.message}; }
};

template <class T>
using ModelResult = Expected<T, DeferredError>;

}  // namespace mirvanta::models
