"""The magnification and light curves as JAX functions, differentiated by the module's exact
derivatives.

``mirvanta.jax.magnification`` and ``mirvanta.jax.light_curve`` take JAX arrays (or anything
``jax.numpy.asarray`` takes) and return float64 JAX arrays; they work inside ``jax.jit``,
``jax.grad``, ``jax.jacfwd``, ``jax.jacrev`` and ``jax.vmap``. Each call is a
``jax.pure_callback`` into ``mirvanta.magnification`` or ``mirvanta.light_curve`` (the same
values, to the bit); a derivative is a ``jax.custom_jvp`` whose tangent comes from one call of
``mirvanta.magnification_and_gradient`` or ``mirvanta.light_curve_and_jacobian`` (value and
derivatives together; that value is within ``rtol`` of the value-only call's, not always its
bits). Reverse mode follows from the linear tangent. First derivatives only: differentiating a
derivative again raises JAX's error for callbacks.

Needs JAX's 64-bit mode (``jax.config.update("jax_enable_x64", True)`` before any array is made);
without it every call raises RuntimeError rather than compute in float32. Arguments of other
real types (float32, integers) are converted to float64, and so are their tangents.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Callable
from typing import Any

try:
    import jax
    import jax.numpy as jnp
    from jax.custom_derivatives import SymbolicZero
except ImportError as error:  # jax is the optional extra "jax"
    raise ImportError('mirvanta.jax needs JAX, which is not installed: pip install "mirvanta[jax]"') from error

import numpy as np

import mirvanta as _mirvanta

__all__ = ["magnification", "light_curve"]

_LAW_CLASSES = (_mirvanta.Linear, _mirvanta.Quadratic, _mirvanta.SquareRoot, _mirvanta.Power2,
                _mirvanta.Logarithmic, _mirvanta.Claret)


@dataclasses.dataclass(frozen=True)
class _Kind:
    """The kind of a brightness law without its coefficients: hashable, so that JAX keeps it as a
    static argument. ``law`` is None for the uniform disk; a Profile keeps its radii."""

    law: type | None
    radii: tuple[float, ...] = ()

    def count(self) -> int:
        if self.law is None:
            return 0
        if self.law is _mirvanta.Profile:
            return len(self.radii)
        return len(self.law.__match_args__)

    def make(self, coefficients: np.ndarray) -> Any:
        if self.law is None:
            return None
        if self.law is _mirvanta.Profile:
            return _mirvanta.Profile(self.radii, coefficients)
        return self.law(*(float(c) for c in coefficients))


def _read_limb(limb: Any) -> tuple[_Kind, jax.Array]:
    """The law's kind and its coefficients, a float64 array in the constructor's order."""
    if limb is None:
        return _Kind(None), jnp.zeros((0,), jnp.float64)
    if isinstance(limb, tuple):
        if len(limb) != 2:
            raise TypeError("limb as a tuple is (law class or law, coefficients)")
        template, coefficients = limb
        if isinstance(template, type) and template in _LAW_CLASSES:
            kind = _Kind(template)
        elif isinstance(template, _mirvanta.Profile):
            kind = _Kind(_mirvanta.Profile, template.radii)
        elif type(template) in _LAW_CLASSES:
            kind = _Kind(type(template))
        else:
            raise TypeError("limb as a tuple is (law class or law, coefficients): the class one of Linear, Quadratic, "
                            f"SquareRoot, Power2, Logarithmic and Claret, or a law; got {template!r}")
        coefficients = _real_array(coefficients, "limb")
        if coefficients.shape != (kind.count(),):
            raise ValueError(f"{kind.law.__name__} takes {kind.count()} coefficients, an array of shape "
                             f"({kind.count()},); got shape {coefficients.shape}")
        return kind, coefficients
    if isinstance(limb, _mirvanta.Profile):
        return _Kind(_mirvanta.Profile, limb.radii), jnp.asarray(limb.brightness, jnp.float64)
    if type(limb) in _LAW_CLASSES:
        return _Kind(type(limb)), jnp.asarray([getattr(limb, name) for name in limb.__match_args__], jnp.float64)
    raise TypeError(f"limb must be None, a law (mirvanta.Linear, ..., mirvanta.Profile) or a pair (law class or law, "
                    f"coefficients); got {type(limb).__name__}")


def _require_x64() -> None:
    if jax.dtypes.canonicalize_dtype(jnp.float64) != jnp.float64:
        raise RuntimeError("mirvanta.jax computes in float64 and JAX's 64-bit mode is off: call "
                           "jax.config.update('jax_enable_x64', True) first (or set JAX_ENABLE_X64=1)")


def _real_array(value: Any, name: str) -> jax.Array:
    array = jnp.asarray(value)
    if not (jnp.issubdtype(array.dtype, jnp.floating) or jnp.issubdtype(array.dtype, jnp.integer)
            or array.dtype == jnp.bool_):
        raise TypeError(f"{name} must be real numbers, not {array.dtype}")
    return array.astype(jnp.float64)


def _lifted(arrays: list[jax.Array], coefficients: jax.Array) -> tuple[list[jax.Array], jax.Array]:
    """The arrays with leading axes of 1 up to a common rank, and the coefficients as an array of
    that rank with the coefficients along one more axis: under ``vmap`` the callback gets a batch
    axis in front of each, and they broadcast as the module broadcasts."""
    rank = max(a.ndim for a in arrays)
    lifted = [a.reshape((1,) * (rank - a.ndim) + a.shape) for a in arrays]
    return lifted, coefficients.reshape((1,) * rank + coefficients.shape)


def _by_law(kind: _Kind, coefficients: np.ndarray, function: Callable[..., tuple[Any, ...]],
            arguments: tuple[np.ndarray, ...], tails: tuple[tuple[int, ...], ...]) -> tuple[np.ndarray, ...]:
    """``function(law, *arguments)`` for the law of each set of coefficients (the last axis of
    ``coefficients``; its other axes broadcast against the arguments, which have the same rank),
    its results as float64 arrays of the broadcast shape followed by ``tails``.

    One set (the usual case) is one call with the arguments as they are. Sets that vary along an
    axis (``vmap`` over the coefficients) are one call each, on the arguments' slices."""
    batch = coefficients.shape[:-1]
    shape = np.broadcast_shapes(batch, *(a.shape for a in arguments))
    if math.prod(batch) == 1:
        results = function(kind.make(coefficients.reshape(-1)), *arguments)
        return tuple(np.asarray(r, np.float64).reshape(shape + tail) for r, tail in zip(results, tails))
    out = tuple(np.empty(shape + tail) for tail in tails)
    for index in np.ndindex(*batch):
        region = tuple(i if n != 1 else slice(None) for i, n in zip(index, batch))
        parts = tuple(a[tuple((i if m != 1 else 0) if n != 1 else slice(None) for i, n, m in zip(index, batch, a.shape))]
                      for a in arguments)
        results = function(kind.make(coefficients[index]), *parts)
        for o, r in zip(out, results):
            o[region] = r
    return out


