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
BINDING = os.path.join(ROOT, "src", "corvane", "algorithm")
BINDING_HEADERS = sorted(glob.glob(os.path.join(BINDING, "*", "*.hpp")) + [os.path.join(BINDING, "plantapi.hpp")])


def binding_includes():
    import sysconfig

    import nanobind
    import numpy

    nb = nanobind.include_dir()
    return [sysconfig.get_paths()["include"], nb, os.path.join(os.path.dirname(nb), "ext", "robin_map", "include"),
            numpy.get_include(), BINDING]


@pytest.mark.skipif(shutil.which("g++") is None, reason="no C++ compiler")
@pytest.mark.parametrize("header", HEADERS + BINDING_HEADERS, ids=[os.path.relpath(p, ROOT) for p in HEADERS + BINDING_HEADERS])
def test_header_compiles_on_its_own(tmp_path, header):
    src = tmp_path / "alone.cpp"
    src.write_text(f'#include "{header}"\n#include "{header}"\n')
    binding = header.startswith(BINDING)  # built as the modules are: hidden visibility
    includes = [os.path.join(ROOT, "cpp")] + (binding_includes() if binding else [])
    subprocess.run(["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Werror"] + (["-fvisibility=hidden"] if binding else [])
                   + [f"-I{d}" for d in includes] + [str(src)], check=True)
