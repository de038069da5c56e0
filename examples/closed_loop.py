"""Closed-loop demo: design and run two PI loops on a 2x3 process simulated by MIMOSim.

The steps a control engineer takes, in order:

1. Look at the plant: the unit-step response of every (CV, MV) pair (get_model_stp).
2. Pair the loops by the relative gain array (RGA) of the steady-state gains. MV3 drives CV2
   through an integrator and is not used for control; it is the disturbance input.
3. Tune each loop from its model: fit a first-order-plus-dead-time (FOPDT) model to the step
   response (two-point method) and apply the lambda (IMC) rule KP = tau / (K (lambda + theta)),
   TI = tau.
4. Run the closed loop: both controllers track the MVs while the plant is in manual, switch to
   automatic (bumpless), follow set-point steps and reject a load disturbance.

Prints the design and a summary per loop, and saves two figures under out/.
"""

import logging
import os

import matplotlib
import numpy as np

if not os.environ.get("DISPLAY"):
    matplotlib.use("Agg")
import matplotlib.pyplot as plt

logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)

from corvane.algorithm.loopcontrol import PID
from corvane.algorithm.multiloop import MIMOSim, get_model_stp

TS = 1  # sample period [s]
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
CONTROL_MVS = ["MV1", "MV2"]  # MV3 integrates into CV2: a disturbance input, held by the operator
STP_LEN = 600

# Scenario (sample numbers)
AUTO_FROM = 100  # manual (tracking) before, automatic from here on
SP_STEPS = {"CV1": [(200, +2.0)], "CV2": [(450, -3.0)]}
LOAD = (750, 20, 0.3)  # MV3 bumped by +0.3 for 20 samples: CV2 shifts by about 6
N_SAMPLES = 1100


def steady_state_gains(stp, cvs, mvs):
    """Final values of the unit-step responses (an empty list: no effect)."""
    return np.array([[stp[cv][mv][-1] if stp[cv][mv] else 0.0 for mv in mvs] for cv in cvs], dtype=float)


def relative_gain_array(G):
    return G * np.linalg.inv(G).T


def pair_by_rga(cvs, mvs, rga):
    """The pairing whose relative gains are positive and closest to 1 (2x2: one of two)."""
    straight = [(0, 0), (1, 1)]
    crossed = [(0, 1), (1, 0)]
    best = min((straight, crossed), key=lambda p: sum(abs(rga[i, j] - 1) + (1e9 if rga[i, j] <= 0 else 0)
                                                      for i, j in p))
    return [(cvs[i], mvs[j]) for i, j in best]


def fit_fopdt(step, ts):
    """Two-point fit of K exp(-theta s) / (tau s + 1) to a unit-step response."""
    y = np.asarray(step, dtype=float)
    gain = y[-1]
    t = (np.arange(len(y)) + 1) * ts  # element k is the value after the (k+1)-th sample
    t28 = t[np.argmax(y >= 0.283 * gain)]
    t63 = t[np.argmax(y >= 0.632 * gain)]
    tau = 1.5 * (t63 - t28)
    theta = max(t63 - tau, ts)
    return gain, tau, theta


def lambda_tuning(gain, tau, theta, lam):
    return tau / (gain * (lam + theta)), tau


def design(stp):
    cvs = list(PLANT)
    G = steady_state_gains(stp, cvs, CONTROL_MVS)
    rga = relative_gain_array(G)
    print("steady-state gains (rows CV1, CV2; columns MV1, MV2):")
    print(np.array2string(G, precision=3))
    print("relative gain array:")
    print(np.array2string(rga, precision=3))
    loops = []
    for cv, mv in pair_by_rga(cvs, CONTROL_MVS, rga):
        gain, tau, theta = fit_fopdt(stp[cv][mv], TS)
        lam = max(0.5 * tau, 2.0 * theta)  # moderate: twice the open-loop speed, two dead times at least
        kp, ti = lambda_tuning(gain, tau, theta, lam)
        print(f"{cv} <- {mv}: FOPDT K={gain:.3f} tau={tau:.1f} s theta={theta:.1f} s; "
              f"lambda={lam:.1f} s -> KP={kp:.4f}, TI={ti:.1f} s")
        loops.append(dict(cv=cv, mv=mv, K=gain, tau=tau, theta=theta, kp=kp, ti=ti))
    return loops, G, rga


def set_point(cv, k):
    return INITIAL[cv] + sum(d for start, d in SP_STEPS[cv] if k >= start)


def run(loops):
    sim = MIMOSim(PLANT, INITIAL, Ts=TS)
    pids = {}
    for lp in loops:
        pid = PID(TS)
        pid.setPIDParam(KP=lp["kp"], TI=lp["ti"])
        pid.setOPHighLowLimit(100.0, 0.0)
        pids[lp["cv"]] = pid
    u = {mv: INITIAL[mv] for mv in sim.get_mv_list()}
    y = sim()
    trend = {"t": [], "MV3": []}
    for lp in loops:
        for s in ("SP", "PV", "OP"):
            trend[f"{lp['cv']}.{s}"] = []
    start, length, bump = LOAD
    for k in range(N_SAMPLES):
        mode = 1 if k >= AUTO_FROM else 0
        u["MV3"] = INITIAL["MV3"] + (bump if start <= k < start + length else 0.0)
        for lp in loops:
            cv, mv = lp["cv"], lp["mv"]
            sp = set_point(cv, k)
            # TV: the MV's current value, so the switch to automatic is bumpless.
            u[mv] = pids[cv].run(MODE=mode, SP=sp, PV=float(y[cv]), TV=u[mv])
            trend[f"{cv}.SP"].append(sp)
            trend[f"{cv}.PV"].append(float(y[cv]))
            trend[f"{cv}.OP"].append(u[mv])
        trend["t"].append(k * TS)
        trend["MV3"].append(u["MV3"])
        y = sim(u)
    return trend


