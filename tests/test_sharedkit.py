"""The six shared helpers, run against both modules that carry them."""

import array
import copy
import re
import time
import types
from collections.abc import Iterator

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy import signal

from corvane.algorithm import sharedkit, utilities


@pytest.fixture(params=[sharedkit, utilities], ids=["sharedkit", "utilities"])
def mod(request):
    return request.param


class DictSub(dict):
    pass


class StrSub(str):
    pass


def argtype_msg(name, expected, got):
    return re.escape(f"Argument '{name}' has incorrect type (expected {expected}, got {got})")


# ---------------------------------------------------------------- dict2pairs


@pytest.mark.parametrize(
    "d, kwargs, expected",
    [
        ({"1": {"2": {"3": {"4": 5}, "6": 7}, "8": 9}}, {}, [("1.2.3.4", 5), ("1.2.6", 7), ("1.8", 9)]),
        ({}, {}, []),
        ({"a": {}}, {}, []),
        ({"a": 1, "b": {"c": 2}}, {}, [("a", 1), ("b.c", 2)]),
        ({1: {2: 3}}, {}, [("1.2", 3)]),
        ({"x": 1}, {"path": "top"}, [("top.x", 1)]),
        ({"x": {"y": 1}}, {"path": ""}, [("x.y", 1)]),
        ({}, {"path": None}, []),
    ],
)
def test_dict2pairs_pairs(mod, d, kwargs, expected):
    assert list(mod.dict2pairs(d, **kwargs)) == expected


def test_dict2pairs_is_lazy_native_iterator_yielding_same_objects(mod):
    leaf = object()
    d = {"a": {"b": leaf}}
    it = mod.dict2pairs(d=d)
    assert not isinstance(it, types.GeneratorType)
    assert isinstance(it, Iterator) and iter(it) is it
    d["c"] = 2  # the walk starts at the first next()
    (path, value), rest = next(it), list(it)
    assert path == "a.b" and value is leaf
    assert rest == [("c", 2)]
    assert list(it) == []


@pytest.mark.parametrize("bad", [DictSub(a=1), [("a", 1)], None, "abc"])
def test_dict2pairs_checks_d_at_call(mod, bad):
    with pytest.raises(TypeError, match=argtype_msg("d", "dict", type(bad).__name__)):
        mod.dict2pairs(bad)


def test_dict2pairs_nested_subclass_fails_during_iteration(mod):
    it = mod.dict2pairs({"a": 1, "b": DictSub(c=2), "z": 3})
    assert next(it) == ("a", 1)
    with pytest.raises(TypeError, match=argtype_msg("d", "dict", "DictSub")):
        next(it)
    assert list(it) == []  # finished, like a generator that raised


@pytest.mark.parametrize("where", ["outer", "inner"])
def test_dict2pairs_dict_changed_during_walk(mod, where):
    inner = {"x": 1, "y": 2}
    d = {"a": inner, "b": 3}
    it = mod.dict2pairs(d)
    next(it)
    (inner if where == "inner" else d)["new"] = 0
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        list(it)


def test_dict2pairs_reentrant_next_and_bad_path(mod):
    class Key:
        def __str__(self):
            return next(holder[0])[0]

    holder = [mod.dict2pairs({Key(): 1})]
    with pytest.raises(ValueError, match="already executing"):
        next(holder[0])
    with pytest.raises(TypeError):
        list(mod.dict2pairs({"a": 1}, path=None))
    kind = type(mod.dict2pairs({}))
    with pytest.raises(TypeError):
        next(kind.__new__(kind))


# ---------------------------------------------------------------- pair2dict