def _sum_of_terms(shape: tuple[int, ...], terms: list[tuple[jax.Array, Any]]) -> jax.Array:
    """The tangent sum(derivative * tangent), leaving out the tangents JAX knows to be zero (an
    infinite derivative, on the limb of a uniform disk, then gives no NaN)."""
    total = None
    for derivative, tangent in terms:
        if isinstance(tangent, SymbolicZero):
            continue
        term = derivative * tangent
        total = term if total is None else total + term
    return jnp.zeros(shape, jnp.float64) if total is None else jnp.broadcast_to(total, shape)


def _coefficient_term(derivatives: jax.Array, tangent: Any) -> tuple[jax.Array, Any]:
    if isinstance(tangent, SymbolicZero):
        return derivatives, tangent  # left out
    return jnp.sum(derivatives * tangent, axis=-1), 1.0


# The magnification.

def _magnification_values(kind: _Kind, rtol: float, u: np.ndarray, rho: np.ndarray, coefficients: np.ndarray) -> np.ndarray:
    value = lambda law, u, rho: (_mirvanta.magnification(u, rho, law, rtol=rtol),)  # noqa: E731
    return _by_law(kind, coefficients, value, (u, rho), ((),))[0]


def _magnification_gradients(kind: _Kind, rtol: float, u: np.ndarray, rho: np.ndarray,
                             coefficients: np.ndarray) -> tuple[np.ndarray, ...]:
    gradient = lambda law, u, rho: _mirvanta.magnification_and_gradient(u, rho, law, rtol=rtol)  # noqa: E731
    return _by_law(kind, coefficients, gradient, (u, rho), ((), (), (), (kind.count(),)))


