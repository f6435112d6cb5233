// Special points, branch boundaries and error reports of K, E, Pi and the Carlson integrals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "numerics/elliptic.hpp"

namespace mirvanta::numerics {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kHalfPi = 1.5707963267948966;

double below(double x) { return std::nextafter(x, -kInf); }
double above(double x) { return std::nextafter(x, kInf); }

std::string error_of(const EllipticResult& result) {
    return result.has_value() ? std::string("<value>") : std::string(result.error().message);
}

::testing::AssertionResult ulps_apart(double a, double b, double ulps) {
    const double ulp = above(std::fabs(b)) - std::fabs(b);
    if (std::fabs(a - b) <= ulps * ulp) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << " and " << b << " differ by " << std::fabs(a - b) / ulp << " ulps";
}

struct ErrorCase {
    const char* call;
    EllipticResult result;
    const char* message;
};

TEST(EllipticErrors, ExactTexts) {
    const ErrorCase cases[] = {
        {"ellipk(nan)", ellipk(kNan), "ellipk: Arguments cannot be NAN."},
        {"ellipk(1+eps)", ellipk(above(1.0)), "ellipk: m must not be greater than 1."},
        {"ellipk(inf)", ellipk(kInf), "ellipk: m must not be greater than 1."},
        {"ellipk(-1e18)", ellipk(-1e18), "ellipk: Unexpected error."},
        {"ellipe(nan)", ellipe(kNan), "ellipe: Arguments cannot be NAN."},
        {"ellipe(inf)", ellipe(kInf), "ellipe: m must not be greater than 1."},
        {"ellipe(1+eps)", ellipe(above(1.0)), "ellipe: m must not be greater than 1."},
        {"ellippi(1, 0.5)", ellippi(1.0, 0.5), "ellippi: n cannot be 1."},
        {"ellippi(1, nan)", ellippi(1.0, kNan), "ellippi: n cannot be 1."},
        {"ellippi(1, 7)", ellippi(1.0, 7.0), "ellippi: n cannot be 1."},
        {"ellippi(-0.5, 1.5)", ellippi(-0.5, 1.5), "ellippi: m must not be greater than 1."},
        {"ellippi(0.5, nan)", ellippi(0.5, kNan), "ellippi: Arguments cannot be NAN."},
        {"ellippi(nan, 0.5)", ellippi(kNan, 0.5), "ellippi: Arguments cannot be NAN."},
        {"ellippi(1+eps, 2)", ellippi(above(1.0), 2.0), "ellipk: m must not be greater than 1."},
        {"ellippi(1+eps, nan)", ellippi(above(1.0), kNan), "ellipk: Arguments cannot be NAN."},
        {"ellippi(-0.5, -1e18)", ellippi(-0.5, -1e18), "ellippi: Unexpected error."},
    };
    for (const ErrorCase& c : cases) EXPECT_EQ(error_of(c.result), c.message) << c.call;
}

TEST(EllipticK, SpecialValues) {
    EXPECT_TRUE(ulps_apart(ellipk(0.0).value(), kHalfPi, 2));
    EXPECT_EQ(ellipk(1.0).value(), kInf);
    EXPECT_EQ(ellipk(-kInf).value(), 0.0);
    const EllipticResult huge_negative = ellipk(-1e17);
    ASSERT_TRUE(huge_negative.has_value());
    EXPECT_GT(huge_negative.value(), 0.0);
    EXPECT_TRUE(std::isfinite(huge_negative.value()));
    // K(-1e17) = (ln(4 sqrt(1 + 1e17))) / sqrt(1 + 1e17) to leading order (DLMF 19.12.1 with 19.7.2).
    EXPECT_NEAR(huge_negative.value(), std::log(4.0 * std::sqrt(1e17)) / std::sqrt(1e17), 1e-15);
}

TEST(EllipticE, SpecialValues) {
    EXPECT_TRUE(ulps_apart(ellipe(0.0).value(), kHalfPi, 2));
    EXPECT_EQ(ellipe(1.0).value(), 1.0);
    EXPECT_EQ(ellipe(-kInf).value(), kInf);
    // E(-1) = sqrt(2) E(1/2), the imaginary-modulus transformation.
    EXPECT_TRUE(ulps_apart(ellipe(-1.0).value(), std::sqrt(2.0) * ellipe(0.5).value(), 4));
}

// Both sides of every seam between polynomial rows, and between the polynomials and the AGM,
// agree to about 1e-15 relative. The exception is K at -0.05: just above it the polynomial about
// 0.05 is used a whole interval away from its own, and its truncated tail (c_12 0.1^12) shows.
TEST(EllipticKE, SeamsAreContinuous) {
    for (double seam : {-0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9}) {
        for (auto f : {ellipk, ellipe}) {
            const double left = f(below(seam)).value();
            const double right = f(above(seam)).value();
            const double tolerance = (seam == -0.05 && f == ellipk) ? 1e-13 : 1e-15;
            EXPECT_NEAR(left / right, 1.0, tolerance) << "seam at " << seam;
        }
    }
}

TEST(EllipticPi, SpecialPoints) {
    EXPECT_EQ(ellippi(0.0, 0.0).value(), kHalfPi);
    for (double m : {-3.0, -0.5, 0.2, 0.7, 0.95}) {
        EXPECT_EQ(ellippi(0.0, m).value(), ellipk(m).value()) << m;
        EXPECT_EQ(ellippi(below(1.0), m).value(), kInf) << m;
    }
    for (double m : {0.1, 0.5, 0.9}) {
        EXPECT_EQ(ellippi(m, m).value(), (1.0 / (1.0 - m)) * ellipe(m).value()) << m;
    }
    for (double n : {-2.0, -0.5, 0.3, 0.9}) EXPECT_EQ(ellippi(n, 1.0).value(), kInf) << n;
    EXPECT_EQ(ellippi(-kInf, 0.5).value(), 0.0);
    // Just above n = 1: K(m) - E(m)/(1 - m).
    EXPECT_EQ(ellippi(above(1.0), 0.5).value(), ellipk(0.5).value() - ellipe(0.5).value() / 0.5);
    // n > 1 is the principal value K(m) - Pi(m/n, m): negative here.
    EXPECT_LT(ellippi(2.0, 0.5).value(), 0.0);
    // (the difference on the right cancels to about 12 ulps itself)
    EXPECT_NEAR(ellippi(2.0, 0.5).value(), ellipk(0.5).value() - ellippi(0.25, 0.5).value(), 4e-15);
    // n > 1 checks nothing: NaN comes back as a value.
    const EllipticResult nan_m = ellippi(2.0, kNan);
    ASSERT_TRUE(nan_m.has_value());
    EXPECT_TRUE(std::isnan(nan_m.value()));
    // m = n > 1 reaches RJ with a transformed p' <= 0, which must end, with NaN.
    EXPECT_TRUE(std::isnan(ellippi(3.0, 3.0).value_or(0.0)));
}

TEST(Carlson, DegenerateArguments) {
    // RF(0, 1 - m, 1) is K(m) by the AGM.
    for (double m : {0.1, 0.5, 0.95}) EXPECT_TRUE(ulps_apart(elliprf(0.0, 1.0 - m, 1.0), ellipk(m).value(), 4));
    // RD(0, y, z) from the AGM series agrees with the duplication at a tiny positive x.
    for (auto [y, z] : {std::pair{2.0, 1.0}, std::pair{0.3, 5.0}, std::pair{1e-3, 7.0}}) {
        EXPECT_NEAR(elliprd(0.0, y, z) / elliprd(1e-300, y, z), 1.0, 1e-14) << y << ", " << z;
    }
    // Divergent or outside the domain: the loops end.
    EXPECT_EQ(elliprd(0.0, 0.0, 2.0), kInf);
    EXPECT_TRUE(std::isnan(elliprd(0.0, 2.0, 0.0)) || std::isinf(elliprd(0.0, 2.0, 0.0)));
    EXPECT_FALSE(std::isfinite(elliprj(0.0, 0.0, 1.0, -1.0)));
    EXPECT_TRUE(std::isnan(elliprf(kNan, 1.0, 2.0)));
    EXPECT_TRUE(std::isnan(elliprj(1.0, 2.0, 3.0, kNan)));
    // Closed forms: RC(x, x) = 1/sqrt(x), RF(x, x, x) = 1/sqrt(x), RD(x, x, x) = RJ(x, x, x, x) = x^-3/2.
    EXPECT_EQ(elliprc(4.0, 4.0), 0.5);
    EXPECT_EQ(elliprf(4.0, 4.0, 4.0), 0.5);
    EXPECT_EQ(elliprd(4.0, 4.0, 4.0), 0.125);
    EXPECT_EQ(elliprj(4.0, 4.0, 4.0, 4.0), 0.125);
    // RC(0, y) = pi / (2 sqrt y); RC(1, 2) = pi/4 (DLMF 19.2.17 with arctan(1)).
    EXPECT_TRUE(ulps_apart(elliprc(0.0, 4.0), kHalfPi / 2.0, 1));
    EXPECT_TRUE(ulps_apart(elliprc(1.0, 2.0), 0.7853981633974483, 2));
}

}  // namespace
}  // namespace mirvanta::numerics
