import csv
import os
import sys

import distributed  # the test extra installs it: no skip
import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import tuning_sweep  # noqa: E402
from closed_loop import AUTO_FROM, INITIAL, LOAD, PLANT, TS, set_point  # noqa: E402

from corvane.algorithm.loopcontrol import PID  # noqa: E402
from corvane.algorithm.multiloop import MIMOSim  # noqa: E402


def by_hand(kp, ti, samples):
    """The scenario as a sample loop of its own over the blocks' API: IAE of (CV1, CV2)."""
    sim = MIMOSim(PLANT, INITIAL, Ts=TS)
    fixed, swept = PID(TS), PID(TS)
    fixed.setPIDParam(KP=0.0267, TI=1.5)
    swept.setPIDParam(KP=kp, TI=ti)
    loops = [("CV1", "MV2", fixed), ("CV2", "MV1", swept)]
    u = {mv: INITIAL[mv] for mv in sim.get_mv_list()}
    y, iae = sim(), {"CV1": 0.0, "CV2": 0.0}
    start, length, bump = LOAD
    for k in range(samples):
        mode = 1 if k >= AUTO_FROM else 0
        u["MV3"] = INITIAL["MV3"] + (bump if start <= k < start + length else 0.0)
        for cv, mv, pid in loops:
            sp, pv = set_point(cv, k), float(y[cv])
            u[mv] = pid.run(mode, sp, pv, u[mv])
            if mode:
                iae[cv] += abs(sp - pv) * TS
        y = sim(u)
    return [iae["CV1"], iae["CV2"]]


def test_native_grid_equals_the_python_api_and_a_loop_by_hand():
    kps, tis = tuning_sweep.grid(5)
    kps, tis = kps[[0, 2, 4]], tis[[0, 3]]
    native = tuning_sweep.sweep(kps, tis, 900, chunk=4)  # two chunks, the second short
    assert np.array_equal(native, tuning_sweep.sweep(kps, tis, 900, native=False))
    expected = [[by_hand(float(kp), float(ti), 900) for ti in tis] for kp in kps]
    assert native.tolist() == expected and (native > 0).all()


def test_cluster_sweep_equals_serial_bit_for_bit():
    kps, tis = tuning_sweep.grid(4)
    kps, tis = kps[:3], tis[::2]
    serial = tuning_sweep.sweep(kps, tis, 600, threads=1)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            clustered = tuning_sweep.sweep(kps, tis, 600, client, chunk=2)
    assert serial.shape == (3, 2, 2) and np.isfinite(serial).all()
    assert np.array_equal(serial, clustered)
    # every grid point runs on a copy of the loop: repeating a point repeats its result
    assert tuning_sweep.sweep(kps[:1], tis[:1], 600)[0, 0].tolist() == serial[0, 0].tolist()


def test_command_line_writes_results_and_heat_map(tmp_path):
    stem = tmp_path / "sweep"
    tuning_sweep.main(["--serial", "--grid", "3", "--samples", "300", "--chunk", "4", "--out", str(stem)])
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
