"""Fit a finite-source point-lens event: a synthetic light curve of a source with quadratic limb
darkening, observed 630 times (600 over 80 days, 30 over the peak's 0.3 days) with 0.5 % noise,
fitted for t0, u0, tE, rho and the source and blend fluxes by least squares
(scipy.optimize.least_squares), the limb-darkening law held fixed: the fit of the README, with the
same data and start.

    .venv/bin/python -m pip install ".[examples]"
    .venv/bin/python examples/fit_light_curve.py [--seed N] [--check]

--check exits non-zero unless every fitted parameter lies within four standard errors of the
truth, and the fit's reduced chi-square is near 1.
"""

import argparse
import sys
import time

import numpy as np

import mirvanta

TRUTH = {"t0": 7450.0, "u0": 0.005, "tE": 20.0, "rho": 0.02}
LAW = mirvanta.Quadratic(0.5, 0.2)  # a = u1, b = u2, e.g. from Claret's tables for the band


def model(params, t):
    """Flux of the source magnified, plus the flux of the blend, for one parameter vector."""
    t0, u0, te, rho, source, blend = params
    return source * mirvanta.light_curve(t, t0, u0, te, rho, LAW) + blend


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1, help="seed of the epochs and the noise (default 1, the README's)")
    parser.add_argument("--check", action="store_true", help="exit non-zero if the fit misses the truth")
    args = parser.parse_args(argv)
    from scipy.optimize import least_squares  # after the arguments, so that --help needs no SciPy

    random = np.random.default_rng(args.seed)
    t = random.uniform(TRUTH["t0"] - 40.0, TRUTH["t0"] + 40.0, 600)
    t = np.concatenate([t, np.linspace(TRUTH["t0"] - 0.15, TRUTH["t0"] + 0.15, 30)])  # the peak, densely
    truth = np.array([*TRUTH.values(), 1.0, 0.2])
    flux = model(truth, t)
    sigma = 0.005 * flux
    observed = flux + sigma * random.standard_normal(t.size)

    calls = 0  # of the model, each a light curve of every epoch

    def residuals(params):
        nonlocal calls
        calls += 1
        return (model(params, t) - observed) / sigma

    start = time.perf_counter()
    fit = least_squares(residuals, x0=[7450.05, 0.01, 18.0, 0.025, 1.1, 0.1],
                        bounds=([7440, 0, 1, 0, 0, -1], [7460, 1, 100, 1, 10, 10]), x_scale="jac")
    elapsed = time.perf_counter() - start
    covariance = np.linalg.inv(fit.jac.T @ fit.jac)
    errors = np.sqrt(np.diag(covariance))
    chi2 = 2 * fit.cost / (t.size - truth.size)

    # least_squares evaluates the model at the start and at each step it tries (nfev), and once
    # per parameter for each Jacobian, by finite differences.
    print(f"{t.size} epochs, {calls} light curves ({fit.nfev} at the start and the steps, "
          f"{calls - fit.nfev} for the Jacobians), {elapsed:.2f} s; reduced chi-square {chi2:.3f}")
    print("fit:", " ".join(f"{v:.5g}" for v in fit.x), "(t0, u0, tE, rho, source, blend)\n")
    print(f"{'parameter':>10} {'truth':>12} {'fit':>12} {'error':>10} {'pull':>6}")
    names = [*TRUTH, "source", "blend"]
    pulls = (fit.x - truth) / errors
    for name, true, value, error, pull in zip(names, truth, fit.x, errors, pulls):
        print(f"{name:>10} {true:12.6g} {value:12.6g} {error:10.2g} {pull:6.2f}")
    if args.check:
        ok = bool(np.all(np.abs(pulls) < 4) and 0.8 < chi2 < 1.2)
        print(f"\ncheck: {'passed' if ok else 'FAILED'}")
        return 0 if ok else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
