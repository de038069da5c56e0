import math
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.algorithm.slewlimit import RateLimit
from hostile import check_foreign_self, check_hostile_states
from signal_reference import CLONES, PlainRateLimit, outcome


@pytest.mark.parametrize("ini, Ts, args, want", [
    (0.0, 1, (10,), [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 10.0, 10.0]),
    (0.0, 2, (10, 30), [1.0, 2.0, 3.0]),
    (10.0, 1, (0,), [9.0, 8.0, 7.0]),
    (10.0, 1, (0, 60, 10), [10 - 1 / 6, 10 - 2 / 6]),
    (10.0, 1, (0, 60, -10), [10 - 1 / 6, 10 - 2 / 6]),
    (0.0, 1, (5, -60), [1.0, 2.0]),
    (0.0, 1, (0.5,), [0.5, 0.5]),
])
def test_worked_examples(ini, Ts, args, want):
    r = RateLimit(ini, Ts=Ts)
    got = [r(*args) for _ in want]
    assert got == pytest.approx(want, abs=1e-12) and all(type(x) is float for x in got)


def test_u_last_holds_the_target_object_when_reached():
    r = RateLimit(0)
    assert type(r.u_last) is float and r.Ts == 1 and type(r.Ts) is int
    target = Fraction(1, 3)
    assert r(target) == 1 / 3 and r.u_last is target
    assert r(2**40) == 1 + 1 / 3 and type(r.u_last) is float
    r.reset(5)
    assert r.u_last == 5.0 and type(r.u_last) is float and r(5.5) == 5.5


def test_attributes_assigned_between_samples_are_used():
    r = RateLimit(0)  # 60 per minute
    r.Ts = 2
    assert r(10) == 2.0
    r.u_last = 7
    assert r(10) == 9.0 and r.u_last == 9.0
    r.Ts = "x"
    with pytest.raises(TypeError):
        r(20)
    assert r.u_last == 9.0


def test_nan_target_is_stored_and_makes_the_next_target_pass_unlimited():
    r = RateLimit(1.0)
    assert math.isnan(r(math.nan)) and math.isnan(r.u_last)
    assert r(30.0) == 30.0  # both comparisons with NaN are false: the target is taken as it is
    r.reset(2.0)
    assert r(30.0) == 3.0


@pytest.mark.parametrize("args", [("x",), (1.0, "x"), (1.0, 60, "x"), (1j,)])
def test_failed_call_changes_nothing(args):
    r = RateLimit(2.5)
    with pytest.raises(TypeError):
        r(*args)
    assert r.u_last == 2.5 and r(3.0) == 3.0


@pytest.mark.parametrize("bad", ["1", None, [1]])
def test_number_parameters_refuse_non_numbers(bad):
    with pytest.raises(TypeError):
        RateLimit(bad)
    r = RateLimit(1.0)
    with pytest.raises(TypeError):
        r.reset(bad)
    assert r.u_last == 1.0


NUMBERS = st.one_of(st.floats(-1e6, 1e6), st.integers(-2**60, 2**60), st.just(math.nan),
                    st.builds(Fraction, st.integers(-99, 99), st.integers(1, 9)), st.builds(np.float64, st.floats(-9, 9)))


@settings(max_examples=80, deadline=None)
@given(ini=st.floats(-100, 100), Ts=st.one_of(st.integers(0, 5), st.floats(0, 5), st.just(2**70)),
       calls=st.lists(st.tuples(NUMBERS, st.one_of(NUMBERS, st.none()), st.one_of(NUMBERS, st.none())), max_size=12))
def test_matches_reference(ini, Ts, calls):
    r, ref = RateLimit(ini, Ts), PlainRateLimit(ini, Ts)
    for u_end, p, n in calls:
        args = (u_end,) if p is None else (u_end, p, n)
        got, want = outcome(r, *args), outcome(ref, *args)
        assert got[:2] == want[:2]
        if got[0] == "ok":
            assert got[2] == want[2] or (math.isnan(got[2]) and math.isnan(want[2]))
            assert type(r.u_last) is type(ref.u_last) and repr(r.u_last) == repr(ref.u_last)


@pytest.mark.parametrize("clone", CLONES)
def test_clone_continues(clone):
    r = RateLimit(0.0, Ts=0.5)
    r(7)
    r.tag = "kept"
    c = clone(r)
    assert c.tag == "kept" and c.Ts == 0.5
    assert [c(3, 30, 90) for _ in range(4)] == [r(3, 30, 90) for _ in range(4)]


def test_hostile_states_and_foreign_self():
    check_hostile_states(lambda: RateLimit(1.0, 2), lambda r: r(5.0))
    check_foreign_self(RateLimit(0.0), object())
    with pytest.raises(TypeError):  # made by __new__ alone
        RateLimit.__new__(RateLimit)(1.0)
