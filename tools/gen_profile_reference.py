#!/usr/bin/env python3
"""Generate the mpmath references of the profile engine (limb-darkened and tabulated sources).

    python3 tools/gen_profile_reference.py          # rewrite tests/cpp/data/profile_*.txt
    python3 tools/gen_profile_reference.py --check  # recompute and compare with the committed files
                                                     # (about 20 minutes; --only laws|tabulated,
                                                     # --no-spots to skip the 2-D check)

Two independent computations of the magnification of a radially symmetric source:

- the 1-D reference at every case: the magnified flux as the integral over the disks of radius
  x (source radii) of the brightness against d[x^2 A_disk(u, x rho)], by parts
  I(1) F(1) - int_0^1 F dI with F(x) = x^2 A_disk(u, x rho), A_disk the closed form of Witt and
  Mao in mpmath's own complete elliptic integrals; integrated by mpmath's tanh-sinh rule in the
  angle x = sin(theta) with a break where the disk through the lens is (x = l) and, for a
  tabulated profile, at its radii (its steps and ends as point terms), at 30 digits and more for
  far separations, where the closed form cancels;
- the 2-D reference at a few spot points: the brightness-weighted mean of the point-source
  magnification over the disk, in polar coordinates about the lens (over the distance v from the
  lens, the arc of the circle of radius v that lies on the disk), as
  tools/gen_limb_darkened_reference.py does for the linear law: no uniform disk, no elliptic
  integral, no integration by parts. The script checks that the two agree to 1e-13 at the spot
  points before it writes anything (they agree to 1e-19 but for the square-root law, whose
  sqrt(mu) at the ends of the arcs leaves the 2-D rule 3e-14 off at 20 digits).

Laws (I in mu = sqrt(1 - x^2)): linear 1 - c(1 - mu); quadratic 1 - a(1 - mu) - b(1 - mu)^2;
square_root 1 - c(1 - mu) - d(1 - sqrt(mu)); power2 1 - c(1 - mu^alpha); tabulated: radii and
brightness, linear in between, 0 outside (one table per line of profile_tabulated.txt).

profile_laws.txt, one case a line: law p q rho l A (l in source radii, so u = l rho; p, q, rho
and l as exactly representable doubles, A to 25 significant digits).
profile_tabulated.txt: "table" lines "table k r_0 b_0 r_1 b_1 ...", then cases "k rho l A".
"""

import argparse
import math
import pathlib
import sys

import mpmath

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "cpp" / "data"
LAWS_FILE = DATA / "profile_laws.txt"
TABLES_FILE = DATA / "profile_tabulated.txt"

LAWS = [("linear", 0.6, 0.0), ("linear", 0.95, 0.0), ("quadratic", 0.5, 0.2), ("quadratic", 0.1, 0.8),
        ("square_root", 0.3, 0.4), ("power2", 0.6, 0.7), ("power2", 0.4, 2.5)]
RADII = [1e-6, 1e-3, 0.1, 1.0, 100.0]
SEPARATIONS = [0.0, 1e-3, 0.3, 0.9, 0.999, 1.0, 1.001, 1.1, 1.6, 2.2, 5.0, 30.0, 1e4]
TABLES = [
    # a quadratic law sampled at 11 radii, with the limb's drop
    [(0.0, 1.0), (0.3, 0.97), (0.5, 0.9), (0.7, 0.78), (0.8, 0.69), (0.9, 0.56), (0.95, 0.47), (0.98, 0.39),
     (0.99, 0.35), (1.0, 0.3)],
    # a ring between 0.2 and 0.8 with a step at 0.5 (equal radii)
    [(0.2, 0.5), (0.5, 1.0), (0.5, 0.6), (0.8, 0.2)],
]
TABLE_RADII = [1e-3, 0.1, 1.0, 100.0]
TABLE_SEPARATIONS = [0.0, 0.1, 0.2, 0.35, 0.5, 0.65, 0.8, 0.95, 1.0, 1.05, 1.5, 3.0, 30.0]
SPOTS = [("linear", 0.6, 0.0, 0.1, 0.5), ("quadratic", 0.5, 0.2, 0.1, 0.0), ("quadratic", 0.5, 0.2, 1.0, 1.3),
         ("square_root", 0.3, 0.4, 0.01, 0.95), ("power2", 0.6, 0.7, 0.1, 1.05), ("power2", 0.4, 2.5, 1.0, 0.4)]
