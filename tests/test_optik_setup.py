"""optik module set-up, Camera, read_cam, take_photos and distortion."""

import os
import subprocess
import sys
from collections import deque

import cv2
import numpy as np
import pytest
import pyzbar.pyzbar
import vision_assets as va
from control_zelk import optik
from vision_assets import kit  # noqa: F401  (fixture)

FRAME = np.random.default_rng(6).integers(0, 256, (48, 64, 3), np.uint8)


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=os.environ
    )


def test_import_binds_libraries_then_globals_then_definitions_in_order():
    assert (optik.cv2, optik.np, optik.pyzbar, optik.deque, optik.sys) == (
        cv2,
        np,
        pyzbar.pyzbar,
        deque,
        sys,
    )
    order = [
        "cv2",
        "np",
        "pyzbar",
        "deque",
        "sys",
        "system_platform",
        "main_path",
        "picture_path",
        "model_path",
        "d_path",
        "items_num",
        "items_dir",
        "items_label",
        "items_laji",
        "read_cam",
        "Camera",
        "face_detect",
        "color_detect",
        "erweima_recognize",
        "model_recognize",
        "take_photos",
        "distortion",
    ]
    assert [n for n in vars(optik) if not n.startswith("__")] == order
    assert optik.items_num[0] == "9" and list(optik.items_num) == list(range(9))
    assert optik.items_dir == {9: "左转", 10: "右转"} and optik.items_label == {11: "语音"}
    assert optik.items_laji[7] == "香蕉皮" and list(optik.items_laji) == list(range(8))


@pytest.mark.parametrize(
    "platform, main", [("linux", "/home/pi/class/"), ("win32", "class/"), ("darwin", "class/")]
)
def test_platform_test_at_import(platform, main):
    # Libraries first: the standard library itself branches on the platform name.
    out = run_python(
        f"import sys, cv2, numpy, pyzbar.pyzbar; sys.platform = {platform!r}\n"
        "import control_zelk.optik as o\n"
        "print(o.system_platform, o.main_path, o.picture_path, o.model_path,"
        " o.d_path)"
    )
    assert out.stdout.split() == [
        platform,
        main,
        main + "picture/",
        main + "model/",
        main + "camera_pos/",
    ]


def test_missing_library_fails_the_import_with_its_own_error():
    run = run_python("import sys; sys.modules['pyzbar'] = None\nimport control_zelk.optik")
    assert run.stderr.splitlines()[-1].startswith("ModuleNotFoundError: ")


class ScriptedCapture:
    def __init__(self, answers):
        self.answers, self.reads = list(answers), 0

    def read(self):
        self.reads += 1
        return self.answers.pop(0)


def test_read_cam_keeps_only_the_fifth_read():
    frame = np.zeros((2, 2, 3), np.uint8)
    late = ScriptedCapture([(False, None)] * 4 + [(True, frame), (True, None)])
    ret = optik.read_cam(late)
    assert type(ret) is tuple and ret[0] is True and ret[1] is frame and late.reads == 5
    assert optik.read_cam(ScriptedCapture([(True, frame)] * 4 + [(False, frame)])) is None
    assert optik.read_cam(ScriptedCapture([(1, 2)] * 4 + [([], 3)])) is None
    for answer, error in [
        (None, "cannot unpack non-iterable NoneType object"),
        ((True,), r"not enough values to unpack \(expected 2, got 1\)"),
        ((True, 1, 2), r"too many values to unpack \(expected 2\)"),
    ]:
        with pytest.raises((TypeError, ValueError), match=error):
            optik.read_cam(ScriptedCapture([answer] * 5))


def test_camera_on_a_real_capture(tmp_path, monkeypatch):
    path = str(tmp_path / "frames.avi")  # frame i is filled with (20 i, 100, 200 - 10 i)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 10, (64, 48))
    for i in range(12):
        writer.write(np.full((48, 64, 3), (20 * i, 100, 200 - 10 * i), np.uint8))
    writer.release()
    shown, destroyed = [], []
    monkeypatch.setattr(cv2, "imshow", lambda name, img: shown.append((name, img)))
    monkeypatch.setattr(cv2, "destroyAllWindows", lambda: destroyed.append(1))

    cam = optik.Camera(path)
    assert type(cam.cam) is cv2.VideoCapture
    with pytest.raises(AttributeError, match="ret"):
        cam.show_image()
    img = cam.read_camera()
    assert cam.ret is True and img is cam.img and img.shape == (48, 64, 3)
    assert round(img[..., 0].mean() / 20) == 4
    assert cam.show_image() is None and shown == [("img", img)]
    assert round(cam.read_camera()[..., 0].mean() / 20) == 9
    assert cam.read_camera() is None and cam.ret is False and cam.img is None  # 10, 11, end
    cam.show_image()
    assert len(shown) == 1
    assert cam.close_allwindows() is None and destroyed == [1]
    cam.close_camera()
    assert not cam.cam.isOpened()
    assert optik.Camera(str(tmp_path / "missing.avi")).read_camera() is None


