// Cost of the uniform-disk kernel, and of its derivatives, in each of its zones, without Python.
//
//   kernel_zones [rho]                 interleaved rounds: nanoseconds per kernel evaluation in each
//                                      zone, and per evaluation of the value with both derivatives
//                                      (models/kernel/disk_derivatives.hpp) with their ratio, one
//                                      JSON object
//   kernel_zones rho ZONE EVALUATIONS [derivatives]
//                                      evaluates one zone's points EVALUATIONS times in all (the
//                                      kernel, or the derivatives) and nothing else, for
//                                      instruction counts under callgrind: (Ir(N) - Ir(0)) / N is
//                                      the cost of one evaluation
//
// The zones, in u/rho: "limb" |u/rho - 1| log-uniform in [1e-12, 0.04] on both sides;
// "general_near" the closed form just outside it, |u/rho - 1| in [0.04, 0.2]; "general" u/rho
// uniform in [0, 0.96] and [1.04, 20]; "mid_field" log-uniform in (20, 1000]; "far_field" in
// (1000, 1e6]. The wall-clock rounds alternate between the zones (A B C ... A B C ...) and keep
// each zone's best round, so that a load that comes and goes on a shared machine hits all zones
// alike.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "models/kernel/disk_derivatives.hpp"
#include "models/kernel/witt_mao.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Zone {
    const char* name;
    std::vector<double> u;
};

std::vector<Zone> zones(double rho) {
    std::mt19937_64 rng(20260615);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto log_uniform = [&](double low, double high) { return low * std::pow(high / low, unit(rng)); };
    const auto side = [&] { return unit(rng) < 0.5 ? -1.0 : 1.0; };
    constexpr int kPoints = 4096;
    std::vector<Zone> out = {{"limb", {}}, {"general_near", {}}, {"general", {}}, {"mid_field", {}}, {"far_field", {}}};
    for (int i = 0; i < kPoints; ++i) {
        out[0].u.push_back(rho * (1.0 + side() * log_uniform(1e-12, 0.0399)));
        out[1].u.push_back(rho * (1.0 + side() * (0.0401 + 0.16 * unit(rng))));
        out[2].u.push_back(rho * (unit(rng) < 0.05 ? 0.96 * unit(rng) : 1.04 + 18.96 * unit(rng)));
        out[3].u.push_back(rho * log_uniform(20.0001, 1000.0));
        out[4].u.push_back(rho * log_uniform(1000.0001, 1e6));
    }
    return out;
}

double evaluate(const std::vector<double>& u, std::size_t count, double rho, bool derivatives) {
    double sum = 0.0;
    if (derivatives) {
        for (std::size_t i = 0; i < count; ++i) {
            const mirvanta::models::DiskDerivatives d = mirvanta::models::witt_mao_derivatives(u[i], rho);
            sum += d.value + d.du + d.drho;
        }
        return sum;
    }
    for (std::size_t i = 0; i < count; ++i) sum += mirvanta::models::witt_mao_magnification_scaled(u[i], rho);
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    const double rho = argc > 1 ? std::strtod(argv[1], nullptr) : 0.01;
    const std::vector<Zone> all = zones(rho);
    volatile double sink = 0.0;

    if (argc > 3) {  // one zone, a given number of evaluations, for callgrind
        const long evaluations = std::strtol(argv[3], nullptr, 10);
        const bool derivatives = argc > 4 && std::strcmp(argv[4], "derivatives") == 0;
        for (const Zone& zone : all) {
            if (std::strcmp(zone.name, argv[2]) != 0) continue;
            for (long done = 0; done < evaluations; done += static_cast<long>(zone.u.size())) {
                const long count = std::min<long>(evaluations - done, static_cast<long>(zone.u.size()));
                sink = sink + evaluate(zone.u, static_cast<std::size_t>(count), rho, derivatives);
            }
            return 0;
        }
        std::fprintf(stderr, "unknown zone %s\n", argv[2]);
        return 2;
    }

    // best[2 z] the kernel's, best[2 z + 1] the derivatives', in zone z.
    std::vector<double> best(2 * all.size(), 1e300);
    for (int round = 0; round < 30; ++round) {
        for (std::size_t i = 0; i < best.size(); ++i) {
            const Zone& zone = all[i / 2];
            const auto start = Clock::now();
            for (int repeat = 0; repeat < 4; ++repeat) sink = sink + evaluate(zone.u, zone.u.size(), rho, i % 2 == 1);
            const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            best[i] = std::min(best[i], ns / (4.0 * static_cast<double>(zone.u.size())));
        }
    }
    std::printf("{\"rho\": %g", rho);
    for (std::size_t z = 0; z < all.size(); ++z) {
        std::printf(", \"%s_ns\": %.1f, \"%s_derivatives_ns\": %.1f, \"%s_ratio\": %.2f", all[z].name, best[2 * z],
                    all[z].name, best[2 * z + 1], all[z].name, best[2 * z + 1] / best[2 * z]);
    }
    std::printf("}\n");
    return 0;
}
