"""Pick a colour by clicking it with the mouse (Img.set_hsv), then follow it in the camera picture.
Run: on the car .venv/bin/python examples/11_colour_picking.py; without it .venv/bin/zelk-run-on-sim examples/11_colour_picking.py
"""

import sys

import cv2
from control_zelk.optik1 import Camera, Img

FRAMES = 60  # pictures to follow the colour in before the program stops by itself

cam = Camera(0)
frame = cam.read_camera()
if frame is None:
    print("no picture from the camera: stopping")
    sys.exit()

picker = Img(frame)
picker.color_detect_init("green")  # gets the object ready; set_hsv replaces the colour range
print("Click the thing to follow in the window imageHSV, a few times on its light and dark")
print("parts, then press any key (or close both windows).")
picker.set_hsv("mine")  # waits for the key; prints the lowest and highest HSV values clicked
cv2.destroyAllWindows()

if picker.color_list_lower == [255, 255, 255]:  # still the starting values: nothing was clicked
    print("nothing was clicked: nothing to follow")
    sys.exit()

for turn in range(FRAMES):
    frame = cam.read_camera()
    if frame is None:
        print("no picture from the camera: stopping")
        break
    picker.img = frame  # color_detect looks at the object's img
    picker.color_detect()
    if picker.color_data == "mine":
        x, y = picker.pts[0]
        print("found it at", x, y, "radius", round(picker.radius))
        cv2.circle(frame, (int(picker.x), int(picker.y)), int(picker.radius), (0, 0, 255), 2)
    else:
        print("not found:", picker.color_data)
    cv2.imshow("following", frame)
    if cv2.waitKey(1) == ord("q"):
        break

cam.close_camera()
cv2.destroyAllWindows()
