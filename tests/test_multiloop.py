"""Process models, MIMO simulator and step-response tools."""

import collections
import copy
import gc
import importlib.util
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import signal

from corvane.algorithm import multiloop as ml
from corvane.algorithm import sharedkit
from multiloop_reference import EXAMPLE, INI, RefMIMO, general_path, path, ref_model_stp  # noqa: F401


def on_general(sim, *args):
    """One call of sim on the general path."""
    with general_path():
        return sim(*args)


def example():
    return ml.MIMOSim(EXAMPLE, INI, 1)


def run(model, inputs):
    return [float(model.deltaU_sim(x)) for x in inputs]


def filter_states(sim):
    return {(cv, mv): copy.deepcopy(m._zi) for cv, row in sim.yu_model_obj.items() for mv, m in row.items()
            if isinstance(m, ml.tfz_model)}


def mv_sequence(seed, n=60):
    rng = np.random.default_rng(seed)
    return [{"MV1": 15 + float(rng.normal()), "MV2": 16 + float(rng.normal()), "MV3": 17.0 + k % 5}
            for k in range(n)]


# --------------------------------------------------------------------------- filter core

coef = st.floats(-2.0, 2.0, allow_nan=False, width=64)
lead = st.floats(0.25, 4.0) | st.floats(-4.0, -0.25)


@settings(max_examples=300, deadline=None)
@given(b=st.lists(coef, min_size=1, max_size=6), a0=lead, a_rest=st.lists(coef, max_size=5),
       xs=st.lists(st.floats(-1e3, 1e3, allow_nan=False), min_size=1, max_size=25))
def test_filter_equals_lfilter_bit_for_bit(b, a0, a_rest, xs):
    a = [a0] + a_rest
    m = ml.tfz_model(b, a, 0)
    zi = m._zi
    for x in xs:
        y, zi = signal.lfilter(m.Gz_num, m.Gz_den, np.array([x]), zi=zi)
        got = m.deltaU_sim(x)
        assert type(got) is np.float64
        np.testing.assert_array_equal(got, y[0])
        assert np.signbit(got) == np.signbit(y[0]) or np.isnan(got)
        np.testing.assert_array_equal(m._zi, zi)


def test_tfz_delay_and_state():
    m = ml.tfz_model(num=[0, 1], den=[1, -0.5], delay=2)
    assert m._zi == [0, 0, 0] and all(type(z) is int for z in m._zi)
    np.testing.assert_array_equal(m.Gz_num, [0, 0, 0, 1])
    assert m.Gz_num.dtype == np.float64 and m.Gz_den.dtype == np.float64
    assert run(m, [1] * 6) == [0, 0, 0, 1, 1.5, 1.75]
    assert isinstance(m._zi, np.ndarray) and m._zi.dtype == np.float64 and len(m._zi) == 3
    m.reset_zi()
    assert m._zi == [0, 0, 0]
    assert run(m, [1] * 4) == [0, 0, 0, 1]


@pytest.mark.parametrize("num, den, delay, exc", [
    ([1], [0, 1], 0, ValueError),       # a[0] == 0
    ([], [1], 0, ValueError),           # empty numerator
    ([1], [], 0, ValueError),           # empty denominator
    ([1], [1, 0.5], 1.5, TypeError),    # non-integer delay: numpy pad refuses
    ([1], [1, 0.5], -1, ValueError),
    (5.0, [1, 0.5], 0, TypeError),      # scalar numerator has no length
])
def test_tfz_numeric_errors(num, den, delay, exc):
    try:
        m = ml.tfz_model(num, den, delay)
    except exc:
        return
    # lfilter's refusals surface at the first sample and change nothing.
    before = copy.deepcopy(m._zi)
    with pytest.raises(exc):
        m.deltaU_sim(1.0)
    assert m._zi == before


def test_deltaU_sim_converts_input():
    m = ml.tfz_model()
    with pytest.raises(TypeError):
        m.deltaU_sim("1")
    assert m._zi == [0, 0]
    assert float(m.deltaU_sim(np.float32(2))) == 0.0
    with pytest.raises(TypeError):
        ml.no_model().deltaU_sim(None)
    r = ml.no_model().deltaU_sim()
    assert type(r) is float and r == 0.0


# --------------------------------------------------------------------------- models

def test_step_response_models():
    m = ml.stp_model([0, 1, 3])
    assert run(m, [1] * 5) == [0, 1, 3, 3, 3]
    m = ml.stp_model([0, 1, 3])
    assert run(m, [1, 0, 0, 0, 0]) == [0, 1, 2, 0, 0]
    np.testing.assert_array_equal(ml.stpxy_model().Gz_num, np.diff([10.0, 10.0, 20.0, 30.0], prepend=0))
    np.testing.assert_array_equal(ml.stpxy_model(x=[0, 2], y=[0, 4]).Gz_num, [0.0, 2.0, 2.0])
    with pytest.raises(AssertionError) as e:
        ml.stpxy_model(x=[1, 2], y=[1])
    assert str(e.value) == ""


