// Native timing of the uniform-disk kernel and batch, without Python: the floor that the Python
// functions are measured against.
//
//   kernel_timing N [rho [rounds]]   prints one JSON object: nanoseconds per element of the bare
//                                    kernel (sequential loop), of the batch on the pool (the pool
//                                    size follows RAYON_NUM_THREADS), and of the 2x2 parameter
//                                    grid; each the best of `rounds` runs (default 5) of 100 ms.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "models/witt_mao.hpp"
#include "parallel/thread_pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

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

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const double rho = argc > 2 ? std::strtod(argv[2], nullptr) : 0.1;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    std::vector<double> l(n);
    for (std::size_t i = 0; i < n; ++i) l[i] = 30.0 * static_cast<double>(i) / static_cast<double>(n);

    volatile double sink = 0.0;
    const double kernel = best_ns_per_element(n, rounds, [&] {
        double sum = 0.0;
        for (const double x : l) sum += mirvanta::models::witt_mao_magnification_scaled(x * rho, rho);
        sink = sink + sum;
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
