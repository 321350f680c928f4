"""Real inputs for the face, QR-code and ONNX tests, all made at test time: a kit folder,
photos with faces, frames whose "faces" sit exactly where a test wants them, QR codes,
small ONNX models, and a stand-in for the modules' cv2 that records windows and key waits."""

import functools
import os
import shutil

import cv2
import numpy as np
import pytest

CASCADES = "/usr/share/opencv4/haarcascades/"
FRONTAL_FACE = CASCADES + "haarcascade_frontalface_default.xml"
DEFAULT_MODEL = "qmt4082.proto"  # the file optik1's model_() reads without an argument

# ---------------------------------------------------------------------------------------------
# Kit folder


def overlay_pictures():
    """A hat and a face mask, drawn: strong edges and colours so that a blend shows."""
    hat = np.full((120, 160, 3), 255, np.uint8)
    cv2.fillPoly(hat, [np.array([[80, 5], [20, 100], [140, 100]], np.int32)], (30, 30, 200))
    cv2.rectangle(hat, (5, 95), (155, 115), (20, 120, 20), -1)
    cv2.circle(hat, (80, 10), 9, (240, 240, 60), -1)
    mask = np.full((90, 150, 3), 240, np.uint8)
    cv2.ellipse(mask, (75, 45), (70, 40), 0, 0, 360, (220, 170, 90), -1)
    for y in (30, 45, 60):
        cv2.line(mask, (15, y), (135, y), (150, 110, 40), 3)
    cv2.line(mask, (0, 20), (20, 40), (10, 10, 10), 2)
    cv2.line(mask, (150, 20), (130, 40), (10, 10, 10), 2)
    return {"hat": hat, "mask": mask}


def make_kit(root, cascade=FRONTAL_FACE, models=None):
    """root/model/face.xml (a cascade file), root/camera_pos/{hat,mask}.jpg, and the given
    models (file name -> ONNX bytes) in root/model/. Returns root/ as a path text ending in /."""
    model_dir, pos_dir = os.path.join(root, "model"), os.path.join(root, "camera_pos")
    os.makedirs(model_dir, exist_ok=True)
    os.makedirs(pos_dir, exist_ok=True)
    write_cascade(os.path.join(model_dir, "face.xml"), cascade)
    for name, picture in overlay_pictures().items():
        cv2.imwrite(os.path.join(pos_dir, name + ".jpg"), picture)
    for name, data in (models or {}).items():
        with open(os.path.join(model_dir, name), "wb") as f:
            f.write(data)
    return os.path.join(str(root), "")


def write_cascade(path, cascade):
    """cascade: a file to copy, or the XML text itself."""
    if cascade.lstrip().startswith("<"):
        with open(path, "w") as f:
            f.write(cascade)
    else:
        shutil.copyfile(cascade, path)


def point_module_at(monkeypatch, module, kit):
    """The modules read model_path and d_path when an operation runs."""
    monkeypatch.setattr(module, "model_path", kit + "model/")
    monkeypatch.setattr(module, "d_path", kit + "camera_pos/")


# ---------------------------------------------------------------------------------------------
# Photos with real faces (the frontal-face cascade, scale factor 2)

ASTRONAUT_FACE = (177, 67, 96, 96)  # on the 512 x 512 photo, with 5 and 3 neighbours
PORTRAIT_FACE = (65, 67, 96, 96)  # on PORTRAIT, the same face (offsets kept to 8 pixels)
PORTRAIT = (slice(0, 224), slice(112, 336))


@functools.cache
def _photos():
    data = pytest.importorskip("skimage.data")
    return (
        cv2.cvtColor(data.astronaut(), cv2.COLOR_RGB2BGR),
        cv2.resize(cv2.cvtColor(data.coffee(), cv2.COLOR_RGB2BGR), (320, 240)),
    )


def astronaut():
    return _photos()[0].copy()


