import copy
import io
import math
import pickle
import random
import subprocess
import sys
import time
from collections import deque

import numpy as np
import pytest
import scipy.signal as sig

from corvane.algorithm.inferential import LabDataRecorder, SoftSensorBiasUpdate
from corvane.algorithm.smoothing import sFilter
from hostile import check_foreign_self, check_hostile_states

T = 1.7e9
FMT = "%Y-%m-%d %H:%M:%S"
FIRST = "softSensor: Bias Update is triggered by the first data.\n"
UNCHANGED = "softSensor: Bias Update is not triggered, lab_data or lab_time is unchanged.\n"


class Reference:
    """The bias update written out with deques, bisection on an array and neighbour differences."""

    def __init__(self, abs_threshold, prd_len, const_len):
        self.d, self.t = deque(maxlen=prd_len + 1), deque(maxlen=prd_len + 1)
        self.lab = deque(maxlen=const_len + 2)
        self.thr, self.bias, self.flag = abs_threshold, 0.0, False
        self.cur = (math.nan, math.nan)

    def update(self, lab, lt):
        if abs(lab - self.cur[0]) < self.thr and abs(lt - self.cur[1]) < 0.1:
            return
        if self.t[0] <= lt <= self.t[-1]:
            p = self.d[np.searchsorted(np.array(self.t), lt, side="right") - 1]
            self.bias, self.flag, self.cur = lab - p, True, (lab, lt)

    def run(self, prd, lab, lt, pt, trig=None):
        first = not self.d
        if first:
            while len(self.lab) < self.lab.maxlen:
                self.lab.append(lab)
            for k in range(1, self.d.maxlen + 1):
                self.d.append(prd)
                self.t.appendleft(pt - 60 * k)
        self.d.append(prd), self.t.append(pt), self.lab.append(lab)
        self.flag = False
        if first or (trig is not None and trig > 0.5):
            self.update(lab, lt)
        elif trig is None:
            diff = np.abs(np.diff(np.array(self.lab)))
            if diff[0] >= self.thr and all(diff[1:] < 1e-6):
                self.update(lab, lt)
        return self.bias


def state_of(block):
    return pickle.dumps(block.__getstate__())


# --- sFilter -------------------------------------------------------------------------------------

@pytest.mark.parametrize("num, den, u0, y0", [([1], [5.0, 1], 0.0, 0.0), ([2, 1], [3.0, 4, 1], 1.5, 3.0),
                                              ([0.5], [1.0], 2.0, 1.0)])
def test_sfilter_is_zoh_lfilter_seeded_from_initial_values(num, den, u0, y0):
    b, a, _ = sig.cont2discrete((num, den), 1.0, method="zoh")
    b = b[0]
    zi = sig.lfiltic(b, a, [y0] * (len(a) - 1), [u0] * (len(b) - 1))
    x = np.random.default_rng(1).normal(size=50)
    want = sig.lfilter(b, a, x, zi=zi)[0] if len(zi) else sig.lfilter(b, a, x)
    f = sFilter(num, den, u_ini=u0, y_ini=y0)
    assert f and [f(v) for v in x] == want.tolist()
    g = sFilter(num, den, u0, y0)
    assert [g(u=v) for v in x[:3]] == want[:3].tolist() and type(g(1)) is float


def test_sfilter_refuses_improper_functions_and_bad_samples():
    with pytest.raises(ValueError):
        sFilter([1, 2, 3], [1, 1])
    with pytest.raises(TypeError):
        sFilter([1], [2.0, 1])("x")


# --- SoftSensorBiasUpdate ------------------------------------------------------------------------

