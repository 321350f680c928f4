"""Camera and car together: turn towards a green ball (optik.color_detect) and drive to it; q quits.
Run: on the car .venv/bin/python examples/18_follow_the_ball.py; without it .venv/bin/zelk-run-on-sim examples/18_follow_the_ball.py
"""

import cv2
from control_zelk import optik
from control_zelk.Drivox_1 import Car

SPEED = 20  # speed towards the ball
TURN_SPEED = 10  # speed when turning towards the ball
DEAD_BAND = 60  # a ball this close to the middle (in pixels) counts as straight ahead
NEAR = 120  # a ball whose radius is bigger than this is close enough: stop there

cam = optik.Camera(0)
ball = optik.color_detect("green")
car = Car()
try:
    while True:  # until q (or Ctrl-C)
        frame = cam.read_camera()
        if frame is None:
            print("no picture from the camera: stopping")
            break

        ball.detect(frame)
        if ball.data == "green":
            x, y = ball.pts[0]
            middle = frame.shape[1] // 2
            if ball.radius > NEAR:
                print("ball reached: stop")
                car.car_stop()
            elif x < middle - DEAD_BAND:
                print("ball on the left at", x, ": turn left")
                car.car_turn_l(TURN_SPEED)
            elif x > middle + DEAD_BAND:
                print("ball on the right at", x, ": turn right")
                car.car_turn_r(TURN_SPEED)
            else:
                print("ball ahead at", x, ": go")
                car.car_go(SPEED)
            cv2.circle(frame, (int(ball.x), int(ball.y)), int(ball.radius), (0, 0, 255), 2)
        else:
            print("no ball: wait")
            car.car_stop()

        cv2.imshow("ball", frame)
        if cv2.waitKey(1) == ord("q"):
            break
finally:
    car.car_stop()  # whatever happened (even Ctrl-C), stop the car

cam.close_camera()
cv2.destroyAllWindows()
