"""color_detect.detect transcribed to plain cv2/NumPy: the yardstick for results (tests)
and speed (bench)."""

from collections import deque

import cv2
import numpy as np


def _as_cv2_reads(bound):
    bound = np.asarray(bound)
    return bound.astype(np.int32) if bound.dtype in (np.int64, np.uint64) else bound


def hsv_in_range(hsv, lower, upper):
    """cv2.inRange, except that a lower hue above the upper hue is a band that wraps through
    hue 0: the union of hues lower..180 and 0..upper (red)."""
    lo, hi = _as_cv2_reads(lower), _as_cv2_reads(upper)
    if (
        lo.shape == hi.shape == (3,)
        and lo.dtype.kind in "iuf"
        and hi.dtype.kind in "iuf"
        and float(lo[0]) > float(hi[0])
    ):
        lo, hi = lo.astype(np.float64), hi.astype(np.float64)
        top, bottom = hi.copy(), lo.copy()
        top[0], bottom[0] = 180, 0
        return cv2.inRange(hsv, lo, top) | cv2.inRange(hsv, bottom, hi)
    return cv2.inRange(hsv, lower, upper)


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
        mask = hsv_in_range(hsv, self.colorLower, self.colorUpper)
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
