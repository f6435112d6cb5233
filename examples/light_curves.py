"""Magnification curves of a source of radius rho = 0.05 Einstein radii as the lens crosses it:
a point source, a uniformly bright disk, a limb-darkened disk (linear law, coefficient 0.6) and a
source given by a tabulated brightness profile (a quadratic limb-darkening law sampled at 40
radii). Saves a PNG.

    python3 -m pip install ".[examples]"
    python3 examples/light_curves.py [output.png]
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


def point_source(u):
    return (u * u + 2) / (u * math.sqrt(u * u + 4))


def quadratic_limb_darkening(r, a=0.4, b=0.25):
    mu = math.sqrt(max(0.0, 1 - r * r))
    return 1 - a * (1 - mu) - b * (1 - mu) ** 2


def main():
    output = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).with_suffix(".png"))
    u = [0.0005 + i * 0.0005 for i in range(300)]  # separations in Einstein radii, 0 to 0.15
    l = [x / RHO for x in u]                       # the same in source radii, as the module takes them
    radii = [i / 39 for i in range(40)]
    brightness = [quadratic_limb_darkening(r) for r in radii]

    curves = {
        "point source": [point_source(x) for x in u],
        "uniform disk": mirvanta.witt_mao_magnification(l, RE, RSTAR),
        "limb-darkened disk (linear, 0.6)": mirvanta.integrated_witt_mao_magnification(l, RE, RSTAR),
        "flux map (quadratic law, 40 radii)": mirvanta.integrated_flux_map_witt_mao_magnification(
            l, RE, RSTAR, radii, brightness),
    }

    figure, (full, zoom) = plt.subplots(1, 2, figsize=(11, 4.2))
    styles = {"point source": ":", "uniform disk": "-", "limb-darkened disk (linear, 0.6)": "--",
              "flux map (quadratic law, 40 radii)": "-."}
    for name, values in curves.items():
        for axes in (full, zoom):
            axes.plot(u, values, styles[name], label=name, lw=1.6)
    full.set_ylim(0, 60)
    full.set_title(f"Finite source, rho = {RHO}")
    zoom.set_xlim(0.03, 0.07)
    zoom.set_ylim(15, 45)
    zoom.set_title("Near the limb (u = rho)")
    for axes in (full, zoom):
        axes.axvline(RHO, color="grey", lw=0.8, alpha=0.6)
        axes.set_xlabel("lens-source separation u (Einstein radii)")
        axes.set_ylabel("magnification A")
        axes.grid(alpha=0.3)
    full.legend(frameon=False)
    figure.tight_layout()
    figure.savefig(output, dpi=110)
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
