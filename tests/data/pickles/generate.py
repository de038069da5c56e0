"""Stores snapshots of every class made by the installed build, with how each continues.

    python tests/data/pickles/generate.py RELEASE

writes tests/data/pickles/RELEASE/<case>.pkl and RELEASE/expected.json (the repr of every output of the
case's continuation, run on the original object). Run it once per release whose states must keep loading;
never regenerate a stored release.
"""

import json
import os
import pickle
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(os.path.dirname(HERE)))

from stored_cases import CASES, reset_recorder_file  # noqa: E402


def main(release):
    out = os.path.join(HERE, release)
    os.makedirs(out, exist_ok=False)
    expected = {}
    for name, (make, cont) in CASES.items():
        obj = make()
        with open(os.path.join(out, name + ".pkl"), "wb") as f:
            pickle.dump(obj, f, protocol=pickle.DEFAULT_PROTOCOL)
        reset_recorder_file()
        expected[name] = [repr(x) for x in cont(obj)]
    with open(os.path.join(out, "expected.json"), "w", encoding="utf-8") as f:
        json.dump(expected, f, indent=1, sort_keys=True)


if __name__ == "__main__":
    main(sys.argv[1])
