import copy
import gc
import inspect
import math
import pickle
import weakref

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from scipy import signal

from corvane.algorithm.phasefilter import LDLAG, filter_stp, positive_parameter_property
from hostile import check_foreign_self, check_hostile_states

NONNEG = "Expected a non-negative value."


def state(f):
    return (f._alpha, f._tao, f._Ts, f._u_ini, f._y_ini, f._b.tobytes(), f._a.tobytes(),
            None if f._zi is None else f._zi.tobytes())


def scipy_run(f, u):
    """What lfiltic/lfilter give for the filter's own coefficients and state, from a snapshot."""
    b, a, zi = f._b, f._a, f._zi
    if zi is None:
        zi = signal.lfiltic(b, a, [u[0]], [u[0]])
    return signal.lfilter(b, a, np.asarray(u, dtype=float), zi=zi)


@pytest.mark.parametrize("alpha", [0.0, 1e-6, 0.3, 1.0, 2.5, 40.0])
@pytest.mark.parametrize("tao", [0.0, 1e-3, 0.7, 5.0, 123.0, 1e6])
@pytest.mark.parametrize("Ts", [1, 3, 60])
def test_coefficients_agree_with_cont2discrete(alpha, tao, Ts):
    f = LDLAG(alpha, tao, Ts)
    if tao == 0:
        want_b, want_a = [1.0], [1.0]
    else:
        num, want_a, _ = signal.cont2discrete(([alpha * tao, 1.0] if alpha else [1.0], [tao, 1.0]), dt=Ts)
        want_b = num[0] if alpha else [num[0][1]]
    assert f._b.dtype == f._a.dtype == np.float64 and f._a[0] == 1.0
    assert f._b.shape == np.shape(want_b) and f._a.shape == np.shape(want_a)
    np.testing.assert_allclose(f._b, want_b, rtol=0, atol=1e-12)
    np.testing.assert_allclose(f._a, want_a, rtol=0, atol=1e-12)
    assert f._zi is None


def test_worked_examples():
    f = LDLAG(alpha=0.5, tao=5.0)
    assert all(type(y) is np.float64 and y == 3.0 for y in (f(3.0) for _ in range(4)))
    assert f._u_ini == 3.0 and f._y_ini == 3.0
    lead = LDLAG(0.5, 5.0, 1, 0, 0)
    lag = LDLAG(0.0, 5.0, 1, 0, 0)
    k = np.arange(30)
    np.testing.assert_allclose([lead(1.0) for _ in k], filter_stp(30, 5.0, 0.5), rtol=0, atol=1e-14)
    np.testing.assert_allclose([lag(1.0) for _ in k], 1 - np.exp(-0.2 * (k + 1)), rtol=0, atol=1e-14)
    np.testing.assert_allclose(filter_stp(31, 5.0, 0.0)[1:], 1 - np.exp(-0.2 * (k + 1)), rtol=0, atol=1e-15)
    warm, p = LDLAG(0.5, 5.0, 1, u_ini=1.0, y_ini=4.0), math.exp(-0.2)  # continues from the given sample
    assert warm(2.0) == pytest.approx(0.5 * 2.0 + (1 - p - 0.5) * 1.0 + p * 4.0, abs=1e-14)
    assert LDLAG(0.5, 5.0, u_ini=1.0)._zi is None  # one of the two is not enough


@pytest.mark.parametrize("alpha, tao", [(0.0, 0.0), (3.0, 0.0), (-2.0, 0.0), (1.0, 5.0), (1.0, 0.01)])
def test_pass_through(alpha, tao):
    f = LDLAG(alpha, tao)
    u = [1.0, -4.0, 2.5, 1e9, -0.0]
    assert [f(x) for x in u] == pytest.approx(u, rel=1e-15, abs=1e-30)  # exact unless p underflows beside 1
    assert list(f.multi_step(u)) == pytest.approx(u, rel=1e-15, abs=1e-30)


