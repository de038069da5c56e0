"""corvane.loop over whole scenarios: a native run equals the same wiring stepped through the blocks' own API, bit
for bit and state for state, for every block kind and several topologies; failures, copies, run_many, the trace."""

import copy
import importlib.util
import io
import os
import pickle
import types

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.algorithm.blendedplant import LPVPlantSim
from corvane.algorithm.clampguard import AntiWindupLimter
from corvane.algorithm.deadtime import Delay, Delay_Algorithm
from corvane.algorithm.flatline import ConstDect
from corvane.algorithm.heartbeat import WatchDog
from corvane.algorithm.logicblocks import RStrigger, TOFFtrigger, TONtrigger
from corvane.algorithm.loopcontrol import PID
from corvane.algorithm.multiloop import MIMOSim, SISOSim, get_model_stp
from corvane.algorithm.phasefilter import LDLAG
from corvane.algorithm.slewlimit import RateLimit
from corvane.loop import Loop, LoopError, Trace, run_many

PROPERTY = settings(max_examples=20, deadline=None)


def _demo():
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "closed_loop.py")
    spec = importlib.util.spec_from_file_location("closed_loop_demo", path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


DEMO = _demo()


# -- comparing runs ---------------------------------------------------------------------------------------------
def dump(obj):
    """A pickle that does not depend on which equal values happen to be one object (no memo)."""
    f = io.BytesIO()
    p = pickle.Pickler(f, 4)
    p.fast = True
    p.dump(obj)
    return f.getvalue()


def pickles(loop):
    """Every block's pickle (functions have no state of their own to compare)."""
    return {name: dump(b) for name, b in loop.blocks.items() if not isinstance(b, types.FunctionType)}


def assert_same_trace(a, b):
    assert a.names == b.names
    assert a.data.shape == b.data.shape and a.data.tobytes() == b.data.tobytes()


def outcome(loop, n, inputs, native):
    """The run's trace, or what it raised: type, message and notes."""
    try:
        return loop.run(n, inputs, native=native)
    except Exception as e:
        return type(e), str(e), getattr(e, "__notes__", None)


def same_outcome(a, b, n, inputs):
    """Runs `a` natively and `b` through the blocks' API: the same trace, or the same error with every block left
    as it was; then every block's state is equal."""
    before = pickles(a)
    ra, rb = outcome(a, n, inputs, True), outcome(b, n, inputs, False)
    if isinstance(ra, Trace) and isinstance(rb, Trace):
        assert_same_trace(ra, rb)
    else:
        assert ra == rb and pickles(a) == before
    assert pickles(a) == pickles(b)
    return ra


def run_both(make, n, inputs, then=None):
    """`same_outcome` of two fresh loops; `then`: (n, inputs) of a second run, continuing from the first's wires."""
    a, b = make(), make()
    result = same_outcome(a, b, n, inputs)
    if then is not None:
        same_outcome(a, b, *then)
    return result


def pid(kp=1.0, ti=60.0, td=0.0, n=10.0, hi=100.0, lo=0.0, ts=1.0):
    c = PID(ts)
    c.setPIDParam(KP=kp, TI=ti, TD=td, N=n)
    c.setOPHighLowLimit(hi, lo)
    return c


# -- hypothesis: tunings, schedules, lengths ----------------------------------------------------------------------
lengths = st.integers(0, 160)
tunings = st.fixed_dictionaries({"kp": st.floats(0.05, 4.0), "ti": st.sampled_from([0.0, 3.0]) | st.floats(2.0, 80.0),
                                 "td": st.sampled_from([0.0]) | st.floats(0.1, 6.0), "n": st.floats(1.0, 20.0)})


@st.composite
def schedules(draw, n, lo, hi, steps=4, special=False):
    """A piecewise-constant array of n values; `special`: now and then a NaN, an infinity or a huge value."""
    values = st.floats(lo, hi)
    if special:
        values = values | values | st.sampled_from([np.nan, np.inf, -np.inf, 1e300, -0.0])
    x = np.full(n, draw(values))
    for k, v in sorted(draw(st.lists(st.tuples(st.integers(0, max(n - 1, 0)), values), max_size=steps))):
        x[k:] = v
    return x


@st.composite
def modes(draw, n):
    """Tracking, then automatic from a drawn sample, maybe back to tracking later; values near the rounding edges."""
    on, off = sorted(draw(st.lists(st.integers(0, n + 1), min_size=2, max_size=2)))
    k = np.arange(n)
    return np.where((k >= on) & (k < off), draw(st.sampled_from([1.0, 0.6, 1.4])),
                    draw(st.sampled_from([0.0, 0.5, 1.5, 2.0, -1.0])))


# -- topologies -----------------------------------------------------------------------------------------------------
def single_loop(p):
    """Set point through a rate limiter, measurement through a lead-lag, output through an anti-windup limiter."""
    return (Loop()
            .add("plant", SISOSim(p["gain"], p["tao"], p["delay"]), MV="valve.out")
            .add("lag", LDLAG(p["alpha"], 4.0), u="plant.CV")
            .add("sp", RateLimit(0.0, 2.0), u_end="target", PRLimPerMin=p["rate"], NRLimPerMin=20.0)
            .add("pi", pid(**p["tuning"]), MODE="mode", SP="sp.out", PV="lag.out", TV="valve.out")
            .add("valve", AntiWindupLimter(), u="pi.OP", HI="hi", LO=5.0)
            .add("beat", WatchDog(), MaxOut=p["beat"]))


@given(st.data(), lengths)
@PROPERTY
def test_single_loop(data, n):
    p = data.draw(st.fixed_dictionaries({
        "gain": st.floats(-3.0, 3.0).filter(lambda g: abs(g) > 0.1), "tao": st.floats(1.0, 40.0),
        "delay": st.integers(0, 6), "alpha": st.floats(0.0, 2.0), "rate": st.floats(0.0, 200.0),
        "beat": st.sampled_from([0.0, 3.0, 7.5, -3.0, -1.5]), "tuning": tunings}))
    if p["gain"] < 0:
        p["tuning"]["kp"] = -p["tuning"]["kp"]
    inputs = {"mode": data.draw(modes(n)), "target": data.draw(schedules(n, -20.0, 60.0, special=True)),
              "hi": data.draw(schedules(n, 0.0, 100.0, steps=2, special=True))}
    run_both(lambda: single_loop(p), n, inputs, then=(7, {"mode": 1.0, "target": 5.0, "hi": 90.0}))


def cascade(outer, inner):
    """Level (an integrating plant fed by the flow) in the outer loop, flow (through the valve) in the inner one."""
    return (Loop()
            .add("flow", SISOSim(1.5, 3.0, 1), MV="fc.OP")
            .add("level", SISOSim(0.05, 1.0, 2, integralMark=1), MV="flow.CV")
            .add("lc", pid(**outer, hi=80.0), MODE="lmode", SP="lsp", PV="level.CV", TV="fsp.out")
            .add("fsp", RateLimit(0.0), u_end="lc.OP", PRLimPerMin=120.0)
            .add("fc", pid(**inner), MODE="fmode", SP="fsp.out", PV="flow.CV", TV="fc.OP"))


@given(st.data(), lengths, tunings, tunings)
@PROPERTY
def test_cascade(data, n, outer, inner):
    fmode = data.draw(modes(n))
    inputs = {"fmode": fmode, "lmode": np.where(fmode == 1.0, data.draw(modes(n)), 0.0),
              "lsp": data.draw(schedules(n, 0.0, 10.0))}
    run_both(lambda: cascade(outer, inner), n, inputs)


def feedforward(tuning, lag, nlag):
    """A measured disturbance, delayed in transport and shaped by a lead-lag, enters the PID as its FF."""
    model = {"CV": {"MV": {"mode": "tf_s", "num_s": [0, 2.0], "den_s": [15, 1], "iodelay_s": 3},
                    "DV": {"mode": "tf_z", "num_z": [0, 0.3, 0.2], "den_z": [1, -0.7], "iodelay_z": 1}}}
    return (Loop()
            .add("plant", MIMOSim(model, {"CV": 5.0, "MV": 10.0, "DV": 0.0}), MV="pi.OP", DV="dist")
            .add("dm", Delay(30), Ut="dist", nLag=nlag)
            .add("ff", LDLAG(*lag), u="dm.out")
            .add("pi", pid(**tuning), MODE="mode", SP="sp", PV="plant.CV", TV="pi.OP", FF="ff.out"))


@given(st.data(), lengths, tunings, st.tuples(st.floats(0.0, 3.0), st.floats(0.5, 20.0)), st.integers(0, 29))
@PROPERTY
def test_feedforward(data, n, tuning, lag, nlag):
    inputs = {"mode": data.draw(modes(n)), "sp": data.draw(schedules(n, 0.0, 20.0)),
              "dist": data.draw(schedules(n, -5.0, 5.0))}
    run_both(lambda: feedforward(tuning, lag, float(nlag)), n, inputs)


# The demo's 2x3 design: its plant, its RGA pairing and its lambda-tuned PI loops.
DEMO_LOOPS = DEMO.design(get_model_stp(DEMO.PLANT, DEMO.TS, DEMO.STP_LEN))[0]


def demo_loop(scale=1.0):
    """The demo's closed loop as a Loop: the controllers read the plant's last outputs, then the plant runs."""
    sim = MIMOSim(DEMO.PLANT, DEMO.INITIAL, Ts=DEMO.TS)
    y0 = sim()  # the demo's first call, before its sample loop
    loop = Loop()
    for lp in DEMO_LOOPS:
        cv, mv = lp["cv"], lp["mv"]
        loop.add(cv, pid(kp=scale * lp["kp"], ti=lp["ti"], ts=DEMO.TS), MODE="mode", SP=f"sp_{cv}",
                 PV=f"plant.{cv}", TV=f"{cv}.OP")
        loop.initial(f"{cv}.OP", DEMO.INITIAL[mv])
    loop.add("plant", sim, MV3="load", **{lp["mv"]: f"{lp['cv']}.OP" for lp in DEMO_LOOPS})
    for cv, y in y0.items():
        loop.initial(f"plant.{cv}", y)
    return loop


def demo_inputs(n):
    k = np.arange(n)
    start, length, bump = DEMO.LOAD
    return {"mode": (k >= DEMO.AUTO_FROM).astype(float),
            "load": DEMO.INITIAL["MV3"] + np.where((k >= start) & (k < start + length), bump, 0.0),
            **{f"sp_{lp['cv']}": np.array([DEMO.set_point(lp["cv"], i) for i in k]) for lp in DEMO_LOOPS}}


def test_demo_loop_is_the_demos_own_sample_loop():
    """The one-sentence semantics reproduce the hand-written closed loop of the demo, value for value."""
    trend = DEMO.run(DEMO_LOOPS)
    trace = demo_loop().run(DEMO.N_SAMPLES, demo_inputs(DEMO.N_SAMPLES))
    for lp in DEMO_LOOPS:
        cv = lp["cv"]
        assert trace[f"{cv}.OP"].tolist() == trend[f"{cv}.OP"]
        assert trace[f"plant.{cv}"][:-1].tolist() == trend[f"{cv}.PV"][1:]


@given(st.data(), st.integers(0, 400), st.floats(0.2, 3.0))
@PROPERTY
def test_demo_2x3(data, n, scale):
    inputs = demo_inputs(n)
    inputs["mode"] = data.draw(modes(n))
    inputs["load"] = data.draw(schedules(n, 16.0, 18.0))
    for lp in DEMO_LOOPS:
        inputs[f"sp_{lp['cv']}"] += data.draw(schedules(n, -3.0, 3.0))
    run_both(lambda: demo_loop(scale), n, inputs)


def lpv_loop(points, tuning):
    """A blended plant whose working value is scheduled; local plants of different gains and speeds."""
    plant = LPVPlantSim({"CV": 2.0, "MV": 10.0, "W": 0.0})
    for i, (wp, gain, tao) in enumerate(points):
        plant.addPlant(i, wp, {"CV": {"MV": {"mode": "tf_s", "num_s": [0, gain], "den_s": [tao, 1],
                                             "iodelay_s": i + 1}}}, 1)
    return (Loop()
            .add("plant", plant, working_value="load", MV="pi.OP")
            .add("pi", pid(**tuning), MODE="mode", SP="sp", PV="plant.CV", TV="pi.OP"))


@given(st.data(), lengths, tunings,
       st.lists(st.tuples(st.floats(0.0, 100.0), st.floats(0.2, 3.0), st.floats(1.0, 30.0)), min_size=1, max_size=3))
@PROPERTY
def test_lpv_plant(data, n, tuning, points):
    inputs = {"mode": data.draw(modes(n)), "sp": data.draw(schedules(n, 0.0, 10.0)),
              "load": data.draw(schedules(n, -10.0, 110.0))}
    run_both(lambda: lpv_loop(points, tuning), n, inputs, then=(3, {"mode": 1.0, "sp": 1.0, "load": 50.0}))


class Sensor:
    """A Python block in the middle of the loop: passes its input on, or holds its last value while `freeze`."""

    def __init__(self):
        self.held = 0.0
        self.calls = 0

    def __call__(self, x, freeze):
        self.calls += 1
        if not freeze:
            self.held = x
        return self.held


def scaled(x, k):
    return np.float64(k) * x


def mode_of(q):
    return 0.0 if q else 1.0


def interlock(dect, ton, toff, lag):
    """A frozen measurement, detected and confirmed by an on-delay, latches the controller into tracking until
    acknowledged; the latch's release is held a little longer by an off-delay. The valve acts through a delay."""
    return (Loop()
            .add("plant", SISOSim(1.2, 8.0, 1), MV="act.Yt")
            .add("sensor", Sensor(), x="plant.CV", freeze="freeze")
            .add("flat", ConstDect(), Ut="sensor.out", DectLen=dect)
            .add("ton", TONtrigger(), Ut="flat.out", DT=ton)
            .add("latch", RStrigger(), S="ton.Yt", R="ack")
            .add("toff", TOFFtrigger(), Ut="latch.Q", DT=toff)
            .add("sel", mode_of, q="toff.Yt")
            .add("pi", pid(kp=0.6, ti=9.0), MODE="sel.out", SP="sp", PV="sensor.out", TV="act.Yt")
            .add("act", Delay_Algorithm(), Ut="pi.OP", nLag=lag))


@given(st.data(), lengths, st.integers(1, 8), st.integers(1, 5), st.integers(1, 5), st.integers(0, 4))
@PROPERTY
def test_interlock_with_timers_and_latch(data, n, dect, ton, toff, lag):
    inputs = {"freeze": data.draw(schedules(n, 0.0, 1.0)).round(), "ack": data.draw(schedules(n, 0.0, 1.0)).round(),
              "sp": data.draw(schedules(n, 0.0, 30.0))}
    ta = run_both(lambda: interlock(float(dect), float(ton), float(toff), float(lag)), n, inputs)
    assert set(np.unique(ta["latch.Q"])) <= {0.0, 1.0}


def test_interlock_trips_and_releases():
    """The scenario does what it is for: the latch trips on a frozen sensor and the controller tracks till acked."""
    n = 200
    k = np.arange(n)
    inputs = {"freeze": ((k >= 60) & (k < 90)).astype(float), "ack": ((k < 10) | (k == 120)).astype(float),
              "sp": 10 + 5 * np.sin(k / 7)}
    t = run_both(lambda: interlock(3.0, 4.0, 2.0, 1.0), n, inputs)
    q, mode = t["latch.Q"], t["sel.out"]
    assert q[10:60].max() == 0.0 and q[70:120].min() == 1.0 and q[120:].max() == 0.0
    assert mode[:60].min() == 1.0 and mode[70:121].max() == 0.0 and mode[122:].min() == 1.0


@pytest.mark.parametrize("lam", [False, True])
def test_python_callables_in_the_middle(lam):
    """Callables run under the lock in the middle of native blocks: plain functions, lambdas, objects with state."""
    def make():
        scale = (lambda x, k: k * x) if lam else scaled
        return (Loop().add("plant", SISOSim(2.0, 30.0, 4), MV="pi.OP")
                .add("scale", scale, x="plant.CV", k="gain")
                .add("sensor", Sensor(), x="scale.out", freeze=0.0)
                .add("pi", pid(kp=0.7, ti=15.0), MODE=1.0, SP="sp", PV="sensor.out", TV="pi.OP"))

    a = make()
    run_both(make, 300, {"sp": np.linspace(0, 10, 300), "gain": 0.5}, then=(5, {"sp": 1.0, "gain": 2.0}))
    a.run(4, {"sp": 1.0, "gain": 1.0})
    assert a.blocks["sensor"].calls == 4


@pytest.mark.parametrize("n", [0, 1, 3])
def test_blocks_after_a_callable_are_written_back_only_once_stepped(n):
    """A callable before them: the timers and latch keep their attributes as their own samples leave them."""
    run_both(lambda: (Loop().add("f", mode_of, q="s")
                      .add("ton", TONtrigger(), Ut="f.out", DT=2.0)
                      .add("toff", TOFFtrigger(), Ut="ton.Yt", DT=1.0)
                      .add("latch", RStrigger(), S="toff.Yt", R=0.0)), n, {"s": np.zeros(n)})


class Supervisor:
    """A Python block that reads and changes other blocks of its loop between samples, as an application may: it
    schedules the PID's gain on a load, resets the plant on request and reports the plant's last output."""

    def __init__(self, controller, plant):
        self.controller, self.plant = controller, plant

    def __call__(self, load, reset):
        self.controller.setPIDParam(KP=0.2 + 0.01 * load, TI=10.0)
        if reset:
            self.plant.reset()
        return self.plant.get_output_data_dict()["CV"] + self.controller.getInnerSaveState()["OP"]


def supervised(fail_at=None):
    pi, plant = pid(), SISOSim(2.0, 30.0, 4)
    lp = (Loop().add("plant", plant, MV="pi.OP").add("pi", pi, MODE=1.0, SP=3.0, PV="plant.CV", TV="pi.OP")
          .add("super", Supervisor(pi, plant), load="load", reset="reset"))
    return lp.add("trip", Trip(), x="super.out", trip="bad") if fail_at is not None else lp


@pytest.mark.parametrize("fail_at", [None, 30])
def test_python_blocks_read_and_change_other_blocks_between_samples(fail_at):
    k = np.arange(60)
    inputs = {"load": np.linspace(0, 100, 60), "reset": (k == 40).astype(float)}
    if fail_at is not None:
        inputs["bad"] = (k == fail_at).astype(float)
    result = run_both(lambda: supervised(fail_at), 60, inputs, then=(5, {"load": 0.0, "reset": 0.0, "bad": 0.0}))
    assert isinstance(result, Trace) == (fail_at is None)


# -- failures -------------------------------------------------------------------------------------------------------
class Trip:
    """Raises when its input says so."""

    def __init__(self, exc=RuntimeError):
        self.exc = exc

    def __call__(self, x, trip):
        if trip:
            raise self.exc("tripped")
        return x


def trip_at(k, n, bad, good=0.0):
    x = np.full(n, good)
    x[k] = bad
    return x


def with_plant(name, block, **pins):
    """A PI loop that runs a few samples before the block under test fails: every block has something to lose."""
    return (Loop().add("plant", SISOSim(2.0, 10.0, 1), MV="pi.OP")
            .add("lag", LDLAG(0.3, 3.0), u="plant.CV")
            .add("pi", pid(kp=0.5, ti=8.0), MODE=1.0, SP=5.0, PV="lag.out", TV="pi.OP")
            .add(name, block, **pins))


FAILURES = {  # name: (loop factory, inputs of a 40-sample run failing at sample 25, exception, message)
    "callable raises": (lambda: with_plant("it's", Trip(), x="pi.OP", trip="bad"),
                        {"bad": trip_at(25, 40, 1.0)}, RuntimeError, "tripped"),
    "callable interrupted": (lambda: with_plant("trip", Trip(KeyboardInterrupt), x="pi.OP", trip="bad"),
                             {"bad": trip_at(25, 40, 1.0)}, KeyboardInterrupt, "tripped"),
    "callable returns no number": (lambda: with_plant("f", lambda x: None if x == 99.0 else x, x="bad"),
                                   {"bad": trip_at(25, 40, 99.0)}, TypeError, "NoneType"),
    "PID MODE NaN": (lambda: with_plant("pid2", PID(), MODE="bad", SP=1.0, PV="plant.CV", TV=0.0),
                     {"bad": trip_at(25, 40, np.nan, 1.0)}, ValueError, "NaN"),
    "PID MODE infinite": (lambda: with_plant("pid2", PID(), MODE="bad", SP=1.0, PV="plant.CV", TV=0.0),
                          {"bad": trip_at(25, 40, -np.inf, 1.0)}, OverflowError, "infinity"),
    "WatchDog cycle of 0": (lambda: with_plant("beat", WatchDog(), MaxOut="bad"),
                            {"bad": trip_at(25, 40, -1.0, 5.0)}, ZeroDivisionError, "modulo by zero"),
    "Delay beyond its history": (lambda: with_plant("d", Delay(5), Ut="pi.OP", nLag="bad"),
                                 {"bad": trip_at(25, 40, 5.0, 2.0)}, ValueError, "between 0 and 4"),
    "Delay of a fractional lag": (lambda: with_plant("d", Delay(5), Ut="pi.OP", nLag="bad"),
                                  {"bad": trip_at(25, 40, 1.5, 2.0)}, TypeError, "integer"),
    "ConstDect window of 0": (lambda: with_plant("flat", ConstDect(), Ut="pi.OP", DectLen="bad"),
                              {"bad": trip_at(25, 40, 0.0, 4.0)}, IndexError, "index"),
    "timer input NaN": (lambda: with_plant("ton", TONtrigger(), Ut="bad", DT=2.0),
                        {"bad": trip_at(25, 40, np.nan, 1.0)}, ValueError, "NaN"),
    "blended plant at NaN": (lambda: lpv_loop([(0.0, 1.0, 5.0), (50.0, 2.0, 9.0)], {"kp": 0.4, "ti": 6.0}),
                             {"load": trip_at(25, 40, np.nan, 20.0), "mode": 1.0, "sp": 3.0}, ValueError, "NaN"),
}


@pytest.mark.parametrize("native", [True, False])
@pytest.mark.parametrize("case", list(FAILURES))
def test_failed_run_names_sample_and_block_and_changes_no_block(case, native):
    make, inputs, exc, message = FAILURES[case]
    lp = make()
    lp.run(10, {k: v[:10] if isinstance(v, np.ndarray) else v for k, v in inputs.items()})  # wires with values
    before, snapshot = pickles(lp), copy.deepcopy(lp)
    with pytest.raises(exc, match=message) as err:
        lp.run(40, inputs, native=native)
    name = list(lp.blocks)[-1] if case != "blended plant at NaN" else "plant"
    assert err.value.__notes__ == [f"in sample 25 of block '{name}'"]
    assert pickles(lp) == before
    # the loop goes on as if the failed run had never been made
    good = {k: v[:25] if isinstance(v, np.ndarray) else v for k, v in inputs.items()}
    assert_same_trace(lp.run(25, good, native=native), snapshot.run(25, good, native=native))


def test_failure_of_one_path_is_the_failure_of_the_other():
    """Both paths raise the same exception, with the same message and note."""
    for make, inputs, _, _ in FAILURES.values():
        errors = []
        for native in (True, False):
            with pytest.raises(BaseException) as err:
                make().run(40, inputs, native=native)
            errors.append((type(err.value), str(err.value), err.value.__notes__))
        assert errors[0] == errors[1]


# -- copies and continued runs -------------------------------------------------------------------------------------
def every_block():
    """Every library block kind and a callable in one loop."""
    lp = interlock(4.0, 3.0, 2.0, 1.0)
    lp.add("lpv", lpv_loop([(0.0, 1.0, 5.0), (50.0, 2.0, 9.0)], {}).blocks["plant"], working_value="sp", MV="pi.OP")
    lp.add("cv", Delay(10), Ut="lpv.CV", nLag=3.0).add("f", LDLAG(0.2, 6.0), u="cv.out")
    lp.add("sp2", RateLimit(0.0), u_end="f.out").add("clamp", AntiWindupLimter(), u="sp2.out", HI=1.5)
    lp.add("beat", WatchDog(), MaxOut=4.0)
    return lp


def every_inputs(n, seed):
    rng = np.random.default_rng(seed)
    return {"freeze": (rng.random(n) < 0.3).astype(float), "ack": (rng.random(n) < 0.05).astype(float),
            "sp": rng.uniform(0, 60, n).round()}


@given(st.integers(0, 120), st.integers(0, 120), st.integers(0, 2**32 - 1), st.booleans())
@PROPERTY
def test_second_run_continues_from_the_first(n1, n2, seed, native):
    """Two runs in a row equal one run over both inputs: outputs, wires and block states."""
    inputs = every_inputs(n1 + n2, seed)
    whole, parts = every_block(), every_block()
    tw = whole.run(n1 + n2, inputs, native=native)
    t1 = parts.run(n1, {k: v[:n1] for k, v in inputs.items()}, native=native)
    t2 = parts.run(n2, {k: v[n1:] for k, v in inputs.items()}, native=native)
    assert np.concatenate([t1.data, t2.data]).tobytes() == tw.data.tobytes()
    assert pickles(whole) == pickles(parts)


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda lp: pickle.loads(pickle.dumps(lp)), copy.copy])
def test_copied_loop_continues_identically(clone):
    lp = every_block()
    lp.run(80, every_inputs(80, 1))
    twin = clone(lp)
    if clone is copy.copy:  # a shallow copy shares the blocks: it is refused where that matters
        with pytest.raises(LoopError, match="share"):
            run_many([lp, twin], 1, every_inputs(1, 0))
        return
    assert twin.blocks["pi"] is not lp.blocks["pi"] and twin.blocks["sensor"] is not lp.blocks["sensor"]
    assert pickles(twin) == pickles(lp)
    inputs = every_inputs(120, 2)
    assert_same_trace(lp.run(120, inputs), twin.run(120, inputs))
    assert pickles(twin) == pickles(lp)


