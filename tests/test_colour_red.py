"""Red is the hue band that wraps through 0 (156..180 and 0..10): "red" finds red things at
both ends of the hue circle and nothing of the other colours; a range set with a lower hue
above its upper hue wraps the same way, in optik and in Img."""

import cv2
import numpy as np
import pytest
from control_zelk import optik, optik1

# BGR colours and the hue OpenCV gives them.
REDS = {
    "pure red (hue 0)": (0, 0, 230),
    "orange-ish red (hue 5)": (20, 40, 220),
    "crimson (hue 175)": (60, 20, 210),
    "camera red (hue 178, dull)": (70, 55, 150),
}
OTHERS = {
    "green": (40, 170, 40),
    "cyan": (200, 200, 30),
    "blue": (200, 60, 20),
    "purple (hue 145)": (170, 40, 130),
    "orange (hue 15)": (20, 120, 230),
}


def disc(bgr, ground=(128, 128, 128)):
    frame = np.full((240, 320, 3), ground, np.uint8)
    cv2.circle(frame, (160, 120), 50, bgr, -1)
    return frame


@pytest.mark.parametrize("name", list(REDS))
def test_red_is_found_at_both_ends_of_the_hue_circle(name):
    frame = disc(REDS[name])
    hue = cv2.cvtColor(np.uint8([[REDS[name]]]), cv2.COLOR_BGR2HSV)[0, 0, 0]
    assert hue <= 10 or hue >= 156
    cd = optik.color_detect("red")
    cd.detect(frame)
    assert cd.data == "red" and abs(cd.x - 160) < 2 and abs(cd.radius - 50) < 2
    img = optik1.Img(frame)
    img.color_detect_init("red")
    img.color_detect()
    assert img.color_data == "red"


@pytest.mark.parametrize("name", list(OTHERS))
def test_red_finds_none_of_the_other_colours(name):
    cd = optik.color_detect("red")
    cd.detect(disc(OTHERS[name]))
    assert cd.data == "other_color"


def test_red_among_other_balls_is_the_red_one():
    frame = disc(OTHERS["green"])
    cv2.circle(frame, (40, 40), 30, REDS["crimson (hue 175)"], -1)
    cd = optik.color_detect("red")
    cd.detect(frame)
    assert cd.data == "red" and (round(cd.x), round(cd.y)) == (40, 40)


def test_a_wrapping_range_set_by_hand_and_the_mask_of_img():
    frame = disc(REDS["pure red (hue 0)"])
    cv2.circle(frame, (40, 40), 30, REDS["crimson (hue 175)"], -1)
    cd = optik.color_detect("green")
    cd.setcolorvalue("mine", [170, 43, 46], [5, 255, 255])
    cd.detect(frame)
    assert cd.data == "mine" and round(cd.x) == 160  # the larger of the two reds
    img = optik1.Img(frame.copy())
    img.extract_color([170, 43, 46], [5, 255, 255])
    assert img.img[120, 160] == 255 and img.img[40, 40] == 255 and img.img[5, 300] == 0
    img = optik1.Img(frame.copy())
    img.extract_color([0, 43, 46], [5, 255, 255])  # no wrap: hue 175 is out
    assert img.img[120, 160] == 255 and img.img[40, 40] == 0


def test_the_table_still_has_every_other_row_as_before():
    rows = {
        "green": ([35, 43, 46], [77, 255, 255]),
        "blue": ([80, 43, 46], [124, 255, 255]),
        "qing": ([78, 43, 46], [99, 255, 255]),
        "purple": ([125, 43, 46], [155, 255, 255]),
        "orange": ([11, 43, 46], [25, 255, 255]),
        "red": ([156, 43, 46], [10, 255, 255]),
    }
    for name, (low, up) in rows.items():
        cd = optik.color_detect(name)
        assert (cd.color_list_lower, cd.color_list_upper) == (low, up)
