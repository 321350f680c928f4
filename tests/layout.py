"""Where things are, for the tests: the repository and its folders, and the commands that run a
learner's program on the simulator or on the car with the installed package's launchers."""

import os
import subprocess
import sys

TESTS = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(TESTS)
EXAMPLES = os.path.join(REPO, "examples")
DOCS = os.path.join(REPO, "docs")
# zelk-run-on-sim and zelk-run-on-car, run by this interpreter.
ON_SIM = (sys.executable, "-m", "zelk_run")
ON_CAR = (sys.executable, "-m", "zelk_run.on_car")


def run_on_sim(*args, timeout=60, **kwargs):
    """zelk-run-on-sim with args (options, the program and its arguments) to its end; the
    CompletedProcess with stdout and stderr as text."""
    return subprocess.run(
        [*ON_SIM, *map(str, args)], capture_output=True, text=True, timeout=timeout, **kwargs
    )
