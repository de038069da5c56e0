"""corvane.loop: the signal and logic blocks run natively, equal to their own API bit for bit, errors included."""

import contextlib
import copy
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.algorithm.deadtime import Delay, Delay_Algorithm
from corvane.algorithm.flatline import ConstDect
from corvane.algorithm.logicblocks import RStrigger, TOFFtrigger, TONtrigger
from corvane.algorithm.phasefilter import LDLAG
from corvane.algorithm.slewlimit import RateLimit
from corvane.loop import Loop
from corvane.loop import loop as loop_module
from test_loop import same, states

NAN, INF = math.nan, math.inf


@contextlib.contextmanager
def through_python():
    """The indices of the blocks that native runs step through Python, collected while in the block."""
    native, seen = loop_module._native, []

    class Spy:
        @staticmethod
        def run(blocks, n, exo, vals, has, rec, saved):
            return native.run(blocks, n, exo, vals, has, rec, lambda idx: (seen.extend(idx), saved(idx)))

    loop_module._native = Spy
    try:
        yield seen
    finally:
        loop_module._native = native


def outcome(lp, n, inputs, native):
    try:
        t = lp.run(n, inputs, native=native)
        return "ok", t.names, t.data.tobytes()
    except Exception as e:
        return type(e), str(e), getattr(e, "__notes__", None)


def check(make, inputs, n=None, runs=2, python=()):
    """Copies of one loop run natively and through the blocks' own API, `runs` times (the inputs reversed every
    other run): the same trace, bit for bit, or the same error and note; the same states after each run, and none
    changed by a failed run. `python`: the blocks the first native run must step through Python (none else).
    Returns the outcome of the last run."""
    n = len(next(iter(inputs.values()))) if n is None else n
    a, b = make(), make()
    inputs = {k: v for k, v in inputs.items() if any(k in e.sources.values() for e in a._entries)}
    for run in range(runs):
        inputs = {k: v[::-1] for k, v in inputs.items()}
        before = copy.deepcopy(states(a))
        with through_python() as seen:
            got = outcome(a, n, inputs, True)
        assert got == outcome(b, n, inputs, False)
        if run == 0:
            assert [list(a.blocks)[i] for i in seen] == list(python)
        assert same(states(a), states(b))
        if got[0] != "ok":
            assert same(states(a), before)
            break
    return got


def draw_series(data, n, *choices):
    return np.array(data.draw(st.lists(st.one_of(*choices), min_size=n, max_size=n)), dtype=float)


FLOATS = st.floats(-1e6, 1e6) | st.sampled_from([NAN, INF, -INF, -0.0])
LENGTH = st.integers(0, 40)


@settings(max_examples=60, deadline=None)
@given(alpha=st.sampled_from([0.0, 1.0]) | st.floats(0, 3), tao=st.sampled_from([0.0]) | st.floats(0, 50),
       Ts=st.integers(1, 3), ini=st.none() | st.tuples(st.floats(-10, 10), st.floats(-10, 10)), n=LENGTH,
       data=st.data())
def test_leadlag(alpha, tao, Ts, ini, n, data):
    u = draw_series(data, n, FLOATS)
    check(lambda: Loop().add("f", LDLAG(alpha, tao, Ts, *(ini or ())), u="u"), {"u": u})


# Out of range, a float's text in the message: the interpreter's shortest form, fixed or scientific.
LAGS = st.integers(-1, 13).map(float) | st.floats() | st.sampled_from(
    [1.5, -0.5, -1e-5, 1e-4, 1.5e-5, 4503599627370495.5, -123456789012345.6, 1e20, -1e300])


@settings(max_examples=80, deadline=None)
@given(cap=st.integers(0, 12), wired=st.booleans(), n=LENGTH, data=st.data())
def test_delay(cap, wired, n, data):
    ut = draw_series(data, n, FLOATS)
    lag = draw_series(data, n, st.integers(0, 12).map(float), LAGS)
    pins = {"Ut": "ut", **({"nLag": "lag"} if wired else {})}
    check(lambda: Loop().add("d", Delay(cap), **pins), {"ut": ut, "lag": lag})


ALGO_LAGS = st.sampled_from([0.5, 2.5, NAN, INF, -INF, 2.0 ** 41, 2.0 ** 60, 2.0 ** 61, 2.0 ** 63, 1e19, 1e300,
                             -2.0 ** 41, -2.0 ** 63, -1e19, -3.0])