def test_time_constant_change_at_steady_state():
    f = LDLAG(0.0, 5.0)
    assert [f(2.0) for _ in range(3)] == [2.0] * 3
    f.tao = 50
    assert f._tao == 50 and type(f._tao) is int and f._zi is not None
    assert [f(2.0) for _ in range(3)] == [2.0] * 3
    assert f(3.0) == pytest.approx(2.0 + (1 - math.exp(-1 / 50)), abs=1e-14)


@settings(max_examples=150, deadline=None)
@given(st.floats(0, 5), st.sampled_from([0.0, 0.3, 2.0, 50.0]), st.integers(1, 4), st.booleans(),
       st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=30), st.integers(0, 30), st.floats(0, 60))
@example(0.5, 0.3, 1, False, [-0.0], 0, 0.0)  # seeded from -0.0: the state is +0.0, as lfiltic's sums give
def test_multi_step_equals_calls_and_scipy(alpha, tao, Ts, warm, u, cut, new_tao):
    make = lambda: LDLAG(alpha, tao, Ts, *((1.5, -2.0) if warm else ()))  # noqa: E731
    whole, single = make(), make()
    want = scipy_run(whole, u)
    got = whole.multi_step(np.array(u))
    assert got.dtype == np.float64 and got.tobytes() == want[0].tobytes()
    assert whole._zi.tobytes() == want[1].tobytes() and whole._y_ini == got[-1] and whole._u_ini == u[-1]
    assert type(whole._y_ini) is np.float64
    assert np.array([single(x) for x in u]).tobytes() == got.tobytes() and state(single) == state(whole)
    # a parameter change in the middle, then a mixed continuation
    mixed, calls = make(), make()
    head, tail = u[:cut], u[cut:]
    if head:
        mixed.multi_step(head), [calls(x) for x in head]
    mixed.tao = calls.tao = new_tao
    out2 = list(mixed.multi_step(tail)) if tail else []
    assert np.array(out2).tobytes() == np.array([calls(x) for x in tail]).tobytes()
    assert state(mixed)[5:] == state(calls)[5:]


@pytest.mark.parametrize("block", [[1, 2, 3], (1.0, 2.0, 3.0), np.array([1, 2, 3], dtype=np.int32),
                                   np.repeat([1.0, 2.0, 3.0], 2)[::2], np.array([3.0, 2.0, 1.0])[::-1]])
def test_multi_step_takes_any_one_dimensional_block(block):
    f = LDLAG(0.5, 5.0)
    out = f.multi_step(block)
    assert out.tobytes() == LDLAG(0.5, 5.0).multi_step(np.array([1.0, 2.0, 3.0])).tobytes()
    assert f._u_ini == 3 and type(f._u_ini) is type(block[-1])


@pytest.mark.parametrize("call, exc, msg", [
    (lambda f: f("x"), TypeError, None),
    (lambda f: f(), TypeError, "missing required argument 'u'"),
    (lambda f: f(1.0, u=2.0), TypeError, "multiple values"),
    (lambda f: f(v=1.0), TypeError, "unexpected keyword argument 'v'"),
    (lambda f: f.multi_step([]), IndexError, "list index out of range"),
    (lambda f: f.multi_step(np.zeros((2, 2))), ValueError, "one-dimensional"),
    (lambda f: f.multi_step([1.0, "2"]), TypeError, None),
    (lambda f: setattr(f, "tao", "5"), TypeError, r"^tao must be a \(<class 'float'>, <class 'int'>\)$"),
    (lambda f: setattr(f, "alpha", -1), ValueError, f"^{NONNEG}$"),
    (lambda f: setattr(f, "tao", math.nan), ValueError, f"^{NONNEG}$"),
    (lambda f: setattr(f, "alpha", math.inf), ValueError, "not finite"),
    (lambda f: setattr(f, "_Ts", 1.0), TypeError, r"expected int, got float"),
    (lambda f: setattr(f, "_zi", [1.0, 2.0]), ValueError, None),
])
@pytest.mark.parametrize("seeded", [False, True])
def test_failures_change_nothing(call, exc, msg, seeded):
    f = LDLAG(0.5, 5.0)
    if seeded:
        f(1.0)
    before = state(f)
    with pytest.raises(exc, match=msg):
        call(f)
    assert state(f) == before


