// A fixed pseudo-random sample of uniform-disk kernel arguments, for comparing evaluations of the
// kernel to the bit: runs of separations x (source radii) that share a source radius rho, as the
// batch hands them to the kernel, u = x rho. The runs mix every form and path of the kernel,
// neighbours included: the centre, the limb band and its edges, the AGM range 0.9 <= m < 1, tiny
// and huge separations, the far-field seam, negative, zero, infinite and NaN values, and rho at
// or below zero, subnormal, huge, infinite or NaN. Used by the tests and by
// benchmarks/kernel_timing.cpp.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace mirvanta::testing {

struct KernelRun {
    double rho;
    std::vector<double> x;
};

class SampleRandom {
public:
    explicit SampleRandom(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform(double low, double high) { return low + (high - low) * (static_cast<double>(next() >> 11) * 0x1p-53); }
    double log_uniform(double low, double high) { return std::exp(uniform(std::log(low), std::log(high))); }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    bool one_in(std::size_t n) { return below(n) == 0; }

private:
    std::uint64_t state_;
};

// At least `minimum` separations in runs of 1 to 300.
inline std::vector<KernelRun> kernel_sample(std::size_t minimum, std::uint64_t seed = 20261207) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
    const double specials[] = {kNan, -kNan, kInf, -kInf, 0.0, -0.0, -1.0, -1e-300, 4.9e-324, 1e-310, 1e308,
                               std::numeric_limits<double>::max()};
    const double odd_radii[] = {0.0, -0.0, -1.0, kNan, kInf, 1e-300, 4.9e-324, 1e300, 1e-10, 1e10, 1e-8, 1e-5};
    SampleRandom random(seed);
    std::vector<KernelRun> runs;
    std::size_t total = 0;
    while (total < minimum) {
        KernelRun run;
        const std::size_t kind = random.below(8);
        run.rho = kind == 7 && random.one_in(2) ? odd_radii[random.below(std::size(odd_radii))]
                                                : random.log_uniform(1e-4, 30.0);
        if (kind == 4 && run.rho < 0.3) run.rho += 0.3;
        const double band = std::fmax(0.001 * run.rho, 1e-5) / run.rho;  // the limb band in source radii
        const std::size_t length = 1 + random.below(random.one_in(4) ? 300 : 24);
        for (std::size_t i = 0; i < length; ++i) {
            double x = 0.0;
            switch (random.one_in(6) ? random.below(8) : kind) {
                case 0:  // spread over the source and beyond, as a light curve
                    x = random.uniform(0.0, 40.0);
                    break;
                case 1:  // many decades, the far field included
                    x = random.log_uniform(1e-12, 1e5);
                    break;
                case 2:  // near the limb
                    x = 1.0 + (random.one_in(2) ? 1.0 : -1.0) * random.log_uniform(1e-9, 0.3);
                    break;
                case 3:  // at the band's edges
                    x = 1.0 + (random.one_in(2) ? 1.0 : -1.0) * band * (1.0 + random.uniform(-1e-6, 1e-6));
                    break;
                case 4:  // near the limb; for large sources m reaches 0.9 and beyond
                    x = 1.0 + (random.one_in(2) ? 1.0 : -1.0) * random.log_uniform(1e-3, 0.2);
                    break;
                case 5:  // tiny separations
                    x = random.log_uniform(1e-320, 1e-6);
                    break;
                case 6:  // about the far-field seam
                    x = 1000.0 * (1.0 + random.uniform(-1e-12, 1e-12));
                    break;
                default:  // special values among ordinary ones
                    x = random.one_in(2) ? specials[random.below(std::size(specials))] : random.uniform(0.0, 3.0);
                    break;
            }
            run.x.push_back(x);
        }
        total += run.x.size();
        runs.push_back(std::move(run));
    }
    return runs;
}

}  // namespace mirvanta::testing
