"""corvane.loop: the native run equals the blocks stepped through their own API, bit for bit, states included."""

import copy
import pickle

import numpy as np
import pytest

from corvane.algorithm.clampguard import AntiWindupLimter
from corvane.algorithm.heartbeat import WatchDog
from corvane.algorithm.loopcontrol import PID
from corvane.algorithm.multiloop import MIMOSim, SISOSim
from corvane.algorithm.slewlimit import RateLimit
from corvane.loop import Loop, LoopError
from multiloop_reference import EXAMPLE, INI


def pi_loop(kp=0.5, ti=10.0):
    pid = PID(1.0)
    pid.setPIDParam(KP=kp, TI=ti)
    return (Loop().add("plant", SISOSim(2.0, 30.0, 4), MV="pi.OP")
            .add("sp", RateLimit(0.0), u_end="target", PRLimPerMin=30.0)
            .add("pi", pid, MODE="mode", SP="sp.out", PV="plant.CV", TV="pi.OP")
            .add("valve", AntiWindupLimter(), u="pi.OP", HI=80.0)
            .add("beat", WatchDog(), MaxOut=3.0))


def zi(model):
    z = getattr(model, "_zi", None)
    return z.tolist() if isinstance(z, np.ndarray) else z


def states_of_models(sim):
    return [zi(m) for row in sim.yu_model_obj.values() for m in row.values()]


def states(loop):
    """Every block's state; a simulator's as its dicts and its models' filter states."""
    return {name: b.__getstate__() if not isinstance(b, MIMOSim) else
            (b._u_dict, b._y_dict, states_of_models(b))
            for name, b in loop.blocks.items()}


