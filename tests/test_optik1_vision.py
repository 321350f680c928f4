"""Img's face, QR-code, model and beauty methods: compared with the plain cv2/NumPy/pyzbar steps
(vision_reference) on the same frames, and the points where they differ from optik's classes:
the cascade per call, color_data, two rectangles, the overlay flags, er_data, m_data, and a
network that, once loaded, is the one recognition uses."""

import os

import cv2
import frame_kinds as fk
import numpy as np
import pytest
import vision_assets as va
import vision_reference as vr
from control_zelk import optik1
from control_zelk.optik1 import Img
from vision_assets import bar_kit, kit, one_opencv_thread  # noqa: F401  (fixtures)

PHOTOS = va.photo_frames()
QR = va.qr_frames()
NOISE = np.random.default_rng(8).integers(0, 256, (480, 640, 3), np.uint8)
FACE_STATE = ("color_data", "path", "pht", "flag_cap", "flag_mask", "Type", "time")


def setup(monkeypatch, kit):
    """Points optik1 at kit and both sides at recorders; returns make(frame) -> (Img, reference
    Img)."""
    va.point_module_at(monkeypatch, optik1, kit)
    recorders = va.Recorder(), va.Recorder()
    monkeypatch.setattr(optik1, "cv2", recorders[0])
    env = vr.environment(kit, recorders[1])

    def make(frame=None):
        frame = NOISE if frame is None else frame
        return Img(frame.copy()), vr.Img(env, frame.copy())

    make.recorders = recorders
    return make


@pytest.fixture
def pair(monkeypatch, kit, one_opencv_thread):
    return setup(monkeypatch, kit)


@pytest.fixture
def bar_pair(monkeypatch, bar_kit, one_opencv_thread):
    return setup(monkeypatch, bar_kit)


def state(obj, names):
    out = {}
    for name in names:
        value = getattr(obj, name, "<missing>")
        out[name] = (
            (type(value).__name__, value) if isinstance(value, (int, str)) else type(value).__name__
        )
    return out


def assert_same(make, native, ref, call, names=FACE_STATE, lenient=False):
    """call(obj) on both; outcome, attributes, img, the caller's array and windows agree."""
    frames = native.img, ref.img
    got, _, _ = va.run_both(lambda _: call(native), lambda _: call(ref), lambda: None, lenient)
    if got is None:
        return got
    assert state(native, names) == state(ref, names)
    assert va.equal_images(native.img, ref.img)
    assert va.equal_images(frames[0], frames[1]), "the marks in the caller's array differ"
    if hasattr(ref, "img_new"):
        assert native.img_new is native.img
    va.assert_same_windows(make.recorders)
    return got


# ---------------------------------------------------------------------------------------------
# Faces

BARS = {
    "face at x = 0": [(0, 40, "v")],
    "face at y = 0": [(40, 0, "h")],
    "face with y < h": [(40, 10, "v")],
    "face with y >= h": [(98, 60, "v")],
    "two faces": [(40, 60, "v"), (200, 100, "h")],
    "mask below the frame": [(100, 120, "h")],
    "a face for 3 neighbours, not for 5": [(100, 40, "w")],  # face_mask too looks with 5
}
SEQUENCES = {  # the calls on one object, each on a new frame
    "face_detect only": ["face_detect"],
    "hat, then plain detection pastes it too": ["face_cap", "face_detect"],
    "mask, then hat: both flags": ["face_mask", "face_cap", "face_detect"],
    "hat, then nobody": ["face_cap", "nobody"],
}


def frame_for(kind, name):
    if kind == "photo":
        return PHOTOS[name].copy()
    return va.bar_frame(BARS[name], h=170 if name == "mask below the frame" else 240)


CALLS = {
    "face_detect": lambda obj: obj.face_detect("face"),
    "nobody": lambda obj: obj.face_detect("face"),
    "face_cap": lambda obj: obj.face_cap("hat"),
    "face_mask": lambda obj: obj.face_mask("mask"),
}


def run_sequence(make, native, ref, steps, frame):
    for step in steps:
        native.img = frame.copy() if step != "nobody" else PHOTOS["no face"].copy()
        ref.img = native.img.copy()
        assert assert_same(make, native, ref, CALLS[step]) == ("returned", None)


