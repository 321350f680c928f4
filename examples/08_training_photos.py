"""Save camera pictures for training a recognition model with optik.take_photos; q quits.
Run: on the car .venv/bin/python examples/08_training_photos.py; without it .venv/bin/zelk-run-on-sim examples/08_training_photos.py
"""

import os

import cv2
from control_zelk import optik

# One folder per thing to learn: hold the thing of class "1" in front of the camera.
CLASS_NAME = "1"
PHOTOS = 20  # how many photos to save
EVERY = 3  # save every third picture, so that the photos are not all the same

# take_photos saves into class/camera_test/<class>/ under the folder you run the program from,
# and does not make that folder itself.
folder = "class/camera_test/" + CLASS_NAME
os.makedirs(folder, exist_ok=True)

cam = optik.Camera(0)
saved = 0
turn = 0
while saved < PHOTOS:
    frame = cam.read_camera()
    if frame is None:
        print("no picture from the camera: stopping")
        break
    cam.show_image()  # shows the picture in the window "img"
    if cv2.waitKey(1) == ord("q"):
        break

    turn = turn + 1
    if turn % EVERY == 0:
        # Saves class/camera_test/1/0.jpg, 1.jpg, ... and prints where it saved each one.
        if optik.take_photos(frame, CLASS_NAME, saved):
            saved = saved + 1
        else:
            print("could not save a photo in", folder)
            break

print("photos saved:", saved)
cam.close_camera()
cv2.destroyAllWindows()
