"""Tuning sweep: a grid of PI tunings for one loop of the 2x3 plant, run on a Dask cluster.

Each grid point is a closed loop of a few thousand samples (the demo's scenario: tracking, switch
to automatic, set-point steps, load disturbance) with the swept tuning on the CV2 <- MV1 loop and
the demo's tuning on CV1 <- MV2. The simulator and controllers are built once, sent to the workers
by pickle, and copied for every grid point, so every run starts from the same state.

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

SWEPT = ("CV2", "MV1")
FIXED = ("CV1", "MV2", 0.0267, 1.5)  # the demo's lambda tuning of the other loop


def template():
    """The blocks every grid point starts from: the plant and both controllers."""
    sim = MIMOSim(PLANT, INITIAL, Ts=TS)
    fixed = PID(TS)
    fixed.setPIDParam(KP=FIXED[2], TI=FIXED[3])
    swept = PID(TS)
    return sim, fixed, swept


def closed_loop_iae(blocks, kp, ti, samples):
    """IAE of both loops for one tuning of the swept loop; the blocks are copied, never changed."""
    sim, fixed, swept = copy.deepcopy(blocks)
    swept.setPIDParam(KP=kp, TI=ti)
    loops = [(FIXED[0], FIXED[1], fixed), (SWEPT[0], SWEPT[1], swept)]
    u = {mv: INITIAL[mv] for mv in sim.get_mv_list()}
    y = sim()
    iae = {cv: 0.0 for cv, _, _ in loops}
    start, length, bump = LOAD
    for k in range(samples):
        mode = 1 if k >= AUTO_FROM else 0
        u["MV3"] = INITIAL["MV3"] + (bump if start <= k < start + length else 0.0)
        for cv, mv, pid in loops:
            sp = set_point(cv, k)
            pv = float(y[cv])
            u[mv] = pid.run(mode, sp, pv, u[mv])
            if mode:
                iae[cv] += abs(sp - pv) * TS
        y = sim(u)
        if not np.isfinite(y[SWEPT[0]]):
            return float("inf"), float("inf")
    return iae[FIXED[0]], iae[SWEPT[0]]


def sweep_row(blocks, kp, tis, samples):
    return [closed_loop_iae(blocks, kp, ti, samples) for ti in tis]


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
        return tqdm(total=total, unit="row", desc="sweep")

    class Plain:
        def __init__(self):
            self.n = 0

        def update(self, k):
            self.n += k
            if enabled:
                print(f"\rsweep: {self.n}/{total} rows", end="", flush=True)

        def close(self):
            if enabled:
                print()

    return Plain()


def sweep(kps, tis, samples, client=None, progress=False):
    """IAE array of shape (len(kps), len(tis), 2): one task per KP row on the cluster, or a plain loop."""
    blocks = template()
    out = np.empty((len(kps), len(tis), 2))
    bar = _progress(len(kps), progress)
    if client is None:
        for i, kp in enumerate(kps):
            out[i] = sweep_row(blocks, float(kp), [float(t) for t in tis], samples)
            bar.update(1)
    else:
        import cloudpickle
        from distributed import as_completed

        # Workers need not have this script on their path: its functions travel by value.
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
        cloudpickle.register_pickle_by_value(sys.modules["closed_loop"])
        shared = client.scatter(blocks, broadcast=True, hash=False)  # a key of its own per sweep
        futures = {client.submit(sweep_row, shared, float(kp), [float(t) for t in tis], samples, pure=False): i
                   for i, kp in enumerate(kps)}
        for fut in as_completed(futures):
            out[futures[fut]] = fut.result()
            bar.update(1)
    bar.close()
    return out


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
    ap.add_argument("--serial", action="store_true", help="plain loop, no Dask")
    ap.add_argument("--grid", type=int, default=40, help="grid points per axis (default 40)")
    ap.add_argument("--samples", type=int, default=2000, help="samples per closed loop (default 2000)")
    ap.add_argument("--out", default=os.path.join(HERE, "..", "out", "tuning_sweep"), help="output path stem")
    args = ap.parse_args(argv)

    kps, tis = grid(args.grid)

    def timed(client=None):
        t0 = time.perf_counter()
        result = sweep(kps, tis, args.samples, client, progress=True)
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
    print(f"{args.grid}x{args.grid} tunings x {args.samples} samples in {elapsed:.1f} s (cluster start-up excluded)")
    print(f"best tuning: KP {kp:.4g}, TI {ti:.4g} s, IAE {best:.1f}")
    print(f"results saved to {out}.csv")
    print(f"heat map saved to {out}.png")


if __name__ == "__main__":
    main()
