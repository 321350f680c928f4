"""Img: construction, shared defaults, windows, saving and the in-place conversions."""

import cv2
import numpy as np
import optik1_frames as frames
import pytest
from control_zelk import optik1
from control_zelk.optik1 import Img

FRAME = frames.track_frame(np.random.default_rng(11))


def test_construction_and_the_shared_default_list():
    obj = Img(FRAME)
    assert list(vars(obj).items()) == [
        ("img", FRAME),
        ("time", 40),
        ("flag_mask", 0),
        ("flag_cap", 0),
        ("Type", "彩色图"),
    ]
    assert obj.img is FRAME and Img(img=None).img is None
    a = Img()
    assert a.img == [] and a.img is Img().img
    a.img.append(1)  # the usual rule for a mutable default
    try:
        assert Img().img == [1]
    finally:
        a.img.clear()

    class Mine(Img):  # learners may subclass it
        def __init__(self, frame):
            super().__init__(frame)

    assert Mine(FRAME).img is FRAME and Mine(FRAME).offset2() is Img(FRAME).offset2()
    with pytest.raises(TypeError):
        Img(FRAME, 1)


class Recorder:
    """The module's cv2 where windows and key waits are concerned."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return lambda *args: self.calls.append((name,) + args)


def test_windows_and_key_waits(monkeypatch):
    obj = Img(np.zeros((30, 20, 3), np.uint8))
    obj.name_windows("optik1-test")  # the real cv2 first
    obj.show_image("optik1-test")
    obj.delay(1)
    obj.close_windows()
    rec = Recorder()
    monkeypatch.setattr(optik1, "cv2", rec)
    assert obj.name_windows("1") is None and obj.show_image(windows_name="1") is None
    assert obj.delay(0) is None and obj.time == 0
    obj.delay(time=25)
    assert obj.close_windows() is None and obj.time == 25
    assert (
        rec.calls
        == [
            ("namedWindow", "1", 0),
            ("resizeWindow", "1", 640, 480),
            ("imshow", "1", obj.img),
            ("waitKey", 0),
            ("waitKey", 25),
            ("destroyAllWindows",),
        ]
        + [("waitKey", 1)] * 4
    )


def test_write_image(tmp_path):
    path = str(tmp_path / "out.png")
    assert Img(FRAME[::2, ::-2]).write_image(path) is None
    assert np.array_equal(cv2.imread(path), FRAME[::2, ::-2])
    Img(FRAME).write_image(tmp_path / "path.png")
    assert np.array_equal(cv2.imread(str(tmp_path / "path.png")), FRAME)
    for obj, where in (
        (Img(FRAME), path + ".unknown"),
        (Img(None), path),
        (Img(), path),
        (Img(FRAME), 3),
    ):
        with pytest.raises(cv2.error):
            obj.write_image(where)


def test_resize():
    obj = Img(FRAME)
    obj.resize()
    assert obj.img.shape == (1, 1, 3) and np.array_equal(obj.img, cv2.resize(FRAME, (1, 1)))
    obj = Img(FRAME)
    obj.resize(newsize=[320, np.int64(100)])
    assert np.array_equal(obj.img, cv2.resize(FRAME, (320, 100)))
    for bad in ((0, 0), (-1, 5), (1.5, 2), (1,), 5, None):
        with pytest.raises(cv2.error):
            Img(FRAME).resize(bad)


def test_morphology_in_place():
    grey = cv2.cvtColor(FRAME, cv2.COLOR_BGR2GRAY)
    for img in (
        FRAME,
        grey,
        FRAME.astype(np.float32),
        FRAME[5:100:2, ::-1],
        np.asfortranarray(grey),
    ):
        for method, op in (("erosion", cv2.erode), ("dilation", cv2.dilate)):
            obj, keep = Img(img), img.copy()
            assert getattr(obj, method)() is None
            assert (
                np.array_equal(obj.img, op(img, None, iterations=2)) and obj.img.dtype == img.dtype
            )
            assert np.array_equal(img, keep) and obj.Type == "彩色图"


def test_grey_then_binary():
    obj = Img(FRAME)
    with pytest.raises(cv2.error):
        obj.GRAY2BIN()  # Otsu needs one channel; nothing changes
    assert obj.img is FRAME and obj.Type == "彩色图"
    obj.BGR2GRAY()
    grey = cv2.cvtColor(FRAME, cv2.COLOR_BGR2GRAY)
    assert np.array_equal(obj.img, grey) and obj.Type == "灰度图"
    obj.GRAY2BIN()
    assert (
        np.array_equal(obj.img, cv2.threshold(grey, 0, 255, cv2.THRESH_OTSU)[1])
        and obj.Type == "二值化图"
    )
    with pytest.raises(cv2.error):
        obj.BGR2GRAY()  # Type is not checked; OpenCV refuses
    empty = Img(np.zeros((0, 4), np.uint8))
    empty.GRAY2BIN()  # cv2.threshold answers (0.0, None) here
    assert empty.img is None


@pytest.mark.parametrize(
    "img", [None, [], [[1, 2], [3, 4]], np.zeros((4, 4), bool), np.zeros((0, 4), np.uint8)]
)
def test_conversions_reject_what_is_no_image(img):
    for method in ("erosion", "dilation", "BGR2GRAY", "GRAY2BIN", "resize"):
        if method != "GRAY2BIN" or not isinstance(img, np.ndarray) or img.size:
            with pytest.raises(cv2.error):
                getattr(Img(img), method)()
