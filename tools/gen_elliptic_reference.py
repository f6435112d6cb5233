#!/usr/bin/env python3
"""Generate the reference data for the elliptic-integral unit tests.

    .venv/bin/python tools/gen_elliptic_reference.py      # rewrite tests/cpp/data/*.txt

Each file holds one family of cases, one case a line: the inputs as exactly representable
doubles (shortest repr), then the expected value to 40 significant digits, computed by mpmath at
50 digits. Principal values (Pi with n > 1, RJ with p < 0) are the real parts of mpmath's
continuation, which equal the principal value there. The inputs are drawn from a fixed seed, so
the files are reproducible.
"""

import argparse
import math
import pathlib
import random

import mpmath

mpmath.mp.dps = 50
DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "cpp" / "data"
rng = random.Random(20261207)


def expected(value):
    value = mpmath.re(value)
    if mpmath.isinf(value):
        return "inf" if value > 0 else "-inf"
    return mpmath.nstr(value, 40, min_fixed=-1, max_fixed=-1) if value != 0 else "0"


def write(name, header, rows):
    lines = [f"# {header}", "# inputs..., expected (40 significant digits, mpmath)"]
    for inputs, value in rows:
        lines.append(" ".join(repr(float(x)) for x in inputs) + " " + value)
    (DATA / f"{name}.txt").write_text("\n".join(lines) + "\n")
    print(f"{name}: {len(rows)} cases")


def uniform(lo, hi, count):
    return [rng.uniform(lo, hi) for _ in range(count)]


def log_uniform(lo, hi, count):
    return [math.exp(rng.uniform(math.log(lo), math.log(hi))) for _ in range(count)]


def seam_points():
    """Every row boundary of the polynomial tables, with its neighbouring doubles."""
    boundaries = [0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9]
    points = []
    for b in boundaries:
        points += [math.nextafter(b, -1.0), b, math.nextafter(b, 2.0)]
    return points


def m_regions():
    """Named regions of the parameter m."""
    rows = {}
    rows["polynomial"] = uniform(0.0, 0.9, 400)
    rows["seams"] = seam_points() + [-0.05, math.nextafter(-0.05, -1.0)]
    # -0.05 < m < 0 falls into the first row, whose polynomial is then used outside its interval.
    rows["row0_negative"] = [math.nextafter(-0.05, 0.0), -0.04, -0.01, math.nextafter(0.0, -1.0)] + uniform(-0.05, 0.0, 20)
    rows["near_one"] = [1.0 - 2.0**-k for k in range(4, 53)] + uniform(0.9, 1.0, 100)
    rows["negative"] = [-x for x in log_uniform(0.05, 1e6, 150)] + [-1.0, -20.0, -1e10, -1e17]
    return rows


def legendre_files():
    for name, function in (("ellipk", mpmath.ellipk), ("ellipe", mpmath.ellipe)):
        for region, ms in m_regions().items():
            if name == "ellipe" and region == "negative":
                ms = ms + [-1e100, -1e300]
            rows = [((m,), expected(function(mpmath.mpf(m)))) for m in ms]
            write(f"{name}_{region}", f"{name}(m), {region}", rows)

    def pi_rows(pairs):
        return [((n, m), expected(mpmath.ellippi(mpmath.mpf(n), mpmath.mpf(m)))) for n, m in pairs]

    ms = uniform(-5.0, 0.999, 120)
    write("ellippi_n_in_0_1", "ellippi(n, m), 0 < n < 1",
          pi_rows(zip(uniform(0.0, 0.999, 120), ms)))
    write("ellippi_n_negative", "ellippi(n, m), n < 0",
          pi_rows(zip([-x for x in log_uniform(1e-3, 1e4, 120)], uniform(-5.0, 0.999, 120))))
    write("ellippi_n_above_1", "ellippi(n, m), n > 1 (principal value)",
          pi_rows(zip([1.0 + x for x in log_uniform(1e-6, 1e4, 120)], uniform(-5.0, 0.999, 120))))
    special = [(m, m) for m in uniform(0.01, 0.99, 20)] + [(0.0, m) for m in uniform(-3.0, 0.99, 20)]
    special += [(n, 0.0) for n in uniform(-3.0, 0.99, 20)] + [(0.0, 0.0)]
    special += [(math.nextafter(1.0, 2.0), m) for m in uniform(-3.0, 0.99, 10)]
    write("ellippi_special", "ellippi(n, m) at n = m, n = 0, m = 0 and n just above 1", pi_rows(special))


