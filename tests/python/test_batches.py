"""Many events in one call: light_curve's five arguments broadcast against each other, each event
gives the same bits as its call alone, its checks name the index; and magnification serves equal
radii as one source. How the calls run on the pool is tested in tests/cpp/test_profile_events.cpp."""

import math

import pytest

np = pytest.importorskip("numpy")


def laws(m):
    return {"uniform": None, "quadratic": m.Quadratic(0.5, 0.2),
            "tabulated": m.Profile([0.0, 0.6, 1.0], [1.0, 0.8, 0.3])}


def one_by_one(m, t, t0, u0, tE, rho, law, event_axes, radii):
    """The events of the broadcast, each by a call of its own: the last `event_axes` axes of the
    broadcast shape hold one event (0: every element is one), t0, u0 and tE as numbers, rho as a
    number or (`radii`) as the event's own array."""
    t, t0, u0, tE, rho = np.broadcast_arrays(*map(np.asarray, (t, t0, u0, tE, rho)))
    shape = t.shape
    out = np.empty(shape)
    lead = shape[:len(shape) - event_axes]
    first = (0,) * event_axes
    for index in np.ndindex(lead):
        times = t[index]
        out[index] = m.light_curve(times if event_axes else float(times), float(t0[index + first]),
                                   float(u0[index + first]), float(tE[index + first]),
                                   rho[index] if radii else float(rho[index + first]), law)
    return out


RNG = np.random.default_rng(7)
N = 12
T0, U0, TE = RNG.uniform(-3, 3, N), RNG.uniform(0, 0.1, N), RNG.uniform(8, 30, N)
RHO = np.exp(RNG.uniform(math.log(0.005), math.log(0.5), N))
TIMES = np.linspace(-40, 40, 700)

# (t, t0, u0, tE, rho, the trailing axes of one event, whether rho varies within an event)
SHAPES = {
    "events (n, 1) against epochs (m,)": (TIMES, T0[:, None], U0[:, None], TE[:, None], RHO[:, None], 1, False),
    "one event, times of two dimensions": (TIMES.reshape(35, 20), 0.5, 0.02, 20.0, 0.05, 2, False),
    "one event per epoch": (TIMES[::10], np.linspace(-2, 2, 70), 0.03, np.linspace(10, 30, 70), 0.05, 0, False),
    "events (n, 1, 1) against times (2, m)": (TIMES.reshape(2, 350), T0[:4, None, None], U0[:4, None, None],
                                              TE[:4, None, None], RHO[:4, None, None], 2, False),
    "radii along the epochs, t0 along the events": (TIMES[:60], T0[:5, None], 0.02, 15.0,
                                                    np.linspace(0.01, 0.3, 60), 1, True),
    "equal radii along the epochs": (TIMES[:300], T0[:3, None], 0.02, 15.0, np.full(300, 0.2), 1, True),
    "each event its own times, strided": (np.linspace(-40, 40, 6 * 800).reshape(6, 800)[:, ::2], list(T0[:6, None]),
                                          U0[:6, None], 20.0, RHO[:6, None], 1, False),
}


@pytest.mark.parametrize("case", SHAPES)
@pytest.mark.parametrize("law", ["uniform", "quadratic", "tabulated"])
def test_a_batch_is_its_events_one_by_one_to_the_bit(mirvanta, case, law):
    *args, event_axes, radii = SHAPES[case]
    if law == "tabulated" and case == "events (n, 1) against epochs (m,)":
        args = [a[:4] if np.ndim(a) == 2 else a for a in args]  # a quadrature for every epoch: fewer
    limb = laws(mirvanta)[law]
    batch = mirvanta.light_curve(*args, limb)
    expected = one_by_one(mirvanta, *args, limb, event_axes, radii)
    assert batch.shape == expected.shape == np.broadcast_shapes(*(np.shape(a) for a in args))
    assert batch.tobytes() == expected.tobytes()


def test_equal_radii_within_an_event_are_one_source(mirvanta):
    # rho as an array of one radius along the epochs is that radius as a number, interpolant and all.
    law = mirvanta.Quadratic(0.5, 0.2)
    assert mirvanta.light_curve(TIMES, 0.0, 0.01, 20.0, np.full(TIMES.size, 0.1), law).tobytes() == \
        mirvanta.light_curve(TIMES, 0.0, 0.01, 20.0, 0.1, law).tobytes()