def photo_frames():
    """Named BGR frames cut from photos (small, so detection is quick): one face with y < h,
    two faces, a face with y >= h, a face so close to the bottom that a mask centred 70 % down
    the box leaves the frame, and no face."""
    portrait = _photos()[0][PORTRAIT]
    return {
        "portrait": portrait.copy(),
        "two faces": np.hstack([portrait, portrait]),
        "face low": np.pad(portrait, ((64, 0), (0, 0), (0, 0))),
        "face at the bottom": portrait[:168].copy(),
        "no face": _photos()[1].copy(),
    }


# ---------------------------------------------------------------------------------------------
# Frames whose "faces" are exactly where a test puts them.
#
# BARS_CASCADE is a real OpenCV cascade whose only object is a white bar on black, 24 pixels
# wide and 58 long, lying vertically or horizontally. Its window is 48 x 48 and the detector
# looks at every second pixel, so a vertical bar at even (x, y) is seen by the six windows at
# (x, y), (x, y + 2), ..., (x, y + 10), which group into the face (x, y + 5, 48, 48); a
# horizontal bar gives (x + 5, y, 48, 48). The x of a vertical bar and the y of a horizontal
# one are exact, so a face can start at column 0 or row 0. A shorter vertical bar ("w", 54
# long) is seen by four windows only: a face with 3 minimum neighbours, none with 5. The first
# stage always passes: a window that fails stage 0 makes the detector skip the next position.

_STAGE_ANY = """
    <_>
      <maxWeakCount>1</maxWeakCount>
      <stageThreshold>0.5</stageThreshold>
      <weakClassifiers>
        <_>
          <internalNodes>0 -1 0 0.</internalNodes>
          <leafValues>1. 1.</leafValues></_></weakClassifiers></_>"""
_STAGE_BAR = """
    <_>
      <maxWeakCount>2</maxWeakCount>
      <stageThreshold>0.5</stageThreshold>
      <weakClassifiers>
        <_>
          <internalNodes>0 -1 0 1.06</internalNodes>
          <leafValues>0. 1.</leafValues></_>
        <_>
          <internalNodes>0 -1 1 1.06</internalNodes>
          <leafValues>0. 1.</leafValues></_></weakClassifiers></_>"""
BARS_CASCADE = f"""<?xml version="1.0"?>
<opencv_storage>
<cascade>
  <stageType>BOOST</stageType>
  <featureType>HAAR</featureType>
  <height>48</height>
  <width>48</width>
  <stageParams>
    <maxWeakCount>2</maxWeakCount></stageParams>
  <featureParams>
    <maxCatCount>0</maxCatCount></featureParams>
  <stageNum>2</stageNum>
  <stages>{_STAGE_ANY}{_STAGE_BAR}</stages>
  <features>
    <_>
      <rects>
        <_>0 0 24 48 1.</_>
        <_>24 0 24 48 -1.</_></rects></_>
    <_>
      <rects>
        <_>0 0 48 24 1.</_>
        <_>0 24 48 24 -1.</_></rects></_></features>
</cascade>
</opencv_storage>
"""
BAR = 48  # side of the face box a bar gives


_BAR_SIZES = {"v": (24, 58), "h": (58, 24), "w": (24, 54)}


def bar_frame(bars, h=240, w=320):
    """Black BGR frame with white bars [(x, y, "v", "h" or "w")], x and y even."""
    frame = np.zeros((h, w, 3), np.uint8)
    for x, y, kind in bars:
        bw, bh = _BAR_SIZES[kind]
        frame[y : y + bh, x : x + bw] = 255
    return frame


def bar_face(x, y, kind):
    """The face box the bar cascade reports for a bar."""
    return {"v": (x, y + 5, BAR, BAR), "h": (x + 5, y, BAR, BAR), "w": (x, y + 3, BAR, BAR)}[kind]


# ---------------------------------------------------------------------------------------------
# QR codes and a bar code


def qr_code(data, box=4, border=4):
    """Grey image of a QR code (black modules on white); border = quiet zone in modules."""
    qrcode = pytest.importorskip("qrcode")
    q = qrcode.QRCode(
        box_size=box, border=border, error_correction=qrcode.constants.ERROR_CORRECT_M
    )
    q.add_data(data)
    q.make(fit=True)
    modules = np.array(q.get_matrix(), bool)
    return np.kron(np.where(modules, 0, 255).astype(np.uint8), np.ones((box, box), np.uint8))


