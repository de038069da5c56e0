import copy
import pickle

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
        self.on = on
        self.Ut_array = np.zeros(2, dtype=int)

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
        self.Yt = (0 if self.ET > 0 else 1) if self.on else (1 if self.ET > 0 else 0)


def drive(t, inputs, DT=None):
    out = []
    for u in inputs:
        if DT is not None:
            t.DT = DT
        t.Ut = u
        t.call()
        out.append((t.ET, t.Yt))
    return out


def state(t):
    return (t.Ut_array.tolist(), t.ET, t.Yt)


def test_class_defaults_and_fresh_state():
    for cls in (TONtrigger, TOFFtrigger):
        assert [(getattr(cls, a), type(getattr(cls, a))) for a in ("Ut", "Yt", "DT", "ET")] == [
            (0, int), (0, int), (3, int), (0, int)]
        t = cls()
        assert t.Ut_array.dtype == np.zeros(1, dtype=int).dtype and t.Ut_array.tolist() == [0, 0]
        assert cls().Ut_array is not t.Ut_array
    assert (RStrigger.S, RStrigger.R, RStrigger.Q, RStrigger.nQ) == (0, 0, False, True)
    assert RStrigger.Q is False and RStrigger.nQ is True
    q = RStrigger().Q_array
    assert q.dtype == bool and q.tolist() == [False]
    assert logicblocks.dataStore is utilities.dataStore and logicblocks.np is np


# cls, DT, inputs, ET after each call, Yt after each call
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
]


@pytest.mark.parametrize("cls, DT, inputs, ET, Yt", TABLE)
def test_timing_table(cls, DT, inputs, ET, Yt):
    out = drive(cls(), inputs, DT)
    assert out == list(zip(ET, Yt))
    assert all(type(e) is int and type(y) is int for e, y in out)


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
def test_changing_DT_during_a_count(cls):
    start = 1 if cls is TONtrigger else 0
    t = cls()
    t.DT = 5
    drive(t, [1 - start, start])          # edge: ET 4
    drive(t, [start], DT=3)               # lowered to ET or below: the count stops
    assert t.ET == 4
    drive(t, [start], DT=9)               # raised: continues from the present ET
    assert t.ET == 3


@pytest.mark.parametrize("value, stored", [(0.5, 0), (-0.5, 0), (2.7, 2), (True, 1), ("3", 3), (np.float64(2.9), 2),
                                           (np.int8(-4), -4), (2**62, 2**62)])
def test_inputs_truncated_when_stored(value, stored):
    t = TONtrigger()
    t.Ut = value
    t.call()
    assert t.Ut_array.tolist() == [stored, 0]


@pytest.mark.parametrize("bad", [None, "x", float("nan"), float("inf"), 1e30, 2**70, [1, 2]])
@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
def test_unstorable_input_raises_numpys_error_and_changes_nothing(cls, bad):
    ref = np.zeros(2, dtype=int)
    with pytest.raises(Exception) as expected:
        ref[0] = bad
    t = cls()
    drive(t, [1, 1])
    before = state(t)
    t.Ut = bad
    with pytest.raises(type(expected.value), match=None) as got:
        t.call()
    assert str(got.value) == str(expected.value)
    assert state(t) == before


@pytest.mark.parametrize("DT", [3.0, np.int64(4), np.float64(2.5), 2**80, True])
def test_counts_keep_the_callers_types(DT):
    for on in (True, False):
        t, ref = (TONtrigger() if on else TOFFtrigger()), RefTimer(on)
        for u in [1, 1, 0, 0, 1, 0, 0, 0]:
            for x in (t, ref):
                x.DT, x.Ut = DT, u
                x.call()
            assert (t.ET, type(t.ET), t.Yt) == (ref.ET, type(ref.ET), ref.Yt)


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
@pytest.mark.parametrize("DT, exc", [("a", TypeError), (np.array([1, 2]), ValueError), (None, TypeError)])
def test_bad_DT_raises_and_changes_nothing(cls, DT, exc):
    t = cls()
    drive(t, [1, 0])
    before = state(t)
    t.DT, t.Ut = DT, 1
    with pytest.raises(exc):
        t.call()
    assert state(t) == before


@pytest.mark.parametrize("make", [
    lambda: [0, 0],                              # a list
    lambda: np.zeros(2),                         # float history: no truncation
    lambda: np.zeros(4, dtype=int)[::2],         # strided view
    lambda: np.zeros(3, dtype=np.int32),         # other width, longer
    lambda: np.zeros(2, dtype=np.dtype(">i8")),  # byte-swapped
])
def test_assigned_histories_follow_dataStore(make):
    t, ref = TONtrigger(), RefTimer(True)
    t.Ut_array, ref.Ut_array = make(), make()
    for u in [1, 2.5, 0, 1, 1, 1]:
        t.Ut = ref.Ut = u
        t.call()
        ref.call()
        assert (list(t.Ut_array), t.ET, t.Yt) == (list(ref.Ut_array), ref.ET, ref.Yt)


