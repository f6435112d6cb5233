#!/usr/bin/env python3
"""Generate the mpmath references of the profile engine (limb-darkened and tabulated sources).

    python3 tools/gen_profile_reference.py          # rewrite tests/cpp/data/profile_*.txt
    python3 tools/gen_profile_reference.py --check  # recompute and compare with the committed files
                                                     # (about 30 minutes; --only laws|tabulated,
                                                     # --laws NAME,..., --no-spots to skip the 2-D
                                                     # check)

Two independent computations of the magnification of a radially symmetric source:

- the 1-D reference at every case: the magnified flux as the integral over the disks of radius
  x (source radii) of the brightness against d[x^2 A_disk(u, x rho)], by parts
  I(1) F(1) - int_0^1 F dI with F(x) = x^2 A_disk(u, x rho), A_disk the closed form of Witt and
  Mao in mpmath's own complete elliptic integrals; integrated by mpmath's tanh-sinh rule, a law
  in the angle x = sin(theta) from the centre to the disk through the lens (x = l), and from
  there (or the centre) to the limb in phi = pi/2 - theta = s^2 (x = cos(phi), mu = sin(phi)
  keeps its relative precision at the limb, and mu^(-1/2) dphi is smooth in s); a tabulated
  profile in x with breaks at l and at its radii (its steps and ends as point terms); at 25
  digits and more for far separations, where the closed form cancels;
- the 2-D reference at a few spot points: the brightness-weighted mean of the point-source
  magnification over the disk, in polar coordinates about the lens (over the distance v from the
  lens, the arc of the circle of radius v that lies on the disk), as
  tools/gen_limb_darkened_reference.py does for the linear law: no uniform disk, no elliptic
  integral, no integration by parts. The script checks that the two agree to 1e-16 at the spot
  points before it writes anything (they agree to 20 digits at every one; the 1-D reference
  taken in theta all the way to the limb was 3e-14 off at the square-root law's spot point and
  1e-13 at Claret's, where mu^(-1/2) met a mu that had lost its relative precision).

Laws (I in mu = sqrt(1 - x^2)): linear 1 - c(1 - mu); quadratic 1 - a(1 - mu) - b(1 - mu)^2;
square_root 1 - c(1 - mu) - d(1 - sqrt(mu)); power2 1 - c(1 - mu^alpha); logarithmic
1 - c(1 - mu) - d mu ln(mu); claret 1 - sum_k a_k (1 - mu^(k/2)), k = 1..4; tabulated: radii and
brightness, linear in between, 0 outside (one table per line of profile_tabulated.txt).

profile_laws.txt, one case a line: law c... rho l A, the law's coefficients in order (the linear
law's lines carry a second, 0.0), l in source radii, so u = l rho; coefficients, rho and l as
exactly representable doubles, A to 25 significant digits. --laws NAME[,NAME] recomputes (or
checks) the lines of those laws only and keeps the others as committed (the new laws' lines take
about 12 minutes).
profile_tabulated.txt: "table" lines "table k r_0 b_0 r_1 b_1 ...", then cases "k rho l A".
"""

import argparse
import concurrent.futures
import math
import pathlib
import sys

import mpmath

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "cpp" / "data"
LAWS_FILE = DATA / "profile_laws.txt"
TABLES_FILE = DATA / "profile_tabulated.txt"

LAWS = [("linear", (0.6, 0.0)), ("linear", (0.95, 0.0)), ("quadratic", (0.5, 0.2)), ("quadratic", (0.1, 0.8)),
        ("square_root", (0.3, 0.4)), ("power2", (0.6, 0.7)), ("power2", (0.4, 2.5)),
        # a common pair; a limb of brightness 0 (and I ~ mu ln mu there); d < 0 whose least
        # brightness, 1 - 2.7/e = 0.0067 at mu = 1/e, is almost 0
        ("logarithmic", (0.6, 0.2)), ("logarithmic", (1.0, 0.5)), ("logarithmic", (0.0, -2.7)),
        # a set of stellar-atmosphere tables' size; a limb of brightness 0, as sqrt(mu); a least
        # brightness of 0.0088 near mu = 1/4, between a dark limb and the centre
        ("claret", (0.6, -0.3, 0.9, -0.45)), ("claret", (0.3, 0.2, 0.4, 0.1)), ("claret", (1.0, -4.0, 3.99, 0.0))]
