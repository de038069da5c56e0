"""LDLAG per call and per block, measured side by side with its anchors in one run.

Anchors per call: the binding floor (a no-op with the same argument and result type on the same
call path, the type's call slot; one written directly against the vectorcall API), the filter in
plain Python as the algorithm states it (one scipy lfilter call per sample), the same difference
equation hand-inlined in plain Python, and scipy.signal.lfilter called per sample.
Per block: multi_step on 10**6 samples against scipy.signal.lfilter with a state on the same array.
"""

import math
import timeit

import numpy as np
from scipy import signal

from bench_pid import main, slower, table  # table: the suite's interface (run_all)

from corvane.algorithm.phasefilter import LDLAG

try:
    from corvane.algorithm import _benchfloor, _rawfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = _rawfloor = None


class PlainLDLAG:
    """The lead-lag block in plain Python, on scipy's discretisation and filter."""

    def __init__(self, alpha=0.0, tao=5.0, Ts=1, u_ini=None, y_ini=None):
        self._Ts = Ts
        self._alpha = float(alpha)
        self._tao = float(tao)
        self._u_ini = u_ini
        self._y_ini = y_ini
        self._modify_param()

    def _modify_param(self):
        if self._tao == 0:
            num, den = [1.0], [1.0]
        elif self._alpha == 0 and self._tao > 0:
            num, den, _ = signal.cont2discrete(([1.0], [self._tao, 1.0]), dt=self._Ts)
            num = [num[0][1]]
        else:
            num, den, _ = signal.cont2discrete(([self._alpha * self._tao, 1.0], [self._tao, 1.0]), dt=self._Ts)
            num = num[0]
        self._b = np.array(num, dtype=float)
        self._a = np.array(den, dtype=float)
        if self._u_ini is not None and self._y_ini is not None:
            self._zi = signal.lfiltic(self._b, self._a, [self._y_ini], [self._u_ini])
        else:
            self._zi = None

    def __call__(self, u):
        if self._zi is None:
            self._zi = signal.lfiltic(self._b, self._a, [u], [u])
        y, self._zi = signal.lfilter(self._b, self._a, [u], zi=self._zi)
        self._u_ini = u
        self._y_ini = y[0]
        return y[0]


class InlineLDLAG:
    """The same difference equation hand-inlined in plain Python (floats, no numpy)."""

    def __init__(self, alpha=0.0, tao=5.0, Ts=1):
        p = math.exp(-Ts / tao)
        self.b0, self.b1, self.a1 = (alpha, 1 - p - alpha, -p) if alpha else (1 - p, 0.0, -p)
        self.z = None

    def __call__(self, u):
        u = float(u)
        if self.z is None:
            self.z = self.b1 * u - self.a1 * u
        y = self.z + self.b0 * u
        self.z = self.b1 * u - self.a1 * y
        return y


def per_call_ns(stmt, env, number, repeat=3):
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def measure(stmts, env, rounds=5):
    """Best time per call of each statement, the statements taking turns."""
    best = {name: float("inf") for name in stmts}
    for _ in range(rounds):
        for name, (stmt, number) in stmts.items():
            best[name] = min(best[name], per_call_ns(stmt, env, number))
    return best


def rows():
    """[(name, corvane ns, anchor ns, ratio text)] for LDLAG."""
    f = LDLAG(0.5, 5.0)
    f(1.0)
    plain = PlainLDLAG(0.5, 5.0)
    plain(1.0)
    inline = InlineLDLAG(0.5, 5.0)
    inline(1.0)
    b, a = f._b, f._a
    env = {"f": f, "plain": plain, "inline": inline, "u": 1.25, "lfilter": signal.lfilter, "b": b, "a": a,
           "zi": f._zi.copy()}
    stmts = {
        "pos": ("f(u)", 200_000),
        "kw": ("f(u=u)", 200_000),
        "plain": ("plain(u)", 2_000),
        "inline": ("inline(u)", 100_000),
        "lfilter1": ("lfilter(b, a, [u], zi=zi)", 2_000),
    }
    if _benchfloor is not None:
        env["fl"] = _benchfloor.CallFloor()
        env["raw"] = _rawfloor.CallFloor()
        stmts.update({"fl_pos": ("fl(u)", 200_000), "fl_kw": ("fl(u=u)", 200_000), "raw_pos": ("raw(u)", 200_000)})
    t = measure(stmts, env, rounds=9)

    n = 10**6
    x = np.random.default_rng(7).standard_normal(n)
    g = LDLAG(0.5, 5.0)
    g(0.0)
    env2 = {"g": g, "x": x, "lfilter": signal.lfilter, "b": b, "a": a, "zi": g._zi.copy()}
    tb = measure({"multi": ("g.multi_step(x)", 5), "scipy": ("lfilter(b, a, x, zi=zi)", 5)}, env2, rounds=3)

    out = []
    if _benchfloor is not None:
        out += [
            ("LDLAG.__call__ positional vs same-machinery no-op", t["pos"], t["fl_pos"],
             slower(t['pos'], t['fl_pos'])),
            ("LDLAG.__call__ keyword vs same-machinery no-op", t["kw"], t["fl_kw"], slower(t['kw'], t['fl_kw'])),
            ("LDLAG.__call__ positional vs hand-written vectorcall no-op", t["pos"], t["raw_pos"],
             slower(t['pos'], t['raw_pos'])),
        ]
    out += [
        ("LDLAG.__call__ vs plain-Python LDLAG (lfilter per sample)", t["pos"], t["plain"],
         f"{t['plain'] / t['pos']:.0f}x faster"),
        ("LDLAG.__call__ vs hand-inlined plain-Python difference equation", t["pos"], t["inline"],
         f"{t['inline'] / t['pos']:.1f}x faster"),
        ("LDLAG.__call__ vs scipy.signal.lfilter per sample", t["pos"], t["lfilter1"],
         f"{t['lfilter1'] / t['pos']:.0f}x faster"),
        ("LDLAG.multi_step vs scipy.signal.lfilter, 10^6 samples (ns/sample)", tb["multi"] / n, tb["scipy"] / n,
         f"{tb['scipy'] / tb['multi']:.2f}x faster"),
    ]
    return out



if __name__ == "__main__":
    main(rows, _benchfloor)
