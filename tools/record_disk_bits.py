#!/usr/bin/env python3
"""Record, or check, the exact bits of the uniform-disk kernel where its form did not change.

    .venv/bin/python tools/record_disk_bits.py          # writes tests/cpp/data/disk_kernel_bits.txt
    .venv/bin/python tools/record_disk_bits.py --check  # the installed module reproduces every line
    .venv/bin/python tools/record_disk_bits.py --series [--check]  # disk_series_bits.txt likewise

The kernel's limb zone (|u - rho| < 0.04 rho), its series between 20 rho and 1000 rho, and the
forms for extreme radii are not covered by the default file. Everywhere else, the closed form and the
far-field series must give the same bits as the build from which this file was recorded (commit
8a5c804, the kernel with the constant limb band): the points are
- rho from 1e-10 to 100, u/rho in [0, 0.95] and [1.05, 20], and u/rho in (1000, 1e12], except
  where that build returned its constant limb band (|u - rho| < max(0.001 rho, 1e-5));
- negative radii (the point source), and negative and infinite separations.
Each line holds u and rho as hexadecimal floats and the 64 bits of witt_mao_magnification_scaled
(u, rho) as 16 hexadecimal digits (NaN included, with its sign). The kernel is reached through
witt_mao_magnification([u / rho], 1.0, rho), whose u is fl(fl(u / rho) * rho); the points are
chosen among those for which that product gives u back, so that the file states the kernel's own
arguments. DiskZones.RecordedBits (tests/cpp/test_disk_zones.cpp) checks the file
against the kernel.

With --series the script writes, or checks, tests/cpp/data/disk_series_bits.txt instead: the
bits of the two expansions beyond u = 20 rho (u/rho from 20 to 5000, log-uniform, and 1000 rho,
where one gives way to the other, with the doubles next to it), recorded from the build of commit
e8449b7. From about 300 rho outwards the two expansions give the same bits at nearly every point,
so a switch moved within that range changes no result (only the cost); moved further in, results
here change (at 200 rho ten of them; at 100 rho the mpmath comparison fails too). The points
below 1000 rho also pin the long expansion and its switch at 20 rho (moved to 25 rho: 43 points).

Only the first run records: a file states what an older build gave, so rerunning the script
against a newer module would prove nothing. To record again, delete the file first.

    .venv/bin/python tools/record_disk_bits.py --update-redefined

records again only the lines whose inputs the kernel has since been given values of their own (a
negative rho, which gives NaN, no longer the point source; an infinite u, which gives 1 for a finite
rho), checks that every other line is reproduced as it stands, and says so in the file's header.
"""

import argparse
import math
import pathlib
import random
import struct
import sys

import mirvanta

DATA_DIR = pathlib.Path(__file__).resolve().parent.parent / "tests" / "cpp" / "data"


def old_band(rho):
    """Half-width of the constant limb band of the recorded build."""
    return max(1e-3 * rho, 1e-5)


def outside_the_zones(u, rho):
    if not rho > 0 or not math.isfinite(u) or u < 0:
        return True
    d = abs(u - rho)
    return d >= 0.05 * rho and d >= old_band(rho) and (u <= 20 * rho or u > 1000 * rho)


def points():
    rng = random.Random(20260611)
    radii = [10.0 ** (e / 3) for e in range(-30, 7)] + [3.7e-9, 2.2e-6, 0.0037, 0.5, 2.7, 13.0, 77.0]
    ratios = [0.0, 1e-3, 0.1, 0.3, 0.5, 0.7, 0.9, 0.949, 0.95, 1.05, 1.051, 1.2, 1.5, 2.0, 3.0, 5.0, 8.0, 12.0,
              19.9, 20.0, 1000.0001, 1500.0, 1e4, 1e6, 1e9, 1e12]
    out = []
    for rho in radii:
        chosen = list(ratios)
        chosen += [rng.uniform(0.0, 0.95) for _ in range(8)]
        chosen += [rng.uniform(1.05, 20.0) for _ in range(8)]
        chosen += [10.0 ** rng.uniform(3.0, 12.0) for _ in range(4)]
        for ratio in chosen:
            u = ratio * rho
            if (u / rho) * rho == u and outside_the_zones(u, rho):
                out.append((u, rho))
    # The point source (rho < 0), negative and infinite separations.
    for u in (0.0, 0.5, 1.0, 3.0, -1.0, math.inf):
        for rho in (-1.0, -1e-3, 0.1, 1e-4):
            if (u / rho) * rho == u and outside_the_zones(u, rho):
                out.append((u, rho))
    return out