@pytest.mark.parametrize(
    "pairs, expected",
    [
        ([("a", 1)], {"a": 1}),
        ([("a.b.c", 1), ("a.b.d", 2)], {"a": {"b": {"c": 1, "d": 2}}}),
        ([("a.b.c", 1), ("a.b.d", 2), ("a", 3)], {"a": 3}),
        ([("a..b", 1)], {"a": {"": {"b": 1}}}),
        ([("", 1)], {"": 1}),
        ([("a.b", {"c": 1}), ("a.b.d", 2)], {"a": {"b": {"c": 1, "d": 2}}}),
    ],
)
def test_pair2dict_builds(mod, pairs, expected):
    d = {}
    for p in pairs:
        assert mod.pair2dict(p, d=d) is None
    assert d == expected


def test_pair2dict_existing_branch_is_reused(mod):
    branch = {"x": 0}
    d = {"a": branch}
    mod.pair2dict(pair=("a.y", 1), d=d)
    assert d["a"] is branch and branch == {"x": 0, "y": 1}


class SplitsBadly(str):
    def split(self, sep):
        return ["new", "deeper", ["unhashable"]]


@pytest.mark.parametrize(
    "pair, start, exc, msg",
    [
        (("a.b", 2), {"a": 1}, TypeError, "Expected dict, got int"),
        (("a.b", 2), {"a": DictSub()}, TypeError, "Expected dict, got DictSub"),
        (("a.b.c", 2), {"a": None}, AttributeError, "'NoneType' object has no attribute 'setdefault'"),
        (("a.b", 2), {"a": None}, TypeError, "descriptor 'update' for 'dict' objects"),
        (("a", 1, 2), {}, ValueError, "too many values to unpack"),
        (("a",), {}, ValueError, "not enough values to unpack"),
        ((5, 1), {}, AttributeError, "'int' object has no attribute 'split'"),
        (["a", 1], {}, TypeError, argtype_msg("pair", "tuple", "list")),
        ((SplitsBadly("k"), 1), {"x": 1}, TypeError, "unhashable type: 'list'"),
    ],
)
def test_pair2dict_failures_leave_d_unchanged(mod, pair, start, exc, msg):
    d = copy.deepcopy(start)
    with pytest.raises(exc, match=msg):
        mod.pair2dict(pair, d)
    assert d == start


def test_pair2dict_rejects_dict_subclass(mod):
    d = DictSub()
    with pytest.raises(TypeError, match=argtype_msg("d", "dict", "DictSub")):
        mod.pair2dict(("a", 1), d)
    assert d == {}


def test_pair2dict_key_whose_components_mutate_the_split_result(mod):
    parts = []

    class Part(str):
        def __hash__(self):
            parts.clear()
            return str.__hash__(self)

    class Key:
        def split(self, sep):
            parts[:] = [Part("a"), Part("b")]
            return parts

    d = {}
    mod.pair2dict((Key(), 1), d)
    assert d == {"a": {"b": 1}}


def test_dict2pairs_of_a_dict_that_contains_itself(mod):
    d = {}
    d["me"] = d
    with pytest.raises(RecursionError):
        list(mod.dict2pairs(d))


keys = st.text(alphabet=st.characters(blacklist_characters=".", codec="utf-8"), min_size=1, max_size=4)
nested = st.recursive(
    st.integers() | st.floats(allow_nan=False) | st.none(),
    lambda children: st.dictionaries(keys, children, min_size=1, max_size=4),
    max_leaves=20,
)


@settings(max_examples=80, deadline=None)
@given(d=st.dictionaries(keys, nested, max_size=5))
def test_dict2pairs_pair2dict_round_trip(d):
    for m in (sharedkit, utilities):
        rebuilt = {}
        for pair in m.dict2pairs(d):
            m.pair2dict(pair, rebuilt)
        assert rebuilt == d


# ---------------------------------------------------------------- c2d


def reference_c2d(num, den, delay, Ts=1, method="zoh"):
    num = np.array(num, dtype=float)
    num = num[np.where(num != 0)[0][0]:]
    numd, dend, _ = signal.cont2discrete((num, np.array(den, dtype=float)), dt=Ts, method=method, alpha=None)
    return np.hstack((np.zeros(int(round(delay / Ts))), numd[0])), dend