TABLE_SPOTS = [(0, 0.1, 0.45), (1, 0.1, 0.5), (1, 1.0, 1.2)]


def digits(l):
    return 25 + int(2 * math.log10(max(l, 1.0)))


def witt_mao(u, rho):
    """The uniform disk, closed form of Witt and Mao in mpmath's elliptic integrals."""
    if rho == 0:
        return (u * u + 2) / (u * mpmath.sqrt(u * u + 4))
    if u == rho:
        t = rho * rho
        return (2 / rho + (1 + 1 / t) * 2 * mpmath.atan(rho)) / mpmath.pi
    d, s, t = u - rho, u + rho, rho * rho
    if abs(d) < mpmath.eps * 1e5 * rho:  # on the limb to the working precision (d ln d -> 0)
        return witt_mao(rho, rho)
    g = mpmath.sqrt(4 + d * d)
    # The complements from the differences, exact: 1 - n = (d/s)^2, 1 - m = (1 - n)(s^2 + 4)/(d^2 + 4).
    one_minus_n = (d / s) ** 2
    one_minus_m = one_minus_n * (s * s + 4) / (d * d + 4)
    n, m = 1 - one_minus_n, 1 - one_minus_m
    # Carlson's forms: K = RF(0, 1-m, 1), E = K - m RD(0, 1-m, 1)/3, Pi = K + n RJ(0, 1-m, 1, 1-n)/3.
    rf = mpmath.elliprf(0, one_minus_m, 1)
    k = rf
    e = rf - m * mpmath.elliprd(0, one_minus_m, 1) / 3
    pi_ = rf + n * mpmath.elliprj(0, one_minus_m, 1, one_minus_n) / 3
    return (s * g / (2 * t) * e - d * (8 + u * u - t) / (2 * t * g) * k
            + 2 * d * d * (1 + t) / (t * s * g) * pi_) / mpmath.pi


def slope(law, p, q, mu):
    """dI/dmu."""
    if law == "linear":
        return p
    if law == "quadratic":
        return p + 2 * q * (1 - mu)
    if law == "square_root":
        return p + q / (2 * mpmath.sqrt(mu))
    return p * q * mu ** (q - 1)


def brightness(law, p, q, mu):
    if law == "linear":
        return 1 - p * (1 - mu)
    if law == "quadratic":
        return 1 - p * (1 - mu) - q * (1 - mu) ** 2
    if law == "square_root":
        return 1 - p * (1 - mu) - q * (1 - mpmath.sqrt(mu))
    return 1 - p * (1 - mu ** q)


def flux(law, p, q):
    """int_0^1 2 x I dx, exactly."""
    p, q = mpmath.mpf(p), mpmath.mpf(q)
    if law == "linear":
        return 1 - p / 3
    if law == "quadratic":
        return 1 - p / 3 - q / 6
    if law == "square_root":
        return 1 - p / 3 - q / 5
    return 1 - p * q / (q + 2)


def law_by_parts(law, p, q, rho, l):
    with mpmath.workdps(digits(l)):
        p, q, rho, l = (mpmath.mpf(v) for v in (p, q, rho, l))
        u = l * rho
        disk = lambda x: x * x * witt_mao(u, x * rho)

        def integrand(theta):
            # |cos| where the rounded angle passes pi/2; the weight of the end itself is 0
            x, mu = mpmath.sin(theta), abs(mpmath.cos(theta))
            return disk(x) * x * slope(law, p, q, mu)

        breaks = [0, mpmath.pi / 2]
        if 0 < l < 1:
            breaks = [0, mpmath.asin(l), mpmath.pi / 2]
        magnified = brightness(law, p, q, 0) * disk(1) + mpmath.quad(integrand, breaks)
        return mpmath.re(magnified) / flux(law, p, q)