@functools.partial(jax.custom_jvp, nondiff_argnums=(0, 1))
def _magnification(kind: _Kind, rtol: float, u: jax.Array, rho: jax.Array, coefficients: jax.Array) -> jax.Array:
    shape = np.broadcast_shapes(u.shape, rho.shape, coefficients.shape[:-1])
    return jax.pure_callback(functools.partial(_magnification_values, kind, rtol),
                             jax.ShapeDtypeStruct(shape, jnp.float64), u, rho, coefficients, vmap_method="expand_dims")


@functools.partial(_magnification.defjvp, symbolic_zeros=True)
def _magnification_jvp(kind: _Kind, rtol: float, primals: tuple[jax.Array, ...],
                       tangents: tuple[Any, ...]) -> tuple[jax.Array, jax.Array]:
    u, rho, coefficients = primals
    du, drho, dcoefficients = tangents
    shape = np.broadcast_shapes(u.shape, rho.shape, coefficients.shape[:-1])
    result = (jax.ShapeDtypeStruct(shape, jnp.float64),) * 3 + (jax.ShapeDtypeStruct(shape + (kind.count(),), jnp.float64),)
    A, dA_du, dA_drho, dA_dlimb = jax.pure_callback(functools.partial(_magnification_gradients, kind, rtol), result,
                                                    u, rho, coefficients, vmap_method="expand_dims")
    return A, _sum_of_terms(shape, [(dA_du, du), (dA_drho, drho), _coefficient_term(dA_dlimb, dcoefficients)])


def magnification(u: Any, rho: Any, limb: Any = None, *, rtol: float = 1e-10) -> jax.Array:
    """``mirvanta.magnification`` as a JAX function: differentiable in ``u``, ``rho`` and the
    law's coefficients.

    Args:
        u: separation of the lens from the centre of the source, in Einstein radii (>= 0).
        rho: source radius in Einstein radii (>= 0), broadcast against ``u``.
        limb: None (a uniform disk); a law such as ``mirvanta.Quadratic(0.4, 0.25)``, whose
            coefficients are constants; or a pair ``(law class, coefficients)`` such as
            ``(mirvanta.Quadratic, jnp.array([a, b]))``, the coefficients an array of shape (k,)
            in the constructor's order that may be traced (differentiated, ``vmap``-ed). For a
            ``Profile`` the pair is ``(profile, brightness)``: its radii with new brightness values.
        rtol: relative tolerance, a Python number (static).

    Returns:
        A float64 JAX array of the broadcast shape; its derivatives those of
        ``mirvanta.magnification_and_gradient``.

    Raises:
        RuntimeError: JAX's 64-bit mode is off.
        TypeError, ValueError: arguments refused before the call (a ``limb`` that is not a law,
            coefficients of the wrong shape, complex numbers).
        Inside the call, the module's own refusals (e.g. a negative ``rho``) come back from JAX as
            its runtime error for a failed callback (``jax.errors.JaxRuntimeError``), with the
            module's message.
    """
    _require_x64()
    kind, coefficients = _read_limb(limb)
    (u, rho), coefficients = _lifted([_real_array(u, "u"), _real_array(rho, "rho")], coefficients)
    return _magnification(kind, float(rtol), u, rho, coefficients)


