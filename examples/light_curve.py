"""A microlensing light curve from the event's parameters, with NumPy arrays in and out.

The lens passes the source at the smallest separation u0 (Einstein radii) at time t0, crossing one
Einstein radius in the time tE; the source radius is rho Einstein radii. At time t the separation is

    u(t) = sqrt(u0^2 + ((t - t0) / tE)^2)      Einstein radii,

and the module takes it in source radii, l = u / rho, with re = 1 and rstar = rho (only their
ratio enters).

    .venv/bin/python examples/light_curve.py [--t0 T] [--u0 U] [--te DAYS] [--rho R] [--points N] [--check]

prints the light curve at a few times around the peak; --check also compares it with two values
known in closed form (see check()) and exits with status 1 when one of them disagrees.
"""

import argparse
import math
import sys

import numpy as np

import mirvanta


def magnification(t, t0, u0, te, rho):
    """Uniform-disk magnification at the times t (any shape), as an array of the same shape."""
    t = np.asarray(t, dtype=np.float64)
    u = np.hypot(u0, (t - t0) / te)                # Einstein radii
    l = (u / rho).ravel()                          # source radii, a contiguous float64 array
    return np.asarray(mirvanta.witt_mao_magnification(l, 1.0, rho)).reshape(t.shape)


def point_source(u):
    u = np.asarray(u, dtype=np.float64)
    return (u * u + 2) / (u * np.sqrt(u * u + 4))


def check(points):
    """Two properties that hold whatever the kernel: a lens through the centre of the source gives
    A = sqrt(rho^2 + 4) / rho at t0 (the point-source magnification integrated over the disk), and
    far from the source the finite-source correction A_disk / A_point - 1 is below (rho / u)^2.
    Returns the failures as text."""
    failures = []
    rho, te = 0.02, 25.0
    t = np.linspace(-3 * te, 3 * te, points | 1)   # an odd number of points: t0 = 0 is one of them
    curve = magnification(t, 0.0, 0.0, te, rho)
    peak = curve[len(t) // 2]
    exact = math.sqrt(rho * rho + 4) / rho
    if abs(peak / exact - 1) > 1e-12:
        failures.append(f"peak {peak!r}, expected sqrt(rho^2 + 4) / rho = {exact!r}")
    u = np.abs(t) / te
    far = u > 10 * rho
    excess = np.abs(curve[far] / point_source(u[far]) - 1)
    if np.any(excess > (rho / u[far]) ** 2):
        failures.append(f"far from the source, A_disk / A_point - 1 up to {excess.max():.1e}")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--t0", type=float, default=7450.0, help="time of the closest approach (days)")
    parser.add_argument("--u0", type=float, default=0.01, help="impact parameter (Einstein radii)")
    parser.add_argument("--te", type=float, default=25.0, help="Einstein time (days)")
    parser.add_argument("--rho", type=float, default=0.02, help="source radius (Einstein radii)")
    parser.add_argument("--points", type=int, default=2001, help="times in the curve")
    parser.add_argument("--check", action="store_true", help="check the curve against closed forms")
    args = parser.parse_args()

    t = np.linspace(args.t0 - 2 * args.te, args.t0 + 2 * args.te, args.points)
    curve = magnification(t, args.t0, args.u0, args.te, args.rho)
    print(f"t0 = {args.t0}, u0 = {args.u0}, tE = {args.te} days, rho = {args.rho}: "
          f"{len(t)} times, peak A = {curve.max():.4f} at t = {t[curve.argmax()]:.3f}\n")
    print(f"{'t - t0 (days)':>14} {'u':>9} {'A point':>10} {'A disk':>10}")
    for dt in (-2 * args.te, -args.te, -0.5, -0.25, 0.0, 0.25, 0.5, args.te):
        u = math.hypot(args.u0, dt / args.te)
        print(f"{dt:14.2f} {u:9.4f} {float(point_source(u)):10.4f} "
              f"{float(magnification(args.t0 + dt, args.t0, args.u0, args.te, args.rho)):10.4f}")

    if args.check:
        failures = check(args.points)
        for failure in failures:
            print("check failed:", failure)
        if failures:
            sys.exit(1)
        print("\ncheck: peak through the centre and far wings agree with their closed forms")


if __name__ == "__main__":
    main()
