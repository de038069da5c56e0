"""TestSignal per call, measured side by side with its anchors in one run.

Anchors: the binding floor (a no-op __call__ with the same named argument, built
with the same binding machinery) and the same generator in plain Python.
"""

import pathlib
import sys

from bench_pid import main, measure, slower, table  # table: the suite's interface (run_all)

from corvane.algorithm.excitation import TestSignal

try:
    from corvane.algorithm import _benchfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = None

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from excitation_reference import PlainTestSignal  # noqa: E402



def rows():
    """[(name, corvane ns, anchor ns, ratio text)] for TestSignal.__call__."""
    env = {"sig": TestSignal(1), "plain": PlainTestSignal(1), "t": 1_733_000_123}
    stmts = {"pos": ("sig(t)", 100_000), "kw": ("sig(t=t)", 100_000), "plain": ("plain(t)", 10_000)}
    if _benchfloor is not None:
        env["floor"] = _benchfloor.SignalFloor()
        stmts.update({"fl_pos": ("floor(t)", 100_000), "fl_kw": ("floor(t=t)", 100_000)})
    t = measure(stmts, env)
    out = []
    if _benchfloor is not None:
        out += [
            ("TestSignal(t) vs same-machinery no-op returning a new 6-tuple", t["pos"], t["fl_pos"], slower(t["pos"], t["fl_pos"])),
            ("TestSignal(t=t) vs same-machinery no-op returning a new 6-tuple", t["kw"], t["fl_kw"], slower(t["kw"], t["fl_kw"])),
        ]
    out.append(("TestSignal(t) vs plain-Python generator", t["pos"], t["plain"], f"{t['plain'] / t['pos']:.1f}x faster"))
    return out



if __name__ == "__main__":
    main(rows, _benchfloor)
