"""Snapshots of every class in a few states, and how each continues.

`tests/data/pickles/generate.py` pickles `make()` of every case with the build of a release and stores
the outputs of `cont(obj)` beside it; `test_stored_pickles.py` loads those pickles with the current build
and checks that they continue exactly so (values and types, by repr).
"""

import os

import numpy as np

from corvane.algorithm.blendedplant import LPVPlantSim
from corvane.algorithm.clampguard import AntiWindupLimter
from corvane.algorithm.deadtime import Delay, Delay_Algorithm
from corvane.algorithm.excitation import TestSignal
from corvane.algorithm.flatline import ConstDect
from corvane.algorithm.heartbeat import WatchDog
from corvane.algorithm.inferential import LabDataRecorder, SoftSensorBiasUpdate
from corvane.algorithm.logicblocks import RStrigger, TOFFtrigger, TONtrigger
from corvane.algorithm.loopcontrol import PID
from corvane.algorithm.multiloop import (MIMOSim, MISOSimulator, SISOSim, no_model, stp_model, stpxy_model,
                                         tfs_model, tfz_model)
from corvane.algorithm.phasefilter import LDLAG
from corvane.algorithm.slewlimit import RateLimit
from corvane.algorithm.smoothing import sFilter

# The recorder keeps its file's absolute path: stored recorders write here.
RECORDER_DIR = "/tmp/corvane-stored-pickles"

