"""Follow the line round a track with the camera, through its dotted stretch, until q or Ctrl-C (optik1.Img, Car.Chassis_exe).
Run: on the car .venv/bin/python examples/19_lap_the_track.py; without it .venv/bin/zelk-run-on-sim --world line-track examples/19_lap_the_track.py
"""

import cv2
from control_zelk.Drivox_1 import Car
from control_zelk.optik1 import Camera, Img

SPEED = 30  # forward speed on a straight line
STEER = 0.03  # turning speed for each pixel the line is off the middle: more turns harder
MAX_TURN = 20  # never turn faster than this
SLOW_DOWN = 1.0  # forward speed taken off for each unit of turning speed: slower in bends
EDGE = 250  # a line last seen this far from the middle (pixels) left the picture at the side
MISSES = (
    30  # pictures in a row without the line before the car stops (a gap between dashes is a few)
)

cam = Camera(0)
car = Car()
turn = 0  # the turning speed sent last: kept while the middle row is between two dashes
offset = 0  # where the line was last seen
misses = 0
try:
    while True:
        frame = cam.read_camera()
        if frame is None:
            print("no picture from the camera: stopping")
            break

        img = Img(frame)
        if img.offset2():  # is there a line across the middle row of the picture?
            misses = 0
            offset = img.offset_calculate2()  # pixels from the middle, + means right
            # How the line leans (+ when its top is further right) is only shown: in a bend
            # the line leaves the upper half of the picture, and the lean says little then.
            angle = img.line_angle2()
            turn = STEER * offset
            turn = max(-MAX_TURN, min(MAX_TURN, turn))
            print("line offset:", offset, "angle:", angle, "turn:", round(turn))
            middle = (frame.shape[1] // 2 + offset, frame.shape[0] // 2)
            cv2.circle(frame, middle, 10, (0, 0, 255), -1)
            cv2.putText(
                frame,
                "offset %d angle %d" % (offset, angle),
                (10, 30),
                cv2.FONT_HERSHEY_SIMPLEX,
                0.8,
                (0, 0, 255),
                2,
            )
        else:
            misses = misses + 1  # between two dashes, or the line is lost
            if abs(offset) > EDGE:  # it left the picture at the side: turn hard that way
                turn = MAX_TURN if offset > 0 else -MAX_TURN

        if misses <= MISSES:
            # Forward and turning at once (a Car is also a Chassis): positive turns right.
            car.Chassis_exe(speed_s=round(SPEED - SLOW_DOWN * abs(turn)), speed_h=round(turn))
        elif misses == MISSES + 1:
            print("line lost: stopping until it shows again")
            car.car_stop()

        img.name_windows("lap")
        img.show_image("lap")
        if cv2.waitKey(1) == ord("q"):
            break
finally:
    car.car_stop()  # whatever happened (even Ctrl-C), stop the car

cam.close_camera()
cv2.destroyAllWindows()
