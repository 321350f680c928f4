"""Find circles, triangles, squares and rectangles in a drawn picture (Img.bin_detect, detect).
Run: on the car .venv/bin/python examples/13_shapes.py; without it .venv/bin/zelk-run-on-sim examples/13_shapes.py
"""

import cv2
import numpy as np
from control_zelk.optik1 import Img

# Draw a picture: light shapes on a dark background.
picture = np.full((480, 640, 3), (60, 30, 20), np.uint8)
cv2.circle(picture, (130, 130), 80, (0, 220, 255), -1)  # a circle
cv2.rectangle(picture, (270, 60), (410, 200), (255, 200, 0), -1)  # a square, 140 x 140
cv2.rectangle(picture, (440, 90), (620, 180), (200, 200, 255), -1)  # a rectangle, 180 x 90
triangle = np.array([[130, 260], [40, 430], [220, 430]])
cv2.fillPoly(picture, [triangle], (120, 255, 120))  # a triangle
cv2.circle(picture, (420, 340), 90, (255, 255, 255), -1)  # a second circle

# Shapes are found in a black and white copy: grey first, then black or white.
finder = Img(picture.copy())
finder.BGR2GRAY()
finder.GRAY2BIN()

drawing = Img(picture)  # the shapes found are drawn onto the colour picture

# The shape names are Chinese: 圆形 circle, 三角形 triangle, 正方形 square, 长方形 rectangle.
# cnt_draw writes the English name: the drawing font has no Chinese letters.
names = {"圆形": "circle", "三角形": "triangle", "正方形": "square", "长方形": "rectangle"}

outlines = finder.bin_detect()  # the outlines of all large white patches
print("patches found:", len(outlines))
for outline in outlines:
    found = False
    for chinese, english in names.items():
        if finder.detect(outline, chinese):
            print(chinese, english, "at", finder.cnt_center(outline))
            drawing.cnt_draw(outline, english)
            found = True
    if not found:
        print("未知形状 unknown shape at", finder.cnt_center(outline))

drawing.name_windows("shapes")
drawing.show_image("shapes")
drawing.delay(3000)  # show it for 3 seconds (a key closes it sooner)
drawing.close_windows()