PHOTO_CASES = [
    ("portrait", "face_detect only"),
    ("portrait", "mask, then hat: both flags"),
    ("two faces", "hat, then plain detection pastes it too"),
    ("face low", "hat, then nobody"),
    ("face at the bottom", "mask, then hat: both flags"),
]


@pytest.mark.parametrize("name, steps", PHOTO_CASES, ids=[f"{n}: {s}" for n, s in PHOTO_CASES])
def test_photo_faces_equal_the_plain_steps(pair, name, steps):
    native, ref = pair()
    run_sequence(pair, native, ref, SEQUENCES[steps], frame_for("photo", name))


@pytest.mark.parametrize("steps", SEQUENCES.values(), ids=SEQUENCES.keys())
@pytest.mark.parametrize("name", BARS)
def test_placed_faces_equal_the_plain_steps(bar_pair, name, steps):
    native, ref = bar_pair()
    run_sequence(bar_pair, native, ref, steps, frame_for("bars", name))


def test_face_detect_attributes_and_the_two_rectangles(bar_pair, bar_kit):
    frame = va.bar_frame([(0, 40, "v"), (98, 60, "v")])
    obj = Img(frame)
    assert obj.face_detect(model_name="face") is None
    assert obj.path == bar_kit + "model/face.xml" and type(obj.cascade) is cv2.CascadeClassifier
    assert obj.color_data == "有人" and obj.img_new is obj.img is frame
    assert (obj.flag_cap, obj.flag_mask) == (0, 0) and not hasattr(obj, "pht")
    expected = va.bar_frame([(0, 40, "v"), (98, 60, "v")])
    for bar in ((0, 40, "v"), (98, 60, "v")):
        x, y, w, h = va.bar_face(*bar)
        cv2.rectangle(expected, (x, y), (x + w, y + h), (255, 0, 0), 2)
        if x > 0:  # a second, thin rectangle on faces off the border
            cv2.rectangle(expected, (x, y), (x + w, y + h), (255, 0, 0), 1)
    assert np.array_equal(frame, expected)
    assert [w for w, _ in bar_pair.recorders[0].windows()] == ["face"]
    obj.img = PHOTOS["no face"]
    obj.face_detect("face")  # color_data is reset by every call
    assert obj.color_data == "no_people"


def test_flags_become_1_and_stay(bar_pair, bar_kit):
    obj = Img(va.bar_frame(BARS["face with y >= h"]))
    obj.face_cap("hat")
    assert (obj.flag_cap, obj.flag_mask, obj.pht) == (1, 0, bar_kit + "camera_pos/hat.jpg")
    assert type(obj.flag_cap) is int
    obj.img = va.bar_frame(BARS["face with y >= h"])
    obj.face_mask(path="mask")
    assert (obj.flag_cap, obj.flag_mask, obj.pht) == (1, 1, bar_kit + "camera_pos/mask.jpg")
    obj.img = va.bar_frame(BARS["face with y >= h"])
    obj.face_detect("face")
    assert (obj.flag_cap, obj.flag_mask) == (1, 1)
    windows = [w for w, _ in bar_pair.recorders[0].windows()]
    assert windows == ["output", "face"] * 3


@pytest.mark.parametrize(
    "flags, pasted",
    [
        ({"flag_cap": True, "pht": "hat"}, True),  # equal to 1
        ({"flag_mask": 2, "pht": "hat"}, False),  # not 1
        ({"flag_cap": 1, "pht": "no such picture"}, False),
        ({"flag_cap": 1}, False),  # no picture named at all: the paste fails quietly
    ],
    ids=["True", "2", "missing picture", "no pht"],
)
def test_flags_set_by_the_program(bar_pair, bar_kit, flags, pasted):
    native, ref = bar_pair(va.bar_frame(BARS["face with y >= h"]))
    for obj in (native, ref):
        for name, value in flags.items():
            setattr(obj, name, bar_kit + "camera_pos/" + value + ".jpg" if name == "pht" else value)
    assert_same(bar_pair, native, ref, lambda obj: obj.face_detect("face"))
    native.img = va.bar_frame(BARS["face with y >= h"])
    native.face_detect("face")
    assert ("output" in [w for w, _ in bar_pair.recorders[0].windows()]) == pasted


