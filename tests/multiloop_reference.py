"""Plain-Python simulator used as an independent reference: one
scipy.signal.lfilter call per model per sample."""

import contextlib
import copy

import numpy as np
import pytest
from scipy import signal

from corvane.algorithm import multiloop, sharedkit


# The worked example plant and its initial values.
EXAMPLE = {
    "CV1": {
        "MV1": {"mode": "tf_s", "num_s": [0, 4.05], "den_s": [50, 1], "iodelay_s": 25},
        "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7], "iodelay_z": 0, "IntegralMark": 0},
    },
    "CV2": {
        "MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
        "MV2": {"mode": "stp", "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5, 4, 3, 3, 3, 3]},
        "MV3": {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2, "IntegralMark": 1},
    },
}
INI = {"CV1": 10, "CV2": 20, "MV1": 15, "MV2": 16, "MV3": 17}


class RefFilter:
    def __init__(self, num, den, delay=0):
        self.b = np.pad(np.array(num, dtype=float), (delay, 0), mode="constant", constant_values=0)
        self.a = np.array(den, dtype=float)
        self.zi = [0] * (max(len(self.b), len(self.a)) - 1)

    def deltaU_sim(self, dU):
        y, self.zi = signal.lfilter(self.b, self.a, np.array([float(dU)]), zi=self.zi)
        return y[0]


class RefNone:
    def deltaU_sim(self, dU=0.0):
        float(dU)
        return 0.0


def ref_model(entry, Ts):
    mark = entry.get("IntegralMark", 0)
    if not entry or entry.get("mode", "None") == "None":
        return RefNone()
    mode = entry["mode"]
    if mode == "tf_s":
        den = np.convolve(entry["den_s"], [1, 0]) if mark else entry["den_s"]
        num, den = sharedkit.c2d(entry["num_s"], den, entry.get("iodelay_s", 0), Ts)
        return RefFilter(num, den)
    if mode == "tf_z":
        den = np.convolve(entry["den_z"], [1, -1]) if mark else entry["den_z"]
        return RefFilter(entry["num_z"], den, entry.get("iodelay_z", 0))
    if mode == "stp":
        stp = np.cumsum(entry["stp"]) if mark else entry["stp"]
        return RefFilter(np.diff(stp, prepend=0), [1.0])
    if mode == "stpxy":
        x, y = entry["x"], entry["y"]
        y = np.cumsum(y) if mark else y
        stp = np.interp(np.arange(0, x[-1] + 1), x, y).tolist()
        return RefFilter(np.diff(stp, prepend=0), [1.0])
    raise AssertionError


def tags(model_dict):
    cvs = list(model_dict.keys())
    mvs = []
    for inner in model_dict.values():
        for mv in inner.keys():
            if mv not in mvs:
                mvs.append(mv)
    return cvs, mvs


class RefMIMO:
    def __init__(self, model_dict, ini=None, Ts=1):
        ini = copy.deepcopy(ini or {})
        self.cvs, self.mvs = tags(model_dict)
        self.ini = ini
        self.models = {cv: [ref_model(model_dict[cv].get(mv, {}), Ts) for mv in self.mvs] for cv in self.cvs}
        self.u = {mv: ini.get(mv, 0.0) for mv in self.mvs}
        self.u_ini = [ini.get(mv, 0.0) for mv in self.mvs]
        self.y = {cv: ini.get(cv, 0.0) for cv in self.cvs}

    def __call__(self, u_Value_Dict={}, v_Value_Dict={}):
        self.u.update({k: v for k, v in u_Value_Dict.items() if k in self.mvs})
        us = list(self.u.values())
        for cv in self.cvs:
            y = 0.0
            for model, u, ui in zip(self.models[cv], us, self.u_ini):
                y += model.deltaU_sim(u - ui)
            self.y[cv] = (y + v_Value_Dict.get(cv, 0.0)) + self.ini.get(cv, 0.0)
        return copy.deepcopy(self.y)


def ref_model_stp(model_dict, Ts=1, length=300):
    cvs, mvs = tags(model_dict)
    out = {cv: {mv: [] for mv in mvs} for cv in cvs}
    for cv in cvs:
        for mv in mvs:
            sim = RefMIMO({cv: {mv: model_dict[cv].get(mv, {})}}, {cv: 0.0, mv: 0.0}, Ts)
            values = [sim({mv: 1.0})[cv] for _ in range(length)]
            out[cv][mv] = [] if max(values) - min(values) < 1e-06 else values
    return out


@contextlib.contextmanager
def general_path():
    """Inside the block the simulators take their general path only (their native engines are off)."""
    was = multiloop._set_native_engines(False)
    try:
        yield
    finally:
        multiloop._set_native_engines(was)


@pytest.fixture(params=["engine", "general"])
def path(request):
    """Each test that takes it runs on the native engines and on the general path."""
    if request.param == "general":
        with general_path():
            yield request.param
    else:
        yield request.param
