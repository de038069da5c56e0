import copy
import math
import pickle
import re
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.algorithm.loopcontrol import PID
from corvane.algorithm.multiloop import no_model
from hostile import check_foreign_self, check_hostile_states

DYNAMIC = ["_et1", "_et2", "_OP1", "_FF1", "_dOPD1"]
SAVED = ["_OP_save", "_OPcal_save", "_dOP_save", "_dOP_P_save", "_dOP_I_save", "_dOP_D_save", "_dFF_save"]


def snapshot(pid):
    """Everything a caller can read of a PID, existing or not."""
    out = {"param": pid.getPIDParam(), "limits": pid.getOPHighLowLimit(), "ini": pid._iniFlag, "TS": pid._TS}
    for name in DYNAMIC + SAVED:
        try:
            out[name] = getattr(pid, name)
        except AttributeError:
            out[name] = "<missing>"
    return out


def same(a, b):
    assert a.keys() == b.keys()
    for k in a:
        x, y = a[k], b[k]
        if isinstance(x, float) and math.isnan(x):
            assert isinstance(y, float) and math.isnan(y), k
        else:
            assert x == y and type(x) is type(y), k


def test_defaults_and_unset_state():
    pid = PID()
    assert pid.getPIDParam() == (1.0, 60.0, 0.0, 10.0)
    assert pid.getOPHighLowLimit() == (100.0, 0.0)
    assert pid._iniFlag is True and pid._TS == 1.0
    for name in DYNAMIC + SAVED:
        with pytest.raises(AttributeError, match=f"'PID' object has no attribute '{name}'"):
            getattr(pid, name)
    with pytest.raises(AttributeError):
        pid.getInnerSaveState()
    with pytest.raises(AttributeError):
        pid.PID_Auto(1.0, 0.0)


def test_form_text():
    text = PID().getPIDForm()
    lines = text.split("\n")
    assert len(lines) == 21 and lines[0] == "" and lines[-1] == ""
    assert lines[1] == "Name: Non-Interacting A"
    assert lines[4] == "u(s) = Kp*(1 + ------ +  ----------------) * [SP(s) - y(s)]"
    assert lines[11] == "---- = ------------"
    assert lines[14:20] == ["Default Parameters:", "Kp = 1.0", "TI = 60.0", "TD = 0.0", "N = 10.0", "TS = 1"]


def test_run_doc_is_chinese():
    doc = PID.run.__doc__
    assert "跟踪模式" in doc and "自动模式" in doc and "TV" in doc


def test_stored_objects_as_passed():
    pid = PID(TS=2)
    assert pid._TS == 2 and type(pid._TS) is int
    pid.setPIDParam(3, 40, 5, 8)
    assert [type(v) for v in pid.getPIDParam()] == [int, int, int, int]
    pid.setPIDParam(2, -5, -1, 0)
    assert pid.getPIDParam() == (2, 0.0, 0.0, 1e-6)
    pid.setOPHighLowLimit(80, 20)
    assert pid.getOPHighLowLimit() == (80.0, 20.0)
    assert all(type(v) is float for v in pid.getOPHighLowLimit())


def test_integral_ramp():
    pid = PID()
    outs = [round(pid.run(1, 60, 50, 50), 4) for _ in range(3)]
    assert outs == [50.1667, 50.3333, 50.5]


def test_p_and_filtered_d():
    pid = PID(1)
    pid.setPIDParam(KP=2, TI=0, TD=5, N=10)
    ops, dds = [], []
    for k in range(5):
        ops.append(round(pid.run(MODE=1, SP=1 if k == 0 else 2, PV=0, TV=50), 4))
        dds.append(round(pid.getInnerSaveState()["dOP_D"], 4))
    assert ops == [50.0, 58.6667, 54.2222, 52.7407, 52.2469]
    assert dds == [0.0, 6.6667, -4.4444, -1.4815, -0.4938]


def test_first_auto_sample_has_integral_only():
    pid = PID()
    assert pid.run(1, 10.0, 4.0, 30.0) == pytest.approx(30 + 6 / 60)
    state = pid.getInnerSaveState()
    assert list(state) == ["OP", "OPcal", "dOP", "dOP_P", "dOP_I", "dOP_D", "dFF"]
    assert state["dOP_P"] == 0.0 and state["dOP_D"] == 0.0


