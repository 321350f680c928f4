"""The analysis steps of control_zelk.optik1 written out in plain cv2/NumPy, as a learner's
program would spell them: the yardstick of the tests and of bench/bench_optik1.py."""

import cv2
import imutils
import numpy as np
from optik_reference import ReferenceColorDetect, hsv_in_range


def prepare(frame):
    gray = cv2.cvtColor(frame.copy(), cv2.COLOR_BGR2GRAY)
    _, dst = cv2.threshold(gray, 0, 255, cv2.THRESH_OTSU)
    return cv2.dilate(dst, None, iterations=2)


def offset_calculate1(y, img):
    if y == -1:
        y = img.shape[0] // 2
    line = img[y]
    white_count = np.sum(line == 0)
    white_index = np.where(line == 0)
    if white_count == 0:
        return 0
    center = (white_index[0][white_count - 1] + white_index[0][0]) / 2
    return int(center - img.shape[1] // 2)


def line_angle1(img):
    h = img.shape[0]
    up = [offset_calculate1(i, img) for i in range(0, h // 2, 10)]
    down = [offset_calculate1(i, img) for i in range(h // 2, h, 10)]
    return (sum(up) // len(up) - sum(down) // len(down)) // 180


def offset1(img):
    if np.sum(img[img.shape[0] // 2] == 0) == 0:
        return False
    return True


def bin_detect(img):
    cnts = imutils.grab_contours(cv2.findContours(img, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE))
    return [c for c in cnts if cv2.contourArea(c) > 2000]


def dotted_line1(img):
    x = []
    for c in bin_detect(img):
        M = cv2.moments(c)
        if cv2.contourArea(c) > 3000:
            x.append(int(M["m10"] / M["m00"]))
    if len(x) < 2 or np.std(np.array(x)) > 150:
        return False
    return True


def offset_calculate2(frame):
    p = prepare(frame)
    return offset_calculate1(p.shape[0] // 2, p)


def line_angle2(frame):
    return line_angle1(prepare(frame))


def offset2(frame):
    return offset1(prepare(frame))


def dotted_line2(frame):
    return dotted_line1(prepare(frame))


def shape_name(c):
    peri = cv2.arcLength(c, True)
    approx = cv2.approxPolyDP(c, 0.04 * peri, True)
    r1, r2 = peri / 6.2, (cv2.contourArea(c) / 3.14) ** 0.5
    if abs(r1 - r2) < 0.22 * r1 and len(approx) > 4:
        return "圆形"
    if len(approx) == 3:
        return "三角形"
    if len(approx) == 4:
        (x, y, w, h) = cv2.boundingRect(approx)
        return "正方形" if 0.95 <= w / float(h) <= 1.05 else "长方形"
    return "未知形状"


def cnt_center(c):
    M = cv2.moments(c)
    return [int(M["m10"] / M["m00"]), int(M["m01"] / M["m00"])]


def color_mask(frame, lower, upper):
    return hsv_in_range(cv2.cvtColor(frame, cv2.COLOR_BGR2HSV), np.array(lower), np.array(upper))


class ColourDetect(ReferenceColorDetect):
    """color_detect of Img: the steps of color_detect.detect, reporting in color_data."""

    def color_detect(self, img):
        self.detect(img)
        self.color_data = self.__dict__.pop("data")
