"""Closed-loop demo: a PID on a first-order process with dead time.

The loop starts in tracking (the controller output follows the valve position),
switches to automatic, then follows two set-point steps. Prints a summary and
saves a trend plot to out/closed_loop.png.
"""

import math
import os
import sys

from corvane.algorithm.loopcontrol import PID

TS = 1.0
GAIN, TAU, DEAD = 2.0, 20.0, 3  # process: GAIN / (TAU*s + 1), dead time in samples


class FirstOrderProcess:
    """y(k+1) = a*y(k) + GAIN*(1-a)*u(k-DEAD), exact zero-order hold."""

    def __init__(self, y0=0.0, u0=0.0):
        self.a = math.exp(-TS / TAU)
        self.y = y0
        self.u_hist = [u0] * (DEAD + 1)

    def __call__(self, u):
        self.u_hist = [u] + self.u_hist[:-1]
        self.y = self.a * self.y + GAIN * (1 - self.a) * self.u_hist[-1]
        return self.y


def main():
    pid = PID(TS)
    pid.setPIDParam(KP=0.4, TI=18.0, TD=0.0)
    pid.setOPHighLowLimit(100.0, 0.0)
    plant = FirstOrderProcess(y0=40.0, u0=20.0)

    valve, pv = 20.0, 40.0
    log = []
    for k in range(300):
        mode = 0 if k < 20 else 1
        sp = 40.0 if k < 60 else (60.0 if k < 180 else 50.0)
        op = pid.run(MODE=mode, SP=sp, PV=pv, TV=valve)
        valve = op
        pv = plant(valve)
        log.append((k * TS, mode, sp, pv, op))

    for start, stop, label in [(60, 180, "step 40 -> 60"), (180, 300, "step 60 -> 50")]:
        seg = log[start:stop]
        iae = sum(abs(sp - pv) for _, _, sp, pv, _ in seg) * TS
        print(f"{label}: final error {seg[-1][2] - seg[-1][3]:+.4f}, IAE {iae:.2f}")
    t, mode, sp, pv, op = log[-1]
    print(f"final: SP {sp:.2f}  PV {pv:.4f}  OP {op:.4f}")

    try:
        import matplotlib
        if not os.environ.get("DISPLAY"):
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot", file=sys.stderr)
        return
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out")
    os.makedirs(out, exist_ok=True)
    ts = [r[0] for r in log]
    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(9, 6), sharex=True)
    ax1.plot(ts, [r[2] for r in log], "k--", label="SP")
    ax1.plot(ts, [r[3] for r in log], label="PV")
    ax1.axvline(20 * TS, color="grey", lw=0.8)
    ax1.legend()
    ax1.grid(True)
    ax2.plot(ts, [r[4] for r in log], color="tab:orange", label="OP")
    ax2.legend()
    ax2.grid(True)
    ax2.set_xlabel("time")
    fig.tight_layout()
    path = os.path.normpath(os.path.join(out, "closed_loop.png"))
    fig.savefig(path, dpi=90)
    print(f"trend plot saved to {path}")


if __name__ == "__main__":
    main()
