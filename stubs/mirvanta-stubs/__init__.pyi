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

The functions in Einstein radii, ``magnification``, ``point_source_magnification`` and
``light_curve``, take numbers or arrays of any shape (NumPy broadcasting) and return a float or a
float64 NumPy array; their ``limb`` is None (a uniform disk) or one of the brightness laws
``Linear``, ``Quadratic``, ``SquareRoot``, ``Power2``, ``Logarithmic``, ``Claret`` and ``Profile``.
``fit_fluxes`` solves the source and blend fluxes of light curves linearly and returns a
``FluxFit`` named tuple.
"""

from collections.abc import Sequence
from typing import Any, Final, NamedTuple, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final, overload, type_check_only

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "multi_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
    "magnification",
    "point_source_magnification",
    "light_curve",
    "magnification_and_gradient",
    "light_curve_and_jacobian",
    "fit_fluxes",
    "Linear",
    "Quadratic",
    "SquareRoot",
    "Power2",
    "Logarithmic",
    "Claret",
    "Profile",
    "FluxFit",
]

__version__: Final[str]

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
    ``RAYON_NUM_THREADS``, else the usable CPUs), or on the calling thread while the system refuses
    the pool its threads (a ``RuntimeWarning`` says so once), each thread taking runs of
    separations several at a time on SIMD lanes (four with AVX2 where the CPU has it, else two
    with SSE2; x86-64 only). The result does not depend on the pool, the thread or the lanes, to
    the bit.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``; rho = rstar / re in Einstein radii.

    Returns:
        One magnification per item of ``l``, in input order.

    Raises:
        TypeError: an argument that does not bind or convert (a ``str`` or a non-sequence for
            ``l``, an item that is not a real number); its note names the parameter.
        RuntimeError: in a child process forked, while the workers computed the call, by a signal
            handler or a garbage-collector callback that the call ran (the parent is unaffected).

    Nothing in the computation raises: NaN marks a value the closed form cannot give (a NaN input,
    a negative separation, ``re`` = 0, a negative ``rstar`` or ``re``: never a negative value),
    +inf a point source on the lens (``rstar`` = 0); an infinite separation gives 1.

    Accuracy: within 7.4e-13 (relative) of the exact value for every separation and every rho from
    1e-10 to 100, and never below 1 for any rho (where rounding would leave the closed form just
    below 1, for rho above about 100, the result is 1; within 2.1e-13 up to rho = 2**27). Within 0.04 * rho of the limb (the limb zone) the closed
    form takes its elliptic integrals from 1 - n and 1 - m, within a few units in 1e-15, and on the
    limb itself its exact limb value; outside the zone the closed form is good to 7.4e-13 at the
    zone's edge and better farther from it. Beyond u = 20 * rho the mean over the disk is a series
    in (rho / u)**2, within a few units in the last place. The value moves by at most 8.4e-13
    (relative) where one form gives way to another. Every finite positive u and rho give a finite
    value (exactly 1 for rho above 2**27).
    """

def integrated_witt_mao_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """Magnification of a limb-darkened source by a point lens, one value per separation.

    Linear limb darkening with coefficient 0.6, I(r) = 1 - 0.6 * (1 - sqrt(1 - r**2)): the
    uniform-disk closed form integrated over the radius of the source by tanh-sinh quadrature
    (385 uniform-disk evaluations per separation; with the lens inside the source, 0 <= l < 1,
    twice that: the integral is split where the disks' limbs cross the lens). The separations are
    evaluated on the module's pool of worker threads, each separation's quadrature on one thread,
    so that the result does not depend on the pool size, to the bit.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``; rho = rstar / re in Einstein radii.

    Returns:
        One magnification per item of ``l``, in input order.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.

    Nothing in the computation raises; NaN inputs, a negative separation and a negative ``rstar``
    or ``re`` give NaN.

    Accuracy: against an independent two-dimensional integration over the disk (rho from 1e-4
    to 1, the lens from the centre to 3 radii out), within 2e-14, inside the source as outside.
    """

