#!/usr/bin/env python3
"""Record, or check, the exact bits of the limb-darkened and flux-map functions where their
computation must not change.

    .venv/bin/python tools/record_extended_bits.py          # writes tests/cpp/data/extended_source_bits.txt
    .venv/bin/python tools/record_extended_bits.py --check  # the installed module reproduces every line

`integrated_witt_mao_magnification` and `integrated_flux_map_witt_mao_magnification` split their
quadrature at the bends of the integrand when the lens is inside the source (0 <= l < 1). Where it
is not, they must give the same bits as the build from which this file was recorded (commit
f3acd84, before the split): separations from 1 to 1e5 source radii, the doubles next to 1,
negative, infinite and NaN separations, and for the limb-darkened disk l = 0 (its bend is then at
the end of the interval). The ring-based functions and the discrete map must give the same bits
everywhere, the lens inside the source included.

Lines:
- `map NAME N bl_0 .. bl_N-1 bf_0 .. bf_N-1`: a flux map, values as hexadecimal floats;
- `FUNCTION MAP rho l bits`: MAP a map name or `-` (no map), rho and l hexadecimal floats, the
  result of FUNCTION([l], 1.0, rho[, bl, bf]) as 16 hexadecimal digits (NaN with its sign).
tests/cpp/test_extended_bits.cpp checks the file against the C++ functions.

A second file, tests/cpp/data/extended_source_inside_bits.txt, holds the two split functions with
the lens inside the source (0 <= l < 1, and l next to 0 and 1), recorded from the build of commit
f8ed8e4, the first with the split, before the quadrature's nodes were evaluated a level at a time
on the kernel's lanes: every later build must give the same bits there too.

Only the first run records a file: it states what the older build gave, so rerunning the script
against a newer module would prove nothing. To record again, delete the file first.

    .venv/bin/python tools/record_extended_bits.py --update-redefined

records again, in both files, only the lines whose computation has since been defined anew, and
checks that every other line is reproduced as it stands: the two integrated flux maps, which
integrate over the pieces between the map's radii with a target relative to each piece (and give
the uniform disk's value, NaN, for a negative or NaN separation), and the limb-darkened disk at
l = +inf, where the uniform disk is now 1.
"""

import argparse
import math
import pathlib
import random
import struct
import sys

import mirvanta

DATA_DIR = pathlib.Path(__file__).resolve().parent.parent / "tests" / "cpp" / "data"
DATA = DATA_DIR / "extended_source_bits.txt"
INSIDE_DATA = DATA_DIR / "extended_source_inside_bits.txt"


def quadratic_law(r):
    mu = math.sqrt(max(0.0, 1 - r * r))
    return 1 - 0.4 * (1 - mu) - 0.25 * (1 - mu) ** 2


MAPS = {
    "quadratic40": ([i / 39 for i in range(40)], [quadratic_law(i / 39) for i in range(40)]),
    "one_point": ([0.4], [3.0]),
    "readme": ([0.0, 0.5, 0.9, 1.0], [1.0, 0.9, 0.6, 0.4]),
    "partial": ([0.1, 0.9], [1.0, 1.0]),
}
SPLIT = ["integrated_witt_mao_magnification", "integrated_flux_map_witt_mao_magnification"]
UNCHANGED = ["integrated_heyrovsky_magnification", "integrated_flux_map_heyrovsky_magnification",
             "discrete_flux_map_heyrovsky_magnification"]
RADII = [1e-4, 1e-3, 0.01, 0.05, 0.1, 0.3, 1.0, 3.0]


def outside_separations(rng):
    """Where the split functions keep their whole-interval quadrature."""
    ls = [0.0, -0.0, 1.0, math.nextafter(1.0, 2.0), 1.0 + 1e-9, 1.0001, 1.001, 1.01, 1.1, 1.5, 2.0, 3.0, 5.0,
          10.0, 30.0, 100.0, 1000.0, 1e5, -0.5, -1.0, -3.0, math.inf, -math.inf, math.nan]
    ls += [10 ** rng.uniform(0.0, 2.0) for _ in range(6)]
    return ls


def cases():
    rng = random.Random(20260620)
    out = []
    for rho in RADII:
        for l in outside_separations(rng):
            out.append((SPLIT[0], "-", rho, l))
            if l == 0.0:
                continue  # the flux map's annulus bends at x = 1e-4 with the lens at the centre
            for name in ("quadratic40", "one_point", "readme", "partial"):
                out.append((SPLIT[1], name, rho, l))
    # The ring-based functions and the discrete map, inside the source too.
    for rho in (1e-3, 0.05, 0.3):
        for l in (0.0, 0.2, 0.5, 0.9, 0.999, 1.0, 1.5, 3.0, 20.0, rng.uniform(0.0, 1.0), rng.uniform(1.0, 5.0)):
            out.append((UNCHANGED[0], "-", rho, l))
            for name in ("quadratic40", "one_point", "readme"):
                out.append((UNCHANGED[1], name, rho, l))
                out.append((UNCHANGED[2], name, rho, l + 1e-3))  # off the map's rings
    return out