@pytest.mark.parametrize(
    "mode,automatic",
    [(0.4, False), (0.5, False), (0.6, True), (1.0, True), (1.4, True), (1.5, False), (2, False), (-1, False)],
)
def test_mode_rounding(mode, automatic):
    pid = PID()
    op = pid.run(mode, 60, 50, 50)
    assert (op != 50.0) is automatic


def test_tracking_clamps_output_not_state():
    pid = PID()
    assert pid.run(0, 10, 10, 120) == 100.0
    assert pid.getInnerSaveState() == {
        "OP": 120.0, "OPcal": 120.0, "dOP": 0.0, "dOP_P": 0.0, "dOP_I": 0.0, "dOP_D": 0.0, "dFF": 0.0}
    pid.run(1, 10, 10, 120)
    assert pid.getInnerSaveState()["OPcal"] == 120.0
    assert pid._OP1 == 100.0


def test_limits(capsys):
    pid = PID()
    pid.setOPHighLowLimit(10, 20)
    assert capsys.readouterr().out == "Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!\n"
    assert pid.getOPHighLowLimit() == (100.0, 0.0)
    pid.setOPHighLowLimit(float("nan"), 0)
    assert "Error" in capsys.readouterr().out
    pid.setOPHighLowLimit(50, 50)
    assert [pid.run(1, 100 * k, 0, 10) for k in range(3)] == [50.0, 50.0, 50.0]


def test_saturation_has_no_windup():
    pid = PID()
    pid.setPIDParam(KP=1, TI=5)
    pid.run(0, 0, 0, 95)
    for _ in range(200):
        assert pid.run(1, 100, 0, 95) <= 100.0
    assert pid.run(1, 100, 0, 95) == 100.0
    assert pid.run(1, 0, 0, 95) < 100.0  # first negative increment leaves the limit


def test_feedforward_acts_once_per_change():
    pid = PID()
    pid.setPIDParam(KP=1, TI=0)
    pid.run(0, 5, 5, 40, FF=0)
    assert pid.run(1, 5, 5, 40, FF=3) == 43.0
    assert pid.getInnerSaveState()["dFF"] == 3.0
    assert pid.run(1, 5, 5, 40, FF=3) == 43.0
    assert pid.getInnerSaveState()["dFF"] == 0.0


def test_derivative_memory_decays():
    pid = PID()
    pid.setPIDParam(KP=1, TI=0, TD=4, N=4)  # tao = 1
    pid.run(0, 0, 0, 50)
    pid.run(1, 1, 0, 50)
    prev = pid.getInnerSaveState()["dOP_D"]
    pid.run(1, 2, 0, 50)  # ramp: zero second difference from here on
    prev = pid.getInnerSaveState()["dOP_D"]
    for _ in range(3):
        pid.run(1, pid._et1 + 1, 0, 50)
        cur = pid.getInnerSaveState()["dOP_D"]
        assert cur == pytest.approx(prev * 1 / 2)
        prev = cur


def test_param_change_keeps_state():
    pid = PID()
    pid.run(1, 60, 50, 50)
    before = (pid._et1, pid._et2, pid._OP1)
    pid.setPIDParam(KP=3, TI=20)
    pid.setOPHighLowLimit(90, 10)
    assert (pid._et1, pid._et2, pid._OP1) == before


def test_nan_pv_propagates_until_tracking():
    pid = PID()
    pid.run(1, 1, 0, 10)
    assert math.isnan(pid.run(1, 1, float("nan"), 10))
    assert math.isnan(pid._OP1)
    assert pid.run(0, 1, 0, 10) == 10.0
    assert pid.run(1, 1, 0, 10) == pytest.approx(10 + 1 / 60)


def test_reset_and_inner_state_store_objects():
    pid = PID()
    pid._resetPID(5, 2, 30, 1)
    assert pid._iniFlag is False
    assert (pid._et1, pid._et2, pid._OP1, pid._FF1, pid._dOPD1) == (3.0, 3.0, 30.0, 1.0, 0.0)
    assert pid.getInnerSaveState()["OP"] == 30 and type(pid.getInnerSaveState()["OP"]) is int
    marker = object()
    pid._setInnerSaveState(OP_save=marker, OPcal_save=1, dOP_save=2, dOP_P_save=3, dOP_I_save=4,
                           dOP_D_save=5, dFF_save=6)
    assert pid.getInnerSaveState()["OP"] is marker and pid._dFF_save == 6
    pid.run(1, 5, 2, 30)
    assert type(pid.getInnerSaveState()["OP"]) is float


