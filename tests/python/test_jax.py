"""mirvanta.jax: the values are the module's bits under jit and vmap; the derivatives JAX takes
(grad, jacfwd, jacrev, through vmap) are the module's exact derivatives, checked in turn against
differences of the value function; 32-bit mode, wrong limbs and the module's refusals raise."""

import os
import sys

import numpy as np
import pytest

from conftest import run_process

jax = pytest.importorskip("jax")
jnp = pytest.importorskip("jax.numpy")
jax.config.update("jax_enable_x64", True)

import mirvanta  # noqa: E402
import mirvanta.jax as mj  # noqa: E402


def laws(m):
    return [None, m.Quadratic(0.5, 0.2), m.Power2(0.6, 0.7), m.Claret(0.6, -0.3, 0.9, -0.45),
            m.Profile([0.0, 0.4, 0.4, 1.0], [1.0, 0.9, 0.6, 0.2])]


def coefficients(law):
    """The law's coefficients in its constructor's order."""
    if law is None:
        return []
    if isinstance(law, mirvanta.Profile):
        return list(law.brightness)
    return [getattr(law, name) for name in law.__match_args__]


def traced_limb(law, c):
    """The limb as (law class or law, coefficients) for coefficients c that JAX traces."""
    return None if law is None else (law if isinstance(law, mirvanta.Profile) else type(law), c)


LAWS = laws(mirvanta)
IDS = ["disk", "quadratic", "power2", "claret", "profile"]
U = np.array([0.0, 0.003, 0.02, 0.049, 0.051, 0.08, 0.3, 2.0])  # inside, across and beyond the limb of rho = 0.05
RHO = 0.05
T = np.linspace(-0.6, 0.8, 15)
EVENT = (0.05, 0.03, 0.7, 0.04)  # t0, u0, tE, rho: the lens crosses the source


@pytest.mark.parametrize("law", LAWS, ids=IDS)
def test_values_are_the_modules_bits_eagerly_and_under_jit(law):
    expected = mirvanta.magnification(U, RHO, law)
    assert np.array_equal(mj.magnification(U, RHO, law), expected)
    assert np.array_equal(jax.jit(lambda u: mj.magnification(u, RHO, law))(U), expected)
    c = coefficients(law)
    traced = jax.jit(lambda u, c: mj.magnification(u, RHO, traced_limb(law, c)))(U, jnp.asarray(c))
    assert np.array_equal(traced, expected)
    assert np.array_equal(jax.jit(lambda t: mj.light_curve(t, *EVENT, law))(T), mirvanta.light_curve(T, *EVENT, law))


def test_light_curves_broadcast_as_the_module_does():
    law = mirvanta.Quadratic(0.5, 0.2)
    t0, u0 = np.array([[0.0], [0.1], [0.2]]), np.array([0.01, 0.03])[:, None, None]  # 2 x 3 events of 15 epochs
    result = mj.light_curve(T, t0, u0, 0.7, 0.04, law)
    assert result.shape == (2, 3, 15) and result.dtype == jnp.float64
    assert np.array_equal(result, mirvanta.light_curve(T, t0, u0, 0.7, 0.04, law))
    assert mj.magnification(0.02, 0.05).shape == ()
    assert float(mj.magnification(0.02, 0.05)) == mirvanta.magnification(0.02, 0.05)


@pytest.mark.parametrize("law", LAWS, ids=IDS)
def test_derivatives_of_the_magnification_are_the_modules(law):
    A, dA_du, dA_drho, dA_dlimb = mirvanta.magnification_and_gradient(U, RHO, law)
    c = jnp.asarray(coefficients(law))
    f = lambda u, rho, c: mj.magnification(u, rho, traced_limb(law, c))  # noqa: E731
    # One separation at a time by grad (reverse mode), all at once by jacfwd (its diagonal).
    by_grad = jax.jit(jax.vmap(jax.grad(f, argnums=(0, 1, 2)), in_axes=(0, None, None)))(U, RHO, c)
    np.testing.assert_array_equal(by_grad[0], dA_du)
    np.testing.assert_array_equal(by_grad[1], dA_drho)
    np.testing.assert_array_equal(by_grad[2], dA_dlimb)
    forward = jax.jacfwd(f, argnums=(0, 1, 2))(jnp.asarray(U), RHO, c)
    np.testing.assert_array_equal(np.diagonal(forward[0]), dA_du)
    np.testing.assert_array_equal(forward[1], dA_drho)
    np.testing.assert_array_equal(forward[2], dA_dlimb)
    value, tangent = jax.jvp(lambda rho: f(jnp.asarray(U), rho, c), (RHO,), (1.0,))
    np.testing.assert_array_equal(value, A)
    np.testing.assert_array_equal(tangent, dA_drho)


@pytest.mark.parametrize("law", LAWS, ids=IDS)
def test_jacobians_of_the_light_curve_are_the_modules(law):
    _, J = mirvanta.light_curve_and_jacobian(T, *EVENT, law)
    c = coefficients(law)

    def curve(p):
        return mj.light_curve(T, p[0], p[1], p[2], p[3], traced_limb(law, p[4:]))

    p = jnp.asarray([*EVENT, *c])
    np.testing.assert_array_equal(jax.jacrev(curve)(p), J)
    np.testing.assert_array_equal(jax.jit(jax.jacfwd(curve))(p), J)
    # In the times, through t - t0.
    by_time = jax.vmap(jax.grad(lambda t: mj.light_curve(t, *EVENT, law)))(T)
    np.testing.assert_array_equal(by_time, -J[:, 0])


