"""Telling a steady measurement from a noisy one on a machine shared with other work.

Load from other processes only ever slows a round down, so the fastest rounds of a steady
measurement agree with each other; when even the two fastest are far apart, the machine was busy
during all but (at most) one of them, and a figure derived from that row (a difference of two
rows above all) cannot be trusted.
"""

import statistics

# The two fastest rounds of a steady row are within this fraction of each other.
STEADY = 0.05


def gap_of_best_two(values):
    """How far apart the two fastest rounds are, relative to the fastest; inf with one round."""
    fastest = sorted(values)[:2]
    return (fastest[1] - fastest[0]) / fastest[0] if len(fastest) == 2 and fastest[0] > 0 else float("inf")


def quartile_spread(values):
    """The spread of the middle half of the rounds, relative to their median; inf below 4 rounds."""
    if len(values) < 4:
        return float("inf")
    low, _, high = statistics.quantiles(values, n=4, method="inclusive")
    return (high - low) / statistics.median(values)


def noisy(values, measure=gap_of_best_two, limit=STEADY):
    return measure(values) > limit
