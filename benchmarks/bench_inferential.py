"""SoftSensorBiasUpdate.run per call and the memory of default instances, side by side in one run.

Anchors: the same algorithm in plain Python with deques (bisection on the deque turned into an
array, neighbour differences of the lab history each call), and a no-op method with the same five
named arguments built with the same binding machinery (built only by `make bench`).
"""

import contextlib
import io
import math
import os
import subprocess
import sys
import time
from collections import deque

import numpy as np

from corvane.algorithm.inferential import SoftSensorBiasUpdate

try:
    from corvane.algorithm import _benchfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = None

T0 = 1.7e9


class PlainBias:
    """The bias update in plain Python with bounded deques (no smoothing filter)."""

    def __init__(self, name="softSensor", abs_threshold=1e-6, prd_len=28800, const_len=60):
        self._name = name
        self._prd_data_list = deque(maxlen=prd_len + 1)
        self._prd_time_list = deque(maxlen=prd_len + 1)
        self._lab_data_list = deque(maxlen=const_len + 2)
        self._bias = 0.0
        self._abs_threshold = float(abs_threshold)
        self._update_flag = False
        self._current_lab_data = self._current_lab_time = self._prd_data_at_labtime = np.nan

    def _update_bias(self, lab_data, lab_time):
        if abs(lab_data - self._current_lab_data) < self._abs_threshold and \
                abs(lab_time - self._current_lab_time) < 0.1:
            print(self._name + ": Bias Update is not triggered, lab_data or lab_time is unchanged.")
            return
        if self._prd_time_list[0] <= lab_time <= self._prd_time_list[-1]:
            idx = np.searchsorted(np.array(self._prd_time_list), lab_time, side="right") - 1
            prd = self._prd_data_list[idx]
            self._bias = lab_data - prd
            self._update_flag = True
            self._current_lab_data, self._current_lab_time, self._prd_data_at_labtime = lab_data, lab_time, prd

    def run(self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None):
        prd_data, lab_data, lab_time = float(prd_data), float(lab_data), float(lab_time)
        for value, what in ((prd_data, "prd_data"), (lab_data, "lab_data"), (lab_time, "lab_time")):
            if not np.isfinite(value):
                raise ValueError(f"{self._name} Bias Update: {what} is not finite!")
        if prd_time is None:
            prd_time = time.time()
        first = False
        if not self._prd_data_list:
            while len(self._lab_data_list) < self._lab_data_list.maxlen:
                self._lab_data_list.append(lab_data)
            k = 1
            while len(self._prd_data_list) < self._prd_data_list.maxlen:
                self._prd_data_list.append(prd_data)
                self._prd_time_list.appendleft(prd_time - 60 * k)
                k += 1
            first = True
        self._prd_data_list.append(prd_data)
        self._prd_time_list.append(prd_time)
        self._lab_data_list.append(lab_data)
        self._update_flag = False
        if first:
            self._update_bias(lab_data, lab_time)
            print(self._name + ": Bias Update is triggered by the first data.")
        elif update_trigger is not None:
            if update_trigger > 0.5:
                self._update_bias(lab_data, lab_time)
        else:
            diff = np.abs(np.diff(self._lab_data_list))
            if diff[0] >= self._abs_threshold and np.all(diff[1:] < 1e-6):
                self._update_bias(lab_data, lab_time)
        return self._bias


def started(block):
    with contextlib.redirect_stdout(io.StringIO()):
        block.run(1.0, 5.0, T0 - 30.0, T0)
    return block


def loop(block, n, update):
    """One timed loop of n run calls: the lab value held (automatic recognition), or a new lab value
    with an explicit trigger each call (one look-up per call). Returns seconds per call."""
    run = block.run
    t = T0 + 1.0 + loop.calls
    loop.calls += n
    ts = [t + k for k in range(n)]
    t0 = time.perf_counter()
    if update:
        for k, tk in enumerate(ts):
            run(2.0, float(k), tk - 10.5, tk, 1.0)
    else:
        for tk in ts:
            run(2.0, 5.0, T0 - 30.0, tk)
    return (time.perf_counter() - t0) / n


