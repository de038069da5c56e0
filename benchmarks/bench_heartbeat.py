"""WatchDog per call, measured side by side with its anchors in one run.

Anchors: the binding floor (a no-op obj(MaxOut=0) through the blocks' instance-vectorcall
helper) and the same counter in plain Python.
"""


from bench_pid import main, measure, slower, table  # table: the suite's interface (run_all)
from corvane.algorithm.heartbeat import WatchDog

try:
    from corvane.algorithm import _benchfloor
except ImportError:  # built only with CORVANE_BENCH_FLOOR=ON (make bench)
    _benchfloor = None


class PlainWatchDog:
    def __init__(self):
        self.ticks = 0

    def __call__(self, MaxOut=0):
        self.ticks = (self.ticks + 1) % int(MaxOut + 1)
        return self.ticks


def rows():
    """MaxOut 99 keeps every result a cached small int; with MaxOut 9999 most results are new
    int objects (the plain-Python counter pays that too, the no-op floor does not)."""
    env = {"w": WatchDog(), "w2": WatchDog(), "plain": PlainWatchDog(), "plain2": PlainWatchDog()}
    stmts = {"pos": ("w(99)", 100_000), "kw": ("w(MaxOut=99)", 100_000), "plain": ("plain(99)", 50_000),
             "pos2": ("w2(9999)", 100_000), "plain2": ("plain2(9999)", 50_000)}
    if _benchfloor is not None:
        env["fl"] = _benchfloor.WatchDogFloor()
        stmts.update({"fl_pos": ("fl(99)", 100_000), "fl_kw": ("fl(MaxOut=99)", 100_000)})
    t = measure(stmts, env)
    out = []
    if _benchfloor is not None:
        out += [("WatchDog(99) positional vs same-machinery no-op", t["pos"], t["fl_pos"], slower(t["pos"], t["fl_pos"])),
                ("WatchDog(MaxOut=99) keyword vs same-machinery no-op", t["kw"], t["fl_kw"],
                 slower(t["kw"], t["fl_kw"]))]
    out += [("WatchDog(99) vs plain Python", t["pos"], t["plain"], slower(t["pos"], t["plain"])),
            ("WatchDog(9999) vs plain Python", t["pos2"], t["plain2"], slower(t["pos2"], t["plain2"]))]
    return out



if __name__ == "__main__":
    main(rows, _benchfloor)