@pytest.mark.parametrize(
    "args, kwargs, n_zeros",
    [
        (([1], [5, 1], 2), {}, 2),
        (([1], [5, 1], 2, 1), {}, 2),
        (([0, 0, 1], [1, 1], 0), {}, 0),
        (([1], [1, 1], 1.5), {}, 2),
        (([1], [1, 1], 2.5), {}, 2),
        (([1], [1, 1], 3.5), {}, 4),
        (([1], [1, 1], 0.4), {}, 0),
        (([2, 1], [3, 4, 1], 1.25), {"Ts": 0.5}, 2),
        (([1, 0.5], [2, 3, 1], 3), {"Ts": 0.2, "method": "foh"}, 15),
        (([1], [10, 1], 0), {"method": "bilinear"}, 0),
        (([1], [10, 1], 1), {"method": "euler"}, 1),
        (([1], [10, 1], 1), {"method": "backward_diff"}, 1),
        (([1], [10, 1], 1), {"method": "impulse"}, 1),
        ((np.array([0.0, 3.0]), (4, 1), 2), {"Ts": 2}, 1),
    ],
)
def test_c2d_equals_cont2discrete_with_delay_zeros(mod, args, kwargs, n_zeros):
    num, den = mod.c2d(*args, **kwargs)
    ref_num, ref_den = reference_c2d(*args, **kwargs)
    np.testing.assert_array_equal(num, ref_num, strict=True)
    np.testing.assert_array_equal(den, ref_den, strict=True)
    assert not num[:n_zeros].any() and len(num) - n_zeros == len(ref_num) - n_zeros


def test_c2d_worked_example(mod):
    num, den = mod.c2d(Gs_num=[1], Gs_den=[5, 1], Gs_delay=2)
    a = np.exp(-0.2)
    np.testing.assert_allclose(num, [0, 0, 0, 1 - a], rtol=1e-12, atol=0)
    np.testing.assert_allclose(den, [1, -a], rtol=1e-12)


@pytest.mark.parametrize(
    "args, kwargs, exc",
    [
        (([0, 0], [1, 1], 0), {}, IndexError),
        (([], [1, 1], 0), {}, IndexError),
        ((5, [1, 1], 0), {}, ValueError),
        (([1], [1, 1], 0), {"method": "gbt"}, ValueError),
        (([1], [1, 1], 0), {"Ts": 0}, ZeroDivisionError),
        (([1], [1, 1], -2), {}, ValueError),
        (([1, 2, 3], [1, 1], 0), {}, ValueError),
        (([1], [1, 1], float("nan")), {}, ValueError),
    ],
)
def test_c2d_failures(mod, args, kwargs, exc):
    with pytest.raises(exc):
        mod.c2d(*args, **kwargs)


def test_sharedkit_c2d_uses_module_globals(monkeypatch):
    calls = []

    def fake_c2d(sys, **kw):
        calls.append((sys, kw))
        return np.array([[0.0, 0.5]]), np.array([1.0, -0.5]), kw["dt"]

    monkeypatch.setattr(sharedkit, "signal", types.SimpleNamespace(cont2discrete=fake_c2d))
    num, den = sharedkit.c2d([0, 2], [1, 1], 3, Ts=1.5, method="foh")
    (sys, kw), = calls
    np.testing.assert_array_equal(sys[0], [2.0])
    assert kw == {"dt": 1.5, "method": "foh", "alpha": None}
    np.testing.assert_array_equal(num, [0.0, 0.0, 0.0, 0.5])
    # utilities imports scipy.signal itself and ignores the module attribute
    monkeypatch.setattr(utilities, "signal", types.SimpleNamespace(cont2discrete=fake_c2d), raising=False)
    utilities.c2d([1], [1, 1], 0)
    assert len(calls) == 1


# ---------------------------------------------------------------- dataStore