def readonly():
    a = np.zeros(2, dtype=int)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("make, exc", [(lambda: np.zeros(1, dtype=int), IndexError), (lambda: (0, 0), TypeError),
                                       (readonly, ValueError), (lambda: None, TypeError)])
def test_unusable_or_readonly_histories(make, exc):
    t = TONtrigger()
    t.Ut_array = make()
    before = copy.deepcopy(t.Ut_array)
    t.Ut = 1
    with pytest.raises(exc):
        t.call()
    assert t.ET == 0 and "ET" not in vars(t)
    assert t.Ut_array is None if before is None else list(t.Ut_array) == list(before)


levels = st.one_of(st.integers(-3, 3), st.floats(-2.5, 2.5), st.booleans())
counts = st.one_of(st.integers(-2, 6), st.sampled_from([2.5, 4.0]))


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


# --------------------------------------------------------------------------- latch

def test_latch_truth_table_and_hold():
    r = RStrigger()
    seen = []
    for S, R in [(0, 0), (1, 0), (0, 0), (1, 1), (0, 0), (1, 0), (0, 1), (0, 0)]:
        r.S, r.R = S, R
        r.call()
        seen.append((r.Q, type(r.Q), r.nQ, r.Q_array.tolist()))
    T, F, nb = True, False, np.bool_
    assert seen == [(F, nb, T, [F]), (T, bool, F, [T]), (T, nb, F, [T]), (F, bool, T, [F]), (F, nb, T, [F]),
                    (T, bool, F, [T]), (F, bool, T, [F]), (F, nb, T, [F])]
    assert all(type(s[2]) is bool for s in seen)


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


@pytest.mark.parametrize("S, R, Q", [("x", "", True), ([], [0], False), (None, 0.0, False), (np.float64(2), None, True)])
def test_latch_inputs_used_by_truth(S, R, Q):
    r = RStrigger()
    r.S, r.R = S, R
    r.call()
    assert bool(r.Q) is Q and r.nQ is (not Q)


@pytest.mark.parametrize("attr", ["S", "R"])
def test_latch_undecidable_input_changes_nothing(attr):
    r = RStrigger()
    r.S = 1
    r.call()
    setattr(r, attr, np.array([1, 2]))
    with pytest.raises(ValueError):
        r.call()
    assert (r.Q, r.nQ, r.Q_array.tolist()) == (True, False, [True])


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger, RStrigger])
def test_call_takes_no_arguments(cls):
    with pytest.raises(TypeError, match="takes no arguments"):
        cls().call(1)
    assert cls().call() is None


# --------------------------------------------------------------------------- copy and pickle

def roundtrip(obj, protocol=pickle.HIGHEST_PROTOCOL):
    return pickle.loads(pickle.dumps(obj, protocol))


CLONES = [copy.copy, copy.deepcopy] + [lambda o, p=p: roundtrip(o, p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize("clone", CLONES)
@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
def test_timer_clone_continues_alone(cls, clone):
    t = cls()
    t.DT = 5
    drive(t, [0, 1, 1, 0, 1])
    c = clone(t)
    assert c.Ut_array is not t.Ut_array and c.DT == 5
    inputs = [1, 1, 0, 0, 0, 1, 1, 1]
    assert drive(c, inputs) == drive(t, inputs)
    assert c.Ut_array.tolist() == t.Ut_array.tolist()


@pytest.mark.parametrize("clone", CLONES)
def test_latch_clone_continues_alone(clone):
    r = RStrigger()
    r.S = 1
    r.call()
    r.S = 0
    c = clone(r)
    assert c.Q_array is not r.Q_array
    r.R = 1
    r.call()
    c.call()
    assert c.Q is np.True_ and r.Q is False


def running(cls):
    t = cls()
    if cls is RStrigger:
        t.S = 1
        t.call()
    else:
        drive(t, [1, 0])
    return t


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger, RStrigger])
def test_hostile_states(cls):
    check_hostile_states(lambda: running(cls), lambda t: t.call())
    check_foreign_self(running(cls), object())
    check_foreign_self(running(cls), TOFFtrigger() if cls is TONtrigger else TONtrigger())


def test_uninitialised_objects_raise():
    for cls in (TONtrigger, TOFFtrigger, RStrigger):
        o = cls.__new__(cls)
        with pytest.raises(TypeError):
            o.call()


def test_class_changes_between_calls_are_seen(monkeypatch):
    t, u = TONtrigger(), TONtrigger()
    t.Ut = 1
    t.call()
    monkeypatch.setattr(TONtrigger, "DT", 7)       # a new class default
    u.Ut = 1
    u.call()
    assert u.ET == 6
    seen = []
    monkeypatch.setattr(TONtrigger, "Yt", property(lambda self: -1, lambda self, v: seen.append(v)))
    t.call()
    assert seen == [0] and t.Yt == -1

    class Sub(RStrigger):
        @property
        def S(self):
            return self.R == 0

    r = Sub()
    r.call()
    assert r.Q is True and r.nQ is False
