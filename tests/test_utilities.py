"""Project-root search, the optional-package probe and lazy imports of utilities."""

import os
import subprocess
import sys
import textwrap
import uuid
from pathlib import Path

import pytest

from corvane.algorithm import utilities

ROOT_MSG = "Reached the root of the file system without finding the marker."
MODULE_DIR = Path(utilities.__file__).resolve().parent


def run_python(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# ---------------------------------------------------------------- lazy imports


def test_import_loads_neither_numpy_nor_scipy_until_needed():
    out = run_python(
        """
        import sys
        from corvane.algorithm import utilities as u
        print("numpy" in sys.modules, "scipy" in sys.modules)
        u.dataStore([1, 2], 3); list(u.dict2pairs({"a": {"b": 1}})); u.pair2dict(("a.b", 1), {})
        print("numpy" in sys.modules, "scipy" in sys.modules)
        u.str2xpyp("1,2")
        print("numpy" in sys.modules)
        u.c2d([1], [1, 1], 0)
        print("scipy.signal" in sys.modules)
        """
    )
    assert out.split() == ["False", "False", "False", "False", "True", "True"]


def test_missing_numpy_shows_up_only_in_the_calls_that_need_it():
    out = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        from corvane.algorithm import utilities as u
        h = [1, 2]; u.dataStore(h, 0); d = {}; u.pair2dict(("a.b", 1), d)
        print(h, d, list(u.dict2pairs(d)), len(u.current_time_str()))
        for call in (lambda: u.c2d([1], [1, 1], 0), lambda: u.str2xpyp("1,2")):
            try:
                call()
            except ImportError as e:
                print(type(e).__name__)
        """
    )
    assert out.splitlines() == [
        "[0, 1] {'a': {'b': 1}} [('a.b', 1)] 19",
        "ModuleNotFoundError",
        "ModuleNotFoundError",
    ]


# ---------------------------------------------------------------- find_project_path


@pytest.fixture
def marker_near_module():
    """Create a uniquely named marker file `levels` directories above the module; removed afterwards."""
    made = []

    def place(levels, as_dir=False):
        name = f".corvane-marker-{uuid.uuid4().hex}"
        where = MODULE_DIR.parents[levels - 1] if levels else MODULE_DIR
        path = where / name
        path.mkdir() if as_dir else path.touch()
        made.append(path)
        return name, where

    yield place
    for path in made:
        path.rmdir() if path.is_dir() else path.unlink()


@pytest.mark.parametrize("levels, as_dir", [(0, False), (0, True), (1, False), (2, True)])
def test_find_project_path_beside_installed_module(marker_near_module, levels, as_dir):
    name, where = marker_near_module(levels, as_dir)
    assert utilities.find_project_path(name) == str(where)
    assert utilities.find_project_path(matker=name) == str(where)


def test_find_project_path_nearest_marker_wins(marker_near_module):
    name, _ = marker_near_module(2)
    (MODULE_DIR.parent / name).touch()
    try:
        assert utilities.find_project_path(name) == str(MODULE_DIR.parent)
    finally:
        (MODULE_DIR.parent / name).unlink()


@pytest.fixture
def fake_module_file(tmp_path, monkeypatch):
    """Point the module's __file__ into a temporary tree tmp/proj/pkg/sub/mod.so."""
    sub = tmp_path / "proj" / "pkg" / "sub"
    sub.mkdir(parents=True)
    (sub / "mod.so").touch()
    monkeypatch.setattr(utilities, "__file__", str(sub / "mod.so"))
    return sub


@pytest.mark.parametrize(
    "marker_at, matker, expected",
    [("proj", ".git", "proj"), ("proj/pkg", ".git", "proj/pkg"), ("proj/pkg/sub", "setup.cfg", "proj/pkg/sub"),
     ("proj", "a/b", "proj")],
)
def test_find_project_path_walks_up(fake_module_file, tmp_path, marker_at, matker, expected):
    target = tmp_path / marker_at / matker
    target.parent.mkdir(parents=True, exist_ok=True)
    target.mkdir()
    assert utilities.find_project_path(matker) == str(tmp_path / expected)


@pytest.mark.parametrize("matker", ["", "."])
def test_find_project_path_returns_a_directory_for_trivial_markers(fake_module_file, matker):
    assert utilities.find_project_path(matker) == str(fake_module_file)


def test_find_project_path_resolves_symlinks(tmp_path, monkeypatch):
    real = tmp_path / "real" / "pkg"
    real.mkdir(parents=True)
    (real / "mod.so").touch()
    (tmp_path / "real" / "MARK").touch()
    link_dir = tmp_path / "elsewhere" / "deep"
    link_dir.mkdir(parents=True)
    (link_dir / "mod.so").symlink_to(real / "mod.so")
    monkeypatch.setattr(utilities, "__file__", str(link_dir / "mod.so"))
    assert utilities.find_project_path("MARK") == str(tmp_path / "real")


def test_find_project_path_without_file_starts_at_cwd(tmp_path, monkeypatch):
    (tmp_path / "MARK").touch()
    (tmp_path / "x" / "y").mkdir(parents=True)
    monkeypatch.delattr(utilities, "__file__")
    monkeypatch.chdir(tmp_path / "x" / "y")
    assert utilities.find_project_path("MARK") == str(tmp_path)


def test_find_project_path_never_tests_the_root(fake_module_file):
    ancestors = [p for p in fake_module_file.parents if p != Path("/")] + [fake_module_file]
    only_in_root = [n for n in os.listdir("/") if not any((a / n).exists() for a in ancestors)]
    assert only_in_root
    with pytest.raises(ValueError, match=ROOT_MSG):
        utilities.find_project_path(only_in_root[0])
    with pytest.raises(ValueError, match=ROOT_MSG):
        utilities.find_project_path(matker=f"no-such-marker-{uuid.uuid4().hex}")


@pytest.mark.parametrize("bad, name", [(1, "int"), (Path(".git"), "PosixPath"), (None, "NoneType")])
def test_find_project_path_matker_must_be_str(bad, name):
    with pytest.raises(TypeError, match=rf"Argument 'matker' has incorrect type \(expected str, got {name}\)"):
        utilities.find_project_path(bad)


# ---------------------------------------------------------------- is_OPCRelayKit_installed


@pytest.mark.parametrize("as_package", [False, True])
def test_is_OPCRelayKit_installed_probes_without_importing(tmp_path, monkeypatch, as_package):
    assert utilities.is_OPCRelayKit_installed() is False
    body = "raise RuntimeError('OPCRelayKit must not be imported')\n"
    if as_package:
        (tmp_path / "OPCRelayKit").mkdir()
        (tmp_path / "OPCRelayKit" / "__init__.py").write_text(body)
    else:
        (tmp_path / "OPCRelayKit.py").write_text(body)
    monkeypatch.syspath_prepend(str(tmp_path))
    assert utilities.is_OPCRelayKit_installed() is True
    assert "OPCRelayKit" not in sys.modules