def qr_code_with_eci(data, eci, box=4, version=2):
    """A QR code whose byte segment is announced by an ECI header (eci < 128): how an encoder
    declares the payload's character set."""
    qrcode = pytest.importorskip("qrcode")
    from qrcode import base, util

    def create_data(version, error_correction, data_list):
        buffer = util.BitBuffer()
        buffer.put(7, 4)  # ECI mode
        buffer.put(eci, 8)
        for segment in data_list:
            buffer.put(segment.mode, 4)
            buffer.put(len(segment), util.length_in_bits(segment.mode, version))
            segment.write(buffer)
        blocks = base.rs_blocks(version, error_correction)
        limit = sum(block.data_count * 8 for block in blocks)
        for _ in range(min(limit - len(buffer), 4)):
            buffer.put_bit(False)
        while len(buffer) % 8:
            buffer.put_bit(False)
        for i in range((limit - len(buffer)) // 8):
            buffer.put(util.PAD0 if i % 2 == 0 else util.PAD1, 8)
        return util.create_bytes(buffer, blocks)

    q = qrcode.QRCode(version=version, box_size=box, border=4)
    q.add_data(util.QRData(data, mode=util.MODE_8BIT_BYTE))
    original = qrcode.main.util.create_data
    qrcode.main.util.create_data = create_data
    try:
        q.make(fit=False)
    finally:
        qrcode.main.util.create_data = original
    modules = np.array(q.get_matrix(), bool)
    return np.kron(np.where(modules, 0, 255).astype(np.uint8), np.ones((box, box), np.uint8))


_EAN_L = [
    "0001101",
    "0011001",
    "0010011",
    "0111101",
    "0100011",
    "0110001",
    "0101111",
    "0111011",
    "0110111",
    "0001011",
]
_EAN_R = ["".join("1" if b == "0" else "0" for b in code) for code in _EAN_L]
_EAN_G = [code[::-1] for code in _EAN_R]
_EAN_PARITY = [
    "LLLLLL",
    "LLGLGG",
    "LLGGLG",
    "LLGGGL",
    "LGLLGG",
    "LGGLLG",
    "LGGGLL",
    "LGLGLG",
    "LGLGGL",
    "LGGLGL",
]


def ean13(digits12, module=3, height=90, quiet=12):
    """Grey image of an EAN-13 bar code for twelve digits (the check digit is added).
    Returns (image, the thirteen digits)."""
    d = [int(c) for c in digits12]
    check = (10 - sum(v * (3 if i % 2 else 1) for i, v in enumerate(d)) % 10) % 10
    d.append(check)
    bits = "101"
    for i, v in enumerate(d[1:7]):
        bits += (_EAN_L if _EAN_PARITY[d[0]][i] == "L" else _EAN_G)[v]
    bits += "01010"
    for v in d[7:]:
        bits += _EAN_R[v]
    bits += "101"
    row = np.array([0 if b == "1" else 255 for b in "0" * quiet + bits + "0" * quiet], np.uint8)
    return np.repeat(np.repeat(row[None, :], height, 0), module, 1), "".join(map(str, d))


def place(grey_parts, h, w, background=255):
    """BGR frame of size h x w with each grey image pasted at its (x, y)."""
    frame = np.full((h, w), background, np.uint8)
    for img, (x, y) in grey_parts:
        frame[y : y + img.shape[0], x : x + img.shape[1]] = img
    return cv2.cvtColor(frame, cv2.COLOR_GRAY2BGR)


def rotated(grey, degrees):
    """The picture turned about its centre on a larger white ground (odd-sized boxes)."""
    h, w = grey.shape
    side = int(np.hypot(h, w)) + 20
    ground = np.full((side, side), 255, np.uint8)
    y, x = (side - h) // 2, (side - w) // 2
    ground[y : y + h, x : x + w] = grey
    m = cv2.getRotationMatrix2D((side / 2, side / 2), degrees, 1.0)
    return cv2.warpAffine(ground, m, (side, side), flags=cv2.INTER_NEAREST, borderValue=255)


def qr_frames():
    """Named BGR frames for the QR tests."""
    # zbar guesses the character set of a payload (Shift JIS, then UTF-8, then Latin-1): these
    # texts are not valid Shift JIS, so zbar hands them out as the UTF-8 they are.
    chinese = qr_code("中文".encode())
    second = qr_code("汉字".encode())
    corner = qr_code("左上".encode(), border=0)
    ean, _ = ean13("400638133393")
    return {
        "two Chinese characters": place([(chinese, (30, 20))], 200, 260),
        "two codes": place([(chinese, (10, 10)), (second, (230, 50))], 220, 420),
        "top-left corner": place([(corner, (0, 0))], 150, 200),
        # box (46, 46, 103, 103): centre 97.5 and radius 51.5, so truncating, rounding half
        # to even and rounding half away from zero all give different marks
        "turned": place([(rotated(qr_code("turned"), 15), (6, 6))], 240, 240),
        "latin-1 bytes": place([(qr_code(b"\xff\xfe"), (10, 10))], 170, 170),
        "invalid UTF-8 declared as UTF-8": place(
            [(qr_code_with_eci(b"\xff\xfe", 26), (10, 10))], 170, 170
        ),
        "bar code and QR code": place([(ean, (10, 10)), (qr_code("QR"), (20, 120))], 260, 380),
        "no code": place([], 120, 160, background=200),
    }


# ---------------------------------------------------------------------------------------------
# ONNX models (opset 11, IR version 6: OpenCV 4.6 and later read them). The picture's height
# and width are left unknown, not named: OpenCV 4.10 (Debian 13) takes a named dimension for 0
# when it checks a Gemm's shapes at load time, and refuses the network.


def _model(nodes, n_out, inits, name, side=None):
    """side: the input's fixed height and width, for a network whose shapes need them."""
    onnx = pytest.importorskip("onnx")
    from onnx import TensorProto, helper

    x = helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, side, side])
    y = helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, n_out])
    graph = helper.make_graph(nodes, name, [x], [y], inits)
    model = helper.make_model(
        graph, opset_imports=[helper.make_opsetid("", 11)], producer_name="tests"
    )
    model.ir_version = 6
    onnx.checker.check_model(model)
    return model.SerializeToString()