# -- run_many ---------------------------------------------------------------------------------------------------------
def pi_plant(kp, ti):
    return (Loop().add("plant", SISOSim(2.0, 30.0, 4), MV="pi.OP")
            .add("pi", pid(kp=kp, ti=ti), MODE=1.0, SP="sp", PV="plant.CV", TV="pi.OP"))


@pytest.mark.parametrize("workers", [None, 1, 3])
def test_run_many_equals_each_loop_alone(workers):
    base = pi_plant(0.5, 10.0)
    loops = []
    for i in range(7):
        lp = copy.deepcopy(base)
        lp.blocks["pi"].setPIDParam(KP=0.2 + 0.1 * i, TI=5.0 + i)
        loops.append(lp)
    alone = [copy.deepcopy(lp) for lp in loops]
    sp = np.r_[np.zeros(10), np.full(290, 4.0)]
    traces = run_many(loops, 300, {"sp": sp}, record=["pi.OP", "plant.CV"], workers=workers)
    for t, lp, solo in zip(traces, loops, alone):
        assert_same_trace(t, solo.run(300, {"sp": sp}, record=["pi.OP", "plant.CV"], native=False))
        assert pickles(lp) == pickles(solo)
    assert len({t["pi.OP"][-50:].tobytes() for t in traces}) == 7  # the tunings did act


