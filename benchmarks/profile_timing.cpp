// Native timing of the profile engine (models/engine/profile.hpp) on the light curves of its speed goal:
// 2,000 epochs of a quadratic-law source (a = 0.5, b = 0.2), u0 = 0.01, tE = 25, t within 2 tE of
// t0, u(t) = sqrt(u0^2 + ((t - t0)/tE)^2), rho = 0.01, 0.1 and 1, at rtol 1e-10 and 1e-6.
//
//   profile_timing curve [ROUNDS [CALLS]]
//       ROUNDS (default 9) rounds, each timing every curve in turn as the median of CALLS
//       (default 5) calls back to back; prints per curve the median, lowest and highest round in
//       milliseconds per call, and what a call did: epochs served by the far-field series, by the
//       bases' tables, by the interpolant and by the quadrature, the interpolant's pieces and nodes, and the mean
//       uniform-disk evaluations per epoch near the source (all evaluations of the call, building
//       the interpolant included, over the epochs the series does not serve) and far from it
//       (the series: none). The pool's size follows RAYON_NUM_THREADS; the last line is JSON.
//   profile_timing values RHO
//       the curve's 2,000 magnifications at rtol 1e-10, one a line (for the peer's errors).
//   profile_timing count RHO RTOL [LAW]
//       one call of that curve in the function measured_pass, after one outside it (so that the
//       pool's one-time start-up is not counted), for instruction counts; LAW another law than
//       the quadratic one (linear 0.6, square_root 0.3 0.4, logarithmic 0.6 0.2, claret
//       0.6 -0.3 0.9 -0.45):
//       valgrind --tool=callgrind --toggle-collect='*measured_pass*' build/bench/profile_timing count 0.1 1e-10
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "models/engine/profile.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using mirvanta::models::BrightnessLaw;
using mirvanta::models::LawKind;
using mirvanta::models::ProfileCounts;

constexpr double kRadii[] = {0.01, 0.1, 1.0};
constexpr double kTolerances[] = {1e-10, 1e-6};
constexpr std::size_t kEpochs = 2000;

std::vector<double> separations() {
    std::vector<double> u(kEpochs);
    for (std::size_t i = 0; i < kEpochs; ++i) {
        const double t = -50.0 + 100.0 * static_cast<double>(i) / static_cast<double>(kEpochs - 1);
        u[i] = std::hypot(0.01, t / 25.0);
    }
    return u;
}

BrightnessLaw law_in_use{LawKind::quadratic, {0.5, 0.2}, {}, {}};

// The laws that `count` can take instead, by name.
BrightnessLaw law_named(const char* name) {
    if (std::strcmp(name, "linear") == 0) return {LawKind::linear, {0.6}, {}, {}};
    if (std::strcmp(name, "square_root") == 0) return {LawKind::square_root, {0.3, 0.4}, {}, {}};
    if (std::strcmp(name, "logarithmic") == 0) return {LawKind::logarithmic, {0.6, 0.2}, {}, {}};
    if (std::strcmp(name, "claret") == 0) return {LawKind::claret, {0.6, -0.3, 0.9, -0.45}, {}, {}};
    return {LawKind::quadratic, {0.5, 0.2}, {}, {}};
}

[[gnu::noinline]] void measured_pass(const std::vector<double>& u, double rho, double rtol, std::vector<double>& out) {
    mirvanta::models::profile_magnification(u, std::span<const double>(&rho, 1), law_in_use, rtol, out.data());
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int curve(int rounds, int calls) {
    const std::vector<double> u = separations();
    std::vector<double> out(kEpochs);
    constexpr std::size_t kCurves = std::size(kRadii) * std::size(kTolerances);
    std::vector<std::vector<double>> per_round(kCurves);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t c = 0; c < kCurves; ++c) {
            const double rho = kRadii[c % std::size(kRadii)], rtol = kTolerances[c / std::size(kRadii)];
            std::vector<double> times;
            for (int call = 0; call < calls; ++call) {
                const auto start = Clock::now();
                measured_pass(u, rho, rtol, out);
                times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            per_round[c].push_back(median(times));
        }
    }
    std::string json = "[";
    for (std::size_t c = 0; c < kCurves; ++c) {
        const double rho = kRadii[c % std::size(kRadii)], rtol = kTolerances[c / std::size(kRadii)];
        ProfileCounts counts;
        const auto report = mirvanta::models::profile_magnification(u, std::span<const double>(&rho, 1), law_in_use, rtol,
                                                                    out.data(), &counts);
        const std::size_t near = counts.interpolated + counts.quadrature + counts.tabulated;
        const double evaluations = static_cast<double>(counts.disk_evaluations_interpolant +
                                                       counts.disk_evaluations_interpolated +
                                                       counts.disk_evaluations_quadrature);
        const double per_near = near == 0 ? 0.0 : evaluations / static_cast<double>(near);
        const auto& r = per_round[c];
        std::printf("rho %-5g rtol %-6g %8.3f ms (%.3f-%.3f)  series %4zu tables %4zu interpolated %4zu quadrature %4zu  "
                    "pieces %2zu nodes %3zu  disk evaluations per epoch near %.1f, far 0  unconverged %zu\n",
                    rho, rtol, median(r), *std::min_element(r.begin(), r.end()), *std::max_element(r.begin(), r.end()),
                    counts.series, counts.tabulated, counts.interpolated, counts.quadrature, counts.interpolant_pieces,
                    counts.interpolant_nodes, per_near, report.unconverged);
        char item[256];
        std::snprintf(item, sizeof item,
                      "%s{\"rho\": %g, \"rtol\": %g, \"ms\": %.4f, \"near\": %zu, \"near_evaluations\": %.1f}",
                      c == 0 ? "" : ", ", rho, rtol, median(r), near, per_near);
        json += item;
    }
    std::printf("%s]\n", json.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "curve") == 0) {
        return curve(argc > 2 ? std::atoi(argv[2]) : 9, argc > 3 ? std::atoi(argv[3]) : 5);
    }
    if (argc >= 3 && std::strcmp(argv[1], "values") == 0) {
        const std::vector<double> u = separations();
        std::vector<double> out(kEpochs);
        measured_pass(u, std::atof(argv[2]), 1e-10, out);
        for (const double v : out) std::printf("%.17g\n", v);
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "count") == 0) {
        const std::vector<double> u = separations();
        std::vector<double> out(kEpochs);
        const double rho = std::atof(argv[2]), rtol = std::atof(argv[3]);
        if (argc >= 5) law_in_use = law_named(argv[4]);
        mirvanta::models::profile_magnification(u, std::span<const double>(&rho, 1), law_in_use, rtol, out.data());
        measured_pass(u, rho, rtol, out);
        std::printf("%.17g\n", out[kEpochs / 2]);
        return 0;
    }
    std::fprintf(stderr, "usage: profile_timing curve [ROUNDS [CALLS]] | values RHO | count RHO RTOL [LAW]\n");
    return 2;
}