@pytest.mark.parametrize("kw", [dict(tao=-1.0), dict(alpha=-0.5), dict(alpha=math.nan), dict(tao=math.nan),
                                dict(alpha=math.nan, tao=0.0)])
def test_parameters_without_coefficients_are_refused(kw):
    with pytest.raises(ValueError, match=f"^{NONNEG}$"):
        LDLAG(**kw)


def test_constructor_types():
    with pytest.raises(TypeError, match=r"Argument 'Ts' has incorrect type \(expected int, got float\)"):
        LDLAG(Ts=1.0)
    with pytest.raises(TypeError):
        LDLAG(alpha="0.5")
    f = LDLAG(1, 2, 3, 4, 5)
    assert (f._alpha, f._tao, f._Ts, f._u_ini, f._y_ini) == (1.0, 2.0, 3, 4, 5)
    assert type(f._alpha) is float and type(f._u_ini) is int
    f.alpha = True  # equal to the stored 1.0: nothing changes
    assert type(f._alpha) is float
    f.alpha = False
    assert f.alpha is False and f._b.shape == (1,)
    f = LDLAG(alpha=-1.0, tao=0.0)  # constructible, but a positive tao is refused and taken back
    f(2.0)
    before = state(f)
    with pytest.raises(ValueError, match=f"^{NONNEG}$"):
        f.tao = 5.0
    assert state(f) == before


class Plain:
    width = positive_parameter_property("width", float)

    def __init__(self):
        self.calls = 0

    def _modify_param(self):
        self.calls += 1
        if self._width > 100:
            raise RuntimeError("too wide")


def test_property_factory_on_any_class():
    obj = Plain()
    with pytest.raises(AttributeError):
        obj.width
    with pytest.raises(AttributeError, match="_width"):  # compared with a stored value that does not exist
        obj.width = 2.0
    assert "_width" not in vars(obj) and obj.calls == 0
    obj._width = 1.0
    obj.width = 2.0
    obj.width = 2.0
    assert (obj.width, obj.calls) == (2.0, 1)
    with pytest.raises(TypeError, match=r"^width must be a <class 'float'>$"):
        obj.width = 3
    with pytest.raises(RuntimeError):
        obj.width = 200.0
    assert (obj._width, obj.calls) == (2.0, 2)
    assert isinstance(Plain.__dict__["width"], property) and isinstance(LDLAG.__dict__["tao"], property)


@pytest.mark.parametrize("tao, Ts", [(0.5, 2), (0.1, 3), (5.0, 1), (100.0, 2)])
def test_alpha_one_is_an_exact_pass_through(tao, Ts):
    u = np.random.default_rng(16).uniform(-100, 100, 1000)
    f = LDLAG(1, tao, Ts)
    assert [f(x) for x in u] == u.tolist() and f.multi_step(u).tolist() == u.tolist()
    num, den, _ = signal.cont2discrete(([tao, 1.0], [tao, 1.0]), dt=Ts)
    assert num[0][1] == den[1] and f._b[1] == f._a[1]  # numerator equals denominator, as discretised
    o = LDLAG(1, 10, Ts, 1.8175048039245025, y_ini=0.24)
    o.tao = tao  # re-seeded away from steady state
    o(1.7976931348623157e+308)
    assert o(1.0) == 1.0


def test_equal_value_does_not_recompute():
    class Counting(LDLAG):
        calls = 0

        def _modify_param(self):
            type(self).calls += 1
            super()._modify_param()

    f = Counting(0.5, 5.0)
    f.tao = 5
    f.alpha = 0.5
    assert Counting.calls == 0
    f.tao = 6
    assert Counting.calls == 1 and f._tao == 6


