"""Blobs and shapes: bin_detect, detect, cnt_area, cnt_center, cnt_draw."""

import cv2
import numpy as np
import optik1_frames as frames
import optik1_reference as ref
import pytest
from control_zelk.optik1 import Img

CIRCLE, TRIANGLE, SQUARE, RECTANGLE, UNKNOWN = "圆形", "三角形", "正方形", "长方形", "未知形状"
SQUARE_10 = np.array([[[0, 0]], [[10, 0]], [[10, 10]], [[0, 10]]], np.int32)


def drawn(draw):
    img = np.zeros((480, 640), np.uint8)
    draw(img)
    (c,) = Img(img).bin_detect()
    return c


def test_bin_detect_keeps_regions_above_2000_of_its_argument_or_own_image():
    img = np.zeros((480, 640), np.uint8)
    img[10:61, 10:51] = 255  # contour area 50 * 40
    img[100:130, 10:80] = 255  # 69 * 29 less a cut corner: 2000.5
    img[100, 10] = 0
    (c,) = Img(img).bin_detect()
    assert Img().cnt_area(c) == 2000.5 and type(Img().cnt_area(c)) is float
    assert len(Img(img).bin_detect(np.zeros((0, 5), np.uint8))) == 1
    assert Img(img).bin_detect(np.zeros_like(img)) == []
    for obj in (Img(), Img(np.zeros((5, 5, 3), np.uint8))):
        with pytest.raises(cv2.error):
            obj.bin_detect()


def polygon(k, ratio=1.0, phase=0.0, r=50):
    a = np.arange(k) * 2 * np.pi / k + phase
    return np.stack([320 + r * ratio * np.cos(a), 240 + r * np.sin(a)], 1).round().astype(np.int32)


@pytest.mark.parametrize(
    "contour, expected",
    [
        (drawn(lambda im: cv2.circle(im, (320, 240), 80, 255, -1)), CIRCLE),
        (drawn(lambda im: cv2.fillPoly(im, [polygon(5, r=100)], 255)), CIRCLE),
        (drawn(lambda im: cv2.fillPoly(im, [polygon(6, r=100)], 255)), CIRCLE),
        (polygon(24, 2, np.pi / 24), CIRCLE),  # 2:1 ellipse keeping 6 vertices
        (polygon(6, 4, np.pi / 6), UNKNOWN),  # 4:1 ellipse: fails the radius test
        (polygon(24, 4, np.pi / 24), RECTANGLE),  # 4:1, simplified to 4 vertices
        (drawn(lambda im: cv2.fillPoly(im, [polygon(3, r=100)], 255)), TRIANGLE),
        (drawn(lambda im: cv2.rectangle(im, (100, 100), (299, 199), 255, -1)), RECTANGLE),
        (drawn(lambda im: cv2.rectangle(im, (100, 100), (199, 199), 255, -1)), SQUARE),
        (drawn(lambda im: cv2.rectangle(im, (100, 100), (204, 199), 255, -1)), SQUARE),  # 105 x 100
        (drawn(lambda im: cv2.rectangle(im, (100, 100), (194, 199), 255, -1)), SQUARE),  # 95 x 100
        (
            drawn(lambda im: cv2.rectangle(im, (100, 100), (205, 199), 255, -1)),
            RECTANGLE,
        ),  # 106 x 100
    ],
)
def test_shape_names(contour, expected):
    names = [n for n in (CIRCLE, TRIANGLE, SQUARE, RECTANGLE, UNKNOWN) if Img().detect(contour, n)]
    assert names == [expected] == [ref.shape_name(contour)]
    assert Img().detect(contour, "circle") is False and Img().detect(contour, None) is False
    assert Img().detect(contour.reshape(-1, 1, 2).astype(np.float32), expected) is True


def test_shapes_and_centres_equal_the_plain_steps():
    rng = np.random.default_rng(77)
    seen = set()
    for _ in range(60):
        binary = frames.blob_frame(rng)
        got, want = Img(binary).bin_detect(), ref.bin_detect(binary)
        assert len(got) == len(want)
        for c, w in zip(got, want):
            assert c.dtype == np.int32 and np.array_equal(c, w)
            name = ref.shape_name(c)
            assert Img().detect(c, name) is True and Img().cnt_center(c) == ref.cnt_center(c)
            seen.add(name)
    assert seen == {CIRCLE, TRIANGLE, SQUARE, RECTANGLE, UNKNOWN}


def test_centre():
    got = Img().cnt_center(SQUARE_10)
    assert got == [5, 5] and all(type(v) is int for v in got)
    assert Img().cnt_center(np.array([[-7, 0], [0, 0], [0, 3], [-7, 3]], np.int32)) == [-3, 1]
    with pytest.raises(ZeroDivisionError):
        Img().cnt_center(SQUARE_10[:2])


def test_contours_cv2_accepts():
    """Points made with np.array of Python ints are int64, which cv2 reads as int32; an
    empty point list has area 0, as in cv2."""
    square = np.array([[[0, 0]], [[100, 0]], [[100, 100]], [[0, 100]]])
    obj = Img()
    assert obj.cnt_area(square) == cv2.contourArea(square.astype(np.int32)) == 10000.0
    assert obj.cnt_center(square) == [50, 50] and obj.detect(square, "正方形") is True
    assert obj.cnt_area(np.zeros((0, 1, 2), np.int32)) == 0.0


def test_cnt_draw_draws_into_the_frame_in_place():
    c = drawn(lambda im: cv2.circle(im, (200, 150), 70, 255, -1))
    for frame, text in (
        (frames.colour_frame(np.random.default_rng(4)), "circle"),
        (np.zeros((480, 640), np.uint8), "圆形"),
    ):  # drawn as "??", as cv2 does
        want = frame.copy()
        cv2.drawContours(want, [c], -1, (0, 255, 0), 2)
        cv2.putText(want, text, tuple(ref.cnt_center(c)), 0, 2, (0, 255, 0), 3)
        obj = Img(frame)
        assert obj.cnt_draw(c, text) is None and obj.img is frame and np.array_equal(frame, want)


def test_cnt_draw_failures():
    read_only = np.zeros((100, 100, 3), np.uint8)
    read_only.flags.writeable = False
    for img in (read_only, np.zeros((100, 300, 3), np.uint8)[:, ::3], None, []):
        with pytest.raises(cv2.error):
            Img(img).cnt_draw(SQUARE_10, "1")
    flat = np.zeros((100, 100, 3), np.uint8)
    with pytest.raises(ZeroDivisionError):
        Img(flat).cnt_draw(SQUARE_10[:2], "1")
    assert not flat.any()
    for bad in (
        SQUARE_10.astype(np.float32),
        None,
        [[0, 0], [1, 1]],
        np.zeros((4, 2)),
        np.zeros((4, 3), np.int32),
    ):
        with pytest.raises(cv2.error):
            Img(flat).cnt_draw(bad, "1")
    for bad in (None, [[0, 0], [1, 1]], np.zeros((4, 2)), np.zeros((4, 3), np.int32), "c"):
        for method in (Img().cnt_area, Img().cnt_center, lambda c: Img().detect(c, CIRCLE)):
            with pytest.raises(cv2.error):
                method(bad)
