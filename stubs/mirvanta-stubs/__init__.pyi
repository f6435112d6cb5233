"""Gravitational-microlensing magnification of a finite source star by a single point lens.

Units, shared by every function:

- ``l`` (and the ring radius ``r``, the map radii ``bl``): distances on the source plane in
  source radii; ``l`` is the distance from the lens to the centre of the source, 1 puts the lens
  on the limb.
- ``re`` (Einstein radius) and ``rstar`` (source radius): in any one common unit; only their
  ratio enters. rho = rstar / re is the source radius in Einstein radii, and a separation ``l`` is
  u = l * rho Einstein radii.

Sequence arguments take lists, tuples, ``range``, ``array.array``, ``bytes``, one-dimensional
NumPy arrays or any other sequence of real numbers; a ``str``, a generator, a ``dict`` or a
``set`` is refused. Results are plain Python floats, lists of floats in input order.
"""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, type_check_only

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "multi_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

# A real number as the module converts it: a float, or anything with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _RealArray(Protocol):
    # NumPy arrays and other array containers, which a type checker does not take for a Sequence.
    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Real: ...

# A sequence of real numbers as the module converts it.
_Reals: TypeAlias = Sequence[_Real] | _RealArray

class PanicException(BaseException):
    """An internal failure of the module's native code.

    Raised for a broken internal invariant, and by the three flux-map functions when ``bl`` and
    ``bf`` differ in length (the message is "assertion `left == right` failed" with both lengths).
    Like ``SystemExit`` it derives from ``BaseException``, so ``except Exception`` does not catch
    it. A short report goes to standard error first; the module stays usable for the next call.
    """

def witt_mao_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """Magnification of a uniformly bright source disk by a point lens, one value per separation.

    The closed form of Witt & Mao (1994), through the complete elliptic integrals K, E and Pi,
    evaluated on the module's pool of worker threads (sized once per process from
    ``RAYON_NUM_THREADS``, else the usable CPUs); the result does not depend on the pool size.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``; rho = rstar / re in Einstein radii.

    Returns:
        One magnification per item of ``l``, in input order.

    Raises:
        TypeError: an argument that does not bind or convert (a ``str`` or a non-sequence for
            ``l``, an item that is not a real number); its note names the parameter.

    Nothing in the computation raises: NaN marks a value the closed form cannot give (a NaN input,
    a negative separation, ``re`` = 0), +-inf a point source at zero separation (``rstar`` = 0).

    Accuracy: within max(0.001 * rho, 1e-5) Einstein radii of the limb the result is the exact
    value for a lens on the limb, constant across that band and jumping at its edges (by 0.3 % to
    0.4 % for rho from 0.01 to 1, by 17 % for rho = 1e-4). Up to u = 1000 * rho the closed
    form's rounding error grows as about 1e-16 * (u / rho)**2 (4e-10 at the end); beyond it a
    series in (rho / u)**2 takes over, within a few units in the last place, so the value jumps
    by up to about 4e-10 (relative) across u = 1000 * rho.
    """

def integrated_witt_mao_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """Magnification of a limb-darkened source by a point lens, one value per separation.

    Linear limb darkening with coefficient 0.6, I(r) = 1 - 0.6 * (1 - sqrt(1 - r**2)): the
    uniform-disk closed form integrated over the radius of the source by tanh-sinh quadrature
    (at most 385 uniform-disk evaluations per separation), on the calling thread.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``; rho = rstar / re in Einstein radii.

    Returns:
        One magnification per item of ``l``, in input order.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.

    Nothing in the computation raises; NaN inputs give NaN.

    Accuracy: with the lens outside the source, a few units in 1e-15 (against an independent
    integration over the disk, rho = 0.1); with the lens inside, about 1e-6 to 3e-6, where the
    quadrature does not resolve the annuli next to the lens. Its uniform part carries the limb
    band of ``witt_mao_magnification``.
    """

def integrated_flux_map_witt_mao_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """Magnification of a source with a tabulated brightness profile (a flux map), per separation.

    The brightness is ``bf[j]`` at radius ``bl[j]``, linear in between, ``bf[0]`` and ``bf[-1]``
    at the ends of the table and zero outside it. The result is the magnified flux of thin
    annuli (differences of uniform disks, half-width 1e-4 source radii), integrated over the
    radius of the source by tanh-sinh quadrature, divided by the map's unmagnified flux. Runs on
    the calling thread.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``; rho = rstar / re in Einstein radii.
        bl: radii of the map, as fractions of the source radius (0 centre, 1 limb), ascending.
        bf: brightness at each radius of ``bl``, in any unit.

    Returns:
        One magnification per item of ``l``, in input order; NaN for every item when the map has
        no flux (empty, all zero, or outside the disk).

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.
        PanicException: ``bl`` and ``bf`` differ in length (checked before any work).

    Accuracy: with the lens outside the source, within about 2e-7 of an independent sum of
    uniform disks (rho = 0.05, a 40-point map, u up to 3 * rho); farther out the annulus
    differences amplify the closed form's rounding (5e-9 at u / rho = 280 for a constant map).
    With the lens inside, the fixed quadrature nodes do not resolve the annuli next to the lens,
    and single values are off by several percent (up to 9 % in the case above; up to 10 % for a
    quadratic law at rho = 0.05 and 16 % at rho = 0.01, examples/quadratic_limb_darkening.py).
    There is no adaptive refinement.
    """

