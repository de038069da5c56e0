import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.algorithm.clampguard import AntiWindupLimter
from hostile import check_foreign_self, check_hostile_states
from signal_reference import CLONES, PlainAntiWindup, outcome


def same(a, b):
    return type(a) is type(b) and (a == b or (a != a and b != b))


@pytest.mark.parametrize("calls, want", [
    ([(50,), (120,), (130,), (110,), (90,)], [50.0, 100, 100, 80.0, 60.0]),
    ([(-10,), (5,)], [0.0, 15.0]),
    ([(30,)], [30.0]),
    ([(3, 5, 10), (-50, 5, 10)], [5, 5]),
    ([(80,), (80, 50), (80, 100)], [80.0, 50, 50.0]),
])
def test_worked_examples(calls, want):
    lim = AntiWindupLimter()
    got = [lim(*c) for c in calls]
    assert all(same(g, w) for g, w in zip(got, want)), got


def test_limit_object_itself_and_state():
    lim = AntiWindupLimter()
    assert lim._u0 is None and lim._y0 is None
    hi = Fraction(15, 2)
    assert same(lim(9, hi), 7.5) and same(lim._y0, 7.5)  # on the limit: the float sum
    assert lim(10, hi) is hi and lim._y0 is hi and lim._u0 == 10.0
    with pytest.raises(TypeError):
        lim(11, "x")
    assert lim._y0 is hi and lim._u0 == 10.0
    with pytest.raises(TypeError):  # Decimal + float
        AntiWindupLimter()(9, Decimal("7.5"))


@pytest.mark.parametrize("args", [("x",), (None,), (5, "a"), (5, 100, [0])])
def test_failed_first_call_changes_nothing(args):
    lim = AntiWindupLimter()
    with pytest.raises(TypeError):
        lim(*args)
    assert lim._u0 is None and lim._y0 is None and lim(5) == 5.0


def test_run_is_the_call():
    a, b = AntiWindupLimter(), AntiWindupLimter()
    for u in (50, 150, 40):
        assert same(a.run(u), b(u)) and a._y0 == b._y0

    class Sub(AntiWindupLimter):
        def __call__(self, u, HI=100, LO=0):
            return ("sub", u, HI, LO)

    assert Sub().run(1, LO=-5) == ("sub", 1, 100, -5)


LIMITS = st.one_of(st.integers(-2**60, 2**60), st.floats(-200, 200), st.just(math.nan),
                   st.builds(np.float64, st.floats(-200, 200)), st.sampled_from([100, 0, -50]))


@settings(max_examples=80, deadline=None)
@given(calls=st.lists(st.tuples(st.one_of(st.floats(-300, 300), st.integers(-300, 300), st.just(math.inf)),
                                LIMITS, LIMITS), max_size=12))
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_matches_reference(calls):
    lim, ref = AntiWindupLimter(), PlainAntiWindup()
    for u, hi, lo in calls:
        got, want = outcome(lim.run, u, hi, lo), outcome(ref, u, hi, lo)
        assert got[:2] == want[:2] and (got[0] == "raise" or same(got[2], want[2]))
        assert same(lim._u0, ref._u0) and same(lim._y0, ref._y0)


@pytest.mark.parametrize("clone", CLONES)
def test_clone_continues(clone):
    lim = AntiWindupLimter()
    lim(120)
    c = clone(lim)
    assert c._y0 == 100 and c._u0 == 120.0
    assert clone(AntiWindupLimter())._u0 is None
    seq = [(90,), (95, 80), (200, 300, 10)]
    assert [c(*s) for s in seq] == [lim(*s) for s in seq]


def test_hostile_states_and_foreign_self():
    def make():
        lim = AntiWindupLimter()
        lim(30.0)
        return lim

    check_hostile_states(make, lambda lim: lim(40.0))
    check_foreign_self(make(), object())
    with pytest.raises(ValueError):
        make().__setstate__(((None, 5.0), {}))
