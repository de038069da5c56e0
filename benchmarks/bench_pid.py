"""PID.run per call, measured side by side with its anchors in one run.

Anchors: the binding floor (a no-op method with the same five named arguments built
with the same binding machinery, i.e. the blocks' vectorcall helper; one written
directly against the vectorcall API; one dispatched by nanobind's generic
function dispatcher), the same algorithm in plain Python, and simple_pid called
per sample.
"""

import sys
import timeit

from corvane.algorithm.loopcontrol import PID

try:
    from corvane.algorithm import _benchfloor, _rawfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = _rawfloor = None

try:
    import simple_pid
except ImportError:
    simple_pid = None


class PlainPID:
    """The velocity-form algorithm in plain Python, with the same state and saved values."""

    def __init__(self, TS=1.0):
        self._iniFlag = True
        self._TS = TS
        self.setPIDParam()
        self.setOPHighLowLimit()

    def setPIDParam(self, KP=1.0, TI=60.0, TD=0.0, N=10.0):
        self._KP = KP
        self._TI = max(TI, 0.0)
        self._TD = max(TD, 0.0)
        self._N = max(N, 1e-6)

    def setOPHighLowLimit(self, OP_HI=100.0, OP_LO=0.0):
        if OP_HI >= OP_LO:
            self._OP_HI = float(OP_HI)
            self._OP_LO = float(OP_LO)
        else:
            print("Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!")

    def _setInnerSaveState(self, OP_save, OPcal_save, dOP_save, dOP_P_save, dOP_I_save, dOP_D_save, dFF_save):
        self._OP_save = OP_save
        self._OPcal_save = OPcal_save
        self._dOP_save = dOP_save
        self._dOP_P_save = dOP_P_save
        self._dOP_I_save = dOP_I_save
        self._dOP_D_save = dOP_D_save
        self._dFF_save = dFF_save

    def _resetPID(self, SP, PV, TV, FF):
        self._et1 = float(SP - PV)
        self._et2 = float(SP - PV)
        self._OP1 = float(TV)
        self._FF1 = float(FF)
        self._dOPD1 = 0.0
        self._iniFlag = False
        self._setInnerSaveState(OP_save=TV, OPcal_save=TV, dOP_save=0.0, dOP_P_save=0.0, dOP_I_save=0.0,
                                dOP_D_save=0.0, dFF_save=0.0)

    def run(self, MODE, SP, PV, TV, FF=0.0):
        MODE, SP, PV, TV, FF = float(MODE), float(SP), float(PV), float(TV), float(FF)
        if self._iniFlag:
            self._resetPID(SP, PV, TV, FF)
        if round(MODE) == 1:
            return self.PID_Auto(SP, PV, FF)
        OP = min(max(TV, self._OP_LO), self._OP_HI)
        self._resetPID(SP, PV, TV, FF)
        return OP

    def PID_Auto(self, SP, PV, FF=0.0):
        SP, PV, FF = float(SP), float(PV), float(FF)
        Kp, TI, TD, N, TS = self._KP, self._TI, self._TD, self._N, self._TS
        et = SP - PV
        det = et - self._et1
        ddet = et - 2 * self._et1 + self._et2
        dOP_P = Kp * det
        dOP_I = Kp * TS / TI * et if TI > 0 else 0
        if TD > 0:
            tao = TD / N
            dOP_D = (tao * self._dOPD1 + Kp * TD * ddet) / max(tao + TS, 1e-6)
        else:
            dOP_D = 0
        dFF = FF - self._FF1
        dOP = dOP_P + dOP_I + dOP_D + dFF
        OPcal = dOP + self._OP1
        OP = min(max(OPcal, self._OP_LO), self._OP_HI)
        self._setInnerSaveState(OP_save=OP, OPcal_save=OPcal, dOP_save=dOP, dOP_P_save=dOP_P, dOP_I_save=dOP_I,
                                dOP_D_save=dOP_D, dFF_save=dFF)
        self._et2 = self._et1
        self._et1 = et
        self._OP1 = OP
        self._FF1 = FF
        self._dOPD1 = dOP_D
        return OP


