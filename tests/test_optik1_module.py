"""Import of control_zelk.optik1 (globals, tables, platform test), pic_read, Camera and the
launcher that runs the module as a program."""

import collections
import os
import runpy
import subprocess
import sys
import time

import cv2
import imutils
import numpy as np
import pytest
import pyzbar.pyzbar
from control_zelk import optik1
from layout import REPO

LAUNCHER = os.path.join(REPO, "control_zelk", "optik1", "optik1_main.py")
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def test_globals_tables_and_class_order():
    assert [n for n in vars(optik1) if not n.startswith("__")] == [
        "np",
        "cv2",
        "imutils",
        "pyzbar",
        "deque",
        "sys",
        "time",
        "system_platform",
        "main_path",
        "picture_path",
        "model_path",
        "d_path",
        "items_num",
        "items_dir",
        "items_label",
        "items_laji",
        "Assist_converse",
        "pic_read",
        "Camera",
        "Img",
        "f1",
        "f2",
        "f3",
        "main",
        "f4",
    ]
    assert (
        optik1.np,
        optik1.cv2,
        optik1.imutils,
        optik1.pyzbar,
        optik1.deque,
        optik1.sys,
        optik1.time,
    ) == (np, cv2, imutils, pyzbar.pyzbar, collections.deque, sys, time)
    assert optik1.items_num == {i: str(i) for i in range(1, 9)} | {0: "9"}
    assert optik1.items_dir == {9: "左转", 10: "右转"} and optik1.items_label == {11: "语音"}
    assert list(optik1.items_laji.items()) == list(
        enumerate(["易拉罐", "纸团", "塑料瓶", "电池", "报纸", "灯泡", "花生壳", "香蕉皮"])
    )
    assert [n for n, v in vars(optik1.Img).items() if callable(v)] == [
        "__init__",
        "name_windows",
        "close_windows",
        "show_image",
        "write_image",
        "delay",
        "resize",
        "extract_color",
        "erosion",
        "dilation",
        "BGR2GRAY",
        "GRAY2BIN",
        "offset_calculate1",
        "line_angle1",
        "offset1",
        "dotted_line1",
        "offset_calculate2",
        "line_angle2",
        "offset2",
        "dotted_line2",
        "cnt_area",
        "detect",
        "bin_detect",
        "cnt_draw",
        "cnt_center",
        "face_detect",
        "face_cap",
        "face_mask",
        "decodeDisplay",
        "erweima_detect",
        "model_",
        "onnx_detect_new",
        "model_recognize",
        "color_detect_init",
        "set_hsv",
        "getpos",
        "setcolorvalue",
        "color_detect",
        "beauty_face",
    ]
    assert optik1.Img.__bases__ == (
        optik1.Assist_converse,
    ) and optik1.Assist_converse.__bases__ == (object,)
    assert vars(optik1.Assist_converse()) == {}
    with pytest.raises(TypeError):
        optik1.Assist_converse(1)


@pytest.mark.parametrize(
    "platform, root",
    [("linux", "/home/pi/class/"), ("win32", "class/"), ("cygwin", "class/"), ("darwin", "class/")],
)
def test_platform_chooses_the_kit_folder(platform, root):
    # The libraries come first: some of them look at the platform themselves.
    code = (
        f"import numpy, cv2, imutils, pyzbar.pyzbar, sys; sys.platform = {platform!r}\n"
        "import control_zelk.optik1 as o\n"
        "print(o.system_platform, o.main_path, o.picture_path, o.model_path, o.d_path)"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, env=ENV
    )
    assert out.stdout.split() == [
        platform,
        root,
        root + "picture/",
        root + "model/",
        root + "camera_pos/",
    ]


def test_pic_read(tmp_path):
    frame = np.random.default_rng(2).integers(0, 256, (20, 30, 3), dtype=np.uint8)
    cv2.imwrite(str(tmp_path / "a.png"), frame)
    cv2.imwrite(str(tmp_path / "g.png"), frame[:, :, 0])
    assert np.array_equal(optik1.pic_read(str(tmp_path / "a.png")), frame)
    assert np.array_equal(optik1.pic_read(path=tmp_path / "a.png"), frame)
    assert optik1.pic_read(str(tmp_path / "g.png")).shape == (20, 30, 3)  # read in colour
    assert optik1.pic_read(str(tmp_path / "missing.png")) is None
    with pytest.raises(cv2.error):
        optik1.pic_read(None)


def test_camera_reads_frames_then_reports_the_missing_camera(tmp_path, capsys):
    shots = [np.full((24, 32, 3), v, np.uint8) for v in (10, 200)]
    for i, shot in enumerate(shots):
        cv2.imwrite(str(tmp_path / f"shot{i:02d}.png"), shot)
    cam = optik1.Camera(str(tmp_path / "shot%02d.png"))  # VideoCapture reads the sequence
    assert cam.img == [] and isinstance(cam.cam, cv2.VideoCapture)
    for shot in shots:
        got = cam.read_camera()
        assert np.array_equal(got, shot) and cam.img is got and cam.ret is True
    for _ in range(2):
        assert cam.read_camera() is None and cam.ret is False and cam.img is None
    assert (
        capsys.readouterr().out
        == "未检测到摄像头，请注意摄像头是否接触不良或者未设置允许摄像头\n" * 2
    )
    assert cam.close_camera() is None and not cam.cam.isOpened()


def test_camera_opens_index_0_by_default(monkeypatch):
    opened = []
    monkeypatch.setattr(optik1.cv2, "VideoCapture", lambda num: opened.append(num) or "cap")
    a, b = optik1.Camera(), optik1.Camera(num=2)
    assert opened == [0, 2] and a.cam == "cap" and a.img == [] and a.img is not b.img
    a.cam = type("Cap", (), {"read": lambda self: (True,)})()
    with pytest.raises(ValueError):
        a.read_camera()


def test_launcher_runs_f4(monkeypatch):
    ran = []
    monkeypatch.setattr(optik1, "f4", lambda: ran.append(1), raising=False)
    runpy.run_path(LAUNCHER, run_name="__main__")
    assert ran == [1]


def test_launcher_says_when_there_is_no_demonstration():
    code = (
        "from control_zelk import optik1\n"
        "if hasattr(optik1, 'f4'): del optik1.f4\n"
        "import runpy; runpy.run_module('control_zelk.optik1_main', run_name='__main__')"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV)
    assert (
        out.returncode == 1
        and "f4 is not available" in out.stderr
        and "Traceback" not in out.stderr
    )


def test_a_missing_library_fails_the_import_with_its_own_error():
    code = (
        "import sys; sys.modules['imutils'] = None\n"
        "try:\n    import control_zelk.optik1\nexcept ModuleNotFoundError as e:\n    print(e.name)"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, env=ENV
    )
    assert out.stdout == "imutils\n"