def integrated_flux_map_witt_mao_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """Magnification of a source with a tabulated brightness profile (a flux map), per separation.

    The brightness is ``bf[j]`` at radius ``bl[j]``, linear in between, ``bf[0]`` and ``bf[-1]``
    at the ends of the table and zero outside it (one radius: ``bf[0]`` over the whole disk). The
    result is the magnified flux of thin annuli (differences of uniform disks, half-width 1e-4
    source radii), integrated over the radius of the source by tanh-sinh quadrature over each
    piece between two neighbouring radii, divided by the map's unmagnified flux over the same
    pieces; with the lens inside the source (0 <= l < 1) a piece is also split where the annuli
    start and stop containing the lens, x = l - 1e-4 and l + 1e-4. The cost grows with the
    number of radii (a 40-radius map about 0.7 ms per separation on one thread). The separations
    are evaluated on the module's pool of worker threads, each separation's quadrature on one
    thread, so that the result does not depend on the pool size, to the bit.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``; rho = rstar / re in Einstein radii.
        bl: radii of the map, as fractions of the source radius (0 centre, 1 limb), finite and
            ascending (two equal radii make a step).
        bf: brightness at each radius of ``bl``, in any unit, finite and not negative.

    Returns:
        One magnification per item of ``l``, in input order. Where the uniform disk has no finite
        value (a NaN or negative ``l``, ``re`` = 0, a negative ``rstar`` or ``re``: NaN;
        ``rstar`` = 0: +inf) the result is that value.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.
        ValueError: the map is not one, checked before any separation: a radius that is not
            finite or lies below the one before it, a brightness that is negative, infinite or
            NaN (the message names ``bl`` or ``bf`` and the first such index), no radius, or no
            flux on the disk (dark everywhere between radii 0 and 1).
        PanicException: ``bl`` and ``bf`` differ in length (checked before any work).

    Accuracy: against the exact integral of the same piecewise-linear profile (rho from 1e-4 to
    1, the lens from 0.05 to 10 source radii), within 1e-6 for maps of 40 to 200 random radii,
    steps and maps that cover part of the disk: what is left is the annuli's width, which adds
    its own error near the centre and the limb: for a constant map about -1.7e-9 / l
    (-1.6e-7 at l = 0.01) and -3.9e-5 with the lens at the centre, about 4.5e-10 / (1 - l) near
    the limb and -9.4e-6 with the lens on it, and blurs features not much wider than the annuli
    (a band 0.01 source radii wide: 8.7e-6). The annulus differences multiply the uniform disk's
    error by about 2500 * x at radius fraction x.
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
        RuntimeError: in a forked child, as for ``witt_mao_magnification``.

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
        The ring's magnification; +inf when the ring passes through the lens (``l`` = ``r`` > 0);
        NaN for a negative ``rstar`` or ``re`` (only their ratio enters).

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.
        RuntimeError: an elliptic integral fails, with its message, e.g. "ellipk: Arguments
            cannot be NAN." for a negative or NaN ``l`` or ``r``, or ``rstar`` = 0.

    Accuracy: within 1e-12 (relative) of the mean over the ring for ring radii and source sizes
    from 1e-7 to 10, and within 5e-16 at scales from 1e-300 to 1e300 (rings and Einstein radii
    far apart in size are computed at a scale where nothing over- or underflows). Within abs(r - l) < 0.02 * (l + r) of the ring the elliptic integrals are
    taken from 1 - n and 1 - m, within a few units in 1e-16; outside, the elliptic form is good
    to 4.5e-13 at that edge and better farther away.
    """

def integrated_heyrovsky_magnification(l: _Reals, re: _Real, rstar: _Real) -> list[float]:
    """Limb-darkened magnification from ring magnifications: not the physical value.

    Integrates pi * d/dx[x**2 * A(x)] * I(x) over the radius fraction x by tanh-sinh quadrature,
    with A the ring magnification of ``heyrovsky_magnification`` and I the linear limb-darkening
    law of coefficient 0.6: the derivative form that is exact for uniform-disk magnifications,
    applied to rings. The separations are evaluated on the module's pool of worker threads, each
    separation's quadrature on one thread, so that the result does not depend on the pool size,
    to the bit.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``.

    Returns:
        One value per item of ``l``, in input order.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.

    Nothing in the computation raises: failed ring magnifications count as zero (a NaN ``re``
    or ``rstar`` gives 0.0); a negative ``rstar`` or ``re`` gives NaN.

    Accuracy: against the physical limb-darkened magnification (rho = 0.1) it is +6.9 % high at
    l = 1.5, +1.3 % at 3 and +0.1 % at 10, and not a physical value at all with the lens inside
    the source (-50 % at the centre, -139 % at l = 0.3). Use
    ``integrated_witt_mao_magnification`` for physics.
    """