def test_first_data_then_recognised_step(capsys):
    s = SoftSensorBiasUpdate(filter_tao=0, const_len=2)
    assert s.run(1.0, 3.0, T - 30, prd_time=T) == 2.0
    assert capsys.readouterr().out == FIRST
    assert s.get_update_flag() is True and s.get_prd_data_at_labtime() == 1.0
    assert list(s._prd_time_list)[:2] == [T - 60 * 28800, T - 60 * 28799] and len(s._prd_time_list) == 28801
    L = T + 2.5  # the prediction stamped T + 2 (2.0) is valid at L
    out = [(s.run(1.0 + k, 5.0, L, prd_time=T + 1 + k), s.get_update_flag()) for k in range(4)]
    assert out == [(2.0, False), (2.0, False), (3.0, True), (3.0, False)]
    assert (s.get_bias(), s.get_lab_data(), s.get_lab_time(), s.get_prd_data_at_labtime()) == (3.0, 5.0, L, 2.0)
    assert capsys.readouterr().out == ""
    s.run(9.0, 5.0, L, prd_time=T + 5, update_trigger=1.0)
    assert capsys.readouterr().out == UNCHANGED and s.get_update_flag() is False
    s._update_bias(5.0, L + 0.05)
    assert capsys.readouterr().out == UNCHANGED
    with pytest.raises(IndexError):
        SoftSensorBiasUpdate()._update_bias(1.0, 2.0)  # nothing buffered yet


@pytest.mark.parametrize("lab_time, bias", [
    (T - 241.001, 0.0), (T + 0.5, 0.0),  # outside the stamps T - 241, T - 181, ..., T - 1, T: nothing happens
    (T - 241, 7.0), (T - 1e-3, 7.0), (T - 1, 7.0), (T, 6.0),
])
def test_lookup_takes_the_prediction_held_at_the_lab_time(lab_time, bias, capsys):
    s = SoftSensorBiasUpdate(filter_tao=0, prd_len=5)
    s.run(1.0, 8.0, T - 1e9, prd_time=T - 1)  # first call, lab time far outside
    assert capsys.readouterr().out == FIRST and s.get_update_flag() is False
    s.run(2.0, 8.0, lab_time, prd_time=T, update_trigger=0.7)
    assert s.get_bias() == bias and capsys.readouterr().out == ""
    assert s.get_update_flag() is (bias != 0.0)
    assert math.isnan(s.get_lab_data()) is (bias == 0.0)


@pytest.mark.parametrize("args, kw, message", [
    ((math.nan, 1.0, 1.0), {}, "prd_data"), ((1.0, math.inf, 1.0), {}, "lab_data"),
    ((1.0, 1.0, -math.inf), {}, "lab_time"), ((1.0, 1.0, 1.0), {"prd_time": math.nan}, "prd_time"),
    ((1.0, 1.0, 1.0), {"update_trigger": math.inf}, "update_trigger"),
])
def test_non_finite_inputs_raise_before_any_change(args, kw, message):
    s = SoftSensorBiasUpdate(name="ss1", prd_len=3)
    before = state_of(s)
    with pytest.raises(ValueError, match=f"^ss1 Bias Update: {message} is not finite!$"):
        s.run(*args, **kw)
    assert state_of(s) == before and len(s._prd_data_list) == 0


@pytest.mark.parametrize("kw, name", [({"name": None}, "name"), ({"prd_len": True}, "prd_len"),
                                      ({"prd_len": 5.0}, "prd_len"), ({"const_len": np.int64(3)}, "const_len")])
def test_constructor_type_checks(kw, name):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        SoftSensorBiasUpdate(**kw)


@pytest.mark.parametrize("kw", [{"prd_time": 5}, {"prd_time": np.float64(5.0)}, {"update_trigger": 1}])
def test_time_and_trigger_must_be_floats(kw):
    s = SoftSensorBiasUpdate(prd_len=3)
    with pytest.raises(TypeError, match=f"Argument '{next(iter(kw))}' has incorrect type"):
        s.run(1, 2, 3, **kw)
    assert s.run(1, 2, 3, prd_time=5.0, update_trigger=None) == 0.0


def test_matches_the_written_out_algorithm_over_random_runs():
    rng = random.Random(3)
    for prd_len, const_len, thr in [(4, 0, 0.5), (30, 3, 1e-6), (7, 1, 0.01)]:
        s, ref = SoftSensorBiasUpdate(filter_tao=0, abs_threshold=thr, prd_len=prd_len, const_len=const_len), \
            Reference(thr, prd_len, const_len)
        lab, lt, t = 1.0, T - 100, T
        for _ in range(600):
            r = rng.random()
            if r < 0.1:
                lab, lt = lab + rng.choice([1.0, 5e-7, 2e-6, 0.005]), t - rng.uniform(-5, 3 * prd_len)
            t += rng.choice([1.0, 1.0, 0.0])
            trig = rng.choice([None] * 6 + [0.2, 0.9])
            args = (rng.uniform(0, 10), lab, lt, t, trig)
            assert s.run(*args[:3], prd_time=t, update_trigger=trig) == ref.run(*args)
            assert s.get_update_flag() == ref.flag and list(s._lab_data_list) == list(ref.lab)