loop.calls = 0


def measure(cases, rounds=5):
    """Best time per call of each case, the cases taking turns so that a slow spell of the machine
    hits them all alike."""
    best = {name: math.inf for name in cases}
    for _ in range(rounds):
        for name, (block, n, update) in cases.items():
            best[name] = min(best[name], loop(block, n, update))
    return best


MEMORY_SCRIPT = """
import contextlib, gc, io, os, sys
sys.path.insert(0, {here!r})
import bench_inferential as b
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')
make = b.PlainBias if sys.argv[1] == 'plain' else b.SoftSensorBiasUpdate
keep = [make() for _ in range(2)]
gc.collect()
r0 = rss()
with contextlib.redirect_stdout(io.StringIO()):
    for _ in range(100):
        s = make()
        s.run(1.0, 5.0, b.T0 - 30.0, b.T0)
        keep.append(s)
gc.collect()
print(rss() - r0)
"""


def memory_of_100(kind):
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT.format(here=here), kind], capture_output=True,
                         text=True, check=True)
    return int(out.stdout.strip())


def rows():
    """[(name, corvane, reference, ratio, unit)]; ratio > 1 means corvane is faster (smaller)."""
    cases = {}
    for n in (100, 28800):
        for update in (False, True):
            cases[("c", n, update)] = (started(SoftSensorBiasUpdate(filter_tao=0.0, prd_len=n)), 20_000, update)
            cases[("p", n, update)] = (started(PlainBias(prd_len=n)), 200 if (update and n > 1000) else 2_000,
                                       update)
    cases["default"] = (started(SoftSensorBiasUpdate()), 20_000, False)
    if _benchfloor is not None:
        cases["floor"] = (_benchfloor.BiasFloor(), 20_000, False)
    t = measure(cases)
    out = []
    for n in (100, 28800):
        for update, what in ((False, "lab value held"), (True, "look-up every call")):
            c, p = t[("c", n, update)], t[("p", n, update)]
            out.append((f"run, prd_len {n}, {what}, vs plain Python (deques)", c, p, p / c, "s"))
    for update, what in ((False, "lab value held"), (True, "look-up every call")):
        a, b = t[("c", 28800, update)], t[("c", 100, update)]
        out.append((f"run, {what}: prd_len 28800 vs prd_len 100", a, b, b / a, "s"))
    out.append(("run, default block (filter_tao 5, prd_len 28800) vs plain Python without filter", t["default"],
                t[("p", 28800, False)], t[("p", 28800, False)] / t["default"], "s"))
    if _benchfloor is not None:
        a = t[("c", 28800, False)]
        out.append(("run, prd_len 28800, lab value held, vs same-machinery no-op", a, t["floor"], t["floor"] / a, "s"))
    mc, mp = memory_of_100("corvane"), memory_of_100("plain")
    out.append(("memory of 100 default instances after one run (RSS growth)", mc, mp, mp / mc, "B"))
    return out


def fmt(v, unit):
    if unit == "B":
        return f"{v / 2**20:.1f} MiB"
    if v >= 1e-3:
        return f"{v * 1e3:.2f} ms"
    if v >= 1e-6:
        return f"{v * 1e6:.2f} us"
    return f"{v * 1e9:.0f} ns"


def table(rs):
    lines = ["| benchmark | corvane | reference | ratio |", "|---|---:|---:|---|"]
    for name, a, b, ratio, unit in rs:
        if unit == "B":
            text = f"{ratio:.1f}x smaller" if ratio >= 1 else f"{1 / ratio:.2f}x larger"
        else:
            text = f"{ratio:.1f}x faster" if ratio >= 1 else f"{1 / ratio:.2f}x slower"
        lines.append(f"| {name} | {fmt(a, unit)} | {fmt(b, unit)} | {text} |")
    return "\n".join(lines)


if __name__ == "__main__":
    if _benchfloor is None:
        print("binding-floor module not built: run `make bench`", file=sys.stderr)
    print(table(rows()))
