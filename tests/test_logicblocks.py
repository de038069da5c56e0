import copy
import pickle
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.algorithm import logicblocks, utilities
from corvane.algorithm.logicblocks import RStrigger, TOFFtrigger, TONtrigger
from hostile import check_foreign_self, check_hostile_states


class RefTimer:
    """The timers written out step by step in plain Python, for comparison."""

    Ut, Yt, DT, ET = 0, 0, 3, 0

    def __init__(self, on):
        self.on, self.Ut_array = on, np.zeros(2, dtype=int)

    def call(self):
        a = self.Ut_array
        a[1:] = a[:-1]
        a[0] = self.Ut
        if (a[0] == 0) if self.on else (a[0] > 0):
            self.ET = self.DT
        if self.ET < self.DT and self.ET > 0:
            self.ET = self.ET - 1
        if (a[0] > a[1]) if self.on else (a[0] < a[1]):
            self.ET = self.DT - 1
        self.Yt = int((self.ET > 0) != self.on)


def drive(t, inputs, DT=None):
    out = []
    for k, u in enumerate(inputs):
        if DT is not None:
            t.DT = DT[k] if isinstance(DT, list) else DT
        t.Ut = u
        t.call()
        out.append((t.ET, t.Yt))
    return out


def state(t):
    return (list(t.Ut_array), t.ET, t.Yt)


def test_class_defaults_and_fresh_state():
    for cls in (TONtrigger, TOFFtrigger):
        assert [(cls.Ut, cls.Yt, cls.DT, cls.ET)] == [(0, 0, 3, 0)] and type(cls.DT) is int
        t = cls()
        assert t.Ut_array.dtype == np.zeros(1, dtype=int).dtype and t.Ut_array.tolist() == [0, 0]
    assert (RStrigger.S, RStrigger.R, RStrigger.Q, RStrigger.nQ) == (0, 0, False, True) and RStrigger.Q is False
    assert RStrigger().Q_array.dtype == bool and RStrigger().Q_array.tolist() == [False]
    assert logicblocks.dataStore is utilities.dataStore and logicblocks.np is np


# cls, DT (one value, or one per call), inputs, ET after each call, Yt after each call
TABLE = [
    (TONtrigger, 3, [0, 1, 1, 1, 1, 0], [3, 2, 1, 0, 0, 3], [0, 0, 0, 1, 1, 0]),
    (TONtrigger, 3, [0, 1, 0, 1, 1, 1], [3, 2, 3, 2, 1, 0], [0, 0, 0, 0, 0, 1]),
    (TOFFtrigger, 3, [1, 0, 0, 0, 0], [3, 2, 1, 0, 0], [1, 1, 1, 0, 0]),
    (TOFFtrigger, 3, [1, 0, 1, 0, 0, 0], [3, 2, 3, 2, 1, 0], [1, 1, 1, 1, 1, 0]),
    (TONtrigger, 3, [1], [2], [0]),                      # first call is a rising edge
    (TOFFtrigger, 3, [1], [3], [1]),
    (TONtrigger, 1, [0, 1, 1, 0], [1, 0, 0, 1], [0, 1, 1, 0]),  # DT 1: same call
    (TOFFtrigger, 1, [1, 0, 0], [1, 0, 0], [1, 0, 0]),
    (TONtrigger, 0, [1, 0, 1], [-1, 0, -1], [1, 1, 1]),  # DT 0 or less: never positive
    (TOFFtrigger, -2, [1, 0, 1], [-2, -3, -2], [0, 0, 0]),
    (TONtrigger, 3, [0.5, 2, 2, 2], [3, 2, 1, 0], [0, 0, 0, 1]),  # 0.5 is off, 2 is on
    (TONtrigger, 3, [1, -1, -1], [2, 1, 0], [0, 0, 1]),  # a negative input does not reset
    (TOFFtrigger, 3, [2, 1, 1, 1], [3, 2, 3, 3], [1, 1, 1, 1]),  # 2 -> 1 is a falling edge
    (TOFFtrigger, 3, [True, 0.9, 0.9], [3, 2, 1], [1, 1, 1]),
    (TONtrigger, [5, 5, 3, 9], [0, 1, 1, 1], [5, 4, 4, 3], [0, 0, 0, 0]),  # DT lowered: stops; raised: goes on
    (TOFFtrigger, [5, 5, 4, 9], [1, 0, 0, 0], [5, 4, 4, 3], [1, 1, 1, 1]),
]


