"""optik.model_recognize: the network it loads, the tensors it feeds (seen through a network
that returns parts of its input), the probabilities and the label rule, compared with the
plain NumPy steps (vision_reference)."""

import pathlib

import cv2
import frame_kinds as fk
import numpy as np
import pytest
import vision_assets as va
import vision_reference as vr
from control_zelk import optik, optik1
from vision_assets import kit  # noqa: F401  (fixture)

FRAME = np.random.default_rng(5).integers(0, 256, (480, 640, 3), np.uint8)  # noise: resizes differ


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


def test_constructor(make, kit):
    mr, _ = make("qmt4082.proto")
    assert list(vars(mr).items())[1:] == [("item", "qmt4082"), ("pro", 0), ("data", "none")]
    assert list(vars(mr))[0] == "model" and type(mr.model) is cv2.dnn.Net and type(mr.pro) is int


@pytest.mark.parametrize(
    "name, item",
    [("digits.v2.onnx", "digits"), ("turn.onnx", "turn"), ("noext", "noext"), (".hidden.onnx", "")],
)
def test_item_is_the_name_up_to_its_first_dot(make, kit, name, item):
    write_model(kit, name, va.logits_model(va.logits_with(0, 0.95)))
    assert optik.model_recognize(model_name=name).item == item


@pytest.mark.parametrize("name", ["missing.onnx", "broken.onnx", "folder.onnx"])
def test_a_missing_or_broken_model_file_fails_the_constructor(make, kit, name):
    write_model(kit, "broken.onnx", b"\x08\x07 not a network")
    (pathlib.Path(kit) / "model" / "folder.onnx").mkdir(exist_ok=True)
    with pytest.raises(cv2.error):
        optik.model_recognize(name)


@pytest.mark.parametrize(
    "model, data",
    [
        ("qmt4082.proto", "9"),  # class 0 carries the digit nine
        ("five.onnx", "5"),
        ("left.onnx", "左转"),
        ("turn.onnx", "右转"),
        ("voice.onnx", "语音"),
        ("unsure.onnx", "none"),  # 0.6
        ("thirteen.onnx", "earlier"),  # class 12 has no label: data is left as it was
    ],
)
def test_recognize_labels(make, model, data):
    native, ref = make(model)
    native.data = ref.data = "earlier"
    assert native.recognize(FRAME) is None
    ref.recognize(FRAME)
    assert native.data == ref.data == data
    va.assert_same_pro(native.pro, ref.pro)


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
        va.assert_same_pro(native.pro, ref.pro)


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


@pytest.mark.parametrize(
    "op, points, tensor",
    [
        ("onnx_detect", POINTS_224, vr.tensor_224),  # resized, -1 ... 1
        ("onnx_detect_new", POINTS_FULL, vr.tensor_unit),  # as it is, 0 ... 1
        ("recognize", POINTS_224, lambda f: vr.tensor_unit(cv2.resize(f, (224, 224)))),
    ],
)
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
        va.assert_same_pro(native.pro, ref.pro, rtol=1e-5)
        scores = np.log(native.pro.astype(np.float64) / native.pro[-1])
        # the network sums in float32: means are good to about 1e-4, single pixels far better
        np.testing.assert_allclose(scores, va.probe_scores(tensor(frame), points), atol=2e-4)


def test_a_tensor_the_network_refuses_leaves_pro_and_data(make):
    native, ref = make("turn.onnx")
    native.recognize(FRAME)
    pro = native.pro.copy()
    bgra = cv2.cvtColor(FRAME, cv2.COLOR_BGR2BGRA)  # four channels: the network's Gemm refuses
    for op in ("onnx_detect", "onnx_detect_new", "recognize"):
        with pytest.raises(cv2.error):
            getattr(native, op)(bgra)
        assert np.array_equal(native.pro, pro) and native.data == "右转"


FRAMES = fk.frames_of_every_kind(
    FRAME,
    [  # name -> (make the frame, strict)
        "None",
        "grey",
        "empty",
        "one row",
        "BGRA",
        "crop of a larger frame",
        "mirrored",
        "channels reversed",
        "Fortran order",
        "float32",
        "int16",
    ],
    lenient=["float32", "int16"],
)


@pytest.mark.parametrize("op", ["onnx_detect", "onnx_detect_new", "recognize"])
@pytest.mark.parametrize("name", FRAMES)
def test_frames_of_every_kind(make, op, name):
    native, ref = make("qmt4082.proto")
    build, strict = FRAMES[name]
    got, _, _ = va.run_both(getattr(native, op), getattr(ref, op), build, lenient=not strict)
    if got == ("returned", None):
        va.assert_same_pro(native.pro, ref.pro)
    elif got is not None:  # the error leaves pro as it was
        assert native.pro == 0
    assert native.data == ref.data