RADII = [1e-6, 1e-3, 0.1, 1.0, 100.0]
# The laws added later, at fewer radii (each line takes some 2 seconds).
LATER_RADII = {"logarithmic": [1e-3, 0.1, 1.0, 10.0], "claret": [1e-3, 0.1, 1.0, 10.0]}
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
SPOTS = [("linear", (0.6, 0.0), 0.1, 0.5), ("quadratic", (0.5, 0.2), 0.1, 0.0), ("quadratic", (0.5, 0.2), 1.0, 1.3),
         ("square_root", (0.3, 0.4), 0.01, 0.95), ("power2", (0.6, 0.7), 0.1, 1.05), ("power2", (0.4, 2.5), 1.0, 0.4),
         ("logarithmic", (0.0, -2.7), 0.1, 0.95), ("logarithmic", (1.0, 0.5), 1.0, 1.02),
         ("claret", (0.6, -0.3, 0.9, -0.45), 0.1, 0.5), ("claret", (0.3, 0.2, 0.4, 0.1), 0.01, 1.05)]
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


def slope(law, cs, mu):
    """dI/dmu."""
    if law == "linear":
        return cs[0]
    if law == "quadratic":
        return cs[0] + 2 * cs[1] * (1 - mu)
    if law == "square_root":
        return cs[0] + cs[1] / (2 * mpmath.sqrt(mu))
    if law == "logarithmic":
        return cs[0] - cs[1] * (mpmath.log(mu) + 1)
    if law == "claret":
        return sum(a * k / 2 * mu ** (mpmath.mpf(k) / 2 - 1) for k, a in enumerate(cs, 1))
    return cs[0] * cs[1] * mu ** (cs[1] - 1)


def brightness(law, cs, mu):
    if law == "linear":
        return 1 - cs[0] * (1 - mu)
    if law == "quadratic":
        return 1 - cs[0] * (1 - mu) - cs[1] * (1 - mu) ** 2
    if law == "square_root":
        return 1 - cs[0] * (1 - mu) - cs[1] * (1 - mpmath.sqrt(mu))
    if law == "logarithmic":
        return 1 - cs[0] * (1 - mu) - (cs[1] * mu * mpmath.log(mu) if mu > 0 else 0)
    if law == "claret":
        return 1 - sum(a * (1 - mu ** (mpmath.mpf(k) / 2)) for k, a in enumerate(cs, 1))
    return 1 - cs[0] * (1 - mu ** cs[1])


def flux(law, cs):
    """int_0^1 2 x I dx, exactly (int_0^1 2 x mu^p dx = 2/(p + 2), int_0^1 2 x mu ln(mu) dx = -2/9)."""
    cs = [mpmath.mpf(c) for c in cs]
    if law == "linear":
        return 1 - cs[0] / 3
    if law == "quadratic":
        return 1 - cs[0] / 3 - cs[1] / 6
    if law == "square_root":
        return 1 - cs[0] / 3 - cs[1] / 5
    if law == "logarithmic":
        return 1 - cs[0] / 3 + 2 * cs[1] / 9
    if law == "claret":
        return 1 - sum(a * k / (k + 4) for k, a in enumerate(cs, 1))
    return 1 - cs[0] * cs[1] / (cs[1] + 2)


def check_star(law, cs):
    """The brightness at or above 0 on a grid of mu (a guard against a mistyped case)."""
    cs = [mpmath.mpf(c) for c in cs]
    least = min(brightness(law, cs, mpmath.mpf(i) / 4000) for i in range(4001))
    if least < 0:
        sys.exit(f"{law} {cs}: the brightness is negative on the disk ({least})")


def law_by_parts(law, cs, rho, l):
    with mpmath.workdps(digits(l)):
        cs = [mpmath.mpf(c) for c in cs]
        rho, l = mpmath.mpf(rho), mpmath.mpf(l)
        u = l * rho
        disk = lambda x: x * x * witt_mao(u, x * rho)

        def from_centre(theta):  # x = sin(theta), mu = cos(theta), up to the bend
            x, mu = mpmath.sin(theta), mpmath.cos(theta)
            return disk(x) * x * slope(law, cs, mu)

        # From the limb, in phi = pi/2 - theta = s^2: x = cos(phi), mu = sin(phi), so that mu keeps
        # its relative precision next to the limb, and mu^(-1/2) dphi is smooth in s. (In theta,
        # mu lost its precision where the rule's nodes crowd the end, and mu^(-1/2) there left the
        # square-root and Claret laws' references 1e-13 off at 25 digits, 2e-13 for
        # Claret(1, -4, 3.99, 0); in phi without s^2, 2e-15 off.)
        def from_limb(s):
            phi = s * s
            x, mu = mpmath.cos(phi), mpmath.sin(phi)
            return 0 if mu == 0 else disk(x) * x * slope(law, cs, mu) * 2 * s

        if 0 < l < 1:
            integral = (mpmath.quad(from_centre, [0, mpmath.asin(l)]) +
                        mpmath.quad(from_limb, [0, mpmath.sqrt(mpmath.acos(l))]))
        else:
            integral = mpmath.quad(from_limb, [0, mpmath.sqrt(mpmath.pi / 2)])
        magnified = brightness(law, cs, 0) * disk(1) + integral
        return mpmath.re(magnified) / flux(law, cs)


