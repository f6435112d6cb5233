"""Sample the posterior of a finite-source point-lens event with emcee, every walker's light curve
in one call: a synthetic event of a source with quadratic limb darkening, observed 630 times with
0.5 % noise (as examples/fit_light_curve.py), sampled for t0, u0, tE and rho by an ensemble of
walkers whose log-probability is vectorised (emcee's vectorize=True).

    .venv/bin/python -m pip install ".[examples]"
    .venv/bin/python examples/emcee_walkers.py [--walkers 32] [--steps 1500] [--seed N] [--check]

The sampler hands the log-probability the positions of many walkers at once (half the ensemble
each time, as its stretch move updates one half against the other). Their light curves are one
`light_curve` call, with t0, u0, tE and rho as columns of shape (walkers, 1) against the epochs
(walkers, 630), which computes the walkers' curves as events in parallel on the module's worker
pool; `fit_fluxes` then solves every walker's source and blend flux linearly and gives its chi2,
so that the walkers search four parameters, not six (the likelihood is maximised over the fluxes).
Positions outside the prior (u0 or rho below 0, tE not above 0, t0 or tE out of range) get a
log-probability of -inf without a call.

--check runs a shorter chain (--steps 500 unless given) and exits non-zero unless the posterior
median of each parameter lies within four posterior standard deviations of the truth and the
mean acceptance fraction is between 0.1 and 0.8.
"""

import argparse
import sys
import time

import numpy as np

import mirvanta

TRUTH = {"t0": 7450.0, "u0": 0.005, "tE": 20.0, "rho": 0.02}
LAW = mirvanta.Quadratic(0.5, 0.2)  # a = u1, b = u2, e.g. from Claret's tables for the band
LOWER = np.array([7440.0, 0.0, 1.0, 0.0])   # the prior's box: t0, u0, tE, rho
UPPER = np.array([7460.0, 1.0, 100.0, 1.0])


def observations(seed):
    """The epochs, the observed fluxes and their errors of the synthetic event."""
    random = np.random.default_rng(seed)
    t = np.sort(random.uniform(TRUTH["t0"] - 40.0, TRUTH["t0"] + 40.0, 600))
    t = np.concatenate([t, np.linspace(TRUTH["t0"] - 0.15, TRUTH["t0"] + 0.15, 30)])  # the peak, densely
    flux = 1.0 * mirvanta.light_curve(t, *TRUTH.values(), LAW) + 0.2  # source flux 1, blend 0.2
    sigma = 0.005 * flux
    return t, flux + sigma * random.standard_normal(t.size), sigma


def log_probability(theta, t, observed, sigma):
    """The log-probability of each row of theta (walkers, 4): -chi2 / 2 at the best fluxes of
    that walker, -inf outside the prior."""
    theta = np.atleast_2d(theta)
    result = np.full(len(theta), -np.inf)
    inside = np.all((theta >= LOWER) & (theta <= UPPER), axis=1) & (theta[:, 2] > 0)
    if inside.any():
        t0, u0, te, rho = (theta[inside, k, None] for k in range(4))
        magnification = mirvanta.light_curve(t, t0, u0, te, rho, LAW)  # (walkers inside, epochs)
        result[inside] = -0.5 * mirvanta.fit_fluxes(magnification, observed, sigma).chi2
    return result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--walkers", type=int, default=32, help="walkers of the ensemble (default 32)")
    parser.add_argument("--steps", type=int, help="steps of the chain (default 1500, 500 with --check)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the noise and the walkers (default 1)")
    parser.add_argument("--check", action="store_true", help="exit non-zero if the posterior misses the truth")
    args = parser.parse_args(argv)
    import emcee  # after the arguments, so that --help needs no emcee

    steps = args.steps or (500 if args.check else 1500)
    t, observed, sigma = observations(args.seed)
    random = np.random.default_rng(args.seed + 1)
    guess = np.array([7450.02, 0.006, 19.5, 0.021])  # a first guess near the peak, e.g. by eye
    start = guess + np.array([0.01, 1e-4, 0.1, 1e-4]) * random.standard_normal((args.walkers, 4))
    sampler = emcee.EnsembleSampler(args.walkers, 4, log_probability, args=(t, observed, sigma), vectorize=True)
    sampler.random_state = np.random.RandomState(args.seed).get_state()  # the same chain for the same seed
    began = time.perf_counter()
    sampler.run_mcmc(start, steps)
    elapsed = time.perf_counter() - began

    burn = steps // 2
    samples = sampler.get_chain(discard=burn, flat=True)
    median, spread = np.median(samples, axis=0), np.std(samples, axis=0)
    acceptance = float(np.mean(sampler.acceptance_fraction))
    calls = steps * args.walkers
    print(f"{args.walkers} walkers, {steps} steps: {calls} light curves of {t.size} epochs in {elapsed:.1f} s "
          f"({elapsed / steps * 1e3:.1f} ms a step); acceptance {acceptance:.2f}\n")
    print(f"{'parameter':>10} {'truth':>12} {'median':>12} {'sigma':>10} {'pull':>6}")
    pulls = (median - np.array(list(TRUTH.values()))) / spread
    for name, true, value, error, pull in zip(TRUTH, TRUTH.values(), median, spread, pulls):
        print(f"{name:>10} {true:12.6g} {value:12.6g} {error:10.2g} {pull:6.2f}")
    if args.check:
        ok = bool(np.all(np.abs(pulls) < 4) and 0.1 < acceptance < 0.8)
        print(f"\ncheck: {'passed' if ok else 'FAILED'}")
        return 0 if ok else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