def logits_model(logits):
    """A network whose scores are `logits` whatever the picture: the per-channel means times
    zero weights plus the logits as bias, so the input is still read (and must have three
    channels)."""
    from onnx import helper, numpy_helper

    n = len(logits)
    inits = [
        numpy_helper.from_array(np.zeros((n, 3), np.float32), "weights"),
        numpy_helper.from_array(np.asarray(logits, np.float32), "bias"),
    ]
    nodes = [
        helper.make_node("GlobalAveragePool", ["input"], ["pool"]),
        helper.make_node("Flatten", ["pool"], ["means"], axis=1),
        helper.make_node("Gemm", ["means", "weights", "bias"], ["output"], transB=1),
    ]
    return _model(nodes, n, inits, "fixed")


def probe_model(points):
    """A network that shows its input: the scores are the three channel means, then the three
    channel values at each (row, column) in points, then a constant 0. Softmax keeps the
    differences, so score - last score = log(pro / pro[-1])."""
    from onnx import helper, numpy_helper

    inits = [
        numpy_helper.from_array(np.zeros((1, 3), np.float32), "zero_w"),
        numpy_helper.from_array(np.zeros(1, np.float32), "zero_b"),
    ]
    nodes = [
        helper.make_node("GlobalAveragePool", ["input"], ["pool"]),
        helper.make_node("Flatten", ["pool"], ["means"], axis=1),
        helper.make_node("Gemm", ["means", "zero_w", "zero_b"], ["zero"], transB=1),
    ]
    parts = ["means"]
    for i, (y, x) in enumerate(points):
        inits += [
            numpy_helper.from_array(np.array([y, x], np.int64), f"start{i}"),
            numpy_helper.from_array(np.array([y + 1, x + 1], np.int64), f"end{i}"),
            numpy_helper.from_array(np.array([2, 3], np.int64), f"axes{i}"),
        ]
        nodes += [
            helper.make_node("Slice", ["input", f"start{i}", f"end{i}", f"axes{i}"], [f"pixel{i}"]),
            helper.make_node("Flatten", [f"pixel{i}"], [f"value{i}"], axis=1),
        ]
        parts.append(f"value{i}")
    nodes.append(helper.make_node("Concat", parts + ["zero"], ["output"], axis=1))
    return _model(nodes, 3 + 3 * len(points) + 1, inits, "probe")


