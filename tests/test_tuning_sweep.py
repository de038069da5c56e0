import csv
import os
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))
distributed = pytest.importorskip("distributed")

import tuning_sweep  # noqa: E402


def test_cluster_sweep_equals_serial_bit_for_bit(tmp_path):
    kps, tis = tuning_sweep.grid(4)
    kps, tis = kps[:3], tis[::2]
    serial = tuning_sweep.sweep(kps, tis, 600)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            clustered = tuning_sweep.sweep(kps, tis, 600, client)
    assert serial.shape == (3, 2, 2) and np.isfinite(serial).all()
    assert np.array_equal(serial, clustered)
    # the template blocks are copied per grid point: repeating a point repeats its result
    assert tuning_sweep.sweep(kps[:1], tis[:1], 600)[0, 0].tolist() == serial[0, 0].tolist()


def test_command_line_writes_results_and_heat_map(tmp_path):
    stem = tmp_path / "sweep"
    tuning_sweep.main(["--serial", "--grid", "3", "--samples", "300", "--out", str(stem)])
    with open(tmp_path / "sweep.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["KP", "TI", "IAE_CV1", "IAE_CV2", "IAE_total"] and len(rows) == 1 + 9
    table = np.array([[float(cell) for cell in row] for row in rows[1:]])  # every cell a plain number
    # the cells are the sweep's own numbers, exactly: the grid, both loops' IAE and their sum
    kps, tis = tuning_sweep.grid(3)
    iae = tuning_sweep.sweep(kps, tis, 300)
    assert table[:, :2].tolist() == [[kp, ti] for kp in kps for ti in tis]
    assert table[:, 2:4].tolist() == iae.reshape(9, 2).tolist()
    assert table[:, 4].tolist() == (table[:, 2] + table[:, 3]).tolist() and (table[:, 2:] > 0).all()
    assert os.path.getsize(tmp_path / "sweep.png") > 10_000
