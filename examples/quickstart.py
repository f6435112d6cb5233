"""The light curve of a microlensing event: the magnification of a source star by a point lens as
the lens passes it, for a point source, a uniformly bright disk and two limb-darkened disks.

The lens passes the source at the impact parameter u0 (Einstein radii) at the time t0 and crosses
one Einstein radius in the Einstein time tE; the source's radius is rho Einstein radii. At time t
the separation is u(t) = sqrt(u0^2 + ((t - t0) / tE)^2) Einstein radii.

    .venv/bin/python examples/quickstart.py [--t0 T] [--u0 U] [--tE DAYS] [--rho R] [--check]

--check also compares the uniform disk with two results known in closed form, whatever the
module computes (see check()), and exits with status 1 when one of them disagrees.
"""

import argparse
import math
import sys

import numpy as np

import mirvanta

LAWS = {
    "uniform disk": None,
    "linear 0.6": mirvanta.Linear(0.6),
    "quadratic 0.5, 0.2": mirvanta.Quadratic(0.5, 0.2),
}


def check(rho, te=25.0, points=2001):
    """A lens through the centre of the source gives A = sqrt(rho^2 + 4) / rho at t0 (the
    point-source magnification averaged over the disk), and far from the source the
    finite-source correction A_disk / A_point - 1 is below (rho / u)^2. Returns the failures."""
    failures = []
    t = np.linspace(-3 * te, 3 * te, points | 1)  # an odd number of times: t0 = 0 is one of them
    curve = mirvanta.light_curve(t, 0.0, 0.0, te, rho)
    peak, exact = curve[len(t) // 2], math.sqrt(rho * rho + 4) / rho
    if abs(peak / exact - 1) > 1e-12:
        failures.append(f"peak {peak!r}, expected sqrt(rho^2 + 4) / rho = {exact!r}")
    u = np.abs(t) / te
    far = u > 10 * rho
    point = (u[far] ** 2 + 2) / (u[far] * np.sqrt(u[far] ** 2 + 4))  # by hand, not by the module
    excess = np.abs(curve[far] / point - 1)
    if np.any(excess > (rho / u[far]) ** 2):
        failures.append(f"far from the source, A_disk / A_point - 1 up to {excess.max():.1e}")
    return failures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--t0", type=float, default=7450.0, help="time of the closest approach (default %(default)s)")
    parser.add_argument("--u0", type=float, default=0.01, help="impact parameter, Einstein radii (default %(default)s)")
    parser.add_argument("--tE", type=float, default=25.0, help="Einstein time, days (default %(default)s)")
    parser.add_argument("--rho", type=float, default=0.02, help="source radius, Einstein radii (default %(default)s)")
    parser.add_argument("--check", action="store_true", help="check the uniform disk against closed forms")
    args = parser.parse_args(argv)

    dt = np.array([-2 * args.tE, -args.tE, -1.0, -0.5, -0.25, 0.0, 0.25, 0.5, 1.0, args.tE])  # days from t0
    t = args.t0 + dt
    u = np.hypot(args.u0, dt / args.tE)
    columns = {"point source": mirvanta.point_source_magnification(u)}
    columns.update({name: mirvanta.light_curve(t, args.t0, args.u0, args.tE, args.rho, law)
                    for name, law in LAWS.items()})

    print(f"t0 = {args.t0}, u0 = {args.u0}, tE = {args.tE} days, rho = {args.rho}\n")
    print(f"{'t - t0':>8} {'u':>8}" + "".join(f" {name:>19}" for name in columns))
    for i in range(len(t)):
        print(f"{dt[i]:8.2f} {u[i]:8.4f}" + "".join(f" {values[i]:19.6f}" for values in columns.values()))

    if args.check:
        failures = check(args.rho)
        for failure in failures:
            print("check failed:", failure)
        if failures:
            return 1
        print("\ncheck: the peak through the centre and the far wings agree with their closed forms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
