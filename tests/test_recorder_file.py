"""The recorder's file: what a pickled state may ask it to write, where, and into what kind of file."""

import os
import pathlib
import pickle
import subprocess
import sys
import time

import pytest

from corvane.algorithm.inferential import LabDataRecorder

T = 1.7e9
RECORD = "2024-05-01 09:12:45,2024-05-01 08:30:00,3.25\n"


def records(path):
    return path.read_text(encoding="utf-8").split("\n")


def with_core(r, edit):
    core, d, v = r.__getstate__()
    return (edit(core), d, v)


@pytest.mark.parametrize("entry", [
    "a,b,c\n", RECORD[:-1], RECORD + RECORD, RECORD[:-1] + "\r\n", RECORD.replace("3.25", "=1+1"),
    RECORD.replace("3.25", "3.250"), RECORD.replace("3.25", "nan"), RECORD.replace(",2024", ",x2024", 1),
    RECORD.replace(" 08:", " 8:"), RECORD.replace("3.25", "3.25,4"), RECORD.replace("3.25", "1" * 10**5),
    RECORD.replace("2024", "２０２４"), "\n", "",
])
def test_pending_entries_are_record_lines(tmp_path, entry):
    r = LabDataRecorder(const_len=0, csv_dir=tmp_path)
    before = pickle.dumps(r.__getstate__())
    with pytest.raises(ValueError, match="pending"):
        r.__setstate__(with_core(r, lambda c: c[:5] + ((RECORD, entry) * 100,)))
    assert pickle.dumps(r.__getstate__()) == before and not r.run(1.0, T) and not r._csv_file.exists()


def test_a_restored_pending_record_is_written_by_the_next_run(tmp_path):
    r = LabDataRecorder(const_len=0, csv_dir=tmp_path)
    far = RECORD.replace("2024-05-01 08:30:00", "-2123143510-01-16 00:53:20").replace("3.25", "-2.5e-308")
    r.__setstate__(with_core(r, lambda c: c[:5] + ((RECORD, far),)))
    assert r.run(1.0, T) is False
    assert records(r._csv_file) == ["ExportTime,LabTime,LabData", RECORD[:-1], far[:-1], ""]


@pytest.mark.parametrize("path", ["elsewhere/other.csv", "/tmp/other_Raw_LabData.csv"])
def test_a_state_names_its_own_file(tmp_path, path):
    r = LabDataRecorder(const_len=0, csv_dir=tmp_path)
    with pytest.raises(ValueError, match="path"):
        r.__setstate__(with_core(r, lambda c: c[:4] + (path,) + c[5:]))


TWO_RECORDERS = """
import resource, signal, sys
from corvane.algorithm.inferential import LabDataRecorder
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
a, b = (LabDataRecorder(name="shared", const_len=0, csv_dir=sys.argv[1]) for _ in range(2))
for r in (a, b):
    r.run(0.0, 1.7e9)
a.run(0.5, 1.7e9)
resource.setrlimit(resource.RLIMIT_FSIZE, (a._csv_file.stat().st_size + 30, hard))  # A stops mid-record
try:
    a.run(1.5, 1.7e9)
except OSError:
    pass
resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
print(b.run(2.5, 1.7e9), a.run(3.5, 1.7e9))
"""


def test_a_record_torn_by_one_recorder_spoils_no_record_of_another(tmp_path):
    out = subprocess.run([sys.executable, "-c", TWO_RECORDERS, str(tmp_path)], capture_output=True, text=True,
                         check=True)
    assert out.stdout == "True True\n"
    lines = records(tmp_path / "shared_Raw_LabData.csv")
    fragment = lines[2]
    assert fragment.count(",") < 2 and lines[1].startswith(fragment[:19])  # alone on its line
    assert [x.split(",")[2] for x in lines[3:-1]] == ["2.5", "1.5", "3.5"] and lines[-1] == ""
    assert len(lines) == 7


RESCUE = "import os, sys, time; time.sleep(5); os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK); time.sleep(60)"


@pytest.mark.parametrize("kind", ["fifo", "fifo with a reader", "link to a device"])
def test_only_a_regular_file_is_written_and_never_waited_for(tmp_path, kind):
    r = LabDataRecorder(const_len=0, csv_dir=tmp_path)
    path = r._csv_file
    r.run(1.0, T)
    if kind == "link to a device":
        path.symlink_to(os.devnull)
    else:
        os.mkfifo(path)
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK) if kind == "fifo with a reader" else None
    # An open that waits for a reader is ended by one from another process after 5 s, so that the failure shows.
    rescue = subprocess.Popen([sys.executable, "-c", RESCUE, str(path)])
    try:
        start = time.monotonic()
        with pytest.raises(OSError, match="not a regular file"):
            r.run(2.0, T)
        assert time.monotonic() - start < 2
    finally:
        rescue.kill()
        rescue.wait()
        if reader is not None:
            os.close(reader)
    path.unlink()
    assert r.run(3.0, T) is True  # the refused record was kept
    assert [x.split(",")[-1] for x in records(path)] == ["LabData", "2.0", "3.0", ""]


@pytest.mark.parametrize("name", ["../escape", "{tmp}/abs", "sub/../../x", "link/x", "link/new/x"])
def test_names_that_lead_outside_csv_dir_are_refused(tmp_path, name):
    inside, outside = tmp_path / "in", tmp_path / "out"
    outside.mkdir()
    inside.mkdir()
    (inside / "link").symlink_to(outside)
    with pytest.raises(ValueError, match="outside csv_dir"):
        LabDataRecorder(name=name.format(tmp=outside), csv_dir=inside)
    assert list(outside.iterdir()) == [] and sorted(p.name for p in inside.iterdir()) == ["link"]


@pytest.mark.parametrize("name, folder", [("sub/deeper/x", "sub/deeper"), ("sub/../x", "sub"), ("x", "")])
def test_a_name_may_name_a_subfolder_which_is_created(tmp_path, name, folder):
    r = LabDataRecorder(name=name, const_len=0, csv_dir=tmp_path / "lab")
    assert r._csv_file == tmp_path / "lab" / (name + "_Raw_LabData.csv") and (tmp_path / "lab" / folder).is_dir()
    assert [r.run(v, T) for v in (1.0, 2.0)] == [False, True]
    assert len(records(pathlib.Path(os.path.normpath(r._csv_file)))) == 3
