"""A learner's first program: drive a square, stop in front of an obstacle, switch an
output, set a PWM, move the steering servo, and start and stop line tracking.

On the car:            .venv/bin/python demo/drive_demo.py
Without the car:       .venv/bin/zelk-run-on-sim demo/drive_demo.py
"""

import time

from control_zelk.Drivox_1 import Car, Line_track, Ste_motor, Ul_sensor, Use_io, time_count

SIDE_SECONDS = 0.2  # how long each side of the square is driven
TURN_SECONDS = 0.1  # how long a quarter turn takes at this speed
SAFE_DISTANCE = 20  # stop when the obstacle is nearer than this

timer = time_count()
timer.start_count()

car = Car()
for side in range(4):
    car.car_go(30)
    time.sleep(SIDE_SECONDS)
    car.car_turn_r(30)
    time.sleep(TURN_SECONDS)
car.car_stop()

sensor = Ul_sensor(1)
car.car_go(20)
for step in range(20):
    distance = sensor.ul_get()
    print("distance:", distance)
    if distance is not None and distance < SAFE_DISTANCE:
        break
    time.sleep(0.05)
car.car_stop()

lamp = Use_io(1)
lamp.Io_write(io_level=1)
print("inputs:", lamp.Ios_read())
lamp.Io_write(io_level=0)

fan = Use_io(2)
fan.pwm_use(pwm_freq=20, pwm_duty=50)

servo = Ste_motor(1)
servo.Ste_exe(ste_duty=30)
servo.Ste_exe(ste_duty=70)

tracker = Line_track()
tracker.l_start(l_sp=60)
time.sleep(0.2)
tracker.l_stop()

timer.end_count()
print("done in %.2f s" % timer.total_time)
