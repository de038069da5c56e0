"""Tuning sweep (examples/tuning_sweep.py) on a Dask LocalCluster with one and with two worker
processes, against the same sweep as a plain loop without Dask; measured in one run.
Cluster start-up is excluded; task submission and result transfer are included."""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))

import tuning_sweep  # noqa: E402

GRID, SAMPLES = 16, 1500


def _timed(client=None):
    kps, tis = tuning_sweep.grid(GRID)
    t0 = time.perf_counter()
    tuning_sweep.sweep(kps, tis, SAMPLES, client)
    return time.perf_counter() - t0


def rows():
    from distributed import Client, LocalCluster

    plain = _timed()
    out = []
    for n in (1, 2):
        with LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            with Client(cluster) as client:
                _timed(client)  # warm-up: workers import the package
                out.append((f"{GRID}x{GRID} tunings x {SAMPLES} samples, {n} worker{'s' if n > 1 else ''}",
                            _timed(client)))
    rs = [(name, t, plain, plain / t) for name, t in out]
    rs.append(("2 workers vs 1 worker", out[1][1], out[0][1], out[0][1] / out[1][1]))
    return rs


def table(rs):
    lines = ["| benchmark | Dask (s) | reference (s) | ratio |", "|---|---:|---:|---|"]
    for name, t, ref, ratio in rs:
        text = f"{ratio:.2f}x faster" if ratio >= 1 else f"{1 / ratio:.2f}x slower"
        ref_name = "1 worker" if "vs 1 worker" in name else "plain loop"
        lines.append(f"| {name} | {t:.2f} | {ref:.2f} ({ref_name}) | {text} |")
    return "\n".join(lines)


if __name__ == "__main__":
    print(table(rows()))
