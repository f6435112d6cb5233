"""fit_fluxes: the source and blend fluxes solved linearly, against numpy.linalg.lstsq, an exact
solution in rational numbers and the scatter over many noise draws; batches, broadcasting, the
named tuple it returns, and its refusals."""

import pickle
import warnings
from fractions import Fraction

import pytest

np = pytest.importorskip("numpy")


def event(mirvanta, n=60, seed=0):
    """Magnifications of a limb-darkened event at n epochs, and a random generator."""
    random = np.random.default_rng(seed)
    t = np.sort(random.uniform(-40.0, 40.0, n))
    return mirvanta.light_curve(t, 0.0, 0.05, 20.0, 0.03, mirvanta.Linear(0.5)), random


def exact_fit(a, flux, sigma, blend=True):
    """The weighted least-squares fit in rational numbers, from the uncentred normal equations
    (exact here): fs, fb, the inverse of the normal matrix, chi2."""
    a, flux = [Fraction(x) for x in a], [Fraction(x) for x in flux]
    w = [1 / Fraction(s) ** 2 for s in sigma]
    s1, sa = sum(w), sum(wi * ai for wi, ai in zip(w, a))
    saa = sum(wi * ai * ai for wi, ai in zip(w, a))
    sf, saf = sum(wi * fi for wi, fi in zip(w, flux)), sum(wi * ai * fi for wi, ai, fi in zip(w, a, flux))
    if blend:
        det = saa * s1 - sa * sa
        fs, fb = (s1 * saf - sa * sf) / det, (saa * sf - sa * saf) / det
        cov = [[s1 / det, -sa / det], [-sa / det, saa / det]]
    else:
        fs, fb, cov = saf / saa, Fraction(0), [[1 / saa, 0], [0, 0]]
    chi2 = sum(wi * (fi - fs * ai - fb) ** 2 for wi, ai, fi in zip(w, a, flux))
    return float(fs), float(fb), np.array(cov, dtype=float), float(chi2)


@pytest.mark.parametrize("blend", [True, False])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_agrees_with_lstsq_on_weighted_rows(mirvanta, blend, seed):
    a, random = event(mirvanta, seed=seed)
    model = 1.7 * a + (0.4 if blend else 0.0)
    sigma = 0.01 * model * random.uniform(0.5, 2.0, a.size)
    flux = model + sigma * random.standard_normal(a.size)
    columns = np.column_stack([a, np.ones_like(a)] if blend else [a]) / sigma[:, None]
    solution, residuals, _, _ = np.linalg.lstsq(columns, flux / sigma, rcond=None)
    covariance = np.linalg.inv(columns.T @ columns)  # the weighted normal matrix, inverted

    fit = mirvanta.fit_fluxes(a, flux, sigma, blend=blend)
    assert fit.fs == pytest.approx(solution[0], rel=1e-11)
    assert fit.fb == (pytest.approx(solution[1], rel=1e-10) if blend else 0.0)
    assert fit.chi2 == pytest.approx(residuals[0], rel=1e-10)
    size = 2 if blend else 1
    np.testing.assert_allclose(fit.cov[:size, :size], covariance, rtol=1e-10)
    if not blend:
        assert (fit.cov[1, :] == 0).all() and (fit.cov[:, 1] == 0).all()


@pytest.mark.parametrize("blend", [True, False])
@pytest.mark.parametrize("offset", [0.0, 1e3, 1e6])
def test_agrees_with_the_exact_rational_solution(mirvanta, blend, offset):
    # A model far from zero (offset by 1e6, it varies by about 1e-5 of itself) is where
    # uncentred sums lose their digits; the rational solution keeps all of them.
    a, random = event(mirvanta, n=40, seed=3)
    a = a + offset
    sigma = random.uniform(0.005, 0.02, a.size)
    flux = 2.5 * a + 0.7 + sigma * random.standard_normal(a.size)
    fs, fb, cov, chi2 = exact_fit(a, flux, sigma, blend)
    fit = mirvanta.fit_fluxes(a, flux, sigma, blend=blend)
    # fs and the covariance to a few units in the last place; fb to those of the mean flux, which
    # it is the difference of. Without a blend the residuals flux - fs A are differences of fluxes
    # of 2.5 * offset, known to their last place: eps * flux / sigma in each residual over sigma.
    assert fit.fs == pytest.approx(fs, rel=1e-14)
    assert fit.fb == pytest.approx(fb, rel=1e-14, abs=4e-16 * (1 + offset) * abs(fs))
    eps = np.finfo(float).eps
    assert fit.chi2 == pytest.approx(chi2, rel=1e-13 if blend else 1e-13 + eps * flux.max() / sigma.min())
    np.testing.assert_allclose(fit.cov, cov, rtol=1e-14, atol=0)


