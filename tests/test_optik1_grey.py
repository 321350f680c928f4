"""The convenience line methods count grey values without storing the grey image; these
tests hold their conversion and histogram to cv2.cvtColor and the plain cv2 steps."""

import platform

import cv2
import numpy as np
import optik1_reference as ref
import pytest
import zelk_test_hooks as hooks
from control_zelk.optik1 import Img

METHODS = ("offset2", "offset_calculate2", "line_angle2")


def every_colour():
    """A 4096×4096 BGR image holding each of the 2^24 colours once."""
    c = np.arange(1 << 24, dtype=np.uint32)
    return np.stack([c & 255, (c >> 8) & 255, c >> 16], -1).astype(np.uint8).reshape(4096, 4096, 3)


def test_fixed_point_rule_matches_cvtcolor_for_every_colour():
    # The native conversion computes this rule; the grey values of all colours must agree.
    img = every_colour()
    b, g, r = (img[..., i].astype(np.uint32) for i in range(3))
    rule = ((b * 3735 + g * 19235 + r * 9798 + 16384) >> 15).astype(np.uint8)
    assert np.array_equal(rule, cv2.cvtColor(img, cv2.COLOR_BGR2GRAY))
    assert np.array_equal(
        rule, cv2.cvtColor(cv2.cvtColor(img, cv2.COLOR_BGR2BGRA), cv2.COLOR_BGR2GRAY)
    )


@pytest.fixture(scope="module")
def all_colours():
    img = every_colour()
    return img, cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)


@pytest.mark.parametrize("variant", hooks.grey_variants())
@pytest.mark.parametrize("channels", [3, 4])
def test_every_variant_of_this_build_equals_cvtcolor_for_every_colour(
    all_colours, variant, channels
):
    img, want = all_colours
    if channels == 4:
        img = cv2.cvtColor(img, cv2.COLOR_BGR2BGRA)
    assert np.array_equal(hooks.grey_rows(img, variant), want)
    ragged = img[:7, :1001]  # rows that end inside a vector
    assert np.array_equal(hooks.grey_rows(ragged, variant), want[:7, :1001])


def test_the_fastest_variant_is_in_use():
    # A slow fall-back (cvtColor, or a portable loop where a vectorised one exists) would
    # otherwise go unnoticed on the car.
    variants = hooks.grey_variants()
    assert variants[-1] == "portable"
    if platform.machine() in ("x86_64", "aarch64", "arm64"):
        assert len(variants) >= 2
    assert hooks.grey_conversion() == variants[0]


def check(frame):
    for name in METHODS:
        assert getattr(Img(frame), name)() == getattr(ref, name)(frame), name


def test_every_colour_frame_and_its_shuffles():
    img = every_colour()
    check(img)
    rng = np.random.default_rng(7)
    flat = img.reshape(-1, 3)
    for _ in range(2):
        check(flat[rng.permutation(len(flat))].reshape(4096, 4096, 3)[:1024])


def dark_line_frame(rng, h, w, cn):
    """Colour noise around a mid grey with a darker band: the threshold and the middle rows
    depend on many grey values that lie close to each other."""
    frame = rng.integers(90, 170, (h, w, cn), dtype=np.uint8)
    x0 = int(rng.integers(0, max(1, w - 8)))
    frame[:, x0 : x0 + max(1, w // 6)] //= 2
    return frame


@pytest.mark.parametrize("h, w", [(480, 640), (37, 53), (5, 17), (2, 1), (2, 31), (121, 1000)])
@pytest.mark.parametrize("cn", [3, 4])
def test_sizes_and_channels(h, w, cn):
    rng = np.random.default_rng(h * 1000 + w + cn)
    for _ in range(3):
        check(dark_line_frame(rng, h, w, cn))


def test_region_views_and_reversed_columns():
    rng = np.random.default_rng(3)
    big = dark_line_frame(rng, 300, 420, 3)
    for view in (big[13:250, 7:389], big[::2, 1:], big[:, ::-1], big[::-3, ::2]):
        check(view)
        check(np.ascontiguousarray(view))


def test_threshold_edges():
    # Grey values 100 and 101 only: every pixel sits next to the threshold.
    frame = np.zeros((60, 80, 3), np.uint8)
    frame[...] = (100, 100, 100)
    frame[:, 30:50] = (101, 101, 101)
    frame[28:33, 10:20] = (255, 0, 0)  # blue 255 alone is grey 29
    check(frame)
    check(frame[..., ::-1])


def test_colours_next_to_a_rounding_step():
    # Colours whose weighted sum lies just above or just below a multiple of 2^15: a weight
    # or rounding constant off by one changes their grey value. Each fills the left half of
    # a frame whose right half is the plain grey of the same value, so the histogram has a
    # single value (threshold 0, no zeros) only when the colour converts exactly.
    c = np.arange(1 << 24, dtype=np.int64)
    b, g, r = c & 255, (c >> 8) & 255, c >> 16
    order = np.argsort((b * 3735 + g * 19235 + r * 9798 + 16384) % 32768)
    for k in np.concatenate([order[:200], order[-200:]]):
        colour = np.array([b[k], g[k], r[k]], np.uint8)
        y = int(cv2.cvtColor(colour.reshape(1, 1, 3), cv2.COLOR_BGR2GRAY)[0, 0])
        frame = np.full((9, 40, 3), y, np.uint8)
        frame[:, :20] = colour
        check(frame)