@pytest.mark.parametrize(
    "args,exc",
    [
        (("x", 1, 1, 1), TypeError),
        ((1, None, 1, 1), TypeError),
        ((1, 1, 1, [1]), TypeError),
        ((float("nan"), 1, 1, 1), ValueError),
        ((float("inf"), 1, 1, 1), OverflowError),
    ],
)
@pytest.mark.parametrize("initialised", [False, True])
def test_failing_run_changes_nothing(args, exc, initialised):
    pid = PID()
    if initialised:
        pid.run(1, 3, 1, 20)
    before = snapshot(pid)
    with pytest.raises(exc):
        pid.run(*args)
    same(before, snapshot(pid))


def test_failing_settings_change_nothing():
    pid = PID()
    before = snapshot(pid)
    with pytest.raises(TypeError):
        pid.setPIDParam(5, "a", 1, 1)
    with pytest.raises(TypeError):
        pid.setOPHighLowLimit(10, None)
    same(before, snapshot(pid))


@pytest.mark.parametrize(
    "setup,exc,message",
    [
        (lambda p: p.setPIDParam(KP="2"), TypeError, None),
        (lambda p: p.setPIDParam(None), TypeError, None),
        (lambda p: p.setPIDParam(TI=10**400), OverflowError, "int too large to convert to float"),
        (lambda p: p.setPIDParam(TD=10**400), OverflowError, "int too large to convert to float"),
        (lambda p: p.setPIDParam(TD=5.0, N=10**400), OverflowError, "int too large to convert to float"),
        (lambda p: setattr(p, "_TS", None), TypeError, None),
        (lambda p: (p.setPIDParam(TD=5.0), setattr(p, "_N", 0.0)), ZeroDivisionError, "float division by zero"),
        (lambda p: (p.setPIDParam(TD=5), setattr(p, "_N", 0)), ZeroDivisionError, "^division by zero"),
    ],
)
@pytest.mark.parametrize("initialised", [False, True])
def test_unusable_parameter_fails_at_automatic_sample_without_change(setup, exc, message, initialised):
    pid = PID()
    if initialised:
        pid.run(0, 1, 0, 10)
    setup(pid)
    before = snapshot(pid)
    with pytest.raises(exc, match=message):
        pid.run(1, 1, 0, 10)
    same(before, snapshot(pid))
    assert pid.run(0, 1, 0, 10) == 10.0  # tracking needs no parameter


def test_none_is_stored_as_passed():
    pid = PID(None)
    assert pid._TS is None
    pid.setPIDParam(None)
    assert pid.getPIDParam()[0] is None
    pid._setInnerSaveState(None, 1, 2, 3, 4, 5, 6)
    assert pid.getInnerSaveState()["OP"] is None
    # unused parameters that are not real numbers do not matter
    pid.setPIDParam(2.0, TI=0.0, TD=0.0)
    assert pid.run(1, 1.0, 0.0, 10.0) == 10.0
    pid._TI = -(10**400)
    assert pid.run(1, 2.0, 0.0, 10.0) == 12.0


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((1, 2, 3), {}, "missing required argument 'TV'"),
        ((1, 2, 3, 4, 5, 6), {}, "at most 5 positional arguments"),
        ((1, 2, 3, 4), {"MODE": 1}, "multiple values for argument 'MODE'"),
        ((), {"MODE": 1, "SP": 1, "PV": 1, "TV": 1, "OP": 2}, "unexpected keyword argument 'OP'"),
    ],
)
def test_run_argument_binding_errors(args, kwargs, message):
    pid = PID()
    with pytest.raises(TypeError, match=message):
        pid.run(*args, **kwargs)
    assert pid._iniFlag is True


def test_run_binds_keywords_in_any_order():
    a, b = PID(), PID()
    assert a.run(1, 7.0, 2.0, 30.0, 1.0) == b.run(FF=1.0, TV=30.0, PV=2.0, SP=7.0, MODE=1)
    assert a.PID_Auto(7.0, 3.0, 1.0) == b.PID_Auto(PV=3.0, SP=7.0, FF=1.0)
    assert a.PID_Auto(7.0, 3.0) == b.PID_Auto(PV=3.0, SP=7.0)  # FF defaults to 0.0 in both


