"""A learner's vision program: follow the line on the mat and report a green ball.

Each turn reads a camera frame, measures where the line crosses the middle of the picture
(control_zelk.optik1) and steers towards it, and looks for a green ball
(control_zelk.optik).

On the car:            .venv/bin/python demo/follow_demo.py
Without the car:       .venv/bin/zelk-run-on-sim demo/follow_demo.py
"""

from control_zelk import optik, optik1
from control_zelk.Drivox_1 import Car

TURNS = 12  # loop turns before the program stops by itself
DEAD_BAND = 30  # offsets this close to the centre count as straight ahead

cam = optik.Camera(0)
ball = optik.color_detect("green")
car = Car()

for turn in range(TURNS):
    frame = cam.read_camera()
    if frame is None:
        print("no camera picture")
        break
    img = optik1.Img(frame)
    if img.offset2():
        offset = img.offset_calculate2()
        print("line offset:", offset, "angle:", img.line_angle2())
        if offset > DEAD_BAND:
            car.car_turn_r(10)
        elif offset < -DEAD_BAND:
            car.car_turn_l(10)
        else:
            car.car_go(30)
    else:
        print("no line")
        car.car_stop()

    ball.detect(frame)
    if ball.data == "green":
        print("green ball at", ball.pts[0], "radius", round(ball.radius))

car.car_stop()
cam.close_camera()