def test_tfs_model_discretises_through_sharedkit():
    m = ml.tfs_model(num=[0, 1], den=[5, 1], delay=0, Ts=1)
    num, den = sharedkit.c2d([0, 1], [5, 1], 0, 1)
    np.testing.assert_array_equal(m.Gz_num, num)
    np.testing.assert_array_equal(m.Gz_den, den)
    out = run(m, [1] * 60)
    assert out[0] == 0 and abs(out[-1] - 1) < 1e-4 and out == sorted(out)


def test_defaults():
    for _ in range(2):  # a second construction sees the same defaults
        m = ml.tfz_model()
        np.testing.assert_array_equal(m.Gz_num, [0, 1, 0.5])
        np.testing.assert_array_equal(m.Gz_den, [1, -1.5, 0.7])
        run(m, [1, 2])
        np.testing.assert_array_equal(ml.tfs_model().Gz_num, sharedkit.c2d([0, 1], [5, 1], 0, 1)[0])
        np.testing.assert_array_equal(ml.stp_model().Gz_num, [0.5, 0.5, 1, 1, 1, 1])
        np.testing.assert_array_equal(ml.stpxy_model().Gz_num, [10, 0, 10, 10])
        assert ml.tfz_model(delay=1)._zi == [0, 0, 0]


def test_class_tree():
    for cls in (ml.no_model, ml.tfz_model, ml.tfs_model, ml.stp_model, ml.stpxy_model):
        assert issubclass(cls, ml.model) and isinstance(cls(), ml.model)
    assert issubclass(ml.tfs_model, ml.tfz_model) and issubclass(ml.stpxy_model, ml.stp_model)
    assert issubclass(ml.stp_model, ml.tfz_model) and not issubclass(ml.no_model, ml.tfz_model)
    assert type(ml.model) is __import__("abc").ABCMeta
    with pytest.raises(TypeError):
        ml.model()
    with pytest.raises(AttributeError):
        ml.tfz_model().Gz_num = np.zeros(2)


def test_get_model_tags():
    d = {"CV1": {"MV1": {}, "MV2": {}}, "CV2": {"MV3": {}, "MV1": {}}}
    assert ml.get_model_tags(d) == (["CV1", "CV2"], ["MV1", "MV2", "MV3"])
    assert ml.get_model_tags({}) == ([], [])
    with pytest.raises(AttributeError):
        ml.get_model_tags({"CV1": [1]})


def pair(entry, n=5):
    sim = ml.MIMOSim({"CV": {"MV": entry}}, {}, 1)
    return sim, [float(sim({"MV": 1})["CV"]) for _ in range(n)]


@pytest.mark.parametrize("entry, kind, expected", [
    ({"mode": "stp", "stp": [1, 1, 1], "IntegralMark": 1}, ml.stp_model, [1, 2, 3, 3, 3]),
    ({"mode": "tf_z", "num_z": [0, 1], "den_z": [1], "IntegralMark": 1}, ml.tfz_model, [0, 1, 2, 3, 4]),
    ({"mode": "tf_z", "num_z": [0, 1], "den_z": [1], "iodelay_z": 2}, ml.tfz_model, [0, 0, 0, 1, 1]),
    ({"mode": "stpxy", "x": [0, 2], "y": [1, 1], "IntegralMark": True}, ml.stpxy_model, [1, 1.5, 2, 2, 2]),
    ({"mode": "None", "num_s": [1]}, ml.no_model, [0] * 5),
    ({}, ml.no_model, [0] * 5),
    ({"IntegralMark": 1}, ml.no_model, [0] * 5),
])
def test_pair_build_rule(entry, kind, expected):
    sim, out = pair(entry)
    assert type(sim.yu_model_obj["CV"]["MV"]) is kind
    assert out == expected


def test_integrating_tf_s_matches_manual_discretisation():
    sim, out = pair({"mode": "tf_s", "num_s": [0, 1], "den_s": [10, 1], "IntegralMark": 1}, 200)
    num, den = sharedkit.c2d([0, 1], np.convolve([10, 1], [1, 0]), 0, 1)
    y = signal.lfilter(num, den, np.ones(200))
    np.testing.assert_array_equal(out, y)


@pytest.mark.parametrize("entry, exc", [
    ({"mode": "tf_s", "den_s": [1, 1]}, KeyError),
    ({"mode": "tf_s", "num_s": [1]}, KeyError),
    ({"mode": "tf_z", "num_z": [1]}, KeyError),
    ({"mode": "stp"}, KeyError),
    ({"mode": "stpxy", "y": [1]}, KeyError),
    ({"mode": "stpxy", "x": [1, 2], "y": [1]}, AssertionError),
    ({"mode": "tf_x"}, AssertionError),
    ({"mode": None}, AssertionError),
    ({"mode": "TF_S", "num_s": [1], "den_s": [1, 1]}, AssertionError),
])
def test_pair_build_failures(entry, exc):
    with pytest.raises(exc) as e:
        ml.MIMOSim({"CV": {"MV": entry}})
    if exc is AssertionError:
        assert e.value.args == ()


# --------------------------------------------------------------------------- MIMO simulator

@pytest.mark.usefixtures("path")
def test_worked_example_first_calls():
    assert example()() == {"CV1": 10.0, "CV2": 20.0}
    sim = example()
    outs = [sim({"MV2": 17}) for _ in range(3)]
    assert [o["CV1"] for o in outs[:2]] == [10.0, 11.0]
    assert [o["CV2"] for o in outs] == [20.0, 20.0, 21.0]
    assert all(type(v) is np.float64 for o in outs for v in o.values())


