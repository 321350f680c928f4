"""The generated test inputs and the plain-Python yardstick (vision_reference) checked against
facts that come from neither: where the cascade finds faces, what zbar reads, what the
networks compute, what the filter makes of black."""

import cv2
import numpy as np
import pytest
import pyzbar.pyzbar as pyzbar
import vision_assets as va
import vision_reference as vr
from vision_assets import bar_kit, kit, one_opencv_thread  # noqa: F401  (fixtures)


def test_photo_faces(kit):
    cascade = vr.load_cascade(kit + "model/face.xml")
    for neighbours in (5, 3):
        assert [tuple(f) for f in vr.find_faces(cascade, va.astronaut(), neighbours)] == [
            va.ASTRONAUT_FACE
        ]
    faces = {
        name: [tuple(f) for f in vr.find_faces(cascade, frame, 5)]
        for name, frame in va.photo_frames().items()
    }
    x, y, w, h = va.PORTRAIT_FACE
    assert faces["portrait"] == [va.PORTRAIT_FACE] and y < h
    assert sorted(faces["two faces"]) == [va.PORTRAIT_FACE, (x + 224, y, w, h)]
    assert faces["face low"] == [(x, y + 64, w, h)] and faces["no face"] == []
    assert faces["face at the bottom"] == [va.PORTRAIT_FACE]
    assert y + h * 7 // 10 + h * 4 // 5 // 2 > 168  # where the mask would end


@pytest.mark.parametrize(
    "bars",
    [
        [(0, 40, "v")],
        [(40, 0, "h")],
        [(0, 0, "v")],
        [(0, 0, "h")],
        [(40, 10, "v")],
        [(98, 60, "v")],
        [(40, 60, "v"), (200, 100, "h")],
        [(10, 10, "h"), (120, 120, "v"), (240, 20, "v")],
    ],
    ids=str,
)
def test_bars_are_faces_exactly_where_they_are_put(bar_kit, bars):
    cascade = vr.load_cascade(bar_kit + "model/face.xml")
    frame = va.bar_frame(bars)
    expected = sorted(va.bar_face(*b) for b in bars)
    for neighbours in (5, 3):
        assert sorted(tuple(f) for f in vr.find_faces(cascade, frame, neighbours)) == expected
    assert len(vr.find_faces(cascade, va.bar_frame([(41, 40, "v")]), 0)) == 0  # odd: never seen
    weak = va.bar_frame([(100, 40, "w")])
    assert [tuple(f) for f in vr.find_faces(cascade, weak, 3)] == [va.bar_face(100, 40, "w")]
    assert len(vr.find_faces(cascade, weak, 5)) == 0


def test_overlay_geometry_of_the_reference(bar_kit, one_opencv_thread):
    rec = va.Recorder()
    ref = vr.FaceDetect(vr.environment(bar_kit, rec), "face")
    frame = va.bar_frame([(0, 40, "v"), (40, 0, "h")])
    keep = frame.copy()
    ref.cap(frame, "hat")  # both faces touch the border: nothing at all
    assert rec.summary() == [("imshow", "face", frame.shape), ("waitKey", 40)]
    assert np.array_equal(frame, keep) and ref.data == "有人"

    rec.calls.clear()
    frame = va.bar_frame([(40, 10, "v")])  # y = 15 < h = 48: the hat is cut to 15 rows
    ref.cap(frame, "hat")
    (_, output), (_, shown) = rec.windows()
    changed = np.argwhere((output != shown).any(axis=2))
    assert changed[:, 0].min() >= 15 - 15 // 2 - 1 and changed[:, 0].max() <= 15 + 15 // 2 + 1
    assert (shown[15, 40:89] == vr.BLUE).all() and (shown[16, 41:88] != vr.BLUE).any()

    rec.calls.clear()
    frame = va.bar_frame([(100, 120, "h")], h=120 + 50)  # the mask would reach below
    ref.mask(frame.copy(), "mask")
    assert [w for w, _ in rec.windows()] == ["face"]
    ref.cap(frame, "hat")
    assert [w for w, _ in rec.windows()] == ["face", "output", "face"]

    rec.calls.clear()
    frame = va.bar_frame([(40, 60, "v"), (200, 100, "h")])
    ref.cap(frame, "hat")
    (_, first), (_, second), _ = rec.windows()
    boxes = [
        tuple(f)
        for f in vr.find_faces(ref.cascade, va.bar_frame([(40, 60, "v"), (200, 100, "h")]), 5)
    ]
    x, y, w, h = boxes[0]  # its bottom edge is far from any pasted hat
    assert (first[y + h, x : x + w] == vr.BLUE).all() and (
        second[y + h, x : x + w] == vr.BLUE
    ).all()
    x, y, w, h = boxes[1]
    assert (
        not (first[y + h, x : x + w] == vr.BLUE).all()
        and (second[y + h, x : x + w] == vr.BLUE).all()
    )