def test_run_many_of_loops_with_callables_and_python_blocks():
    loops = [every_block() for _ in range(3)]
    alone = [every_block() for _ in range(3)]
    for t, solo in zip(run_many(loops, 150, every_inputs(150, 5)), alone):
        assert_same_trace(t, solo.run(150, every_inputs(150, 5), native=False))


def test_run_many_of_deep_copies_with_a_function_block():
    """Deep copies share a plain function (the copy module does not copy functions): that is no shared block."""
    lp = Loop().add("plant", SISOSim(1.0, 5.0), MV="pi.OP").add("m", mode_of, q=0.0)
    lp.add("pi", pid(), MODE="m.out", SP=1.0, PV="plant.CV", TV="pi.OP")
    expected = copy.deepcopy(lp).run(20, native=False)
    for t in run_many([copy.deepcopy(lp) for _ in range(3)], 20, workers=2):
        assert_same_trace(t, expected)


def test_run_many_refuses_loops_sharing_a_block():
    shared = SISOSim(2.0, 30.0, 4)
    a = Loop().add("plant", shared, MV="u")
    b = Loop().add("other", shared, MV="u")
    before = pickle.dumps(shared)
    for loops in ([a, b], [a, a]):
        with pytest.raises(LoopError, match="share a block"):
            run_many(loops, 10, {"u": 1.0})
    assert pickle.dumps(shared) == before