@pytest.mark.usefixtures("path")
@pytest.mark.parametrize("seed", [0, 1])
def test_matches_plain_python_reference(seed):
    sim, ref = example(), RefMIMO(EXAMPLE, INI, 1)
    rng = np.random.default_rng(seed)
    for u in mv_sequence(seed):
        v = {"CV1": float(rng.normal())} if rng.random() < 0.3 else {}
        got, want = sim(u, v), ref(u, v)
        assert got == want
        assert [type(x) for x in got.values()] == [type(x) for x in want.values()]


@pytest.mark.usefixtures("path")
def test_disturbance_unknown_tags_and_key_orders():
    sim, quiet = example(), example()
    for u in mv_sequence(3, 5):
        sim(u), quiet(u)
    assert sim({}, {"CV1": 3.0})["CV1"] == quiet({})["CV1"] + 3.0
    assert sim() == quiet()
    sim({"MV9": 5, "CV1": 1})
    assert list(sim.get_input_data_dict()) == ["MV1", "MV2", "MV3"]
    assert list(sim.get_all_data_dict()) == ["MV1", "MV2", "MV3", "CV1", "CV2"]
    assert sim.get_process_tags() == ["CV1", "CV2", "MV1", "MV2", "MV3"]


@pytest.mark.usefixtures("path")
def test_output_types_follow_the_arithmetic():
    sim = ml.MIMOSim({"A": {"MV": {}}, "B": {"MV": {"mode": "stp", "stp": [1]}}}, {"A": 1})
    out = sim({"MV": 2})
    assert type(out["A"]) is float and out["A"] == 1.0
    assert type(out["B"]) is np.float64 and out["B"] == 2.0
    assert type(ml.MISOSimulator([], []).one_step_sim([])) is float
    # A disturbance given as numpy float64 makes the model-free CV float64 too.
    assert type(sim({}, {"A": np.float64(0.5)})["A"]) is np.float64


@pytest.mark.usefixtures("path")
def test_missing_initial_values_and_reset_keeps_model_states():
    sim = ml.MIMOSim(EXAMPLE)
    assert sim() == {"CV1": 0.0, "CV2": 0.0}
    assert sim.get_input_data_dict() == {"MV1": 0.0, "MV2": 0.0, "MV3": 0.0}
    sim = example()
    for _ in range(5):
        sim({"MV2": 17})
    states = filter_states(sim)
    sim.reset()
    assert sim.get_input_data_dict() == {"MV1": 15, "MV2": 16, "MV3": 17}
    assert sim.get_output_data_dict() == {"CV1": 10, "CV2": 20}
    for k, z in filter_states(sim).items():
        np.testing.assert_array_equal(z, states[k])
    assert sim()["CV1"] != 10.0  # remainder of the earlier step


@pytest.mark.usefixtures("path")
def test_siso():
    sim = ml.SISOSim(2, 10, delay=3)
    out = [float(sim({"MV": 1})["CV"]) for _ in range(40)]
    assert out[:4] == [0.0] * 4 and 0 < out[4] < out[10] < out[-1] < 2
    assert isinstance(sim, ml.MIMOSim)
    integ = ml.SISOSim(1, 5, integralMark=1)
    assert [float(integ({"MV": 1})["CV"]) for _ in range(60)][-1] > 40


@pytest.mark.usefixtures("path")
def test_copies_of_caller_dicts_and_getters():
    model = copy.deepcopy(EXAMPLE)
    ini = dict(INI)
    sim = ml.MIMOSim(model, ini, 1)
    model["CV1"]["MV2"]["num_z"][1] = 100
    ini["CV1"] = 1000
    assert sim({"MV2": 17}) == {"CV1": 10.0, "CV2": 20.0} and sim({"MV2": 17})["CV1"] == 11.0
    for getter, attr in [("get_input_data_dict", "_u_dict"), ("get_output_data_dict", "_y_dict"),
                         ("get_cv_list", "cv_list"), ("get_mv_list", "mv_list"),
                         ("get_model_dict", "process_model_dict")]:
        got = getattr(sim, getter)()
        assert got == getattr(sim, attr) and got is not getattr(sim, attr)
    sim.get_model_dict()["CV1"]["MV2"]["num_z"].append(9)
    assert sim.process_model_dict == EXAMPLE


@pytest.mark.parametrize("bad, tname", [(None, "NoneType"), ([], "list"),
                                        (collections.OrderedDict(), "collections.OrderedDict"),
                                        (collections.defaultdict(dict), "collections.defaultdict")])
def test_process_model_dict_must_be_a_dict(bad, tname):
    with pytest.raises(TypeError) as e:
        ml.MIMOSim(bad)
    assert str(e.value) == f"Argument 'process_model_dict' has incorrect type (expected dict, got {tname})"


class NoFloat:
    """Subtracts fine; the difference cannot become a float."""

    def __sub__(self, other):
        return "x"


