// Reading the mpmath reference tables in tests/cpp/data and measuring errors in ulps.
#pragma once

#include <cstddef>
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

// A case with several expected values: the first `input_count` words of a line are the inputs,
// the rest the expected values.
struct ReferenceRow {
    std::vector<double> inputs;
    std::vector<long double> expected;
    std::string line;
};

std::vector<ReferenceRow> load_reference_rows(const std::string& family, std::size_t input_count);

// |computed - expected| in units of the last place of the double nearest `expected`; 0 when both
// are the same infinity, +inf when either is NaN or they differ otherwise in kind.
double ulp_error(double computed, long double expected);

}  // namespace mirvanta::testing
