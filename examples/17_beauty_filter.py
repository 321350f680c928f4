"""Smooth the skin in the camera picture with the beauty filter (Img.beauty_face); q quits.
Run: on the car .venv/bin/python examples/17_beauty_filter.py; without it .venv/bin/zelk-run-on-sim --image PHOTO_WITH_A_FACE examples/17_beauty_filter.py
"""

import cv2
from control_zelk.optik1 import Camera, Img

FRAMES = 20  # pictures before the program stops by itself (the filter is slow: a few a second)

cam = Camera(0)
filtered = 0
for turn in range(FRAMES):
    frame = cam.read_camera()
    if frame is None:
        print("no picture from the camera: stopping")
        break

    img = Img(frame)
    img.name_windows("before")
    img.show_image("before")

    img.beauty_face()  # img.img is now the smoothed, slightly brighter picture
    img.name_windows("after")
    img.show_image("after")
    filtered = filtered + 1
    if turn == 0:
        print("brightness before:", round(frame.mean()), "after:", round(img.img.mean()))

    if cv2.waitKey(1) == ord("q"):
        break

print("pictures filtered:", filtered)
cam.close_camera()
cv2.destroyAllWindows()
