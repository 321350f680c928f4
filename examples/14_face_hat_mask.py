"""Find faces in the camera picture and put a hat, then a mask, on them (Img.face_cap, face_mask).
Run: on the car .venv/bin/python examples/14_face_hat_mask.py; without it .venv/bin/zelk-run-on-sim --image PHOTO_WITH_A_FACE examples/14_face_hat_mask.py
"""

import os
import sys

import cv2
from control_zelk import optik1
from control_zelk.optik1 import Camera, Img

FRAMES = 30  # pictures before the program stops by itself: a hat for the first half, then a mask

# The face finder and the pictures come from the kit folder /home/pi/class/:
# model/face.xml finds faces, camera_pos/hat.jpg and camera_pos/mask.jpg are pasted on them.
if not os.path.exists(optik1.model_path + "face.xml"):
    print("face.xml is missing from", optik1.model_path)
    print("install the kit first: python3 -m control_zelk.kit install")
    sys.exit(1)

cam = Camera(0)
for turn in range(FRAMES):
    frame = cam.read_camera()
    if frame is None:
        print("no picture from the camera: stopping")
        break

    img = Img(frame)
    if turn < FRAMES // 2:
        img.face_cap("hat")  # window "face": faces boxed; window "output": with the hat
        wearing = "hat"
    else:
        img.face_mask("mask")  # the same with the mask over mouth and nose
        wearing = "mask"

    # color_data says "有人" (someone is there) or "no_people".
    if img.color_data == "有人":
        print("有人 (someone is there), giving them a", wearing)
    else:
        print("no_people (nobody there)")

    if cv2.waitKey(1) == ord("q"):
        break

cam.close_camera()
cv2.destroyAllWindows()