def probe_scores(tensor, points):
    """What probe_model(points) computes for a 1 x 3 x H x W tensor."""
    t = np.asarray(tensor, np.float64)[0]
    return np.concatenate([t.mean(axis=(1, 2))] + [t[:, y, x] for y, x in points] + [[0.0]])


def logits_with(winner, p, n=12):
    """Logits for n classes where class `winner` has probability p against one other class;
    every further class gets -1000, whose exponential is exactly 0."""
    logits = np.full(n, -1000.0, np.float32)
    logits[1 if winner == 0 else 0] = 0.0
    logits[winner] = np.log(p / (1 - p))
    return logits


def softmax32(logits):
    """Softmax as NumPy does it on the network's float32 scores."""
    x = np.squeeze(np.asarray(logits, np.float32))
    e = np.exp(x - np.max(x))
    return e / np.sum(e)


def boundary_logits():
    """Two logit vectors whose float32 softmax has the maximum np.float32(0.9) (just below
    0.9) and the next float32 above 0.9, where the exact softmax of the same float32 scores
    lies on the same side of 0.9: the decision does not depend on the precision the softmax
    is computed in. Returns (at_0_9, above_0_9)."""
    at = above = None
    base = np.float32(np.log(9.0))
    for k in range(-400, 400):
        a = np.float32(base + np.float32(k) * np.float32(2.4e-7))
        logits = np.full(12, -1000.0, np.float32)
        logits[1], logits[0] = 0.0, a
        p32 = softmax32(logits)[0]
        exact = 1.0 / (1.0 + np.exp(-np.float64(a)))
        if at is None and p32 == np.float32(0.9) and exact < 0.9 - 1e-9:
            at = logits
        if (
            above is None
            and p32 == np.nextafter(np.float32(0.9), np.float32(1))
            and exact > 0.9 + 1e-9
        ):
            above = logits
    assert at is not None and above is not None
    return at, above


# ---------------------------------------------------------------------------------------------
# The modules' cv2, as far as windows and key waits go


class Recorder:
    """Stands in for a module's cv2: records imshow (with a copy of the image, as it was at
    that moment), waitKey, namedWindow, resizeWindow and destroyAllWindows; everything else is
    the real cv2, but for the names in also, which are recorded as well (and return None)."""

    WINDOW_CALLS = ("imshow", "waitKey", "namedWindow", "resizeWindow", "destroyAllWindows")

    def __init__(self, also=()):
        self.calls = []
        self.recorded = self.WINDOW_CALLS + tuple(also)

    def __getattr__(self, name):
        if name not in self.recorded:
            return getattr(cv2, name)

        def record(*args):
            if name == "imshow":
                args = (args[0], np.array(args[1], copy=True))
            self.calls.append((name,) + args)
            return -1 if name == "waitKey" else None

        return record

    def windows(self):
        """[(window, image)] in showing order."""
        return [(c[1], c[2]) for c in self.calls if c[0] == "imshow"]

    def shown(self, window):
        """The images shown in window, in order."""
        return [image for name, image in self.windows() if name == window]

    def waits(self):
        """The times of the key waits, in order."""
        return [c[1] for c in self.calls if c[0] == "waitKey"]

    def summary(self):
        """The calls with each image replaced by its shape: readable in a failure message."""
        return [(c[0], c[1], c[2].shape) if c[0] == "imshow" else c for c in self.calls]


