"""Magnification curves of a source of radius rho = 0.05 Einstein radii as the lens crosses it:
a point source, a uniformly bright disk, a limb-darkened disk (linear law, coefficient 0.6) and a
source given by a tabulated brightness profile (a quadratic limb-darkening law sampled at 40
radii, a flux map).

The flux-map function integrates with fixed quadrature nodes. With the lens inside the source
those nodes do not resolve the annuli next to the lens, and single values are off by up to about
2 percent. So the flux-map curve is drawn only with the lens outside the source, and the third panel
shows the artefact against an independent computation of the same map: a sum of thousands of
uniform disks, each from the closed form.

    .venv/bin/python -m pip install ".[examples]"
    .venv/bin/python examples/light_curves.py [output]

writes light_curves.png (200 dpi) into the working directory, or to the path given; a path
ending in .pdf or .svg gives that format instead.
"""

import math
import pathlib
import sys

import matplotlib

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


def sum_of_uniform_disks(u, radii, brightness, steps=100):
    """Magnification of the piecewise-linear profile through (radii, brightness) at the
    separations u (Einstein radii), by another route than the flux-map function: the profile is
    a stack of uniform disks, sum over r of (-dI/dr) dr * pi r^2 A_disk(u, r rho), plus the disk
    of radius 1 at the limb brightness, by the midpoint rule with `steps` disks per interval of
    the map. The unmagnified flux is the same sum with A_disk = 1."""
    flux, magnified = 0.0, [0.0] * len(u)

    def add_disk(radius, weight):
        nonlocal flux
        area = weight * math.pi * radius * radius
        rho = radius * RHO
        for i, a in enumerate(mirvanta.witt_mao_magnification([x / rho for x in u], RE, rho * RE)):
            magnified[i] += area * a
        flux += area

    for j in range(len(radii) - 1):
        width = (radii[j + 1] - radii[j]) / steps
        slope = (brightness[j + 1] - brightness[j]) / (radii[j + 1] - radii[j])
        for k in range(steps):
            add_disk(radii[j] + (k + 0.5) * width, -slope * width)
    add_disk(radii[-1], brightness[-1])
    return [m / flux for m in magnified]


def main():
    output = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "light_curves.png")
    u = [0.0005 + i * 0.0005 for i in range(300)]  # separations in Einstein radii, 0 to 0.15
    l = [x / RHO for x in u]                       # the same in source radii, as the module takes them
    radii = [i / 39 for i in range(40)]
    brightness = [quadratic_limb_darkening(r) for r in radii]

    flux_map = mirvanta.integrated_flux_map_witt_mao_magnification(l, RE, RSTAR, radii, brightness)
    reference = sum_of_uniform_disks(u, radii, brightness)
    deviation = [100 * (f / r - 1) for f, r in zip(flux_map, reference)]
    outside = [i for i, x in enumerate(u) if x > RHO]
    curves = {
        "point source": (u, [point_source(x) for x in u], ":"),
        "uniform disk": (u, mirvanta.witt_mao_magnification(l, RE, RSTAR), "-"),
        "limb-darkened disk (linear, 0.6)": (u, mirvanta.integrated_witt_mao_magnification(l, RE, RSTAR), "--"),
        FLUX_MAP + ", lens outside the source": ([u[i] for i in outside], [flux_map[i] for i in outside], "-."),
    }
    inside = [i for i, x in enumerate(u) if x <= RHO]
    same_map = ([u[i] for i in inside], [reference[i] for i in inside])

    figure, (full, zoom, artefact) = plt.subplots(1, 3, figsize=(15, 4.4))
    for name, (x, values, style) in curves.items():
        for axes in (full, zoom):
            axes.plot(x, values, style, label=name, lw=1.5)
    for axes in (full, zoom):
        axes.plot(*same_map, ":", color="tab:red", lw=1.2,
                  label="the same map inside the source, as a sum of uniform disks")
    full.set_ylim(0, 60)
    full.set_title(rf"Finite source, $\rho$ = {RHO}")
    zoom.set_xlim(0.03, 0.07)
    zoom.set_ylim(15, 45)
    zoom.set_title(r"Near the limb ($u = \rho$)")
    for axes in (full, zoom):
        axes.set_ylabel("magnification A")
    full.legend(loc="upper right", frameon=False, fontsize=8)

    artefact.axvspan(0, RHO, color="tab:red", alpha=0.08, lw=0)
    artefact.axhline(0, color="black", lw=0.6)
    artefact.plot(u, deviation, color="tab:red", lw=1.0, marker=".", ms=3)
    artefact.set_xlim(0, 0.15)
    artefact.set_ylabel("deviation from a sum of uniform disks (%)")
    artefact.set_title("Flux-map function: quadrature artefact\nwith the lens inside the source, not physics",
                       fontsize=10.5)
    artefact.text(0.058, 0.97 * max(deviation), "shaded: lens inside the source;\n"
                  "the fixed nodes miss the annuli\nnext to the lens", va="top", fontsize=8.5, color="tab:red")
    artefact.text(0.058, 0.6 * max(deviation), "lens outside the source:\nwithin %.0e of the sum\nof uniform disks" %
                  max(abs(deviation[i]) / 100 for i in outside), va="top", fontsize=8.5)

    for axes in (full, zoom, artefact):
        axes.axvline(RHO, color="grey", lw=0.8, alpha=0.6)
        axes.set_xlabel("lens-source separation u (Einstein radii)")
        axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(output, dpi=200)
    print(f"flux map against the sum of uniform disks: up to {max(abs(deviation[i]) for i in inside):.1f} % "
          "with the lens inside the source, "
          f"{max(abs(deviation[i]) for i in outside) / 100:.1e} outside")
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