# The light curve.

def _light_curve_values(kind: _Kind, rtol: float, *arrays: np.ndarray) -> np.ndarray:
    *arguments, coefficients = arrays
    value = lambda law, *a: (_mirvanta.light_curve(*a, law, rtol=rtol),)  # noqa: E731
    return _by_law(kind, coefficients, value, tuple(arguments), ((),))[0]


def _light_curve_jacobians(kind: _Kind, rtol: float, *arrays: np.ndarray) -> tuple[np.ndarray, ...]:
    *arguments, coefficients = arrays
    jacobian = lambda law, *a: _mirvanta.light_curve_and_jacobian(*a, law, rtol=rtol)  # noqa: E731
    return _by_law(kind, coefficients, jacobian, tuple(arguments), ((), (4 + kind.count(),)))


@functools.partial(jax.custom_jvp, nondiff_argnums=(0, 1))
def _light_curve(kind: _Kind, rtol: float, t: jax.Array, t0: jax.Array, u0: jax.Array, tE: jax.Array, rho: jax.Array,
                 coefficients: jax.Array) -> jax.Array:
    shape = np.broadcast_shapes(t.shape, t0.shape, u0.shape, tE.shape, rho.shape, coefficients.shape[:-1])
    return jax.pure_callback(functools.partial(_light_curve_values, kind, rtol), jax.ShapeDtypeStruct(shape, jnp.float64),
                             t, t0, u0, tE, rho, coefficients, vmap_method="expand_dims")


@functools.partial(_light_curve.defjvp, symbolic_zeros=True)
def _light_curve_jvp(kind: _Kind, rtol: float, primals: tuple[jax.Array, ...],
                     tangents: tuple[Any, ...]) -> tuple[jax.Array, jax.Array]:
    t, t0, u0, tE, rho, coefficients = primals
    dt, dt0, du0, dtE, drho, dcoefficients = tangents
    shape = np.broadcast_shapes(t.shape, t0.shape, u0.shape, tE.shape, rho.shape, coefficients.shape[:-1])
    result = (jax.ShapeDtypeStruct(shape, jnp.float64), jax.ShapeDtypeStruct(shape + (4 + kind.count(),), jnp.float64))
    A, J = jax.pure_callback(functools.partial(_light_curve_jacobians, kind, rtol), result,
                             t, t0, u0, tE, rho, coefficients, vmap_method="expand_dims")
    # A depends on t through t - t0: dA/dt = -dA/dt0.
    terms = [(-J[..., 0], dt), (J[..., 0], dt0), (J[..., 1], du0), (J[..., 2], dtE), (J[..., 3], drho),
             _coefficient_term(J[..., 4:], dcoefficients)]
    return A, _sum_of_terms(shape, terms)


def light_curve(t: Any, t0: Any, u0: Any, tE: Any, rho: Any, limb: Any = None, *, rtol: float = 1e-10) -> jax.Array:
    """``mirvanta.light_curve`` as a JAX function: differentiable in ``t``, ``t0``, ``u0``,
    ``tE``, ``rho`` and the law's coefficients.

    Arguments as for ``mirvanta.light_curve`` (all five broadcast against each other: batches of
    events), ``limb`` and ``rtol`` as for ``mirvanta.jax.magnification``.

    Returns:
        A float64 JAX array of the broadcast shape, the bits of ``mirvanta.light_curve``; its
        derivatives the columns of ``mirvanta.light_curve_and_jacobian`` (dA/dt is -dA/dt0).

    Raises:
        As ``mirvanta.jax.magnification``; a ``tE`` not above 0 and the like come back as JAX's
        runtime error with the module's message.
    """
    _require_x64()
    kind, coefficients = _read_limb(limb)
    arrays = [_real_array(value, name) for value, name in zip((t, t0, u0, tE, rho), ("t", "t0", "u0", "tE", "rho"))]
    arrays, coefficients = _lifted(arrays, coefficients)
    return _light_curve(kind, float(rtol), *arrays, coefficients)
