"""Read QR codes in the camera picture with Img.erweima_detect; q quits.
Run: on the car .venv/bin/python examples/15_qr_codes.py; without it .venv/bin/zelk-run-on-sim --image PICTURE_OF_A_QR_CODE examples/15_qr_codes.py
"""

import cv2
from control_zelk.optik1 import Camera, Img

FRAMES = 50  # pictures before the program stops by itself

cam = Camera(0)
last_text = "none"
for turn in range(FRAMES):
    frame = cam.read_camera()
    if frame is None:
        print("no picture from the camera: stopping")
        break

    img = Img(frame)
    img.erweima_detect()  # marks the codes in the window "erweima" (二维码: QR code)
    # er_data holds the text of the code, or "none" when there is none.
    if img.er_data != "none" and img.er_data != last_text:
        print("QR code says:", img.er_data)  # said once, not for every picture
    last_text = img.er_data

    if cv2.waitKey(1) == ord("q"):
        break

cam.close_camera()
cv2.destroyAllWindows()
