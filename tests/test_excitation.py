import copy
import fractions
import math
import pickle
import struct
import sys
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from excitation_reference import PlainTestSignal
from hostile import check_foreign_self, check_hostile_states

import corvane.algorithm.excitation as ex


def reprs(values):
    return [repr(v) for v in values]  # compares types and the sign of zero too


def outcome(f, t):
    try:
        return reprs(f(t))
    except (OverflowError, ValueError) as e:
        return type(e)


def with_table(entries, ET=10):
    """A TestSignal whose first duty fractions are given (set through a saved state)."""
    ts = ex.TestSignal(0)
    ET_, amp, raw = ts.__getstate__()[0]
    raw = struct.pack(f"<{len(entries)}d", *entries) + raw[8 * len(entries):]
    ts.__setstate__(((ET, amp, raw), {}))
    return ts


@pytest.mark.parametrize("seed", [0, 7, 2**32 - 1])
def test_table_is_numpys_legacy_draw_and_reseeds_the_global_generator(seed):
    ts = ex.TestSignal(seed)
    after = np.random.random()
    np.random.seed(seed)
    want = np.random.randint(10, 91, size=10000) / 100
    assert np.random.random() == after
    assert ts._rand_arr.dtype == np.float64 and np.array_equal(ts._rand_arr, want)
    with pytest.raises(ValueError):
        ts._rand_arr[0] = 0.5
    with pytest.raises(ValueError):
        ts._rand_arr.flags.writeable = True
    assert ex.TestSignal(seed)(12345) == ts(12345)
    assert not np.array_equal(ex.TestSignal()._rand_arr, ex.TestSignal()._rand_arr)


def test_constructions_in_threads_each_get_their_own_seeds_table():
    seeds = range(8)
    want = {s: np.random.RandomState(s).randint(10, 91, size=10000) / 100 for s in seeds}
    wrong = []

    def build(seed):
        for _ in range(100):
            if not np.array_equal(ex.TestSignal(seed)._rand_arr, want[seed]):
                wrong.append(seed)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    try:
        threads = [threading.Thread(target=build, args=(s,)) for s in seeds]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert wrong == []


T_VALUES = [0, 1, 5, 11, 19, 20, 39, -1, -20, -21, 199_999, 200_000, 1_733_000_000, -(10**12), 2**62]


@pytest.mark.parametrize("ET", [10, 1, 2, 3, 5, 3600, -3, 2**40])
@pytest.mark.parametrize("amp", [1.0, 2, 0.25, -3])
def test_agrees_with_plain_python(ET, amp):
    ours, ref = ex.TestSignal(42), PlainTestSignal(42)
    for obj in (ours, ref):
        obj.set_ET(ET)
        obj.set_amplitude(amp)
    ts = list(T_VALUES) + list(np.random.default_rng(ET & 0xFFFF).integers(-10**6, 10**6, 300))
    for t in ts:
        assert reprs(ours(int(t))) == reprs(ref(int(t))), t
    for t in (np.int64(123457), np.int32(-77), np.uint16(999)):
        assert outcome(ours, t) == outcome(ref, t)


@settings(max_examples=400, deadline=None)
@given(st.integers(-60, 60).filter(bool), st.integers(-(2**63), 2**63 - 1), st.sampled_from([1.0, 3, 0.5, 0.0]))
def test_random_times_and_periods_agree(ET, t, amp):
    pair = (ex.TestSignal(9), PlainTestSignal(9))
    for obj in pair:
        obj.set_ET(ET)
        obj.set_amplitude(amp)
    assert reprs(pair[0](t)) == reprs(pair[1](t))


def test_worked_rows():
    ts = with_table([0.57, 0.3, 0.9])
    assert ts(0) == (1.0, 11, 20, 26, 40, 58)  # 20 * 0.57 = 11.399.. truncates to 11
    assert ts(11) == (-1.0, 9, 15, 29, 47, 49)  # first second of the low part
    assert ts(19)[:2] == (-1.0, 1)  # last second of the period
    assert ts(20 * 10000 + 11) == ts(11)  # the table wraps
    low = with_table([0.0])  # an offset of 0: the whole period is low
    low.set_ET(1)
    assert low(0) == (-1.0, 2, 2 + 1, 4, 4 + 1, 6)