WORKED = {
    "CV1": {"MV1": {"mode": "tf_s", "num_s": [0, 4.05], "den_s": [50, 1], "iodelay_s": 25},
            "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7], "iodelay_z": 0, "IntegralMark": 0}},
    "CV2": {"MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
            "MV2": {"mode": "stp", "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5, 4, 3, 3, 3, 3]},
            "MV3": {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2, "IntegralMark": 1}},
}
WORKED_INI = {"CV1": 10, "CV2": 20, "MV1": 15, "MV2": 16, "MV3": 17}


def _wave(k):
    return 3.0 * np.sin(0.37 * k) + (k % 7) * 0.25


# --- PID -----------------------------------------------------------------------------------------------

def pid_fresh():
    p = PID(TS=2)
    p.setPIDParam(KP=2, TI=30, TD=4.0, N=8)
    p.setOPHighLowLimit(90, 5)
    return p


def pid_running():
    p = pid_fresh()
    for k in range(12):
        p.run(0 if k < 3 else 1, 50.0, 40.0 + _wave(k), 30.0, FF=0.5 * k)
    return p


def pid_tracking():
    p = pid_running()
    p.run(0, 55.0, 41.0, 120.0)
    return p


def pid_cont(p):
    out = []
    for k in range(15):
        out.append(p.run(1 if k != 9 else 0, 52.0, 42.0 + _wave(k), 33.0, 1.0))
        out.append(p.getInnerSaveState())
    return out + [p.getPIDParam(), p.getOPHighLowLimit()]


# --- lead-lag filter and smoothing ---------------------------------------------------------------------

def ldlag_fresh():
    return LDLAG(0.4, 6.0, 2)


def ldlag_running():
    f = LDLAG(0.0, 5.0, 1)
    for k in range(9):
        f(_wave(k))
    f.alpha = 1
    f(2.0)
    return f


def ldlag_cont(f):
    out = [f(_wave(k)) for k in range(8)]
    f.tao = 11.5
    out += list(f.multi_step([_wave(k) for k in range(8, 14)]))
    return out + [f.alpha, f.tao, f._u_ini, f._y_ini]


def sfilter_running():
    f = sFilter([1], [7.5, 1], u_ini=0.0, y_ini=0.0)
    for k in range(6):
        f(_wave(k))
    return f


def sfilter_cont(f):
    return [f(_wave(k)) for k in range(10)]


# --- process models and simulators ---------------------------------------------------------------------

def _steps(m, n, start=0):
    return [m.deltaU_sim(_wave(k)) for k in range(start, start + n)]


def tfz_running():
    m = tfz_model([0, 1, 0.5], [1, -1.5, 0.7], 2)
    _steps(m, 7)
    return m


def tfs_running():
    m = tfs_model([0, 2.0], [12.0, 1], 3, 1)
    _steps(m, 5)
    return m


def stp_running():
    m = stp_model([0.5, 1, 2, 3, 4, 5])
    _steps(m, 4)
    return m


def stpxy_running():
    m = stpxy_model([0, 2, 5], [0, 4, 5])
    _steps(m, 3)
    return m


def model_cont(m):
    return _steps(m, 10, 20)


def miso_running():
    s = MISOSimulator([tfz_model([0, 1], [1, -0.5], 1), stp_model([1, 2, 3]), no_model()], [1.0, 2.0, 3.0])
    for k in range(5):
        s.one_step_sim([1.0 + _wave(k), 2.5, 3.0])
    return s


def miso_cont(s):
    return [s.one_step_sim([1.0 + _wave(k), 2.0 + 0.1 * k, 3.0]) for k in range(10)]


def mimo_fresh():
    return MIMOSim(WORKED, WORKED_INI, Ts=1)


def mimo_running():
    s = mimo_fresh()
    for k in range(30):
        s({"MV1": 15 + _wave(k), "MV2": 17, "MV3": 17 + (k > 10)}, {"CV1": 0.1 * (k % 3)} if k % 5 == 0 else {})
    return s


def mimo_reset():
    s = mimo_running()
    s.reset()
    return s


def mimo_cont(s):
    out = []
    for k in range(40):
        out.append(s({"MV1": 16 + _wave(k), "MV3": 18.5}, {"CV2": 0.5} if k == 3 else {}))
    return out + [s.get_all_data_dict(), s.get_process_tags(), s.get_model_dict()]


def siso_running():
    s = SISOSim(2.0, 30.0, 4)
    for k in range(20):
        s({"MV": 1.0 + 0.1 * k})
    return s


def siso_cont(s):
    return [s({"MV": 3.0 - 0.05 * k}) for k in range(25)] + [s.get_all_data_dict()]


# --- blended plant -------------------------------------------------------------------------------------

LOCAL = {
    10: {"CV1": {"MV1": {"mode": "tf_s", "num_s": [0, 1.0], "den_s": [10, 1], "iodelay_s": 2}},
         "CV2": {"MV2": {"mode": "stp", "stp": [0, 0.5, 0.8, 1.0]}}},
    20: {"CV1": {"MV1": {"mode": "tf_s", "num_s": [0, 2.0], "den_s": [15, 1]}},
         "CV2": {"MV2": {"mode": "tf_z", "num_z": [0, 0.3], "den_z": [1, -0.7]}}},
    40: {"CV1": {"MV1": {"mode": "tf_z", "num_z": [0, 0.2], "den_z": [1, -0.9], "iodelay_z": 3}},
         "CV2": {"MV2": {"mode": "stp", "stp": [1, 1.5]}, "MV1": {"mode": "stpxy", "x": [0, 4], "y": [0, 2]}}},
}


def lpv_running():
    s = LPVPlantSim({"CV1": 5.0, "CV2": 1.0, "MV1": 2.0, "MV2": 0.0})
    for pid_, (wp, model) in enumerate(LOCAL.items()):
        s.addPlant(pid_, wp, model, 1)
    for k in range(15):
        s(12.0 + 2 * k, {"MV1": 2.0 + _wave(k), "MV2": 0.3 * (k > 4)})
    return s


def lpv_cont(s):
    out = [s(35.0 - 1.5 * k, {"MV1": 3.0 + _wave(k)}, {"CV1": 0.25} if k == 2 else {}) for k in range(20)]
    return out + [s.get_current_plant_weight_dict(), s.get_all_data_dict()]


def local_plant():
    return lpv_running().get_plant_dict()[1]


def local_plant_cont(p):
    return [p.plant_id, p.working_point, p.Ts, p.current_weight, p.yu_model_tf,
            [p.plant({"MV1": 2.0 + k}) for k in range(5)]]


# --- signal conditioning, logic, monitoring ------------------------------------------------------------

def delay_running():
    d = Delay(max_cache=6)
    for k in range(4):
        d(float(k), 1)
    return d


def delay_cont(d):
    return [d(10.0 + k, k % 6) for k in range(9)] + [list(d._cache)]


def delay_algo_running():
    d = Delay_Algorithm()
    for k, lag in enumerate([1, 1, 2, 4, 4, 3]):
        d.Ut, d.nLag = 1.5 * k, lag
        d.call()
    return d


def delay_algo_cont(d):
    out = []
    for k, lag in enumerate([3, 5, 2, 2, 6, 1]):
        d.Ut, d.nLag = 20.0 - k, lag
        d.call()
        out.append(d.Yt)
    return out + [list(d.U_array)]


def ratelimit_running():
    r = RateLimit(2.0, Ts=2)
    r(10, 30)
    r(10, 30)
    return r


def ratelimit_cont(r):
    return [r(-3.0 + k, 45, -20) for k in range(6)] + [r.u_last, r.Ts]


def antiwindup_fresh():
    return AntiWindupLimter()


def antiwindup_running():
    a = AntiWindupLimter()
    for u in (50, 120, 130):
        a(u)
    return a


def antiwindup_cont(a):
    return [a(u, 90, 10) for u in (110, 90, 40, -5, 5, 60)]


def ton_running():
    t = TONtrigger()
    t.DT = 4
    for u in (0, 1, 1):
        t.Ut = u
        t.call()
    return t


def toff_running():
    t = TOFFtrigger()
    for u in (1, 1, 0):
        t.Ut = u
        t.call()
    return t


def timer_cont(t):
    out = []
    for u in (1, 1, 0, 1, 1, 1, 1, 0, 0, 0):
        t.Ut = u
        t.call()
        out.append((t.Yt, t.ET))
    return out


def rs_running():
    r = RStrigger()
    r.S, r.R = 1, 0
    r.call()
    r.S = 0
    return r


def rs_cont(r):
    out = []
    for s, rr in ((0, 0), (0, 1), (0, 0), (1, 0), (0, 0), (1, 1)):
        r.S, r.R = s, rr
        r.call()
        out.append((bool(r.Q), r.nQ))
    return out


def testsignal():
    t = TestSignal(20261209)
    t.set_ET(7)
    t.set_amplitude(2.5)
    return t


def testsignal_cont(t):
    return [t(k * 5) for k in range(-3, 12)] + [t(14 * 10000 + 3), t.get_ET(), t.get_amplitude()]


def constdect_running():
    c = ConstDect()
    for k, (u, n) in enumerate([(1.0, 5), (1.0, 5), (2.0, 8), (2.0, 8), (2.0, 3)]):
        c(u, n)
    return c


def constdect_cont(c):
    return [c(u, n) for u, n in ((2.0, 3), (2.0, 3), (2.0000001, 4), (3, 6), (3, 2), (3, 2))] + [list(c._U_queue)]


def watchdog_running():
    w = WatchDog()
    for _ in range(5):
        w(9)
    return w


def watchdog_cont(w):
    return [w(m) for m in (9, 9, 3, 3, 3, 2.5, 7)] + [w.ticks]


# --- soft sensor ---------------------------------------------------------------------------------------

T0 = 1_700_000_000.0


def bias_running():
    b = SoftSensorBiasUpdate("kiln", filter_tao=4.0, prd_len=20, const_len=2)
    for k in range(6):
        b.run(10.0 + _wave(k), 12.0, T0 - 100.0, prd_time=T0 + 60.0 * k)
    return b


def bias_plain_running():
    b = SoftSensorBiasUpdate(filter_tao=0.0, prd_len=8, const_len=1)
    for k in range(4):
        b.run(5.0 + k, 6.0 + (k > 1), T0 + 60.0 * k - 30.0, prd_time=T0 + 60.0 * k)
    return b


def bias_cont(b):
    out = []
    for k in range(6, 14):
        out.append(b.run(10.0 + _wave(k), 15.0 if k > 7 else 12.0, T0 + 60.0 * k - 90.0, prd_time=T0 + 60.0 * k))
        out.append((b.get_bias(), b.get_update_flag(), b.get_lab_data(), b.get_lab_time(),
                    b.get_prd_data_at_labtime()))
    return out


def recorder_running():
    r = LabDataRecorder("stored", const_len=2, csv_dir=RECORDER_DIR)
    for v in (3.0, 3.0, 5.0):
        r.run(v, T0)
    return r


def recorder_cont(r):
    path = os.path.join(RECORDER_DIR, "stored_Raw_LabData.csv")
    out = [r.run(v, T0 + 60 * k) for k, v in enumerate((5.0, 5.0, 5.0, 7.25, 7.25, 7.25))]
    with open(path, encoding="utf-8") as f:
        out.append([line.rsplit(",", 1)[-1] for line in f.read().splitlines()])
    return out


# name -> (make, cont)
CASES = {
    "pid_fresh": (pid_fresh, pid_cont),
    "pid_running": (pid_running, pid_cont),
    "pid_tracking": (pid_tracking, pid_cont),
    "ldlag_fresh": (ldlag_fresh, ldlag_cont),
    "ldlag_running": (ldlag_running, ldlag_cont),
    "sfilter_running": (sfilter_running, sfilter_cont),
    "no_model": (no_model, model_cont),
    "tfz_running": (tfz_running, model_cont),
    "tfs_running": (tfs_running, model_cont),
    "stp_running": (stp_running, model_cont),
    "stpxy_running": (stpxy_running, model_cont),
    "miso_running": (miso_running, miso_cont),
    "mimo_fresh": (mimo_fresh, mimo_cont),
    "mimo_running": (mimo_running, mimo_cont),
    "mimo_reset": (mimo_reset, mimo_cont),
    "siso_running": (siso_running, siso_cont),
    "lpv_running": (lpv_running, lpv_cont),
    "local_plant": (local_plant, local_plant_cont),
    "delay_running": (delay_running, delay_cont),
    "delay_algo_running": (delay_algo_running, delay_algo_cont),
    "ratelimit_running": (ratelimit_running, ratelimit_cont),
    "antiwindup_fresh": (antiwindup_fresh, antiwindup_cont),
    "antiwindup_running": (antiwindup_running, antiwindup_cont),
    "ton_running": (ton_running, timer_cont),
    "toff_running": (toff_running, timer_cont),
    "rs_running": (rs_running, rs_cont),
    "testsignal": (testsignal, testsignal_cont),
    "constdect_running": (constdect_running, constdect_cont),
    "watchdog_running": (watchdog_running, watchdog_cont),
    "bias_running": (bias_running, bias_cont),
    "bias_plain_running": (bias_plain_running, bias_cont),
    "recorder_running": (recorder_running, recorder_cont),
}


def reset_recorder_file():
    os.makedirs(RECORDER_DIR, exist_ok=True)
    path = os.path.join(RECORDER_DIR, "stored_Raw_LabData.csv")
    if os.path.exists(path):
        os.remove(path)