def test_qr_frames_read_as_intended():
    frames = va.qr_frames()
    read = {
        name: [
            (s.data, s.type, tuple(s.rect))
            for s in pyzbar.decode(cv2.cvtColor(f, cv2.COLOR_BGR2GRAY))
        ]
        for name, f in frames.items()
    }
    assert [d for d, _, _ in read["two Chinese characters"]] == ["中文".encode()]
    assert [d.decode() for d, _, _ in read["two codes"]] == ["汉字", "中文"]  # not left to right
    assert read["top-left corner"] == [("左上".encode(), "QRCODE", (0, 0, 84, 84))]
    ((_, _, (x, y, w, h)),) = read["turned"]
    for half in (x + w / 2, y + h / 2, h / 2):  # int() must drop a half that rounding would not
        assert half % 1 == 0.5 and int(half) % 2 == 1
    assert read["latin-1 bytes"][0][0] == "ÿþ".encode()  # zbar hands out text, not the raw bytes
    assert read["invalid UTF-8 declared as UTF-8"] == [] and read["no code"] == []
    assert [(d, t) for d, t, _ in read["bar code and QR code"]] == [
        (b"QR", "QRCODE"),
        (b"4006381333931", "EAN13"),
    ]


def test_models_load_and_compute_what_they_are_built_for(tmp_path):
    def net_from(data):
        path = tmp_path / "model.onnx"
        path.write_bytes(data)
        return cv2.dnn.readNetFromONNX(str(path))

    logits = np.arange(13, dtype=np.float32) - 6
    for shape in ((1, 3, 224, 224), (1, 3, 480, 640), (1, 3, 7, 5)):
        n = net_from(va.logits_model(logits))
        n.setInput(np.random.default_rng(0).random(shape))
        assert np.array_equal(n.forward(), logits[None])
    points = [(0, 0), (100, 37), (479, 639)]
    n = net_from(va.probe_model(points))
    tensor = np.random.default_rng(1).random((1, 3, 480, 640))
    n.setInput(tensor)
    np.testing.assert_allclose(n.forward()[0], va.probe_scores(tensor, points), atol=1e-5)
    with pytest.raises(cv2.error):
        n = net_from(va.logits_model(logits))
        n.setInput(np.zeros((1, 4, 224, 224)))
        n.forward()


def test_reference_tensors():
    frame = np.random.default_rng(2).integers(0, 256, (480, 640, 3), np.uint8)
    t = vr.tensor_224(frame)
    small = cv2.resize(frame, (224, 224))
    assert t.shape == (1, 3, 224, 224) and t.dtype == np.float64 and -1 <= t.min() and t.max() <= 1
    np.testing.assert_allclose(t[0, 2, 10, 20], small[10, 20, 2] / 127.5 - 1)  # red stays last
    u = vr.tensor_unit(frame)
    assert u.shape == (1, 3, 480, 640) and u.dtype == np.float64 and 0 <= u.min() and u.max() <= 1
    assert u[0, 0, 470, 630] == frame[470, 630, 0] / 255


def test_probabilities_and_the_threshold():
    at, above = va.boundary_logits()
    env = vr.environment()
    assert (
        vr.label(env, va.softmax32(at), "x") == "none"
        and vr.label(env, va.softmax32(above), "x") == "9"
    )
    cases = {
        (0, 0.95): "9",
        (10, 0.99): "右转",
        (9, 0.97): "左转",
        (11, 0.93): "语音",
        (3, 0.6): "none",
    }
    for (cls, p), expected in cases.items():
        pro = va.softmax32(va.logits_with(cls, p))
        assert (
            pro.dtype == np.float32
            and abs(pro[cls] - p) < 1e-6
            and vr.label(env, pro, "x") == expected
        )
    assert vr.label(env, va.softmax32(va.logits_with(12, 0.99, n=13)), "previous") == "previous"


def test_beauty_on_black_is_19_and_on_white_saturates():
    assert (vr.beauty(np.zeros((20, 30, 3), np.uint8)) == 19).all()
    assert (vr.beauty(np.full((20, 30, 3), 255, np.uint8)) == 255).all()


def test_reference_img_keeps_its_network(kit):
    env = vr.environment(kit, va.Recorder())
    obj = vr.Img(env, va.astronaut())
    obj.model_recognize()  # no network yet: the default model
    assert (obj.item, obj.m_data) == ("qmt4082", "9")
    obj.model_("turn.onnx")
    net = obj.model
    obj.model_recognize()
    assert (obj.item, obj.m_data) == ("turn", "右转") and obj.model is net
