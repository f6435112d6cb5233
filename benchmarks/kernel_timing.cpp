// Native timing of the uniform-disk kernel and batch, without Python: the floor that the Python
// functions are measured against, and the kernel's paths measured against each other.
//
//   kernel_timing N [rho [rounds [ORDER]]]
//                                  prints one JSON object: nanoseconds per element of the bare
//                                  kernel (on this thread, on the widest lanes the CPU has), of
//                                  the batch on the pool (the pool size follows RAYON_NUM_THREADS),
//                                  and of the 2x2 parameter grid; each the best of `rounds` runs
//                                  (default 5) of 100 ms.
//   kernel_timing compare [ROUNDS] [N] [rho] [ORDER]
//                                  interleaved rounds over N separations of every kernel variant:
//                                  "before" (the one-separation kernel of the checkout given to
//                                  CMake as MIRVANTA_BENCHMARK_BASELINE, when there is one) and
//                                  "before lanes" (its range kernel on its widest lanes, when it
//                                  has one), "scalar" (the
//                                  scalar kernel now), "sse2" and "avx2" (the lane paths, where
//                                  available), timed by the thread's CPU time, then the batch
//                                  before and now on the pool, by the wall clock and by the
//                                  process's CPU time. Prints
//                                  the median, minimum and maximum nanoseconds per separation and
//                                  the ratio to "before" in each round (median, min, max), and
//                                  the same as JSON on the last line.
//   kernel_timing count VARIANT [N] [rho] [ORDER]
//                                  one pass of VARIANT over N separations, in the function
//                                  measured_pass, for instruction counts:
//                                  valgrind --tool=callgrind --toggle-collect='*measured_pass*'
//   kernel_timing check [N]        every variant over a fixed sample of at least N kernel
//                                  arguments (tests/cpp/kernel_sample.hpp): the number of results
//                                  whose bits differ from "before" (or from "scalar" without a
//                                  baseline), and a hash of each variant's bits.
//
// The separations are those of the Python benchmark: N points spread over 0 to 30 source radii,
// rho = 0.1 (0 to 3 Einstein radii: the centre, the limb and the wings of a light curve). ORDER
// "sorted" (the default) gives them in ascending order, as a light curve sorted by time; "shuffled"
// the same separations in a fixed random order, as a population study, a grid search or an MCMC
// over many events hands them over.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <functional>
#include <string>
#include <vector>

#include "kernel_sample.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "models/source_radii/witt_mao_batch.hpp"
#include "parallel/thread_pool.hpp"

#if MIRVANTA_BASELINE
namespace mirvanta_baseline::models {
double witt_mao_magnification_scaled(double u, double rho);
std::vector<double> witt_mao_magnification(std::vector<double> l, double re, double rstar);
#if MIRVANTA_BASELINE_RANGE
void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out);
#endif
}  // namespace mirvanta_baseline::models
#endif

namespace {

using Clock = std::chrono::steady_clock;
using mirvanta::models::KernelPath;

// The best of `rounds` runs, each at least 100 ms long, in nanoseconds per element.
template <class Body>
double best_ns_per_element(std::size_t elements, int rounds, Body body) {
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        int repeats = 0;
        const auto start = Clock::now();
        auto elapsed = Clock::duration::zero();
        do {
            body();
            ++repeats;
            elapsed = Clock::now() - start;
        } while (elapsed < std::chrono::milliseconds(100));
        const double ns = std::chrono::duration<double, std::nano>(elapsed).count();
        best = std::min(best, ns / repeats / static_cast<double>(elements));
    }
    return best;
}

bool shuffled = false;  // the order of the separations (ORDER)

std::vector<double> light_curve(std::size_t n) {
    std::vector<double> l(n);
    for (std::size_t i = 0; i < n; ++i) l[i] = 30.0 * static_cast<double>(i) / static_cast<double>(n);
    if (shuffled) {  // Fisher-Yates with a fixed seed
        mirvanta::testing::SampleRandom random(12345);
        for (std::size_t i = n; i > 1; --i) std::swap(l[i - 1], l[random.below(i)]);
    }
    return l;
}

int summary(std::size_t n, double rho, int rounds) {
    const std::vector<double> l = light_curve(n);
    volatile double sink = 0.0;
    std::vector<double> out(n);
    const double kernel = best_ns_per_element(n, rounds, [&] {
        mirvanta::models::witt_mao_magnification_range(l, rho, out.data());
        sink = sink + out[n / 2];
    });
    const double batch = best_ns_per_element(n, rounds, [&] {
        const auto out = mirvanta::models::witt_mao_magnification(l, 1.0, rho);
        sink = sink + out[n / 2];
    });
    const double grid = best_ns_per_element(4 * n, rounds, [&] {
        const auto out = mirvanta::models::multi_witt_mao_magnification(l, {1.0, 2.0}, {rho, 2.0 * rho});
        sink = sink + out[0][n / 2];
    });
    std::printf("{\"n\": %zu, \"threads\": %u, \"kernel_ns\": %.3f, \"batch_ns\": %.3f, \"grid_ns\": %.3f}\n", n,
                mirvanta::parallel::current_num_threads(), kernel, batch, grid);
    return 0;
}

