"""AntiWindupLimter.run per sample, side by side in one run with the binding floor (a no-op run
with the same named arguments built with the same vectorcall helper) and the same block in
plain Python. The input alternates so that the output moves between the limits and inside."""

import pathlib
import sys

from bench_pid import main, measure, slower, table  # table: the suite's interface (run_all)
from corvane.algorithm.clampguard import AntiWindupLimter

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from signal_reference import PlainAntiWindup  # noqa: E402

try:
    from corvane.algorithm import _benchfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = None


def rows():
    env = {"a": AntiWindupLimter(), "plain": PlainAntiWindup(), "x": 50.0, "hi": 80.0, "lo": 10.0}
    env["a"].run(0.0)
    env["plain"].run(0.0)
    stmts = {
        "pos": ("a.run(x)", 200_000),
        "kw": ("a.run(u=x, HI=hi, LO=lo)", 200_000),
        "plain": ("plain.run(x)", 50_000),
    }
    if _benchfloor is not None:
        env["fl"] = _benchfloor.ClampFloor()
        stmts.update({"fl_pos": ("fl.run(x)", 200_000), "fl_kw": ("fl.run(u=x, HI=hi, LO=lo)", 200_000)})
    t = measure(stmts, env, rounds=9)
    out = []
    if _benchfloor is not None:
        out += [
            ("AntiWindupLimter.run positional vs same-machinery no-op", t["pos"], t["fl_pos"],
             slower(t['pos'], t['fl_pos'])),
            ("AntiWindupLimter.run keywords vs same-machinery no-op", t["kw"], t["fl_kw"],
             slower(t['kw'], t['fl_kw'])),
        ]
    out.append(("AntiWindupLimter.run vs plain-Python limiter", t["pos"], t["plain"],
                f"{t['plain'] / t['pos']:.1f}x faster"))
    if _benchfloor is not None:  # no native call can beat this ratio
        out.append(("same-machinery no-op vs plain-Python limiter (ceiling)", t["fl_pos"], t["plain"],
                    f"{t['plain'] / t['fl_pos']:.1f}x faster"))
    return out


if __name__ == "__main__":
    main(rows, _benchfloor)