@pytest.mark.parametrize(
    "history, xt, expected",
    [
        (np.array([1.0, 2.0, 3.0]), 9, [9.0, 1.0, 2.0]),
        (np.array([1.0, 2.0, 3.0]), 2.5, [2.5, 1.0, 2.0]),
        (np.array([1.0, 2.0, 3.0]), np.float32(0.5), [0.5, 1.0, 2.0]),
        (np.array([1.0, 2.0, 3.0]), True, [1.0, 1.0, 2.0]),
        (np.array([1.0]), 7, [7.0]),
        (np.array([1, 2, 3]), 9.7, [9, 1, 2]),
        (np.array([1, 2, 3], dtype=np.float32), 0.1, np.array([0.1, 1, 2], dtype=np.float32)),
        (np.array([1.0, 2.0], dtype=">f8"), 5, [5.0, 1.0]),
        (np.array(["a", "b"], dtype=object), None, [None, "a"]),
        ([1, 2], "a", ["a", 1]),
        ([1], "a", ["a"]),
        (array.array("d", [1.0, 2.0]), 3.0, array.array("d", [3.0, 1.0])),
        (bytearray(b"ab"), 0x7A, bytearray(b"za")),
    ],
)
def test_dataStore_shifts_in_place(mod, history, xt, expected):
    history = copy.deepcopy(history)
    kind = type(history)
    assert mod.dataStore(history, xt=xt) is None
    assert type(history) is kind
    if isinstance(history, np.ndarray):
        np.testing.assert_array_equal(history, np.asarray(expected, dtype=history.dtype))
    else:
        assert history == expected


@pytest.mark.parametrize("step", [2, -1, -3])
def test_dataStore_strided_views(mod, step):
    base = np.arange(10.0)
    expected = base.copy()
    view, ref = base[::step], expected[::step]
    mod.dataStore(view, -1.0)
    ref[1:] = ref[:-1].copy()
    ref[0] = -1.0
    np.testing.assert_array_equal(base, expected)


def test_dataStore_2d_history_rows(mod):
    h = np.arange(6.0).reshape(3, 2)
    mod.dataStore(h, [9, 9])
    np.testing.assert_array_equal(h, [[9, 9], [0, 1], [2, 3]])


@pytest.mark.parametrize(
    "history, xt, exc, msg",
    [
        ([], 1, IndexError, "list assignment index out of range"),
        (np.zeros(0), 1.0, IndexError, "index 0 is out of bounds"),
        (np.array([1, 2, 3]), "x", ValueError, "invalid literal"),
        (np.array([1.0, 2.0, 3.0]), "abc", ValueError, "could not convert string to float"),
        (np.array([1.0, 2.0, 3.0]), 10**400, OverflowError, "int too large to convert to float"),
        (np.arange(6.0).reshape(3, 2), [1, 2, 3], ValueError, "could not broadcast"),
        (array.array("d", [1.0, 2.0]), "x", TypeError, "must be real number"),
        ((1, 2), 0, TypeError, "'tuple' object does not support slice assignment"),
        (5, 0, TypeError, "'int' object is unsliceable"),
    ],
)
def test_dataStore_failures_leave_history_unchanged(mod, history, xt, exc, msg):
    history, before = copy.deepcopy(history), copy.deepcopy(history)
    with pytest.raises(exc, match=msg):
        mod.dataStore(history, xt)
    if isinstance(history, np.ndarray):
        np.testing.assert_array_equal(history, before, strict=True)
    else:
        assert history == before


def test_dataStore_read_only_array(mod):
    a = np.array([1.0, 2.0, 3.0])
    a.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        mod.dataStore(a, 1.0)
    np.testing.assert_array_equal(a, [1.0, 2.0, 3.0])


@settings(max_examples=150, deadline=None)
@given(
    data=hnp.arrays(np.float64, st.integers(1, 12), elements=st.floats(allow_nan=False, width=64)),
    step=st.sampled_from([1, 2, -1, -2]),
    xt=st.floats(allow_nan=True) | st.integers(-(2**70), 2**70),
)
def test_dataStore_matches_numpy_slicing(data, step, xt):
    for m in (sharedkit, utilities):
        ours, ref = data.copy(), data.copy()
        m.dataStore(ours[::step], xt)
        view = ref[::step]
        view[1:] = view[:-1]
        view[0] = xt
        np.testing.assert_array_equal(ours, ref)