@settings(max_examples=80, deadline=None)
@given(n=LENGTH, ut_wired=st.booleans(), lag_wired=st.booleans(), lag_attr=st.sampled_from([1, 0, 4, -1, 2.0]),
       data=st.data())
def test_delay_algorithm(n, ut_wired, lag_wired, lag_attr, data):
    ut = draw_series(data, n, FLOATS)
    lag = draw_series(data, n, st.integers(-2, 12).map(float), ALGO_LAGS)

    def make():
        d = Delay_Algorithm()
        d.Ut, d.nLag = 7.5, lag_attr
        return Loop().add("d", d, **({"Ut": "ut"} if ut_wired else {}), **({"nLag": "lag"} if lag_wired else {}))

    check(make, {"ut": ut, "lag": lag})


WINDOWS = st.integers(-1, 12).map(float) | st.sampled_from([2.5, 0.5, NAN, INF, 1e20, 2.0 ** 61])


@settings(max_examples=80, deadline=None)
@given(n=LENGTH, wired=st.booleans(), data=st.data())
def test_constdect(n, wired, data):
    ut = draw_series(data, n, st.sampled_from([0.0, -0.0, 1.0, 1.0 + 1e-6, 1.0 + 9e-7, 5.0, NAN]))
    length = draw_series(data, n, st.integers(1, 12).map(float), WINDOWS)
    pins = {"Ut": "ut", **({"DectLen": "L"} if wired else {})}
    check(lambda: Loop().add("c", ConstDect(), **pins), {"ut": ut, "L": length})


LEVELS = st.sampled_from([0.0, 1.0, 2.0, -1.0, 0.5, 1.7, -0.0, 9.2e18, -2.0 ** 63])
BAD_LEVELS = st.sampled_from([NAN, INF, -INF, 1e19, 2.0 ** 63])
COUNTS = st.integers(-1, 6).map(float) | st.sampled_from(
    [2.5, NAN, INF, -INF, 1e20, 2.0 ** 62, 2.0 ** 62 + 1024, 2.0 ** 100, 2.0 ** 120 + 2 ** 68, -1e30, 0.5])
PRESETS = st.sampled_from([None, 0, 2, -1, 2.5, NAN, 2 ** 70 + 5, -(2 ** 90) - 3, 2 ** 62])


@settings(max_examples=120, deadline=None)
@given(cls=st.sampled_from([TONtrigger, TOFFtrigger]), n=LENGTH, ut_wired=st.booleans(), dt_wired=st.booleans(),
       et=PRESETS, dt=PRESETS, data=st.data())
def test_timers(cls, n, ut_wired, dt_wired, et, dt, data):
    ut = draw_series(data, n, LEVELS, LEVELS, BAD_LEVELS)
    dts = draw_series(data, n, COUNTS)

    def make():
        t = cls()
        t.Ut = 1
        if et is not None:
            t.ET = et
        if dt is not None:
            t.DT = dt
        return Loop().add("t", t, **({"Ut": "ut"} if ut_wired else {}), **({"DT": "dt"} if dt_wired else {}))

    check(make, {"ut": ut, "dt": dts})


@settings(max_examples=60, deadline=None)
@given(n=LENGTH, s_wired=st.booleans(), r_wired=st.booleans(), preset=st.sampled_from([None, True, 0, 2.5, NAN]),
       data=st.data())
def test_latch(n, s_wired, r_wired, preset, data):
    values = st.sampled_from([0.0, 1.0, NAN, 0.5, -0.0])
    s, r = draw_series(data, n, values), draw_series(data, n, values)

    def make():
        latch = RStrigger()
        latch.S = latch.R = preset
        return Loop().add("rs", latch, **({"S": "s"} if s_wired else {}), **({"R": "r"} if r_wired else {}))

    check(make, {"s": s, "r": r})


def test_interlock_of_every_block():
    """The blocks wired into one another, run on in a second run."""
    rng = np.random.default_rng(7)
    x = rng.integers(0, 2, 500).astype(float)
    k = rng.integers(0, 6, 500).astype(float)
    make = lambda: (Loop().add("lag", LDLAG(0.3, 4.0), u="x")
                    .add("d", Delay(20), Ut="lag.out", nLag="k")
                    .add("da", Delay_Algorithm(), Ut="d.out", nLag="k")
                    .add("flat", ConstDect(), Ut="da.Yt", DectLen=3.0)
                    .add("on", TONtrigger(), Ut="x", DT="k")
                    .add("off", TOFFtrigger(), Ut="flat.out", DT=2.0)
                    .add("rs", RStrigger(), S="on.Yt", R="off.Yt"))
    assert check(make, {"x": x, "k": k})[0] == "ok"


