import copy
import gc
from collections import deque

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.algorithm.deadtime import Delay, Delay_Algorithm
from hostile import check_foreign_self, check_hostile_states
from signal_reference import CLONES, PlainDelay, PlainDelayAlgorithm, outcome


@pytest.mark.parametrize("lag, want", [(1, [1, 1, 2]), (0, [1, 2, 3])])
def test_delay_worked_example(lag, want):
    d = Delay()
    assert [d(x, lag) for x in (1, 2, 3)] == want
    assert isinstance(d._cache, deque) and d._cache.maxlen == 10000 and len(d._cache) == 10000
    assert d._last_Ut is None


def test_delay_refused_lag_still_stores_the_input():
    d = Delay(max_cache=3)
    for x in (1, 2, 3):
        d(x)
    with pytest.raises(ValueError, match=r"^nLag must be between 0 and 2, but got 3\.$"):
        d(4, nLag=3)
    assert list(d._cache) == [4, 3, 2]
    assert d(5, nLag=2) == 3


@pytest.mark.parametrize("args, exc, msg", [
    ((None,), ValueError, "Ut is None and cache is empty."),
    ((1, 10000), ValueError, "nLag must be between 0 and 9999, but got 10000."),
    ((1, -1), ValueError, "nLag must be between 0 and 9999, but got -1."),
    ((1, 1.0), TypeError, "sequence index must be integer, not 'float'"),
    ((1, "1"), TypeError, "'<=' not supported between instances of 'int' and 'str'"),
])
def test_delay_failures(args, exc, msg):
    with pytest.raises(exc) as e:
        Delay()(*args)
    assert str(e.value) == msg


def test_delay_zero_capacity_and_unbounded():
    with pytest.raises(ValueError, match=r"^nLag must be between 0 and -1, but got 1\.$"):
        Delay(0)(5)
    d = Delay(None)
    assert d._cache == deque() and d._cache.maxlen is None
    with pytest.raises(TypeError, match="can't multiply sequence by non-int of type 'NoneType'"):
        d(1)


@pytest.mark.parametrize("max_cache, exc", [(1.5, TypeError), (-1, ValueError), (2**70, OverflowError)])
def test_delay_capacity_checks(max_cache, exc):
    with pytest.raises(exc):
        Delay(max_cache)


def test_delay_keeps_the_callers_objects():
    a, b = np.arange(3.0), ["x"]
    d = Delay(3)
    assert d(a, 0) is a and d(b) is a and d(None) is b and d(7, 2) is b and d(8, 2) is None
    assert d(True, nLag=True) == 8  # a bool lag is an index like 1


@settings(max_examples=60, deadline=None)
@given(cap=st.integers(0, 6),
       calls=st.lists(st.tuples(st.one_of(st.none(), st.integers(-3, 3), st.floats(allow_nan=False)),
                                st.one_of(st.integers(-2, 8), st.just(1.0), st.booleans())), max_size=25))
def test_delay_matches_reference(cap, calls):
    d, ref = Delay(cap), PlainDelay(cap)
    for ut, lag in calls:
        assert outcome(d, ut, lag) == outcome(ref, ut, lag)
        assert d._cache == ref._cache


def test_delay_cycle_is_collected():
    class Holder:
        freed = False

        def __del__(self):
            Holder.freed = True

    h = Holder()
    h.delay = Delay(3)
    h.delay(h)
    del h
    gc.collect()
    assert Holder.freed


@pytest.mark.parametrize("clone", CLONES)
def test_delay_clone_continues(clone):
    d = Delay(4)
    for x in (1.5, "a", 3):
        d(x)
    d.note = "kept"
    c = clone(d)
    assert c.note == "kept" and c._last_Ut is None and c._cache == d._cache
    assert [c(x, 3) for x in range(5)] == [d(x, 3) for x in range(5)]
    assert clone(Delay(None))._cache.maxlen is None


# ---------------------------------------------------------------------------

def run_algo(blk, seq):
    out = []
    for ut, lag in seq:
        blk.Ut, blk.nLag = ut, lag
        blk.call()
        out.append(blk.Yt)
    return out


def test_algorithm_worked_examples():
    blk = Delay_Algorithm()
    assert blk.Yt == 0 and type(Delay_Algorithm.Ut) is int and Delay_Algorithm.nLag == 1
    assert blk.U_array.dtype == np.float64 and blk.U_array.shape == (0,)
    assert run_algo(blk, [(x, 2) for x in (5, 6, 7, 8)]) == [5, 5, 5, 6] and len(blk.U_array) == 3
    assert type(blk.Yt) is np.float64

    blk = Delay_Algorithm()
    run_algo(blk, [(1, 1), (2, 1), (3, 1)])
    assert blk.U_array.tolist() == [3, 2]
    assert run_algo(blk, [(4, 4)]) == [2] and blk.U_array.tolist() == [4, 3, 2, 2, 2]
    assert run_algo(blk, [(5, 1)]) == [4] and len(blk.U_array) == 5

    blk.U_array = np.array([], dtype=float)  # restarts the history
    assert run_algo(blk, [(9, 2)]) == [9] and blk.U_array.tolist() == [9, 9, 9]


