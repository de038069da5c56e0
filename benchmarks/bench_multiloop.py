"""MIMOSim per sample and get_model_stp, measured side by side against
(a) the same simulation in plain Python with one scipy.signal.lfilter call per
model per sample and (b) the C++ core alone (compiled here at run time, -O3 as the package).

Run: .venv/bin/python benchmarks/bench_multiloop.py
"""

import os

# Idle BLAS worker threads left spinning by set-up calls would compete with the
# timed loops on a small machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np  # noqa: E402

from corvane.algorithm import multiloop as ml  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
from multiloop_reference import EXAMPLE, RefMIMO, ref_model_stp  # noqa: E402
from multiloop_reference import INI as EXAMPLE_INI  # noqa: E402



def plant_20x20(seed=0):
    """20 CVs x 20 MVs of K/((T1 s + 1)(T2 s + 1)) with dead times of 0..10 samples."""
    rng = np.random.default_rng(seed)
    model = {}
    for i in range(20):
        row = {}
        for j in range(20):
            t1, t2 = rng.uniform(5, 40), rng.uniform(1, 10)
            row[f"MV{j + 1}"] = {"mode": "tf_s", "num_s": [0, 0, float(rng.uniform(-2, 2))],
                                 "den_s": [t1 * t2, t1 + t2, 1], "iodelay_s": int(rng.integers(0, 11))}
        model[f"CV{i + 1}"] = row
    ini = {f"MV{j + 1}": 50.0 for j in range(20)} | {f"CV{i + 1}": 10.0 for i in range(20)}
    return model, ini


def with_dead_time(model, samples):
    """The model with every tf_s dead time set to `samples` (as with a 1-second sample time)."""
    return {cv: {mv: {**m, "iodelay_s": samples} if m.get("mode") == "tf_s" else m for mv, m in row.items()}
            for cv, row in model.items()}


def inputs(sim, n, seed=1):
    """n MV dictionaries, keyed by the simulator's own tag objects as a control loop would."""
    rng = np.random.default_rng(seed)
    mvs = sim.get_mv_list()
    base = np.array([float(sim.ini_value_dict.get(mv, 0.0)) for mv in mvs])
    steps = base + rng.normal(0, 1, size=(n, len(mvs)))
    return [dict(zip(mvs, map(float, row))) for row in steps]


def per_sample(sim, us, repeat=7):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for u in us:
            sim(u)
        best = min(best, (time.perf_counter() - t0) / len(us))
    return best


DRIVER = r"""
#include <corvane/mimo.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>

int main(int argc, char** argv) {
    std::ifstream in(argv[1]);
    size_t ncv, nmv, nsamples, reps, copies;
    in >> ncv >> nmv >> nsamples >> reps >> copies;
    // `copies` plants of the same model, each with its own state, all
    // stepped every sample (as a blended plant steps its local plants).
    std::vector<corvane::MimoPlant> plants(copies);
    for (auto& p : plants) p.resize(ncv, nmv);
    corvane::MimoPlant& p = plants[0];
    for (auto& v : p.u_ini) in >> v;
    for (auto& v : p.y_ini) in >> v;
    for (size_t i = 0; i < ncv * nmv; ++i) {
        size_t nb, na;
        int on;
        in >> on >> nb >> na;
        std::vector<double> b(nb), a(na);
        for (auto& v : b) in >> v;
        for (auto& v : a) in >> v;
        p.active[i] = (unsigned char) on;
        if (on) p.model(i / nmv, i % nmv).assign(b.data(), nb, a.data(), na);
    }
    for (size_t c = 1; c < copies; ++c) plants[c] = p;
    std::vector<double> u(nsamples * nmv), v(ncv, 0.0), y(ncv);
    for (auto& x : u) in >> x;
    // The first pass checks the outputs against the simulator's.
    for (size_t k = 0; k < nsamples; ++k) {
        for (auto& q : plants) q.step(&u[k * nmv], v.data(), y.data());
        if (k < 3)
            for (double x : y) std::printf("%a ", x);
    }
    std::printf("\n");
    double best = 1e30;
    for (size_t r = 0; r < reps; ++r) {
        for (auto& q : plants) q.reset_states();
        auto t0 = std::chrono::steady_clock::now();
        for (size_t k = 0; k < nsamples; ++k)
            for (auto& q : plants) q.step(&u[k * nmv], v.data(), y.data());
        auto t1 = std::chrono::steady_clock::now();
        double dt = std::chrono::duration<double>(t1 - t0).count() / nsamples;
        if (dt < best) best = dt;
    }
    std::printf("%.17g %.17g\n", best, y[0]);
}
"""


