#include "models/engine/profile_events.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <thread>
#include <vector>

#include "common/interruption.hpp"
#include "parallel/parallel_map.hpp"
#include "parallel/thread_pool.hpp"

namespace mirvanta::models {
namespace {

// Events in one map: the call's own lists are a few bytes times this, whatever the number of
// events, and its thread asks whether to stop between maps too.
constexpr std::size_t kEventsPerMap = 4096;

// Scratch for one event at a time, taken by the thread that runs it: atomics only.
struct Scratch {
    std::atomic<bool> taken{false};
    std::unique_ptr<std::byte[]> bytes;
    std::size_t size = 0;
    ProfileCounts counts;
};

// One piece of scratch for each thread that may run an event at a time: the pool's workers and
// the calling thread (an event runs on one thread, and a thread runs one event at a time: the
// maps nested in an event evaluate nothing but that event's own elements).
class ScratchSet {
public:
    ScratchSet(std::size_t pieces, std::size_t bytes) : count_(pieces), pieces_(new Scratch[pieces]) {
        for (std::size_t k = 0; k < count_; ++k) {
            pieces_[k].bytes.reset(new std::byte[bytes]);
            pieces_[k].size = bytes;
        }
    }

    Scratch& take() {
        for (;;) {
            for (std::size_t k = 0; k < count_; ++k) {
                if (!pieces_[k].taken.exchange(true, std::memory_order_acquire)) return pieces_[k];
            }
            std::this_thread::yield();  // more threads than pieces: not expected, but not an error
        }
    }
    static void give(Scratch& scratch) { scratch.taken.store(false, std::memory_order_release); }

    void add_counts(ProfileCounts& total) const {
        for (std::size_t k = 0; k < count_; ++k) {
            const ProfileCounts& c = pieces_[k].counts;
            total.series += c.series;
            total.interpolated += c.interpolated;
            total.quadrature += c.quadrature;
            total.interpolant_pieces += c.interpolant_pieces;
            total.interpolant_nodes += c.interpolant_nodes;
            total.disk_evaluations_interpolant += c.disk_evaluations_interpolant;
            total.disk_evaluations_interpolated += c.disk_evaluations_interpolated;
            total.disk_evaluations_quadrature += c.disk_evaluations_quadrature;
        }
    }

private:
    std::size_t count_;
    std::unique_ptr<Scratch[]> pieces_;
};

// The events' reports gathered into one, from every thread: the count, the first index and the
// worst estimate (NaN, where a value is NaN, wins as in the engine's own).
class Reports {
public:
    void add(std::size_t offset, const ProfileReport& r) {
        if (r.unconverged == 0) return;
        unconverged_.fetch_add(r.unconverged, std::memory_order_relaxed);
        const std::size_t first = offset + r.first_unconverged;
        for (std::size_t seen = first_.load(std::memory_order_relaxed);
             first < seen && !first_.compare_exchange_weak(seen, first, std::memory_order_relaxed);) {
        }
        for (double seen = worst_.load(std::memory_order_relaxed);
             !(r.worst_estimate <= seen) && !std::isnan(seen) &&
             !worst_.compare_exchange_weak(seen, r.worst_estimate, std::memory_order_relaxed);) {
        }
    }
    ProfileReport report() const { return {unconverged_.load(), first_.load(), worst_.load()}; }

private:
    std::atomic<std::size_t> unconverged_{0}, first_{SIZE_MAX};
    std::atomic<double> worst_{0.0};
};

// The map's element: one event, its separations written where its results go, then the engine
// in place, its memory from the scratch the running thread takes.
struct EventTask {
    const ProfileEvents& events;
    const ProfileSetup& setup;
    ScratchSet& scratch;
    Reports& reports;
    double* out;
    bool counting;

    unsigned char operator()(std::size_t event) const {
        const std::size_t length = events.length();
        double* u = out + event * length;
        const double radius = events.separations(event, u);
        Scratch& piece = scratch.take();
        {
            std::pmr::monotonic_buffer_resource memory(piece.bytes.get(), piece.size, std::pmr::new_delete_resource());
            reports.add(event * length,
                        profile_magnification(setup, ArrayView(std::span<const double>(u, length)),
                                              ArrayView(std::span<const double>(&radius, 1)), u,
                                              counting ? &piece.counts : nullptr, &memory));
        }
        ScratchSet::give(piece);
        return 1;
    }
};

// Events that the pool serves well one at a time (one event, events beyond a block, events of
// many radii), on the calling thread with the default memory.
void one_by_one(const ProfileEvents& events, const ProfileSetup& setup, double* out, ProfileCounts* counts,
                Reports& reports) {
    const std::size_t length = events.length();
    for (std::size_t event = 0; event < events.count(); ++event) {
        interruption_point();
        double* u = out + event * length;
        const double radius = events.separations(event, u);
        const ArrayView radii =
            events.one_radius() ? ArrayView(std::span<const double>(&radius, 1)) : events.radii(event);
        reports.add(event * length, profile_magnification(setup, ArrayView(std::span<const double>(u, length)), radii,
                                                          u, counts, std::pmr::get_default_resource()));
    }
}

}  // namespace

ProfileReport profile_events(const ProfileEvents& events, const BrightnessLaw& law, double rtol, double* out,
                             ProfileCounts* counts) {
    const ProfileSetup setup(law, rtol);
    Reports reports;
    const std::size_t count = events.count(), length = events.length();
    if (count == 0 || length == 0) return {};
    if (count == 1 || length > kProfileBlock || !events.one_radius()) {
        one_by_one(events, setup, out, counts, reports);
        return reports.report();
    }
    const std::size_t threads = parallel::current_num_threads();
    ScratchSet scratch(std::min<std::size_t>(threads + 1, count), profile_scratch_bytes(length));
    const EventTask task{events, setup, scratch, reports, out, counts != nullptr};
    std::vector<std::size_t> batch(std::min(kEventsPerMap, count));
    std::vector<unsigned char> done(batch.size());
    for (std::size_t begin = 0; begin < count; begin += kEventsPerMap) {
        interruption_point();
        const std::size_t size = std::min(kEventsPerMap, count - begin);
        for (std::size_t k = 0; k < size; ++k) batch[k] = begin + k;
        parallel::parallel_map_into(std::span<const std::size_t>(batch.data(), size), done.data(), task);
    }
    if (counts != nullptr) scratch.add_counts(*counts);
    return reports.report();
}

}  // namespace mirvanta::models
