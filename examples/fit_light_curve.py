"""Fit a finite-source point-lens event: a synthetic light curve of a source with quadratic limb
darkening, observed 630 times (600 over 80 days, 30 over the peak's 0.3 days) with 0.5 % noise,
fitted for t0, u0, tE and rho by least squares (scipy.optimize.least_squares), the
limb-darkening law held fixed, three ways: the six parameters with the source and blend fluxes
and a Jacobian by finite differences; the same with the exact Jacobian of
light_curve_and_jacobian; and the README's fit, four parameters with the fluxes solved linearly
by fit_fluxes at each call and the exact Jacobian projected off the fluxes' columns (the same
data and start as the README).

    .venv/bin/python -m pip install ".[examples]"
    .venv/bin/python examples/fit_light_curve.py [--seed N] [--check]

--check exits non-zero unless the three fits agree within a tenth of a standard error, every
fitted parameter lies within four standard errors of the truth, the fit's reduced chi-square is
near 1, and the exact Jacobians take at most 8 evaluations.
"""

import argparse
import sys
import time

import numpy as np

import mirvanta

TRUTH = {"t0": 7450.0, "u0": 0.005, "tE": 20.0, "rho": 0.02}
FLUXES = {"source": 1.0, "blend": 0.2}
LAW = mirvanta.Quadratic(0.5, 0.2)  # a = u1, b = u2, e.g. from Claret's tables for the band
START = [7450.05, 0.01, 18.0, 0.025]
LOWER, UPPER = [7440, 0, 1, 0], [7460, 1, 100, 1]


class Event:
    """The data, and the residuals and Jacobians of the three fits, counting the module's calls."""

    def __init__(self, seed):
        random = np.random.default_rng(seed)
        t = random.uniform(TRUTH["t0"] - 40.0, TRUTH["t0"] + 40.0, 600)
        self.t = np.concatenate([t, np.linspace(TRUTH["t0"] - 0.15, TRUTH["t0"] + 0.15, 30)])  # the peak
        flux = FLUXES["source"] * mirvanta.light_curve(self.t, *TRUTH.values(), LAW) + FLUXES["blend"]
        self.sigma = 0.005 * flux
        self.observed = flux + self.sigma * random.standard_normal(self.t.size)
        self.curves = self.jacobians = 0

    def curve(self, p):
        self.curves += 1
        return mirvanta.light_curve(self.t, *p, LAW)

    def residuals6(self, p):  # t0, u0, tE, rho, source, blend
        return (p[4] * self.curve(p[:4]) + p[5] - self.observed) / self.sigma

    def jacobian6(self, p):
        self.jacobians += 1
        a, j = mirvanta.light_curve_and_jacobian(self.t, *p[:4], LAW)
        return np.column_stack([p[4] * j[:, :4], a, np.ones_like(a)]) / self.sigma[:, None]

    def residuals4(self, p):  # t0, u0, tE, rho; the fluxes solved linearly
        a = self.curve(p)
        fluxes = mirvanta.fit_fluxes(a, self.observed, self.sigma)
        return (fluxes.fs * a + fluxes.fb - self.observed) / self.sigma

    def jacobian4(self, p):
        # The fluxes' own change with p is orthogonal to the residuals at the solution (Kaufman's
        # variable projection): the Jacobian is fs dA/dp, projected off the fluxes' columns.
        self.jacobians += 1
        a, j = mirvanta.light_curve_and_jacobian(self.t, *p, LAW)
        fs = mirvanta.fit_fluxes(a, self.observed, self.sigma).fs
        fluxes = np.column_stack([a, np.ones_like(a)]) / self.sigma[:, None]
        d = fs * j[:, :4] / self.sigma[:, None]
        return d - fluxes @ np.linalg.lstsq(fluxes, d, rcond=None)[0]


def fit(event, way):
    from scipy.optimize import least_squares  # after the arguments, so that --help needs no SciPy

    event.curves = event.jacobians = 0
    start = time.perf_counter()
    if way == "four":
        result = least_squares(event.residuals4, x0=START, jac=event.jacobian4, bounds=(LOWER, UPPER),
                               x_scale="jac")
    else:
        result = least_squares(event.residuals6, x0=[*START, 1.1, 0.1],
                               jac=event.jacobian6 if way == "exact" else "2-point",
                               bounds=([*LOWER, 0, -1], [*UPPER, 10, 10]), x_scale="jac")
    return result, time.perf_counter() - start, event.curves, event.jacobians


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1, help="seed of the epochs and the noise (default 1, the README's)")
    parser.add_argument("--check", action="store_true", help="exit non-zero if the fits disagree or miss the truth")
    args = parser.parse_args(argv)
    event = Event(args.seed)
    results = {}
    for way, text in [("differences", "six parameters, Jacobian by finite differences"),
                      ("exact", "six parameters, exact Jacobian"),
                      ("four", "four parameters, fluxes solved linearly, exact Jacobian")]:
        result, elapsed, curves, jacobians = fit(event, way)
        results[way] = result
        print(f"{text}: {curves} light curves and {jacobians} Jacobians, {elapsed:.2f} s")
        print("    ", " ".join(f"{v:.5g}" for v in result.x))

    exact = results["exact"]
    covariance = np.linalg.inv(exact.jac.T @ exact.jac)
    errors = np.sqrt(np.diag(covariance))
    truth = np.array([*TRUTH.values(), *FLUXES.values()])
    chi2 = 2 * exact.cost / (event.t.size - truth.size)
    pulls = (exact.x - truth) / errors
    print(f"\n{event.t.size} epochs; reduced chi-square {chi2:.3f}")
    print(f"{'parameter':>10} {'truth':>12} {'fit':>12} {'error':>10} {'pull':>6}")
    for name, true, value, error, pull in zip([*TRUTH, *FLUXES], truth, exact.x, errors, pulls):
        print(f"{name:>10} {true:12.6g} {value:12.6g} {error:10.2g} {pull:6.2f}")
    apart = max(np.max(np.abs(results[way].x[:4] - exact.x[:4]) / errors[:4]) for way in ("differences", "four"))
    print(f"\nthe three fits agree within {apart:.1e} standard errors")
    if args.check:
        ok = bool(apart < 0.1 and np.all(np.abs(pulls) < 4) and 0.8 < chi2 < 1.2 and
                  exact.njev <= 8 and results["four"].njev <= 8)
        print(f"check: {'passed' if ok else 'FAILED'}")
        return 0 if ok else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
