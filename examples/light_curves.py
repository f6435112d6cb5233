"""Magnification curves of a source of radius rho = 0.05 Einstein radii as the lens crosses it:
a point source, a uniformly bright disk, a limb-darkened disk (linear law, coefficient 0.6) and a
source given by a tabulated brightness profile (a quadratic limb-darkening law sampled at 40
radii, a flux map).

The third panel checks the flux-map function against an independent computation of the same
map: a stack of uniform disks, each from the closed form, integrated over the disk radius by
Gauss-Legendre. What is left is the width of the function's annuli (1e-4 source radii): a fifth
of a part per million with the lens inside, a few parts on the limb itself.

    .venv/bin/python -m pip install ".[examples]"
    .venv/bin/python examples/light_curves.py [output]

writes light_curves.png (200 dpi) into the working directory, or to the path given; a path
ending in .pdf or .svg gives that format instead.
"""

import math
import pathlib
import sys

import matplotlib
import numpy

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import mirvanta  # noqa: E402

RE, RSTAR = 1.0, 0.05  # Einstein radius and source radius, in one unit: rho = 0.05
RHO = RSTAR / RE
FLUX_MAP = "flux map (quadratic law, 40 radii)"


def point_source(u):
    return (u * u + 2) / (u * math.sqrt(u * u + 4))


def quadratic_limb_darkening(r, a=0.4, b=0.25):
    mu = math.sqrt(max(0.0, 1 - r * r))
    return 1 - a * (1 - mu) - b * (1 - mu) ** 2


def sum_of_uniform_disks(u, radii, brightness, nodes=24):
    """Magnification of the piecewise-linear profile through (radii, brightness), radii from 0 to
    1, at the separations u (Einstein radii), by another route than the flux-map function: the
    profile is a stack of uniform disks, by parts pi [I(1) A_disk(u, rho) - sum over the intervals
    of the map of slope * int r^2 A_disk(u, r rho) dr], by Gauss-Legendre with `nodes` nodes on
    each interval, split at r = u / rho, where A_disk bends (within 5e-10 of the limit). The
    unmagnified flux is the same sum with A_disk = 1."""
    x, w = numpy.polynomial.legendre.leggauss(nodes)
    out = []
    for separation in u:
        l = separation / RHO

        def disk(r):
            return mirvanta.witt_mao_magnification([l / r], RE, r * RSTAR)[0]

        magnified, flux = brightness[-1] * disk(1.0), brightness[-1]
        for r0, r1, b0, b1 in zip(radii, radii[1:], brightness, brightness[1:]):
            slope = (b1 - b0) / (r1 - r0)
            for a, b in ([(r0, l), (l, r1)] if r0 < l < r1 else [(r0, r1)]):
                r = (a + b) / 2 + (b - a) / 2 * x
                magnified -= slope * (b - a) / 2 * sum(wi * ri * ri * disk(ri) for wi, ri in zip(w, r))
                flux -= slope * (b - a) / 2 * float(numpy.sum(w * r * r))
        out.append(magnified / flux)
    return out


def main():
    output = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "light_curves.png")
    u = [0.0005 + i * 0.0005 for i in range(300)]  # separations in Einstein radii, 0 to 0.15
    l = [x / RHO for x in u]                       # the same in source radii, as the module takes them
    radii = [i / 39 for i in range(40)]
    brightness = [quadratic_limb_darkening(r) for r in radii]

    flux_map = mirvanta.integrated_flux_map_witt_mao_magnification(l, RE, RSTAR, radii, brightness)
    reference = sum_of_uniform_disks(u, radii, brightness)
    deviation = [1e6 * (f / r - 1) for f, r in zip(flux_map, reference)]
    inside = [i for i, x in enumerate(u) if x < RHO]
    outside = [i for i, x in enumerate(u) if x >= RHO]
    curves = {
        "point source": (u, [point_source(x) for x in u], ":"),
        "uniform disk": (u, mirvanta.witt_mao_magnification(l, RE, RSTAR), "-"),
        "limb-darkened disk (linear, 0.6)": (u, mirvanta.integrated_witt_mao_magnification(l, RE, RSTAR), "--"),
        FLUX_MAP: (u, flux_map, "-."),
    }

    figure, (full, zoom, check) = plt.subplots(1, 3, figsize=(15, 4.4))
    for name, (x, values, style) in curves.items():
        for axes in (full, zoom):
            axes.plot(x, values, style, label=name, lw=1.5)
    full.set_ylim(0, 60)
    full.set_title(rf"Finite source, $\rho$ = {RHO}")
    zoom.set_xlim(0.03, 0.07)
    zoom.set_ylim(15, 45)
    zoom.set_title(r"Near the limb ($u = \rho$)")
    for axes in (full, zoom):
        axes.set_ylabel("magnification A")
    full.legend(loc="upper right", frameon=False, fontsize=8)

    worst_inside = max(abs(deviation[i]) for i in inside)
    on_limb = [i for i in outside if l[i] == 1.0]
    beyond = [i for i in outside if l[i] > 1.0]
    worst_beyond = max(abs(deviation[i]) for i in beyond)
    check.axvspan(0, RHO, color="tab:blue", alpha=0.06, lw=0)
    check.axhline(0, color="black", lw=0.6)
    check.plot(u, deviation, color="tab:red", lw=1.0, marker=".", ms=3)
    check.set_xlim(0, 0.15)
    check.set_ylabel("deviation from a stack of uniform disks (parts per million)")
    check.set_title("Flux-map function against an independent\ncomputation of the same map", fontsize=10.5)
    notes = [f"lens inside the source (shaded):\n  at most {worst_inside:.1f} ppm"]
    notes += [f"lens on the limb: {deviation[i]:+.1f} ppm\n  (the annuli's width, 1e-4 radii)" for i in on_limb]
    notes.append(f"lens outside: at most {worst_beyond:.2g} ppm")
    check.text(0.062, check.get_ylim()[0] + 0.05 * (check.get_ylim()[1] - check.get_ylim()[0]), "\n".join(notes),
               va="bottom", fontsize=8.5)

    for axes in (full, zoom, check):
        axes.axvline(RHO, color="grey", lw=0.8, alpha=0.6)
        axes.set_xlabel("lens-source separation u (Einstein radii)")
        axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(output, dpi=200)
    print(f"flux map against the stack of uniform disks: up to {worst_inside / 1e6:.1e} with the lens inside the "
          f"source, {worst_beyond / 1e6:.1e} outside" +
          "".join(f", {deviation[i] / 1e6:.1e} on the limb" for i in on_limb))
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
