"""The simulator rows measured on two builds side by side: this checkout's installed package and an earlier
revision, each in processes of its own, taking turns so that a slow spell of the machine hits both.

    .venv/bin/python benchmarks/compare_builds.py REV          # builds REV into build/compare-REV first
    .venv/bin/python benchmarks/compare_builds.py --site DIR   # an earlier build already installed in DIR

The SISOSim and closed-loop rows are written as a user writes them: y = sim({"MV": op})["CV"], a new dict
each sample.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
ROUNDS = 5


def measure():
    """Seconds per sample (per call for get_model_stp) of each row, the best of a few passes."""
    import numpy as np

    from corvane.algorithm import blendedplant as bp
    from corvane.algorithm import loopcontrol as lc
    from corvane.algorithm import multiloop as ml

    sys.path.insert(0, str(HERE))
    sys.path.insert(0, str(ROOT / "tests"))
    from bench_multiloop import inputs, plant_20x20, with_dead_time
    from multiloop_reference import EXAMPLE, INI

    def best(f, n, passes=5):
        t = float("inf")
        for _ in range(passes):
            t0 = time.perf_counter()
            f()
            t = min(t, (time.perf_counter() - t0) / n)
        return t

    rows = {}
    siso = ml.SISOSim(2.0, 10.0, delay=3)
    ops = [1.0 + 0.001 * k for k in range(20000)]

    def siso_user():
        for op in ops:
            y = siso({"MV": op})["CV"]  # noqa: F841

    rows["SISOSim, y = sim({'MV': op})['CV']"] = best(siso_user, len(ops))

    def closed_loop(n=100_000):
        pid = lc.PID(1)
        pid.setPIDParam(KP=0.5, TI=10.0, TD=0.0)
        pid.setOPHighLowLimit(100.0, 0.0)
        sim = ml.SISOSim(2.0, 10.0, delay=3)
        pv = op = 0.0
        for _ in range(n):
            op = pid.run(1, 1.0, pv, op)
            pv = sim({"MV": op})["CV"]

    rows["PID + SISOSim closed loop, per sample"] = best(closed_loop, 100_000, passes=3)
    model20, ini20 = plant_20x20()
    for name, model, ini, n in [("worked example", EXAMPLE, INI, 20000),
                                ("worked example, 120-sample dead times", with_dead_time(EXAMPLE, 120), INI, 20000),
                                ("20x20 with dead time", model20, ini20, 3000)]:
        sim = ml.MIMOSim(model, ini, 1)
        us = inputs(sim, n)

        def run(sim=sim, us=us):
            for u in us:
                sim(u)

        rows[f"MIMOSim, {name}"] = best(run, n)
    lpv = bp.LPVPlantSim(INI)
    for pid_, wp in enumerate([10.0, 20.0, 30.0, 40.0, 50.0]):
        lpv.addPlant(pid_, wp, EXAMPLE, 1)
    rng = np.random.default_rng(5)
    steps = [(float(rng.uniform(0, 60)), {"MV1": 15 + float(rng.normal()), "MV2": 16 + float(rng.normal()),
                                          "MV3": 17.0}) for _ in range(5000)]

    def lpv_run():
        for w, u in steps:
            lpv(w, u)

    rows["LPVPlantSim, five worked-example plants"] = best(lpv_run, len(steps))
    rows["get_model_stp, worked example, 300 samples (per call)"] = best(lambda: ml.get_model_stp(EXAMPLE, 1, 300), 1)
    return rows


def run_in(site):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    if site:
        env["PYTHONPATH"] = str(site)
    code = "import json, sys; sys.path.insert(0, %r); import compare_builds as c; print(json.dumps(c.measure()))" % str(
        HERE)
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True, text=True, cwd="/")
    return json.loads(out.stdout.splitlines()[-1])


def build(rev):
    site = ROOT / "build" / f"compare-{rev}" / "site"
    if site.exists():
        return site
    src = ROOT / "build" / f"compare-{rev}" / "src"
    subprocess.run(["git", "worktree", "add", "--detach", str(src), rev], cwd=ROOT, check=True)
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", "--target",
                    str(site), f"-Cbuild-dir={src.parent / 'cmake'}", "-Ccmake.define.CORVANE_STUBS=OFF", "."],
                   cwd=src, check=True)
    return site


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("rev", nargs="?", help="an earlier revision to build and compare with")
    ap.add_argument("--site", help="an earlier build installed in this directory")
    args = ap.parse_args()
    if not (args.rev or args.site):
        ap.error("give REV or --site")
    site = pathlib.Path(args.site) if args.site else build(args.rev)
    before, now = {}, {}
    for _ in range(ROUNDS):
        for store, where in ((before, site), (now, None)):
            for k, v in run_in(where).items():
                store[k] = min(store.get(k, v), v)
    label = args.rev or args.site
    print(f"| row | {label} | this build | change |")
    print("|---|---:|---:|---:|")
    for k in now:
        b, n = before[k], now[k]
        unit, f = ("us", 1e6) if n < 1e-3 else ("ms", 1e3)
        print(f"| {k} | {b * f:.3f} {unit} | {n * f:.3f} {unit} | {(n / b - 1) * 100:+.1f} % |")


if __name__ == "__main__":
    main()