@pytest.mark.usefixtures("path")
@pytest.mark.parametrize("u, v, exc", [
    ({"MV1": 16}, None, AttributeError),
    (None, {}, AttributeError),
    ({"MV1": 16, "MV3": "a"}, {}, TypeError),
    ({"MV3": NoFloat()}, {}, TypeError),
    ({"MV1": 16, "MV2": [1]}, {}, TypeError),
])
def test_failed_call_changes_nothing(u, v, exc):
    sim = example()
    for x in mv_sequence(4, 5):
        sim(x)
    before = (dict(sim._u_dict), dict(sim._y_dict), filter_states(sim))
    with pytest.raises(exc):
        sim(u, v)
    after = (dict(sim._u_dict), dict(sim._y_dict), filter_states(sim))
    assert before[:2] == after[:2]
    for k, z in before[2].items():
        np.testing.assert_array_equal(z, after[2][k])
    ref = example()
    for x in mv_sequence(4, 5):
        ref(x)
    assert sim({"MV1": 17}) == ref({"MV1": 17})


class Doubler:
    def __init__(self):
        self.seen = []

    def deltaU_sim(self, dU):
        self.seen.append(dU)
        return 2 * dU


def test_miso_simulator_with_foreign_models():
    py, filt = Doubler(), ml.tfz_model([1], [1])
    miso = ml.MISOSimulator([py, filt, ml.no_model()], [1, 2.0, 0])
    assert miso.model_list[0] is py and miso.u_ini_list == [1, 2.0, 0]
    assert miso.one_step_sim([4, 5.0, 7]) == 6 + 3.0
    assert py.seen == [3] and type(py.seen[0]) is int
    # zip stops at the shortest list
    assert miso.one_step_sim([2]) == 2
    # the lists are read as they are at each call
    miso.model_list[0] = ml.no_model()
    assert miso.one_step_sim([4, 5.0]) == 3.0


def test_foreign_model_failure_rolls_back_filters():
    class Boom:
        def deltaU_sim(self, dU):
            raise RuntimeError("boom")

    filt = ml.tfz_model([0, 1], [1, -0.5])
    miso = ml.MISOSimulator([filt, Boom()], [0, 0])
    run(filt, [1, 1])
    before = filt._zi.copy()
    with pytest.raises(RuntimeError):
        miso.one_step_sim([1, 1])
    np.testing.assert_array_equal(filt._zi, before)


# --------------------------------------------------------------------------- model tools

def test_get_model_stp_worked_example():
    stp = ml.get_model_stp(EXAMPLE)
    assert {cv: list(r) for cv, r in stp.items()} == {"CV1": ["MV1", "MV2", "MV3"], "CV2": ["MV1", "MV2", "MV3"]}
    assert stp["CV1"]["MV3"] == []
    assert all(len(stp[cv][mv]) == 300 for cv, mv in [("CV1", "MV1"), ("CV1", "MV2"), ("CV2", "MV1"),
                                                       ("CV2", "MV2"), ("CV2", "MV3")])
    steps = EXAMPLE["CV2"]["MV2"]["stp"]
    assert stp["CV2"]["MV2"] == steps + [3] * (300 - len(steps))
    assert stp == ref_model_stp(EXAMPLE)


@pytest.mark.parametrize("entry, check", [
    ({"mode": "stp", "stp": [5, 5, 5]}, lambda r: r == []),
    ({"mode": "tf_s", "num_s": [0, 1], "den_s": [10, 1], "iodelay_s": 5},
     lambda r: r[:6] == [0] * 6 and 0 < r[6] < r[50] < 1),
])
def test_get_model_stp_pairs(entry, check):
    assert check(ml.get_model_stp({"CV": {"MV": entry}}, 1, 100)["CV"]["MV"])


@pytest.mark.parametrize("args, name, tname", [
    ((collections.OrderedDict(),), "yu_model", "collections.OrderedDict"),
    ((None,), "yu_model", "NoneType"),
    ((EXAMPLE, 0.5), "Ts", "float"),
    ((EXAMPLE, 1.0), "Ts", "float"),
    ((EXAMPLE, True), "Ts", "bool"),
    ((EXAMPLE, 1, 10.0), "length", "float"),
])
def test_get_model_stp_type_checks(args, name, tname):
    for fn, last in [(ml.get_model_stp, "length"), (ml.plot_model_stp, "plotLen")]:
        with pytest.raises(TypeError) as e:
            fn(*args)
        expected = "dict" if name == "yu_model" else "int"
        assert str(e.value) == (f"Argument '{last if name == 'length' else name}' has incorrect type "
                                f"(expected {expected}, got {tname})")


def test_get_model_stp_empty_length():
    with pytest.raises(ValueError):
        ml.get_model_stp(EXAMPLE, 1, 0)
    with pytest.raises(KeyError):
        ml.get_model_stp({"CV": {"MV": {"mode": "stp"}}})


@pytest.fixture
def shown(monkeypatch):
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg")
    import matplotlib.pyplot as plt

    figures = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: figures.append(plt.gcf()))
    with mpl.rc_context():
        yield figures
    plt.close("all")


