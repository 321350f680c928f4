"""The kit installer: writes the cascade, the overlay pictures and the sign model, keeps a
user's own files unless asked, and what it writes works with the vision modules."""

import os
import subprocess
import sys

import cv2
import numpy as np

from control_zelk import kit, optik1

FILES = ["model/face.xml", "model/qmt4082.proto", "camera_pos/hat.jpg", "camera_pos/mask.jpg"]


def install(folder, *options):
    return subprocess.run([sys.executable, "-m", "control_zelk.kit", "install", "--dir",
                           str(folder), *options], capture_output=True, text=True, timeout=60)


def test_install_keeps_a_users_files_unless_forced(tmp_path):
    r = install(tmp_path)
    assert r.returncode == 0, r.stderr
    assert all((tmp_path / f).stat().st_size > 0 for f in FILES)
    assert r.stdout.count("wrote") == 4
    (tmp_path / "camera_pos" / "hat.jpg").write_bytes(b"mine")
    r = install(tmp_path)
    assert r.returncode == 0 and r.stdout.count("kept") == 4
    assert (tmp_path / "camera_pos" / "hat.jpg").read_bytes() == b"mine"
    r = install(tmp_path, "--force")
    assert r.returncode == 0 and (tmp_path / "camera_pos" / "hat.jpg").read_bytes() != b"mine"


def test_the_default_folder_is_the_modules_kit_folder():
    assert kit.default_folder() == optik1.main_path
    r = subprocess.run([sys.executable, "-m", "control_zelk.kit", "--help"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and "install" in r.stdout


def test_what_it_writes_serves_the_vision_modules(tmp_path, monkeypatch):
    assert install(tmp_path).returncode == 0
    monkeypatch.setattr(optik1, "model_path", str(tmp_path / "model") + "/")
    monkeypatch.setattr(optik1, "d_path", str(tmp_path / "camera_pos") + "/")
    monkeypatch.setattr(optik1, "cv2", type("Quiet", (), {
        "__getattr__": lambda self, n: getattr(cv2, n),
        "imshow": lambda self, *a: None, "waitKey": lambda self, *a: -1})())
    import skimage.data
    face = cv2.cvtColor(skimage.data.astronaut(), cv2.COLOR_RGB2BGR)
    img = optik1.Img(face.copy())
    img.face_cap("hat")
    assert img.color_data == "有人" and not np.array_equal(img.img, face)
    for name in ("hat", "mask"):
        picture = cv2.imread(str(tmp_path / "camera_pos" / f"{name}.jpg"))
        assert picture is not None and picture.shape[2] == 3
    img = optik1.Img(np.full((224, 224, 3), 255, np.uint8))
    img.model_recognize()
    assert img.item == "qmt4082" and img.pro.shape == (12,)
    assert abs(float(img.pro.sum()) - 1) < 1e-5


def test_a_missing_cascade_says_what_to_install(monkeypatch, tmp_path):
    monkeypatch.setattr(kit, "CASCADE_DIRS", (str(tmp_path / "nowhere"),))
    messages = []
    try:
        kit.install(str(tmp_path / "kit"), say=messages.append)
    except FileNotFoundError as e:
        assert "opencv-data" in str(e)
    else:
        raise AssertionError("no error for a missing cascade")
    assert not os.path.exists(tmp_path / "kit" / "model" / "face.xml")
