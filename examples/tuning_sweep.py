"""Tuning sweep: a grid of PI tunings for one loop of the 2x3 plant, run natively on a Dask cluster.

Each grid point is a closed loop of a few thousand samples (the demo's scenario: tracking, switch
to automatic, set-point steps, load disturbance) with the swept tuning on the CV2 <- MV1 loop and
the demo's tuning on CV1 <- MV2. The loop (plant and both controllers, wired once) is built once and
sent to the workers by pickle; each task copies it for every grid point of its chunk and runs the
copies with `corvane.loop.run_many`, natively and on threads, so every run starts from the same state.

    python examples/tuning_sweep.py                          # LocalCluster, 2 workers, 40 x 40 grid
    python examples/tuning_sweep.py --scheduler tcp://host:8786
    python examples/tuning_sweep.py --grid 10 --samples 1500 --serial

Writes <out>.csv (one row per tuning) and <out>.png (heat map of the integral of absolute error,
best tuning marked).
"""

import argparse
import copy
import csv
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from closed_loop import AUTO_FROM, INITIAL, LOAD, PLANT, TS, set_point  # noqa: E402

from corvane.algorithm.loopcontrol import PID  # noqa: E402
from corvane.algorithm.multiloop import MIMOSim  # noqa: E402
from corvane.loop import Loop, run_many  # noqa: E402

SWEPT = ("CV2", "MV1")
FIXED = ("CV1", "MV2", 0.0267, 1.5)  # the demo's lambda tuning of the other loop
LOOPS = {"fixed": FIXED[:2], "swept": SWEPT}  # controller -> (CV, MV)
RECORD = [f"plant.{cv}" for cv, _ in LOOPS.values()]


def template():
    """The loop every grid point starts from: both controllers, then the plant, so each controller reads the
    CV of the last sample (the plant's initial value in the first) and tracks its own last output."""
    fixed = PID(TS)
    fixed.setPIDParam(KP=FIXED[2], TI=FIXED[3])
    loop = Loop()
    for name, pid in (("fixed", fixed), ("swept", PID(TS))):
        cv, mv = LOOPS[name]
        loop.add(name, pid, MODE="mode", SP=f"SP_{cv}", PV=f"plant.{cv}", TV=f"{name}.OP")
        loop.initial(f"{name}.OP", INITIAL[mv])
    mvs = {mv: f"{name}.OP" for name, (_, mv) in LOOPS.items()}
    loop.add("plant", MIMOSim(PLANT, INITIAL, Ts=TS), MV3="MV3", **mvs)
    for cv, _ in LOOPS.values():
        loop.initial(f"plant.{cv}", INITIAL[cv])
    return loop


def scenario(samples):
    """The loop's inputs: the mode (tracking, then automatic), both set points and the load on MV3."""
    k = np.arange(samples)
    start, length, bump = LOAD
    inputs = {"mode": (k >= AUTO_FROM).astype(float),
              "MV3": INITIAL["MV3"] + np.where((k >= start) & (k < start + length), bump, 0.0)}
    for cv, _ in LOOPS.values():
        inputs[f"SP_{cv}"] = np.array([set_point(cv, i) for i in range(samples)], dtype=float)
    return inputs


def iae(trace, inputs):
    """IAE of both loops in automatic, (fixed, swept); inf for both when the swept loop's CV left the numbers.
    The error of sample k is the set point against the CV the controller read: the plant's output of sample
    k - 1. The sum runs in sample order (cumsum), as a running total in a sample loop would."""
    cv_swept = f"plant.{SWEPT[0]}"
    if not np.isfinite(trace[cv_swept]).all():
        return float("inf"), float("inf")
    result = []
    for cv, _ in LOOPS.values():
        pv = np.r_[INITIAL[cv], trace[f"plant.{cv}"][:-1]]
        err = np.abs(inputs[f"SP_{cv}"] - pv)[AUTO_FROM:] * TS
        result.append(float(np.cumsum(err)[-1]) if len(err) else 0.0)
    return tuple(result)


def sweep_chunk(loop, points, samples, native=True, threads=None):
    """IAE array of shape (len(points), 2) for (KP, TI) points: copies of `loop`, one per point, run together
    by `run_many` on `threads` threads (default: one per core); native=False steps each copy through the
    blocks' own Python API instead."""
    inputs = scenario(samples)
    loops = []
    for kp, ti in points:
        lp = copy.deepcopy(loop)
        lp.blocks["swept"].setPIDParam(KP=kp, TI=ti)
        loops.append(lp)
    if native:
        traces = run_many(loops, samples, inputs, RECORD, workers=threads)
    else:
        traces = [lp.run(samples, inputs, RECORD, native=False) for lp in loops]
    return np.array([iae(t, inputs) for t in traces]).reshape(len(points), 2)


def _task(loop, points, samples, native):
    """One Dask task: a chunk on as many threads as the worker was given."""
    from distributed import get_worker

    return sweep_chunk(loop, points, samples, native, threads=get_worker().state.nthreads)


def grid(n):
    kps = np.round(np.geomspace(0.02, 2.0, n), 5)
    tis = np.round(np.geomspace(10.0, 200.0, n), 3)
    return kps, tis


