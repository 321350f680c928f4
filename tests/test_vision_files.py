"""The files behind the vision classes: a cascade or network file is parsed once while it stays
the same file, read again as soon as it changes (size, modification time or the file itself),
never shared between threads; and no path or window name that cannot be encoded brings the
interpreter down."""

import os
import subprocess
import sys
import threading
import time

import cv2
import numpy as np
import pytest
import vision_assets as va
import vision_reference as vr
from control_zelk import optik, optik1
from control_zelk.optik1 import Img
from layout import TESTS
from vision_assets import kit, one_opencv_thread  # noqa: F401  (fixtures)

# A portrait with a bar beside it: the frontal-face cascade finds the face, the bar cascade
# the bar, so the result tells which file was read.
BOTH = np.hstack([va.photo_frames()["portrait"], va.bar_frame([(40, 60, "v")], h=224, w=200)])


@pytest.fixture
def kit_in_use(monkeypatch, kit, one_opencv_thread):
    va.point_module_at(monkeypatch, optik, kit)
    va.point_module_at(monkeypatch, optik1, kit)
    monkeypatch.setattr(optik, "cv2", va.Recorder())
    monkeypatch.setattr(optik1, "cv2", va.Recorder())
    return kit


def same_size_texts(a, b):
    """The two texts, the shorter padded with blanks after its last element to the length of
    the longer: two different files of one size."""
    n = max(len(a), len(b))
    return a + " " * (n - len(a)), b + " " * (n - len(b))


def replace(path, data, change):
    """Gives path the content data, changing only what `change` names besides the content:
    the size (data differs in length), the modification time (same size, same file), or the
    file itself (same size, same modification time, a new inode)."""
    before = os.stat(path)
    if change == "inode":
        with open(path + ".new", "wb") as f:
            f.write(data)
        os.utime(path + ".new", ns=(before.st_atime_ns, before.st_mtime_ns))
        os.replace(path + ".new", path)
    else:
        with open(path, "r+b") as f:  # the same inode
            f.truncate(0)
            f.write(data)
        if change == "modification time":
            os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns + 2_000_000_000))
        else:
            os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    after = os.stat(path)
    assert (after.st_size != before.st_size) == (change == "size")
    assert (after.st_mtime_ns != before.st_mtime_ns) == (change == "modification time")
    assert (after.st_ino != before.st_ino) == (change == "inode")


@pytest.mark.parametrize("change", ["size", "modification time", "inode"])
def test_a_changed_cascade_is_read_again(kit_in_use, change):
    path = kit_in_use + "model/face.xml"
    with open(va.FRONTAL_FACE) as f:
        frontal = f.read()
    texts = (
        (frontal, va.BARS_CASCADE)
        if change == "size"
        else same_size_texts(frontal, va.BARS_CASCADE)
    )
    with open(path, "w") as f:
        f.write(texts[0])
    env = vr.environment(kit_in_use, va.Recorder())
    found = []
    for step, text in enumerate((texts[0], texts[1], texts[0])):
        if step:
            replace(path, text.encode(), change)
        img, ref_img = Img(BOTH.copy()), vr.Img(env, BOTH.copy())  # a fresh load, for comparison
        img.face_detect("face")
        ref_img.face_detect("face")
        fd, ref_fd = optik.face_detect("face"), vr.FaceDetect(env, "face")
        fd.detect(frame := BOTH.copy())
        ref_fd.detect(ref_frame := BOTH.copy())
        assert np.array_equal(img.img, ref_img.img) and np.array_equal(frame, ref_frame)
        assert img.color_data == ref_img.color_data and fd.data == ref_fd.data
        found.append([tuple(r) for r in vr.find_faces(ref_fd.cascade, BOTH, 5)])
    assert found[0] != found[1] and found[0] == found[2]


@pytest.mark.parametrize("change", ["size", "modification time", "inode"])
def test_a_changed_network_is_read_again(kit_in_use, change):
    path = kit_in_use + "model/qmt4082.proto"
    models = {
        "9": va.logits_model(va.logits_with(0, 0.95)),
        "右转": va.logits_model(va.logits_with(10, 0.99)),
        "none": va.logits_model(va.logits_with(12, 0.99, n=13)),
    }
    second = "none" if change == "size" else "右转"
    assert (len(models["9"]) == len(models[second])) == (change != "size")
    frame = va.photo_frames()["portrait"]
    for step, label in enumerate(("9", second, "9")):
        if step:
            replace(path, models[label], change)
        by_default = Img(frame)  # no network of its own: reads the default file
        by_default.model_recognize()
        named = Img(frame)
        named.model_()
        named.model_recognize()
        mr = optik.model_recognize("qmt4082.proto")
        mr.recognize(frame)
        assert by_default.m_data == named.m_data == mr.data == label


def test_an_unchanged_cascade_is_parsed_once(kit_in_use):
    path = kit_in_use + "model/face.xml"
    loads = []
    for _ in range(3):
        start = time.perf_counter()
        cv2.CascadeClassifier(path)
        loads.append(time.perf_counter() - start)
    tiny = np.zeros((30, 30, 3), np.uint8)  # detection costs next to nothing here
    Img(tiny).face_detect("face")
    start = time.perf_counter()
    for _ in range(20):
        Img(tiny).face_detect("face")
        optik.face_detect("face")
    spent = time.perf_counter() - start
    assert spent < 8 * min(loads), (
        f"40 loads took {spent:.3f} s, one parse takes {min(loads):.3f} s"
    )