def test_plot_model_stp_layout(shown):
    import matplotlib as mpl

    assert ml.plot_model_stp(EXAMPLE, 1, 50) is None
    (fig,) = shown
    assert tuple(fig.get_size_inches()) == (15, 10) and fig.get_facecolor()[:3] == (1, 1, 1)
    assert fig.get_tight_layout()
    axes = fig.get_axes()
    assert [ax.get_title() for ax in axes] == ["CV1-MV1", "CV1-MV2", "CV1-MV3", "CV2-MV1", "CV2-MV2", "CV2-MV3"]
    assert [ax.get_subplotspec().get_geometry()[2] for ax in axes] == list(range(6))
    assert all(ax.title.get_fontsize() == 11 for ax in axes)
    empty, full = axes[2], axes[4]
    assert len(empty.lines[0].get_ydata()) == 0
    np.testing.assert_array_equal(full.lines[0].get_ydata(), ml.get_model_stp(EXAMPLE, 1, 50)["CV2"]["MV2"])
    for ax, size in [(empty, 1), (full, 15)]:  # matplotlib raises a size of 0 to its 1 pt floor
        for tick in ax.get_xticklabels() + ax.get_yticklabels():
            assert tick.get_fontsize() == size
    assert full.xaxis.get_gridlines()[0].get_visible()
    assert mpl.rcParams["font.sans-serif"] == ["SimHei"] and mpl.rcParams["axes.unicode_minus"] is False


def test_mimo_plot_passes_own_model(shown, monkeypatch):
    calls = []
    monkeypatch.setattr(ml, "plot_model_stp", lambda *a: calls.append(a))
    example().plot_model_stp(20)
    assert calls == [(EXAMPLE, 1, 20)]
    monkeypatch.undo()
    with pytest.raises(TypeError, match="'Ts'"):
        ml.MIMOSim(EXAMPLE, INI, 0.5).plot_model_stp()


def test_plot_model_stp_without_matplotlib(monkeypatch):
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "matplotlib" else real(name, *a))
    calls = []
    monkeypatch.setattr(ml, "get_model_stp", lambda *a: calls.append(a))
    assert ml.plot_model_stp({"CV": {"MV": {"mode": "stp"}}}) is None  # a bad entry is never built
    assert calls == []
    with pytest.raises(TypeError):
        ml.plot_model_stp(EXAMPLE, 1.0)


# --------------------------------------------------------------------------- copy and pickle

def roundtrip_pickle(obj):
    return pickle.loads(pickle.dumps(obj))


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, roundtrip_pickle], ids=["copy", "deepcopy", "pickle"])
@pytest.mark.parametrize("make", [ml.tfz_model, ml.tfs_model, ml.stp_model, ml.stpxy_model])
def test_models_clone_with_state(clone, make):
    m = make()
    run(m, [1, 2])
    c = clone(m)
    assert type(c) is type(m)
    np.testing.assert_array_equal(c._zi, m._zi)
    assert run(c, [3, -1, 0.5]) == run(m, [3, -1, 0.5])
    fresh = clone(make())
    assert fresh._zi == make()._zi


@pytest.mark.usefixtures("path")
@pytest.mark.parametrize("clone", [copy.deepcopy, roundtrip_pickle], ids=["deepcopy", "pickle"])
@pytest.mark.parametrize("make", [example, lambda: ml.SISOSim(2, 10, delay=3)], ids=["mimo", "siso"])
def test_simulator_clone_continues_identically(clone, make):
    sim = make()
    seq = mv_sequence(7, 30) if sim.mv_list != ["MV"] else [{"MV": float(k % 3)} for k in range(30)]
    for u in seq[:10]:
        sim(u)
    c = clone(sim)
    assert type(c) is type(sim)
    for cv, row in c.yu_model_obj.items():
        assert all(m is c.cv_simulators[cv].model_list[i] for i, m in enumerate(row.values()))
    for u in seq[10:]:
        assert c(u) == sim(u)
    c.reset(), sim.reset()
    assert c() == sim()


def test_shallow_copy_and_other_classes():
    sim = example()
    s2 = copy.copy(sim)
    assert s2.yu_model_obj is sim.yu_model_obj and s2() == sim.get_output_data_dict()
    for obj in (ml.no_model(), ml.MISOSimulator([ml.no_model()], [0.0])):
        for clone in (copy.copy, copy.deepcopy, roundtrip_pickle):
            assert type(clone(obj)) is type(obj)
    miso = roundtrip_pickle(ml.MISOSimulator([ml.stp_model([1, 2])], [1.0]))
    assert miso.one_step_sim([2.0]) == 1.0 and miso.one_step_sim([2.0]) == 2.0


def test_reference_cycles_through_simulators_are_collected():
    import gc

    freed = []

    class Sentinel:
        def __del__(self):
            freed.append(True)

    class Model:  # its class dict leads back to the simulator
        def deltaU_sim(self, dU):
            return 0.0

    sim = ml.MIMOSim({"CV": {"MV": {"mode": "stp", "stp": [1]}}})
    miso = ml.MISOSimulator([Model()], [0])
    Model.owner = (sim, miso)
    miso.one_step_sim([1])
    sim.cv_simulators["CV"].u_ini_list.append(Sentinel())
    sim.cv_simulators["CV"].u_ini_list.append(sim)
    del sim, miso, Model
    gc.collect()
    assert freed == [True]


