import glob
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAMS = sorted(glob.glob(os.path.join(ROOT, "cpp", "tests", "*_test.cpp")))


@pytest.mark.skipif(shutil.which("g++") is None, reason="no C++ compiler")
@pytest.mark.parametrize("source", PROGRAMS, ids=[os.path.basename(p) for p in PROGRAMS])
def test_core_headers_build_and_pass_alone(tmp_path, source):
    exe = tmp_path / "core_test"
    subprocess.run(["g++", "-std=c++20", "-O1", "-ffp-contract=off", "-Wall", "-Werror", "-I", os.path.join(ROOT, "cpp"),
                    source, "-o", str(exe)], check=True)
    proc = subprocess.run([str(exe)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout
    assert proc.stdout.strip().endswith(" 0 failed")


HEADERS = sorted(glob.glob(os.path.join(ROOT, "cpp", "corvane", "*.hpp")))


@pytest.mark.skipif(shutil.which("g++") is None, reason="no C++ compiler")
@pytest.mark.parametrize("header", HEADERS, ids=[os.path.basename(p) for p in HEADERS])
def test_core_header_compiles_on_its_own(tmp_path, header):
    src = tmp_path / "alone.cpp"
    src.write_text(f'#include "{header}"\n#include "{header}"\n')
    subprocess.run(["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Werror", "-I", os.path.join(ROOT, "cpp"), str(src)],
                   check=True)
