"""Delay.__call__ and Delay_Algorithm.call per sample, side by side in one run with the binding
floor (a no-op __call__ with the same named arguments, built with the same instance-vectorcall
helper, and one dispatched by nanobind) and the same blocks in plain Python."""

import pathlib
import sys

from bench_pid import main, measure, slower, table  # table: the suite's interface (run_all)
from corvane.algorithm.deadtime import Delay, Delay_Algorithm

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from signal_reference import PlainDelay, PlainDelayAlgorithm  # noqa: E402

try:
    from corvane.algorithm import _benchfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = None


def rows():
    env = {"d": Delay(), "plain": PlainDelay(), "x": 1.5, "blk": Delay_Algorithm(), "pblk": PlainDelayAlgorithm()}
    env["d"](0.0)
    env["plain"](0.0)
    for b in (env["blk"], env["pblk"]):
        b.nLag, b.Ut = 30, 1.5
    stmts = {
        "pos": ("d(x)", 200_000),
        "kw": ("d(Ut=x, nLag=30)", 200_000),
        "plain": ("plain(x)", 50_000),
        "blk": ("blk.call()", 100_000),
        "pblk": ("pblk.call()", 20_000),
    }
    if _benchfloor is not None:
        env["fl"], env["nbf"] = _benchfloor.DelayFloor(), _benchfloor.NbCallFloor()
        stmts.update({"fl_pos": ("fl(x)", 200_000), "fl_kw": ("fl(Ut=x, nLag=30)", 200_000),
                      "nb_pos": ("nbf(x)", 200_000)})
    t = measure(stmts, env, rounds=9)
    out = []
    if _benchfloor is not None:
        out += [
            ("Delay() positional vs same-machinery no-op", t["pos"], t["fl_pos"], slower(t['pos'], t['fl_pos'])),
            ("Delay() keywords vs same-machinery no-op", t["kw"], t["fl_kw"], slower(t['kw'], t['fl_kw'])),
            ("Delay() positional vs nanobind-dispatched __call__ no-op", t["pos"], t["nb_pos"],
             f"{t['nb_pos'] / t['pos']:.2f}x faster"),
        ]
    out.append(("Delay() vs plain-Python Delay", t["pos"], t["plain"], f"{t['plain'] / t['pos']:.1f}x faster"))
    if _benchfloor is not None:  # no native call can beat this ratio
        out.append(("same-machinery no-op vs plain-Python Delay (ceiling)", t["fl_pos"], t["plain"],
                    f"{t['plain'] / t['fl_pos']:.1f}x faster"))
    out.append(("Delay_Algorithm.call (nLag 30) vs plain Python", t["blk"], t["pblk"],
                f"{t['pblk'] / t['blk']:.1f}x faster"))
    return out


if __name__ == "__main__":
    main(rows, _benchfloor)