def test_the_trajectory_of_each_event(mirvanta):
    # Point sources: each element is (u^2 + 2) / (u sqrt(u^2 + 4)) at u(t) of its own event.
    t = np.array([-3.0, -1.0, 0.0, 0.5, 4.0])
    t0, u0, te = np.array([[0.0], [1.0], [-2.0]]), np.array([[0.1], [0.0], [0.3]]), np.array([[2.0], [5.0], [1.0]])
    u = np.sqrt(u0 ** 2 + ((t - t0) / te) ** 2)
    expected = (u * u + 2) / (u * np.sqrt(u * u + 4))
    assert mirvanta.light_curve(t, t0, u0, te, 0.0) == pytest.approx(expected, rel=1e-15)
    assert type(mirvanta.light_curve(0.5, 0.0, 0.1, 2.0, 0.0)) is float


@pytest.mark.parametrize("args, message", [
    ((np.zeros(5), np.zeros(3), 0.1, 20.0, 0.01), r"^t0 of shape \(3,\) does not broadcast against t of shape \(5,\)$"),
    ((np.zeros(5), 0.0, np.zeros(2), 20.0, 0.01),
     r"^u0 of shape \(2,\) does not broadcast against t, t0 of shapes \(5,\), \(\)$"),
    ((np.zeros((2, 5)), np.zeros((2, 1)), 0.1, np.ones(4), 0.01),
     r"^tE of shape \(4,\) does not broadcast against t, t0, u0 of shapes \(2, 5\), \(2, 1\), \(\)$"),
    ((np.zeros(5), 0.0, 0.1, 20.0, np.ones((3, 2))),
     r"^rho of shape \(3, 2\) does not broadcast against t, t0, u0, tE of shapes \(5,\), \(\), \(\), \(\)$"),
])
def test_shapes_that_do_not_broadcast_are_named(mirvanta, args, message):
    with pytest.raises(ValueError, match=message):
        mirvanta.light_curve(*args)


@pytest.mark.parametrize("name, value, message", [
    ("t0", np.array([[0.0], [math.nan]]), r"^t0 must be a finite number; t0\[1, 0\] = nan$"),
    ("u0", np.array([0.1, 0.2, -math.inf]), r"^u0 must be a finite number; u0\[2\] = -inf$"),
    ("tE", np.array([[20.0, 0.0]]), r"^tE must be a finite number above 0; tE\[0, 1\] = 0.0$"),
    ("tE", np.array([20.0, math.inf, 3.0]), r"^tE must be a finite number above 0; tE\[1\] = inf$"),
    ("tE", -1.0, r"^tE must be a finite number above 0, not -1.0$"),
    ("rho", np.array([[0.1, -0.2, 0.1]]), r"^rho must be at least 0 .*; rho\[0, 1\] = -0.2$"),
])
def test_each_bad_parameter_is_named_with_its_index(mirvanta, name, value, message):
    args = {"t": np.zeros(3), "t0": 0.0, "u0": 0.1, "tE": 20.0, "rho": 0.01}
    args[name] = value
    with pytest.raises(ValueError, match=message):
        mirvanta.light_curve(**args)


def test_the_first_value_beyond_reach_is_found_across_events(mirvanta):
    # The first event is a point source (exact), the second is not: the first value that cannot
    # reach rtol 1e-15 is the second event's first.
    with pytest.warns(RuntimeWarning, match=r"light_curve: 400 of 800 values did not reach rtol=1e-15 "
                                           r"\(worst estimated relative error 1e-13, the first at flat index 400\)"):
        mirvanta.light_curve(TIMES[:400], 0.0, 0.05, 20.0, np.array([[0.0], [0.01]]), mirvanta.Linear(0.6), rtol=1e-15)


@pytest.mark.parametrize("law", ["uniform", "quadratic"])
def test_equal_radii_are_one_source_and_distinct_radii_each_their_own(mirvanta, law):
    limb = laws(mirvanta)[law]
    u = np.abs(np.linspace(-0.3, 0.3, 2000))
    # An array of one radius is that radius as a number, interpolant and all.
    number = mirvanta.magnification(u, 0.1, limb)
    assert mirvanta.magnification(u, np.full(2000, 0.1), limb).tobytes() == number.tobytes()
    # Radii along the rows: each run of one radius is its own call (two rows of one radius in a
    # row are one run); radii along the separations (no two alike in a row): each separation is.
    rows = mirvanta.magnification(u.reshape(4, 500), np.array([[0.05], [0.1], [0.1], [0.2]]), limb)
    for begin, end, rho in ((0, 500, 0.05), (500, 1500, 0.1), (1500, 2000, 0.2)):
        assert rows.ravel()[begin:end].tobytes() == mirvanta.magnification(u[begin:end], rho, limb).tobytes()
    radii = np.linspace(0.05, 0.2, 300)
    mixed = mirvanta.magnification(u[:300], radii, limb)
    assert mixed.tobytes() == np.array([mirvanta.magnification(x, r, limb) for x, r in zip(u[:300], radii)]).tobytes()

