"""optik.face_detect: the marks it draws into the caller's frame, the overlays it pastes, the
windows it shows, and what it leaves in its attributes, each compared with the plain cv2 steps
(vision_reference) on the same frames."""

import os

import cv2
import frame_kinds as fk
import numpy as np
import pytest
import vision_assets as va
import vision_reference as vr
from control_zelk import optik
from vision_assets import kit, one_opencv_thread  # noqa: F401  (fixtures)

PHOTOS = va.photo_frames()
BARS = {  # name -> bars; the bar cascade finds them exactly
    "face at x = 0": [(0, 40, "v")],
    "face at y = 0": [(40, 0, "h")],
    "face in the corner": [(0, 0, "v")],
    "face with y < h": [(40, 10, "v")],
    "face with y >= h": [(98, 60, "v")],
    "two faces": [(40, 60, "v"), (200, 100, "h")],
    "three faces, one at x = 0": [(10, 10, "h"), (0, 120, "v"), (240, 20, "v")],
    "a face for 3 neighbours, not for 5": [(100, 40, "w")],  # mask finds it, detect and cap do not
}
CASES = [("face", name) for name in PHOTOS if name != "no face"] + [("bars", name) for name in BARS]


def frame_of(model, name):
    return PHOTOS[name].copy() if model == "face" else va.bar_frame(BARS[name])


@pytest.fixture
def pair(monkeypatch, kit, one_opencv_thread):
    """make(model) -> (library object, reference object); both record their windows."""
    va.point_module_at(monkeypatch, optik, kit)
    recorders = va.Recorder(), va.Recorder()
    monkeypatch.setattr(optik, "cv2", recorders[0])
    env = vr.environment(kit, recorders[1])

    def make(model="face"):
        return optik.face_detect(model), vr.FaceDetect(env, model)

    make.recorders = recorders
    return make


def attributes(obj, frame):
    return {
        "data": obj.data,
        "pht": getattr(obj, "pht", None),
        "path": obj.path,
        "img_new is the frame": getattr(obj, "img_new", None) is frame,
    }


def assert_same(pair, native, ref, op, make_frame, *args, lenient=False):
    """One call of op on each side with equal frames; everything observable must agree."""
    got, mine, theirs = va.run_both(
        lambda f: getattr(native, op)(f, *args),
        lambda f: getattr(ref, op)(f, *args),
        make_frame,
        lenient,
    )
    if got is None:
        return got, mine
    assert attributes(native, mine) == attributes(ref, theirs)
    assert va.equal_images(mine, theirs), "the marks drawn into the caller's frame differ"
    base_mine, base_theirs = getattr(mine, "base", None), getattr(theirs, "base", None)
    if isinstance(base_mine, np.ndarray):
        assert np.array_equal(base_mine, base_theirs), "the marks must reach the array viewed"
    va.assert_same_windows(pair.recorders)
    return got, mine


def test_constructor(pair, kit):
    fd = optik.face_detect("face")
    assert list(vars(fd)) == ["path", "cascade", "data"]
    assert fd.path == kit + "model/face.xml" and fd.data == "no_people"
    assert type(fd.cascade) is cv2.CascadeClassifier and not fd.cascade.empty()
    assert optik.face_detect(model_name="bars").path == kit + "model/bars.xml"


@pytest.mark.parametrize("op", ["detect", "cap", "mask"])
@pytest.mark.parametrize(
    "model, name", CASES, ids=[("photo: " if m == "face" else "bars: ") + n for m, n in CASES]
)
def test_operations_equal_the_plain_steps(pair, op, model, name):
    """Each operation on a frame with faces, then on one without (where cap and mask keep
    data and detect resets it)."""
    native, ref = pair(model)
    args = () if op == "detect" else ("hat" if op == "cap" else "mask",)
    for make in (lambda: frame_of(model, name), lambda: PHOTOS["no face"].copy()):
        got, _ = assert_same(pair, native, ref, op, make, *args)
        assert got == ("returned", None)


def test_detect_marks_every_face_and_cap_and_mask_skip_faces_on_the_border(pair):
    fd, _ = pair("bars")
    frame = va.bar_frame([(0, 40, "v"), (40, 0, "h")])
    blank = frame.copy()
    fd.detect(frame)
    marked = blank.copy()
    for b in [(0, 40, "v"), (40, 0, "h")]:
        x, y, w, h = va.bar_face(*b)
        cv2.rectangle(marked, (x, y), (x + w, y + h), (255, 0, 0), 2)
    assert fd.data == "有人" and fd.img_new is frame and np.array_equal(frame, marked)
    for op, picture in (("cap", "hat"), ("mask", "mask")):
        pair.recorders[0].calls.clear()
        frame = blank.copy()
        getattr(fd, op)(frame, picture)
        assert np.array_equal(frame, blank)
        assert pair.recorders[0].summary() == [("imshow", "face", frame.shape), ("waitKey", 40)]


