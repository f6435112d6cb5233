// Reading the mpmath reference tables in tests/cpp/data and measuring errors in ulps.
#pragma once

#include <string>
#include <vector>

namespace mirvanta::testing {

struct ReferenceCase {
    std::vector<double> inputs;
    long double expected;  // +-inf allowed
    std::string line;      // the line as written, for failure messages
};

// The cases of data/<family>.txt. Fails the current test when the file cannot be read.
std::vector<ReferenceCase> load_reference(const std::string& family);

// |computed - expected| in units of the last place of the double nearest `expected`; 0 when both
// are the same infinity, +inf when either is NaN or they differ otherwise in kind.
double ulp_error(double computed, long double expected);

}  // namespace mirvanta::testing