def test_a_cascade_that_appears_later_is_found(kit_in_use):
    img = Img(BOTH.copy())
    with pytest.raises(cv2.error):
        img.face_detect("late")
    va.write_cascade(kit_in_use + "model/late.xml", va.BARS_CASCADE)
    img.face_detect("late")
    assert img.color_data == "有人"


def test_threads_do_not_share_a_classifier_or_a_network(kit_in_use):
    seen, errors = {}, []

    def work(i):
        try:
            for _ in range(4):
                img = Img(BOTH.copy())
                img.face_detect("face")
                img.model_("turn.onnx")
                img.model_recognize()
                assert (img.color_data, img.m_data) == ("有人", "右转")
            fd = optik.face_detect("bars")
            fd.detect(BOTH.copy())
            mr = optik.model_recognize("turn.onnx")
            mr.recognize(BOTH)
            assert (fd.data, mr.data) == ("有人", "右转")
            seen[i] = (img.cascade, img.model, fd.cascade, mr.model)
        except Exception as e:  # reported below, with the thread's index
            errors.append((i, e))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for a in range(3):
        for b in range(a + 1, 3):
            assert all(x is not y for x, y in zip(seen[a], seen[b]))


# ---------------------------------------------------------------------------------------------
# Texts that cannot be encoded (a lone surrogate), in a separate interpreter: a crash there
# fails the cases from the crashing one on instead of ending the test run.

BAD = "\ud800"
CASES = {  # name -> (Python statement, outcome)
    "optik.Camera": ("optik.Camera(BAD)", "UnicodeEncodeError"),
    "optik1.Camera": ("optik1.Camera(BAD)", "UnicodeEncodeError"),
    "Img.name_windows": ("Img(frame).name_windows(BAD)", "UnicodeEncodeError"),
    "Img.show_image": ("Img(frame).show_image(BAD)", "UnicodeEncodeError"),
    "Img.write_image": ("Img(frame).write_image(BAD + '.png')", "UnicodeEncodeError"),
    "pic_read": ("optik1.pic_read(BAD + '.png')", "UnicodeEncodeError"),
    "take_photos": ("optik.take_photos(frame, BAD, 1)", "UnicodeEncodeError"),
    "optik.face_detect": ("optik.face_detect(BAD)", "UnicodeEncodeError"),
    "optik.model_recognize": ("optik.model_recognize(BAD)", "UnicodeEncodeError"),
    "Img.face_detect": ("Img(frame).face_detect(BAD)", "UnicodeEncodeError"),
    "Img.model_": ("Img(frame).model_(BAD)", "UnicodeEncodeError"),
    "model_path": ("optik1.model_path = BAD; Img(frame).model_recognize()", "UnicodeEncodeError"),
    # the picture is read inside the paste, whose errors only skip that face
    "optik cap picture": ("optik.face_detect('face').cap(frame, BAD)", "returned"),
    "Img.face_mask picture": ("Img(frame).face_mask(BAD)", "returned"),
    "optik d_path": (
        "optik.d_path = BAD; optik.face_detect('face').mask(frame, 'mask')",
        "returned",
    ),
}
SCRIPT = """
import sys
sys.path.insert(0, {tests!r})
import vision_assets as va
from control_zelk import optik, optik1
from control_zelk.optik1 import Img
kit, BAD = sys.argv[1], {bad!r}
for name in sys.argv[2:]:
    optik.model_path = optik1.model_path = kit + "model/"
    optik.d_path = optik1.d_path = kit + "camera_pos/"
    frame = va.bar_frame([(98, 60, "v")])
    print("start", name, flush=True)
    try:
        exec({statements!r}[name])
        print("outcome", name, "returned", flush=True)
    except Exception as e:
        print("outcome", name, type(e).__name__, flush=True)
"""


@pytest.fixture(scope="module")
def unencodable(tmp_path_factory):
    """name -> outcome, or "crashed (exit code)" for the case the interpreter died in; after a
    crash the cases not yet run go to a new interpreter."""
    root = va.make_kit(tmp_path_factory.mktemp("kit"), cascade=va.BARS_CASCADE)
    with open(root + "model/qmt4082.proto", "wb") as f:
        f.write(va.logits_model(va.logits_with(0, 0.95)))
    script = SCRIPT.format(tests=TESTS, bad=BAD, statements={n: s for n, (s, _) in CASES.items()})
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", PYTHONPATH=os.pathsep.join(sys.path))
    outcomes, todo = {}, list(CASES)
    while todo:
        run = subprocess.run(
            [sys.executable, "-c", script, root] + todo,
            capture_output=True,
            text=True,
            env=env,
            timeout=120,
        )
        started = [
            line.split(" ", 1)[1] for line in run.stdout.splitlines() if line.startswith("start ")
        ]
        outcomes.update(
            line[len("outcome ") :].rsplit(" ", 1)
            for line in run.stdout.splitlines()
            if line.startswith("outcome ")
        )
        if run.returncode == 0:
            break
        if not started:
            pytest.fail(f"the interpreter did not start: {run.stderr[-800:]}")
        outcomes[started[-1]] = f"crashed (exit {run.returncode})"
        todo = todo[todo.index(started[-1]) + 1 :]
    return outcomes


@pytest.mark.parametrize("name", CASES)
def test_unencodable_text_raises_instead_of_crashing(unencodable, name):
    assert unencodable[name] == CASES[name][1]