def test_a_missing_or_unreadable_picture_skips_the_paste_only(pair, kit):
    native, ref = pair("bars")
    with open(kit + "camera_pos/broken.jpg", "wb") as f:
        f.write(b"not a picture")
    for picture in ("nothing", "broken"):
        for op in ("cap", "mask"):
            assert_same(pair, native, ref, op, lambda: va.bar_frame(BARS["two faces"]), picture)
            assert native.pht == kit + "camera_pos/" + picture + ".jpg" and native.data == "有人"


def test_the_overlay_is_read_when_it_is_pasted(pair, kit):
    """pht is a path: the picture is read by each paste, so a new picture shows at once."""
    native, ref = pair("bars")
    make = lambda: va.bar_frame(BARS["face with y >= h"])  # noqa: E731
    assert_same(pair, native, ref, "cap", make, "hat")
    cv2.imwrite(kit + "camera_pos/hat.jpg", va.overlay_pictures()["mask"])
    assert_same(pair, native, ref, "cap", make, "hat")


def test_missing_cascade_fails_at_the_first_detection(pair, kit):
    native, ref = pair("absent")
    assert native.path == kit + "model/absent.xml" and native.cascade.empty()
    for op, args in (("detect", ()), ("cap", ("hat",)), ("mask", ("mask",))):
        got, _ = assert_same(pair, native, ref, op, lambda: PHOTOS["portrait"].copy(), *args)
        assert got == ("raised", cv2.error)


def test_a_cascade_file_that_is_no_cascade_fails_in_the_constructor(pair, kit):
    with open(kit + "model/junk.xml", "w") as f:
        f.write("<opencv_storage><cascade>nothing</cascade></opencv_storage>")
    # cv2 4.6 wraps this error in SystemError; either way it is an error of the loading
    os.mkdir(kit + "model/folder.xml")
    for name in ("junk", "folder"):  # a file with the wrong content; a folder
        with pytest.raises((cv2.error, SystemError)):
            optik.face_detect(name)


FRAMES = {  # name -> (make the frame, strict: the plain steps' result is required)
    **fk.frames_of_every_kind(
        va.bar_frame(BARS["two faces"]),
        [
            "None",
            "list",
            "grey",
            "one channel",
            "empty",
            "no columns",
            "float32",
            "int16",
            "BGRA",
            "crop of a larger frame",
            "every second row of a taller frame",
            "rows upside down",
            "mirrored",
            "channels reversed",
            "Fortran order",
        ],
        lenient=["BGRA"],
    ),
    "mirrored, no face": (lambda: va.bar_frame([])[:, ::-1], True),
}


@pytest.mark.parametrize("op", ["detect", "cap", "mask"])
@pytest.mark.parametrize("name", FRAMES)
def test_frames_of_every_kind_give_the_plain_steps_result_or_error(pair, op, name):
    """What the cv2 steps raise, the library raises (and it leaves data, pht and img_new as the
    steps do); what they draw into, it draws into, views included."""
    native, ref = pair("bars")
    make, strict = FRAMES[name]
    args = () if op == "detect" else ("hat" if op == "cap" else "mask",)
    assert_same(pair, native, ref, op, make, *args, lenient=not strict)


@pytest.mark.parametrize(
    "call",
    [
        lambda: optik.face_detect(),
        lambda: optik.face_detect("face", "face"),
        lambda: optik.face_detect("face").detect(),
        lambda: optik.face_detect("face").detect(PHOTOS["portrait"], "hat"),
        lambda: optik.face_detect("face").cap(PHOTOS["portrait"]),
        lambda: optik.face_detect("face").mask(PHOTOS["portrait"], "mask", 3),
        lambda: optik.face_detect(3),
        lambda: optik.face_detect("face").cap(PHOTOS["portrait"], None),
    ],
    ids=[
        "no name",
        "two names",
        "detect()",
        "detect with two",
        "cap with one",
        "mask with three",
        "number as name",
        "None as picture",
    ],
)
def test_wrong_arguments_raise_type_error(pair, call):
    with pytest.raises(TypeError):
        call()


def test_keyword_arguments(pair):
    native, ref = pair()
    frame = PHOTOS["portrait"].copy()
    assert native.mask(img=frame, path="mask") is None and native.cap(path="hat", img=frame) is None
    assert native.detect(img=frame) is None and native.data == "有人"
