"""Line following: offsets, angle, line presence and the dotted-line test."""

import cv2
import numpy as np
import optik1_frames as frames
import optik1_reference as ref
import pytest
from control_zelk.optik1 import Img


def white(h=480, w=640, zeros=(), row=None):
    img = np.full((h, w), 255, np.uint8)
    img[h // 2 if row is None else row, list(zeros)] = 0
    return img


@pytest.mark.parametrize(
    "zeros, expected",
    [
        (range(100, 141), -200),
        ((319, 322), 0),
        (range(317, 321), -1),
        ((321, 322), 1),
        ((10, 600), -15),
        ((), 0),
    ],
)
def test_offset_of_the_middle_row(zeros, expected):
    img = white(zeros=zeros)
    got = Img(img).offset_calculate1()
    assert got == expected and type(got) is int
    assert Img().offset_calculate1(-1, img) == Img().offset_calculate1(y=240, img=img) == expected


def test_offset_rows_widths_and_channels():
    obj = Img(white(zeros=[600], row=479))
    assert (
        obj.offset_calculate1(479) == 280
        and obj.offset_calculate1(-2) == obj.offset_calculate1(-480) == 0
    )
    assert obj.offset_calculate1(np.int64(-1)) == 0  # -1 is the middle row
    for bad in (480, -481, 10**30, 2.0):
        with pytest.raises(IndexError):
            obj.offset_calculate1(bad)
    narrow = white(20, 40, zeros=[10, 30])  # measured on its own centre
    assert (
        Img(white(w=1000)).offset_calculate1(-1, narrow)
        == Img(None).offset_calculate1(img=narrow)
        == 0
    )
    colour = np.full((9, 640, 3), 255, np.uint8)
    colour[4, 100, 2] = colour[4, 200, 0] = colour[4, 150, 1] = 0
    assert Img(colour).offset_calculate1() == 150 - 320


@pytest.mark.parametrize("dtype", [np.int16, np.float32, bool])
def test_base_methods_take_any_numpy_dtype(dtype):
    img = np.random.default_rng(7).random((60, 90)) < 0.97
    img = img if dtype is bool else img.astype(dtype) * 200
    assert [Img(img).offset_calculate1(y) for y in (-1, 0, 59)] == [
        ref.offset_calculate1(y, img) for y in (-1, 0, 59)
    ]
    assert Img(img).line_angle1() == ref.line_angle1(img) and Img(img).offset1() == ref.offset1(img)


def with_offsets(up, down, extra=()):
    img = white()
    for y in range(0, 480, 10):
        offset = up if y < 240 else down
        if offset is not None:
            img[y, 320 + offset] = 0
    for y, x in extra:
        img[y, x] = 0
    return img


@pytest.mark.parametrize(
    "up, down, extra, expected",
    [
        (40, -150, (), 1),
        (-10, None, (), -1),
        (179, None, (), 0),
        (180, None, (), 1),
        (None, 180, (), -1),
        (None, 181, (), -2),
        (None, None, [(231, 0), (479, 0), (1, 0)], 0),  # rows the sampling skips
        (None, None, [(230, 0)], -1),  # last upper row: -320 // 24 = -14
        (None, None, [(0, 317), (0, 320)], -1),  # mean -1 // 24 floors to -1
    ],
)
def test_angle(up, down, extra, expected):
    got = Img(with_offsets(up, down, extra)).line_angle1()
    assert got == expected and type(got) is int


def test_angle_needs_two_rows_and_presence_looks_at_the_middle_row():
    with pytest.raises(ZeroDivisionError):
        Img(white(1, 640)).line_angle1()
    assert Img().line_angle1(white(2, 640)) == 0
    assert (
        Img(white(zeros=[5])).offset1() is True
        and Img(white(zeros=[5], row=239)).offset1() is False
    )
    with pytest.raises(IndexError):
        Img(np.zeros((0, 640), np.uint8)).offset1()


def boxes(*boxes):
    img = np.zeros((480, 640), np.uint8)
    for x, y, w, h in boxes:
        img[y : y + h, x : x + w] = 255
    return img


@pytest.mark.parametrize(
    "centres, expected",
    [
        ((300,), False),
        ((300, 320), True),
        ((100, 500), False),
        ((100, 400), True),
        ((100, 401), False),
        ((250, 300, 350), True),
    ],
)
def test_dotted_line_from_the_spread_of_region_centres(centres, expected):
    img = boxes(*((c - 30, 10 + 150 * i, 61, 101) for i, c in enumerate(centres)))
    assert Img(img).dotted_line1() is Img().dotted_line1(img) is expected


def test_dotted_line_counts_regions_above_3000_only():
    exactly_3000 = (30, 300, 51, 61)
    assert cv2.contourArea(ref.bin_detect(boxes(exactly_3000))[0]) == 3000
    assert Img(boxes((270, 10, 61, 101), exactly_3000)).dotted_line1() is False
    assert Img(boxes((270, 10, 61, 101), (30, 300, 52, 61))).dotted_line1() is True


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - the kind of failure is compared
        return type(e)


def banded(levels):
    """Equal vertical bands of grey: Otsu's search meets equal candidates."""
    grey = np.repeat(np.array(levels, np.uint8), 60 // len(levels))[None, :].repeat(40, 0)
    return np.ascontiguousarray(np.repeat(grey[:, :, None], 3, axis=2))


def test_convenience_methods_equal_the_plain_pipeline():
    rng = np.random.default_rng(1234)
    track = [frames.track_frame(rng) for _ in range(100)]
    small = [
        frames.track_frame(rng, w, h)
        for w, h in ((1, 5), (5, 1), (2, 3), (4, 4), (7, 640), (33, 9))
    ]
    ties = [frames.random_frame(rng, 64, 48, levels=k) for k in (1, 2, 3, 7)] + [
        banded(v) for v in ((0, 100, 200), (10, 20, 30, 40), (50, 60))
    ]
    base = frames.track_frame(rng)
    layouts = [
        cv2.cvtColor(base, cv2.COLOR_BGR2BGRA),
        base.astype(np.uint16) * 257,
        base[::2, ::-1],
        np.asfortranarray(base),
        base[10:200, 30:400],
        frames.random_frame(rng),
    ]
    for frame in track + small + ties + layouts:
        obj, keep = Img(frame), frame.copy()
        for name in ("offset2", "offset_calculate2", "line_angle2", "dotted_line2"):
            got, want = outcome(getattr(obj, name)), outcome(getattr(ref, name), frame)
            assert got == want and type(got) is type(want), name
        assert obj.img is frame and np.array_equal(frame, keep) and vars(obj) == vars(Img(frame))


def test_base_methods_equal_the_plain_steps():
    rng = np.random.default_rng(99)
    for _ in range(30):
        binary = ref.prepare(frames.track_frame(rng))
        obj = Img(binary)
        rows = (-1, 0, 1, 479, -480)
        assert [obj.offset_calculate1(y) for y in rows] == [
            ref.offset_calculate1(y, binary) for y in rows
        ]
        assert obj.line_angle1() == ref.line_angle1(binary)
        assert obj.offset1() is ref.offset1(binary) and obj.dotted_line1() is ref.dotted_line1(
            binary
        )


@pytest.mark.parametrize(
    "img",
    [
        None,
        [],
        [[0, 1]],
        "text",
        np.zeros((4, 4), np.uint8),
        np.zeros((4, 4, 3)),
        np.zeros((0, 4, 3), np.uint8),
    ],
)
def test_bad_images(img):
    obj = Img(img)
    for method in [obj.offset2, obj.offset_calculate2, obj.line_angle2, obj.dotted_line2]:
        with pytest.raises(cv2.error):
            method()
    if not isinstance(img, np.ndarray):
        # The row readers ask for the image's shape; OpenCV refuses the contour search.
        for method in [obj.offset_calculate1, obj.line_angle1, obj.offset1]:
            with pytest.raises(AttributeError, match="shape"):
                method()
        with pytest.raises(cv2.error):
            obj.dotted_line1()
    with pytest.raises(TypeError):
        obj.offset1(None)  # len(None)
    with pytest.raises(cv2.error):
        Img().dotted_line1(np.zeros((5, 5, 3), np.uint8))  # contours need one channel


def test_entries_count_as_numpy_compares_them():
    """Only equality with 0 matters, in the array's own type: values that an int32 cast would
    wrap to 0 are not line pixels, and types OpenCV cannot read still work."""
    a = np.full((3, 8), 255, np.int64)
    a[1, 3] = 2**32
    a[1, 6] = 0
    assert Img(a).offset_calculate1(1) == ref.offset_calculate1(1, a) == 6 - 4
    a[1, 3] = 7
    for dtype in (np.float16, np.complex64, object):
        assert Img(a.astype(dtype)).offset_calculate1(1) == ref.offset_calculate1(1, a) == 2
    with pytest.raises(IndexError):
        Img(np.zeros(5)).offset1()  # one axis: no rows of pixels


def test_too_wide_for_opencv_is_an_error_not_a_crash():
    wide = np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (1, 2**30 + 8, 3))  # no memory used
    with pytest.raises(cv2.error, match="too large"):
        Img(wide).offset_calculate1(0)


@pytest.mark.parametrize(
    "img",
    [
        np.full((3, 8), 255, ">u2"),
        np.full((3, 8), 255, ">f4"),  # byte-swapped
        np.full((3, 8, 2, 2), 255, np.uint8),  # more than three axes
        np.full((3, 8, 3, 600), 255, np.uint8),  # more entries than a Mat's
        np.full((3, 8), "ab"),
        np.zeros((3, 0, 2, 2)),  # no entry equals 0
    ],
    ids=["big-endian uint16", "big-endian float32", "4-D", "4-D wide", "str", "empty 4-D"],
)
@pytest.mark.filterwarnings("ignore:elementwise comparison failed")  # NumPy's, on str == 0
@pytest.mark.filterwarnings("ignore:Calling nonzero on 0d arrays")  # and np.where of that
def test_row_methods_take_what_numpy_indexing_takes(img):
    if img.size and img.dtype.kind != "U":
        img[:, 5] = img[1, 2] = 0
    obj = Img(img)
    for y in (-1, 0, 1, -3):
        assert obj.offset_calculate1(y) == ref.offset_calculate1(y, img)
    assert obj.line_angle1() == ref.line_angle1(img) and obj.offset1() is ref.offset1(img)


class IndexFails:
    def __index__(self):
        raise ValueError("no index")


@pytest.mark.parametrize(
    "y",
    [IndexFails(), np.zeros((1, 0)), np.array([1.5])],
    ids=["__index__ raises", "empty array", "float array"],
)
@pytest.mark.filterwarnings("ignore:The truth value of an empty array")  # NumPy 1's, on y == -1
def test_a_row_numpy_cannot_index_raises_what_the_plain_steps_raise(y):
    # IndexError from img[y]; for the empty array, NumPy 2.2 and later already refuse its truth
    # value in `y == -1` (ValueError), where older NumPy warns and goes on to img[y].
    img = white(8, 8)
    with pytest.raises((IndexError, ValueError)) as plain:
        ref.offset_calculate1(y, img)
    with pytest.raises(type(plain.value)) as ours:
        Img(img).offset_calculate1(y)
    assert str(ours.value) == str(plain.value)
