"""Binding of arguments to parameters: every TypeError text and which one wins."""

import pytest

W = "witt_mao_magnification"
H = "heyrovsky_magnification"

CASES = [
    (W, ([1.0], 1.0), {}, "witt_mao_magnification() missing 1 required positional argument: 'rstar'"),
    (W, (), {}, "witt_mao_magnification() missing 3 required positional arguments: 'l', 're', and 'rstar'"),
    (W, (), {"re": 1.0}, "witt_mao_magnification() missing 2 required positional arguments: 'l' and 'rstar'"),
    (W, ([1.0],), {"rstar": 1.0}, "witt_mao_magnification() missing 1 required positional argument: 're'"),
    (H, (1.0,), {"re": 1.0}, "heyrovsky_magnification() missing 2 required positional arguments: 'r' and 'rstar'"),
    (H, (), {}, "heyrovsky_magnification() missing 4 required positional arguments: 'l', 'r', 're', and 'rstar'"),
    (H, (1, 2, 3, 4, 5), {}, "heyrovsky_magnification() takes 4 positional arguments but 5 were given"),
    # too many positional wins over a wrong keyword
    (H, (1, 2, 3, 4, 5), {"bogus": 1}, "heyrovsky_magnification() takes 4 positional arguments but 5 were given"),
    (W, ([1.0], 1.0, 1.0, 1.0, 1.0, 1.0), {}, "witt_mao_magnification() takes 3 positional arguments but 6 were given"),
    (W, ([1.0], 1.0, 1.0), {"rho": 0.1}, "witt_mao_magnification() got an unexpected keyword argument 'rho'"),
    # a wrong keyword wins over missing parameters
    (W, (), {"rho": 0.1}, "witt_mao_magnification() got an unexpected keyword argument 'rho'"),
    (W, ([1.0], 1.0, 1.0), {"l": [2.0]}, "witt_mao_magnification() got multiple values for argument 'l'"),
    (W, ([1.0],), {"l": [2.0], "bogus": 1}, "witt_mao_magnification() got multiple values for argument 'l'"),
    # keyword names compare exactly, byte for byte
    (W, ([1.0], 1.0), {"Rstar": 1.0}, "witt_mao_magnification() got an unexpected keyword argument 'Rstar'"),
    (W, ([1.0], 1.0), {"rstar\0": 1.0}, "witt_mao_magnification() got an unexpected keyword argument 'rstar\x00'"),
    (W, ([1.0], 1.0), {"\udc80": 1.0}, "witt_mao_magnification() got an unexpected keyword argument '\udc80'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", CASES)
def test_binding_errors(mirvanta, name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(mirvanta, name)(*args, **kwargs)
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


def test_first_wrong_keyword_in_call_order_is_reported(mirvanta):
    with pytest.raises(TypeError, match="'zeta'"):
        mirvanta.witt_mao_magnification(zeta=1, alpha=2)
    with pytest.raises(TypeError, match="'alpha'"):
        mirvanta.witt_mao_magnification(alpha=2, zeta=1)


def test_keywords_in_any_order(mirvanta):
    expected = mirvanta.witt_mao_magnification([1.0], 1.0, 0.1)
    assert mirvanta.witt_mao_magnification(rstar=0.1, l=[1.0], re=1.0) == expected
    assert mirvanta.witt_mao_magnification([1.0], rstar=0.1, re=1.0) == expected
    assert mirvanta.heyrovsky_magnification(rstar=0.1, re=1.0, r=0.5, l=0.2) == \
        mirvanta.heyrovsky_magnification(0.2, 0.5, 1.0, 0.1)


def test_binding_precedes_conversion(mirvanta):
    # Bad values are never looked at when the call does not bind.
    with pytest.raises(TypeError, match="missing 1 required"):
        mirvanta.witt_mao_magnification("abc", None)