def test_algorithm_store_error_comes_before_index_error():
    blk = Delay_Algorithm()
    blk.U_array = np.array([3, 4], dtype=np.int64)
    blk.Ut, blk.nLag = 9.3e18, -4  # neither storable nor a valid index: the store is tried first
    with pytest.raises(OverflowError):
        blk.call()
    assert blk.U_array.tolist() == [3, 4]


def test_algorithm_shifts_the_callers_array_in_place():
    blk = Delay_Algorithm()
    run_algo(blk, [(1.0, 2)])
    arr = blk.U_array
    run_algo(blk, [(2.0, 2), (3.0, -1)])  # a negative lag counts from the old end
    assert arr is blk.U_array and arr.tolist() == [3, 2, 1] and blk.Yt == 1


@pytest.mark.parametrize("ut, lag, exc", [(1.0, -4, IndexError), ("x", 1, ValueError), (1.0, 1.5, IndexError),
                                          (10**400, 1, OverflowError)])
def test_algorithm_failure_changes_nothing(ut, lag, exc):
    blk = Delay_Algorithm()
    run_algo(blk, [(1.0, 2), (2.0, 2)])
    before, arr = blk.U_array.copy(), blk.U_array
    with pytest.raises(exc):
        run_algo(blk, [(ut, lag)])
    assert blk.U_array is arr and np.array_equal(arr, before) and blk.Yt == 1.0


class RefusesYt(Delay_Algorithm):
    armed = False

    def __setattr__(self, name, value):
        if name == "Yt" and self.armed:
            raise RuntimeError("refused")
        super().__setattr__(name, value)


@pytest.mark.parametrize("history, lag", [("float64", 1), ("float64", 6), ("list", 1)], ids=["in_place", "grown", "list"])
def test_refused_output_leaves_the_history(history, lag):
    blk = RefusesYt()
    run_algo(blk, [(1.0, 2), (2.0, 2)])
    if history == "list":
        blk.U_array = [2.0, 1.0, 1.0]
    arr, before = blk.U_array, list(blk.U_array)
    blk.armed = True
    blk.Ut, blk.nLag = 7.0, lag
    with pytest.raises(RuntimeError, match="refused"):
        blk.call()
    assert blk.U_array is arr and list(arr) == before and blk.Yt == 1.0


@settings(max_examples=60, deadline=None)
@given(start=st.sampled_from([None, "list0", "list2", "int", "2d"]),
       seq=st.lists(st.tuples(st.one_of(st.integers(-2**60, 2**60), st.floats(allow_nan=False), st.booleans()),
                              st.integers(-3, 6)), min_size=1, max_size=15))
def test_algorithm_matches_reference(start, seq):
    blk, ref = Delay_Algorithm(), PlainDelayAlgorithm()
    if start is not None:
        init = {"list0": list, "list2": lambda: [1, 2], "int": lambda: np.array([3, 4], dtype=np.int64),
                "2d": lambda: np.zeros((2, 2))}[start]
        blk.U_array, ref.U_array = init(), init()
    for ut, lag in seq:
        blk.Ut = ref.Ut = ut
        blk.nLag = ref.nLag = lag
        got, want = outcome(blk.call), outcome(ref.call)
        assert got[0] == want[0] and got[1:2] == want[1:2]
        if got[0] == "raise":
            return  # the reference may be left half-changed
        assert type(blk.Yt) is type(ref.Yt) and np.array_equal(blk.Yt, ref.Yt, equal_nan=True)
        assert type(blk.U_array) is type(ref.U_array)
        assert np.array_equal(np.asarray(blk.U_array), np.asarray(ref.U_array), equal_nan=True)


@pytest.mark.parametrize("clone", CLONES)
def test_algorithm_clone_continues(clone):
    blk = Delay_Algorithm()
    run_algo(blk, [(1.0, 3), (2.0, 3)])
    c = clone(blk)
    assert c.U_array is not blk.U_array or clone is copy.copy
    seq = [(float(x), 3) for x in range(3, 8)]
    want = run_algo(copy.deepcopy(blk), seq)
    assert run_algo(c, seq) == want


# ---------------------------------------------------------------------------

def test_hostile_states_and_foreign_self():
    def make_delay():
        d = Delay(3)
        d(1.0)
        return d

    check_hostile_states(make_delay, lambda d: (d(2.0), d(3.0, 2)))
    check_hostile_states(Delay_Algorithm, lambda b: b.call())
    check_foreign_self(make_delay(), Delay_Algorithm())
    check_foreign_self(Delay_Algorithm(), make_delay())
    with pytest.raises(ValueError):
        make_delay().__setstate__(((3, (1.0, 2.0)), None))
    with pytest.raises(TypeError):  # made by __new__ alone
        Delay.__new__(Delay)(1)
    for cls in (Delay, Delay_Algorithm):
        with pytest.raises(TypeError):
            cls.__init__(object())
