import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.parametrize("script", ["closed_loop.py", "gym_env.py"])
def test_example_runs(script, tmp_path):
    env = dict(os.environ, MPLBACKEND="Agg")
    env.pop("DISPLAY", None)
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "examples", script)], capture_output=True, text=True,
                          env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "final error" in proc.stdout
    for line in proc.stdout.splitlines():
        if " saved to " in line:
            assert os.path.getsize(line.split(" saved to ", 1)[1]) > 10_000