def pins_of(**pins):
    return pins


def primed_delay():
    d = Delay_Algorithm()
    d.Ut = 1.0
    d.call()
    d.call()
    return d


@pytest.mark.parametrize("block, pins, value, error", [
    (lambda: Delay(3), pins_of(Ut=0.0, nLag="v"), 3.0, (ValueError, "nLag must be between 0 and 2, but got 3.")),
    (lambda: Delay(10), pins_of(Ut=0.0, nLag="v"), 1e20,
     (ValueError, "nLag must be between 0 and 9, but got 100000000000000000000.")),
    (lambda: Delay(10), pins_of(Ut=0.0, nLag="v"), -1e-5, (ValueError, "nLag must be between 0 and 9, but got -1e-05.")),
    (lambda: Delay(10), pins_of(Ut=0.0, nLag="v"), -1e-4, (ValueError, "nLag must be between 0 and 9, but got -0.0001.")),
    (lambda: Delay(10), pins_of(Ut=0.0, nLag="v"), 4503599627370495.5,
     (ValueError, "nLag must be between 0 and 9, but got 4503599627370495.5.")),
    (lambda: Delay(10), pins_of(Ut=0.0, nLag="v"), 1.5, (TypeError, "sequence index must be integer, not 'float'")),
    (lambda: Delay(0), pins_of(Ut="v"), 1.0, (ValueError, "nLag must be between 0 and -1, but got 1.", 0)),
    (primed_delay, pins_of(Ut=0.0, nLag="v"), 0.5, (IndexError, "only integers, slices")),
    (primed_delay, pins_of(Ut=0.0, nLag="v"), 2.5,
     (TypeError, "expected a sequence of integers or a single integer, got '1.5'")),
    (primed_delay, pins_of(Ut=0.0, nLag="v"), -3.0, (IndexError, "index -3 is out of bounds for axis 0 with size 2")),
    (primed_delay, pins_of(Ut=0.0, nLag="v"), 2.0 ** 41,
     (MemoryError, "Delay_Algorithm history, old and grown, of 6597069766657 entries")),
    (primed_delay, pins_of(Ut=0.0, nLag="v"), 2.0 ** 61, (ValueError, "array is too big")),
    (primed_delay, pins_of(Ut=0.0, nLag="v"), 1e19, (ValueError, "Maximum allowed dimension exceeded")),
    (ConstDect, pins_of(Ut=0.0, DectLen="v"), 0.0, (IndexError, "deque index out of range")),
    (ConstDect, pins_of(Ut=0.0, DectLen="v"), -1.0, (IndexError, "pop from an empty deque")),
    (ConstDect, pins_of(Ut=0.0, DectLen="v"), INF, (OverflowError, "DectLen too large")),
    (TONtrigger, pins_of(Ut="v"), NAN, (ValueError, "cannot convert float NaN to integer")),
    (TOFFtrigger, pins_of(Ut="v"), -INF, (OverflowError, "cannot convert float infinity to integer")),
    (TONtrigger, pins_of(Ut="v"), 1e19, (OverflowError, "Python int too large to convert to C long")),
])
def test_a_refused_value_fails_its_sample_as_the_block_does(block, pins, value, error):
    v = np.r_[np.ones(3), value, np.ones(2)]
    exc, message, at = (*error, 3)[:3]
    assert check(lambda: Loop().add("x", block(), **pins), {"v": v})[0] is exc
    got = outcome(Loop().add("x", block(), **pins), len(v), {"v": v}, True)
    assert got[1].startswith(message) and got[2] == [f"in sample {at} of block 'x'"]


class SubLag(LDLAG):
    pass


def delay_with_an_int():
    d = Delay(4)
    d(1)
    return d


def constdect_with_a_float64():
    c = ConstDect()
    c(np.float64(1.0), 3)
    return c


def shared_history():
    d = Delay_Algorithm()
    d.keep = d.U_array
    return d


def timer_with(**attrs):
    t = TONtrigger()
    for k, v in attrs.items():
        setattr(t, k, v)
    return t


def latch_with(**attrs):
    latch = RStrigger()
    for k, v in attrs.items():
        setattr(latch, k, v)
    return latch


