"""Sample the posterior of a finite-source point-lens event with NumPyro's NUTS, the gradients from
the module's exact Jacobian: a synthetic event of a source with quadratic limb darkening, observed
630 times with 0.5 % noise (as examples/emcee_walkers.py), sampled for t0, u0, tE and rho and the
source and blend fluxes by the No-U-Turn sampler, several chains at once.

    .venv/bin/python -m pip install ".[examples]"
    .venv/bin/python examples/fit_nuts.py [--chains 4] [--warmup 150] [--samples 250] [--seed N] [--check]

The model's light curve is `mirvanta.jax.light_curve`, a JAX function: NUTS differentiates the
log-density by `jax.grad`, which takes the light curve's derivatives from one call of
`light_curve_and_jacobian` (value and Jacobian together) rather than from finite differences.
The chains run vectorised (`jax.vmap`): each gradient is one call for all chains, the chains'
light curves as events of one batch on the module's worker pool.

The posterior is narrow (t0 to about 1e-4 days) and its parameters correlated, so the sampler
works in whitened coordinates: a first fit (Levenberg-Marquardt steps with the same exact
Jacobian, from a guess near the peak, the fluxes started by `fit_fluxes`) gives the best
parameters and their Gauss-Newton covariance C, and NUTS samples z with p = best + L z, L L^T = C:
the same posterior (a linear change of variables), near a standard normal in z. Prior: uniform
in the box of examples/emcee_walkers.py (fluxes 0 to 10 and -5 to 5). The curves are computed at
rtol 1e-8, far below the noise.

--check exits non-zero unless every parameter's R-hat is below 1.01 and its posterior mean lies
within four posterior standard deviations of the truth.
"""

import argparse
import sys
import time

import numpy as np

import mirvanta

TRUTH = {"t0": 7450.0, "u0": 0.005, "tE": 20.0, "rho": 0.02, "fs": 1.0, "fb": 0.2}
LAW = mirvanta.Quadratic(0.5, 0.2)  # a = u1, b = u2, e.g. from Claret's tables for the band
LOWER = np.array([7440.0, 0.0, 1.0, 0.0, 0.0, -5.0])  # the prior's box: t0, u0, tE, rho, fs, fb
UPPER = np.array([7460.0, 1.0, 100.0, 1.0, 10.0, 5.0])
RTOL = 1e-8


def observations(seed):
    """The epochs, the observed fluxes and their errors of the synthetic event."""
    random = np.random.default_rng(seed)
    t = np.sort(random.uniform(TRUTH["t0"] - 40.0, TRUTH["t0"] + 40.0, 600))
    t = np.concatenate([t, np.linspace(TRUTH["t0"] - 0.15, TRUTH["t0"] + 0.15, 30)])  # the peak, densely
    event = [TRUTH[name] for name in ("t0", "u0", "tE", "rho")]
    flux = TRUTH["fs"] * mirvanta.light_curve(t, *event, LAW) + TRUTH["fb"]
    sigma = 0.005 * flux
    return t, flux + sigma * random.standard_normal(t.size), sigma


def scaled_jacobian(t, observed, sigma, p):
    """The residuals (observed - model) / sigma at p (t0, u0, tE, rho, fs, fb) and their
    derivatives with respect to p, with the model's sign."""
    A, J = mirvanta.light_curve_and_jacobian(t, *p[:4], LAW, rtol=RTOL)
    residuals = (observed - p[4] * A - p[5]) / sigma
    return residuals, np.column_stack([p[4] * J[:, :4], A, np.ones_like(A)]) / sigma[:, None]


def best_fit(t, observed, sigma, guess):
    """Levenberg-Marquardt from the guess (t0, u0, tE, rho; the fluxes solved linearly there):
    the best parameters and their covariance, the inverse of D^T D."""
    fluxes = mirvanta.fit_fluxes(mirvanta.light_curve(t, *guess, LAW, rtol=RTOL), observed, sigma)
    p = np.array([*guess, fluxes.fs, fluxes.fb])
    residuals, D = scaled_jacobian(t, observed, sigma, p)
    chi2, damping = residuals @ residuals, 1e-3
    for _ in range(100):
        normal = D.T @ D
        step = np.linalg.solve(normal + damping * np.diag(np.diag(normal)), D.T @ residuals)
        trial = p + step
        if np.all((trial > LOWER) & (trial < UPPER)):
            trial_residuals, trial_D = scaled_jacobian(t, observed, sigma, trial)
            trial_chi2 = trial_residuals @ trial_residuals
            if trial_chi2 < chi2:
                done = chi2 - trial_chi2 < 1e-8 * chi2
                p, residuals, D, chi2, damping = trial, trial_residuals, trial_D, trial_chi2, damping / 10
                if done:
                    break
                continue
        damping *= 10
    return p, np.linalg.inv(D.T @ D)


