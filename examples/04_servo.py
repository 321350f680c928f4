"""Turn a steering servo with Ste_motor: sweep from one side to the other, then centre it.
Run: on the car .venv/bin/python examples/04_servo.py; without it .venv/bin/zelk-run-on-sim examples/04_servo.py
"""

import time

from control_zelk.Drivox_1 import Ste_motor

servo = Ste_motor(1)  # servo number 1 (0 is not a servo number)

# The duty goes from 0 (one side) to 100 (the other side); 50 is the middle.
for duty in range(0, 101, 25):
    servo.Ste_exe(ste_duty=duty)
    print("servo at", duty)
    time.sleep(0.3)

# The library checks what you ask for: a duty above 100 is refused before anything is sent.
try:
    servo.Ste_exe(ste_duty=120)
except AssertionError as error:
    print("refused:", error)

servo.Ste_exe(ste_duty=50)
print("servo centred")
