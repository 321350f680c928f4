"""The kit installer: writes the cascade, the overlay pictures and the sign model, keeps a
user's own files unless asked, and what it writes works with the vision modules; the sign
model names the signs and nothing else."""

import os
import subprocess
import sys

import cv2
import numpy as np
import pytest
from control_zelk import kit, optik, optik1
from layout import REPO

FILES = ["model/face.xml", "model/qmt4082.proto", "camera_pos/hat.jpg", "camera_pos/mask.jpg"]


def install(folder, *options):
    return subprocess.run(
        [sys.executable, "-m", "control_zelk.kit", "install", "--dir", str(folder), *options],
        capture_output=True,
        text=True,
        timeout=60,
    )


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
    r = subprocess.run(
        [sys.executable, "-m", "control_zelk.kit", "--help"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert r.returncode == 0 and "install" in r.stdout


def test_what_it_writes_serves_the_vision_modules(tmp_path, monkeypatch):
    assert install(tmp_path).returncode == 0
    monkeypatch.setattr(optik1, "model_path", str(tmp_path / "model") + "/")
    monkeypatch.setattr(optik1, "d_path", str(tmp_path / "camera_pos") + "/")
    monkeypatch.setattr(
        optik1,
        "cv2",
        type(
            "Quiet",
            (),
            {
                "__getattr__": lambda self, n: getattr(cv2, n),
                "imshow": lambda self, *a: None,
                "waitKey": lambda self, *a: -1,
            },
        )(),
    )
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


KIT_MAKE = os.path.join(REPO, "kit", "make")
SIGN_LABELS = ["9", "1", "2", "3", "4", "5", "6", "7", "8", "左转", "右转", "语音"]


@pytest.fixture(scope="module")
def renderers():
    """The kit's own picture makers (kit/make: render_signs, render_nonsigns)."""
    sys.path.insert(0, KIT_MAKE)
    try:
        import render_nonsigns
        import render_signs
    finally:
        sys.path.remove(KIT_MAKE)
    return render_signs, render_nonsigns


def test_the_kit_model_names_signs_and_says_none_to_anything_else(renderers, monkeypatch):
    """Camera-like frames from the kit's renderers with a fixed seed, with the Hershey faces
    only (the same frames where the TrueType fonts are not installed), and flat OpenCV
    pictures like a quick test card: every sign gets its label, every non-sign (a letter,
    0, a glyph, a shape, a pictogram, a blank card, clutter, no card at all) gets "none"."""
    rs, rn = renderers
    rng = np.random.default_rng(4082)
    cases = [(f"sign {c}", rs.render_frame(rng, c, []), SIGN_LABELS[c]) for c in range(12)]
    cases += [(kind, rn.render_nonsign(rng, kind, []), "none") for kind in rn.KINDS]
    cases += [
        (f"flat sign {c}", rn.clean_frame(rng, rs.symbol_mask(rng, c, [])), SIGN_LABELS[c])
        for c in (0, 3, 7, 9, 10, 11)
    ]
    letter_a = np.zeros((200, 200), np.uint8)
    cv2.putText(letter_a, "A", (20, 180), cv2.FONT_HERSHEY_SIMPLEX, 7, 255, 20, cv2.LINE_AA)
    cases += [
        ("flat A", rn.clean_frame(rng, letter_a), "none"),
        ("flat shape", rn.clean_frame(rng, rn.shape_mask(rng)), "none"),
        ("flat blank card", rn.clean_frame(rng, None), "none"),
    ]
    monkeypatch.setattr(optik, "model_path", os.path.join(kit.DATA, "model", ""))
    mr = optik.model_recognize("qmt4082.proto")
    answers = {}
    for name, frame, _ in cases:
        mr.data = "earlier"
        mr.recognize(frame)
        answers[name] = (mr.data, round(float(np.max(mr.pro)), 3))
    assert {n: answers[n][0] for n, _, _ in cases} == {n: want for n, _, want in cases}, answers


def test_the_renderers_are_seeded_and_the_non_sign_hooks_leave_sign_frames_alone(renderers):
    rs, rn = renderers

    def frame(seed, **kw):
        return rs.render_frame(np.random.default_rng(seed), 3, [], **kw)

    # printing the class's own mask through the hook draws the very same frame
    assert np.array_equal(frame(7), frame(7, symbol=lambda r: rs.symbol_mask(r, 3, [])))
    assert not np.array_equal(frame(7), frame(7, card_shown=False))
    first, again = (list(rn.frames(11, 16, 0.5, fonts=[])) for _ in range(2))
    assert all(k1 == k2 and np.array_equal(f1, f2) for (k1, f1), (k2, f2) in zip(first, again))
    counts = np.bincount([k for k, _ in first], minlength=len(rn.KINDS))
    assert np.abs(counts - rn.KIND_SHARE * 16).max() <= 1


def test_training_never_mirrors_non_signs_and_swaps_mirrored_arrows():
    sys.path.insert(0, KIT_MAKE)
    try:
        import train_model
    finally:
        sys.path.remove(KIT_MAKE)
    labels = np.array([train_model.NONE, 3, 9, 10, 11] * 40)
    x = np.zeros((len(labels), 3, 56, 56), np.float32)
    x[:, :, :, :28] = 0.8  # bright on the left: a mirror shows
    out, y = train_model.augment(np.random.default_rng(1), x, labels)
    mirrored = out[:, :, :, :20].mean(axis=(1, 2, 3)) < out[:, :, :, 36:].mean(axis=(1, 2, 3))
    assert not mirrored[labels == train_model.NONE].any() and not mirrored[labels == 3].any()
    assert mirrored[labels == 9].any() and not mirrored[labels == 9].all()
    flip = {train_model.NONE: train_model.NONE, 3: 3, 9: 10, 10: 9, 11: 11}
    assert list(y) == [flip[v] if m else v for v, m in zip(labels, mirrored)]