// A kernel variant: the magnifications of separations x (source radii) at rho into out.
struct Variant {
    std::string name;
    std::function<void(const std::vector<double>& x, double rho, double* out)> run;
};

std::vector<Variant> kernel_variants() {
    std::vector<Variant> variants;
#if MIRVANTA_BASELINE
    variants.push_back({"before", [](const std::vector<double>& x, double rho, double* out) {
                            for (std::size_t i = 0; i < x.size(); ++i) {
                                out[i] = mirvanta_baseline::models::witt_mao_magnification_scaled(x[i] * rho, rho);
                            }
                        }});
#if MIRVANTA_BASELINE_RANGE
    variants.push_back({"before lanes", [](const std::vector<double>& x, double rho, double* out) {
                            mirvanta_baseline::models::witt_mao_magnification_range(x, rho, out);
                        }});
#endif
#endif
    const std::pair<const char*, KernelPath> paths[] = {
        {"scalar", KernelPath::scalar}, {"sse2", KernelPath::sse2}, {"avx2", KernelPath::avx2}};
    for (const auto& [name, path] : paths) {
        if (!mirvanta::models::kernel_path_available(path)) continue;
        variants.push_back({name, [path](const std::vector<double>& x, double rho, double* out) {
                                mirvanta::models::witt_mao_magnification_range(x, rho, out, path);
                            }});
    }
    return variants;
}

std::vector<Variant> batch_variants() {
    std::vector<Variant> variants;
#if MIRVANTA_BASELINE
    variants.push_back({"batch before", [](const std::vector<double>& x, double rho, double* out) {
                            const auto result = mirvanta_baseline::models::witt_mao_magnification(x, 1.0, rho);
                            std::memcpy(out, result.data(), result.size() * sizeof(double));
                        }});
#endif
    variants.push_back({"batch now", [](const std::vector<double>& x, double rho, double* out) {
                            const auto result = mirvanta::models::witt_mao_magnification(x, 1.0, rho);
                            std::memcpy(out, result.data(), result.size() * sizeof(double));
                        }});
    return variants;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2.0;
}

// Nanoseconds of the calling thread's CPU time: on a machine shared with other processes, the
// time the thread was not running is left out (what remains of their load is the caches and the
// sibling hardware thread).
double thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// The whole process's CPU time: all workers' work (and spinning) on a batch, whatever else runs.
double process_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double wall_ns() { return std::chrono::duration<double, std::nano>(Clock::now().time_since_epoch()).count(); }

// Rounds in which every variant runs once, in an order rotated from round to round; the first
// round only warms up.
void interleaved(const std::vector<Variant>& variants, int rounds, const std::vector<double>& x, double rho,
                 double (*clock)(), std::vector<std::vector<double>>& ns) {
    std::vector<double> out(x.size());
    volatile double sink = 0.0;
    ns.assign(variants.size(), {});
    for (int round = -1; round < rounds; ++round) {
        for (std::size_t k = 0; k < variants.size(); ++k) {
            const std::size_t v = (k + static_cast<std::size_t>(round + 1)) % variants.size();
            const double start = clock();
            variants[v].run(x, rho, out.data());
            const double elapsed = clock() - start;
            sink = sink + out[x.size() / 2];
            if (round >= 0) ns[v].push_back(elapsed / static_cast<double>(x.size()));
        }
    }
}

void report(const std::vector<Variant>& variants, const std::vector<std::vector<double>>& ns, std::string& json) {
    for (std::size_t v = 0; v < variants.size(); ++v) {
        std::vector<double> ratios;  // against the first variant, round by round
        for (std::size_t r = 0; r < ns[v].size(); ++r) ratios.push_back(ns[0][r] / ns[v][r]);
        const auto [low, high] = std::minmax_element(ns[v].begin(), ns[v].end());
        const auto [ratio_low, ratio_high] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf("%-14s %9.1f ns  (%.1f .. %.1f)   x %.3f  (%.3f .. %.3f)\n", variants[v].name.c_str(),
                    median(ns[v]), *low, *high, median(ratios), *ratio_low, *ratio_high);
        char entry[256];
        std::snprintf(entry, sizeof entry,
                      "%s\"%s\": {\"ns\": %.2f, \"ns_min\": %.2f, \"ns_max\": %.2f, \"ratio\": %.4f, "
                      "\"ratio_min\": %.4f, \"ratio_max\": %.4f}",
                      json.size() > 1 ? ", " : "", variants[v].name.c_str(), median(ns[v]), *low, *high,
                      median(ratios), *ratio_low, *ratio_high);
        json += entry;
    }
}