def test_uninitialised_instance_and_subclass():
    with pytest.raises(TypeError):
        PID.__new__(PID).run(1, 2, 3, 4)

    class MyPID(PID):
        pass

    pid = MyPID()
    with pytest.raises(AttributeError, match="'MyPID' object has no attribute '_et1'"):
        pid.PID_Auto(1.0, 0.0)
    with pytest.raises(TypeError):  # arguments are converted before the state is read
        pid.PID_Auto("x", 0.0)
    assert pid.run(1, 60, 50, 50) == pytest.approx(50 + 10 / 60)


def test_wrong_argument_count():
    with pytest.raises(TypeError):
        PID()._resetPID(1, 2, 3)


def play(pid, samples):
    return [pid.run(*s) for s in samples]


SAMPLES = [(0, 10, 8, 40, 0), (1, 10, 8, 40, 0), (1, 12, 9, 40, 1), (1, 12, 11, 40, 1), (0, 12, 12, 70, 0),
           (1, 14, 12, 70, 2)]


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda p: pickle.loads(pickle.dumps(p))])
@pytest.mark.parametrize("warmup", [0, 1, 3])
def test_clone_continues_identically(clone, warmup):
    pid = PID(0.5)
    pid.setPIDParam(KP=2, TI=7, TD=3, N=5)
    pid.setOPHighLowLimit(95, 5)
    pid.note = "kept"
    play(pid, SAMPLES[:warmup])
    twin = clone(pid)
    same(snapshot(pid), snapshot(twin))
    assert twin.note == "kept"
    assert play(twin, SAMPLES) == play(pid, SAMPLES)


finite = st.floats(-1e6, 1e6)
anyfloat = st.floats(width=64)
anything = st.one_of(anyfloat, st.integers(), st.none(), st.text(max_size=3), st.booleans())


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(anything, anything, anything, anything, anything), min_size=1, max_size=8),
       st.tuples(anyfloat, anyfloat, anyfloat, anyfloat), st.tuples(anyfloat, anyfloat))
def test_run_never_crashes_and_failures_are_atomic(calls, tuning, limits):
    pid = PID()
    pid.setPIDParam(*tuning)
    pid.setOPHighLowLimit(*limits)
    for call in calls:
        before = snapshot(pid)
        try:
            out = pid.run(*call)
        except (TypeError, ValueError, OverflowError):
            same(before, snapshot(pid))
        else:
            assert type(out) is float


def reference_run(state, mode, sp, pv, tv, ff, kp, ti, td, n, ts, hi, lo):
    """The velocity algorithm written out in plain Python."""
    if state is None or round(mode) != 1:
        state = dict(et1=sp - pv, et2=sp - pv, op1=tv, ff1=ff, d1=0.0)
        if round(mode) != 1:
            return min(max(tv, lo), hi), state
    et = sp - pv
    det = et - state["et1"]
    ddet = et - 2 * state["et1"] + state["et2"]
    dp = kp * det
    di = kp * ts / ti * et if ti > 0 else 0
    if td > 0:
        tao = td / n
        dd = (tao * state["d1"] + kp * td * ddet) / max(tao + ts, 1e-6)
    else:
        dd = 0
    dop = dp + di + dd + (ff - state["ff1"])
    op = min(max(dop + state["op1"], lo), hi)
    return op, dict(et1=et, et2=state["et1"], op1=op, ff1=ff, d1=dd)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([0, 1, 1, 1]), finite, finite, finite, finite), min_size=1, max_size=12),
       st.floats(-5, 5), st.floats(0, 100), st.floats(0, 20), st.floats(1, 20), st.floats(0.1, 5))
def test_matches_plain_python(calls, kp, ti, td, n, ts):
    pid = PID(ts)
    pid.setPIDParam(kp, ti, td, n)
    pid.setOPHighLowLimit(1e300, -1e300)
    state = None
    for mode, sp, pv, tv, ff in calls:
        expected, state = reference_run(state, mode, sp, pv, tv, ff, kp, ti, td, n, ts, 1e300, -1e300)
        got = pid.run(mode, sp, pv, tv, ff)
        assert got == expected or (math.isnan(got) and math.isnan(expected))


BIG = 10**400
OBJECT_SAMPLES = [(1, 50.0, 40.0, 30.0, 0.0), (1, 51.0, 40.5, 30.0, 0.0), (1, 52.0, 40.0, 30.0, 1.0),
                  (0, 50.0, 50.0, 20.0, 0.0), (1, 55.0, 50.0, 20.0, 0.0)]


