"""Timers and latch: call() per sample, measured side by side with its anchors in one run.

Anchors: the binding floor (a no-op call() built the same way that reads the same
attributes: Ut, DT, ET, Ut_array of a timer; S, R, Q_array of a latch) and the same
blocks written in plain Python with numpy histories.
"""


import numpy as np

from bench_pid import main, measure, slower, table  # table: the suite's interface (run_all)
from corvane.algorithm.logicblocks import RStrigger, TOFFtrigger, TONtrigger

try:
    from corvane.algorithm import _benchfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = None


def dataStore(xArray, xt):
    xArray[1:] = xArray[:-1]
    xArray[0] = xt


class PlainTON:
    Ut, Yt, DT, ET = 0, 0, 3, 0

    def __init__(self):
        self.Ut_array = np.zeros(2, dtype=int)

    def call(self):
        dataStore(self.Ut_array, self.Ut)
        if self.Ut_array[0] == 0:
            self.ET = self.DT
        if self.ET < self.DT and self.ET > 0:
            self.ET -= 1
        if self.Ut_array[0] > self.Ut_array[1]:
            self.ET = self.DT - 1
        self.Yt = 0 if self.ET > 0 else 1


class PlainTOFF(PlainTON):
    def call(self):
        dataStore(self.Ut_array, self.Ut)
        if self.Ut_array[0] > 0:
            self.ET = self.DT
        if self.ET < self.DT and self.ET > 0:
            self.ET -= 1
        if self.Ut_array[0] < self.Ut_array[1]:
            self.ET = self.DT - 1
        self.Yt = 1 if self.ET > 0 else 0


class PlainRS:
    S, R, Q, nQ = 0, 0, False, True

    def __init__(self):
        self.Q_array = np.array([0], dtype=bool)

    def call(self):
        if self.S and not self.R:
            self.Q = True
        elif self.R:
            self.Q = False
        else:
            self.Q = self.Q_array[0]
        dataStore(self.Q_array, self.Q)
        self.nQ = not self.Q


def rows():
    """Steady-state call() of each block beside its floor and its plain-Python twin; each
    block is first driven into the state named (inputs fixed from then on)."""
    cases = [("TONtrigger.call, input on, count done", TONtrigger, PlainTON, "TimerFloor", {"Ut": 1}),
             ("TONtrigger.call, input off", TONtrigger, PlainTON, "TimerFloor", {"Ut": 0}),
             ("TOFFtrigger.call, input on", TOFFtrigger, PlainTOFF, "TimerFloor", {"Ut": 1}),
             ("RStrigger.call, hold", RStrigger, PlainRS, "LatchFloor", {"S": 0, "R": 0}),
             ("RStrigger.call, set", RStrigger, PlainRS, "LatchFloor", {"S": 1, "R": 0})]
    env, stmts = {}, {}
    for k, (name, cls, plain, floor, inputs) in enumerate(cases):
        objs = {"b": cls(), "p": plain()}
        if _benchfloor is not None:
            f = getattr(_benchfloor, floor)()
            f.Ut_array = np.zeros(2, dtype=int)
            f.Q_array = np.zeros(1, dtype=bool)
            objs["f"] = f
        for tag, o in objs.items():
            for a, v in inputs.items():
                setattr(o, a, v)
            for _ in range(5):
                o.call()
            env[f"{tag}{k}"] = o
            stmts[f"{tag}{k}"] = (f"{tag}{k}.call()", 50_000 if tag != "p" else 5_000)
    t = measure(stmts, env)
    out = []
    for k, (name, *_rest) in enumerate(cases):
        b = t[f"b{k}"]
        if _benchfloor is not None:
            out.append((f"{name} vs no-op call() reading the same attributes", b, t[f"f{k}"], slower(b, t[f"f{k}"])))
        out.append((f"{name} vs plain Python", b, t[f"p{k}"], slower(b, t[f"p{k}"])))
    return out



if __name__ == "__main__":
    main(rows, _benchfloor)
