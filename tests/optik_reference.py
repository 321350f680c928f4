"""color_detect.detect transcribed to plain cv2/NumPy: the yardstick for results (tests)
and speed (bench)."""

from collections import deque

import cv2
import numpy as np


class ReferenceColorDetect:
    def __init__(self, lower, upper, color="ref"):
        self.colorLower = np.array(lower)
        self.colorUpper = np.array(upper)
        self.color = color
        self.data = "none"
        self.pts = deque(maxlen=16)

    def detect(self, frame):
        self.data = "none"
        self.frame = frame
        self.img_new = frame
        hsv = cv2.cvtColor(frame, cv2.COLOR_BGR2HSV)
        mask = cv2.inRange(hsv, self.colorLower, self.colorUpper)
        mask = cv2.erode(mask, None, iterations=2)
        mask = cv2.dilate(mask, None, iterations=2)
        cnts = cv2.findContours(mask.copy(), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
        if len(cnts) == 0:
            self.pts.clear()
            self.data = "other_color"
            return
        c = max(cnts, key=cv2.contourArea)
        x, y, w, h = cv2.boundingRect(c)
        if w > 60 and h > 60 and x >= 0 and y >= 0:
            self.img_new = frame[y : y + h, x : x + w]
        ((self.x, self.y), self.radius) = cv2.minEnclosingCircle(c)
        M = cv2.moments(c)
        center = (int(M["m10"] / M["m00"]), int(M["m01"] / M["m00"]))
        if self.radius > 5:
            self.pts.appendleft(center)
            self.data = self.color


def state(obj):
    """What detect leaves behind, in comparable form."""
    img_new = obj.img_new
    return {
        "data": obj.data,
        "x": getattr(obj, "x", None),
        "y": getattr(obj, "y", None),
        "radius": getattr(obj, "radius", None),
        "pts": list(obj.pts),
        "img_new": (img_new.shape, img_new.__array_interface__["data"][0]),
    }
