// Internal failures: a violated invariant that no caller can handle. Code below the Python
// boundary throws a Panic; the boundary reports it and raises it to Python as PanicException,
// after which the module stays usable.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace mirvanta {

class Panic : public std::runtime_error {
public:
    Panic(const std::string& message, std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

}  // namespace mirvanta
