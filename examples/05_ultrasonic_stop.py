"""Drive forward until the ultrasonic sensor (Ul_sensor) sees an obstacle closer than 30, then stop.
Run: on the car .venv/bin/python examples/05_ultrasonic_stop.py; without it .venv/bin/zelk-run-on-sim examples/05_ultrasonic_stop.py
"""

import time

from control_zelk.Drivox_1 import Car, Ul_sensor

SAFE_DISTANCE = 30  # stop when the obstacle is closer than this
READINGS = 100  # at most this many readings (about 10 seconds), then stop anyway

car = Car()
sensor = Ul_sensor(1)  # ultrasonic sensor number 1

try:
    car.car_go(20)
    for reading in range(READINGS):
        distance = sensor.ul_get()
        if distance is None:  # the board did not answer: better stop than drive blind
            print("no answer from the sensor: stopping")
            break
        print("distance:", distance)
        if distance < SAFE_DISTANCE:
            print("obstacle ahead: stopping")
            break
        time.sleep(0.1)
finally:
    car.car_stop()  # whatever happened (even Ctrl-C), stop the car
