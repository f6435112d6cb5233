"""The magnification and light curves as JAX functions, differentiated by the module's exact
derivatives (the optional extra: pip install "mirvanta[jax]").

Usable inside ``jax.jit``, ``jax.grad``, ``jax.jacfwd``, ``jax.jacrev`` and ``jax.vmap``: a
``jax.pure_callback`` into the module with a ``jax.custom_jvp`` whose tangent comes from
``magnification_and_gradient`` or ``light_curve_and_jacobian``. First derivatives only. Needs
JAX's 64-bit mode (``jax.config.update("jax_enable_x64", True)``): without it every call raises
RuntimeError.
"""

from typing import TypeAlias

import jax
from numpy.typing import ArrayLike

from mirvanta import Claret, Linear, Logarithmic, Power2, Profile, Quadratic, SquareRoot

__all__ = ["magnification", "light_curve"]

_Law: TypeAlias = Linear | Quadratic | SquareRoot | Power2 | Logarithmic | Claret | Profile
_LawClass: TypeAlias = type[Linear] | type[Quadratic] | type[SquareRoot] | type[Power2] | type[Logarithmic] | type[Claret]
# None (a uniform disk), a law with constant coefficients, or (a law class or a law, its
# coefficients as an array of shape (k,) in the constructor's order, which may be traced).
_Limb: TypeAlias = _Law | tuple[_LawClass | _Law, jax.Array | ArrayLike] | None
_Values: TypeAlias = jax.Array | ArrayLike

def magnification(u: _Values, rho: _Values, limb: _Limb = None, *, rtol: float = 1e-10) -> jax.Array:
    """``mirvanta.magnification`` as a JAX function: differentiable in ``u``, ``rho`` and the
    law's coefficients.

    Args:
        u: separation of the lens from the centre of the source, in Einstein radii (>= 0).
        rho: source radius in Einstein radii (>= 0), broadcast against ``u``.
        limb: None (a uniform disk); a law such as ``mirvanta.Quadratic(0.4, 0.25)``, whose
            coefficients are constants; or a pair ``(law class, coefficients)`` such as
            ``(mirvanta.Quadratic, jnp.array([a, b]))``, the coefficients an array of shape (k,)
            in the constructor's order that may be traced. For a ``Profile`` the pair is
            ``(profile, brightness)``: its radii with new brightness values.
        rtol: relative tolerance, a Python number (static).

    Returns:
        A float64 JAX array of the broadcast shape, the bits of ``mirvanta.magnification``; its
        derivatives those of ``mirvanta.magnification_and_gradient``.

    Raises:
        RuntimeError: JAX's 64-bit mode is off.
        TypeError, ValueError: a ``limb`` that is not a law, coefficients of the wrong shape,
            complex numbers. The module's own refusals inside the call (e.g. a negative ``rho``)
            come back as JAX's runtime error for a failed callback, with the module's message.
    """

def light_curve(
    t: _Values, t0: _Values, u0: _Values, tE: _Values, rho: _Values, limb: _Limb = None, *, rtol: float = 1e-10
) -> jax.Array:
    """``mirvanta.light_curve`` as a JAX function: differentiable in ``t``, ``t0``, ``u0``,
    ``tE``, ``rho`` (u0 and rho in Einstein radii) and the law's coefficients.

    Arguments as for ``mirvanta.light_curve`` (all five broadcast: batches of events), ``limb``
    and ``rtol`` as for ``mirvanta.jax.magnification``. Returns a float64 JAX array of the
    broadcast shape, the bits of ``mirvanta.light_curve``; its derivatives the columns of
    ``mirvanta.light_curve_and_jacobian`` (dA/dt is -dA/dt0).
    """
