// A fixed pseudo-random sample of limb-darkened and flux-map arguments, for comparing evaluations
// of those functions to the bit: separations inside the source (uniform, next to the centre and
// to the limb, at the annulus's bends l = 1e-4 and 1 - 1e-4), outside (next to the limb, to 100
// source radii) and special ones (0, -0, 1, the double below 1, negative, infinite, NaN), source
// radii rho from 1e-4 to 3 and a few special ones, and five maps.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernel_sample.hpp"

namespace mirvanta::testing {

struct SampleMap {
    std::vector<double> bl, bf;
};

struct ExtendedCase {
    double l, rho;
    std::size_t map;  // index into extended_sample_maps(); unused for the limb-darkened function
};

// The quadratic law of benchmarks/extended_sources_cost.cpp at 40 radii, a one-point map, the
// README's four-point map, a map that covers only 0.1 to 0.9, and 12 random radii and brightnesses.
inline std::vector<SampleMap> extended_sample_maps() {
    std::vector<SampleMap> maps(5);
    for (int i = 0; i < 40; ++i) {
        const double r = i / 39.0, mu = std::sqrt(std::fmax(0.0, 1.0 - r * r));
        maps[0].bl.push_back(r);
        maps[0].bf.push_back(1.0 - 0.4 * (1.0 - mu) - 0.25 * (1.0 - mu) * (1.0 - mu));
    }
    maps[1] = {{0.4}, {3.0}};
    maps[2] = {{0.0, 0.5, 0.9, 1.0}, {1.0, 0.9, 0.6, 0.4}};
    maps[3] = {{0.1, 0.9}, {1.0, 1.0}};
    SampleRandom random(77);
    double r = 0.0;
    for (int i = 0; i < 12; ++i) {
        maps[4].bl.push_back(r);
        maps[4].bf.push_back(random.uniform(0.0, 2.0));
        r += random.uniform(0.0, 1.0 / 11.0);
    }
    return maps;
}

inline std::vector<ExtendedCase> extended_sample(std::size_t count, std::uint64_t seed) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double special_l[] = {0.0, -0.0, 1.0, std::nextafter(1.0, 0.0), std::nextafter(1.0, 2.0), 1e-4, 1.0 - 1e-4,
                                -0.5, kInf, -kInf, std::numeric_limits<double>::quiet_NaN(), 1e5};
    const double special_rho[] = {1e-10, 10.0, 100.0, 1e-300, 0.0};
    SampleRandom random(seed);
    std::vector<ExtendedCase> cases;
    for (std::size_t i = 0; i < count; ++i) {
        double l = 0.0;
        switch (random.below(10)) {
            case 5:
                l = random.log_uniform(1e-12, 1e-2);
                break;
            case 6:
                l = 1.0 - random.log_uniform(1e-12, 1e-2);
                break;
            case 7:
                l = 1.0 + random.log_uniform(1e-12, 1e-2);
                break;
            case 8:
                l = random.log_uniform(1.0, 100.0);
                break;
            case 9:
                l = random.one_in(2) ? special_l[random.below(std::size(special_l))]
                                     : 1e-4 + random.uniform(-3e-4, 3e-4);  // about the annulus's bends
                break;
            default:
                l = random.uniform(0.0, 1.0);
                break;
        }
        const double rho =
            random.one_in(40) ? special_rho[random.below(std::size(special_rho))] : random.log_uniform(1e-4, 3.0);
        cases.push_back({l, rho, random.below(5)});
    }
    return cases;
}

}  // namespace mirvanta::testing
