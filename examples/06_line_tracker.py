"""Let the board's line-tracking unit (Line_track) follow a line by itself for a few seconds.
Run: on the car .venv/bin/python examples/06_line_tracker.py; without it .venv/bin/zelk-run-on-sim examples/06_line_tracker.py
"""

import time

from control_zelk.Drivox_1 import Line_track

SECONDS = 3  # how long to follow the line
SPEED = 60  # must not be 0

tracker = Line_track()
try:
    tracker.l_start(l_sp=SPEED)  # from now on the board steers along the line itself
    print("following the line for", SECONDS, "seconds")
    time.sleep(SECONDS)
finally:
    tracker.l_stop()  # whatever happened (even Ctrl-C), stop the tracking
print("line tracking stopped")
