"""Colour detection in Img: named ranges, picking by click, direct ranges, detection, masks."""

import cv2
import numpy as np
import pytest

import optik1_frames as frames
import optik1_reference as ref
from control_zelk.optik1 import Img

GREEN = ([35, 43, 46], [77, 255, 255])


def test_named_range_and_reinitialisation():
    obj = Img()
    obj.color_detect_init("green")
    assert (obj.color_data, obj.color_list_lower, obj.color_list_upper, obj.color) == ("none", *GREEN, "green")
    assert np.array_equal(obj.colorLower, GREEN[0]) and np.array_equal(obj.colorUpper, GREEN[1])
    assert list(obj.pts) == [] and obj.pts.maxlen == 16 and obj.mybuffer == 16 and obj.counter == 0
    assert (obj.Hmax, obj.Smax, obj.Vmax, obj.Hmin, obj.Smin, obj.Vmin) == (0, 0, 0, 255, 255, 255)
    obj.pts.append((1, 1))
    obj.Hmax = 9
    obj.color_detect_init("red")
    assert obj.color_list_lower == [50, 43, 46] and list(obj.pts) == [] and obj.Hmax == 0
    with pytest.raises(AttributeError, match="color_list_lower"):
        Img().color_detect_init("Red")


def state(obj):
    img_new = obj.img_new
    return (obj.color_data, list(obj.pts), getattr(obj, "x", None), getattr(obj, "y", None),
            getattr(obj, "radius", None), img_new.shape, img_new.__array_interface__["data"][0])


@pytest.mark.parametrize("colour", ["green", "red", "blue", "yellow", "white"])
def test_detection_equals_the_plain_steps(colour):
    rng = np.random.default_rng(len(colour))
    obj = Img()
    obj.color_detect_init(colour)
    want = ref.ColourDetect(obj.color_list_lower, obj.color_list_upper, colour)
    for _ in range(25):
        obj.img = frame = frames.colour_frame(rng)
        assert obj.color_detect() is None
        want.color_detect(frame)
        assert state(obj) == state(want) and obj.img is frame and obj.frame is frame


def test_nothing_found_then_a_tiny_patch():
    obj = Img(np.zeros((200, 200, 3), np.uint8))
    obj.color_detect_init("green")
    obj.pts.append((0, 0))
    obj.color_detect()
    assert obj.color_data == "other_color" and list(obj.pts) == [] and obj.img_new is obj.img
    obj.img = np.zeros((200, 200, 3), np.uint8)
    cv2.rectangle(obj.img, (50, 50), (57, 57), (40, 180, 40), -1)   # radius of about 5
    obj.color_detect()
    assert obj.color_data == "none" and obj.radius <= 5 and list(obj.pts) == []


def test_detection_needs_its_state():
    frame = np.zeros((50, 50, 3), np.uint8)
    with pytest.raises(AttributeError):
        Img(frame).color_detect()                    # no bounds
    obj = Img(frame)
    obj.setcolorvalue("x", [0, 0, 0], [10, 10, 10])
    with pytest.raises(AttributeError, match="pts"):
        obj.color_detect()
    obj.color_detect_init("green")
    for img in (None, [], np.zeros((5, 5), np.uint8)):
        obj.img = img
        with pytest.raises(cv2.error):
            obj.color_detect()


def test_set_hsv_picks_from_the_object_image(monkeypatch, capsys):
    frame = frames.colour_frame(np.random.default_rng(3))
    keep = frame.copy()
    obj = Img(frame)
    shown = {}
    monkeypatch.setattr(cv2, "imshow", lambda name, img: shown.setdefault(name, img))
    monkeypatch.setattr(cv2, "setMouseCallback", lambda name, cb: shown.setdefault("callback", cb))

    def clicks(delay):
        shown["callback"](cv2.EVENT_MOUSEMOVE, 1, 1, 0, None)
        shown["callback"](cv2.EVENT_LBUTTONDOWN, 20, 10, 0, None)

    monkeypatch.setattr(cv2, "waitKey", clicks)
    with pytest.raises(AttributeError):
        obj.set_hsv("mine")                            # no running extremes yet
    obj.color_detect_init("green")
    capsys.readouterr()
    assert obj.set_hsv("mine") is None
    pixel = cv2.cvtColor(keep, cv2.COLOR_BGR2HSV)[10, 20]
    assert obj.color_list_lower == obj.color_list_upper == list(pixel) and obj.color == "mine"
    assert shown["image"] is frame and np.array_equal(shown["imageHSV"], obj.HSV)
    assert np.array_equal(frame, keep) and obj.img is frame
    assert capsys.readouterr().out == f"{pixel}\n{np.array(list(pixel))}\n{np.array(list(pixel))}\n"


def test_setcolorvalue_keeps_the_callers_lists(capsys):
    low, up = [0, 43, 46], [10, 255, 255]
    obj = Img()
    assert obj.setcolorvalue("mine", low, up) is None
    assert capsys.readouterr().out == "('设置阈值成功，当前阈值为：', [0, 43, 46], [10, 255, 255])\n"
    low[0] = 5
    assert obj.color_list_lower is low and obj.colorLower[0] == 0 and obj.color == "mine"


def test_extract_color():
    frame = np.full((40, 60, 3), 255, np.uint8)
    frame[10:30, 5:25] = (40, 180, 40)
    obj = Img(frame)
    assert obj.extract_color(*GREEN) is None
    want = np.zeros((40, 60), np.uint8)
    want[10:30, 5:25] = 255
    assert np.array_equal(obj.img, want) and obj.Type == "二值化图"
    rng = np.random.default_rng(9)
    for bounds in (GREEN, (np.array([0, 0, 221]), np.array([180, 30, 255])), ([50, 43, 46], [180, 255, 255])):
        frame = frames.colour_frame(rng)
        obj = Img(frame)
        obj.extract_color(*bounds)
        assert np.array_equal(obj.img, ref.color_mask(frame, *bounds))
    with pytest.raises(cv2.error):
        obj.extract_color(*GREEN)                        # img is a one-channel mask now
