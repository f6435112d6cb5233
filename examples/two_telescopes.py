"""Fit one event seen by two telescopes in two bands: a survey in the I band (quadratic limb
darkening) and a follow-up telescope over the peak in the V band (linear limb darkening), each
with its own source and blend flux. Least squares (scipy.optimize.least_squares) searches the four
event parameters t0, u0, tE and rho only; in each evaluation fit_fluxes solves the four fluxes.

    .venv/bin/python -m pip install ".[examples]"
    .venv/bin/python examples/two_telescopes.py [--seed N] [--check]

The errors printed are those of all eight parameters together, from the Jacobian of the full
model at the fit (the event's parameters by central differences, the fluxes' columns A and 1):
the fluxes' errors include their correlation with u0 and rho. --check exits non-zero unless every
parameter lies within four standard errors of the truth and the reduced chi-square is near 1.
"""

import argparse
import sys
import time

import numpy as np

import mirvanta

EVENT = {"t0": 7450.0, "u0": 0.008, "tE": 22.0, "rho": 0.02}


def telescopes(random):
    """The two data sets: name, law, epochs, true source and blend flux, relative noise."""
    survey = np.sort(random.uniform(EVENT["t0"] - 40.0, EVENT["t0"] + 40.0, 500))
    follow_up = np.sort(random.uniform(EVENT["t0"] - 1.0, EVENT["t0"] + 1.0, 200))
    return [
        {"name": "survey I", "law": mirvanta.Quadratic(0.35, 0.25), "t": survey, "fs": 1.0, "fb": 0.25,
         "noise": 0.005},
        {"name": "follow-up V", "law": mirvanta.Linear(0.7), "t": follow_up, "fs": 0.4, "fb": 0.6, "noise": 0.008},
    ]


def magnifications(event, data):
    return mirvanta.light_curve(data["t"], *event, data["law"])


def residuals(event, sets):
    """Normalised residuals of both data sets for the event parameters, each set's fluxes solved."""
    out = []
    for data in sets:
        a = magnifications(event, data)
        fit = mirvanta.fit_fluxes(a, data["flux"], data["sigma"])
        out.append((data["flux"] - fit.fs * a - fit.fb) / data["sigma"])
    return np.concatenate(out)


def full_covariance(event, fluxes, sets, steps):
    """Covariance of (t0, u0, tE, rho, fs and fb of each set) from the Jacobian of the model with
    all eight parameters free: the event's columns by central differences, the fluxes' exactly."""
    rows = [data["t"].size for data in sets]
    jacobian = np.zeros((sum(rows), 4 + 2 * len(sets)))
    first = 0
    for k, data in enumerate(sets):
        fs, fb = fluxes[k]
        last = first + rows[k]
        for j in range(4):
            up, down = np.array(event, dtype=float), np.array(event, dtype=float)
            up[j] += steps[j]
            down[j] -= steps[j]
            change = fs * (magnifications(up, data) - magnifications(down, data)) / (2 * steps[j])
            jacobian[first:last, j] = change / data["sigma"]
        jacobian[first:last, 4 + 2 * k] = magnifications(event, data) / data["sigma"]
        jacobian[first:last, 5 + 2 * k] = 1 / data["sigma"]
        first = last
    return np.linalg.inv(jacobian.T @ jacobian)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1, help="seed of the epochs and the noise (default 1)")
    parser.add_argument("--check", action="store_true", help="exit non-zero if the fit misses the truth")
    args = parser.parse_args(argv)
    from scipy.optimize import least_squares  # after the arguments, so that --help needs no SciPy

    random = np.random.default_rng(args.seed)
    sets = telescopes(random)
    truth_event = list(EVENT.values())
    for data in sets:
        flux = data["fs"] * magnifications(truth_event, data) + data["fb"]
        data["sigma"] = data["noise"] * flux
        data["flux"] = flux + data["sigma"] * random.standard_normal(flux.size)

    start = time.perf_counter()
    fit = least_squares(residuals, x0=[7450.03, 0.012, 19.0, 0.025], args=(sets,),
                        bounds=([7440, 0, 1, 1e-4], [7460, 1, 100, 1]), x_scale="jac")
    elapsed = time.perf_counter() - start
    solved = [mirvanta.fit_fluxes(magnifications(fit.x, data), data["flux"], data["sigma"]) for data in sets]
    fluxes = [(s.fs, s.fb) for s in solved]
    # Steps of a thousandth of each event parameter's error (with the fluxes solved: fit.jac).
    steps = 1e-3 * np.sqrt(np.diag(np.linalg.inv(fit.jac.T @ fit.jac)))
    errors = np.sqrt(np.diag(full_covariance(fit.x, fluxes, sets, steps)))
    points = sum(data["t"].size for data in sets)
    chi2 = 2 * fit.cost / (points - errors.size)

    print(f"{points} epochs from {len(sets)} telescopes, {fit.nfev} evaluations of the four event parameters, "
          f"{elapsed:.2f} s; reduced chi-square {chi2:.3f}\n")
    names = [*EVENT] + [f"{kind} {data['name']}" for data in sets for kind in ("fs", "fb")]
    values = np.concatenate([fit.x, np.ravel(fluxes)])
    truth = np.array(truth_event + [value for data in sets for value in (data["fs"], data["fb"])])
    pulls = (values - truth) / errors
    print(f"{'parameter':>16} {'truth':>10} {'fit':>12} {'error':>9} {'pull':>6}")
    for name, true, value, error, pull in zip(names, truth, values, errors, pulls):
        print(f"{name:>16} {true:10.6g} {value:12.8g} {error:9.2g} {pull:6.2f}")
    if args.check:
        ok = bool(np.all(np.abs(pulls) < 4) and 0.8 < chi2 < 1.2)
        print(f"\ncheck: {'passed' if ok else 'FAILED'}")
        return 0 if ok else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
