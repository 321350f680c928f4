"""Faces, QR codes, ONNX recognition and the beauty filter of control_zelk.optik and
control_zelk.optik1 against plain cv2/NumPy/pyzbar transcriptions of the same steps
(tests/vision_reference.py), side by side on 640×480 frames. Checks that both give the same
results, and that repeated calls do not grow the process.

Windows cost the same on both sides and are not what is measured: imshow and waitKey are
replaced by no-ops on both sides while timing.

Run: .venv/bin/python bench/bench_vision.py [RSS_CALLS]   (default 10000)
"""

import os
import sys
import tempfile
from types import SimpleNamespace

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import harness  # noqa: E402
import vision_assets as va  # noqa: E402
import vision_reference as ref  # noqa: E402
from control_zelk import optik, optik1  # noqa: E402

QUIET = SimpleNamespace(**{n: getattr(cv2, n) for n in dir(cv2) if not n.startswith("__")})
QUIET.imshow = lambda name, image: None
QUIET.waitKey = lambda ms=0: -1


def large_model():
    """A classifier of realistic size: 4x4 average pooling, 9408 -> 128 -> 12 (1.2 M random
    weights, about 5 MB)."""
    from onnx import helper, numpy_helper

    rng = np.random.default_rng(7)
    inits = [
        numpy_helper.from_array(rng.normal(0, 0.01, (128, 9408)).astype(np.float32), "w1"),
        numpy_helper.from_array(np.zeros(128, np.float32), "b1"),
        numpy_helper.from_array(rng.normal(0, 0.1, (12, 128)).astype(np.float32), "w2"),
        numpy_helper.from_array(np.zeros(12, np.float32), "b2"),
    ]
    nodes = [
        helper.make_node("AveragePool", ["input"], ["pool"], kernel_shape=[4, 4], strides=[4, 4]),
        helper.make_node("Flatten", ["pool"], ["flat"], axis=1),
        helper.make_node("Gemm", ["flat", "w1", "b1"], ["hidden"], transB=1),
        helper.make_node("Relu", ["hidden"], ["relu"]),
        helper.make_node("Gemm", ["relu", "w2", "b2"], ["output"], transB=1),
    ]
    return va._model(nodes, 12, inits, "large", side=224)  # the tensor's side when resized


def frames():
    face = cv2.resize(va.astronaut(), (640, 480))
    qr = va.place([(va.qr_code("中文".encode(), box=6), (200, 120))], 480, 640)
    return face, cv2.cvtColor(qr, cv2.COLOR_GRAY2BGR) if qr.ndim == 2 else qr


def main(rss_calls):
    kit = va.make_kit(
        tempfile.mkdtemp(prefix="zelk-bench-"),
        models={"qmt4082.proto": large_model(), "tiny.onnx": va.logits_model([0.0] * 11 + [5.0])},
    )
    for module in (optik, optik1):
        module.model_path, module.d_path, module.cv2 = kit + "model/", kit + "camera_pos/", QUIET
    env = ref.environment(kit, gui=QUIET)
    face, qr = frames()

    class RefImg(ref.Img):
        _env = env

    def same(a, b, what):
        assert va.equal_images(a, b) if isinstance(a, np.ndarray) else a == b, what

    # Results first: the same on both sides.
    n, r = optik1.Img(face.copy()), RefImg(None, face.copy())
    n.face_detect("face"), r.face_detect("face")
    same(n.img, r.img, "face_detect marks"), same(n.color_data, r.color_data, "face_detect")
    n, r = optik1.Img(face), RefImg(None, face)
    n.model_recognize(), r.model_recognize()
    assert np.allclose(n.pro, r.pro, atol=1e-6) and n.m_data == r.m_data
    n, r = optik1.Img(face), RefImg(None, face)
    n.beauty_face(), r.beauty_face()
    same(n.img, r.img, "beauty_face is bit-identical")
    e, re_ = optik.erweima_recognize(), ref.ErweimaRecognize(env)
    e.recognize(qr.copy()), re_.recognize(qr.copy())
    same(e.data, re_.data, "erweima")
    assert e.data == "中文"

    def img_face(f):
        optik1.Img(f.copy()).face_detect("face")

    def ref_img_face(f):
        RefImg(None, f.copy()).face_detect("face")

    tiny_n, tiny_r = optik.model_recognize("tiny.onnx"), ref.ModelRecognize(env, "tiny.onnx")
    det_n, det_r = optik.face_detect("face"), ref.FaceDetect(env, "face")

    harness.header("vision, 640×480 frames")
    rows = [
        ("Img.face_detect, new Img per frame", img_face, ref_img_face, [face]),
        (
            "Img.model_recognize, new Img per frame",
            lambda f: optik1.Img(f).model_recognize(),
            lambda f: RefImg(None, f).model_recognize(),
            [face],
        ),
        ("model_recognize.recognize, tiny", tiny_n.recognize, tiny_r.recognize, [face]),
        (
            "Img.beauty_face",
            lambda f: optik1.Img(f).beauty_face(),
            lambda f: RefImg(None, f).beauty_face(),
            [face],
        ),
        (
            "erweima_recognize.recognize",
            lambda f: optik.erweima_recognize().recognize(f.copy()),
            lambda f: ref.ErweimaRecognize(env).recognize(f.copy()),
            [qr],
        ),
        (
            "face_detect.detect",
            lambda f: det_n.detect(f.copy()),
            lambda f: det_r.detect(f.copy()),
            [face],
        ),
    ]
    for name, native, python, inputs in rows:
        harness.compare(name, native, python, inputs, repeat=15)

    # Memory: many calls of each on small frames, so that the run stays short.
    small_face, small_qr = cv2.resize(face, (160, 120)), cv2.resize(qr, (320, 240))
    calls = [
        lambda: optik1.Img(small_face.copy()).face_detect("face"),
        lambda: optik1.Img(small_face).model_recognize(),
        lambda: tiny_n.recognize(small_face),
        lambda: optik1.Img(small_face).beauty_face(),
        lambda: optik.erweima_recognize().recognize(small_qr),
        lambda: det_n.detect(small_face.copy()),
    ]
    for call in calls:
        call()
    before = harness.rss_kib()
    for _ in range(rss_calls):
        for call in calls:
            call()
    print(
        f"\nRSS before and after {rss_calls} calls of each (160×120 frames): "
        f"{before} KiB, {harness.rss_kib()} KiB"
    )


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10_000)
