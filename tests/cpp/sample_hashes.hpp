// Hashes of the bits of a fixed sample's values, checked against those recorded in
// tests/cpp/data/sample_hashes.txt: a pin on a million values that no file of values could carry.
// The recorded hashes were made from the scalar kernel (the quadratures one node at a time); run
// the test with MIRVANTA_RECORD_HASHES=1 to print each hash as a line for the file.
//
// The samples' inputs and values go through the C library's exp, log, atan and pow, which glibc
// takes in versions with FMA instructions where the CPU has FMA and AVX2, and in others, which
// differ in the last bit now and then, elsewhere: a million values then meet some of those
// differences. So the hashes hold for the versions they were recorded with, the FMA ones, and the
// comparison is skipped where the CPU lacks them or GLIBC_TUNABLES may turn them off.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace mirvanta::testing {

// FNV-1a, 64 bits, over the eight bytes of each value, lowest first, in order.
class BitsHash {
public:
    void add(double value) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
        for (int byte = 0; byte < 8; ++byte) {
            state_ = (state_ ^ ((bits >> (8 * byte)) & 0xffu)) * 0x100000001b3ull;
        }
        ++count_;
    }
    std::uint64_t value() const { return state_; }
    std::uint64_t count() const { return count_; }

private:
    std::uint64_t state_ = 0xcbf29ce484222325ull;
    std::uint64_t count_ = 0;
};

inline bool recording_hashes() { return std::getenv("MIRVANTA_RECORD_HASHES") != nullptr; }

inline bool math_library_as_recorded() {
    return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2") && std::getenv("GLIBC_TUNABLES") == nullptr;
}

// Compares `hash` with the line `name count hash` of the file; when recording, prints that line.
inline void expect_recorded_hash(const std::string& name, const BitsHash& hash) {
    std::ostringstream line;
    line << name << ' ' << hash.count() << ' ' << std::hex << hash.value();
    if (recording_hashes()) {
        std::cout << line.str() << '\n';
        return;
    }
    if (!math_library_as_recorded()) GTEST_SKIP() << "recorded with the C library's FMA versions of its functions";
    std::ifstream file(std::string(MIRVANTA_TEST_DATA) + "/sample_hashes.txt");
    ASSERT_TRUE(file.good());
    for (std::string recorded; std::getline(file, recorded);) {
        if (recorded.rfind(name + ' ', 0) == 0) {
            EXPECT_EQ(line.str(), recorded) << "the sample's values differ from those recorded";
            return;
        }
    }
    ADD_FAILURE() << "no recorded hash for " << name;
}

}  // namespace mirvanta::testing
