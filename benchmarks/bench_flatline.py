"""ConstDect per call, measured side by side with its anchors in one run.

Anchors: the binding floor (a no-op __call__ with the same named arguments, built
with the same binding machinery), the same detector in plain Python (the window
rescanned with numpy per call), and the detector itself with a window of 10
against one of 10000 (a call should cost the same).
"""

import pathlib
import sys

from bench_pid import main, measure, slower, table  # table: the suite's interface (run_all)

from corvane.algorithm.flatline import ConstDect

try:
    from corvane.algorithm import _benchfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = None

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from flatline_reference import PlainConstDect  # noqa: E402



def rows():
    """[(name, corvane ns, anchor ns, ratio text)] for ConstDect.__call__."""
    env = {"u": 42.0}
    for name, cls in (("cd", ConstDect), ("plain", PlainConstDect)):
        for n in (10, 10000):
            env[f"{name}{n}"] = obj = cls()
            for k in range(n + 5):
                obj(42.0 + (k % 3) * 1e-7, n)
    stmts = {
        "d10": ("cd10(u, 10)", 100_000),
        "d10kw": ("cd10(Ut=u, DectLen=10)", 100_000),
        "d10000": ("cd10000(u, 10000)", 100_000),
        "p10": ("plain10(u, 10)", 5_000),
        "p10000": ("plain10000(u, 10000)", 200),
    }
    if _benchfloor is not None:
        env["floor"] = _benchfloor.DetectFloor()
        stmts.update({"fl": ("floor(u, 10)", 100_000), "flkw": ("floor(Ut=u, DectLen=10)", 100_000)})
    t = measure(stmts, env)
    out = []
    if _benchfloor is not None:
        out += [
            ("ConstDect(u, 10) vs same-machinery no-op", t["d10"], t["fl"], slower(t["d10"], t["fl"])),
            ("ConstDect(Ut=u, DectLen=10) vs same-machinery no-op", t["d10kw"], t["flkw"],
             slower(t["d10kw"], t["flkw"])),
        ]
    out += [
        ("ConstDect DectLen 10 vs plain Python", t["d10"], t["p10"], f"{t['p10'] / t['d10']:.1f}x faster"),
        ("ConstDect DectLen 10000 vs plain Python", t["d10000"], t["p10000"], f"{t['p10000'] / t['d10000']:.0f}x faster"),
        ("ConstDect DectLen 10000 vs DectLen 10", t["d10000"], t["d10"],
         f"{(t['d10000'] / t['d10'] - 1) * 100:+.1f} % per call"),
    ]
    return out



if __name__ == "__main__":
    main(rows, _benchfloor)