@pytest.mark.parametrize("base", [ml.MIMOSim, ml.SISOSim])
def test_own_call_of_a_subclass_is_reached(base):
    class Own(base):
        def __call__(self, u_Value_Dict={}, v_Value_Dict={}):
            return {"own": u_Value_Dict}

    sim = Own(EXAMPLE, INI, 1) if base is ml.MIMOSim else Own(2.0, 10.0)
    assert sim({"MV1": 1.0}) == {"own": {"MV1": 1.0}}


def test_collecting_a_compiled_simulator_leaves_what_the_caller_holds():
    class Sub(ml.MIMOSim):
        pass

    s = Sub(EXAMPLE, INI, 1)
    s.me = s  # a cycle
    for u in mv_sequence(4, 3):
        s(u)
    sims, row = s.cv_simulators, s.cv_simulators["CV1"].model_list
    del s
    gc.collect()
    assert list(sims) == ["CV1", "CV2"] and len(row) == 3


# --------------------------------------------------------------------------- hostile callers and states

from hostile import check_foreign_self, check_hostile_states  # noqa: E402


def test_reentrant_key_clearing_the_inputs_keeps_values_alive():
    s = ml.MIMOSim({"CV": {"MV": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1, -0.5]}}}, {"CV": 0.0, "MV": 0.0})
    big = int("1" * 25)
    u = {"MV": big}

    class Evil:
        def __hash__(self):
            return hash("CV")

        def __eq__(self, o):
            u.clear()
            return False

    s(u, {Evil(): 0.0})
    assert s._u_dict == {"MV": big} and type(s._u_dict["MV"]) is int
    assert s({})["CV"] == float(big)


def test_reentrant_mv_tag_clearing_the_inputs():
    u = {}

    class Tag:
        def __hash__(self):
            return hash("MV")

        def __eq__(self, o):
            u.clear()
            return isinstance(o, Tag)

    tag = Tag()
    s = ml.MIMOSim({"CV": {tag: {"mode": "stp", "stp": [1.0]}}})
    u.update({"MV": 2.0, tag: 3.0})
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        s(u)
    assert list(s._u_dict.values()) == [0.0] and s._y_dict == {"CV": 0.0}
    assert s({tag: 3.0})["CV"] == 3.0


CLASSES = [ml.no_model, ml.tfz_model, ml.tfs_model, ml.stp_model, ml.stpxy_model,
           lambda: ml.MISOSimulator([ml.stp_model([1, 2])], [0.0]), example, lambda: ml.SISOSim(2, 10, delay=3)]


@pytest.mark.parametrize("make", CLASSES)
def test_foreign_self_is_refused(make):
    obj = make()
    other = ml.no_model() if not isinstance(obj, ml.no_model) else ml.tfz_model()
    check_foreign_self(obj, other)
    before = pickle.dumps(other.__getstate__())
    assert pickle.dumps(other.__getstate__()) == before


def drive(obj):
    if isinstance(obj, ml.MIMOSim):
        obj({"MV1": 16.0, "MV": 1.0}, {})
        obj.get_all_data_dict(), obj.reset(), obj()
    elif isinstance(obj, ml.MISOSimulator):
        obj.one_step_sim([1.0, 2.0])
    else:
        obj.deltaU_sim(1.0), obj.deltaU_sim(2.0), getattr(obj, "_zi", None)


def stepped(make):
    def build():
        obj = make()
        drive(obj)
        return obj
    return build


@pytest.mark.parametrize("make", CLASSES)
def test_hostile_states(make):
    check_hostile_states(stepped(make), drive)


def test_failed_setstate_is_atomic():
    p, q = ml.tfz_model([1, 2], [1, 0.5]), ml.tfz_model([3], [1])
    run(p, [1.0])
    before = pickle.dumps(p.__getstate__())
    with pytest.raises(TypeError):
        p.__setstate__((q.__getstate__()[0], 1))
    assert pickle.dumps(p.__getstate__()) == before
    s = example()
    with pytest.raises(TypeError):
        s.__setstate__((ml.SISOSim(1, 2).__getstate__()[0][:8] + (None,), {}))
    assert s.cv_list == ["CV1", "CV2"]


def test_coefficient_shape_checked_before_sizing():
    with pytest.raises(ValueError, match="1d array"):
        ml.tfz_model(np.empty((2**26, 0)), [1.0])
    m = ml.tfz_model()
    (num, den, z), d, _ = m.__getstate__()
    with pytest.raises(ValueError):
        m.__setstate__(((np.empty((2**26, 0)), den, z), d))
    with pytest.raises(ValueError):
        m.__setstate__(((num, den, np.zeros(7)), d))


@pytest.mark.parametrize("name", ["Gz_num", "Gz_den"])
def test_coefficients_stay_read_only(name):
    m = ml.tfz_model([0, 1], [1, -0.5])
    a = getattr(m, name)
    with pytest.raises(ValueError):
        a.flags.writeable = True
    with pytest.raises(ValueError):
        a[0] = 5.0
    np.testing.assert_array_equal(getattr(copy.deepcopy(m), name), a)


class Failing:
    def deltaU_sim(self, dU):
        raise RuntimeError("model")


