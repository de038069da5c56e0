"""Closed-loop demo: two PID loops on a 2x3 process simulated by MIMOSim.

The plant is the model dictionary below (CV1 and CV2 driven by MV1..MV3, first-order
lags with dead times, a discrete transfer function, a step response and an
integrating path). CV1 is controlled with MV1 and CV2 with MV2; MV3 is held. Both loops
start in tracking, switch to automatic, then follow set-point steps. Prints a summary
per loop and saves a trend plot and the plant's step-response figure under out/.
"""

import logging
import os

import matplotlib

if not os.environ.get("DISPLAY"):
    matplotlib.use("Agg")
import matplotlib.pyplot as plt

# The step-response figure asks for a CJK-capable font first; stay quiet when it is absent.
logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)

from corvane.algorithm.loopcontrol import PID
from corvane.algorithm.multiloop import MIMOSim, plot_model_stp

TS = 1
PLANT = {
    "CV1": {
        "MV1": {"mode": "tf_s", "num_s": [0, 4.05], "den_s": [50, 1], "iodelay_s": 25},
        "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7], "iodelay_z": 0, "IntegralMark": 0},
    },
    "CV2": {
        "MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
        "MV2": {"mode": "stp", "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5, 4, 3, 3, 3, 3]},
        "MV3": {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2, "IntegralMark": 1},
    },
}
INITIAL = {"CV1": 10.0, "CV2": 20.0, "MV1": 15.0, "MV2": 16.0, "MV3": 17.0}
# The two loops interact strongly: with CV1 under control, a move of MV2 ends up
# acting on CV2 against its open-loop direction (MV2 also moves CV1, which MV1 then
# corrects, and MV1 moves CV2 even more). The CV2 loop therefore has a negative gain.
LOOPS = [  # (CV, MV, KP, TI, set-point schedule: (from sample, SP))
    ("CV1", "MV1", 0.2, 60.0, [(0, 10.0), (100, 14.0), (500, 12.0)]),
    ("CV2", "MV2", -0.05, 40.0, [(0, 20.0), (300, 22.0)]),
]
N_SAMPLES, AUTO_FROM = 900, 30


def set_point(schedule, k):
    return [sp for start, sp in schedule if start <= k][-1]


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out")
    os.makedirs(out, exist_ok=True)
    sim = MIMOSim(PLANT, INITIAL, Ts=TS)
    pids = {}
    for cv, mv, kp, ti, _ in LOOPS:
        pid = PID(TS)
        pid.setPIDParam(KP=kp, TI=ti)
        pid.setOPHighLowLimit(100.0, 0.0)
        pids[cv] = pid

    u = {mv: INITIAL[mv] for mv in sim.get_mv_list()}
    y = sim()
    trend = {name: [] for name in ["k"] + [f"{cv}.{s}" for cv, *_ in LOOPS for s in ("SP", "PV", "OP")]}
    for k in range(N_SAMPLES):
        mode = 1 if k >= AUTO_FROM else 0
        for cv, mv, _, _, schedule in LOOPS:
            sp = set_point(schedule, k)
            u[mv] = pids[cv].run(MODE=mode, SP=sp, PV=float(y[cv]), TV=u[mv])
            trend[f"{cv}.SP"].append(sp)
            trend[f"{cv}.PV"].append(float(y[cv]))
            trend[f"{cv}.OP"].append(u[mv])
        trend["k"].append(k * TS)
        y = sim(u)

    for cv, mv, *_ in LOOPS:
        err = [sp - pv for sp, pv in zip(trend[f"{cv}.SP"], trend[f"{cv}.PV"])]
        iae = sum(abs(e) for e in err[AUTO_FROM:]) * TS
        print(f"{cv} with {mv}: final error {err[-1]:+.4f}, IAE {iae:.2f}, final {mv} {trend[f'{cv}.OP'][-1]:.3f}")

    fig, axes = plt.subplots(len(LOOPS), 2, figsize=(12, 3.5 * len(LOOPS)), sharex=True, squeeze=False)
    for row, (cv, mv, *_rest) in enumerate(LOOPS):
        ax_pv, ax_op = axes[row]
        ax_pv.plot(trend["k"], trend[f"{cv}.SP"], "k--", label=f"{cv} SP")
        ax_pv.plot(trend["k"], trend[f"{cv}.PV"], label=f"{cv} PV")
        ax_op.plot(trend["k"], trend[f"{cv}.OP"], color="tab:orange", label=f"{mv} (OP)")
        for ax in (ax_pv, ax_op):
            ax.axvline(AUTO_FROM * TS, color="grey", lw=0.8)
            ax.grid(True)
            ax.legend(loc="best")
    axes[-1][0].set_xlabel("time")
    axes[-1][1].set_xlabel("time")
    fig.tight_layout()
    trend_path = os.path.normpath(os.path.join(out, "closed_loop.png"))
    fig.savefig(trend_path, dpi=90)
    plt.close(fig)
    print(f"trend plot saved to {trend_path}")

    plot_model_stp(PLANT, TS, 120)  # draws and shows the step-response panels
    stp_path = os.path.normpath(os.path.join(out, "plant_step_responses.png"))
    plt.gcf().savefig(stp_path, dpi=60)
    plt.close("all")
    print(f"step responses saved to {stp_path}")


if __name__ == "__main__":
    main()
