"""RateLimit.__call__ per sample, side by side in one run with the binding floor (a no-op
__call__ with the same named arguments built with the same instance-vectorcall helper) and the
same block in plain Python. The target lies far away, so every call takes a limited step."""

import pathlib
import sys

from bench_pid import main, measure, slower, table  # table: the suite's interface (run_all)
from corvane.algorithm.slewlimit import RateLimit

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from signal_reference import PlainRateLimit  # noqa: E402

try:
    from corvane.algorithm import _benchfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = None


def rows():
    env = {"r": RateLimit(0.0), "plain": PlainRateLimit(0.0), "x": 1e12}
    stmts = {
        "pos": ("r(x)", 200_000),
        "kw": ("r(u_end=x, PRLimPerMin=60, NRLimPerMin=30)", 200_000),
        "plain": ("plain(x)", 50_000),
    }
    if _benchfloor is not None:
        env["fl"] = _benchfloor.RateFloor()
        stmts.update({"fl_pos": ("fl(x)", 200_000),
                      "fl_kw": ("fl(u_end=x, PRLimPerMin=60, NRLimPerMin=30)", 200_000)})
    t = measure(stmts, env, rounds=9)
    out = []
    if _benchfloor is not None:
        out += [
            ("RateLimit() positional vs same-machinery no-op", t["pos"], t["fl_pos"],
             slower(t['pos'], t['fl_pos'])),
            ("RateLimit() keywords vs same-machinery no-op", t["kw"], t["fl_kw"], slower(t['kw'], t['fl_kw'])),
        ]
    out.append(("RateLimit() vs plain-Python RateLimit", t["pos"], t["plain"], f"{t['plain'] / t['pos']:.1f}x faster"))
    if _benchfloor is not None:  # no native call can beat this ratio
        out.append(("same-machinery no-op vs plain-Python RateLimit (ceiling)", t["fl_pos"], t["plain"],
                    f"{t['plain'] / t['fl_pos']:.1f}x faster"))
    return out


if __name__ == "__main__":
    main(rows, _benchfloor)
