"""Every code example of the documentation runs: the blocks of a page in order, in one namespace."""

import glob
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ALL_PAGES = sorted(glob.glob(os.path.join(ROOT, "docs", "**", "*.rst"), recursive=True))
DIRECTIVE = re.compile(r"^\.\. (code-block:: python|plot::)\s*$")


def code_blocks(path):
    lines = open(path, encoding="utf-8").read().splitlines()
    blocks, i = [], 0
    while i < len(lines):
        if DIRECTIVE.match(lines[i]):
            i += 1
            body = []
            while i < len(lines) and (not lines[i].strip() or lines[i].startswith("    ")):
                body.append(lines[i][4:])
                i += 1
            blocks.append("\n".join(body).strip("\n"))
        else:
            i += 1
    return blocks


PAGES = [p for p in ALL_PAGES if code_blocks(p)]


@pytest.mark.parametrize("page", PAGES, ids=[os.path.relpath(p, ROOT) for p in PAGES])
def test_page_examples_run(page, tmp_path, monkeypatch):
    blocks = code_blocks(page)
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__docs__"}
    try:
        for code in blocks:
            exec(compile(code, page, "exec"), namespace)
    finally:
        plt.close("all")


def test_every_page_with_code_is_found():
    assert len(PAGES) >= 10 and len(ALL_PAGES) > len(PAGES)
