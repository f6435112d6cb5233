"""A short microlensing light curve: the magnification of a uniformly bright source star by a
point lens, for a few source sizes, as the lens passes the source.

Run:  .venv/bin/python examples/quickstart.py
"""

import math

import mirvanta

RE = 1.0                               # Einstein radius (any unit; only rstar / re matters)
SOURCE_RADII = [0.01, 0.05, 0.1, 0.5]  # source radii in the same unit
U = [0.0, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0]  # lens-source separations in Einstein radii


def point_source(u):
    return math.inf if u == 0 else (u * u + 2) / (u * math.sqrt(u * u + 4))


def main():
    columns = {}
    for rstar in SOURCE_RADII:
        rho = rstar / RE
        # Separations are given in source radii: u / rho.
        columns[rstar] = mirvanta.witt_mao_magnification([u / rho for u in U], RE, rstar)

    print("Uniform-disk magnification A(u) for source radius rho (in Einstein radii)\n")
    header = f"{'u':>6}  {'point':>9}" + "".join(f"  {'rho=' + str(r):>10}" for r in SOURCE_RADII)
    print(header)
    print("-" * len(header))
    for i, u in enumerate(U):
        row = f"{u:6.2f}  {point_source(u):9.4f}" + "".join(f"  {columns[r][i]:10.4f}" for r in SOURCE_RADII)
        print(row)
    print("\nA finite source caps the peak at sqrt(rho^2 + 4) / rho; far from it, A(u) is the point source.")


if __name__ == "__main__":
    main()
