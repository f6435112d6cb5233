#include "models/kernel/far_field.hpp"

#include "models/kernel/far_field_series.hpp"

namespace mirvanta::models {

double far_field_disk_magnification(double u, double rho) { return far_field_series(u, rho); }

double mid_field_disk_magnification(double u, double rho) { return mid_field_series(u, rho); }

}  // namespace mirvanta::models
