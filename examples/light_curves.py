"""Magnification of a source of radius rho = 0.05 Einstein radii as the lens crosses it: a point
source, a uniformly bright disk, a linear and a quadratic limb-darkening law.

The third panel checks a tabulated profile (the quadratic law sampled at 40 radii) against an
independent computation of the same profile, the mean of ring magnifications over the source
(limb_darkening.py): once through `mirvanta.Profile`, integrated exactly (it prints 3.3e-12 at
worst with the lens inside the source, 2.2e-11 outside), and once through the older flux-map
function, whose annuli of half-width 1e-4 source radii leave up to 1.9e-7 with the lens inside
(next to the centre), 4.0e-6 with the lens on the limb and 3.4e-9 beyond it.

    .venv/bin/python -m pip install ".[examples]"
    .venv/bin/python examples/light_curves.py [OUTPUT]

writes light_curves.png (200 dpi) into the working directory, or to OUTPUT; a path ending in .pdf
or .svg gives that format instead.
"""

import argparse
import pathlib
import sys

import numpy as np

import mirvanta

RHO = 0.05  # source radius, Einstein radii
LINEAR, QUADRATIC = mirvanta.Linear(0.6), mirvanta.Quadratic(0.4, 0.25)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output", nargs="?", default="light_curves.png", type=pathlib.Path,
                        help="where to write the figure (default: light_curves.png in the working directory)")
    args = parser.parse_args(argv)

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    from limb_darkening import reference_sampled, sampled_law

    u = np.arange(1, 301) * 0.0005  # separations, Einstein radii, to 0.15
    curves = {
        "point source": (mirvanta.point_source_magnification(u), ":"),
        "uniform disk": (mirvanta.magnification(u, RHO), "-"),
        "linear law, c = 0.6": (mirvanta.magnification(u, RHO, LINEAR), "--"),
        "quadratic law, a = 0.4, b = 0.25": (mirvanta.magnification(u, RHO, QUADRATIC), "-."),
    }

    bl, bf = sampled_law(0.4, 0.25, 40)
    l = u / RHO  # source radii
    reference = np.array([reference_sampled(x, RHO, bl, bf) for x in l])
    deviations = {
        "Profile (exact)": np.abs(mirvanta.magnification(u, RHO, mirvanta.Profile(bl, bf)) / reference - 1),
        "flux-map function (annuli)":
            np.abs(np.asarray(mirvanta.integrated_flux_map_witt_mao_magnification(l, 1.0, RHO, bl, bf)) / reference - 1),
    }

    figure, (full, zoom, check) = plt.subplots(1, 3, figsize=(15, 4.4))
    for name, (values, style) in curves.items():
        for axes in (full, zoom):
            axes.plot(u, values, style, label=name, lw=1.5)
    full.set_ylim(0, 60)
    full.set_title(rf"Finite source, $\rho$ = {RHO}")
    zoom.set_xlim(0.03, 0.07)
    zoom.set_ylim(15, 45)
    zoom.set_title(r"Near the limb ($u = \rho$)")
    for axes in (full, zoom):
        axes.set_ylabel("magnification A")
    full.legend(loc="upper right", frameon=False, fontsize=8)

    inside = u < RHO
    check.axvspan(0, RHO, color="tab:blue", alpha=0.06, lw=0)
    for (name, deviation), colour in zip(deviations.items(), ("tab:green", "tab:red")):
        worst = f"inside {deviation[inside].max():.1e}, outside {deviation[~inside].max():.1e}"
        check.semilogy(u, np.maximum(deviation, 1e-16), color=colour, lw=1.0, marker=".", ms=3,
                       label=f"{name}: {worst}")
        print(f"{name}, worst relative deviation from the ring-mean reference: {worst}")
    check.set_xlim(0, 0.15)
    check.set_ylim(1e-16, 1e-3)
    check.set_ylabel("relative deviation from the ring-mean reference")
    check.set_title("A tabulated profile (the quadratic law at 40 radii)\nagainst an independent computation",
                    fontsize=10.5)
    check.legend(loc="upper right", frameon=False, fontsize=8)

    for axes in (full, zoom, check):
        axes.axvline(RHO, color="grey", lw=0.8, alpha=0.6)
        axes.set_xlabel("lens-source separation u (Einstein radii)")
        axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(args.output, dpi=200)
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