def integrated_flux_map_heyrovsky_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """Flux-map magnification from ring magnifications: not the physical value.

    The form of ``integrated_heyrovsky_magnification`` with the tabulated brightness profile of
    ``integrated_flux_map_witt_mao_magnification`` (``bf`` at radii ``bl``, linear in between,
    zero outside the table), integrated over each piece between two neighbouring radii, divided
    by the map's unmagnified flux. With a one-point map and the
    lens outside the source it gives the ring magnification at the limb, not the uniform disk.
    The separations are evaluated on the module's pool of worker threads, each separation's
    quadrature on one thread, so that the result does not depend on the pool size, to the bit.

    Args:
        l: separations between the lens and the centre of the source, in source radii.
        re: Einstein radius, in the unit of ``rstar``.
        rstar: source radius, in the unit of ``re``.
        bl: radii of the map, as fractions of the source radius (0 centre, 1 limb), ascending.
        bf: brightness at each radius of ``bl``, in any unit.

    Returns:
        One value per item of ``l``, in input order; NaN for a negative ``rstar`` or ``re``.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.
        ValueError: the map is not one, as for ``integrated_flux_map_witt_mao_magnification``.
        PanicException: ``bl`` and ``bf`` differ in length (checked before any work).

    Accuracy: departs from the physical magnification like ``integrated_heyrovsky_magnification``
    (a few percent with the lens outside the source; inside, not a physical value at all).
    """

def discrete_flux_map_heyrovsky_magnification(
    l: _Reals, re: _Real, rstar: _Real, bl: _Reals, bf: _Reals
) -> list[float]:
    """Weighted sum of ring magnifications: sum over j of bf[j] * heyrovsky_magnification(l, bl[j]).

    For a source described by a few rings: the weights ``bf`` are used as given, so the result
    is a mean magnification when they sum to 1. With the lens inside the source it is the
    magnification of those rings, not of a disk: not a physical value there (four rings of the
    limb-darkened disk are 6 % low with the lens between them at l = 0.5). The separations are
    evaluated on the module's pool of worker threads, each separation's sum on one thread, so
    that the result does not depend on the pool size, to the bit.

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
        A negative ``rstar`` or ``re`` gives NaN. Radii and weights are taken as they are, in any
        order and of any sign.

    Raises:
        TypeError: an argument that does not bind or convert; its note names the parameter.
        RuntimeError: the first failing elliptic integral, in the order of ``l`` and then of the
            map, ends the call, with its message, e.g. "ellipk: Arguments cannot be NAN." for a
            negative or NaN separation or radius.
        PanicException: ``bl`` and ``bf`` differ in length (checked before any work).
    """

@final
class Linear:
    """Linear limb darkening: I(mu) = 1 - c (1 - mu), mu = sqrt(1 - x^2).

    ``c`` is the usual linear coefficient u; the microlensing convention
    I(mu) = 1 - Gamma (1 - 3 mu / 2) maps to c = 3 Gamma / (2 + Gamma), Gamma = 2 c / (3 - c)
    (``Linear.from_gamma``).
    ``c`` must be at most 1 (a brightness at the limb, 1 - c, not negative). Immutable, hashable,
    picklable; ``Linear(0.6)`` is the law of ``integrated_witt_mao_magnification``.
    """

    __match_args__ = ("c",)
    def __new__(cls, c: _Real) -> Linear: ...
    @classmethod
    def from_gamma(cls, gamma: _Real, /) -> Linear:
        """The linear law of microlensing papers (An et al. 2002), I(mu) = 1 - gamma (1 - 3 mu / 2)
        at unit mean: ``Linear(3 gamma / (2 + gamma))``. ``gamma`` above -2 and at most 1."""
    @property
    def c(self) -> float: ...