def test_model_error_comes_before_missing_disturbances():
    stp = {"mode": "stp", "stp": [1.0, 2.0]}
    sim = ml.MIMOSim({"CV": {"MV": stp, "MV2": stp}})
    models = sim.cv_simulators["CV"].model_list
    good = models[1]
    models[1] = Failing()
    z = filter_states(sim)
    with pytest.raises(RuntimeError, match="model"):
        sim({"MV": 1.0}, None)
    assert filter_states(sim) == z and sim._u_dict == {"MV": 0.0, "MV2": 0.0}
    models[1] = good
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
        sim({"MV": 1.0}, None)
    assert filter_states(sim) == z and sim._u_dict == {"MV": 0.0, "MV2": 0.0}
    assert sim({"MV": 1.0})["CV"] == 1.0


# --------------------------------------------------------------------------- compiled plant follows every change

def test_compiled_plant_follows_changes_between_samples():
    fast, slow = example(), example()
    seq = mv_sequence(11, 12)

    def both(change):
        for sim in (fast, slow):
            change(sim)

    def check(us):
        for u in us:
            a, b = fast(u), on_general(slow, u)
            assert a == b and [type(x) for x in a.values()] == [type(x) for x in b.values()]

    check(seq[:3])
    both(lambda s: s.ini_value_dict.__setitem__("CV1", 12.5))  # read at every sample
    check(seq[3:4])
    both(lambda s: s.cv_simulators["CV2"].model_list.__setitem__(1, Doubler()))  # foreign model
    check(seq[4:5])
    both(lambda s: s.cv_simulators["CV2"].model_list.__setitem__(1, s.yu_model_obj["CV2"]["MV2"]))
    both(lambda s: s.cv_simulators["CV1"].u_ini_list.__setitem__(0, 14))  # one CV's initial value
    check(seq[5:7])
    both(lambda s: s.yu_model_obj["CV1"]["MV2"].__setstate__(ml.stp_model([0, 3]).__getstate__()))
    check(seq[7:9])
    both(lambda s: s.cv_simulators.pop("CV2"))
    check(seq[9:])
    assert list(fast._y_dict) == ["CV1", "CV2"] and fast.get_all_data_dict() == slow.get_all_data_dict()
    np.testing.assert_array_equal(fast.yu_model_obj["CV1"]["MV1"]._zi, slow.yu_model_obj["CV1"]["MV1"]._zi)


@pytest.mark.parametrize("reach", ["held", "gc"])
def test_compiled_plant_sees_a_model_list_changed_long_after_it_was_reached(reach):
    fast, slow = example(), example()
    seq = mv_sequence(13, 12)
    if reach == "held":
        lists = [fast.cv_simulators["CV2"].model_list, slow.cv_simulators["CV2"].model_list]
    for u in seq[:6]:
        assert fast(u) == on_general(slow, u)
    if reach == "gc":  # found without the attribute, after many samples
        lists = [next(o for o in gc.get_referents(s.cv_simulators["CV2"]) if isinstance(o, list) and len(o) == 3
                      and not isinstance(o[0], (int, float))) for s in (fast, slow)]
    for lst in lists:
        lst[1] = Doubler()
    for u in seq[6:]:
        assert fast(u) == on_general(slow, u)
    assert fast.cv_simulators["CV2"].model_list[1].seen == slow.cv_simulators["CV2"].model_list[1].seen != []


def test_reset_state_reads_as_fresh_until_the_next_compiled_sample():
    sim = example()
    seq = mv_sequence(17, 6)
    for u in seq[:4]:
        sim(u)
    m = sim.yu_model_obj["CV1"]["MV1"]
    m.reset_zi()
    assert type(m._zi) is list and not any(m._zi)
    ref = ml.MIMOSim(EXAMPLE, INI, 1)
    for u in seq[:4]:
        on_general(ref, u)
    ref.yu_model_obj["CV1"]["MV1"].reset_zi()
    for u in seq[4:]:
        assert sim(u) == on_general(ref, u)
    assert type(m._zi) is np.ndarray
    np.testing.assert_array_equal(m._zi, ref.yu_model_obj["CV1"]["MV1"]._zi)


def test_states_with_out_of_band_and_strided_arrays():
    m = ml.tfz_model([0, 1, 0.5], [1, -0.5])
    run(m, [1.0, 2.0])
    bufs = []
    c = pickle.loads(pickle.dumps(m, protocol=5, buffer_callback=bufs.append), buffers=bufs)
    assert run(c, [1.0, 0.5]) == run(m, [1.0, 0.5])
    (num, den, z), d, _ = m.__getstate__()
    c.__setstate__(((np.repeat(num, 2)[::2], den, z[::-1].copy()[::-1]), d))
    assert run(c, [3.0]) == run(m, [3.0])
    with pytest.raises(ValueError):
        c.__setstate__(((num.astype(">f8"), den, z), d))


@pytest.mark.parametrize("action", ["replace_state", "nested_call", "clear_dicts"])
def test_compiled_path_survives_reentrant_writes(action):
    sim, other = example(), example()
    armed = []

    class Evil:
        def __hash__(self):
            return hash("CV1")

        def __eq__(self, o):
            if armed:
                armed.clear()
                if action == "replace_state":
                    sim.__setstate__(other.__getstate__())
                elif action == "nested_call":
                    sim({"MV1": 14.0})
                else:
                    sim._u_dict.clear(), sim._y_dict.clear()
            return False

    sim(mv_sequence(2, 1)[0])
    y = sim._y_dict
    items = dict(y)
    y.clear()
    y[Evil()] = 0.0  # probed before "CV1": writing "CV1" runs __eq__
    y.update(items)
    armed.append(True)
    sim({"MV1": 16.0})
    assert not armed
    sim({"MV1": 16.0}), sim.get_all_data_dict()