def _progress(total, enabled):
    try:
        from tqdm import tqdm
    except ImportError:
        tqdm = None
    if tqdm is not None and enabled:
        return tqdm(total=total, unit="run", desc="sweep")

    class Plain:
        def __init__(self):
            self.n = 0

        def update(self, k):
            self.n += k
            if enabled:
                print(f"\rsweep: {self.n}/{total} runs", end="", flush=True)

        def close(self):
            if enabled:
                print()

    return Plain()


def sweep(kps, tis, samples, client=None, progress=False, chunk=100, native=True, threads=None):
    """IAE array of shape (len(kps), len(tis), 2): the grid in chunks of `chunk` points, one task per chunk on
    the cluster, or one after another here (`threads` per chunk, default one per core)."""
    loop = template()
    points = [(float(kp), float(ti)) for kp in kps for ti in tis]
    chunks = [points[i:i + chunk] for i in range(0, len(points), chunk)]
    out = np.empty((len(points), 2))
    bar = _progress(len(points), progress)
    if client is None:
        for i, part in enumerate(chunks):
            out[i * chunk:i * chunk + len(part)] = sweep_chunk(loop, part, samples, native, threads)
            bar.update(len(part))
    else:
        import cloudpickle
        from distributed import as_completed

        # Workers need not have this script on their path: its functions travel by value.
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
        cloudpickle.register_pickle_by_value(sys.modules["closed_loop"])
        shared = client.scatter(loop, broadcast=True, hash=False)  # a key of its own per sweep
        futures = {client.submit(_task, shared, part, samples, native, pure=False): i for i, part in enumerate(chunks)}
        for fut in as_completed(futures):
            i = futures[fut]
            out[i * chunk:i * chunk + len(chunks[i])] = fut.result()
            bar.update(len(chunks[i]))
    bar.close()
    return out.reshape(len(kps), len(tis), 2)


def write_csv(path, kps, tis, iae):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["KP", "TI", "IAE_CV1", "IAE_CV2", "IAE_total"])
        for i, kp in enumerate(kps):
            for j, ti in enumerate(tis):
                a, b = (float(x) for x in iae[i, j])
                w.writerow([float(kp), float(ti), a, b, a + b])  # plain numbers: str(float) round-trips


def plot_heat_map(path, kps, tis, iae):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    total = iae.sum(axis=2)
    finite = np.where(np.isfinite(total), total, np.nan)
    i, j = np.unravel_index(np.nanargmin(finite), finite.shape)
    fig, ax = plt.subplots(figsize=(8, 6.5))
    mesh = ax.pcolormesh(tis, kps, finite, shading="nearest", norm=LogNorm(), cmap="viridis")
    fig.colorbar(mesh, ax=ax, label="IAE of both loops (log scale)")
    ax.plot(tis[j], kps[i], "r*", ms=16, label=f"best: KP {kps[i]:.3g}, TI {tis[j]:.3g} s (IAE {total[i, j]:.0f})")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("TI of the CV2 <- MV1 loop [s]")
    ax.set_ylabel("KP of the CV2 <- MV1 loop [MV1 units per CV2 unit]")
    ax.set_title("Tuning sweep: integral of absolute error (bright: oscillating or saturated)")
    ax.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return kps[i], tis[j], total[i, j]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scheduler", help="address of an existing Dask scheduler (default: a LocalCluster)")
    ap.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    ap.add_argument("--serial", action="store_true", help="no Dask: the chunks one after another in this process")
    ap.add_argument("--threads", type=int, default=None,
                    help="with --serial: threads that run a chunk's loops (default: one per core)")
    ap.add_argument("--chunk", type=int, default=100, help="grid points per task (default 100)")
    ap.add_argument("--grid", type=int, default=40, help="grid points per axis (default 40)")
    ap.add_argument("--samples", type=int, default=2000, help="samples per closed loop (default 2000)")
    ap.add_argument("--out", default=os.path.join(HERE, "..", "out", "tuning_sweep"), help="output path stem")
    args = ap.parse_args(argv)
    if args.chunk < 1 or args.grid < 1 or args.samples < 1 or (args.threads is not None and args.threads < 1):
        ap.error("--chunk, --grid, --samples and --threads are whole numbers >= 1")

    kps, tis = grid(args.grid)

    def timed(client=None):
        t0 = time.perf_counter()
        result = sweep(kps, tis, args.samples, client, progress=True, chunk=args.chunk, threads=args.threads)
        return result, time.perf_counter() - t0

    if args.serial:
        iae, elapsed = timed()
    else:
        from distributed import Client, LocalCluster

        if args.scheduler:
            with Client(args.scheduler) as client:
                iae, elapsed = timed(client)
        else:
            with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                iae, elapsed = timed(client)
    out = os.path.normpath(args.out)
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    write_csv(out + ".csv", kps, tis, iae)
    kp, ti, best = plot_heat_map(out + ".png", kps, tis, iae)
    print(f"{args.grid}x{args.grid} tunings x {args.samples} samples in {elapsed:.2f} s (cluster start-up excluded)")
    print(f"best tuning: KP {kp:.4g}, TI {ti:.4g} s, IAE {best:.1f}")
    print(f"results saved to {out}.csv")
    print(f"heat map saved to {out}.png")


if __name__ == "__main__":
    main()