@final
class Quadratic:
    """Quadratic limb darkening: I(mu) = 1 - a (1 - mu) - b (1 - mu)^2, mu = sqrt(1 - x^2).

    ``a`` and ``b`` are the usual u1 and u2; they must keep the brightness at or above 0 on the
    disk. Immutable, hashable, picklable.
    """

    __match_args__ = ("a", "b")
    def __new__(cls, a: _Real, b: _Real) -> Quadratic: ...
    @property
    def a(self) -> float: ...
    @property
    def b(self) -> float: ...

@final
class SquareRoot:
    """Square-root limb darkening: I(mu) = 1 - c (1 - mu) - d (1 - sqrt(mu)), mu = sqrt(1 - x^2).

    ``c`` and ``d`` must keep the brightness at or above 0 on the disk. Immutable, hashable,
    picklable.
    """

    __match_args__ = ("c", "d")
    def __new__(cls, c: _Real, d: _Real) -> SquareRoot: ...
    @property
    def c(self) -> float: ...
    @property
    def d(self) -> float: ...

@final
class Power2:
    """Power-2 limb darkening: I(mu) = 1 - c (1 - mu^alpha), mu = sqrt(1 - x^2).

    ``alpha`` above 0 and ``c`` at most 1. Maxted's h1, h2 map to c = 1 - h1 + h2,
    alpha = log2(c / h2). Immutable, hashable, picklable.
    """

    __match_args__ = ("c", "alpha")
    def __new__(cls, c: _Real, alpha: _Real) -> Power2: ...
    @property
    def c(self) -> float: ...
    @property
    def alpha(self) -> float: ...

@final
class Logarithmic:
    """Logarithmic limb darkening: I(mu) = 1 - c (1 - mu) - d mu ln(mu), mu = sqrt(1 - x^2).

    ``c`` and ``d`` (Claret's e and f) must keep the brightness at or above 0 on the disk: c <= 1,
    and where d < 0 and c > d, 1 - c + d exp(c/d - 1) >= 0. Immutable, hashable, picklable.
    """

    __match_args__ = ("c", "d")
    def __new__(cls, c: _Real, d: _Real) -> Logarithmic: ...
    @property
    def c(self) -> float: ...
    @property
    def d(self) -> float: ...

@final
class Claret:
    """Claret's four-coefficient limb darkening:
    I(mu) = 1 - a1 (1 - mu^(1/2)) - a2 (1 - mu) - a3 (1 - mu^(3/2)) - a4 (1 - mu^2).

    ``a1`` to ``a4`` as in the tables of model stellar atmospheres; they must keep the brightness
    at or above 0 on the disk. Immutable, hashable, picklable.
    """

    __match_args__ = ("a1", "a2", "a3", "a4")
    def __new__(cls, a1: _Real, a2: _Real, a3: _Real, a4: _Real) -> Claret: ...
    @property
    def a1(self) -> float: ...
    @property
    def a2(self) -> float: ...
    @property
    def a3(self) -> float: ...
    @property
    def a4(self) -> float: ...

@final
class Profile:
    """A tabulated brightness profile over the radius fraction (0 at the centre, 1 at the limb).

    ``brightness[i]`` at ``radii[i]``, linear between the radii and 0 outside them, as the flux
    maps read ``bl`` and ``bf``; equal radii make a step. Integrated exactly. The radii ascending
    within [0, 1], the brightness finite, at least 0 and not 0 everywhere, of any scale. Immutable,
    hashable, picklable; ``radii`` and ``brightness`` come back as tuples.
    """

    __match_args__ = ("radii", "brightness")
    def __new__(cls, radii: _Reals, brightness: _Reals) -> Profile: ...
    @property
    def radii(self) -> tuple[float, ...]: ...
    @property
    def brightness(self) -> tuple[float, ...]: ...

_Law: TypeAlias = Linear | Quadratic | SquareRoot | Power2 | Logarithmic | Claret | Profile
# A number that gives a float back (an array, though it has __float__, gives an array).
_Number: TypeAlias = float | np.floating[Any] | np.integer[Any]