@pytest.mark.parametrize("cls, DT, inputs, ET, Yt", TABLE)
def test_timing_table(cls, DT, inputs, ET, Yt):
    out = drive(cls(), inputs, DT)
    assert out == list(zip(ET, Yt)) and all(type(e) is int and type(y) is int for e, y in out)


@pytest.mark.parametrize("value, stored", [(-0.5, 0), (2.7, 2), (True, 1), ("3", 3), (np.float64(2.9), 2),
                                           (np.int8(-4), -4), (2**62, 2**62)])
def test_inputs_truncated_when_stored(value, stored):
    t = TONtrigger()
    t.Ut = value
    t.call()
    assert t.Ut_array.tolist() == [stored, 0]


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
@pytest.mark.parametrize("attr, bad", [("Ut", None), ("Ut", "x"), ("Ut", float("nan")), ("Ut", float("inf")),
                                       ("Ut", 1e30), ("Ut", 2**70), ("Ut", [1, 2]),
                                       ("DT", "a"), ("DT", np.array([1, 2])), ("DT", None)])
def test_failing_call_changes_nothing(cls, attr, bad):
    """Ut: numpy's own error for a value an int array cannot hold; DT: the comparison's error."""
    t = cls()
    drive(t, [1, 0])
    before = state(t)
    setattr(t, attr, bad)
    if attr == "Ut":
        ref = np.zeros(2, dtype=int)
        with pytest.raises(Exception) as expected:
            ref[0] = bad
        with pytest.raises(type(expected.value), match="^" + re.escape(str(expected.value)) + "$"):
            t.call()
    else:
        t.Ut = 1
        with pytest.raises((TypeError, ValueError)):
            t.call()
    assert state(t) == before


def readonly():
    a = np.zeros(2, dtype=int)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("make, exc", [
    (lambda: [0, 0], None), (lambda: np.zeros(2), None), (lambda: np.zeros(4, dtype=int)[::2], None),
    (lambda: np.zeros(3, dtype=np.int32), None), (lambda: np.zeros(2, dtype=np.dtype(">i8")), None),
    (lambda: np.zeros(1, dtype=int), IndexError), (lambda: (0, 0), TypeError), (readonly, ValueError),
    (lambda: None, TypeError)])
def test_assigned_histories(make, exc):
    """Other histories follow dataStore and the interpreter's operators, or fail changing nothing."""
    t, ref = TONtrigger(), RefTimer(True)
    t.Ut_array, ref.Ut_array = make(), make()
    for u in [1, 2.5, 0, 1, 1, 1]:
        t.Ut = ref.Ut = u
        if exc is not None:
            before = copy.deepcopy(t.Ut_array)
            with pytest.raises(exc):
                t.call()
            assert "ET" not in vars(t) and (t.Ut_array is None if before is None else list(t.Ut_array) == list(before))
            return
        t.call()
        ref.call()
        assert (list(t.Ut_array), t.ET, t.Yt) == (list(ref.Ut_array), ref.ET, ref.Yt)


levels = st.one_of(st.integers(-3, 3), st.floats(-2.5, 2.5), st.booleans())
counts = st.one_of(st.integers(-2, 6), st.sampled_from([2.5, 4.0, np.int64(4), np.float64(2.5), 2**80, True]))


@settings(max_examples=150, deadline=None)
@given(st.booleans(), st.lists(st.tuples(levels, st.none() | counts), max_size=30))
def test_matches_plain_python_step_by_step(on, steps):
    t, ref = (TONtrigger() if on else TOFFtrigger()), RefTimer(on)
    for u, DT in steps:
        for x in (t, ref):
            if DT is not None:
                x.DT = DT
            x.Ut = u
            x.call()
        assert (t.Ut_array.tolist(), t.ET, type(t.ET), t.Yt) == (ref.Ut_array.tolist(), ref.ET, type(ref.ET), ref.Yt)


