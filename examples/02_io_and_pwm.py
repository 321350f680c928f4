"""Switch an output on and off, read the inputs and set a PWM duty with Use_io.
Run: on the car .venv/bin/python examples/02_io_and_pwm.py; without it .venv/bin/zelk-run-on-sim --inputs 5 examples/02_io_and_pwm.py
"""

import time

from control_zelk.Drivox_1 import Use_io

# Digital outputs: channels 0 to 7, level 1 is on and 0 is off.
lamp = Use_io(1)
lamp.Io_write(io_level=1)
print("lamp on")
time.sleep(0.5)
lamp.Io_write(io_level=0)
print("lamp off")

# Digital inputs: Io_read gives one channel (0 or 1), Ios_read all eight at once,
# one bit per channel. Both give None when the board did not answer.
button = Use_io(2)
print("input 2:", button.Io_read())
levels = button.Ios_read()
if levels is None:
    print("no answer from the board")
else:
    print("all inputs:", format(levels, "08b"), "(input 0 is the last digit)")

# PWM: channels 0 to 3, a frequency and a duty from 0 to 100 (percent of the time on).
fan = Use_io(0)
for duty in (25, 50, 75, 100):
    fan.pwm_use(pwm_freq=20, pwm_duty=duty)
    print("fan at", duty, "%")
    time.sleep(0.3)
fan.pwm_use(pwm_freq=20, pwm_duty=0)
print("fan off")
