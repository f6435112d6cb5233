#!/usr/bin/env python3
"""The bases' tables as calls meet them: random laws over the tables' bases, radii and separations,
each call's values against the engine at rtol 1e-13 one separation a call.

    .venv/bin/python tools/profile_table_accuracy.py [--calls 600] [--seed 7]

Each call: a law drawn valid (Linear c in [-1, 1]; Quadratic a in [-1, 2], b in [-1.5, 1];
SquareRoot c, d in [-1, 1.5]; Claret a_k in [-4, 4]; the law's own check refuses the rest), rho
log-uniform over [0.1, 10], rtol one of 1e-11, 1e-10, 1e-8 and 1e-6, 24 separations of that
radius (enough for the tables to serve the call), each uniform over [0, 2] rho or within 10^-4.2
to 10^-0.3 rho of the limb on either side; every third value against its reference. Prints the
worst error over rtol per law and rtol; a value beyond rtol, or a warning that one did not
converge, ends the run with status 1.
"""

import argparse
import random
import sys
import warnings

import numpy as np

import mirvanta


def draw(rng, make):
    while True:
        try:
            return make()
        except ValueError:
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=600)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    makers = [lambda: mirvanta.Linear(rng.uniform(-1, 1)),
              lambda: mirvanta.Quadratic(rng.uniform(-1, 2), rng.uniform(-1.5, 1)),
              lambda: mirvanta.SquareRoot(rng.uniform(-1, 1.5), rng.uniform(-1, 1.5)),
              lambda: mirvanta.Claret(*[rng.uniform(-4, 4) for _ in range(4)])]
    worst, values, missed = {}, 0, 0
    for k in range(args.calls):
        law = draw(rng, makers[k % len(makers)])
        rho = 0.1 * 100 ** rng.random()
        rtol = rng.choice([1e-11, 1e-10, 1e-8, 1e-6])
        x = [rng.uniform(0, 2) if rng.random() < 0.5 else 1 + rng.choice([-1, 1]) * 10 ** rng.uniform(-4.2, -0.3)
             for _ in range(24)]
        u = np.sort(np.array(x) * rho)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            got = mirvanta.magnification(u, rho, law, rtol=rtol)
        for i in range(0, len(u), 3):
            exact = mirvanta.magnification(float(u[i]), rho, law, rtol=1e-13)
            ratio = abs(got[i] / exact - 1) / rtol
            key = (type(law).__name__, rtol)
            worst[key] = max(worst.get(key, 0.0), ratio)
            values += 1
            missed += ratio > 1
    for (name, rtol), ratio in sorted(worst.items()):
        print(f"{name:11} rtol {rtol:g}: worst error {ratio:.3f} rtol")
    print(f"{values} values, {missed} beyond rtol")
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