# -- wiring that cannot mean anything --------------------------------------------------------------------------------
def test_an_input_named_like_an_output_is_refused():
    lp = pi_plant(0.5, 10.0)
    before = pickles(lp)
    with pytest.raises(LoopError, match="feeds no pin"):
        lp.run(5, {"sp": 1.0, "pi.OP": 50.0})
    assert pickles(lp) == before


@pytest.mark.parametrize("native", [True, False])
def test_constants_and_inputs_each_have_their_own_value(native):
    """A constant wired before an input is named, and -0.0 beside 0.0: each pin reads what it was wired to."""
    lp = (Loop().add("a", RateLimit(0.0), u_end=0.0).add("b", RateLimit(0.0), u_end=-0.0)
          .add("c", RateLimit(0.0), u_end="x"))
    t = lp.run(1, {"x": 7.0}, native=native)
    assert [np.copysign(1.0, t[p][0]) for p in ("a.out", "b.out")] == [1.0, -1.0] and t["c.out"][0] == 1.0


# -- the trace ---------------------------------------------------------------------------------------------------------
def a_trace(n=60):
    lp = pi_plant(0.5, 10.0)
    return lp.run(n, {"sp": np.linspace(0, 5, n)}, record=["plant.CV", "pi.OP", "sp"])


def test_trace_by_pin_name_and_pickle():
    t = a_trace()
    assert t.names == ["plant.CV", "pi.OP", "sp"] and list(t) == t.names and len(t) == 60
    assert t["sp"].tolist() == np.linspace(0, 5, 60).tolist()
    assert t["pi.OP"].dtype == np.float64 and t["pi.OP"].shape == (60,)
    assert np.array_equal(dict(t.items())["plant.CV"], t["plant.CV"])
    assert "pi.OP" in t and "lag.out" not in t
    with pytest.raises(KeyError):
        t["lag.out"]
    back = pickle.loads(pickle.dumps(t))
    assert back == t and back.data.tobytes() == t.data.tobytes()
    assert t != a_trace(59)