@pytest.mark.parametrize("blend", [True, False])
def test_scatter_over_noise_draws_matches_the_covariance(mirvanta, blend):
    a, random = event(mirvanta, n=60, seed=4)
    model = 1.0 * a + (0.3 if blend else 0.0)
    sigma = 0.01 * model
    draws = 4000
    flux = model + sigma * random.standard_normal((draws, a.size))  # one data set per row
    fit = mirvanta.fit_fluxes(a, flux, sigma, blend=blend)
    assert fit.fs.shape == (draws,) and fit.cov.shape == (draws, 2, 2)
    cov = fit.cov[0]
    sample = np.cov(np.stack([fit.fs, fit.fb]))
    # A variance from 4000 draws scatters by sqrt(2 / 4000) = 2.2 %.
    assert sample[0, 0] == pytest.approx(cov[0, 0], rel=0.1)
    assert fit.fs.mean() == pytest.approx(1.0, abs=5 * np.sqrt(cov[0, 0] / draws))
    if blend:
        assert sample[1, 1] == pytest.approx(cov[1, 1], rel=0.1)
        correlation = cov[0, 1] / np.sqrt(cov[0, 0] * cov[1, 1])
        assert sample[0, 1] / np.sqrt(sample[0, 0] * sample[1, 1]) == pytest.approx(correlation, abs=0.02)
    # chi2 follows the chi-square law of n - 2 (or n - 1) degrees of freedom.
    dof = a.size - (2 if blend else 1)
    assert fit.chi2.mean() == pytest.approx(dof, abs=5 * np.sqrt(2 * dof / draws))


def test_a_batch_is_its_rows_one_by_one(mirvanta):
    a, random = event(mirvanta, n=30, seed=5)
    flux = 0.8 * a + 0.2 + 0.01 * random.standard_normal((3, 4, a.size))
    sigma = np.array([[0.01], [0.02], [0.005], [0.03]])  # one sigma per data set of a row of 4
    fit = mirvanta.fit_fluxes(a, flux, sigma)
    assert fit.fs.shape == fit.fb.shape == fit.chi2.shape == (3, 4) and fit.cov.shape == (3, 4, 2, 2)
    for i in range(3):
        for j in range(4):
            alone = mirvanta.fit_fluxes(a, flux[i, j], sigma[j, 0])
            assert (fit.fs[i, j], fit.fb[i, j], fit.chi2[i, j]) == (alone.fs, alone.fb, alone.chi2)
            assert (fit.cov[i, j] == alone.cov).all()


def test_a_number_for_sigma_is_every_point_s_sigma(mirvanta):
    a, random = event(mirvanta, n=50, seed=6)
    flux = 1.2 * a + 0.1 + 0.02 * random.standard_normal(a.size)
    one, each = mirvanta.fit_fluxes(a, flux, 0.02), mirvanta.fit_fluxes(a, flux, np.full(a.size, 0.02))
    assert (one.fs, one.fb, one.chi2) == (each.fs, each.fb, each.chi2)
    assert (one.cov == each.cov).all()
    assert isinstance(one.fs, float) and isinstance(one.chi2, float) and one.cov.shape == (2, 2)


def test_the_result_is_a_named_tuple(mirvanta):
    fit = mirvanta.fit_fluxes([1.0, 2.0, 3.0], [1.0, 3.0, 2.0], 1.0)
    assert type(fit) is mirvanta.FluxFit and isinstance(fit, tuple)
    assert mirvanta.FluxFit._fields == ("fs", "fb", "cov", "chi2")
    fs, fb, cov, chi2 = fit
    assert (fs, fb, chi2) == (fit.fs, fit.fb, fit.chi2) and cov is fit.cov
    again = pickle.loads(pickle.dumps(fit))
    assert type(again) is mirvanta.FluxFit and (again.cov == fit.cov).all()
    assert mirvanta.FluxFit.__doc__.startswith("FluxFit(fs, fb, cov, chi2)")
    empty = mirvanta.fit_fluxes(np.ones((0, 5)), np.ones(5), 1.0)
    assert empty.fs.shape == (0,) and empty.cov.shape == (0, 2, 2)


