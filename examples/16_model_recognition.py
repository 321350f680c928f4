"""Recognise digits and turn signs in the camera picture with the kit's model (Img.model_recognize).
Run: on the car .venv/bin/python examples/16_model_recognition.py; without it .venv/bin/zelk-run-on-sim --image PICTURE_OF_A_SIGN examples/16_model_recognition.py
"""

import os
import sys

import cv2
from control_zelk import optik1
from control_zelk.optik1 import Camera, Img

FRAMES = 50  # pictures before the program stops by itself

# The model is the file model/qmt4082.proto in the kit folder /home/pi/class/. It knows 12 things:
# the digits 1 to 9, 左转 (turn left), 右转 (turn right) and 语音 (voice).
if not os.path.exists(optik1.model_path + "qmt4082.proto"):
    print("qmt4082.proto is missing from", optik1.model_path)
    print("install the kit first: python3 -m control_zelk.kit install")
    sys.exit(1)

cam = Camera(0)
for turn in range(FRAMES):
    frame = cam.read_camera()
    if frame is None:
        print("no picture from the camera: stopping")
        break

    img = Img(frame)
    img.model_recognize()
    # m_data is the name of what the model sees, or "none" when it is not sure (90 % or less).
    if img.m_data != "none":
        print("I see:", img.m_data, "(sure to", round(100 * float(img.pro.max())), "%)")
    else:
        print("not sure what this is")

    cv2.imshow("camera", frame)
    if cv2.waitKey(1) == ord("q"):
        break

cam.close_camera()
cv2.destroyAllWindows()