def same(a, b):
    """Equal values and types, NaN equal to NaN, recursively."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    return a == b


@pytest.mark.parametrize("n", [0, 1, 7, 400])
def test_native_run_equals_the_python_api(n):
    mode = (np.arange(n) > 5).astype(float)
    target = np.where(np.arange(n) < 200, 10.0, 25.0)
    a, b = pi_loop(), pi_loop()
    for lp in (a, b):
        lp.initial("pi.OP", 5.0)
    ta = a.run(n, {"mode": mode, "target": target})
    tb = b.run(n, {"mode": mode, "target": target}, native=False)
    assert ta == tb and len(ta) == n
    assert same(states(a), states(b))
    # the next run continues from the same wires
    assert a.run(5, {"mode": 1.0, "target": 3.0}) == b.run(5, {"mode": 1.0, "target": 3.0}, native=False)


def test_worked_example_plant_and_untouched_mvs():
    a, b = (Loop().add("plant", MIMOSim(EXAMPLE, INI, 1), MV1="step").add("lag", RateLimit(15.0), u_end="plant.CV1")
            for _ in range(2))
    step = np.r_[np.full(5, 15.0), np.full(60, 16.0)]
    assert a.run(65, {"step": step}) == b.run(65, {"step": step}, native=False)
    pa, pb = a.blocks["plant"], b.blocks["plant"]
    assert pa._u_dict == pb._u_dict == {"MV1": 16.0, "MV2": 16, "MV3": 17}  # MV2, MV3 never given
    assert same(states(a), states(b))


def test_failed_run_names_the_sample_and_block_and_changes_nothing():
    lp = pi_loop()
    before = pickle.dumps(copy.deepcopy(lp))
    mode = np.ones(50)
    mode[30] = np.nan
    with pytest.raises(ValueError, match="NaN") as e:
        lp.run(50, {"mode": mode, "target": 10.0})
    assert "in sample 30 of block 'pi'" in e.value.__notes__
    assert same(states(lp), states(pickle.loads(before)))


def test_wiring_errors():
    lp = pi_loop()
    with pytest.raises(LoopError, match="no input pin"):
        lp.add("x", PID(), MODE=1.0, SP=1.0, PV=1.0, TV=1.0, KP=1.0)
    with pytest.raises(LoopError, match="inputs not given: mode"):
        lp.run(3, {"target": 1.0})
    with pytest.raises(LoopError, match="must be wired"):
        Loop().add("p", PID(), MODE=1.0)


def lpv_loop(extra_cv=False):
    from blendedplant_reference import three_plants

    sim = three_plants()
    if extra_cv:  # a CV the middle plant lacks: blending across it fails
        sim.addPlant(5, 30, {"CV9": {"MV1": {"mode": "stp", "stp": [1.0]}}}, 1)
    pid = PID(1.0)
    pid.setPIDParam(KP=0.2, TI=20.0)
    return (Loop().add("pi", pid, MODE=1.0, SP="sp", PV="lpv.CV1", TV="pi.OP")
            .add("lpv", sim, working_value="w", MV1="pi.OP", MV2="mv2").initial("pi.OP", 15.0))


def lpv_states(loop):
    s = loop.blocks["lpv"]
    return (s._u_dict, s._y_dict, s._working_value, s.get_current_plant_weight_dict(),
            [(r.current_weight, r.plant._u_dict, r.plant._y_dict, states_of_models(r.plant)) for r in s.plant_list], loop.blocks["pi"].__getstate__())


@pytest.mark.parametrize("w", [[5.0, 12.5, 20.0, 30.0, 50.0] * 20, np.linspace(0.0, 60.0, 100)])
def test_blended_plant_native_equals_the_python_api(w):
    a, b = lpv_loop(), lpv_loop()
    ins = {"w": np.asarray(w, float), "sp": np.r_[np.full(50, 20.0), np.full(50, 24.0)], "mv2": 16.0}
    assert a.run(100, ins) == b.run(100, ins, native=False)
    assert same(lpv_states(a), lpv_states(b))


def test_blended_plant_failure_is_the_python_apis():
    a, b = lpv_loop(extra_cv=True), lpv_loop(extra_cv=True)
    ins = {"w": np.r_[np.full(5, 10.0), 35.0], "sp": 20.0, "mv2": 16.0}
    errors = []
    for lp, native in ((a, True), (b, False)):
        before = copy.deepcopy(lpv_states(lp))
        with pytest.raises(KeyError) as e:
            lp.run(6, ins, native=native)
        errors.append((e.value.args, e.value.__notes__))
        assert same(lpv_states(lp), before)
    assert errors[0] == errors[1]


@pytest.mark.parametrize("native", [True, False])
def test_a_constant_wired_before_an_input_keeps_its_own_slot(native):
    pid, ref = PID(1.0), PID(1.0)
    lp = Loop().add("pi", pid, MODE="mode", SP=12.0, PV="pv", TV="tv")
    assert lp.inputs() == ["mode", "pv", "tv"]
    got = [lp.step({"mode": 1.0, "pv": 10.0, "tv": 5.0}, native=native)["pi.OP"] for _ in range(3)]
    assert got == [ref.run(1.0, 12.0, 10.0, 5.0) for _ in range(3)]


def test_state_restores_in_place_with_the_carried_values():
    a, b = pi_loop(), pi_loop()
    a.run(40, {"mode": 1.0, "target": 10.0})
    blocks = b.blocks
    b.set_state(pickle.loads(pickle.dumps(a.state())))
    assert all(b.blocks[n] is blocks[n] for n in blocks)  # the wiring's own objects
    # the plant reads pi.OP of the sample before: carried over, not its initial value
    assert a.run(30, {"mode": 1.0, "target": 12.0}) == b.run(30, {"mode": 1.0, "target": 12.0})
    assert same(states(a), states(b))
    # a state that does not fit changes nothing
    before = states(b)
    wrong = a.state()
    wrong["blocks"]["pi"], wrong["blocks"]["valve"] = wrong["blocks"]["valve"], wrong["blocks"]["pi"]
    unwired = Loop().add("pi", PID(), MODE=1.0, SP=1.0, PV=1.0, TV=1.0).state()
    carried = b.state()["outputs"]
    misfit = a.state()
    misfit["outputs"]["pi.OP"] = 1  # not a float
    unknown = a.state()
    unknown["outputs"]["pi.out"] = unknown["outputs"].pop("pi.OP")
    for bad, error in ((wrong, ValueError), (unwired, LoopError), ({"blocks": {}}, LoopError), (misfit, LoopError),
                       (unknown, LoopError)):
        with pytest.raises(error):
            b.set_state(bad)
        assert same(states(b), before) and b.state()["outputs"] == carried


def _entry(ins, kind=1):
    return (kind, "p", PID(1.0), ins, (0,), None)


@pytest.mark.parametrize("blocks, has, error", [
    (lambda: [_entry((0, 0, 0, 0))], [False], ValueError),          # a PID entry short of its FF pin
    (lambda: [_entry((-1, 0, 0, 0, -1))], [False], ValueError),     # its MODE unwired
    (lambda: [_entry((-1,), kind=13)], [False], ValueError),        # a blended plant without its working value
    (lambda: [(1,)], [False], TypeError),
    (lambda: [None], [False], TypeError),
    (lambda: [_entry((0, 0, 0, 0, -1))], [], ValueError),           # no has-a-value flag for the slot
])
def test_the_native_runner_refuses_malformed_entries(blocks, has, error):
    from corvane.loop import _native

    with pytest.raises(error):
        _native.run(blocks(), 1, [], [0.0], has, [0], lambda idx: None)