def test_filtered_output_while_get_bias_is_raw():
    s = SoftSensorBiasUpdate(filter_tao=4.0, prd_len=10)
    f = sFilter([1], [4.0, 1], u_ini=0.0, y_ini=0.0)
    outs = [s.run(1.0, 3.0, T - 5, prd_time=T + k) for k in range(5)]
    assert s.get_bias() == 2.0 and outs == [f(2.0) for _ in range(5)] and 0 < outs[-1] < 2.0
    assert isinstance(s._fil, sFilter) and SoftSensorBiasUpdate(filter_tao=math.nan)._fil is None
    assert all(type(x) is float for x in outs) and SoftSensorBiasUpdate(name="FI-101").get_name() == "FI-101"


def test_default_prd_len_on_the_wall_clock(monkeypatch):
    monkeypatch.setattr(time, "time", lambda: T)
    s = SoftSensorBiasUpdate()
    assert s.run(4.0, 5.0, T - 8 * 3600) == 0.0  # the filter starts from 0
    times = s._prd_time_list
    assert (len(times), times.maxlen, times[0], times[-1]) == (28801, 28801, T - 60 * 28800, T)
    assert s.get_bias() == 1.0 and s.__sizeof__() <= 600_000


def test_capacities_too_small_raise_without_change():
    with pytest.raises(ValueError, match="maxlen must be non-negative"):
        SoftSensorBiasUpdate(prd_len=-2)
    s = SoftSensorBiasUpdate(prd_len=-1)
    for _ in range(2):
        with pytest.raises(IndexError):
            s.run(1.0, 2.0, 3.0, prd_time=4.0)
    assert len(s._lab_data_list) == 0
    s = SoftSensorBiasUpdate(filter_tao=0, const_len=-1, prd_len=2)
    s.run(1.0, 2.0, 3.0, prd_time=4.0)
    before = state_of(s)
    with pytest.raises(IndexError):
        s.run(1.0, 2.0, 3.0, prd_time=5.0)
    assert state_of(s) == before
    assert s.run(1.0, 2.0, 3.0, prd_time=5.0, update_trigger=0.0) == 1.0


def test_a_message_that_cannot_be_printed_leaves_the_block_unchanged(monkeypatch):
    s = SoftSensorBiasUpdate(filter_tao=2.0, prd_len=3)
    small = SoftSensorBiasUpdate(filter_tao=0, prd_len=1)
    small.run(1.0, 2.0, 3.0, prd_time=4.0)
    before = state_of(s)
    for swap, after in ((False, before), (True, state_of(small))):  # a writer may even swap in another state

        class Broken(io.StringIO):
            def write(self, text):
                if swap:
                    s.__setstate__(small.__getstate__())
                raise OSError("stdout closed")

        monkeypatch.setattr(sys, "stdout", Broken())
        with pytest.raises(OSError):
            s.run(1.0, 2.0, 3.0, prd_time=4.0)
        monkeypatch.undo()
        assert state_of(s) == after
    assert s.run(1.0, 2.0, 3.0, prd_time=5.0) == 1.0


# --- pickling and hostile states -----------------------------------------------------------------

def driven_bias():
    s = SoftSensorBiasUpdate(name="b", filter_tao=3.0, prd_len=6, const_len=1)
    for k in range(4):
        s.run(1.0 + k, 2.0 + (k > 1), T + k - 3, prd_time=T + k)
    return s


