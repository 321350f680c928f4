"""Steer the car along a dark line seen by the camera (Img.offset2, offset_calculate2, line_angle2); q quits.
Run: on the car .venv/bin/python examples/12_camera_line_following.py; without it .venv/bin/zelk-run-on-sim examples/12_camera_line_following.py
"""

import cv2
from control_zelk.Drivox_1 import Car
from control_zelk.optik1 import Camera, Img

SPEED = 30  # speed straight ahead
TURN_SPEED = 10  # speed when turning towards the line
DEAD_BAND = 30  # a line this close to the middle (in pixels) counts as straight ahead

cam = Camera(0)
car = Car()
try:
    while True:  # until q (or Ctrl-C)
        frame = cam.read_camera()
        if frame is None:
            print("no picture from the camera: stopping")
            break

        img = Img(frame)
        if img.offset2():  # is there a line across the middle row of the picture?
            offset = img.offset_calculate2()  # pixels from the middle, + means right
            angle = img.line_angle2()  # how the line leans: 0 is about straight
            print("line offset:", offset, "angle:", angle)
            if offset > DEAD_BAND:
                car.car_turn_r(TURN_SPEED)
            elif offset < -DEAD_BAND:
                car.car_turn_l(TURN_SPEED)
            else:
                car.car_go(SPEED)
            # Mark where the line was found on the middle row.
            middle = (frame.shape[1] // 2 + offset, frame.shape[0] // 2)
            cv2.circle(frame, middle, 10, (0, 0, 255), -1)
        else:
            print("no line: stopping")
            car.car_stop()

        img.name_windows("line")
        img.show_image("line")
        if cv2.waitKey(1) == ord("q"):
            break
finally:
    car.car_stop()  # whatever happened (even Ctrl-C), stop the car

cam.close_camera()
cv2.destroyAllWindows()
