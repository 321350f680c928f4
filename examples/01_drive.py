"""Drive the car with Car: forward, a turn to each side, backward, then stop.
Run: on the car .venv/bin/python examples/01_drive.py; without it .venv/bin/zelk-run-on-sim examples/01_drive.py
"""

import time

from control_zelk.Drivox_1 import Car

SPEED = 30  # 0 stands still; bigger numbers drive faster

car = Car()  # talks to the controller board on the serial line /dev/ttyAMA0

print("forward")
car.car_go(SPEED)
time.sleep(1)  # the car keeps doing the last command until it gets a new one

print("turn right")
car.car_turn_r(SPEED)
time.sleep(0.5)

print("turn left")
car.car_turn_l(SPEED)
time.sleep(0.5)

print("backward")
car.car_back(SPEED)
time.sleep(1)

car.car_stop()  # always stop the car at the end
print("stopped")
