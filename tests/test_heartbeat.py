import copy
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.algorithm.heartbeat import WatchDog
from hostile import check_foreign_self, check_hostile_states


def reference(ticks, MaxOut):
    return (ticks + 1) % int(MaxOut + 1)


@pytest.mark.parametrize("MaxOut, outputs", [
    (3, [1, 2, 3, 0, 1, 2, 3, 0]),
    (0, [0, 0, 0]),
    (2.5, [1, 2, 0, 1, 2, 0]),
    (-3, [-1, 0, -1, 0]),
    (-2.5, [0, 0]),            # int(-1.5) = -1
    (True, [1, 0, 1]),
    (np.int64(2), [1, 2, 0]),
    (np.float64(2.9), [1, 2, 0, 1]),  # int(3.9) = 3
])
def test_cycles(MaxOut, outputs):
    w = WatchDog()
    assert w.ticks == 0
    got = [w(MaxOut) for _ in outputs]
    assert got == outputs and all(type(v) is int for v in got) and w.ticks == outputs[-1]


def test_default_keyword_and_changed_MaxOut():
    w = WatchDog()
    assert w() == 0 and w(MaxOut=10) == 1
    w.ticks = 7
    assert w(MaxOut=3) == 0
    with pytest.raises(TypeError):
        w(Max=3)
    with pytest.raises(TypeError):
        w(1, 2)


@pytest.mark.parametrize("MaxOut, exc", [(-1, ZeroDivisionError), (-1.5, ZeroDivisionError), (-0.2, ZeroDivisionError),
                                         ("3", TypeError), (None, TypeError), (float("nan"), ValueError),
                                         (float("inf"), OverflowError), ([1], TypeError)])
def test_bad_MaxOut_leaves_ticks(MaxOut, exc):
    w = WatchDog()
    w(5)
    with pytest.raises(exc) as got:
        w(MaxOut)
    with pytest.raises(exc) as want:
        reference(1, MaxOut)
    assert str(got.value) == str(want.value) and w.ticks == 1


@pytest.mark.parametrize("ticks, stored, type_name", [(1.5, 2.5, "float"), (np.int64(2), 3, "numpy.int64"),
                                                      (2.0, 3.0, "float")])
def test_non_int_ticks_stored_then_refused(ticks, stored, type_name):
    w = WatchDog()
    w.ticks = ticks
    with pytest.raises(TypeError, match=f"^Expected int, got {type_name}$"):
        w(9)
    assert w.ticks == stored and type(w.ticks) is type(ticks)


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.integers(), st.integers(-5, 5), st.booleans()),
       st.lists(st.one_of(st.integers(), st.integers(-5, 20), st.floats(-20, 20)), max_size=12))
def test_matches_integer_semantics(ticks, max_outs):
    w = WatchDog()
    w.ticks = ticks
    for m in max_outs:
        try:
            want = reference(ticks, m)
        except ZeroDivisionError:
            with pytest.raises(ZeroDivisionError):
                w(m)
            assert w.ticks == ticks
            continue
        assert w(m) == want and w.ticks == want
        ticks = want


CLONES = [copy.copy, copy.deepcopy] + [lambda o, p=p: pickle.loads(pickle.dumps(o, p))
                                       for p in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize("clone", CLONES)
@pytest.mark.parametrize("ticks", [5, 2**70, 2.5])
def test_clone_continues(clone, ticks):
    w = WatchDog()
    w.ticks = ticks
    c = clone(w)
    assert c.ticks == ticks and type(c.ticks) is type(ticks)
    if type(ticks) is int:
        assert [c(10) for _ in range(4)] == [w(10) for _ in range(4)]


def test_hostile_states():
    def make():
        w = WatchDog()
        w(7)
        return w

    check_hostile_states(make, lambda w: w(3))
    check_foreign_self(make(), object())
    with pytest.raises(TypeError):
        WatchDog.__new__(WatchDog)(3)
