// Carlson's symmetric elliptic integrals (DLMF 19.16), by the duplication theorem with the
// fifth- and seventh-order correction series of Carlson (1995), and in closed form where two
// arguments coincide or one vanishes (DLMF 19.20, 19.22). Every polynomial below is evaluated
// term by term from left to right, each product formed before its division.
#include <cmath>

#include "numerics/agm.hpp"
#include "numerics/constants.hpp"
#include "numerics/elliptic.hpp"
#include "numerics/elliptic_steps.hpp"

namespace mirvanta::numerics {
namespace {

// Stopping factors (3 eps)^(-1/8) and (eps/4)^(-1/8) of the RF and RD duplication loops (RJ's is
// in elliptic_steps.hpp).
constexpr double kRfStop = 78.8959690786408;
constexpr double kRdStop = 107.63474115247546;

// RC(1, 1 + e) inside the RJ duplication loop, without forming 1 + e where it cancels.
double rj_rc_term(double e, double rx, double ry, double rz, double rp, double p, double d) {
    if (-1.5 < e && e < -0.5) {
        const double b = 2.0 * rp * (p + rx * (ry + rz) + ry * rz) / d;
        return elliprc(1.0, b);
    }
    if (e > 0.0) {
        const double s = std::sqrt(e);
        return std::atan(s) / s;
    }
    if (e == 0.0) return 1.0;
    if (-0.5 < e && e < 0.0) {
        const double s = std::sqrt(-e);
        return (std::log1p(s) - std::log1p(-s)) / (2.0 * s);
    }
    if (e < -1.0) return std::sqrt(1.0 / (-e)) * elliprc(-e, -1.0 - e);
    return std::log((1.0 + std::sqrt(-e)) / std::sqrt(1.0 + e)) / std::sqrt(-e);
}

// The RJ duplication loop with every branch of the RC term, the first step's roots given: false
// when the 100th step ends without stopping. Inlined, so that the state stays in registers.
[[gnu::always_inline]] inline bool rj_stops(RjState<double>& s, double q, RjRoots<double> r) {
    const auto rc_term = [](const RjRoots<double>& roots, const RjState<double>& state, bool&) {
        return rj_rc_term(roots.e, roots.rx, roots.ry, roots.rz, roots.rp, state.p, roots.d);
    };
    return !rj_duplicate(s, q, r, true, rc_term);
}

}  // namespace

double elliprc(double x, double y) {
    double f = 1.0;
    if (y < 0.0) {  // Cauchy principal value (DLMF 19.20.7)
        f = std::sqrt(x / (x - y));
        x = x - y;
        y = -y;
    }
    if (x == 0.0) return f * kHalfPi / std::sqrt(y);
    if (x == y) return f / std::sqrt(x);
    if (x < y) return f * std::atan(std::sqrt((y - x) / x)) / std::sqrt(y - x);
    if (y / x > 0.5) {
        const double s = std::sqrt((x - y) / x);
        return f * (std::log1p(s) - std::log1p(-s)) / (2.0 * std::sqrt(x - y));
    }
    return f * std::log((std::sqrt(x) + std::sqrt(x - y)) / std::sqrt(y)) / std::sqrt(x - y);
}

double elliprf(double x, double y, double z) {
    if (x == y) {
        if (x == z) return 1.0 / std::sqrt(x);
        if (z == 0.0) return kPi / (2.0 * std::sqrt(x));
        return elliprc(z, x);
    }
    if (x == z) {
        if (y == 0.0) return kPi / (2.0 * std::sqrt(x));
        return elliprc(y, x);
    }
    if (y == z) {
        if (x == 0.0) return kPi / (2.0 * std::sqrt(y));
        return elliprc(x, y);
    }
    if (x == 0.0 || y == 0.0 || z == 0.0) {
        // RF(0, u, v) = pi / (2 AGM(sqrt u, sqrt v)) (DLMF 19.22.1)
        const double u = x == 0.0 ? z : x;
        const double v = x == 0.0 ? y : (y == 0.0 ? z : y);
        const AgmState mean = agm(std::sqrt(u), std::sqrt(v), 11);
        return kPi / (mean.a + mean.g);
    }

    const double a0 = (x + y + z) / 3.0;
    double q = kRfStop * max_skipping_nan(std::fabs(a0), std::fabs(a0 - x), std::fabs(a0 - y), std::fabs(a0 - z));
    double a = a0;
    double scale = 1.0;  // 4^k after k steps
    const double x0 = x, y0 = y;
    for (int step = 1;; ++step) {
        const double sx = std::sqrt(x), sy = std::sqrt(y), sz = std::sqrt(z);
        const double lambda = sx * sz + sx * sy + sy * sz;
        a = (a + lambda) / 4.0;
        q = q / 4.0;
        scale = scale * 4.0;
        if (q < std::fabs(a)) break;
        if (step == 11) return kNaN;
        x = (x + lambda) / 4.0;
        y = (y + lambda) / 4.0;
        z = (z + lambda) / 4.0;
    }
    const double dx = (a0 - x0) / (scale * a);
    const double dy = (a0 - y0) / (scale * a);
    const double dz = -dx - dy;
    const double e2 = dx * dy - dz * dz;
    const double e3 = dx * dy * dz;
    return (1.0 - e2 / 10.0 + e3 / 14.0 + e2 * e2 / 24.0 - 3.0 * e2 * e3 / 44.0 - 5.0 * e2 * e2 * e2 / 208.0 +
            3.0 * e3 * e3 / 104.0 + e2 * e2 * e3 / 16.0) /
           std::sqrt(a);
}

double elliprd(double x, double y, double z) {
    if (x == y && y == z) return 1.0 / (x * std::sqrt(x));
    if ((x == z && y == 0.0) || (y == z && x == 0.0)) return 3.0 * kPi / (4.0 * z * std::sqrt(z));
    if (x == 0.0 && z != 0.0) {
        // The integral diverges; the AGM below would never close the gap.
        if (y == 0.0) return kInfinity;
        // RD(0, y, z) from the AGM series of RG(0, y, z) and RF(0, y, z) (DLMF 19.21.10, 19.22.9).
        const double sy = std::sqrt(y), sz = std::sqrt(z);
        const AgmState mean = agm_series(sy, sz);
        return 3.0 * ((sy + 3.0 * sz) / (4.0 * z * (sy + sz)) - mean.sum / (z * (y - z))) * kPi / (mean.a + mean.g);
    }

    const double a0 = (x + y + 3.0 * z) / 5.0;
    double q = 1.2 * kRdStop * max_skipping_nan(a0 - x, a0 - y, a0 - z);
    double a = a0;
    double sigma = 0.0;
    double f = 1.0;
    const double x0 = x, y0 = y;
    for (int step = 1;; ++step) {
        const double sx = std::sqrt(x), sy = std::sqrt(y), sz = std::sqrt(z);
        const double lambda = sz * sx + sy * sx + sz * sy;
        sigma = sigma + f / (sz * (z + lambda));
        a = (a + lambda) / 4.0;
        q = q / 4.0;
        x = (x + lambda) / 4.0;
        y = (y + lambda) / 4.0;
        z = (z + lambda) / 4.0;
        f = f / 4.0;
        if (q < a) break;
        if (step == 50) return kNaN;
    }
    const double dx = (a0 - x0) * f / a;
    const double dy = (a0 - y0) * f / a;
    const double dz = -(dx + dy) / 3.0;
    const double e2 = dx * dy - 6.0 * dz * dz;
    const double e3 = (3.0 * dx * dy - 8.0 * dz * dz) * dz;
    const double e4 = 3.0 * (dx * dy - dz * dz) * dz * dz;
    const double e5 = dx * dy * dz * dz * dz;
    return f * std::pow(a, -1.5) * rd_rj_series(e2, e3, e4, e5) + 3.0 * sigma;
}

double elliprj(double x, double y, double z, double p) {
    if (p <= 0.0) {
        // Cauchy principal value (DLMF 19.20.14), from an RJ with a positive fourth argument.
        if (x > y) std::swap(x, y);
        if (y > z) std::swap(y, z);
        if (x > y) std::swap(x, y);
        const double q = -p;
        const double p1 = (z * (x + y - p) - x * y) / (z - p);
        // Only outside the integral's domain does the transformation give p' <= 0 again.
        if (p1 <= 0.0) return kNaN;
        const double xy = x * y;
        return ((p1 - z) * elliprj(x, y, z, p1) - 3.0 * elliprf(x, y, z) +
                3.0 * std::sqrt(xy * z / (xy + p1 * q)) * elliprc(xy + p1 * q, p1 * q)) /
               (z - p);
    }

    if (x == y) {
        if (x == z) {
            if (x == p) return 1.0 / (x * std::sqrt(x));
            return 3.0 * (elliprc(x, p) - 1.0 / std::sqrt(x)) / (x - p);
        }
        std::swap(x, z);
    }
    if (y == z) {
        if (y == p) return elliprd(x, y, y);
        // The closed form cancels badly when p is close to y; the duplication handles that.
        if (std::fmax(y, p) / std::fmin(y, p) > 1.2) return 3.0 * (elliprc(x, y) - elliprc(x, p)) / (p - y);
    }
    if (z == p) return elliprd(x, y, z);

    const double a0 = (x + y + z + 2.0 * p) / 5.0;
    const double q = kRjStop * max_skipping_nan(std::fabs(a0 - x), std::fabs(a0 - y), std::fabs(a0 - z), std::fabs(a0 - p));
    RjState<double> s{x, y, z, p, (p - x) * (p - y) * (p - z), a0, 1.0, 0.0};
    if (!rj_stops(s, q, rj_roots(s))) return kNaN;
    return rj_result(a0, x, y, z, s, std::pow(s.a, -1.5));
}

double elliprj_0y1p(double y, double p) {
    RjStart<double> start = rj_0y1p_start(y, p);
    if (!rj_stops(start.state, start.q, start.roots)) return kNaN;
    return rj_result(start.a0, 0.0, y, 1.0, start.state, std::pow(start.state.a, -1.5));
}

}  // namespace mirvanta::numerics