def test_trace_to_pandas():
    pd = pytest.importorskip("pandas")
    t = a_trace()
    df = t.to_pandas()
    assert list(df.columns) == t.names and df.index.name == "sample" and df.index[-1] == 59
    np.testing.assert_array_equal(df["pi.OP"].to_numpy(), t["pi.OP"])
    timed = t.to_pandas(Ts=0.5)
    assert timed.index.name == "time" and timed.index[-1] == 29.5
    assert isinstance(df, pd.DataFrame)


def test_trace_plot_titles_and_units():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = a_trace()
    fig = t.plot(["plant.CV", "pi.OP"], Ts=2.0, units={"pi.OP": "%"}, title="PI on a first-order plant")
    try:
        axes = fig.axes
        assert [ax.get_title() for ax in axes] == ["plant.CV", "pi.OP"]
        assert [ax.get_ylabel() for ax in axes] == ["", "%"]
        assert axes[-1].get_xlabel() == "time" and fig._suptitle.get_text() == "PI on a first-order plant"
        x, y = axes[1].lines[0].get_data()
        assert x[-1] == 118.0 and y.tolist() == t["pi.OP"].tolist()
    finally:
        plt.close(fig)


def test_empty_trace():
    t = Trace(["a", "b"], np.empty((0, 2)))
    assert len(t) == 0 and t["b"].shape == (0,)
    assert len(Trace([], np.empty((5, 0)))) == 5
