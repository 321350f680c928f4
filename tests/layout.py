"""Where things are, for the tests: the repository and its folders, and the commands that run a
learner's program on the simulator or on the car with the installed package's launchers."""

import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(REPO, "examples")
DOCS = os.path.join(REPO, "docs")
# zelk-run-on-sim and zelk-run-on-car, run by this interpreter.
ON_SIM = (sys.executable, "-m", "zelk_run")
ON_CAR = (sys.executable, "-m", "zelk_run.on_car")
