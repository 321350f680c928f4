"""optik.erweima_recognize: what zbar reads in a frame, the marks on the grey picture it shows,
and data, compared with pyzbar and the plain cv2 steps (vision_reference) on the same frames."""

import cv2
import frame_kinds as fk
import numpy as np
import pytest
import pyzbar.pyzbar as pyzbar
import vision_assets as va
import vision_reference as vr
from control_zelk import optik

QR = va.qr_frames()


@pytest.fixture
def pair(monkeypatch):
    recorders = va.Recorder(), va.Recorder()
    monkeypatch.setattr(optik, "cv2", recorders[0])

    def make():
        return optik.erweima_recognize(), vr.ErweimaRecognize(vr.environment(gui=recorders[1]))

    make.recorders = recorders
    return make


def assert_same(pair, native, ref, op, make_input, lenient=False):
    got, mine, theirs = va.run_both(getattr(native, op), getattr(ref, op), make_input, lenient)
    if got is None:
        return got, mine
    assert native.data == ref.data
    if op == "recognize":
        assert native.img is mine and ref.img is theirs
    assert va.equal_images(mine, theirs), "the caller's image differs"
    va.assert_same_windows(pair.recorders)
    return got, mine


def test_constructor_and_show_image_after_recognize(pair):
    er = optik.erweima_recognize()
    assert vars(er) == {"data": "none"}
    er.recognize(QR["no code"])
    with pytest.raises(AttributeError):  # img is its own now, ret still missing
        er.show_image()


@pytest.mark.parametrize("name", QR)
def test_recognize_equals_the_plain_steps(pair, name):
    """Each frame, then a frame without a code: data starts from "none" on every call."""
    native, ref = pair()
    for make in (lambda: QR[name].copy(), lambda: QR["no code"].copy()):
        got, frame = assert_same(pair, native, ref, "recognize", make)
        assert got == ("returned", None) and va.equal_images(
            frame, make()
        )  # only the grey copy is marked


@pytest.mark.parametrize(
    "name, data",
    [
        ("two Chinese characters", "中文"),
        ("two codes", "中文"),  # zbar reports the right-hand code first
        ("top-left corner", "左上"),
        ("latin-1 bytes", "ÿþ"),  # zbar turns the bytes into text itself
        ("invalid UTF-8 declared as UTF-8", "none"),  # zbar drops such a symbol
        ("bar code and QR code", "4006381333931"),  # every symbol type zbar reads by default
        ("no code", "none"),
    ],
)
def test_data_is_the_last_symbol_zbar_reports(pair, name, data):
    er, _ = pair()
    er.data = "earlier"
    er.recognize(QR[name])
    assert er.data == data
    (_, window, grey), (_, key) = pair.recorders[0].calls
    assert window == "erweima" and key == 1 and grey.shape == QR[name].shape[:2]


def marked(grey):
    """grey with the marks of every symbol pyzbar finds in it."""
    out = grey.copy()
    for symbol in pyzbar.decode(grey):
        x, y, w, h = symbol.rect
        cv2.rectangle(out, (x, y), (x + w, y + h), 0, 5)
        cv2.circle(out, (int(x + w / 2), int(y + h / 2)), int(h / 2), 255, 5)
    return out


@pytest.mark.parametrize("name", ["two codes", "top-left corner", "turned", "bar code and QR code"])
def test_marks_sit_on_the_boxes_pyzbar_reports(pair, name):
    er, _ = pair()
    er.recognize(QR[name])
    (_, _, shown), _ = pair.recorders[0].calls
    assert np.array_equal(shown, marked(cv2.cvtColor(QR[name], cv2.COLOR_BGR2GRAY)))


def test_decode_display_marks_the_image_it_is_given(pair):
    native, ref = pair()
    native.data = ref.data = "kept"
    assert_same(pair, native, ref, "decodeDisplay", lambda: np.full((50, 60), 200, np.uint8))
    assert native.data == "kept"  # nothing found: data is not touched
    grey = lambda: cv2.cvtColor(QR["two codes"], cv2.COLOR_BGR2GRAY)  # noqa: E731
    _, image = assert_same(pair, native, ref, "decodeDisplay", grey)
    assert native.data == "中文" and np.array_equal(image, marked(grey()))
    assert pair.recorders[0].calls == []  # no window of its own


def colour_with_code_in(channel):
    """A colour frame whose code is in one channel only; the others are noise."""
    frame = np.random.default_rng(channel).integers(
        0, 256, QR["two Chinese characters"].shape, np.uint8
    )
    frame[..., channel] = QR["two Chinese characters"][..., 0]
    return frame


GREY_CODES = cv2.cvtColor(QR["two codes"], cv2.COLOR_BGR2GRAY)
IMAGES = {  # name -> (make the image for decodeDisplay, strict)
    "grey": (lambda: GREY_CODES.copy(), True),
    "code in the blue channel": (lambda: colour_with_code_in(0), True),  # pyzbar reads channel 0
    "code in the red channel": (lambda: colour_with_code_in(2), True),
    "BGRA": (lambda: cv2.cvtColor(QR["top-left corner"], cv2.COLOR_BGR2BGRA), True),
    "crop of a larger turned image": (
        lambda: np.pad(cv2.cvtColor(QR["turned"], cv2.COLOR_BGR2GRAY), 9)[9:-9, 9:-9],
        True,
    ),
    **fk.frames_of_every_kind(
        GREY_CODES,
        [
            "every second row of a taller frame",
            "every second column of a wider frame",
            "Fortran order",
            "None",
            "float32",
            "int16",
            "empty",
        ],
        lenient=["float32", "int16", "empty"],
    ),
}


@pytest.mark.parametrize("name", IMAGES)
def test_decode_display_on_images_of_every_kind(pair, name):
    """Whatever pyzbar reads, the library reads, and its marks go where cv2 draws them (or it
    fails as cv2 does on an array it cannot draw into)."""
    native, ref = pair()
    make, strict = IMAGES[name]
    assert_same(pair, native, ref, "decodeDisplay", make, lenient=not strict)


# name -> (make the frame for recognize, strict)
FRAMES = fk.frames_of_every_kind(
    QR["two codes"],
    [
        "None",
        "grey",
        "empty",
        "crop of a larger frame",
        "every second column of a wider frame",
        "BGRA",
        "float32",
    ],
    lenient=["BGRA", "float32"],
)


@pytest.mark.parametrize("name", FRAMES)
def test_recognize_on_frames_of_every_kind(pair, name):
    native, ref = pair()
    make, strict = FRAMES[name]
    got, _ = assert_same(pair, native, ref, "recognize", make, lenient=not strict)
    if got and got[0] == "raised":
        assert native.data == "none"


@pytest.mark.parametrize(
    "call",
    [
        lambda: optik.erweima_recognize(1),
        lambda: optik.erweima_recognize().recognize(),
        lambda: optik.erweima_recognize().recognize(QR["no code"], 1),
        lambda: optik.erweima_recognize().decodeDisplay(),
    ],
    ids=["constructor with one", "recognize()", "recognize with two", "decodeDisplay()"],
)
def test_wrong_argument_counts_raise_type_error(pair, call):
    with pytest.raises(TypeError):
        call()


def test_keyword_arguments_and_a_real_window():
    er = optik.erweima_recognize()
    er.recognize(img=QR["top-left corner"])  # the real cv2 (offscreen)
    er.decodeDisplay(image=cv2.cvtColor(QR["two Chinese characters"], cv2.COLOR_BGR2GRAY))
    assert er.data == "中文"