def test_missing_or_broken_cascade(pair, kit):
    native, ref = pair(PHOTOS["portrait"])
    got = assert_same(pair, native, ref, lambda obj: obj.face_detect("absent"))
    assert (
        got == ("raised", cv2.error) and native.cascade.empty() and native.color_data == "no_people"
    )
    with open(kit + "model/junk.xml", "w") as f:
        f.write("<opencv_storage><cascade>nothing</cascade></opencv_storage>")
    native, ref = pair(PHOTOS["portrait"])
    with pytest.raises((cv2.error, SystemError)):  # cv2 4.6 wraps this one in SystemError
        native.face_detect("junk")
    assert native.path == kit + "model/junk.xml" and not hasattr(native, "cascade")
    assert not hasattr(native, "color_data")


FRAMES = {  # name -> (make the frame, strict)
    **fk.frames_of_every_kind(
        va.bar_frame(BARS["two faces"]),
        [
            "None",
            "empty list",
            "grey",
            "empty",
            "float32",
            "BGRA",
            "crop of a larger frame",
            "every second row of a taller frame",
            "rows upside down",
            "channels reversed",
        ],
        lenient=["BGRA"],
    ),
    "mirrored, no face": (lambda: va.bar_frame([])[:, ::-1], True),
}


@pytest.mark.parametrize("method", ["face_detect", "face_cap"])
@pytest.mark.parametrize("name", FRAMES)
def test_face_methods_on_frames_of_every_kind(bar_pair, method, name):
    make, strict = FRAMES[name]
    native, ref = bar_pair()
    native.img, ref.img = make(), make()
    call = (
        (lambda obj: obj.face_detect("face"))
        if method == "face_detect"
        else (lambda obj: obj.face_cap("hat"))
    )
    assert_same(bar_pair, native, ref, call, lenient=not strict)


# ---------------------------------------------------------------------------------------------
# QR codes


@pytest.mark.parametrize("name", QR)
def test_erweima_detect_equals_the_plain_steps(pair, name):
    native, ref = pair(QR[name])
    native.er_data = ref.er_data = "earlier"
    assert assert_same(pair, native, ref, lambda obj: obj.erweima_detect(), ("er_data",)) == (
        "returned",
        None,
    )
    assert np.array_equal(native.img, QR[name])  # only the grey copy is marked


def test_erweima_detect_window_and_data(pair):
    obj = Img(QR["two codes"])
    obj.erweima_detect()
    (_, window, grey), (_, key) = pair.recorders[0].calls
    assert (obj.er_data, window, key) == ("中文", "erweima", 1) and grey.shape == QR[
        "two codes"
    ].shape[:2]
    obj.img = QR["no code"]
    obj.erweima_detect()
    assert obj.er_data == "none"


def test_decode_display_stores_er_data_only_when_something_is_read(pair):
    obj = Img()
    blank = np.full((40, 40), 255, np.uint8)
    assert obj.decodeDisplay(blank) is None and not hasattr(obj, "er_data")
    assert not hasattr(obj, "data")
    grey = cv2.cvtColor(QR["top-left corner"], cv2.COLOR_BGR2GRAY)
    native, ref = pair()
    for obj in (native, ref):
        obj.decodeDisplay(image := grey.copy())
        obj.marked = image
    assert native.er_data == ref.er_data == "左上" and np.array_equal(native.marked, ref.marked)
    assert not np.array_equal(native.marked, grey) and pair.recorders[0].calls == []


QR_FRAMES = fk.frames_of_every_kind(
    QR["two codes"],
    ["None", "grey", "empty", "mirrored", "BGRA", "float32"],
    lenient=["BGRA", "float32"],
)


@pytest.mark.parametrize("name", QR_FRAMES)
def test_erweima_detect_on_frames_of_every_kind(pair, name):
    make, strict = QR_FRAMES[name]
    native, ref = pair()
    native.img, ref.img = make(), make()
    got = assert_same(
        pair, native, ref, lambda obj: obj.erweima_detect(), ("er_data",), lenient=not strict
    )
    if got and got[0] == "raised":
        assert native.er_data == "none"


# ---------------------------------------------------------------------------------------------
# The model


MODEL_STATE = ("item", "m_data")
MODEL_CALLS = {
    "onnx_detect_new": lambda obj: obj.onnx_detect_new(obj.img),
    "model_recognize": lambda obj: obj.model_recognize(),
}