def test_the_gradient_of_a_chi_square_matches_differences_of_the_values():
    # Independent of the derivatives: central differences of the value function, step 1e-6 of
    # each parameter at rtol 1e-12, agree with the gradient to about 1e-7.
    law = mirvanta.Quadratic(0.5, 0.2)
    flux = 1.0 + np.sin(3 * T) ** 2

    def chi2_module(p):
        return float(np.sum((mirvanta.light_curve(T, *p[:4], mirvanta.Quadratic(*p[4:]), rtol=1e-12) - flux) ** 2))

    def chi2(p):
        return jnp.sum((mj.light_curve(T, *p[:4], (mirvanta.Quadratic, p[4:]), rtol=1e-12) - flux) ** 2)

    p = np.array([*EVENT, 0.5, 0.2])
    gradient = jax.jit(jax.grad(chi2))(p)
    for i in range(p.size):
        h = 1e-6 * abs(p[i])
        step = np.eye(p.size)[i] * h
        difference = (chi2_module(p + step) - chi2_module(p - step)) / (2 * h)
        assert gradient[i] == pytest.approx(difference, rel=1e-6, abs=1e-6 * np.abs(gradient).max()), i


def test_vmap_over_radii_events_and_laws_gives_each_call_alone():
    law = mirvanta.Quadratic(0.5, 0.2)
    radii = jnp.asarray([0.01, 0.05, 0.2])
    np.testing.assert_array_equal(jax.vmap(lambda r: mj.magnification(U, r, law))(radii),
                                  [mirvanta.magnification(U, float(r), law) for r in radii])
    # Nested: events (t0) by radii.
    t0s = jnp.asarray([0.0, 0.1])
    nested = jax.vmap(jax.vmap(lambda t0, r: mj.light_curve(T, t0, 0.03, 0.7, r, law), (None, 0)), (0, None))(t0s, radii)
    assert nested.shape == (2, 3, 15)
    for i, t0 in enumerate(t0s):
        for j, r in enumerate(radii):
            np.testing.assert_array_equal(nested[i, j], mirvanta.light_curve(T, float(t0), 0.03, 0.7, float(r), law))
    # Coefficients batched: one module call per law, each the bits of that law's own call.
    sets = jnp.asarray([[0.5, 0.2], [0.1, 0.6], [0.9, 0.0]])
    by_law = jax.vmap(lambda c: mj.magnification(U, RHO, (mirvanta.Quadratic, c)))(sets)
    for row, c in zip(by_law, sets):
        np.testing.assert_array_equal(row, mirvanta.magnification(U, RHO, mirvanta.Quadratic(*map(float, c))))
    gradients = jax.vmap(jax.grad(lambda c: mj.magnification(0.02, RHO, (mirvanta.Quadratic, c))))(sets)
    for row, c in zip(gradients, sets):
        np.testing.assert_array_equal(row, mirvanta.magnification_and_gradient(0.02, RHO, mirvanta.Quadratic(*map(float, c)))[3])


def test_on_the_limb_of_a_uniform_disk_one_derivative_at_a_time_is_infinite_not_nan():
    # dA/du = -inf and dA/drho = +inf at u == rho; the tangent leaves out the argument that is
    # not differentiated rather than multiply its infinite derivative by 0.
    assert jax.grad(lambda rho: mj.magnification(0.05, rho))(0.05) == np.inf
    assert jax.grad(lambda u: mj.magnification(u, 0.05))(0.05) == -np.inf


def test_float32_arguments_are_computed_in_float64_and_their_tangents_come_back_float32():
    rho32 = jnp.float32(0.05)
    assert mj.magnification(jnp.asarray(U, jnp.float32), rho32).dtype == jnp.float64
    np.testing.assert_array_equal(mj.magnification(jnp.asarray(U, jnp.float32), rho32),
                                  mirvanta.magnification(U.astype(np.float32).astype(np.float64), float(rho32)))
    gradient = jax.grad(lambda rho: mj.magnification(0.02, rho))(rho32)
    assert gradient.dtype == jnp.float32
    assert gradient == np.float32(mirvanta.magnification_and_gradient(0.02, float(rho32))[2])


def test_without_64_bit_mode_every_call_is_refused(tmp_path):
    script = ("import jax, mirvanta.jax as mj\n"
              "for call in (lambda: mj.magnification(0.5, 0.1), lambda: mj.light_curve(0.0, 0.0, 0.1, 10.0, 0.01)):\n"
              "    try:\n        call()\n    except RuntimeError as error:\n        print(error)\n")
    env = {key: value for key, value in os.environ.items() if key != "JAX_ENABLE_X64"}
    result = run_process([sys.executable, "-c", script], env=env, cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 2 and all("jax_enable_x64" in line for line in lines), result.stdout


@pytest.mark.parametrize("call, error, message", [
    (lambda: mj.magnification(U, RHO, 0.6), TypeError, "limb must be None, a law"),
    (lambda: mj.magnification(U, RHO, (mirvanta.Quadratic, [0.5])), ValueError, r"Quadratic takes 2 coefficients"),
    (lambda: mj.magnification(U, RHO, (float, [0.5])), TypeError, "law class or law"),
    (lambda: mj.magnification(U + 1j, RHO), TypeError, "u must be real numbers"),
])
def test_refused_before_the_call(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("call, message", [
    (lambda: jax.jit(lambda rho: mj.magnification(U, rho))(-1.0), "rho must be at least 0"),
    (lambda: jax.grad(lambda tE: mj.light_curve(0.1, 0.0, 0.1, tE, 0.01))(-1.0), "tE must be a finite number above 0"),
    (lambda: mj.magnification(U, RHO, (mirvanta.Quadratic, jnp.asarray([2.0, 1.0]))), "Quadratic"),
])
def test_the_modules_refusals_inside_a_call_come_back_as_exceptions(call, message):
    with pytest.raises(Exception, match=message) as raised:
        call()
    assert isinstance(raised.value, Exception)
