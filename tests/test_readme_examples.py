"""Every code block of the tour (docs/tour.md) marked runnable runs, as written, on the simulator
and the camera stand-in, and ends by itself."""

import os
import re

import pytest
from layout import DOCS, run_on_sim

MARK = "<!-- runnable on the simulator -->"


def runnable_blocks():
    with open(os.path.join(DOCS, "tour.md"), encoding="utf-8") as f:
        text = f.read()
    return re.findall(re.escape(MARK) + r"\n```python\n(.*?)```", text, re.S)


BLOCKS = runnable_blocks()


def test_the_tour_has_runnable_blocks():
    assert len(BLOCKS) == 3


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_block_runs_on_the_simulator(tmp_path, code):
    program = tmp_path / "readme_block.py"
    program.write_text(code, encoding="utf-8")
    r = run_on_sim(program, timeout=120, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip(), "the block printed nothing"
