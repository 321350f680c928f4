"""python -m zelk_run [OPTIONS] PROGRAM.py [ARGS...]: the program on the simulator, as
zelk-run-on-sim (python -m zelk_run.on_car runs it on the car)."""

import sys

from .on_sim import main

sys.exit(main())