def law_two_dimensional(law, p, q, rho, l, dps=20):
    """The brightness-weighted mean of the point-source magnification over the disk, in polar
    coordinates about the lens."""
    with mpmath.workdps(dps):
        p, q, rho, l = (mpmath.mpf(v) for v in (p, q, rho, l))

        def weighted_point_source(v):  # v A_ps(v rho)
            w = v * rho
            return (w * w + 2) / (rho * mpmath.sqrt(w * w + 4))

        def arc(v):
            a, b = 1 - l * l - v * v, 2 * l * v
            top = mpmath.pi if l == 0 or v <= 1 - l else mpmath.acos((l * l + v * v - 1) / (2 * l * v))
            return 2 * mpmath.quad(lambda phi: brightness(law, p, q, mpmath.sqrt(max(a + b * mpmath.cos(phi), 0))),
                                   [0, top])

        points = [l - 1, l + 1] if l >= 1 else ([0, 1 - l, 1 + l] if l > 0 else [0, 1])
        return mpmath.quad(lambda v: weighted_point_source(v) * arc(v), points) / (mpmath.pi * flux(law, p, q))


def table_flux(table):
    total = mpmath.mpf(0)
    for (r0, b0), (r1, b1) in zip(table, table[1:]):
        if r1 > r0:
            r0, r1, b0, b1 = (mpmath.mpf(v) for v in (r0, r1, b0, b1))
            total += (r1 - r0) * ((2 * r0 + r1) * b0 + (r0 + 2 * r1) * b1) / 3
    return total


def table_brightness(table, r):
    """The profile as the flux maps read it: linear between the radii, the value at a radius
    itself, 0 outside."""
    if r < table[0][0] or r > table[-1][0]:
        return 0
    for (r0, b0), (r1, b1) in zip(table, table[1:]):
        if r0 <= r <= r1 and r1 > r0:
            return b0 + (b1 - b0) * (r - r0) / (r1 - r0)
    return table[-1][1]


def table_by_parts(table, rho, l):
    with mpmath.workdps(digits(l)):
        rho, l = mpmath.mpf(rho), mpmath.mpf(l)
        u = l * rho
        disk = lambda x: 0 if x == 0 else x * x * witt_mao(u, x * rho)
        magnified = table[-1][1] * disk(mpmath.mpf(table[-1][0])) - table[0][1] * disk(mpmath.mpf(table[0][0]))
        for (r0, b0), (r1, b1) in zip(table, table[1:]):
            r0, r1, b0, b1 = (mpmath.mpf(v) for v in (r0, r1, b0, b1))
            if r1 == r0:
                magnified -= (b1 - b0) * disk(r0)
                continue
            breaks = [r0, l, r1] if r0 < l < r1 else [r0, r1]
            magnified -= (b1 - b0) / (r1 - r0) * mpmath.quad(disk, breaks)
        return mpmath.re(magnified) / table_flux(table)


