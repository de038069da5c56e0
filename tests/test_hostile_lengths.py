"""Lengths whose buffers cannot fit in the memory the process may use are refused before anything is allocated."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from corvane.algorithm import blendedplant, deadtime, inferential, multiloop, phasefilter, sharedkit, utilities

REFUSED = "cannot fit in the memory this process may use"


# Each case: (action, snapshot) made from a length and tmp_path; the action is refused, the snapshot unchanged.

def _delay(n, p, state=False):
    d = deadtime.Delay(3 if state else n)
    if state:
        d.__setstate__(((n, ()), {}, 1))  # loads as the constructor does; the history is made by the first call
    return lambda: d(1.0), lambda: list(d._cache)


def _algo(n, p):
    d = deadtime.Delay_Algorithm()
    d.Ut = 2.0
    d.call()
    d.nLag = n
    return d.call, lambda: (d.U_array.tolist(), d.Yt)


def _state(obj, i, n):
    core, d, v = obj.__getstate__()
    state = (core[:i] + (n,) + core[i + 1:], d, v)
    return lambda: obj.__setstate__(state), lambda: pickle.dumps(obj.__getstate__())


def _plant(mode, delay):
    z = {"num_z": [0, 1], "den_z": [1, -0.5], "iodelay_z": delay}
    return {"CV": {"MV": {"mode": mode, **z} if mode == "tf_z" else {"mode": mode, "num_s": [1], "den_s": [5, 1],
                                                                     "iodelay_s": delay}}}


def _lpv(n):
    s = blendedplant.LPVPlantSim()
    s.addPlant(1, 10.0, _plant("tf_z", 1), 1)
    return lambda: s.addPlant(2, 20.0, _plant("tf_z", n), 1), lambda: list(s.get_plant_dict())


def _made(f):
    return lambda n, p: (lambda: f(n, p), lambda: sorted(p.iterdir()))


CASES = {
    "Delay": _delay,
    "Delay state": lambda n, p: _delay(n, p, state=True),
    "Delay_Algorithm": _algo,
    "Delay_Algorithm numpy lag": lambda n, p: _algo(np.int64(n), p),
    "SoftSensorBiasUpdate prd_len": _made(lambda n, p: inferential.SoftSensorBiasUpdate(prd_len=n)),
    "SoftSensorBiasUpdate const_len": _made(lambda n, p: inferential.SoftSensorBiasUpdate(const_len=n)),
    "SoftSensorBiasUpdate state prd": lambda n, p: _state(inferential.SoftSensorBiasUpdate(prd_len=2), 3, n),
    "SoftSensorBiasUpdate state lab": lambda n, p: _state(inferential.SoftSensorBiasUpdate(const_len=1), 6, n),
    "LabDataRecorder": _made(lambda n, p: inferential.LabDataRecorder(const_len=n, csv_dir=p / "r")),
    "LabDataRecorder state": lambda n, p: _state(inferential.LabDataRecorder(csv_dir=p), 2, n),
    "filter_stp": _made(lambda n, p: phasefilter.filter_stp(n, 5.0, 0.5)),
    "sharedkit.c2d": _made(lambda n, p: sharedkit.c2d([1], [5, 1], n)),
    "utilities.c2d": _made(lambda n, p: utilities.c2d([1], [5, 1], 3.0 * n, 3)),
    "tfz_model delay": _made(lambda n, p: multiloop.tfz_model([1], [1, -0.5], n)),
    "stpxy_model x": _made(lambda n, p: multiloop.stpxy_model([1, n], [0, 1])),
    "MIMOSim iodelay_z": _made(lambda n, p: multiloop.MIMOSim(_plant("tf_z", n))),
    "MIMOSim iodelay_s": _made(lambda n, p: multiloop.MIMOSim(_plant("tf_s", n))),
    "get_model_stp length": _made(lambda n, p: multiloop.get_model_stp(_plant("tf_z", 1), 1, n)),
    "plot_model_stp length": _made(lambda n, p: multiloop.plot_model_stp(_plant("tf_z", 1), 1, n)),
    "LPVPlantSim addPlant": lambda n, p: _lpv(n),
}

# Each buffer alone fits in physical memory (so the kernel grants it), together they do not.
ONE_AT_A_TIME = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 12


@pytest.mark.parametrize("case, n", [(c, 2**40) for c in sorted(CASES)] + [  # 2**40 doubles: no machine holds them
    (c, ONE_AT_A_TIME) for c in ("SoftSensorBiasUpdate prd_len", "SoftSensorBiasUpdate state prd", "LabDataRecorder")])
def test_lengths_whose_buffers_cannot_fit(case, n, tmp_path):
    action, snapshot = CASES[case](n, tmp_path)
    before = snapshot()
    with pytest.raises(MemoryError, match=REFUSED):
        action()
    assert snapshot() == before


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
