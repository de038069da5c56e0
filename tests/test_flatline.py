import copy
import gc
import math
import pickle
import weakref
from collections import deque
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from flatline_reference import PlainConstDect
from hostile import check_foreign_self, check_hostile_states
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.algorithm.flatline import ConstDect


def feed(cd, inputs, DectLen=10):
    return [bool(cd(u, DectLen)) for u in inputs]


class Opaque:
    """A number only through __float__: its window arithmetic fails."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


VALUES = [0.0, 0.0, 5e-7, 9e-7, 1e-6, 1.0, 1.0 + 9e-7, 3, True, False, math.nan, math.inf, -math.inf]
OBJECTS = [Decimal(1), Decimal("1.0000005"), Decimal(3), Fraction(1, 3), Fraction(1), 1j, 1 + 0j, 2**70, 2**70 + 1,
           Opaque(1.0), Decimal("NaN")]
LENGTHS = [1.7, 2.5, 0.5, -0.5, 0.0, np.int64(2), np.int64(0), True, False, Fraction(7, 2), Decimal("2.5"),
           np.float32(3.5), np.float64(2.0), math.nan, -math.inf, -3]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(VALUES) | st.sampled_from(OBJECTS),
                          st.none() | st.integers(1, 14) | st.just(300) | st.sampled_from(LENGTHS)),
                min_size=1, max_size=60))
def test_agrees_with_the_plain_window(calls):
    cd, ref = ConstDect(), PlainConstDect()
    for u, n in calls:
        args = (u,) if n is None else (u, n)
        try:
            with np.errstate(invalid="ignore"):
                want = ref(*args)
        except (TypeError, IndexError, ArithmeticError) as e:
            with pytest.raises(type(e)):
                cd(*args)
            ref._U_queue = deque(cd._U_queue)  # a failing call leaves the detector as it was
            continue
        got = cd(*args)
        assert type(got) is np.bool and got == want
        q = cd._U_queue
        assert type(q) is deque and len(q) == len(ref._U_queue) and all(a is b for a, b in zip(q, ref._U_queue))


@pytest.mark.parametrize("L, window", [(1.7, 1), (np.int64(2), 2), (True, 1), (2.5, 2), (Fraction(7, 2), 3),
                                       (Decimal("2.5"), 2), (np.float32(3.5), 3)])
def test_any_real_window_length(L, window):
    cd, inputs = ConstDect(), [1.0, 2.0, 2.0, 2.0, 2.0]
    assert feed(cd, inputs, L) == feed(ConstDect(), inputs, window) and len(cd._U_queue) == window


def test_steps_of_objects_use_their_own_arithmetic():
    assert feed(ConstDect(), [Decimal(1), Decimal("1.0000005"), 1, Decimal("1.0000015")], 3) == [True] * 3 + [False]
    assert feed(ConstDect(), [Fraction(1, 3), 1 / 3, 1j, 1j], 2) == [True, True, False, True]
    cd = ConstDect()
    feed(cd, [Decimal(2)] * 3, 3)
    with pytest.raises(TypeError, match=r"for -: 'float' and 'decimal.Decimal'"):
        cd(2.0, 3)
    assert list(cd._U_queue) == [Decimal(2)] * 3
    assert cd(2.0, 1) and list(cd._U_queue) == [2.0]  # a step that leaves the window is never taken


def test_worked_rows():
    assert feed(ConstDect(), [7.5]) == [True]
    assert feed(ConstDect(), range(1, 6)) == [True, False, False, False, False]
    cd = ConstDect()
    feed(cd, [1.0] * 12)
    assert feed(cd, [2.0] * 11) == [False] * 9 + [True, True]
    assert feed(ConstDect(), [0.0, 5.0, math.pi, -1.0], DectLen=1) == [True] * 4
    assert feed(ConstDect(), [0.0, 1e-6], 2) == [True, False]
    assert feed(ConstDect(), [0.0, 0.9e-6, 1.8e-6], 3) == [True, True, True]  # a slow drift passes
    assert feed(ConstDect(), [math.nan, 1.0, 1.0, 1.0], 3) == [False, False, False, True]


def test_window_length_changes():
    cd = ConstDect()
    feed(cd, range(10))
    assert not cd(99, DectLen=20)
    assert list(cd._U_queue) == list(range(10)) + [99] * 10
    assert not cd(98, DectLen=12) and list(cd._U_queue) == [9] + [99] * 10 + [98]
    assert cd(98, DectLen=1) and list(cd._U_queue) == [98]


@pytest.mark.parametrize("L", [10, 10**6, 10**15, 10**15 + 0.5, Decimal(10**15) + Decimal("0.5")])
def test_long_windows_cost_one_run(L):
    cd = ConstDect()
    assert cd(1.0, L) and not cd(2.0, L) and len(cd.__getstate__()[0][0]) == 2
    assert cd(2.0, 2) and cd.__getstate__()[0] == (((2.0, 2.0, 1), (2.0, 2.0, 1)), 2)


@pytest.mark.parametrize("args, exc, text", [
    ((1.0, 0), IndexError, "deque index out of range"),
    ((1.0, 0.5), IndexError, "deque index out of range"),
    ((1.0, np.int64(0)), IndexError, "deque index out of range"),
    ((1.0, -3), IndexError, "pop from an empty deque"),
    ((1.0, -0.5), IndexError, "pop from an empty deque"),
    ((1.0, Decimal(-1)), IndexError, "pop from an empty deque"),
    ((1.0, "3"), TypeError, "'<' not supported between instances of 'int' and 'str'"),
    ((1.0, None), TypeError, "'<' not supported"),
    ((1.0, 2**63), OverflowError, None),
    ((1.0, 2**62), OverflowError, "DectLen too large"),
    ((1.0, math.inf), OverflowError, "DectLen too large"),
    ((1.0, Fraction(2**70, 3)), OverflowError, "DectLen too large"),
    (("abc",), TypeError, "unsupported operand type"),
    ((None,), TypeError, None),
    ((Decimal(2),), TypeError, "'decimal.Decimal' and 'float'"),
    ((Opaque(2.0),), TypeError, None),
    ((10**400,), OverflowError, "int too large to convert to float"),
    ((), TypeError, "missing required argument 'Ut'"),
])
def test_failures_leave_the_window_unchanged(args, exc, text):
    cd = ConstDect()
    feed(cd, [1.0, 2.0, 2.0], 4)
    before = cd.__getstate__()
    with pytest.raises(exc, match=text):
        cd(*args)
    assert cd.__getstate__() == before


class CallsBack:
    """A window length or an input whose comparison or arithmetic calls the detector again."""

    def __init__(self, cd):
        self.cd = cd

    def __gt__(self, other):
        self.cd(5.0, 2)
        return False

    __lt__ = __gt__

    def __sub__(self, other):
        self.cd(5.0, 2)
        return 0.0


@pytest.mark.parametrize("as_input", [False, True])
def test_a_detector_called_again_from_its_own_call(as_input):
    cd = ConstDect()
    with pytest.raises(RuntimeError, match="changed while its input was being compared"):
        cd(CallsBack(cd)) if as_input else cd(1.0, CallsBack(cd))
    assert list(cd._U_queue) == [5.0, 5.0]


CLONES = [copy.copy, copy.deepcopy] + [
    (lambda p: lambda o: pickle.loads(pickle.dumps(o, protocol=p)))(p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize("clone", CLONES)
def test_clone_continues_identically(clone):
    cd = ConstDect()
    cd.note = "kept"
    feed(cd, [1.0, 1.0, 2, math.nan, 3.0], 4)
    cd(3.0, 8)
    twin = clone(cd)
    assert twin.note == "kept" and list(map(repr, twin._U_queue)) == list(map(repr, cd._U_queue))
    script = [(3.0, 8), (3.0, 3), (3.0, 3), (4.0, 2), (4.0, 12)] + [(4.0, 12)] * 12
    assert [twin(*c) for c in script] == [cd(*c) for c in script]


def test_hostile_states_and_foreign_self():
    def make():
        cd = ConstDect()
        feed(cd, [1.0, 2.0], 3)
        return cd

    assert check_hostile_states(make, lambda cd: feed(cd, [2.0, 2.0, 5.0], 2)) > 0
    check_foreign_self(ConstDect(), object())
    for bad in [((1.0, 1.0, 0),), ((1.0, 1.0, 2**62), (1.0, 1.0, 2**62))]:
        with pytest.raises(ValueError, match="run length"):
            ConstDect().__setstate__((bad, None))


class Noisy(float):
    """An input that calls the detector again when it leaves the window."""

    def __del__(self):
        if self.owner is not None:
            self.owner(0.0, 2)


def test_finalisers_and_cycles():
    cd = ConstDect()
    u = Noisy(1.0)
    u.owner = cd
    cd(u, 1)
    del u
    assert cd(5.0, 1)  # u leaves here and calls back in once the window is in order
    assert len(cd._U_queue) == 2 and cd._U_queue[-1] == 0.0
    cycle = ConstDect()
    v = Noisy(2.0)
    v.owner = None
    v.detector = cycle
    cycle(v)
    ref = weakref.ref(v)
    del v, cycle
    gc.collect()
    assert ref() is None


def test_subclasses_and_bare_instances():
    class Own(ConstDect):
        def __call__(self, Ut, DectLen=10):
            return "own"

    class Plain(ConstDect):
        pass

    assert Own()(1.0) == "own" and Plain()(1.0) is np.True_ and ConstDect.__call__(Plain(), 1.0, 1) is np.True_
    with pytest.raises(TypeError):
        ConstDect.__new__(ConstDect)(1.0)