def carlson_files():
    def rows(function, cases):
        return [(case, expected(function(*[mpmath.mpf(x) for x in case]))) for case in cases]

    def positive(count, arity, lo=1e-3, hi=1e3):
        return [tuple(log_uniform(lo, hi, arity)) for _ in range(count)]

    write("rf_xyz", "elliprf, three distinct positive arguments", rows(mpmath.elliprf, positive(150, 3)))
    write("rf_xy0", "elliprf, one zero argument", rows(
        mpmath.elliprf, [(0.0, y, z) for y, z in positive(60, 2)] + [(x, 0.0, z) for x, z in positive(30, 2)]))
    write("rf_xyy", "elliprf, two equal arguments", rows(
        mpmath.elliprf, [(x, y, y) for x, y in positive(60, 2)] + [(y, x, y) for x, y in positive(30, 2)]))
    write("rc_xy", "elliprc, positive arguments", rows(mpmath.elliprc, positive(120, 2)))
    write("rc_y_negative", "elliprc, y < 0 (principal value)",
          rows(mpmath.elliprc, [(x, -y) for x, y in positive(60, 2)]))
    write("rd_xyz", "elliprd, positive arguments", rows(mpmath.elliprd, positive(150, 3)))
    write("rd_0yz", "elliprd, x = 0", rows(mpmath.elliprd, [(0.0, y, z) for y, z in positive(80, 2)]))
    write("rj_xyzp", "elliprj, positive arguments", rows(mpmath.elliprj, positive(150, 4)))
    close = []
    for y, x in positive(60, 2):
        close.append((x, y, y, y * rng.uniform(0.85, 1.18)))
    write("rj_xyyp", "elliprj, y = z, with p near y and far from it",
          rows(mpmath.elliprj, close + [(x, y, y, p) for x, y, p in positive(60, 3)]))
    write("rj_0yzp", "elliprj, x = 0 (as Pi uses it)", rows(mpmath.elliprj, [(0.0, y, 1.0, p) for y, p in positive(100, 2)]))
    write("rj_p_negative", "elliprj, p < 0 (principal value)",
          rows(mpmath.elliprj, [(x, y, z, -p) for x, y, z, p in positive(100, 4)]))


def complement_files():
    """K, E and Pi from the complements 1 - n and 1 - m, as the limb zone of the disk and the zone
    next to a ring pass them: 1 - n log-uniform in [1e-32, 1e-2] and 1 - m log-uniform between
    1 - n and 1. n is the double nearest 1 - (1 - n); the references take n = 1 - (1 - n) exactly.
    Drawn from a seed of their own, so that they do not depend on the files above."""
    draw = random.Random(20260710)
    cases = []
    for _ in range(150):
        one_minus_n = math.exp(draw.uniform(math.log(1e-32), math.log(1e-2)))
        one_minus_m = math.exp(draw.uniform(math.log(one_minus_n), 0.0))
        cases.append((1.0 - one_minus_n, one_minus_n, one_minus_m))
    with mpmath.workdps(100):  # 1 - n down to 1e-32, and 50 digits after it
        for name, function in (("k", lambda n, m: mpmath.ellipk(m)), ("e", lambda n, m: mpmath.ellipe(m)),
                               ("pi", mpmath.ellippi)):
            rows = []
            for case in cases:
                n, m = 1 - mpmath.mpf(case[1]), 1 - mpmath.mpf(case[2])
                rows.append((case, expected(function(n, m))))
            write(f"complements_{name}", f"{name} from the complements: n, 1 - n, 1 - m", rows)


def main():
    argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                            epilog="Rewrites tests/cpp/data/ (takes a few minutes).").parse_args()
    DATA.mkdir(parents=True, exist_ok=True)
    legendre_files()
    carlson_files()
    complement_files()


if __name__ == "__main__":
    main()