# ---------------------------------------------------------------- current_time_str


def test_current_time_str_format_and_local_time(mod, monkeypatch):
    text = mod.current_time_str()
    assert type(text) is str and re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", text)
    fixed = time.struct_time((2024, 5, 1, 8, 30, 5, 2, 122, 0))
    monkeypatch.setattr(time, "localtime", lambda *a: fixed)
    assert mod.current_time_str() == "2024-05-01 08:30:05"


def test_sharedkit_time_is_looked_up_at_call(monkeypatch):
    fake = types.SimpleNamespace(localtime=lambda: "now", strftime=lambda fmt, t: f"{fmt}|{t}")
    monkeypatch.setattr(sharedkit, "time", fake)
    assert sharedkit.current_time_str() == "%Y-%m-%d %H:%M:%S|now"
    monkeypatch.delattr(sharedkit, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        sharedkit.current_time_str()


# ---------------------------------------------------------------- str2xpyp


@pytest.mark.parametrize(
    "text, expected",
    [
        ("3,30#1,10#2,20#", ([1.0, 2.0, 3.0], [10.0, 20.0, 30.0])),
        ("", ([], [])),
        ("5,1", ([5.0], [1.0])),
        (" 2 , 4 #1,3,99", ([1.0, 2.0], [3.0, 4.0])),
        ("1,2#,#7", ([1.0], [2.0])),
        ("##1,2##", ([1.0], [2.0])),
        ("-1e3,inf#1_0,\t-2.5\n", ([-1000.0, 10.0], [float("inf"), -2.5])),
        ("٣,١", ([3.0], [1.0])),
    ],
)
def test_str2xpyp(mod, text, expected):
    xp, yp = mod.str2xpyp(s=text)
    assert (xp, yp) == expected
    assert all(type(v) is float for v in xp + yp)


@pytest.mark.parametrize(
    "text, exc, msg",
    [
        ("1,", ValueError, "could not convert string to float: ''"),
        ("a,2", ValueError, "could not convert string to float: 'a'"),
        ("1,y#x,2", ValueError, "could not convert string to float: 'x'"),  # all x before any y
        (",5", ValueError, "could not convert string to float: ''"),
        (b"1,2", TypeError, argtype_msg("s", "str", "bytes")),
        (StrSub("1,2"), TypeError, argtype_msg("s", "str", "StrSub")),
    ],
)
def test_str2xpyp_failures(mod, text, exc, msg):
    with pytest.raises(exc, match=msg):
        mod.str2xpyp(text)


@settings(max_examples=100, deadline=None)
@given(points=st.lists(st.tuples(st.integers(-5, 5), st.floats(allow_nan=False)), max_size=30))
def test_str2xpyp_sorts_like_argsort(points):
    text = "#".join(f"{x},{y!r}" for x, y in points)
    xs = [float(x) for x, _ in points]
    ys = [y for _, y in points]
    order = np.argsort(xs)
    expected = (np.array(xs)[order].tolist(), np.array(ys)[order].tolist())
    for m in (sharedkit, utilities):
        assert m.str2xpyp(text) == expected


def test_sharedkit_np_is_looked_up_at_call(monkeypatch):
    seen = []

    def argsort(values):
        seen.append(list(values))
        return np.argsort(values)

    monkeypatch.setattr(sharedkit, "np", types.SimpleNamespace(argsort=argsort))
    assert sharedkit.str2xpyp("2,1#1,2") == ([1.0, 2.0], [2.0, 1.0])
    assert seen == [[2.0, 1.0]]
    assert utilities.str2xpyp("2,1#1,2") == ([1.0, 2.0], [2.0, 1.0]) and len(seen) == 1


def test_sharedkit_loads_its_imports():
    assert sharedkit.np is np and sharedkit.signal is signal and sharedkit.time is time
    assert not hasattr(utilities, "np")