@overload
def magnification(  # type: ignore[overload-overlap]  # a number gives a float, an array an array
    u: _Number, rho: _Number, limb: _Law | None = None, *, rtol: _Real = 1e-10
) -> float: ...
@overload
def magnification(u: ArrayLike, rho: ArrayLike, limb: _Law | None = None, *, rtol: _Real = 1e-10) -> NDArray[np.float64]:
    """Magnification of a finite source star by a single point lens, in Einstein radii.

    Args:
        u: separation of the lens from the centre of the source, in Einstein radii (>= 0); a
            number or an array of any shape.
        rho: source radius in Einstein radii (>= 0), broadcast against ``u``; 0 is a point source.
        limb: None for a uniformly bright disk, else a brightness law (``Linear``, ``Quadratic``,
            ``SquareRoot``, ``Power2``, ``Logarithmic``, ``Claret``) or a tabulated ``Profile``.
        rtol: relative tolerance of the integral over the source for a law or a profile.

    Returns:
        A float for numbers, else a float64 array of the broadcast shape. NaN gives NaN.

    Raises:
        ValueError: a negative ``u`` or ``rho`` (naming the first bad index), shapes that do not
            broadcast, or ``rtol`` outside (0, 1).
        TypeError: an argument that is not a real number or an array of real numbers (complex,
            datetime64, timedelta64, str or bytes values, a masked array), or a ``limb`` that is
            not a law; its note names the parameter.

    Warns:
        RuntimeWarning: values that could not be brought within ``rtol`` (they hold the best
            estimate).
    """