def test_model_loads_the_default_file_or_the_one_named(pair, kit):
    obj = Img(NOISE)
    assert obj.model_() is None
    assert type(obj.model) is cv2.dnn.Net and (obj.item, obj.pro, obj.m_data) == (
        "qmt4082",
        0,
        "none",
    )
    obj.m_data, obj.pro = "x", "y"
    obj.model_(model_name="digits.v2.onnx")
    assert (obj.item, obj.pro, obj.m_data) == ("digits", 0, "none")
    net = obj.model
    with pytest.raises(cv2.error):
        obj.model_("missing.onnx")
    assert obj.model is net and obj.item == "digits"


@pytest.mark.parametrize(
    "model, m_data",
    [
        (None, "9"),
        ("turn.onnx", "右转"),
        ("left.onnx", "左转"),
        ("voice.onnx", "语音"),
        ("five.onnx", "5"),
        ("unsure.onnx", "none"),
        ("thirteen.onnx", "none"),  # class 12: m_data stays at the "none" of this run
    ],
)
def test_model_recognize_labels(pair, model, m_data):
    native, ref = pair(PHOTOS["portrait"])
    for obj in (native, ref):
        obj.m_data = "earlier"
        if model:
            obj.model_(model)
    assert_same(pair, native, ref, lambda obj: obj.model_recognize(), MODEL_STATE)
    assert native.m_data == m_data
    va.assert_same_pro(native.pro, ref.pro)


def test_recognition_uses_the_network_this_object_holds(pair, kit):
    """Once model_ has loaded a network, onnx_detect_new and model_recognize run it: neither
    reads the default file again nor changes model and item."""
    obj = Img(NOISE)
    obj.model_("turn.onnx")
    net = obj.model
    obj.model_recognize()
    assert (obj.m_data, obj.item) == ("右转", "turn") and obj.model is net
    obj.m_data = "earlier"
    obj.onnx_detect_new(NOISE)
    assert (
        (obj.m_data, obj.item) == ("none", "turn") and obj.model is net and obj.pro.argmax() == 10
    )
    os.remove(kit + "model/qmt4082.proto")  # not needed by an object that holds a network
    obj.model_recognize()
    assert obj.m_data == "右转"
    with pytest.raises(cv2.error):  # an object without one needs the default file
        Img(NOISE).model_recognize()


def test_onnx_detect_new_loads_the_default_network_when_there_is_none(pair):
    native, ref = pair()
    assert not hasattr(native, "model")
    assert_same(pair, native, ref, lambda obj: obj.onnx_detect_new(NOISE), MODEL_STATE)
    assert (
        type(native.model) is cv2.dnn.Net and native.item == "qmt4082" and native.m_data == "none"
    )
    va.assert_same_pro(native.pro, ref.pro)


def test_a_run_that_fails_leaves_pro_0_and_m_data_none(pair):
    obj = Img(cv2.cvtColor(NOISE, cv2.COLOR_BGR2BGRA))  # four channels: the network refuses
    obj.model_("turn.onnx")
    obj.onnx_detect_new(NOISE)
    obj.m_data = "earlier"
    with pytest.raises(cv2.error):
        obj.model_recognize()
    assert (obj.pro, obj.m_data) == (0, "none")


def test_the_threshold_is_strict_and_the_tables_are_read_at_the_call(pair, kit, monkeypatch):
    at, above = va.boundary_logits()
    for logits, m_data in ((at, "none"), (above, "9")):
        with open(kit + "model/edge.onnx", "wb") as f:
            f.write(va.logits_model(logits))
        native, ref = pair()
        for obj in (native, ref):
            obj.model_("edge.onnx")
        assert_same(pair, native, ref, lambda obj: obj.model_recognize(), MODEL_STATE)
        assert native.m_data == m_data
    monkeypatch.setattr(optik1, "items_dir", {10: "right"})
    obj = Img(NOISE)
    obj.model_("turn.onnx")
    obj.model_recognize()
    assert obj.m_data == "right"