def summary(loops, trend):
    for lp in loops:
        cv, mv = lp["cv"], lp["mv"]
        err = np.array(trend[f"{cv}.SP"]) - np.array(trend[f"{cv}.PV"])
        iae = np.abs(err[AUTO_FROM:]).sum() * TS
        print(f"{cv} with {mv}: final error {err[-1]:+.4f}, IAE {iae:.2f}, final {mv} {trend[f'{cv}.OP'][-1]:.3f}")


def plot_step_responses(stp, loops, path):
    cvs, mvs = list(stp), list(next(iter(stp.values())))
    fig, axes = plt.subplots(len(cvs), len(mvs), figsize=(4.2 * len(mvs), 3.2 * len(cvs)), squeeze=False)
    paired = {(lp["cv"], lp["mv"]): lp for lp in loops}
    for i, cv in enumerate(cvs):
        for j, mv in enumerate(mvs):
            ax = axes[i][j]
            resp = stp[cv][mv]
            ax.set_title(f"{cv} response to a unit step of {mv}" + (" (paired)" if (cv, mv) in paired else ""),
                         fontsize=10)
            if not resp:
                # An empty panel: no axes to read, only the text.
                ax.set_xticks([])
                ax.set_yticks([])
                ax.text(0.5, 0.5, "no effect", ha="center", va="center", transform=ax.transAxes)
                continue
            t = (np.arange(len(resp)) + 1) * TS
            ax.plot(t, resp, label="model step response")
            lp = paired.get((cv, mv))
            if lp is not None:
                fit = np.where(t > lp["theta"], lp["K"] * (1 - np.exp(-(t - lp["theta"]) / lp["tau"])), 0.0)
                ax.plot(t, fit, "--", label="FOPDT fit (used for tuning)")
                ax.legend(loc="lower right", fontsize=8)
            ax.set_xlabel("time [s]")
            ax.set_ylabel(f"{cv} [units per unit {mv}]")
            ax.grid(True)
    fig.suptitle("Plant step responses (MV3 integrates into CV2)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_trends(loops, trend, path):
    t = np.array(trend["t"])
    fig, axes = plt.subplots(len(loops), 2, figsize=(13, 3.8 * len(loops)), sharex=True, squeeze=False)
    start, length, _ = LOAD
    for row, lp in enumerate(loops):
        cv, mv = lp["cv"], lp["mv"]
        ax_pv, ax_op = axes[row]
        ax_pv.plot(t, trend[f"{cv}.SP"], "k--", label=f"{cv} set point")
        ax_pv.plot(t, trend[f"{cv}.PV"], label=f"{cv} measurement")
        ax_pv.set_ylabel(f"{cv} [eng. units]")
        ax_pv.set_title(f"Loop {cv} <- {mv} (KP {lp['kp']:.3f}, TI {lp['ti']:.1f} s)")
        ax_op.plot(t, trend[f"{cv}.OP"], color="tab:orange", label=f"{mv} (controller output)")
        if cv == "CV2":
            ax_op.plot(t, trend["MV3"], color="tab:red", lw=0.9, label="MV3 (load disturbance)")
        ax_op.set_ylabel("MV [%]")
        ax_op.set_title(f"Manipulated variables of loop {cv}")
        for ax in (ax_pv, ax_op):
            ax.axvspan(0, AUTO_FROM * TS, color="0.9", label="manual (tracking)")
            ax.axvline(AUTO_FROM * TS, color="grey", lw=1.0)
            ax.annotate("switch to automatic", xy=(AUTO_FROM * TS, 0.95), xycoords=("data", "axes fraction"),
                        xytext=(5, 0), textcoords="offset points", fontsize=8, va="top")
            ax.axvline(start * TS, color="tab:red", lw=0.8, ls=":")
            ax.annotate("load disturbance", xy=(start * TS, 0.05), xycoords=("data", "axes fraction"),
                        xytext=(5, 0), textcoords="offset points", fontsize=8, color="tab:red")
            ax.grid(True)
            ax.legend(loc="best", fontsize=8)
    for ax in axes[-1]:
        ax.set_xlabel("time [s]")
    fig.suptitle("Closed loop on the 2x3 plant: tracking, switch to automatic, set-point steps, load disturbance")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    out = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out"))
    os.makedirs(out, exist_ok=True)
    stp = get_model_stp(PLANT, TS, STP_LEN)
    loops, _, _ = design(stp)
    trend = run(loops)
    summary(loops, trend)
    stp_path = os.path.join(out, "plant_step_responses.png")
    plot_step_responses(stp, loops, stp_path)
    print(f"step responses saved to {stp_path}")
    trend_path = os.path.join(out, "closed_loop.png")
    plot_trends(loops, trend, trend_path)
    print(f"trend plot saved to {trend_path}")


if __name__ == "__main__":
    main()