def test_filter_stp():
    assert filter_stp(5, 0.0, 0.3, 1.0, 2.0).tolist() == [2.0] * 5 and filter_stp(3, 2.0, 0.0).dtype == np.float64
    np.testing.assert_allclose(filter_stp(3, 2.0, 0.0), [0.0, 1 - math.exp(-0.5), 1 - math.exp(-1)], atol=1e-16)
    t = np.arange(50)
    np.testing.assert_allclose(filter_stp(50, 7.0, 1.4, -3.0, 5.0), -3.0 + 8.0 * (1 - (1 - 1.4) * np.exp(-t / 7.0)),
                               rtol=1e-15, atol=1e-15)
    assert filter_stp(-2, 1.0, 0.5).shape == (0,)
    with pytest.raises(ValueError):
        filter_stp(-2, 0.0, 0.5)
    for bad in (5.0, None, True):
        with pytest.raises(TypeError, match="Argument 'N' has incorrect type"):
            filter_stp(bad, 1.0, 0.5)


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda f: pickle.loads(pickle.dumps(f, protocol=0)),
                                   lambda f: pickle.loads(pickle.dumps(f, protocol=5))])
@pytest.mark.parametrize("warmup", [0, 1, 3])
def test_clone_continues_identically(clone, warmup):
    f = LDLAG(1.5, 4.0, 2)
    f.note = "kept"
    for x in [1.0, 3.0, -2.0][:warmup]:
        f(x)
    f.tao = 7
    twin = clone(f)
    assert state(twin) == state(f) and twin.note == "kept"
    u = [0.5, 4.0, 4.0, -1.0]
    assert twin.multi_step(u).tobytes() == f.multi_step(u).tobytes()


def test_hostile_states_and_foreign_self():
    def make():
        f = LDLAG(0.5, 5.0)
        f(2.0)
        return f

    check_hostile_states(make, lambda f: (f(1.0), f.multi_step([1.0, 2.0]), f._modify_param()))
    check_hostile_states(lambda: LDLAG(0.0, 0.0), lambda f: f(1.0))
    check_foreign_self(make(), object())


def test_reference_cycle_through_stored_input_is_collected():
    class Sample(float):
        pass

    f = LDLAG()
    x = Sample(1.0)
    f(x)
    x.owner = f
    ref = weakref.ref(f)
    del f, x
    gc.collect()
    assert ref() is None


def test_call_paths_and_inputs_that_run_code_mid_call():
    blank = LDLAG.__new__(LDLAG)
    with pytest.raises(TypeError, match="not initialised"):
        blank(1.0)

    class Sub(LDLAG):
        pass

    class Own(LDLAG):
        def __call__(self, u):
            return "own"

    f = Sub(0.0, 0.0)
    assert f(2.0) == f(*[2.0]) == f(**{"u": 2.0}) == LDLAG.__call__(f, u=2.0) == 2.0 and Own()(1.0) == "own"
    assert str(inspect.signature(LDLAG(0.5))) == "(u)" and list(inspect.signature(LDLAG).parameters)[2:] == [
        "Ts", "u_ini", "y_ini"]
    f, other = LDLAG(0.5, 5.0), LDLAG(1.0, 0.0)
    other(9.0)

    class Meddler:
        def __float__(self):
            f.tao = 1.0
            f.__setstate__(other.__getstate__())
            return 1.0

    # inputs are converted before the state is read: the swapped-in pass-through filter runs
    assert f(Meddler()) == 1.0 and f._tao == 0.0
    f.__setstate__(LDLAG(0.5, 5.0).__getstate__())
    assert f.multi_step([Meddler(), 2.0]).tolist() == [1.0, 2.0]


anything = st.one_of(st.floats(), st.integers(-3, 10**400), st.none(), st.text(max_size=2), st.booleans(),
                     st.lists(st.floats(-1e3, 1e3), max_size=3))
OPS = [lambda f, v: f(v), lambda f, v: f.multi_step(v), lambda f, v: setattr(f, "alpha", v),
       lambda f, v: setattr(f, "tao", v), lambda f, v: (setattr(f, "_u_ini", v), f._modify_param())]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.integers(0, len(OPS) - 1), anything), max_size=10))
def test_random_calls_never_crash_and_failures_change_nothing(ops):
    f = LDLAG(0.5, 5.0, 1, 0.0, 0.0)
    for i, v in ops:
        before = state(f)
        try:
            OPS[i](f, v)
        except (TypeError, ValueError, IndexError, OverflowError):
            after = state(f)
            assert after == before or (i == 4 and after[:3] + after[4:] == before[:3] + before[4:])
