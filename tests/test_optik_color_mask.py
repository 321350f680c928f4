"""The fused colour-range mask detect starts from: equal to
cv2.inRange(cv2.cvtColor(img, cv2.COLOR_BGR2HSV), lower, upper) for every colour and for
bounds in every form cv2 accepts (or rejects); a lower hue above the upper hue wraps through
hue 0."""

import cv2
import numpy as np
import pytest
import zelk_test_hooks as hooks
from control_zelk import optik
from optik_reference import ReferenceColorDetect, hsv_in_range, state


@pytest.fixture(scope="module")
def every_colour():
    """4096×4096 BGR image holding each of the 2^24 colours once."""
    i = np.arange(1 << 24, dtype=np.uint32)
    return np.stack([i, i >> 8, i >> 16], axis=-1).astype(np.uint8).reshape(4096, 4096, 3)


def assert_same_mask(bgr, lower, upper):
    try:
        expected = hsv_in_range(cv2.cvtColor(bgr, cv2.COLOR_BGR2HSV), lower, upper)
    except cv2.error:
        with pytest.raises(cv2.error):
            hooks.range_mask(bgr, lower, upper)
        return
    first = hooks.range_mask(bgr, lower, upper)
    for _ in range(10):  # enough uses for the range to earn its colour table
        hooks.range_mask(bgr[:1, :1], lower, upper)
    for got in (first, hooks.range_mask(bgr, lower, upper)):
        assert got.shape == expected.shape and got.dtype == np.uint8
        assert np.count_nonzero(got != expected) == 0


@pytest.mark.parametrize(
    "lower, upper",
    [
        ([50, 43, 46], [180, 255, 255]),
        ([156, 43, 46], [10, 255, 255]),
        ([0, 0, 221], [180, 30, 255]),
        ([0, 0, 0], [255, 255, 255]),
        ([10.5, 42.5, 45.5], [100.5, 254.5, 255.4]),
    ],
)
def test_every_colour(every_colour, lower, upper):
    assert_same_mask(every_colour, np.array(lower), np.array(upper))


@pytest.mark.parametrize(
    "lower, upper",
    [
        ([20, 50, 50], [10, 255, 255]),
        ([-10, -5, -1], [300, 256, 1000]),
        ([300, 0, 0], [400, 255, 255]),
        ([0, 0, 0], [-1, 255, 255]),
        ([0.0, 0, 0], [np.nan, 255, 255]),
        ([0.0, 0, 0], [1e300, 255, 255]),
        ([-0.5, 0.5, 1.5], [2.5, 3.5, 255.5]),  # halves round to even
        ([2**32 + 10, 0, 0], [2**32 + 60, 255, 255]),  # int64 is cast to int32
        ([-(2**31) - 1, 0, 0], [100, 255, 255]),
    ],
)
def test_odd_bounds(every_colour, lower, upper):
    assert_same_mask(every_colour[::7, ::5], np.array(lower), np.array(upper))


@pytest.mark.parametrize(
    "dtype",
    [
        np.uint8,
        np.int8,
        np.uint16,
        np.int16,
        np.int32,
        np.int64,
        np.uint64,
        np.float32,
        np.float64,
        ">i8",
        ">f8",
        np.float16,
        np.longlong,
        np.ulonglong,
        np.uint32,
        bool,
        object,
    ],
)
def test_bound_dtypes(every_colour, dtype):
    lower, upper = np.array([10, 40, 40], dtype), np.array([100, 120, 120], dtype)
    assert_same_mask(every_colour[::7, ::5], lower, upper)
    assert_same_mask(every_colour[::7, ::5], np.repeat(lower, 2)[::2], upper)  # strided


@pytest.mark.parametrize(
    "lower, upper",
    [
        ((0, 43, 46), (10, 255, 255)),
        ([0, 43, 46], [10, 255, 255]),
        (None, None),
        (np.array([[0, 43, 46]]), np.array([[10, 255, 255]])),
        (np.array([[0], [43], [46]]), np.array([[10], [255], [255]])),
        (np.array([0, 43, 46, 0.0]), np.array([10, 255, 255, 0.0])),
        (np.array([0, 43, 46]), np.array([10.0, 255, 255])),
        (np.array([0, 43]), np.array([10, 255])),
        (np.array([[0, 43, 46]]), np.array([10, 255, 255])),
    ],
)
def test_other_bound_forms_mean_what_cv2_makes_of_them(every_colour, lower, upper):
    frame = every_colour[::7, ::5]
    assert_same_mask(frame, lower, upper)
    cd, ref = optik.color_detect("red"), ReferenceColorDetect([0, 0, 0], [0, 0, 0])
    for obj in (cd, ref):
        obj.colorLower, obj.colorUpper = lower, upper
    try:
        ref.detect(frame)
    except cv2.error:
        with pytest.raises(cv2.error):
            cd.detect(frame)
        return
    cd.detect(frame)
    assert state(cd) == state(ref)


def test_more_ranges_than_the_cache_holds(every_colour):
    for _ in range(2):
        for h in range(0, 180, 15):
            lower, upper = np.array([h, 40, 40]), np.array([h + 25, 255, 255])
            assert_same_mask(every_colour[::7, ::5], lower, upper)
    for img in (None, np.zeros((5, 5), np.uint8), np.zeros((0, 0, 3), np.uint8)):
        with pytest.raises(cv2.error):
            hooks.range_mask(img, np.array([0, 0, 0]), np.array([9, 9, 9]))
