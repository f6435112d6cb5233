// Linear interpolation of tables and the central-difference derivative.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "numerics/interpolation.hpp"

namespace mirvanta::numerics {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

TEST(LinearInterpolate, StepTable) {
    const std::vector<double> xs{0.0, 0.5, 0.5, 1.0}, ys{1.0, 0.8, 0.4, 0.2};
    EXPECT_DOUBLE_EQ(linear_interpolate(xs, ys, 0.25), 0.9);
    EXPECT_DOUBLE_EQ(linear_interpolate(xs, ys, 0.5), 0.8);  // left of the step
    EXPECT_NEAR(linear_interpolate(xs, ys, 0.75), 0.3, 1e-15);
    EXPECT_EQ(linear_interpolate(xs, ys, 1.0), 0.2);  // the stored value, no arithmetic
    EXPECT_EQ(linear_interpolate(xs, ys, 0.0), 1.0);
    EXPECT_EQ(linear_interpolate(xs, ys, 1.5), 0.0);
    EXPECT_EQ(linear_interpolate(xs, ys, -0.1), 0.0);
    EXPECT_TRUE(std::isnan(linear_interpolate(xs, ys, kNan)));
    // Just right of the step: the right segment.
    EXPECT_NEAR(linear_interpolate(xs, ys, std::nextafter(0.5, 1.0)), 0.4, 1e-15);
}

TEST(LinearInterpolate, SmallTables) {
    const std::vector<double> one_x{0.3}, one_y{7.0}, none;
    for (double x : {-5.0, 0.0, 0.3, 12.0, kNan}) EXPECT_EQ(linear_interpolate(one_x, one_y, x), 7.0) << x;
    EXPECT_EQ(linear_interpolate(none, none, 0.5), 0.0);
    // Only the first min(len xs, len ys) points take part.
    const std::vector<double> xs{0.0, 1.0, 2.0}, ys{0.0, 10.0};
    EXPECT_EQ(linear_interpolate(xs, ys, 0.5), 5.0);
    EXPECT_EQ(linear_interpolate(xs, ys, 1.5), 0.0);
}

TEST(LinearInterpolate, InteriorAbscissaComesFromTheLeftSegment) {
    const std::vector<double> xs{0.0, 0.1, 0.7, 1.0}, ys{0.3, 0.9, 0.1, 0.6};
    const double slope = (ys[1] - ys[0]) / (xs[1] - xs[0]);
    EXPECT_EQ(linear_interpolate(xs, ys, 0.1), (ys[0] - xs[0] * slope) + 0.1 * slope);
    EXPECT_NEAR(linear_interpolate(xs, ys, 0.4), 0.5, 1e-15);
}

TEST(CentralDifference, DerivativeAndStep) {
    const auto square = [](double x) { return x * x; };
    EXPECT_NEAR(central_difference_derivative(square, 3.0), 6.0, 1e-10);
    // The step is the double nearest the cube root of the machine epsilon: its cube is closer to
    // 2^-52 than either neighbour's (cubed in long double, 64 bits, where the neighbours' cubes
    // differ from 2^-52 by about 3 ulps of a double).
    const auto off = [](double c) {
        const long double cube = static_cast<long double>(c) * c * c;
        return std::fabs(cube - static_cast<long double>(std::numeric_limits<double>::epsilon()));
    };
    EXPECT_LT(off(CBRT_EPS), off(std::nextafter(CBRT_EPS, 0.0)));
    EXPECT_LT(off(CBRT_EPS), off(std::nextafter(CBRT_EPS, 1.0)));
    std::vector<double> seen;
    const auto record = [&](double x) { seen.push_back(x); return 0.0; };
    central_difference_derivative(record, 0.0);
    EXPECT_EQ(seen, (std::vector<double>{CBRT_EPS, -CBRT_EPS}));  // forward first
    seen.clear();
    central_difference_derivative(record, 1e6);
    EXPECT_NEAR(seen[0] - 1e6, 6.0554, 1e-3);
    EXPECT_NEAR(central_difference_derivative([](double x) { return std::sin(x); }, 1.0, 1e-4), std::cos(1.0), 1e-8);
    EXPECT_TRUE(std::isnan(central_difference_derivative([](double) { return kNan; }, 1.0)));
}

}  // namespace
}  // namespace mirvanta::numerics