def model(t, observed, sigma, best, whitening):
    import jax.numpy as jnp
    import numpyro
    import numpyro.distributions as dist
    from numpyro.distributions import constraints

    import mirvanta.jax as mj

    z = numpyro.sample("z", dist.ImproperUniform(constraints.real_vector, (), event_shape=(6,)))
    p = numpyro.deterministic("p", best + whitening @ z)
    inside = jnp.all((p > LOWER) & (p < UPPER))
    numpyro.factor("prior", jnp.where(inside, 0.0, -jnp.inf))  # the box, flat inside
    event = jnp.clip(p[:4], LOWER[:4], UPPER[:4])  # a curve outside the box (its density is 0) must still be one
    magnification = mj.light_curve(t, *event, LAW, rtol=RTOL)
    numpyro.sample("flux", dist.Normal(p[4] * magnification + p[5], sigma), obs=observed)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--chains", type=int, default=4, help="chains, run vectorised (default 4)")
    parser.add_argument("--warmup", type=int, default=150, help="warm-up steps of each chain (default 150)")
    parser.add_argument("--samples", type=int, default=250, help="samples of each chain (default 250)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the noise and the chains (default 1)")
    parser.add_argument("--check", action="store_true", help="exit non-zero if R-hat or the posterior fails")
    args = parser.parse_args(argv)
    # After the arguments, so that --help needs neither JAX nor NumPyro.
    import jax

    jax.config.update("jax_enable_x64", True)  # mirvanta.jax computes in float64
    from numpyro.diagnostics import summary
    from numpyro.infer import MCMC, NUTS

    t, observed, sigma = observations(args.seed)
    began = time.perf_counter()
    best, covariance = best_fit(t, observed, sigma, [7450.02, 0.006, 19.5, 0.021])  # a guess near the peak, by eye
    fitted = time.perf_counter()
    kernel = NUTS(model)
    mcmc = MCMC(kernel, num_warmup=args.warmup, num_samples=args.samples, num_chains=args.chains,
                chain_method="vectorized", progress_bar=False)
    mcmc.run(jax.random.PRNGKey(args.seed), t, observed, sigma, best, np.linalg.cholesky(covariance),
             extra_fields=("num_steps",))
    p = np.asarray(mcmc.get_samples(group_by_chain=True)["p"])  # (chains, samples, 6)
    elapsed = time.perf_counter() - began
    steps = int(np.sum(np.asarray(mcmc.get_extra_fields(group_by_chain=True)["num_steps"])))

    stats = summary({name: p[..., k] for k, name in enumerate(TRUTH)}, group_by_chain=True)
    print(f"{args.chains} chains of {args.warmup} warm-up steps and {args.samples} samples in {elapsed:.1f} s "
          f"(the first fit {fitted - began:.2f} s); {steps} leapfrog steps (a gradient each) in the samples of "
          f"all chains, {t.size} epochs\n")
    print(f"{'parameter':>10} {'truth':>12} {'mean':>12} {'sigma':>10} {'pull':>6} {'r_hat':>7} {'n_eff':>7}")
    ok = True
    for name, true in TRUTH.items():
        mean, spread, r_hat, n_eff = (float(stats[name][key]) for key in ("mean", "std", "r_hat", "n_eff"))
        pull = (mean - true) / spread
        ok &= r_hat < 1.01 and abs(pull) < 4
        print(f"{name:>10} {true:12.6g} {mean:12.6g} {spread:10.2g} {pull:6.2f} {r_hat:7.4f} {n_eff:7.0f}")
    if args.check:
        print(f"\ncheck: {'passed' if ok else 'FAILED'}")
        return 0 if ok else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
