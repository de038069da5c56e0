"""Snapshots stored by earlier releases load and continue exactly as the originals did."""

import json
import os
import pickle

import pytest

from stored_cases import CASES, reset_recorder_file

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "pickles")
RELEASES = sorted(d for d in os.listdir(ROOT) if os.path.isdir(os.path.join(ROOT, d)) and d != "__pycache__")


def _stored():
    for release in RELEASES:
        with open(os.path.join(ROOT, release, "expected.json"), encoding="utf-8") as f:
            expected = json.load(f)
        for name, outputs in expected.items():
            yield pytest.param(release, name, outputs, id=f"{release}-{name}")


def test_every_class_is_stored():
    assert RELEASES and set(CASES) <= set(json.load(open(os.path.join(ROOT, RELEASES[-1], "expected.json"))))


@pytest.mark.parametrize("release,name,outputs", list(_stored()))
def test_stored_snapshot_continues(release, name, outputs):
    with open(os.path.join(ROOT, release, name + ".pkl"), "rb") as f:
        obj = pickle.load(f)
    reset_recorder_file()
    assert [repr(x) for x in CASES[name][1](obj)] == outputs


@pytest.mark.parametrize("name", sorted(CASES))
def test_states_carry_their_layout_version(name):
    obj = CASES[name][0]()
    core, d, version = obj.__getstate__()
    assert type(version) is int and version >= 1
    before = pickle.dumps(obj.__getstate__())
    with pytest.raises(ValueError, match="layout version"):
        obj.__setstate__((core, d, version + 1))
    assert pickle.dumps(obj.__getstate__()) == before