def driven_recorder(tmp_path):
    r = LabDataRecorder(name="r", const_len=1, csv_dir=tmp_path)
    for v in (1.0, 2.0, 2.0):
        r.run(v, T)
    return r


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy] + [
    (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p))) for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_restored_blocks_continue_exactly(clone, tmp_path):
    f = sFilter([1, 1], [2.0, 3, 1], u_ini=1.0)
    f(2.0)
    b, r = driven_bias(), driven_recorder(tmp_path)
    b.tag = "kept"
    for orig in (f, b, r):
        twin = clone(orig)
        assert twin is not orig and state_of(twin) == state_of(orig)
    b2 = clone(b)
    assert b2.tag == "kept" and b2._fil is not b._fil
    steps = [(5.0, 3.0, T - 1, T + 5.0 + k, None) for k in range(3)] + [(1.0, 3.0, T + 6, T + 9.0, 1.0)]
    assert [b2.run(*a[:3], prd_time=a[3], update_trigger=a[4]) for a in steps] == \
        [b.run(*a[:3], prd_time=a[3], update_trigger=a[4]) for a in steps]
    f2 = clone(f)
    assert [f2(x) for x in (1.0, 4.0)] == [f(x) for x in (1.0, 4.0)]


def test_hostile_states_and_foreign_self(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # an accepted relative file name stays in here
    check_hostile_states(lambda: sFilter([1], [2.0, 1]), lambda f: f(1.0))
    check_hostile_states(driven_bias, lambda s: s.run(1.0, 9.0, T, prd_time=T + 9.0))
    def recorder_with_pending():
        r = driven_recorder(tmp_path)
        core, d, v = r.__getstate__()
        r.__setstate__((core[:5] + (("2024-05-01 09:12:45,2024-05-01 08:30:00,3.25\n",),), d, v))
        return r

    check_hostile_states(recorder_with_pending, lambda r: r.run(7.0, T))
    check_foreign_self(sFilter([1], [1.0]), driven_bias())
    check_foreign_self(driven_bias(), sFilter([1], [1.0]))
    check_foreign_self(driven_recorder(tmp_path), driven_bias())


# --- LabDataRecorder -----------------------------------------------------------------------------

@pytest.fixture
def frozen_now(monkeypatch):
    """time.localtime() without argument reads a fixed instant: 2024-05-01 09:12:45 local time."""
    now = time.mktime((2024, 5, 1, 9, 12, 45, 0, 0, -1))
    real = time.localtime
    monkeypatch.setattr(time, "localtime", lambda *a: real(*a) if a else real(now))
    return time.strftime(FMT, real(now))


def test_records_each_stable_change_once(tmp_path, frozen_now):
    r = LabDataRecorder(const_len=2, csv_dir=tmp_path / "x" / "y")
    assert r._csv_file == (tmp_path / "x" / "y" / "softSensor_Raw_LabData.csv") and r._csv_file.parent.is_dir()
    assert [r.run(v, T) for v in (3, 3, 5, 5, 5, 5)] == [False] * 4 + [True, False]
    sampled = time.mktime((2024, 5, 1, 8, 30, 0, 0, 0, -1))
    r.export_lab_data_csv(3.25, sampled)
    lab_time = time.strftime(FMT, time.localtime(T))
    with open(r._csv_file, encoding="utf-8") as fh:
        assert fh.read() == ("ExportTime,LabTime,LabData\n" f"{frozen_now},{lab_time},5.0\n"
                             "2024-05-01 09:12:45,2024-05-01 08:30:00,3.25\n")


@pytest.mark.parametrize("const_len, values, flags", [
    (0, (1.0, 2.0, 2.0, 2.5, 2.5 + 5e-7), [False, True, False, True, False]),
    (1, (1.0, 2.0, 2.0 + 2e-6, 2.0 + 2e-6, 2.0 + 2e-6), [False] * 5),  # a small change blocks the larger one
    (2, (1.0, 1e-5, 1e-5, 1e-5), [False, False, False, True]),
])
def test_recognition(tmp_path, const_len, values, flags):
    r = LabDataRecorder(abs_threshold=1e-3 if const_len == 1 else 1e-6, const_len=const_len, csv_dir=tmp_path)
    assert [r.run(v, T) for v in values] == flags
    records = (tmp_path / "softSensor_Raw_LabData.csv").read_text().splitlines()[1:] if any(flags) else []
    assert [line.split(",")[2] for line in records] == [repr(float(v)) for v, f in zip(values, flags) if f]


def test_recorder_checks(tmp_path):
    r = LabDataRecorder(name="lab", csv_dir=str(tmp_path))
    for args, what in [((math.nan, 1.0), "lab_data"), ((1.0, math.inf), "lab_time")]:
        with pytest.raises(ValueError, match=f"^lab LabDataRecorder: {what} is not finite!$"):
            r.run(*args)
    assert len(r._lab_data_list) == 0
    with pytest.raises(TypeError, match="Argument 'const_len'"):
        LabDataRecorder(const_len=1.0, csv_dir=tmp_path)
    with pytest.raises(IndexError):
        LabDataRecorder(const_len=-1, csv_dir=tmp_path).run(1.0, T)
    r = LabDataRecorder(const_len=0, csv_dir=tmp_path)
    r.run(1.0, T)
    with pytest.raises(OverflowError):  # a lab time that cannot be formatted is refused before any change
        r.run(2.0, 1e300)
    assert list(r._lab_data_list) == [1.0, 1.0] and r.run(2.0, T) is True


def test_failed_write_keeps_the_record_for_the_next_call(tmp_path):
    r = LabDataRecorder(const_len=0, csv_dir=tmp_path)
    path = r._csv_file
    path.mkdir()  # the file cannot be opened while a directory stands in its place
    r.run(1.0, T)
    with pytest.raises(IsADirectoryError):
        r.run(2.0, T)
    with pytest.raises(IsADirectoryError):
        r.export_lab_data_csv(9.0, T)  # a forced record fails to the caller and is not kept
    path.rmdir()
    assert r.run(3.0, T + 60) is True
    lines = path.read_text().splitlines()
    assert lines[0] == "ExportTime,LabTime,LabData" and [x.split(",")[2] for x in lines[1:]] == ["2.0", "3.0"]
    LabDataRecorder(const_len=0, csv_dir=tmp_path).export_lab_data_csv(4.0, T)
    assert path.read_text().count("ExportTime") == 1


FILE_LIMIT = """
import resource, signal, sys
from corvane.algorithm.inferential import LabDataRecorder
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
r = LabDataRecorder(const_len=0, csv_dir=sys.argv[1])
r.run(0.0, 1.7e9)
r.run(0.5, 1.7e9)  # the header and one record
resource.setrlimit(resource.RLIMIT_FSIZE, (r._csv_file.stat().st_size + 30, hard))  # the next stops mid-record
failed = 0
for k in range(1, 4):
    try:
        r.run(k + 0.5, 1.7e9)
    except OSError:
        failed += 1
resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
r.run(9.5, 1.7e9)
print(failed)
"""


def test_a_record_torn_by_a_failed_write_spoils_no_other(tmp_path):
    out = subprocess.run([sys.executable, "-c", FILE_LIMIT, str(tmp_path)], capture_output=True, text=True, check=True)
    assert int(out.stdout) == 3
    lines = next(tmp_path.iterdir()).read_text().splitlines()
    whole = [x.split(",")[2] for x in lines[1:] if x.count(",") == 2]
    assert lines[0] == "ExportTime,LabTime,LabData" and whole == ["0.5", "1.5", "2.5", "3.5", "9.5"]
    assert len(lines) == 7  # and the torn fragment, alone on its line


APPENDER = """
import sys
from corvane.algorithm.inferential import LabDataRecorder
r = LabDataRecorder(name="shared", const_len=0, csv_dir=sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
for k in range(400):
    r.run(float(k % 2), 1.7e9)
"""


def test_two_processes_append_to_one_file(tmp_path):
    procs = [subprocess.Popen([sys.executable, "-c", APPENDER, str(tmp_path)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for _ in range(2)]
    assert [p.stdout.readline() for p in procs] == ["ready\n"] * 2
    for p in procs:  # both start appending at once, into a file that does not exist yet
        p.stdin.write("go\n")
        p.stdin.flush()
    assert [p.wait(60) for p in procs] == [0, 0]
    lines = (tmp_path / "shared_Raw_LabData.csv").read_text().split("\n")
    assert lines[0] == "ExportTime,LabTime,LabData" and lines[-1] == ""
    assert len(lines) == 1 + 2 * 399 + 1
    assert all(len(x.split(",")) == 3 and x.split(",")[2] in ("0.0", "1.0") for x in lines[1:-1])