@pytest.mark.parametrize("read", ["attr", "getter", "pickle", "reset", "step_response", "written", "gc"])
def test_values_kept_natively_show_wherever_read(read):
    fast, slow = example(), example()
    seq = mv_sequence(21, 12)
    for u in seq[:4]:
        assert fast(u) == on_general(slow, u)
    if read == "attr":
        y, u_held = fast._y_dict, fast._u_dict  # held: written at every sample from now on
        for u in seq[4:8]:
            fast(u), on_general(slow, u)
            assert (y, u_held) == (slow._y_dict, slow._u_dict)
            assert [type(x) for x in y.values()] == [type(x) for x in slow._y_dict.values()]
        del y, u_held
    elif read == "getter":
        assert fast.get_all_data_dict() == slow.get_all_data_dict()
        assert fast.get_input_data_dict() == slow.get_input_data_dict()
    elif read == "pickle":
        fast = pickle.loads(pickle.dumps(fast))
        assert fast._u_dict == slow._u_dict and fast._y_dict == slow._y_dict
    elif read == "reset":
        fast.reset(), slow.reset()
        assert fast._u_dict == slow._u_dict == {"MV1": 15, "MV2": 16, "MV3": 17}
    elif read == "written":  # through a reference let go at once
        for sim in (fast, slow):
            sim._u_dict["MV2"] = 18.5
            sim._y_dict["extra"] = 1.0
        got = fast({})
        assert got == on_general(slow, {}) and "extra" in got
    elif read == "gc":  # whatever MV dict the collector hands out is written (and let go of), on both
        for r in gc.get_referents(fast):
            if type(r) is dict and list(r) == ["MV1", "MV2", "MV3"] and list(r.values()) != [0, 1, 2]:  # not the index
                r["MV2"] = slow._u_dict["MV2"] = 100.0
        del r
        assert fast({"MV1": 14.0}) == on_general(slow, {"MV1": 14.0})  # MV2 as it now stands
    else:
        ml.get_model_stp(EXAMPLE, 1, 5)
    for u in seq[8:] + [{}]:
        assert fast(u) == on_general(slow, u)
    assert fast.get_all_data_dict() == slow.get_all_data_dict() and list(fast._y_dict)[:2] == ["CV1", "CV2"]


BAD_A0 = {"mode": "tf_z", "num_z": [1], "den_z": [0, 1]}  # refuses to run at its first sample


@pytest.mark.usefixtures("path")
@pytest.mark.parametrize("model, u, v, error", [
    ({"CV": {"MV3": {"mode": "stp", "stp": [1, 2]}, "MV2": BAD_A0}}, {"MV3": 10**400}, {}, OverflowError),
    ({"CV": {"MV3": {"mode": "stp", "stp": [1, 2]}, "MV2": BAD_A0}}, {"MV3": "x"}, {}, TypeError),
    ({"CV": {"MV3": {"mode": "stp", "stp": [1, 2]}, "MV2": BAD_A0}}, {}, {}, ValueError),
    ({"CV1": {"MV": BAD_A0}, "CV2": {"MV": {"mode": "stp", "stp": [1]}}}, {}, None, ValueError),
    ({"CV1": {"MV": {"mode": "stp", "stp": [1]}}, "CV2": {"MV": BAD_A0}}, {}, None, AttributeError),
])
def test_errors_come_in_the_order_of_the_sample(model, u, v, error):
    s = ml.MIMOSim(model)
    before = pickle.dumps(s)
    with pytest.raises(error):
        s(u, v)
    assert pickle.dumps(s) == before


FIRST_ORDER = {"CV": {"MV": {"mode": "tf_s", "num_s": [0, 1], "den_s": [5, 1], "iodelay_s": 0, "IntegralMark": 0}}}


class _Finalizer:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


def test_lists_found_through_the_collector_are_watched_like_those_of_the_getters():
    sim = ml.MIMOSim(FIRST_ORDER, {"CV": 0.0, "MV": 0.0})
    sim({"MV": 1.0})
    sim({"MV": 1.0})  # the engine trusts the per-CV lists it holds
    lists = [o for o in gc.get_referents(sim) if type(o) is list and o and isinstance(o[0], ml.tfs_model)]
    assert lists
    for models in lists:
        models[0] = ml.no_model()
    assert sim({"MV": 1.0}) == {"CV": 0.0}


def test_a_sample_given_while_an_old_engine_is_released_is_kept(path):
    sim = ml.MIMOSim(FIRST_ORDER, {"CV": 0.0, "MV": 0.0})
    sim({"MV": 1.0})
    miso = sim.cv_simulators["CV"]
    models = miso.model_list
    trapped = ml.tfz_model()
    trapped.trap = _Finalizer(lambda: sim({"MV": 5.0}))
    miso.model_list = [trapped]
    sim({})
    miso.model_list = models
    del trapped
    sim({})  # the engine built on the trapped model is released: its finalizer gives MV 5.0
    assert sim.get_input_data_dict() == {"MV": 5.0}