def table_two_dimensional(table, rho, l, dps=20):
    with mpmath.workdps(dps):
        rho, l = mpmath.mpf(rho), mpmath.mpf(l)

        def weighted_point_source(v):
            w = v * rho
            return (w * w + 2) / (rho * mpmath.sqrt(w * w + 4))

        def arc(v):
            top = mpmath.pi if l == 0 or v <= 1 - l else mpmath.acos((l * l + v * v - 1) / (2 * l * v))
            radius = lambda phi: mpmath.sqrt(max(l * l + v * v - 2 * l * v * mpmath.cos(phi), 0))
            # breaks where the circle crosses the table's radii
            cuts = [mpmath.mpf(0), top]
            for r, _ in table:
                if l > 0 and v > 0:
                    c = (l * l + v * v - mpmath.mpf(r) ** 2) / (2 * l * v)
                    if -1 < c < 1 and mpmath.acos(c) < top:
                        cuts.append(mpmath.acos(c))
            cuts = sorted(set(cuts))
            return 2 * mpmath.quad(lambda phi: table_brightness(table, radius(phi)), cuts)

        points = {0, l + 1} if l < 1 else {l - 1, l + 1}
        if l < 1:
            points.add(1 - l)
        for r, _ in table:  # the circle first and last touches each radius
            for v in (abs(l - mpmath.mpf(r)), l + mpmath.mpf(r)):
                points.add(v)
        points = sorted(v for v in points if v >= 0)
        return mpmath.quad(lambda v: weighted_point_source(v) * arc(v), points) / (mpmath.pi * table_flux(table))


def spot_check():
    worst = 0
    for law, p, q, rho, l in SPOTS:
        one, two = law_by_parts(law, p, q, rho, l), law_two_dimensional(law, p, q, rho, l)
        worst = max(worst, abs(one / two - 1))
        print(f"spot {law} {p} {q} rho {rho} l {l}: 1-D {mpmath.nstr(one, 20)} 2-D {mpmath.nstr(two, 20)}")
    for k, rho, l in TABLE_SPOTS:
        one, two = table_by_parts(TABLES[k], rho, l), table_two_dimensional(TABLES[k], rho, l)
        worst = max(worst, abs(one / two - 1))
        print(f"spot table {k} rho {rho} l {l}: 1-D {mpmath.nstr(one, 20)} 2-D {mpmath.nstr(two, 20)}")
    print(f"1-D against 2-D at the spot points: {float(worst):.1e}")
    # The 2-D rule at 20 digits holds about 14 where the square-root law's sqrt(mu) meets the
    # ends of the arcs (3e-14 at its spot point); elsewhere the two agree to 1e-19.
    if worst > 1e-13:
        sys.exit("the two references disagree")


def laws_text():
    lines = ["# law p q rho l A: by parts in mpmath (tools/gen_profile_reference.py), 25 digits"]
    for law, p, q in LAWS:
        for rho in RADII:
            for l in SEPARATIONS:
                a = law_by_parts(law, p, q, rho, l)
                lines.append(f"{law} {p!r} {q!r} {rho!r} {l!r} {mpmath.nstr(a, 25, min_fixed=-1, max_fixed=-1)}")
    return "\n".join(lines) + "\n"


def tables_text():
    lines = ["# table k r_0 b_0 ...; then k rho l A (tools/gen_profile_reference.py), 25 digits"]
    for k, table in enumerate(TABLES):
        lines.append(f"table {k} " + " ".join(f"{r!r} {b!r}" for r, b in table))
    for k, table in enumerate(TABLES):
        for rho in TABLE_RADII:
            for l in TABLE_SEPARATIONS:
                a = table_by_parts(table, rho, l)
                lines.append(f"{k} {rho!r} {l!r} {mpmath.nstr(a, 25, min_fixed=-1, max_fixed=-1)}")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="recompute and compare with the committed files")
    parser.add_argument("--no-spots", action="store_true", help="skip the 2-D spot check (slow)")
    parser.add_argument("--only", choices=["laws", "tabulated"], help="one of the two files only")
    args = parser.parse_args()
    if not args.no_spots:
        spot_check()
    files = [(LAWS_FILE, laws_text, "laws"), (TABLES_FILE, tables_text, "tabulated")]
    for path, make, name in files:
        if args.only and args.only != name:
            continue
        text = make()
        if args.check:
            if path.read_text() != text:
                sys.exit(f"{path} differs from the recomputed reference")
            print(f"{path.name}: up to date")
        else:
            path.write_text(text)
            print(f"wrote {path}")


if __name__ == "__main__":
    main()
