"""optik.model_recognize: the network it loads, the tensors it feeds (seen through a network
that returns parts of its input), the probabilities and the label rule, compared with the
plain NumPy steps (vision_reference)."""

import pathlib

import cv2
import numpy as np
import pytest

import vision_assets as va
import vision_reference as vr
from control_zelk import optik
from vision_assets import kit  # noqa: F401  (fixture)

FRAME = np.random.default_rng(5).integers(0, 256, (480, 640, 3), np.uint8)   # noise: resizes differ


@pytest.fixture
def make(monkeypatch, kit):
    """make(model file) -> (library object, reference object)."""
    va.point_module_at(monkeypatch, optik, kit)
    monkeypatch.setattr(optik, "cv2", va.Recorder())
    env = vr.environment(kit)
    return lambda name: (optik.model_recognize(name), vr.ModelRecognize(env, name))


def write_model(kit, name, data):
    with open(kit + "model/" + name, "wb") as f:
        f.write(data)


def assert_same_pro(got, want, rtol=1e-6):
    """pro as NumPy computes it from the network's float32 scores: a float32 vector."""
    assert isinstance(got, np.ndarray) and got.dtype == want.dtype == np.float32 and got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=rtol, atol=1e-7)


def test_constructor(make, kit):
    mr, _ = make("qmt4082.proto")
    assert list(vars(mr).items())[1:] == [("item", "qmt4082"), ("pro", 0), ("data", "none")]
    assert list(vars(mr))[0] == "model" and type(mr.model) is cv2.dnn.Net and type(mr.pro) is int
    assert isinstance(mr, optik.Camera) and optik.model_recognize.detect is optik.Camera.detect
    assert optik.model_recognize.recognize is not optik.Camera.recognize and mr.detect(FRAME) is None
    for op in ("read_camera", "show_image", "close_camera"):
        with pytest.raises(AttributeError):
            getattr(mr, op)()
    mr.close_allwindows()


@pytest.mark.parametrize("name, item", [("digits.v2.onnx", "digits"), ("turn.onnx", "turn"),
                                        ("noext", "noext"), (".hidden.onnx", "")])
def test_item_is_the_name_up_to_its_first_dot(make, kit, name, item):
    write_model(kit, name, va.logits_model(va.logits_with(0, 0.95)))
    assert optik.model_recognize(model_name=name).item == item


@pytest.mark.parametrize("name", ["missing.onnx", "broken.onnx", "folder.onnx"])
def test_a_missing_or_broken_model_file_fails_the_constructor(make, kit, name):
    write_model(kit, "broken.onnx", b"\x08\x07 not a network")
    (pathlib.Path(kit) / "model" / "folder.onnx").mkdir(exist_ok=True)
    with pytest.raises(cv2.error):
        optik.model_recognize(name)


@pytest.mark.parametrize("model, data", [
    ("qmt4082.proto", "9"),            # class 0 carries the digit nine
    ("five.onnx", "5"), ("left.onnx", "左转"), ("turn.onnx", "右转"), ("voice.onnx", "语音"),
    ("unsure.onnx", "none"),           # 0.6
    ("thirteen.onnx", "earlier"),      # class 12 has no label: data is left as it was
])
def test_recognize_labels(make, model, data):
    native, ref = make(model)
    native.data = ref.data = "earlier"
    assert native.recognize(FRAME) is None
    ref.recognize(FRAME)
    assert native.data == ref.data == data
    assert_same_pro(native.pro, ref.pro)


def test_the_threshold_is_strict(make, kit):
    """The largest probability must exceed 0.9: np.float32(0.9) (just below 0.9) is not
    enough, the next float32 above it is."""
    at, above = va.boundary_logits()
    for logits, data in ((at, "none"), (above, "9")):
        write_model(kit, "edge.onnx", va.logits_model(logits))
        native, ref = make("edge.onnx")
        native.recognize(FRAME)
        ref.recognize(FRAME)
        assert native.data == ref.data == data
        assert_same_pro(native.pro, ref.pro)


def test_the_label_tables_are_read_when_recognize_runs(make, monkeypatch):
    native, _ = make("qmt4082.proto")
    monkeypatch.setattr(optik, "items_num", {0: "nine"})
    native.recognize(FRAME)
    assert native.data == "nine"
    monkeypatch.setattr(optik, "items_dir", {})
    native, _ = make("turn.onnx")
    with pytest.raises(KeyError):
        native.recognize(FRAME)