def assert_same_windows(recorders):
    """The two recorders saw the same window calls with equal images; both forget them."""
    a, b = recorders
    assert a.summary() == b.summary()
    assert all(
        np.array_equal(x[2], y[2]) and x[2].dtype == y[2].dtype
        for x, y in zip(a.calls, b.calls)
        if x[0] == "imshow"
    ), "a window shows another image"
    a.calls.clear()
    b.calls.clear()


def assert_same_pro(got, want, rtol=1e-6):
    """pro as NumPy computes it from the network's float32 scores: a float32 vector (or the
    int it starts as)."""
    if isinstance(want, int):
        assert type(got) is int and got == want
        return
    assert isinstance(got, np.ndarray) and got.dtype == want.dtype == np.float32
    assert got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=rtol, atol=1e-7)


# ---------------------------------------------------------------------------------------------
# Fixtures


LABELLED = {  # model file -> (winning class, its probability)
    DEFAULT_MODEL: (0, 0.95),
    "turn.onnx": (10, 0.99),
    "left.onnx": (9, 0.97),
    "voice.onnx": (11, 0.93),
    "five.onnx": (5, 0.91),
    "unsure.onnx": (3, 0.6),
}


@functools.cache
def _kit_models():
    models = {name: logits_model(logits_with(cls, p)) for name, (cls, p) in LABELLED.items()}
    models["thirteen.onnx"] = logits_model(logits_with(12, 0.99, n=13))
    models["digits.v2.onnx"] = models[DEFAULT_MODEL]
    return models


def kit_models():
    return dict(_kit_models())


@pytest.fixture
def kit(tmp_path):
    """A kit folder: the frontal-face cascade as face.xml, the bar cascade as bars.xml, the
    overlay pictures and the labelled models. Path text ending in /."""
    root = make_kit(tmp_path / "kit", models=kit_models())
    write_cascade(root + "model/bars.xml", BARS_CASCADE)
    return root


@pytest.fixture
def bar_kit(tmp_path):
    """A kit whose face.xml is the bar cascade (what optik1's face_cap and face_mask load)."""
    return make_kit(tmp_path / "bar_kit", cascade=BARS_CASCADE)


def outcome(call):
    """("returned", value) or ("raised", exception type)."""
    try:
        return ("returned", call())
    except Exception as e:  # the type is what is compared
        return ("raised", type(e))


@pytest.fixture
def one_opencv_thread():
    """With several threads OpenCV's cascade reports the faces of one frame in varying order;
    overlays are pasted in that order, so runs are compared on one thread (the library and cv2
    share OpenCV, and so this setting)."""
    before = cv2.getNumThreads()
    cv2.setNumThreads(1)
    yield
    cv2.setNumThreads(before)


def equal_images(a, b):
    """Same type; for arrays the same dtype, shape and pixels."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (
            isinstance(a, np.ndarray)
            and isinstance(b, np.ndarray)
            and a.dtype == b.dtype
            and a.shape == b.shape
            and np.array_equal(a, b)
        )
    return type(a) is type(b) and a == b


# What a library may raise for an input outside what an operation is meant for.
INPUT_ERRORS = (cv2.error, TypeError, ValueError)


def run_both(native_call, ref_call, make_input, lenient=False):
    """Calls native_call and ref_call each on its own fresh input from make_input() (equal
    values, equal memory layout). The outcomes must agree; when lenient (inputs outside what
    an operation is meant for) either side may raise instead, the library what the plain steps
    raise or one of INPUT_ERRORS, and only two results must agree. Returns (outcome, native
    input, reference input); the outcome is None when lenient let a difference pass."""
    mine, theirs = make_input(), make_input()
    got = outcome(lambda: native_call(mine))
    want = outcome(lambda: ref_call(theirs))
    if lenient and "raised" in (got[0], want[0]):
        assert got == want or got[0] == "returned" or issubclass(got[1], INPUT_ERRORS), got
        return None, mine, theirs
    assert got == want
    return got, mine, theirs