def test_class_changes_between_calls_are_seen(monkeypatch):
    t, u = TONtrigger(), TONtrigger()
    t.Ut = u.Ut = 1
    t.call()
    monkeypatch.setattr(TONtrigger, "DT", 7)
    u.call()
    assert u.ET == 6
    seen = []
    monkeypatch.setattr(TONtrigger, "Yt", property(lambda self: -1, lambda self, v: seen.append(v)))
    t.call()
    assert seen == [0] and t.Yt == -1

    class Sub(RStrigger):
        S = property(lambda self: self.R == 0)

    r = Sub()
    r.call()
    assert r.Q is True and r.nQ is False


# --------------------------------------------------------------------------- latch

def test_latch_truth_table_and_hold():
    r, seen = RStrigger(), []
    for S, R in [(0, 0), (1, 0), (0, 0), (1, 1), (0, 0), (1, 0), (0, 1), (0, 0)]:
        r.S, r.R = S, R
        r.call()
        seen.append((r.Q, type(r.Q), r.nQ, type(r.nQ), r.Q_array.tolist()))
    T, F, nb = True, False, np.bool_
    assert seen == [(F, nb, T, bool, [F]), (T, bool, F, bool, [T]), (T, nb, F, bool, [T]), (F, bool, T, bool, [F]),
                    (F, nb, T, bool, [F]), (T, bool, F, bool, [T]), (F, bool, T, bool, [F]), (F, nb, T, bool, [F])]


def test_hold_reads_Q_array_not_Q():
    r = RStrigger()
    r.S = 1
    r.call()
    r.S, r.Q = 0, False
    r.call()
    assert r.Q is np.True_
    r.Q_array = np.array([False, True])
    r.call()
    assert r.Q is np.False_ and r.Q_array.tolist() == [False, False]
    r.Q_array = [1]                         # a list: the element itself is held
    r.call()
    assert r.Q == 1 and type(r.Q) is int and r.nQ is False


@pytest.mark.parametrize("S, R, Q", [("x", "", True), ([], [0], False), (None, 0.0, True), (np.float64(2), None, True),
                                     (np.array([1, 2]), 0, ValueError), (0, np.array([1, 2]), ValueError)])
def test_latch_inputs_used_by_truth(S, R, Q):
    r = RStrigger()
    r.S = 1
    r.call()
    r.S, r.R = S, R
    if Q is ValueError:
        with pytest.raises(ValueError):
            r.call()
        Q = True  # unchanged
    else:
        r.call()
    assert bool(r.Q) is Q and r.nQ is (not Q) and r.Q_array.tolist() == [Q]


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger, RStrigger])
def test_call_protocol(cls):
    assert cls().call() is None
    with pytest.raises(TypeError, match="takes no arguments"):
        cls().call(1)
    with pytest.raises(TypeError):
        cls.__new__(cls).call()


# --------------------------------------------------------------------------- copy and pickle

CLONES = [copy.copy, copy.deepcopy] + [lambda o, p=p: pickle.loads(pickle.dumps(o, p))
                                       for p in range(pickle.HIGHEST_PROTOCOL + 1)]


def running(cls):
    t = cls()
    t.S = t.Ut = 1
    t.call()
    t.Ut = t.S = 0
    t.call()
    return t


@pytest.mark.parametrize("clone", CLONES)
@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger, RStrigger])
def test_clone_continues_alone(cls, clone):
    t = running(cls)
    t.DT = 5
    c = clone(t)
    hist = "Q_array" if cls is RStrigger else "Ut_array"
    assert getattr(c, hist) is not getattr(t, hist) and c.DT == 5
    for S, R in [(0, 0), (1, 0), (0, 0), (0, 1), (0, 0)]:
        for x in (t, c):
            x.S, x.R, x.Ut = S, R, S
            x.call()
        assert vars(c) == vars(t) and list(getattr(c, hist)) == list(getattr(t, hist))


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger, RStrigger])
def test_hostile_states(cls):
    check_hostile_states(lambda: running(cls), lambda t: t.call())
    check_foreign_self(running(cls), object())
    check_foreign_self(running(cls), TOFFtrigger() if cls is TONtrigger else TONtrigger())