def series_points():
    """Spread over u/rho in [20, 5000], and 1000 rho itself with the doubles next to it."""
    rng = random.Random(20261207)
    radii = [10.0 ** (e / 2) for e in range(-20, 3)] + [3.7e-9, 0.0037, 0.05, 0.5, 2.7, 13.0]
    out = []
    for rho in radii:
        seam = 1000.0 * rho
        chosen = [20.5 * rho, 999.0 * rho, seam, math.nextafter(seam, 0.0), math.nextafter(seam, math.inf),
                  1001.0 * rho, 5000.0 * rho]
        chosen += [rho * 10.0 ** rng.uniform(math.log10(20.0), math.log10(5000.0)) for _ in range(14)]
        out += [(u, rho) for u in chosen if (u / rho) * rho == u and u > 20.0 * rho]
    return out


def kernel(u, rho):
    return mirvanta.witt_mao_magnification([u / rho], 1.0, rho)[0]


def bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def line(u, rho):
    return f"{u.hex()} {rho.hex()} {bits(kernel(u, rho)):016x}"


REDEFINED_NOTE = ("# Lines with rho < 0 or u = inf recorded again, by --update-redefined, when a negative rho came to "
                  "give NaN and u = +inf 1.")


def redefined(u, rho):
    """Inputs to which the kernel has since given values of their own."""
    return rho < 0 or math.isinf(u)


def update_redefined(data):
    lines = data.read_text().splitlines()
    out, changed, bad = [], 0, 0
    for text in lines:
        if not text or text.startswith("#"):
            out.append(text)
            continue
        u_text, rho_text, expected = text.split()
        u, rho = float.fromhex(u_text), float.fromhex(rho_text)
        now = line(u, rho)
        if now != text:
            if redefined(u, rho):
                changed += 1
            else:
                bad += 1
                print(f"differs, and its input was not redefined: u = {u!r}, rho = {rho!r}")
        out.append(now if redefined(u, rho) else text)
    if bad:
        sys.exit(f"{bad} other values differ: nothing written")
    if REDEFINED_NOTE not in out:
        out.insert(next(i for i, t in enumerate(out) if not t.startswith("#")) - 1, REDEFINED_NOTE)
    data.write_text("\n".join(out) + "\n")
    print(f"{changed} values recorded again in {data}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="verify the installed module against the file")
    parser.add_argument("--series", action="store_true", help="the two expansions, u/rho from 20 to 5000")
    parser.add_argument("--update-redefined", action="store_true",
                        help="record again the lines of inputs the kernel has given values of their own")
    args = parser.parse_args()
    data = DATA_DIR / ("disk_series_bits.txt" if args.series else "disk_kernel_bits.txt")
    if args.update_redefined:
        update_redefined(data)
        return
    if args.check:
        bad = 0
        rows = [r.split() for r in data.read_text().splitlines() if r and not r.startswith("#")]
        for u_text, rho_text, expected in rows:
            u, rho = float.fromhex(u_text), float.fromhex(rho_text)
            if f"{bits(kernel(u, rho)):016x}" != expected:
                bad += 1
                print(f"differs: u = {u!r}, rho = {rho!r}")
        if bad:
            sys.exit(f"{bad} of {len(rows)} values differ")
        print(f"all {len(rows)} recorded values reproduced")
        return
    if data.exists():
        sys.exit(f"{data} exists: it records an older build; delete it to record again")
    if args.series:
        chosen, title, build = series_points(), "kernel's two expansions, u/rho from 20 to 5000", "--series from the build of commit e8449b7"
    else:
        chosen, title, build = points(), "kernel outside its limb zone, mid-far series and extreme radii", "from the build of commit 8a5c804"
    body = [line(u, rho) for u, rho in chosen]
    header = [f"# Bits of the uniform-disk {title},",
              f"# recorded by tools/record_disk_bits.py {build}.",
              "# u (hex float)  rho (hex float)  witt_mao_magnification_scaled(u, rho) (64 bits, hex)"]
    data.write_text("\n".join(header + body) + "\n")
    print(f"wrote {len(body)} values to {data}")


if __name__ == "__main__":
    main()