def law_two_dimensional(law, cs, rho, l, dps=20):
    """The brightness-weighted mean of the point-source magnification over the disk, in polar
    coordinates about the lens."""
    with mpmath.workdps(dps):
        cs = [mpmath.mpf(c) for c in cs]
        rho, l = mpmath.mpf(rho), mpmath.mpf(l)

        def weighted_point_source(v):  # v A_ps(v rho)
            w = v * rho
            return (w * w + 2) / (rho * mpmath.sqrt(w * w + 4))

        def arc(v):
            a, b = 1 - l * l - v * v, 2 * l * v
            top = mpmath.pi if l == 0 or v <= 1 - l else mpmath.acos((l * l + v * v - 1) / (2 * l * v))
            return 2 * mpmath.quad(lambda phi: brightness(law, cs, mpmath.sqrt(max(a + b * mpmath.cos(phi), 0))),
                                   [0, top])

        points = [l - 1, l + 1] if l >= 1 else ([0, 1 - l, 1 + l] if l > 0 else [0, 1])
        return mpmath.quad(lambda v: weighted_point_source(v) * arc(v), points) / (mpmath.pi * flux(law, cs))


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


def spot_check(names=None, tables=True):
    worst = 0
    for law, cs, rho, l in SPOTS:
        if names and law not in names:
            continue
        one, two = law_by_parts(law, cs, rho, l), law_two_dimensional(law, cs, rho, l)
        worst = max(worst, abs(one / two - 1))
        print(f"spot {law} {cs} rho {rho} l {l}: 1-D {mpmath.nstr(one, 20)} 2-D {mpmath.nstr(two, 20)}")
    for k, rho, l in TABLE_SPOTS if tables else []:
        one, two = table_by_parts(TABLES[k], rho, l), table_two_dimensional(TABLES[k], rho, l)
        worst = max(worst, abs(one / two - 1))
        print(f"spot table {k} rho {rho} l {l}: 1-D {mpmath.nstr(one, 20)} 2-D {mpmath.nstr(two, 20)}")
    print(f"1-D against 2-D at the spot points: {float(worst):.1e}")
    if worst > 1e-16:
        sys.exit("the two references disagree")


def law_line(case):
    law, cs, rho, l = case
    a = law_by_parts(law, cs, rho, l)
    return f"{law} {' '.join(repr(c) for c in cs)} {rho!r} {l!r} {mpmath.nstr(a, 25, min_fixed=-1, max_fixed=-1)}"


def law_lines(law, cs, jobs=1):
    check_star(law, cs)
    cases = [(law, cs, rho, l) for rho in LATER_RADII.get(law, RADII) for l in SEPARATIONS]
    if jobs <= 1:
        return [law_line(case) for case in cases]
    with concurrent.futures.ProcessPoolExecutor(jobs) as pool:
        return list(pool.map(law_line, cases))


def laws_text(names=None, jobs=1):
    """The laws' file; with `names`, the lines of those laws recomputed and the others as committed."""
    kept = {}
    if names:
        for line in LAWS_FILE.read_text().splitlines()[1:]:
            kept.setdefault(line.split()[0], []).append(line)
    lines = ["# law c... rho l A: by parts in mpmath (tools/gen_profile_reference.py), 25 digits"]
    done = set()
    for law, cs in LAWS:
        if names and law not in names:
            if law not in done:
                lines.extend(kept.get(law, []))
                done.add(law)
            continue
        lines.extend(law_lines(law, cs, jobs))
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
    parser.add_argument("--laws", help="the laws file only, the lines of these laws (comma-separated) only")
    parser.add_argument("--jobs", type=int, default=1, help="processes for the laws' lines (default 1)")
    args = parser.parse_args()
    names = set(args.laws.split(",")) if args.laws else None
    if names and names - {law for law, _ in LAWS}:
        sys.exit(f"no such law: {', '.join(sorted(names - {law for law, _ in LAWS}))}")
    only = "laws" if names else args.only
    if not args.no_spots:
        spot_check(names, tables=only != "laws")
    files = [(LAWS_FILE, lambda: laws_text(names, args.jobs), "laws"), (TABLES_FILE, tables_text, "tabulated")]
    for path, make, name in files:
        if only and only != name:
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
