"""Find a green ball in the camera picture with optik.color_detect and draw its track; q quits.
Run: on the car .venv/bin/python examples/10_colour_tracking.py; without it .venv/bin/zelk-run-on-sim examples/10_colour_tracking.py
"""

import cv2
from control_zelk import optik

FRAMES = 50  # pictures to look at before the program stops by itself

# Colours it knows: red, green, yellow, blue, orange, black, white, gray, purple, qing (cyan).
COLOUR = "green"

cam = optik.Camera(0)
ball = optik.color_detect(COLOUR)
for turn in range(FRAMES):
    frame = cam.read_camera()
    if frame is None:
        print("no picture from the camera: stopping")
        break

    ball.detect(frame)
    # ball.data is the colour's name when a patch of it was found,
    # "other_color" when there is none, "none" when it is too small.
    if ball.data == COLOUR:
        x, y = ball.pts[0]  # ball.pts holds the last 16 centres, the newest first
        print(COLOUR, "ball at", x, y, "radius", round(ball.radius))
        cv2.circle(frame, (int(ball.x), int(ball.y)), int(ball.radius), (0, 0, 255), 2)
        for i in range(1, len(ball.pts)):  # the track: a line through the last centres
            cv2.line(frame, ball.pts[i - 1], ball.pts[i], (255, 0, 0), 2)
    else:
        print("no", COLOUR, "ball:", ball.data)

    cv2.imshow("tracking", frame)
    if cv2.waitKey(1) == ord("q"):
        break

cam.close_camera()
cv2.destroyAllWindows()
