"""Colour detection in Img: named ranges, picking by click, direct ranges, detection, masks."""

import cv2
import numpy as np
import optik1_frames as frames
import optik1_reference as ref
import pytest
from control_zelk.optik1 import Img

GREEN = ([35, 43, 46], [77, 255, 255])


def test_named_range_and_reinitialisation():
    obj = Img()
    obj.color_detect_init("green")
    assert (obj.color_data, obj.color_list_lower, obj.color_list_upper, obj.color) == (
        "none",
        *GREEN,
        "green",
    )
    assert np.array_equal(obj.colorLower, GREEN[0]) and np.array_equal(obj.colorUpper, GREEN[1])
    assert (list(obj.pts), obj.pts.maxlen, obj.mybuffer, obj.counter) == ([], 16, 16, 0)
    assert (obj.Hmax, obj.Smax, obj.Vmax, obj.Hmin, obj.Smin, obj.Vmin) == (0, 0, 0, 255, 255, 255)
    obj.pts.append((1, 1))
    obj.Hmax = 9
    obj.color_detect_init("red")
    assert obj.color_list_lower == [156, 43, 46] and list(obj.pts) == [] and obj.Hmax == 0
    with pytest.raises(AttributeError, match="color_list_lower"):
        Img().color_detect_init("Red")


def state(obj):
    return (
        obj.color_data,
        list(obj.pts),
        getattr(obj, "x", None),
        getattr(obj, "radius", None),
        obj.img_new.shape,
        obj.img_new.__array_interface__["data"][0],
    )


@pytest.mark.parametrize("colour", ["green", "red", "white"])
def test_detection_equals_the_plain_steps(colour):
    rng = np.random.default_rng(len(colour))
    obj = Img()
    obj.color_detect_init(colour)
    want = ref.ColourDetect(obj.color_list_lower, obj.color_list_upper, colour)
    for _ in range(20):
        obj.img = frame = frames.colour_frame(rng)
        assert obj.color_detect() is None
        want.color_detect(frame)
        assert state(obj) == state(want) and obj.img is obj.frame is frame


def test_nothing_found_then_a_tiny_patch_then_no_state():
    obj = Img(np.zeros((200, 200, 3), np.uint8))
    obj.color_detect_init("green")
    obj.pts.append((0, 0))
    obj.color_detect()
    assert obj.color_data == "other_color" and list(obj.pts) == [] and obj.img_new is obj.img
    cv2.rectangle(obj.img, (50, 50), (57, 57), (40, 180, 40), -1)  # enclosing radius about 5
    obj.color_detect()
    assert obj.color_data == "none" and obj.radius <= 5 and list(obj.pts) == []
    with pytest.raises(AttributeError, match="colorLower"):
        Img(obj.img).color_detect()  # no bounds
    bare = Img(obj.img * 0)
    bare.setcolorvalue("x", [0, 0, 0], [10, 10, 10])
    with pytest.raises(AttributeError, match="pts"):
        bare.color_detect()
    for img in (None, [], np.zeros((5, 5), np.uint8)):
        obj.img = img
        with pytest.raises(cv2.error):
            obj.color_detect()


def test_set_hsv_picks_from_the_object_image(monkeypatch, capsys):
    frame = frames.colour_frame(np.random.default_rng(3))
    keep, obj, shown = frame.copy(), Img(frame), {}
    monkeypatch.setattr(cv2, "imshow", lambda name, img: shown.setdefault(name, img))
    monkeypatch.setattr(cv2, "setMouseCallback", lambda name, cb: shown.setdefault("click", cb))
    monkeypatch.setattr(
        cv2,
        "waitKey",
        lambda delay: [
            shown["click"](e, 20, 10, 0, None) for e in (cv2.EVENT_MOUSEMOVE, cv2.EVENT_LBUTTONDOWN)
        ],
    )
    with pytest.raises(AttributeError):
        obj.set_hsv("mine")  # no running extremes yet
    obj.color_detect_init("green")
    capsys.readouterr()
    assert obj.set_hsv("mine") is None
    pixel = cv2.cvtColor(keep, cv2.COLOR_BGR2HSV)[10, 20]
    assert obj.color_list_lower == obj.color_list_upper == list(pixel) and obj.color == "mine"
    assert (
        shown["image"] is frame
        and np.array_equal(shown["imageHSV"], obj.HSV)
        and np.array_equal(frame, keep)
    )
    assert capsys.readouterr().out == f"{pixel}\n{pixel}\n{pixel}\n"


def test_setcolorvalue_keeps_the_callers_lists(capsys):
    low, obj = [0, 43, 46], Img()
    assert obj.setcolorvalue("mine", low, [10, 255, 255]) is None
    assert (
        capsys.readouterr().out == "('设置阈值成功，当前阈值为：', [0, 43, 46], [10, 255, 255])\n"
    )
    low[0] = 5
    assert obj.color_list_lower is low and obj.colorLower[0] == 0 and obj.color == "mine"


def test_extract_color():
    frame = np.full((40, 60, 3), 255, np.uint8)
    frame[10:30, 5:25] = (40, 180, 40)
    obj = Img(frame)
    assert obj.extract_color(*GREEN) is None and obj.Type == "二值化图"
    assert np.array_equal(obj.img, np.pad(np.full((20, 20), 255, np.uint8), ((10, 10), (5, 35))))
    with pytest.raises(cv2.error):
        obj.extract_color(*GREEN)  # img is a one-channel mask now
    rng = np.random.default_rng(9)
    for bounds in (GREEN, (np.array([0, 0, 221]), np.array([180, 30, 255]))):
        frame = frames.colour_frame(rng)
        obj = Img(frame)
        obj.extract_color(*bounds)
        assert np.array_equal(obj.img, ref.color_mask(frame, *bounds))