def inside_cases():
    """The split functions with the lens inside the source, where the quadrature runs in pieces."""
    rng = random.Random(20261208)
    out = []
    for rho in RADII:
        ls = [0.0, 5e-324, 1e-12, 1e-9, 1e-4, 2e-4, 0.001, 0.1, 0.3, 0.5, 0.7, 0.9, 0.99, 0.9999, 1 - 1e-9,
              math.nextafter(1.0, 0.0)]
        ls += [rng.uniform(0.0, 1.0) for _ in range(4)]
        for l in ls:
            out.append((SPLIT[0], "-", rho, l))
            for name in ("quadratic40", "one_point", "readme", "partial"):
                out.append((SPLIT[1], name, rho, l))
    return out


def evaluate(name, map_name, rho, l):
    extra = MAPS[map_name] if map_name != "-" else ()
    return getattr(mirvanta, name)([l], 1.0, rho, *extra)[0]


def bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def line(name, map_name, rho, l):
    return f"{name} {map_name} {rho.hex()} {l.hex()} {bits(evaluate(name, map_name, rho, l)):016x}"


def map_lines():
    return [f"map {name} {len(bl)} " + " ".join(x.hex() for x in bl + bf) for name, (bl, bf) in MAPS.items()]


FLUX_MAPS = [SPLIT[1], UNCHANGED[1]]
REDEFINED_NOTE = ("# The integrated flux maps' lines, and the limb-darkened disk's at l = +inf, recorded again by "
                  "--update-redefined when the flux maps came to integrate between their radii.")


def redefined(name, l):
    """Lines whose computation has since been defined anew."""
    return name in FLUX_MAPS or (name == SPLIT[0] and l == math.inf)


def update_redefined(data):
    out, changed, bad = [], 0, 0
    for text in data.read_text().splitlines():
        if not text or text.startswith(("#", "map ")):
            out.append(text)
            continue
        name, map_name, rho_text, l_text, expected = text.split()
        rho, l = float.fromhex(rho_text), float.fromhex(l_text)
        now = line(name, map_name, rho, l)
        if now != text:
            if redefined(name, l):
                changed += 1
            else:
                bad += 1
                print(f"differs, and its computation was not redefined: {name} {map_name} rho = {rho!r}, l = {l!r}")
        out.append(now if redefined(name, l) else text)
    if bad:
        sys.exit(f"{bad} other values differ in {data}: nothing written")
    if REDEFINED_NOTE not in out:
        out.insert(next(i for i, t in enumerate(out) if not t.startswith("#")) - 1, REDEFINED_NOTE)
    data.write_text("\n".join(out) + "\n")
    print(f"{changed} values recorded again in {data}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="verify the installed module against the file")
    parser.add_argument("--update-redefined", action="store_true",
                        help="record again the lines whose computation has been defined anew")
    args = parser.parse_args()
    if args.update_redefined:
        for data in (DATA, INSIDE_DATA):
            update_redefined(data)
        return
    if args.check:
        rows = [r.split() for data in (DATA, INSIDE_DATA) for r in data.read_text().splitlines()
                if r and not r.startswith(("#", "map "))]
        bad = 0
        for name, map_name, rho_text, l_text, expected in rows:
            rho, l = float.fromhex(rho_text), float.fromhex(l_text)
            if f"{bits(evaluate(name, map_name, rho, l)):016x}" != expected:
                bad += 1
                print(f"differs: {name} {map_name} rho = {rho!r}, l = {l!r}")
        if bad:
            sys.exit(f"{bad} of {len(rows)} values differ")
        print(f"all {len(rows)} recorded values reproduced")
        return
    files = [(DATA, cases, ["# Bits of the limb-darkened and flux-map functions where their computation stays as it was,",
                            "# recorded by tools/record_extended_bits.py from the build of commit f3acd84."]),
             (INSIDE_DATA, inside_cases,
              ["# Bits of the limb-darkened and flux-map functions with the lens inside the source (split quadrature),",
               "# recorded by tools/record_extended_bits.py from the build of commit f8ed8e4."])]
    if all(data.exists() for data, _, _ in files):
        sys.exit("both files exist: they record older builds; delete one to record it again")
    for data, make, header in files:
        if data.exists():
            continue
        body = [line(*case) for case in make()]
        header = header + ["# map NAME N bl... bf... (hex floats); FUNCTION MAP rho l result-bits (hex floats, 64 bits hex)"]
        data.write_text("\n".join(header + map_lines() + body) + "\n")
        print(f"wrote {len(body)} values to {data}")


if __name__ == "__main__":
    main()