@pytest.mark.parametrize("block, pins", [
    (lambda: SubLag(0.5, 3.0), pins_of(u="v")),
    (lambda: Delay(None), pins_of(Ut="v")),
    (delay_with_an_int, pins_of(Ut="v", nLag=2.0)),
    (constdect_with_a_float64, pins_of(Ut="v", DectLen=2.0)),
    (shared_history, pins_of(Ut="v")),
    (lambda: timer_with(DT=np.int64(2)), pins_of(Ut="v")),
    (lambda: timer_with(Ut_array=[0, 0]), pins_of(Ut="v")),
    (lambda: timer_with(ET=True), pins_of(Ut="v")),
    (lambda: latch_with(R="no"), pins_of(S="v")),
    (lambda: latch_with(Q_array=np.zeros(2, dtype=bool)), pins_of(S="v", R=0.0)),
])
def test_states_the_core_cannot_hold_run_through_python(block, pins):
    v = np.r_[np.zeros(3), np.ones(4)]
    check(lambda: Loop().add("x", block(), **pins), {"v": v}, python=("x",))


@pytest.mark.parametrize("block, pins", [
    (lambda: LDLAG(0.3, 5.0), pins_of(u="v")),
    (Delay, pins_of(Ut="v", nLag=3.0)),
    (Delay_Algorithm, pins_of(Ut="v", nLag=3.0)),
    (ConstDect, pins_of(Ut="v")),
    (TONtrigger, pins_of(Ut="v")),
    (TOFFtrigger, pins_of(Ut="v")),
    (RStrigger, pins_of(S="v", R=0.0)),
])
def test_a_long_run_is_native(block, pins):
    check(lambda: Loop().add("x", block(), **pins), {"v": (np.arange(20_000) % 7 > 2).astype(float)})


# -- Python code between the copies: subclasses, finalizers, histories of other types ------------------------
class _Finalizer:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


def _poking(target, action):
    """A RateLimit subclass (run through Python) that does `action` to `target` before each of its samples."""
    class Poker(RateLimit):
        def __call__(self, *args, **kwargs):
            action(target)
            return super().__call__(*args, **kwargs)
    return Poker(60.0)


def subclass_changes_a_native_block():
    rl = RateLimit(60.0)
    return Loop().add("rl", rl, u_end="u").add("poke", _poking(rl, lambda b: setattr(b, "u_last", 100.0)), u_end="u")


def released_value_replaces_the_history(block, pin, history, **pins):
    """A released attribute value replaces the block's history while its copy is put back."""
    def replace(b):
        setattr(b, pin, _Finalizer(lambda: setattr(block, history[0], history[1]())))
    return Loop().add("poke", _poking(block, replace), u_end="u").add("x", block, **pins)


@pytest.mark.parametrize("make", [
    subclass_changes_a_native_block,
    lambda: released_value_replaces_the_history(TONtrigger(), "Ut", ("Ut_array", lambda: np.zeros(2, np.int64)),
                                                Ut="u", DT=2.0),
    lambda: released_value_replaces_the_history(RStrigger(), "S", ("Q_array", lambda: np.zeros(1, bool)),
                                                S="u", R=0.0),
])
def test_python_code_between_the_copies_sees_and_changes_what_the_python_api_would(make):
    a, b = make(), make()
    u = np.array([1.0, 0.0, 1.0, 1.0, 0.0])
    assert a.run(5, {"u": u}) == b.run(5, {"u": u}, native=False)
    assert [a.blocks[n].__dict__.keys() for n in a.blocks] == [b.blocks[n].__dict__.keys() for n in b.blocks]


def test_a_history_of_another_type_is_not_asked_for_its_base():
    reads = []

    class History(list):
        @property
        def base(self):
            reads.append(1)  # Python code: the native copy-out must not run it
            return None

    d = Delay_Algorithm()
    d.U_array = History([0.0, 0.0])
    Loop().add("d", d, Ut="u").run(2, {"u": 1.0})
    assert reads == []


@pytest.mark.parametrize("native", [True, False])
def test_a_trace_too_large_for_memory_is_numpys_value_error(native):
    from corvane.algorithm.heartbeat import WatchDog

    with pytest.raises(ValueError, match="array is too big"):
        Loop().add("beat", WatchDog(), MaxOut=3.0).run(2 ** 62, record=["beat.out"] * 4, native=native)
