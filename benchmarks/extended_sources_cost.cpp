// Cost of one separation of the limb-darkened and flux-map uniform-disk functions, without Python,
// for instruction counts under callgrind:
//
//   extended_sources_cost FUNCTION PLACE COUNT [RHO [NODES]]
//
// FUNCTION is "limb" (integrated_witt_mao_magnification) or "map"
// (integrated_flux_map_witt_mao_magnification with the quadratic law 1 - 0.4 (1 - mu) -
// 0.25 (1 - mu)^2 sampled at 40 radii i/39); PLACE is "inside" (50 separations (k + 0.5)/50 source
// radii) or "outside" (50 from 1.02 to 4); COUNT separations are evaluated in all, in calls of 50,
// rho = RHO (0.05). (Ir(COUNT) - Ir(0)) / COUNT is the cost of one separation. Without NODES it
// uses only the functions' vector interfaces, and the same file builds against older versions of
// the library with -DMIRVANTA_COST_VECTOR_ONLY. NODES ("one", "scalar", "sse2" or "avx2") evaluates
// each separation alone, its quadrature's nodes one at a time or a level at a time on that path
// (the map is then checked and cut into its pieces once, as the vector interface does once per call).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "models/source_radii/flux_map.hpp"
#include "models/source_radii/integrated.hpp"
#ifndef MIRVANTA_COST_VECTOR_ONLY
#include "models/source_radii/test_entry_points.hpp"
#include "models/kernel/witt_mao_range.hpp"
#endif

// The values of a vector call: the flux map returns them or its refusal of the map (older
// versions of the library return them as they are).
template <class Result>
std::vector<double> values_of(const Result& result) {
    if constexpr (requires { result.value(); }) {
        return result.value();
    } else {
        return result;
    }
}

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s limb|map inside|outside COUNT [RHO]\n", argv[0]);
        return 2;
    }
    const bool map = std::strcmp(argv[1], "map") == 0;
    const bool inside = std::strcmp(argv[2], "inside") == 0;
    const long count = std::strtol(argv[3], nullptr, 10);
    const double rho = argc > 4 ? std::strtod(argv[4], nullptr) : 0.05;
    std::vector<double> l, radii, brightness;
    for (int k = 0; k < 50; ++k) l.push_back(inside ? (k + 0.5) / 50.0 : 1.02 + 2.98 * k / 49.0);
    for (int i = 0; i < 40; ++i) {
        const double r = i / 39.0, mu = std::sqrt(std::fmax(0.0, 1.0 - r * r));
        radii.push_back(r);
        brightness.push_back(1.0 - 0.4 * (1.0 - mu) - 0.25 * (1.0 - mu) * (1.0 - mu));
    }
    volatile double sink = 0.0;
#ifndef MIRVANTA_COST_VECTOR_ONLY
    if (argc > 5) {
        using mirvanta::models::KernelPath;
        using mirvanta::models::NodeEvaluation;
        const std::string nodes = argv[5];
        const NodeEvaluation evaluation = nodes == "one" ? NodeEvaluation::one_at_a_time : NodeEvaluation::by_level;
        const KernelPath path = nodes == "sse2" ? KernelPath::sse2 : nodes == "avx2" ? KernelPath::avx2 : KernelPath::scalar;
        if (!mirvanta::models::kernel_path_available(path)) {
            std::fprintf(stderr, "the %s path is not available here\n", nodes.c_str());
            return 2;
        }
        const mirvanta::models::FluxMap checked = mirvanta::models::flux_map(radii, brightness).value();
        for (long done = 0; done < count; ++done) {
            const double at = l[done % 50];
            sink = sink + (map ? mirvanta::models::integrated_flux_map_witt_mao_magnification_at(at, rho, checked,
                                                                                                evaluation, path)
                               : mirvanta::models::integrated_witt_mao_magnification_at(at, rho, evaluation, path));
        }
        return 0;
    }
#endif
    for (long done = 0; done < count; done += 50) {
        const std::vector<double> batch(l.begin(), l.begin() + std::min<long>(50, count - done));
        const auto values = map ? values_of(mirvanta::models::integrated_flux_map_witt_mao_magnification(
                                      batch, 1.0, rho, radii, brightness))
                                : mirvanta::models::integrated_witt_mao_magnification(batch, 1.0, rho);
        for (const double v : values) sink = sink + v;
    }
    return 0;
}
