"""Run a DC motor with Cur_motor: forward, backward, stop.
Run: on the car .venv/bin/python examples/03_dc_motor.py; without it .venv/bin/zelk-run-on-sim examples/03_dc_motor.py
"""

import time

from control_zelk.Drivox_1 import Cur_motor

SPEED = 50  # a negative speed is never needed: Cur_back turns the other way
PULSE = 40  # a pulse count passed on to the board (the kit's own demo uses 40)

motor = Cur_motor(1)  # the motor plugged in as motor 1

print("motor forward")
motor.Cur_go(cur_speed=SPEED, cur_pulse=PULSE)
time.sleep(1)

print("motor backward")
motor.Cur_back(cur_speed=SPEED, cur_pulse=PULSE)
time.sleep(1)

motor.Cur_stop()  # always stop the motor at the end
print("motor stopped")