@pytest.mark.parametrize(
    "method, points, tensor",
    [
        ("onnx_detect_new", [(0, 0), (300, 500), (479, 639), (5, 620)], vr.tensor_unit),
        (
            "model_recognize",
            [(0, 0), (17, 201), (223, 223)],
            lambda f: vr.tensor_unit(cv2.resize(f, (224, 224))),
        ),
    ],
)
def test_the_tensor_seen_by_the_network(pair, kit, method, points, tensor):
    with open(kit + "model/probe.onnx", "wb") as f:
        f.write(va.probe_model(points))
    native, ref = pair()
    for obj in (native, ref):
        obj.model_("probe.onnx")
    assert_same(pair, native, ref, MODEL_CALLS[method], MODEL_STATE)
    va.assert_same_pro(native.pro, ref.pro, rtol=1e-5)
    scores = np.log(native.pro.astype(np.float64) / native.pro[-1])
    np.testing.assert_allclose(scores, va.probe_scores(tensor(NOISE), points), atol=2e-4)


MODEL_FRAMES = fk.frames_of_every_kind(
    NOISE, ["None", "grey", "empty", "BGRA", "mirrored", "float32"], lenient=["float32"]
)


@pytest.mark.parametrize("method", ["onnx_detect_new", "model_recognize"])
@pytest.mark.parametrize("name", MODEL_FRAMES)
def test_model_methods_on_frames_of_every_kind(pair, method, name):
    make, strict = MODEL_FRAMES[name]
    native, ref = pair()
    for obj in (native, ref):
        obj.model_("turn.onnx")
        obj.img = make()
    got = assert_same(pair, native, ref, MODEL_CALLS[method], MODEL_STATE, lenient=not strict)
    if got == ("returned", None):
        va.assert_same_pro(native.pro, ref.pro)


# ---------------------------------------------------------------------------------------------
# Beauty filter


def beauty_frames():
    rng = np.random.default_rng(4)
    yield "black", np.zeros((48, 64, 3), np.uint8)
    yield "white", np.full((48, 64, 3), 255, np.uint8)
    for h, w in [(240, 320), (37, 53), (1, 90), (64, 1)]:
        yield f"noise {h}x{w}", rng.integers(0, 256, (h, w, 3), np.uint8)
    yield from PHOTOS.items()
    yield "crop of a larger frame", np.pad(PHOTOS["portrait"], ((4, 4), (6, 6), (0, 0)))[4:-4, 6:-6]
    yield "mirrored view", PHOTOS["portrait"][:, ::-1]


@pytest.mark.parametrize("name, frame", list(beauty_frames()), ids=[n for n, _ in beauty_frames()])
def test_beauty_face_is_the_seven_cv2_steps_bit_for_bit(pair, name, frame):
    keep = frame.copy()
    obj = Img(frame)
    assert obj.beauty_face() is None
    want = vr.beauty(keep)
    assert obj.img.dtype == np.uint8 and obj.img.shape == frame.shape
    assert np.count_nonzero(obj.img != want) == 0
    assert np.array_equal(frame, keep) and obj.img is not frame  # a new image; the frame is kept
    if name == "black":
        assert (obj.img == 19).all()
    assert (obj.Type, obj.flag_cap, obj.time) == ("彩色图", 0, 40) and pair.recorders[0].calls == []


BEAUTY_FRAMES = fk.frames_of_every_kind(
    PHOTOS["portrait"],
    ["None", "empty list", "empty", "BGRA", "channels reversed", "grey", "float32"],
    lenient=["grey", "float32"],
)


@pytest.mark.parametrize("name", BEAUTY_FRAMES)
def test_beauty_face_on_frames_of_every_kind(pair, name):
    make, strict = BEAUTY_FRAMES[name]
    native, ref = pair()
    native.img, ref.img = make(), make()
    assert_same(pair, native, ref, lambda obj: obj.beauty_face(), (), lenient=not strict)


# ---------------------------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize(
    "method, args",
    [
        ("face_detect", ()),
        ("face_detect", ("face", "face")),
        ("face_cap", ()),
        ("face_mask", ("a", "b")),
        ("beauty_face", (1,)),
        ("decodeDisplay", ()),
        ("erweima_detect", (1,)),
        ("model_", ("a", "b")),
        ("onnx_detect_new", ()),
        ("model_recognize", (1,)),
        ("face_detect", (3,)),
        ("face_cap", (None,)),
        ("model_", (4082,)),
    ],
)
def test_wrong_arguments_raise_type_error(pair, method, args):
    obj = Img(NOISE.copy())
    with pytest.raises(TypeError):
        getattr(obj, method)(*args)