def test_set_ET_and_amplitude():
    ts = ex.TestSignal(1)
    for value, stored in [(2.9, 2), ("7", 7), (True, 1), (-2.5, -2)]:
        ts.set_ET(value)
        assert type(ts.get_ET()) is int and ts.get_ET() == stored == ts._ET
    for bad, exc in [("x", ValueError), (None, TypeError), (math.inf, OverflowError), ([], TypeError)]:
        with pytest.raises(exc):
            ts.set_ET(bad)
        assert ts.get_ET() == -2
    ts.set_ET()
    for amp, stored in [(2, 2), (-3, 0.0), (0, 0.0), (math.nan, 0.0), (0.5, 0.5)]:
        ts.set_amplitude(amp)
        assert repr(ts.get_amplitude()) == repr(stored)
        assert {repr(ts(t)[0]) for t in range(20)} == {repr(stored), repr(-stored)}
    with pytest.raises(TypeError):
        ts.set_amplitude("x")
    assert ts.get_amplitude() == 0.5
    ts.set_amplitude()
    assert ts.get_amplitude() == 1.0


def test_t_none_reads_the_time_module_at_call_time(monkeypatch):
    ts = ex.TestSignal(3)
    monkeypatch.setattr(time, "time", lambda: 1_700_000_123.9)
    assert ts() == ts(t=None) == ts(1_700_000_123)


@pytest.mark.parametrize("t, ET, exc, text", [
    (5, 0, ZeroDivisionError, "integer division or modulo by zero"),
    (np.int64(5), 0, ZeroDivisionError, "integer division"),  # numpy would warn and return zeros
    (5.0, 0, ZeroDivisionError, "float floor division by zero"),
    (5.0, 10, IndexError, "only integers"),
    ("5", 10, TypeError, "unsupported operand"),
    (fractions.Fraction(5), 10, TypeError, "must be an int"),
    (2**64, 10, OverflowError, "out of range"),
    (5, 2**60, OverflowError, "out of range"),
])
def test_call_failures(t, ET, exc, text):
    ts = ex.TestSignal(0)
    ts.set_ET(ET)
    before = ts.__getstate__()
    with pytest.raises(exc, match=text):
        ts(t)
    assert ts.__getstate__() == before


def test_attributes_as_stored():
    ts = ex.TestSignal(0)
    ts._amp = 3
    assert ts(0)[0] == 3 and ts._amp == 3
    with pytest.raises(TypeError, match="Argument '_ET' has incorrect type"):
        ts._ET = 2.0
    with pytest.raises(AttributeError):
        ts._rand_arr = np.zeros(10000)


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy] + [
    (lambda p: lambda o: pickle.loads(pickle.dumps(o, protocol=p)))(p) for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_clone_continues_identically(clone):
    ts = ex.TestSignal(11)
    ts.set_ET(7)
    ts.set_amplitude(2)
    ts.note = "kept"
    twin = clone(ts)
    assert twin.note == "kept" and twin.get_ET() == 7 and np.array_equal(twin._rand_arr, ts._rand_arr)
    assert [twin(t) for t in range(-50, 300, 7)] == [ts(t) for t in range(-50, 300, 7)]


def test_hostile_states_and_foreign_self():
    def make():
        ts = ex.TestSignal(5)
        ts.set_ET(4)
        return ts

    def use(ts):
        return [ts(t) for t in range(8)]

    assert check_hostile_states(make, use) > 0
    check_foreign_self(ex.TestSignal(1), object())
    bad = ex.TestSignal(0).__getstate__()
    raw = bytearray(bad[0][2])
    raw[8:16] = struct.pack("<d", math.nan)
    with pytest.raises(ValueError, match="duty fractions"):
        ex.TestSignal(0).__setstate__(((10, 1.0, bytes(raw)), {}))
