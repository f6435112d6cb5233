// The limb-darkened and flux-map functions with their quadrature's nodes evaluated a level at a
// time on every lane path, against the same quadrature with the nodes evaluated one at a time
// (the integrand as written, through the one-separation kernel), to the bit. (That the values
// themselves are unchanged is test_extended_bits.cpp's to check, against recorded data.)
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "extended_sample.hpp"
#include "sample_hashes.hpp"
#include "models/source_radii/flux_map.hpp"
#include "models/source_radii/integrated.hpp"
#include "models/source_radii/test_entry_points.hpp"
#include "models/kernel/witt_mao_range.hpp"

namespace mirvanta::models {
namespace {

using testing::ExtendedCase;

struct Sample {
    std::vector<testing::SampleMap> maps = testing::extended_sample_maps();
    std::vector<FluxMap> checked;
    std::vector<ExtendedCase> limb = testing::extended_sample(2'000, 1);
    std::vector<ExtendedCase> map = testing::extended_sample(600, 2);
    std::vector<double> limb_values, map_values;

    Sample() {
        for (const auto& m : maps) checked.push_back(flux_map(m.bl, m.bf).value());
        for (const auto& c : limb) limb_values.push_back(limb_at(c, NodeEvaluation::one_at_a_time, KernelPath::scalar));
        for (const auto& c : map) map_values.push_back(map_at(c, NodeEvaluation::one_at_a_time, KernelPath::scalar));
    }
    double limb_at(const ExtendedCase& c, NodeEvaluation nodes, KernelPath path) const {
        return integrated_witt_mao_magnification_at(c.l, c.rho, nodes, path);
    }
    double map_at(const ExtendedCase& c, NodeEvaluation nodes, KernelPath path) const {
        return integrated_flux_map_witt_mao_magnification_at(c.l, c.rho, checked[c.map], nodes, path);
    }
};

const Sample& sample() {
    static const Sample instance;
    return instance;
}

class QuadratureNodesByLevel : public ::testing::TestWithParam<KernelPath> {};

TEST_P(QuadratureNodesByLevel, GiveTheBitsOfOneNodeAtATime) {
    const KernelPath path = GetParam();
    if (!kernel_path_available(path)) GTEST_SKIP() << "not on this CPU or in this build";
    const Sample& s = sample();
    struct Count {
        std::size_t inside = 0, other = 0, differing = 0;
    };
    const auto compare = [&](const char* name, const std::vector<ExtendedCase>& cases,
                             const std::vector<double>& expected, auto at) {
        Count count;
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const ExtendedCase& c = cases[i];
            ++(c.l >= 0.0 && c.l < 1.0 ? count.inside : count.other);
            const double value = at(c);
            if (std::bit_cast<std::uint64_t>(value) != std::bit_cast<std::uint64_t>(expected[i]) &&
                ++count.differing <= 10) {
                ADD_FAILURE() << name << ": l = " << c.l << ", rho = " << c.rho << ", map " << c.map << ": " << value
                              << " for " << expected[i];
            }
        }
        EXPECT_EQ(count.differing, 0u) << name;
        return count;
    };
    const Count limb = compare("limb-darkened", s.limb, s.limb_values,
                               [&](const ExtendedCase& c) { return s.limb_at(c, NodeEvaluation::by_level, path); });
    const Count map = compare("flux map", s.map, s.map_values,
                              [&](const ExtendedCase& c) { return s.map_at(c, NodeEvaluation::by_level, path); });
    // The sample has both sides of the limb (1494 and 506, 469 and 131 separations).
    EXPECT_GE(limb.inside, 1'400u);
    EXPECT_GE(limb.other, 450u);
    EXPECT_GE(map.inside, 400u);
    EXPECT_GE(map.other, 100u);
}

INSTANTIATE_TEST_SUITE_P(Paths, QuadratureNodesByLevel,
                         ::testing::Values(KernelPath::scalar, KernelPath::sse2, KernelPath::avx2),
                         [](const ::testing::TestParamInfo<KernelPath>& info) {
                             return info.param == KernelPath::scalar ? "scalar"
                                    : info.param == KernelPath::sse2 ? "sse2"
                                                                     : "avx2";
                         });

// Ten thousand limb-darkened values, on the default path a level at a time, are those recorded
// from the scalar kernel one node at a time.
TEST(QuadratureNodesByLevel, LimbDarkenedValuesAreTheRecordedOnes) {
    const bool record = testing::recording_hashes();
    if (!record && !testing::math_library_as_recorded()) GTEST_SKIP() << "recorded with the C library's FMA versions";
    testing::BitsHash hash;
    for (const ExtendedCase& c : testing::extended_sample(10'000, 3)) {
        hash.add(record ? integrated_witt_mao_magnification_at(c.l, c.rho, NodeEvaluation::one_at_a_time, KernelPath::scalar)
                        : integrated_witt_mao_magnification_at(c.l, c.rho));
    }
    testing::expect_recorded_hash("limb_darkened_sample", hash);
}

}  // namespace
}  // namespace mirvanta::models
