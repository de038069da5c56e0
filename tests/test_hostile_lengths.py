"""Lengths whose buffers cannot fit in the memory the process may use are refused before anything is allocated."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from corvane.algorithm import deadtime, inferential, phasefilter, sharedkit, utilities

HUGE = 2**40  # 8 TB of doubles: no machine holds it
REFUSED = "cannot fit in the memory this process may use"


def delay_algorithm(lag):
    d = deadtime.Delay_Algorithm()
    d.Ut = 2.0
    d.call()
    d.nLag = lag
    return d


def with_state(obj, edit):
    core, d, v = obj.__getstate__()
    return obj, (edit(core), d, v)


def refuses(make, tmp_path):
    """make(tmp_path) -> (action, snapshot): the action is refused and the snapshot is unchanged."""
    action, snapshot = make(tmp_path)
    before = snapshot()
    with pytest.raises(MemoryError, match=REFUSED):
        action()
    assert snapshot() == before


def _delay(n):
    d = deadtime.Delay(max_cache=n)
    return lambda: d(1.0), lambda: list(d._cache)


def _delay_state(n):
    d = deadtime.Delay(3)
    d.__setstate__(((n, ()), {}, 1))  # loads as the constructor does; the history is made by the first call
    return lambda: d(1.0), lambda: list(d._cache)


def _algo(lag):
    d = delay_algorithm(lag)
    return d.call, lambda: (d.U_array.tolist(), d.Yt)


def _set_state(obj, edit):
    obj, state = with_state(obj, edit)
    return lambda: obj.__setstate__(state), lambda: pickle.dumps(obj.__getstate__())


def _bias_state(i, n):
    s = inferential.SoftSensorBiasUpdate(prd_len=2, const_len=1)
    return _set_state(s, lambda c: c[:i] + (n,) + c[i + 1:])


def _recorder_state(tmp_path, n):
    return _set_state(inferential.LabDataRecorder(const_len=1, csv_dir=tmp_path), lambda c: c[:2] + (n,) + c[3:])


def constructor(f):
    return lambda tmp_path: (f, lambda: None)


CASES = {
    "Delay": lambda p: _delay(HUGE),
    "Delay state": lambda p: _delay_state(HUGE),
    "Delay_Algorithm": lambda p: _algo(HUGE),
    "Delay_Algorithm numpy lag": lambda p: _algo(np.int64(HUGE)),
    "SoftSensorBiasUpdate prd_len": constructor(lambda: inferential.SoftSensorBiasUpdate(prd_len=HUGE)),
    "SoftSensorBiasUpdate const_len": constructor(lambda: inferential.SoftSensorBiasUpdate(const_len=HUGE)),
    "SoftSensorBiasUpdate state prd": lambda p: _bias_state(3, HUGE),
    "SoftSensorBiasUpdate state lab": lambda p: _bias_state(6, HUGE),
    "LabDataRecorder": lambda p: (lambda: inferential.LabDataRecorder(const_len=HUGE, csv_dir=p / "r"),
                                  lambda: (p / "r").exists()),
    "LabDataRecorder state": lambda p: _recorder_state(p, HUGE),
    "filter_stp": constructor(lambda: phasefilter.filter_stp(HUGE, 5.0, 0.5)),
    "sharedkit.c2d": constructor(lambda: sharedkit.c2d([1], [5, 1], HUGE)),
    "utilities.c2d": constructor(lambda: utilities.c2d([1], [5, 1], 3.0 * HUGE, 3)),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_lengths_no_machine_holds(case, tmp_path):
    refuses(CASES[case], tmp_path)


# Each buffer alone fits in physical memory (so the kernel grants it), together they do not.
ONE_AT_A_TIME = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 12


@pytest.mark.parametrize("case", ["prd_len", "state", "recorder"])
def test_buffers_that_fit_only_one_at_a_time(case, tmp_path):
    make = {
        "prd_len": constructor(lambda: inferential.SoftSensorBiasUpdate(prd_len=ONE_AT_A_TIME)),
        "state": lambda p: _bias_state(3, ONE_AT_A_TIME),
        "recorder": constructor(lambda: inferential.LabDataRecorder(const_len=ONE_AT_A_TIME, csv_dir=tmp_path)),
    }[case]
    refuses(make, tmp_path)


UNDER_LIMIT = """
import contextlib, io, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
import numpy as np
from corvane.algorithm import deadtime, inferential, phasefilter, sharedkit, utilities
N, tmp = 10**9, sys.argv[1]

def algo(lag):
    d = deadtime.Delay_Algorithm()
    d.Ut, d.nLag = 2.0, lag
    d.call()
    return d.Yt, len(d.U_array)

def bias(**kw):
    with contextlib.redirect_stdout(io.StringIO()):  # the first-data message
        return inferential.SoftSensorBiasUpdate(filter_tao=0.0, **kw).run(1.0, 3.0, 50.0, prd_time=100.0)

cases = [
    lambda n: deadtime.Delay(max_cache=n)(1.0, n - 1),
    lambda n: algo(n),
    lambda n: bias(prd_len=n),
    lambda n: bias(const_len=n),
    lambda n: inferential.LabDataRecorder(const_len=n, csv_dir=tmp).run(1.0, 0.0),
    lambda n: phasefilter.filter_stp(n, 5.0, 0.5)[-1],
    lambda n: len(sharedkit.c2d([1], [5, 1], n)[0]),
    lambda n: len(utilities.c2d([1], [5, 1], n)[0]),
]
for case in cases:
    try:
        case(N)
        print("granted")
    except MemoryError as e:
        print(e)
    print(repr(case(10**6)))
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer's shadow memory needs more address space than the limit")
def test_the_address_space_limit_is_the_budget(tmp_path):
    out = subprocess.run([sys.executable, "-c", UNDER_LIMIT, str(tmp_path)], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert all(REFUSED in line for line in lines[0::2]), lines
    assert lines[1::2] == ["1.0", "(np.float64(2.0), 1000001)", "2.0", "2.0", "False",
                           repr(phasefilter.filter_stp(10**6, 5.0, 0.5)[-1]), "1000002", "1000002"]