@overload
def point_source_magnification(u: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def point_source_magnification(u: ArrayLike) -> NDArray[np.float64]:
    """Magnification of a point source, (u^2 + 2) / (u sqrt(u^2 + 4)), u in Einstein radii.

    A float for a number, else a float64 array of u's shape; u = 0 gives inf, a negative u raises
    ValueError.
    """

@overload
def light_curve(  # type: ignore[overload-overlap]
    t: _Number, t0: _Number, u0: _Number, tE: _Number, rho: _Number, limb: _Law | None = None, *, rtol: _Real = 1e-10
) -> float: ...
@overload
def light_curve(
    t: ArrayLike, t0: ArrayLike, u0: ArrayLike, tE: ArrayLike, rho: ArrayLike, limb: _Law | None = None, *,
    rtol: _Real = 1e-10
) -> NDArray[np.float64]:
    """Magnification along a straight lens-source trajectory, in Einstein radii; many events at once.

    u(t) = sqrt(u0^2 + ((t - t0) / tE)^2), then ``magnification(u(t), rho, limb, rtol=rtol)``.

    Args:
        t: times of the observations, in the unit of ``t0`` and ``tE``: numbers, not datetime64
            (TypeError).
        t0: time of closest approach.
        u0: impact parameter in Einstein radii (its sign does not matter).
        tE: Einstein radius crossing time (finite, > 0).
        rho: source radius in Einstein radii (>= 0).
        limb: as for ``magnification``.
        rtol: as for ``magnification``.

    All five broadcast against each other as NumPy does: parameters of shape (n, 1) against times
    of shape (m,) are n events of m epochs, an (n, m) result. Each event (the trailing axes along
    which t0, u0 and tE are constant; rho may vary within it) is computed as by a call of its own,
    to the bit; events of one radius each run in parallel on the module's worker pool.

    Returns:
        A float when all five are numbers, else a float64 array of the broadcast shape.

    Raises:
        ValueError: a ``tE`` not finite or not above 0, a ``t0`` or ``u0`` not finite, a negative
            ``rho`` (each naming the first bad index), or shapes that do not broadcast (naming
            them).
    """

@overload
def magnification_and_gradient(  # type: ignore[overload-overlap]
    u: _Number, rho: _Number, limb: _Law | None = None, *, rtol: _Real = 1e-10
) -> tuple[float, float, float, NDArray[np.float64]]: ...
@overload
def magnification_and_gradient(
    u: ArrayLike, rho: ArrayLike, limb: _Law | None = None, *, rtol: _Real = 1e-10
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """The magnification and its exact derivatives, in Einstein radii.

    Arguments as for ``magnification``. Returns ``(A, dA_du, dA_drho, dA_dlimb)``: floats for
    numbers, else float64 arrays of the broadcast shape; ``dA_dlimb`` an array of that shape with
    one more axis, one column per coefficient of the law in its constructor's order (none for the
    uniform disk, one per brightness value of a ``Profile``). Each derivative is within ``rtol`` of
    the larger of its size and A/rho (A for a coefficient's). Where the lens lies exactly on the
    limb of a uniformly bright part of the source dA/du is -inf and dA/drho +inf (their
    logarithmic divergence).
    """

def light_curve_and_jacobian(
    t: ArrayLike, t0: ArrayLike, u0: ArrayLike, tE: ArrayLike, rho: ArrayLike, limb: _Law | None = None, *,
    rtol: _Real = 1e-10
) -> tuple[float | NDArray[np.float64], NDArray[np.float64]]:
    """A light curve and its exact Jacobian in the event's parameters, u0 and rho in Einstein radii.

    Arguments as for ``light_curve``, batches of events included (t, t0, u0, tE and rho broadcast
    against each other; each event's rows are those of the event alone). Returns ``(A, J)``: A as
    ``light_curve`` returns it, J a
    float64 array of A's shape with one more axis: dA/dt0, dA/du0, dA/dtE, dA/drho, then one column
    per coefficient of the law. At u = 0 (u0 = 0 at t = t0) the first three hold their limit, 0.
    """

class FluxFit(NamedTuple):
    """FluxFit(fs, fb, cov, chi2): the result of ``fit_fluxes``, a named tuple.

    The source flux ``fs`` and the blend flux ``fb`` of flux = fs A + fb, their covariance ``cov``
    (rows and columns fs, fb: the inverse of the normal matrix with weights 1 / sigma**2, not
    rescaled by chi2) and the chi-square ``chi2`` of the fit. ``fs``, ``fb`` and ``chi2`` are floats
    for one data set, else float64 arrays of the batch's shape; ``cov`` has that shape and (2, 2)
    after it.
    """

    fs: float | NDArray[np.float64]
    fb: float | NDArray[np.float64]
    cov: NDArray[np.float64]
    chi2: float | NDArray[np.float64]

def fit_fluxes(A: ArrayLike, flux: ArrayLike, sigma: ArrayLike, *, blend: bool = True) -> FluxFit:
    """Source and blend fluxes solved linearly: the weighted least-squares fit of flux = fs A + fb.

    Along the last axis of ``A``, ``flux`` and ``sigma``, broadcast against each other as NumPy
    broadcasts; every row of the other axes is a data set fitted alone. The event's nonlinear
    parameters give ``A`` (e.g. ``light_curve``); the fluxes of each telescope then need no search.

    Args:
        A: the model's magnifications at the epochs, along the last axis.
        flux: the observed fluxes at the same epochs, in any unit.
        sigma: their uncertainties (finite, above 0), in the unit of ``flux``; weights 1 / sigma**2.
        blend: False fixes fb at 0 (fb is then 0.0, and so are ``cov``'s fb row and column).

    Returns:
        ``FluxFit(fs, fb, cov, chi2)``: ``fs``, ``fb`` and ``chi2`` floats for a one-dimensional
        broadcast shape, else float64 arrays of that shape without its last axis; ``cov`` of that
        shape and (2, 2), the formal covariance (the inverse of the normal matrix with weights
        1 / sigma**2, not rescaled by chi2); chi2 = sum(((flux - fs * A - fb) / sigma)**2).
        A NaN or infinite value in ``A`` or ``flux`` makes its data set's results NaN (``fb``
        and its row and column stay 0 with blend=False), so that a fitter steps back.

    Raises:
        ValueError: a sigma that is not a finite number above 0 (naming its index); shapes that
            do not broadcast; fewer than 2 points along the last axis (1 with blend=False); a data
            set in which ``A`` has no leverage (naming its batch index): with a blend, ``A``
            constant along the axis or all the weight on one point, taken as the weighted spread
            of ``A`` about its mean below 1e-12 of its root mean square (the determinant of the
            normal matrix below 1e-24 of the product of its diagonal); without one, ``A`` 0 at
            every point.
        TypeError: an argument that is not an array of real numbers; its note names the parameter.

    The sums are centred (weighted means first, then the second moments about them), so that
    fluxes far from 0 keep their digits.
    """
