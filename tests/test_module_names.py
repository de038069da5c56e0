"""Names the modules bind when loaded, and the wall clock read through them at call time."""

import sys
import time
import types
from collections import deque
from importlib import import_module
from pathlib import Path

import numpy as np
import pytest
from scipy import signal

from corvane.algorithm import excitation, inferential, sharedkit, smoothing, utilities

NAMES = {
    "phasefilter": {"np": np, "signal": signal},
    "deadtime": {"np": np, "deque": deque, "dataStore": utilities.dataStore},
    "excitation": {"np": np, "time": time},
    "flatline": {"np": np, "deque": deque},
    "inferential": {"time": time, "np": np, "deque": deque, "Path": Path, "sFilter": smoothing.sFilter},
}


@pytest.mark.parametrize("module", sorted(NAMES))
def test_module_binds_the_names_it_imports(module):
    mod = import_module(f"corvane.algorithm.{module}")
    assert {name: getattr(mod, name, None) for name in NAMES[module]} == NAMES[module]


T = 1_700_000_123.75
FMT = "%Y-%m-%d %H:%M:%S"
_localtime = time.localtime


def frozen_localtime(secs=None):
    return _localtime(T if secs is None else secs)


def stamp(secs):
    return time.strftime(FMT, _localtime(secs))


def signal_now(tmp_path):
    ts = excitation.TestSignal(SEED=3)
    return ts(), ts(int(T))


def bias_update(tmp_path):
    b = inferential.SoftSensorBiasUpdate(filter_tao=0.0, prd_len=10)
    b.run(1.0, 3.0, T - 30)
    return (b._prd_time_list[-1], b.get_update_flag()), (T, True)


def recorder(tmp_path):
    r = inferential.LabDataRecorder(name="clock", csv_dir=tmp_path)
    r.export_lab_data_csv(3.25, T - 3600)
    return r._csv_file.read_text().splitlines()[-1], f"{stamp(T)},{stamp(T - 3600)},3.25"


def time_text(module):
    return lambda tmp_path: (module.current_time_str(), stamp(T))


# (where the clock is read from, what reads it); utilities imports `time` in each call.
READERS = [("excitation", signal_now), ("inferential", bias_update), ("inferential", recorder),
           ("sharedkit", time_text(sharedkit)), ("utilities", time_text(utilities))]


@pytest.mark.parametrize("style", ["attribute", "dotted", "module"])
@pytest.mark.parametrize("module, reader", READERS, ids=lambda r: getattr(r, "__name__", r))
def test_clock_faked_through_the_module(module, reader, style, tmp_path, monkeypatch):
    where = "time" if module == "utilities" else f"corvane.algorithm.{module}.time"
    fake = {"time": lambda: T, "localtime": frozen_localtime}
    if style == "attribute":
        target = time if module == "utilities" else getattr(import_module(f"corvane.algorithm.{module}"), "time")
        for name, f in fake.items():
            monkeypatch.setattr(target, name, f)
    elif style == "dotted":
        for name, f in fake.items():
            monkeypatch.setattr(f"{where}.{name}", f)
    else:
        clock = types.SimpleNamespace(strftime=time.strftime, **fake)
        if module == "utilities":
            monkeypatch.setitem(sys.modules, "time", clock)
        else:
            monkeypatch.setattr(import_module(f"corvane.algorithm.{module}"), "time", clock, raising=False)
    got, want = reader(tmp_path)
    assert got == want
