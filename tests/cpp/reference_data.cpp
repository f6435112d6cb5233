#include "reference_data.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

namespace mirvanta::testing {

std::vector<ReferenceCase> load_reference(const std::string& family) {
    const std::string path = std::string(MIRVANTA_TEST_DATA) + "/" + family + ".txt";
    std::ifstream file(path);
    EXPECT_TRUE(file.good()) << "cannot read " << path;
    std::vector<ReferenceCase> cases;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) words.push_back(word);
        ReferenceCase c;
        for (std::size_t i = 0; i + 1 < words.size(); ++i) c.inputs.push_back(std::strtod(words[i].c_str(), nullptr));  // stod refuses subnormals
        c.expected = std::strtold(words.back().c_str(), nullptr);
        c.line = line;
        cases.push_back(std::move(c));
    }
    EXPECT_FALSE(cases.empty()) << path << " holds no cases";
    return cases;
}

std::vector<ReferenceRow> load_reference_rows(const std::string& family, std::size_t input_count) {
    std::vector<ReferenceRow> rows;
    for (const ReferenceCase& c : load_reference(family)) {
        // load_reference read every word but the last as a double: read the line again.
        std::istringstream fields(c.line);
        ReferenceRow row;
        std::string word;
        for (std::size_t i = 0; fields >> word; ++i) {
            if (i < input_count) {
                row.inputs.push_back(std::strtod(word.c_str(), nullptr));
            } else {
                row.expected.push_back(std::strtold(word.c_str(), nullptr));
            }
        }
        row.line = c.line;
        rows.push_back(std::move(row));
    }
    return rows;
}

double ulp_error(double computed, long double expected) {
    if (std::isnan(computed) || std::isnan(expected)) return std::numeric_limits<double>::infinity();
    if (std::isinf(expected) || std::isinf(computed)) {
        return static_cast<long double>(computed) == expected ? 0.0 : std::numeric_limits<double>::infinity();
    }
    const double nearest = static_cast<double>(expected);
    const double ulp = std::nextafter(std::fabs(nearest), std::numeric_limits<double>::infinity()) - std::fabs(nearest);
    return static_cast<double>(std::fabs(static_cast<long double>(computed) - expected) / ulp);
}

}  // namespace mirvanta::testing