@pytest.mark.parametrize("ts, kp, ti, td, n", [
    (1.0, 1.0, 60.0, 1, BIG),  # TD / N: an exact int division
    (1, 1, BIG, 0.0, 10.0),  # (KP * TS) / TI likewise
    (1, 2, 60.0, BIG, BIG),  # TD / N is 1.0, but KP * TD overflows against the error
    (3, 2**53 + 1, 7, 0.0, 10.0),  # int products past 2**53 stay exact
    (0.5, Fraction(1, 3), Fraction(7, 2), 2, 4),
    (np.int64(2), np.int64(3), np.int64(40), np.int64(5), 10.0),
    (1.0, 1.0, BIG, 0.0, 10.0),  # float / int overflows where the interpreter's does
    (1.0, BIG, 60.0, 0.0, 10.0),
    (1.0, 1.0, 60.0, 1.0, None),
])
def test_tuning_objects_follow_the_interpreters_arithmetic(ts, kp, ti, td, n):
    pid = PID(ts)
    pid.setPIDParam(kp, ti, td)
    pid._N = n  # as passed: None does not go through setPIDParam's floor
    pid.setOPHighLowLimit(1e300, -1e300)
    state = None
    for mode, sp, pv, tv, ff in OBJECT_SAMPLES:
        try:
            want, new_state = reference_run(state, mode, sp, pv, tv, ff, kp, ti, td, n, ts, 1e300, -1e300)
        except (OverflowError, TypeError) as e:
            before = snapshot(pid)
            with pytest.raises(type(e), match=re.escape(str(e))):
                pid.run(mode, sp, pv, tv, ff)
            same(before, snapshot(pid))
            continue
        state = new_state
        assert pid.run(mode, sp, pv, tv, ff) == want


def test_huge_int_filter_factor():
    pid = PID()
    pid.setPIDParam(TD=1, N=BIG)
    assert pid.run(1, 50, 40, 30) == 30 + 10 / 60 and pid.getPIDParam()[3] is BIG


# --------------------------------------------------------------------------- hostile states


def working_pid():
    pid = PID(0.5)
    pid.setPIDParam(KP=2, TI=7, TD=3, N=5)
    pid.run(1, 1.0, 0.5, 0.0)
    return pid


def test_hostile_states_are_refused_cleanly():
    assert check_hostile_states(working_pid, lambda p: play(p, SAMPLES)) > 50
    check_foreign_self(PID(), no_model())


@pytest.mark.parametrize("cut", [
    lambda st: st[:10] + ((1.0,),),          # short saved state
    lambda st: st[:9] + ((0.5,),) + st[10:],  # short dynamic state
    lambda st: st[:10] + ((),),
    lambda st: st[:9] + ((),) + st[10:],
    lambda st: st[:9] + (("a",) * 5,) + st[10:],
])
def test_short_or_wrong_inner_tuples_raise_and_change_nothing(cut):
    src = working_pid()
    st, d, _ = src.__getstate__()
    target = working_pid()
    target.setPIDParam(KP=9)
    before = snapshot(target)
    with pytest.raises((TypeError, ValueError), match="invalid PID state: item (9|10)"):
        target.__setstate__((cut(st), d))
    same(before, snapshot(target))


def test_failed_setstate_keeps_parameters():
    p, q = PID(), working_pid()
    with pytest.raises(TypeError):
        p.__setstate__((q.__getstate__()[0], 1))
    assert p.getPIDParam() == (1.0, 60.0, 0.0, 10.0)


def test_setstate_needs_a_pid():
    with pytest.raises(TypeError, match="descriptor '__setstate__' for 'PID' objects doesn't apply to a 'no_model'"):
        PID.__setstate__(no_model(), PID().__getstate__())


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_every_pickle_protocol(protocol):
    pid = working_pid()
    twin = pickle.loads(pickle.dumps(pid, protocol))
    assert play(twin, SAMPLES) == play(pid, SAMPLES)


def test_reference_cycles_through_parameters_are_collected():
    import gc
    import weakref

    class Gain(float):
        pass

    pid = PID()
    gain = Gain(2.0)
    gain.owner = pid
    pid._KP = gain
    ref = weakref.ref(gain)
    del pid, gain
    gc.collect()
    assert ref() is None