def test_camera_hooks_do_nothing():
    cam = optik.Camera.__new__(optik.Camera)
    assert cam.detect(np.zeros((3, 3, 3), np.uint8)) is None and cam.recognize(None) is None
    assert vars(cam) == {}


DETECTORS = {  # name -> (make one, the hook it has of its own, the hook it keeps from Camera)
    "face_detect": (lambda: optik.face_detect("face"), "detect", "recognize"),
    "color_detect": (lambda: optik.color_detect("red"), "detect", "recognize"),
    "erweima_recognize": (lambda: optik.erweima_recognize(), "recognize", "detect"),
    "model_recognize": (lambda: optik.model_recognize("qmt4082.proto"), "recognize", "detect"),
}


@pytest.mark.parametrize("name", DETECTORS)
def test_detectors_are_cameras_without_a_device(monkeypatch, kit, name):
    """Each detector is a Camera that never opened a capture: the capture's methods fail on
    the missing attributes, the hook it keeps does nothing, windows still close."""
    va.point_module_at(monkeypatch, optik, kit)
    monkeypatch.setattr(optik, "cv2", va.Recorder())
    make, own, kept = DETECTORS[name]
    detector = make()
    assert isinstance(detector, optik.Camera) and not hasattr(detector, "cam")
    assert getattr(type(detector), kept) is getattr(optik.Camera, kept)
    assert getattr(type(detector), own) is not getattr(optik.Camera, own)
    assert getattr(detector, kept)(FRAME) is None
    with pytest.raises(AttributeError, match="cam"):
        detector.read_camera()
    for op in ("show_image", "close_camera"):
        with pytest.raises(AttributeError):
            getattr(detector, op)()
    detector.close_allwindows()


def test_take_photos(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "class" / "camera_test" / "3").mkdir(parents=True)
    img = np.random.default_rng(0).integers(0, 255, (40, 30, 3), np.uint8)
    assert optik.take_photos(img, "3", 12) is True
    assert capsys.readouterr().out == "('图片成功保存到路径：', 'class/camera_test/3/12.jpg')\n"
    assert cv2.imread("class/camera_test/3/12.jpg").shape == (40, 30, 3)
    assert optik.take_photos(img, "4", "x") is None and capsys.readouterr().out == ""
    with pytest.raises(TypeError, match="concatenate str"):
        optik.take_photos(img, 3, 12)
    with pytest.raises(cv2.error):
        optik.take_photos(None, "3", 13)


def reference_distortion(img):
    npz = np.load("calibrate.npz")
    mtx, dist = npz["mtx"], npz["dist"][0:4]
    h, w = img.shape[:2]
    newcameramtx, roi = cv2.getOptimalNewCameraMatrix(mtx, dist, (w, h), 1, (w, h))
    dst = cv2.undistort(img, mtx, dist, None, newcameramtx)
    x, y, w, h = roi
    if roi != (0, 0, 0, 0):
        dst = cv2.resize(dst[y : y + h, x : x + w], (320, 320))
    return dst, roi


@pytest.mark.parametrize(
    "dist, shape, size",
    [
        ([[-0.3, 0.1, 0, 0, 0]], (240, 320, 3), (320, 320)),
        ([-0.3, 0.1, 0, 0, 0], (100, 333, 3), (320, 320)),
        ([[-0.3], [0.1], [0], [0], [0]], (240, 320), (320, 320)),
        ([[0, 0, 0.5, 0.5, 0]], (120, 160, 3), (120, 160)),  # no valid pixel rectangle
    ],
)
def test_distortion_matches_cv2(tmp_path, monkeypatch, dist, shape, size):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError):
        optik.distortion(np.zeros(shape, np.uint8))
    np.savez("calibrate.npz", mtx=np.eye(3))
    with pytest.raises(KeyError, match="dist"):
        optik.distortion(np.zeros(shape, np.uint8))
    np.savez(
        "calibrate.npz",
        mtx=np.array([[300.0, 0, 160], [0, 300, 120], [0, 0, 1]]),
        dist=np.array(dist),
    )
    img = np.random.default_rng(1).integers(0, 255, shape, np.uint8)
    out = optik.distortion(img)
    assert out.shape[:2] == size
    np.testing.assert_array_equal(out, reference_distortion(img)[0])


def test_inputs_cv2_accepts_are_accepted(tmp_path, monkeypatch):
    """int64 pixels and calibration arrays (what np.array of Python ints gives) and 1-D
    arrays are read the way cv2 reads them."""
    monkeypatch.chdir(tmp_path)
    os.makedirs("class/camera_test/3")
    assert optik.take_photos(np.full((5, 5, 3), 7, dtype=np.int64), "3", "a") is True
    assert optik.take_photos(np.zeros(5, np.uint8), "3", "b") is True
    np.savez(
        "calibrate.npz",
        mtx=np.array([[300, 0, 160], [0, 300, 120], [0, 0, 1]]),
        dist=np.zeros((1, 5), dtype=np.int64),
    )
    img = np.random.default_rng(1).integers(0, 256, (240, 320, 3), dtype=np.uint8)
    assert np.array_equal(optik.distortion(img), reference_distortion(img)[0])