int compare(int rounds, std::size_t n, double rho) {
    const std::vector<double> x = light_curve(n);
    std::printf("%zu separations (%s), rho = %g, %d rounds; nanoseconds per separation (median, range) and the "
                "first variant's time over each one's, round by round (median, range)\n",
                n, shuffled ? "shuffled" : "sorted", rho, rounds);
    std::string json = "{";
    std::vector<std::vector<double>> ns;
    const auto kernels = kernel_variants();
    std::printf("the kernel on this thread, its CPU time:\n");
    interleaved(kernels, rounds, x, rho, thread_cpu_ns, ns);
    report(kernels, ns, json);
    auto batches = batch_variants();
    std::printf("the batch on the pool of %u workers, wall time:\n", mirvanta::parallel::current_num_threads());
    interleaved(batches, rounds, x, rho, wall_ns, ns);
    report(batches, ns, json);
    std::printf("the batch, CPU time of the process:\n");
    for (Variant& variant : batches) variant.name += " cpu";
    interleaved(batches, rounds, x, rho, process_cpu_ns, ns);
    report(batches, ns, json);
    std::printf("%s}\n", json.c_str());
    return 0;
}

[[gnu::noinline]] void measured_pass(const Variant& variant, const std::vector<double>& x, double rho, double* out) {
    variant.run(x, rho, out);
}

int count(const std::string& name, std::size_t n, double rho) {
    for (const Variant& variant : kernel_variants()) {
        if (variant.name != name) continue;
        const std::vector<double> x = light_curve(n);
        std::vector<double> out(n);
        measured_pass(variant, x, rho, out.data());
        double sum = 0.0;
        for (const double v : out) sum += v;
        std::printf("%s: %zu separations, sum %.17g\n", name.c_str(), n, sum);
        return 0;
    }
    std::fprintf(stderr, "no variant %s here\n", name.c_str());
    return 2;
}

int check(std::size_t n) {
    const auto variants = kernel_variants();
    const auto runs = mirvanta::testing::kernel_sample(n);
    std::vector<std::uint64_t> hashes(variants.size(), 0xcbf29ce484222325ull);  // FNV-1a over the bits
    std::vector<std::size_t> differing(variants.size(), 0);
    std::size_t total = 0;
    std::vector<std::vector<double>> out(variants.size());
    for (const auto& run : runs) {
        for (std::size_t v = 0; v < variants.size(); ++v) {
            out[v].resize(run.x.size());
            variants[v].run(run.x, run.rho, out[v].data());
        }
        for (std::size_t i = 0; i < run.x.size(); ++i) {
            for (std::size_t v = 0; v < variants.size(); ++v) {
                const auto bits = std::bit_cast<std::uint64_t>(out[v][i]);
                if (bits != std::bit_cast<std::uint64_t>(out[0][i])) ++differing[v];
                for (int byte = 0; byte < 8; ++byte) hashes[v] = (hashes[v] ^ ((bits >> (8 * byte)) & 0xffu)) * 0x100000001b3ull;
            }
        }
        total += run.x.size();
    }
    std::printf("%zu kernel values in %zu runs; results whose bits differ from %s:\n", total, runs.size(),
                variants[0].name.c_str());
    for (std::size_t v = 0; v < variants.size(); ++v) {
        std::printf("%-8s %zu  (hash %016llx)\n", variants[v].name.c_str(), differing[v],
                    static_cast<unsigned long long>(hashes[v]));
    }
    return std::any_of(differing.begin(), differing.end(), [](std::size_t d) { return d != 0; }) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto arg = [&](int i, const char* fallback) { return std::string(argc > i ? argv[i] : fallback); };
    shuffled = mode == "compare" || mode == "count" ? arg(5, "sorted") == "shuffled" : arg(4, "sorted") == "shuffled";
    if (mode == "compare") {
        return compare(std::stoi(arg(2, "21")), std::stoull(arg(3, "100000")), std::stod(arg(4, "0.1")));
    }
    if (mode == "count") return count(arg(2, "scalar"), std::stoull(arg(3, "100000")), std::stod(arg(4, "0.1")));
    if (mode == "check") return check(std::stoull(arg(2, "6000000")));
    return summary(std::stoull(arg(1, "100000")), std::stod(arg(2, "0.1")), std::max(1, std::stoi(arg(3, "5"))));
}