def per_call_ns(stmt, env, number=100_000, repeat=15):
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def measure(stmts, env, rounds=5):
    """Best time per call of each statement, the statements taking turns so that
    a slow spell of the machine hits them all alike."""
    best = {name: float("inf") for name in stmts}
    for _ in range(rounds):
        for name, (stmt, number) in stmts.items():
            best[name] = min(best[name], per_call_ns(stmt, env, number=number, repeat=3))
    return best


def rows():
    """[(name, corvane ns, anchor ns, ratio text)] for PID.run."""
    pid = PID()
    pid.setPIDParam(KP=2.0, TI=30.0, TD=1.0, N=10.0)
    pid.run(0, 50.0, 49.0, 40.0)
    plain = PlainPID()
    plain.setPIDParam(KP=2.0, TI=30.0, TD=1.0, N=10.0)
    plain.run(0, 50.0, 49.0, 40.0)
    env = {"pid": pid, "plain": plain, "sp": 50.0, "pv": 49.5, "tv": 40.0}
    stmts = {
        "pos": ("pid.run(1, sp, pv, tv)", 100_000),
        "kw": ("pid.run(MODE=1, SP=sp, PV=pv, TV=tv, FF=0.0)", 100_000),
        "plain": ("plain.run(1, sp, pv, tv)", 20_000),
    }
    if _benchfloor is not None:
        env["nbf"] = _benchfloor.Floor()
        env["rawf"] = _rawfloor.Floor()
        stmts.update({
            "fl_pos": ("nbf.run(1, sp, pv, tv)", 100_000),
            "fl_kw": ("nbf.run(MODE=1, SP=sp, PV=pv, TV=tv, FF=0.0)", 100_000),
            "nb_pos": ("nbf.run_nb(1, sp, pv, tv)", 100_000),
            "raw_pos": ("rawf.run(1, sp, pv, tv)", 100_000),
            "raw_kw": ("rawf.run(MODE=1, SP=sp, PV=pv, TV=tv, FF=0.0)", 100_000),
        })
    if simple_pid is not None:
        env["spid"] = simple_pid.PID(2.0, 2.0 / 30.0, 2.0, setpoint=50.0, sample_time=None,
                                     output_limits=(0.0, 100.0))
        stmts["simple"] = ("spid(pv, dt=1.0)", 20_000)
    t = measure(stmts, env)
    t_pos, t_kw = t["pos"], t["kw"]
    out = []
    if _benchfloor is not None:
        out += [
            ("PID.run positional vs same-machinery no-op", t_pos, t["fl_pos"], slower(t_pos, t['fl_pos'])),
            ("PID.run keywords vs same-machinery no-op", t_kw, t["fl_kw"], slower(t_kw, t['fl_kw'])),
            ("PID.run positional vs hand-written vectorcall no-op", t_pos, t["raw_pos"],
             slower(t_pos, t['raw_pos'])),
            ("PID.run keywords vs hand-written vectorcall no-op", t_kw, t["raw_kw"],
             slower(t_kw, t['raw_kw'])),
            ("PID.run positional vs nanobind-dispatched no-op", t_pos, t["nb_pos"],
             f"{t['nb_pos'] / t_pos:.2f}x faster"),
        ]
    out.append(("PID.run vs plain-Python PID", t_pos, t["plain"], f"{t['plain'] / t_pos:.1f}x faster"))
    if simple_pid is not None:
        out.append(("PID.run vs simple_pid.PID per sample", t_pos, t["simple"], f"{t['simple'] / t_pos:.1f}x faster"))
    return out


def slower(ours, anchor):
    r = ours / anchor
    return f"{r:.2f}x slower" if r >= 1 else f"{1 / r:.2f}x faster"


def main(rows, floor):
    """Prints a suite's table, saying so when the binding-floor module is missing."""
    if floor is None:
        print("binding-floor module not built: run `make bench`", file=sys.stderr)
    print(table(rows()))


def table(rs):
    lines = ["| benchmark | corvane (ns/call) | anchor (ns/call) | ratio |", "|---|---:|---:|---|"]
    lines += [f"| {name} | {a:.1f} | {b:.1f} | {r} |" for name, a, b, r in rs]
    return "\n".join(lines)


if __name__ == "__main__":
    if _benchfloor is None:
        print("binding-floor modules not built: run `make bench`", file=sys.stderr)
    print(table(rows()))