POINTS_224 = [(0, 0), (17, 201), (223, 223), (100, 5)]
POINTS_FULL = [(0, 0), (300, 500), (479, 639), (5, 620)]


@pytest.mark.parametrize("op, points, tensor", [
    ("onnx_detect", POINTS_224, vr.tensor_224),                              # resized, -1 ... 1
    ("onnx_detect_new", POINTS_FULL, vr.tensor_unit),                        # as it is, 0 ... 1
    ("recognize", POINTS_224, lambda f: vr.tensor_unit(cv2.resize(f, (224, 224)))),
])
def test_the_tensor_seen_by_the_network(make, kit, op, points, tensor):
    """A network that returns the channel means and the pixels at `points`: its scores,
    recovered from pro, are those of the tensor built with NumPy (shape, scaling, B-G-R order,
    resize)."""
    write_model(kit, "probe.onnx", va.probe_model(points))
    native, ref = make("probe.onnx")
    frames = [FRAME, np.ascontiguousarray(FRAME[::-1, ::-1])]
    if op != "onnx_detect_new":
        frames.append(va.astronaut())
    for frame in frames:
        assert getattr(native, op)(frame) is None
        getattr(ref, op)(frame)
        assert_same_pro(native.pro, ref.pro, rtol=1e-5)
        scores = np.log(native.pro.astype(np.float64) / native.pro[-1])
        # the network sums in float32: means are good to about 1e-4, single pixels far better
        np.testing.assert_allclose(scores, va.probe_scores(tensor(frame), points), atol=2e-4)


def test_a_tensor_the_network_refuses_leaves_pro_and_data(make):
    native, ref = make("turn.onnx")
    native.recognize(FRAME)
    pro = native.pro.copy()
    bgra = cv2.cvtColor(FRAME, cv2.COLOR_BGR2BGRA)     # four channels: the network's Gemm refuses
    for op in ("onnx_detect", "onnx_detect_new", "recognize"):
        with pytest.raises(cv2.error):
            getattr(native, op)(bgra)
        assert np.array_equal(native.pro, pro) and native.data == "右转"


FRAMES = {   # name -> (make the frame, strict)
    "None": (lambda: None, True),
    "grey": (lambda: cv2.cvtColor(FRAME, cv2.COLOR_BGR2GRAY), True),
    "empty": (lambda: np.zeros((0, 0, 3), np.uint8), True),
    "one row": (lambda: FRAME[:1].copy(), True),
    "BGRA": (lambda: cv2.cvtColor(FRAME, cv2.COLOR_BGR2BGRA), True),
    "crop of a larger frame": (lambda: np.pad(FRAME, ((2, 2), (3, 3), (0, 0)))[2:-2, 3:-3], True),
    "mirrored": (lambda: FRAME[:, ::-1], True),
    "channels reversed": (lambda: FRAME[..., ::-1], True),
    "Fortran order": (lambda: np.asfortranarray(FRAME), True),
    "float32": (lambda: FRAME.astype(np.float32), False),
    "int16": (lambda: FRAME.astype(np.int16), False),
}


@pytest.mark.parametrize("op", ["onnx_detect", "onnx_detect_new", "recognize"])
@pytest.mark.parametrize("name", FRAMES)
def test_frames_of_every_kind(make, op, name):
    native, ref = make("qmt4082.proto")
    build, strict = FRAMES[name]
    got, _, _ = va.run_both(getattr(native, op), getattr(ref, op), build, lenient=not strict)
    if got == ("returned", None):
        assert_same_pro(native.pro, ref.pro)
    elif got is not None:                        # the error leaves pro as it was
        assert native.pro == 0
    assert native.data == ref.data


@pytest.mark.parametrize("call", [
    lambda: optik.model_recognize(),
    lambda: optik.model_recognize("qmt4082.proto", 1),
    lambda: optik.model_recognize(4082),
    lambda: optik.model_recognize("qmt4082.proto").recognize(),
    lambda: optik.model_recognize("qmt4082.proto").onnx_detect(FRAME, FRAME),
    lambda: optik.model_recognize("qmt4082.proto").onnx_detect_new(),
], ids=["no name", "two names", "number as name", "recognize()", "onnx_detect with two", "onnx_detect_new()"])
def test_wrong_arguments_raise_type_error(make, call):
    with pytest.raises(TypeError):
        call()


def test_keyword_arguments(make):
    native, _ = make("turn.onnx")
    native.onnx_detect(img=FRAME)
    native.onnx_detect_new(img=FRAME)
    native.recognize(img=FRAME)
    assert native.data == "右转"