def multi_witt_mao_magnification(l: _Reals, re: _Reals, rstar: _Reals) -> list[list[float]]:
    """Uniform-disk magnifications for every pair of an Einstein radius and a source radius.

    For each pair (``re[j]``, ``rstar[k]``), with ``re`` outermost, the list that
    ``witt_mao_magnification(l, re[j], rstar[k])`` returns, bit for bit; pairs and separations
    are evaluated on the module's pool of worker threads.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radii, in the unit of ``rstar``.
        rstar: source radii, in the unit of ``re``.

    Returns:
        ``len(re) * len(rstar)`` lists, the pair (``re[j]``, ``rstar[k]``) at index
        ``j * len(rstar) + k``, each with one magnification per item of ``l``.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.

    Accuracy: that of ``witt_mao_magnification``.
    """

def heyrovsky_magnification(l: _Real, r: _Real, re: _Real, rstar: _Real) -> float:
    """Magnification of a thin ring on the source: the point-source magnification averaged over it.

    After Heyrovsky (2003), through the complete elliptic integrals K and Pi; one value.

    Args:
        l: distance from the lens to the centre of the ring, in source radii.
        r: radius of the ring, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``.

    Returns:
        The ring's magnification; +inf when the ring passes through the lens (``l`` = ``r`` > 0).

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.
        RuntimeError: an elliptic integral fails, with its message, e.g. "ellipk: Arguments
            cannot be NAN." for a negative or NaN ``l`` or ``r``, or ``rstar`` = 0.

    Accuracy: within abs(r - l) < 1e-5 a first-order expansion in f = r - l is used. Just outside
    that band the elliptic form loses digits: a relative error of about 1e-17 / f**2 for
    re = rstar (1e-7 at f = 1e-5, 7e-11 at f = 1e-3).
    """

def integrated_heyrovsky_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """Limb-darkened magnification from ring magnifications: not the physical value.

    Integrates pi * d/dx[x**2 * A(x)] * I(x) over the radius fraction x by tanh-sinh quadrature,
    with A the ring magnification of ``heyrovsky_magnification`` and I the linear limb-darkening
    law of coefficient 0.6: the derivative form that is exact for uniform-disk magnifications,
    applied to rings. Runs on the calling thread.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``.

    Returns:
        One value per item of ``l``, in input order.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.

    Nothing in the computation raises: failed ring magnifications count as zero (a NaN ``re``
    or ``rstar`` gives 0.0).

    Accuracy: against the physical limb-darkened magnification (rho = 0.1) it is +6.9 % high at
    l = 1.5, +1.3 % at 3 and +0.1 % at 10, and meaningless with the lens inside the source (-50 %
    at the centre, -139 % at l = 0.3). Use ``integrated_witt_mao_magnification`` for physics.
    """

def integrated_flux_map_heyrovsky_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """Flux-map magnification from ring magnifications: not the physical value.

    The form of ``integrated_heyrovsky_magnification`` with the tabulated brightness profile of
    ``integrated_flux_map_witt_mao_magnification`` (``bf`` at radii ``bl``, linear in between,
    zero outside the table), divided by the map's unmagnified flux. With a one-point map and the
    lens outside the source it gives the ring magnification at the limb, not the uniform disk.
    Runs on the calling thread.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``.
        bl: radii of the map, as fractions of the source radius (0 centre, 1 limb), ascending.
        bf: brightness at each radius of ``bl``, in any unit.

    Returns:
        One value per item of ``l``, in input order; NaN for every item when the map has no flux.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.
        PanicException: ``bl`` and ``bf`` differ in length (checked before any work).

    Accuracy: departs from the physical magnification like ``integrated_heyrovsky_magnification``
    (a few percent with the lens outside the source, meaningless inside).
    """

def discrete_flux_map_heyrovsky_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """Weighted sum of ring magnifications: sum over j of bf[j] * heyrovsky_magnification(l, bl[j]).

    For a source described by a few rings: the weights ``bf`` are used as given, so the result
    is a mean magnification when they sum to 1. Runs on the calling thread.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``.
        bl: radii of the rings, in source radii.
        bf: weight of each ring.

    Returns:
        One value per item of ``l``, in input order; 0.0 for an empty map. A separation equal to
        a ring radius gives +inf (NaN if that ring's weight is 0): the point-source magnification
        grows as 1 / distance next to the lens, so its mean over a ring through the lens diverges.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.
        RuntimeError: the first failing elliptic integral ends the call, with its message, e.g.
            "ellipk: Arguments cannot be NAN." for a negative or NaN separation or radius.
        PanicException: ``bl`` and ``bf`` differ in length (checked before any work).
    """