@pytest.mark.parametrize("blend", [True, False])
def test_nan_in_a_model_or_a_flux_makes_only_its_data_set_nan(mirvanta, blend):
    a, random = event(mirvanta, n=20, seed=7)
    models = np.stack([a, np.full(a.size, 1.5), a])  # the middle one constant: no leverage
    flux = 1.1 * a + 0.3 + 0.01 * random.standard_normal((3, a.size))
    flux[1, 4] = np.nan
    models[2, 7] = np.inf
    fit = mirvanta.fit_fluxes(models, flux, 0.01, blend=blend)
    for row in (1, 2):
        assert np.isnan(fit.fs[row]) and np.isnan(fit.chi2[row]) and np.isnan(fit.cov[row, 0, 0])
        assert np.isnan(fit.fb[row]) if blend else (fit.fb[row] == 0 and (fit.cov[row, 1] == 0).all())
    alone = mirvanta.fit_fluxes(a, flux[0], 0.01, blend=blend)
    assert (fit.fs[0], fit.fb[0], fit.chi2[0]) == (alone.fs, alone.fb, alone.chi2)


@pytest.mark.parametrize("args, kwargs, message", [
    (([2.0] * 5, [1.0, 2.0, 3.0, 4.0, 5.0], 1.0), {}, r"^A has no leverage on the source and blend fluxes: "),
    (([[1.0, 2.0, 3.0], [2.0, 2.0, 2.0]], [1.0, 2.0, 3.0], 1.0), {},
     r"no leverage .* at batch index \[1\]: it is constant .* below 1e-12"),
    (([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], [1.0, 1e-200, 1.0]), {}, r"no leverage"),  # the weight on one point
    (([0.0, 0.0], [1.0, 2.0], 1.0), {"blend": False}, r"^A has no leverage on the source flux: it is 0"),
    (([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], [[1.0, 1.0, 1.0], [1.0, 1.0, -0.5]]), {},
     r"^sigma must be a finite number above 0 .*; sigma\[1, 2\] = -0.5$"),
    (([1.0, 2.0], [1.0, 2.0], [1.0, np.nan]), {}, r"sigma\[1\] = nan$"),
    (([1.0, 2.0], [1.0, 2.0], np.inf), {}, r"sigma = inf$"),
    (([1.0, 2.0], [1.0, 2.0], 0.0), {"blend": False}, r"sigma = 0.0$"),
    (([1.0], [1.0], 1.0), {}, r"at least 2 points along the last axis \(1 with blend=False\).* shape \(1,\)"),
    ((np.ones((3, 0)), 1.0, 1.0), {"blend": False}, r"at least 1 point along the last axis; .* shape \(3, 0\)"),
    ((1.0, 2.0, 1.0), {"blend": False}, r"at least 1 point .* shape \(\)"),
    ((np.ones(3), np.ones(4), 1.0), {}, r"A of shape \(3,\), flux of shape \(4,\) and sigma of shape \(\) do not"),
])
def test_refusals_are_value_errors_that_say_where(mirvanta, args, kwargs, message):
    with pytest.raises(ValueError, match=message):
        mirvanta.fit_fluxes(*args, **kwargs)


def test_one_point_is_a_fit_without_a_blend(mirvanta):
    fit = mirvanta.fit_fluxes([4.0], [10.0], 2.0, blend=False)
    assert (fit.fs, fit.fb, fit.chi2) == (2.5, 0.0, 0.0)
    assert fit.cov.tolist() == [[0.25, 0.0], [0.0, 0.0]]


@pytest.mark.parametrize("parameter, value", [
    ("A", "1 2 3"), ("flux", None), ("sigma", b"\x01\x02\x03"), ("A", np.array([1 + 2j, 2, 3])),
])
def test_what_is_not_an_array_of_real_numbers_is_a_type_error(mirvanta, parameter, value):
    if np.iscomplexobj(value):
        try:  # the array reader's refusal of complex values, shared by the other array functions
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                mirvanta.point_source_magnification(np.array([1 + 0j]))
            pytest.skip("this build's array reader converts complex values")
        except TypeError:
            pass
    args = {"A": [1.0, 2.0, 3.0], "flux": [1.0, 2.0, 3.5], "sigma": [1.0, 1.0, 1.0], parameter: value}
    with pytest.raises(TypeError) as raised:
        mirvanta.fit_fluxes(args["A"], args["flux"], args["sigma"])
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]
