"""Show the camera picture and a grey copy of it in two windows (optik1.Camera and Img); q quits.
Run: on the car .venv/bin/python examples/07_camera_window.py; without it .venv/bin/zelk-run-on-sim examples/07_camera_window.py
"""

import cv2
from control_zelk.optik1 import Camera, Img

FRAMES = 100  # pictures to show before the program stops by itself (a few seconds)

cam = Camera(0)  # camera number 0, the car's camera
shown = 0
for turn in range(FRAMES):
    frame = cam.read_camera()
    if frame is None:  # no picture: read_camera has said why, so just stop
        print("no picture from the camera: stopping")
        break

    picture = Img(frame)
    picture.name_windows("camera")
    picture.show_image("camera")

    grey = Img(frame.copy())  # a copy, so that the colour picture stays as it is
    grey.BGR2GRAY()
    grey.name_windows("grey")
    grey.show_image("grey")
    shown = shown + 1

    # The windows are only drawn while the program waits for a key: wait 1 ms each turn.
    if cv2.waitKey(1) == ord("q"):
        break

print("pictures shown:", shown)
cam.close_camera()
cv2.destroyAllWindows()