def build_driver(tmp):
    cxx = shutil.which(os.environ.get("CXX", "g++"))
    if cxx is None:
        return None
    src = pathlib.Path(tmp) / "mimo_core.cpp"
    exe = pathlib.Path(tmp) / "mimo_core"
    src.write_text(DRIVER)
    subprocess.run([cxx, "-O3", "-ffp-contract=off", "-std=c++20", f"-I{ROOT / 'cpp'}", str(src), "-o", str(exe)],
                   check=True)
    return exe


def core_per_sample(exe, tmp, model, ini, us, reps=5, copies=1):
    """Time of the core alone on the coefficients the simulator built: `copies`
    plants of the model, each stepped every sample; the best of `reps` passes."""
    sim = ml.MIMOSim(model, ini, 1)
    cvs, mvs = sim.get_cv_list(), sim.get_mv_list()
    fmt = repr  # shortest round-trip decimal: read back exactly
    lines = [f"{len(cvs)} {len(mvs)} {len(us)} {reps} {copies}",
             " ".join(fmt(float(ini.get(mv, 0.0))) for mv in mvs),
             " ".join(fmt(float(ini.get(cv, 0.0))) for cv in cvs)]
    for cv in cvs:
        for mv in mvs:
            m = sim.yu_model_obj[cv][mv]
            if isinstance(m, ml.tfz_model):
                b, a = m.Gz_num, m.Gz_den
                lines.append(f"1 {len(b)} {len(a)} " + " ".join(fmt(float(x)) for x in [*b, *a]))
            else:
                lines.append("0 0 0")
    lines.append(" ".join(fmt(u[mv]) for u in us for mv in mvs))
    data = pathlib.Path(tmp) / "plant.txt"
    data.write_text("\n".join(lines) + "\n")
    out = subprocess.run([str(exe), str(data)], check=True, capture_output=True, text=True).stdout.splitlines()
    # Same arithmetic, same doubles: the first samples must agree exactly.
    first = [float.fromhex(x) for x in out[0].split()]
    expected = [float(v) for u in us[:3] for v in sim(u).values()]
    if first != expected:
        raise AssertionError("core driver and MIMOSim disagree")
    return float(out[1].split()[0])


def rows():
    result = []
    model20, ini20 = plant_20x20()
    cases = [("worked example (2x3)", EXAMPLE, EXAMPLE_INI, 20000, 200),
             ("worked example, dead times of 120 samples", with_dead_time(EXAMPLE, 120), EXAMPLE_INI, 20000, 200),
             ("20x20 tf_s 2nd order + dead time", model20, ini20, 5000, 40)]
    with tempfile.TemporaryDirectory() as tmp:
        try:
            exe = build_driver(tmp)
        except subprocess.CalledProcessError:
            exe = None
        for name, model, ini, n_fast, n_ref in cases:
            sim = ml.MIMOSim(model, ini, 1)
            us = inputs(sim, n_fast)
            # Rounds that take turns, so that a slow spell of the machine hits every side; the best of each.
            t_sim = t_ref = t_core = float("inf")
            for _ in range(3):
                t_sim = min(t_sim, per_sample(sim, us, repeat=3))
                t_ref = min(t_ref, per_sample(RefMIMO(model, ini, 1), us[:n_ref], repeat=1))
                if exe is not None:
                    t_core = min(t_core, core_per_sample(exe, tmp, model, ini, us))
            result.append((f"MIMOSim per sample, {name} vs plain Python + lfilter", t_sim, t_ref, t_ref / t_sim))
            if exe is not None:
                result.append((f"MIMOSim per sample, {name} vs C++ core alone", t_sim, t_core, t_core / t_sim))
    t0 = time.perf_counter()
    ml.get_model_stp(EXAMPLE, 1, 300)
    t_stp = time.perf_counter() - t0
    t0 = time.perf_counter()
    ref_model_stp(EXAMPLE, 1, 300)
    t_ref = time.perf_counter() - t0
    result.append(("get_model_stp, worked example, 300 samples vs plain Python + lfilter", t_stp, t_ref,
                   t_ref / t_stp))
    return result


def fmt_time(t):
    return f"{t * 1e6:.3f} us" if t < 1e-3 else f"{t * 1e3:.2f} ms"


def table(rs):
    out = ["| benchmark | corvane | reference | ratio |", "|---|---:|---:|---|"]
    for name, t, ref, ratio in rs:
        text = f"{ratio:.1f}x faster" if ratio >= 1 else f"{1 / ratio:.2f}x slower"
        out.append(f"| {name} | {fmt_time(t)} | {fmt_time(ref)} | {text} |")
    return "\n".join(out)


if __name__ == "__main__":
    print(table(rows()))