@pytest.mark.parametrize(
    "call",
    [
        lambda: optik.model_recognize(),
        lambda: optik.model_recognize("qmt4082.proto", 1),
        lambda: optik.model_recognize(4082),
        lambda: optik.model_recognize("qmt4082.proto").recognize(),
        lambda: optik.model_recognize("qmt4082.proto").onnx_detect(FRAME, FRAME),
        lambda: optik.model_recognize("qmt4082.proto").onnx_detect_new(),
    ],
    ids=[
        "no name",
        "two names",
        "number as name",
        "recognize()",
        "onnx_detect with two",
        "onnx_detect_new()",
    ],
)
def test_wrong_arguments_raise_type_error(make, call):
    with pytest.raises(TypeError):
        call()


def test_keyword_arguments(make):
    native, _ = make("turn.onnx")
    native.onnx_detect(img=FRAME)
    native.onnx_detect_new(img=FRAME)
    native.recognize(img=FRAME)
    assert native.data == "右转"


# The label rule and the softmax in both modules, through a stand-in for the network (any
# object with setInput and forward will do, as in a learner's own code).


class Net:
    def __init__(self, scores):
        self.scores = scores

    def setInput(self, tensor):
        pass

    def forward(self):
        return self.scores


def with_net(module, scores):
    """(object, its recognize call, its label attribute) of optik's model_recognize or
    optik1's Img, running `scores` as the network's output."""
    if module is optik:
        obj = optik.model_recognize.__new__(optik.model_recognize)
        obj.pro, obj.data, obj.model = 0, "earlier", Net(scores)
        return obj, lambda: obj.recognize(FRAME), "data"
    obj = optik1.Img(FRAME)
    obj.model, obj.m_data = Net(scores), "earlier"
    return obj, obj.model_recognize, "m_data"


MODULES = pytest.mark.parametrize("module", [optik, optik1], ids=lambda m: m.__name__)
LABELS = ["9", "1", "2", "3", "4", "5", "6", "7", "8", "左转", "右转", "语音"]


@MODULES
@pytest.mark.parametrize("winner", range(13))
def test_every_confident_class_gets_its_label(module, winner):
    obj, recognize, label = with_net(
        module, va.logits_with(winner, 0.95, n=max(12, winner + 1))[None]
    )
    recognize()
    want = LABELS[winner] if winner < 12 else ("earlier" if module is optik else "none")
    assert getattr(obj, label) == want


@MODULES
def test_a_huge_top_score_does_not_overflow_the_softmax(module):
    scores = np.zeros((1, 12), np.float32)
    scores[0, 8] = 800  # exp(800) is inf in float32 and float64 alike
    obj, recognize, label = with_net(module, scores)
    recognize()
    assert getattr(obj, label) == "8" and obj.pro[8] == 1 and obj.pro.sum() == 1


def plain_label(pro):
    """The rule written with NumPy: the label, or the exception the steps raise."""
    try:
        if np.max(pro) > 0.9:
            index = np.argmax(pro)
            return LABELS[index] if index < 12 else "earlier"
        return "none"
    except Exception as e:
        return type(e), str(e)


LEFT_IN_PRO = {
    "text": ["a", "b"],
    "numeric text": ["0.95", "0.05"],
    "a list": [0.05, 0.95],
    "ints": np.array([0, 0, 1]),
    "bools": np.array([False, True]),
    "float64": np.array([0.1, 0.91]),
    "2-D": np.array([[0.0, 0.0], [0.0, 0.99]]),
    "ragged": [[1], [1, 2]],
    "None": None,
    "nothing": np.zeros(0, np.float32),
    "a dict": {"p": 1},
}


@MODULES
@pytest.mark.parametrize("name", LEFT_IN_PRO)
def test_a_subclass_may_leave_anything_in_pro(module, name):
    """What a learner's onnx_detect_new leaves in pro is judged by the NumPy steps themselves:
    their result or their own error, never an internal one."""
    base = optik.model_recognize if module is optik else optik1.Img

    class Mine(base):
        def onnx_detect_new(self, img):
            self.pro = LEFT_IN_PRO[name]

    obj, recognize, label = with_net(module, None)
    obj.__class__ = Mine
    try:
        recognize()
        got = getattr(obj, label)
    except Exception as e:
        got = type(e), str(e)
    assert got == plain_label(LEFT_IN_PRO[name])


@MODULES
@pytest.mark.parametrize(
    "scores",
    [
        np.array([["a", "b"]]),
        [[1.0, 5.0]],
        np.array([[1, 2]]),
        np.array([[0.5, 9.0]], np.float64),
        None,
    ],
    ids=["text", "a list", "ints", "float64", "None"],
)
def test_scores_other_than_float32_take_the_numpy_steps(module, scores):
    obj, recognize, _ = with_net(module, scores)
    try:
        s = np.squeeze(scores)
        e = np.exp(s - np.max(s))
        want = e / np.sum(e)
    except Exception as err:
        with pytest.raises(type(err)) as got:
            recognize()
        assert str(got.value) == str(err)
        return
    recognize()
    assert obj.pro.dtype == want.dtype and np.array_equal(obj.pro, want)
