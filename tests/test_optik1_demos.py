"""The demonstrations of optik1 on frames of our own: what they print, show and wait for, that
they use Camera, Img and pic_read as the module holds them at the time, and that Ctrl-C ends
them at once."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import cv2
import numpy as np
import pytest
import vision_assets as va
from control_zelk import optik1


class Done(Exception):
    """Raised by the stand-in camera when it has no frames left: ends a demonstration."""


def camera_with(frames):
    class Cam:
        def __init__(self, num=0):
            assert num == 0
            self.left = list(frames)

        def read_camera(self):
            if not self.left:
                raise Done
            return self.left.pop(0).copy()

    return Cam


@pytest.fixture
def windows(monkeypatch):
    w = va.Recorder()
    monkeypatch.setattr(optik1, "cv2", w)
    return w


def white(h=480, w=640):
    return np.full((h, w, 3), 230, np.uint8)


def with_line(x_top, x_bottom):
    frame = white()
    cv2.line(frame, (x_top, 0), (x_bottom, 479), (20, 20, 20), 30)
    return frame


def dotted():
    """Bright dashes of a line on a dark floor: the regions the dotted-line test counts are the
    bright ones, lined up in one column."""
    frame = np.full((480, 640, 3), 20, np.uint8)
    for y in (20, 180, 340):
        cv2.rectangle(frame, (280, y), (360, y + 110), (230, 230, 230), -1)
    return frame


def test_f1_prints_what_the_line_methods_find(monkeypatch, windows, capsys):
    frames = [white(), with_line(420, 300), dotted()]
    monkeypatch.setattr(optik1, "Camera", camera_with(frames))
    with pytest.raises(Done):
        optik1.f1()
    lines = capsys.readouterr().out.splitlines()
    line = optik1.Img(frames[1])
    assert lines[0] == "未识别到线路" and lines[1].startswith("('time:', ")
    assert lines[2] == f"线路偏移量:{line.offset_calculate2()}"
    assert lines[3] == f"线路角度:{line.line_angle2()}" and lines[4].startswith("('time:', ")
    assert lines[5] == "这是虚线" and len(lines) == 7
    assert windows.waits() == [1, 1, 1] and len(windows.shown("1")) == 3


def test_f2_draws_the_circles_of_one_frame_on_the_next(monkeypatch, windows):
    first = np.zeros((240, 320, 3), np.uint8)
    cv2.circle(first, (100, 120), 50, (255, 255, 255), -1)
    cv2.rectangle(first, (200, 60), (300, 160), (255, 255, 255), -1)
    monkeypatch.setattr(optik1, "Camera", camera_with([first, white(240, 320)]))
    with pytest.raises(Done):
        optik1.f2()
    drawn = windows.shown("2")[0]
    green = np.all(drawn == (0, 255, 0), axis=-1)
    assert green[:, :160].any() and not green[:, 190:].any()  # the disc, not the square
    assert windows.shown("1")[0].ndim == 2 and windows.waits() == [1]


def test_f3_marks_the_circles_of_1_png(tmp_path, monkeypatch, windows):
    picture = np.zeros((200, 300, 3), np.uint8)
    cv2.circle(picture, (150, 100), 60, (255, 255, 255), -1)
    cv2.imwrite(str(tmp_path / "1.png"), picture)
    monkeypatch.chdir(tmp_path)
    assert optik1.f3() is None
    shown = windows.shown("1")[0]
    assert np.all(shown == (0, 255, 0), axis=-1).sum() > 500
    monkeypatch.chdir(tmp_path / "..")
    with pytest.raises(cv2.error):  # no 1.png: BGR2GRAY of None fails
        optik1.f3()


def test_the_demonstrations_use_the_modules_current_classes(monkeypatch, windows, capsys):
    made = []

    class MyImg(optik1.Img):
        def __init__(self, img=[]):  # noqa: B006 - the library's own default
            made.append(1)
            super().__init__(img)

        def beauty_face(self):
            self.img = self.img // 2

    monkeypatch.setattr(optik1, "Img", MyImg)
    monkeypatch.setattr(optik1, "Camera", camera_with([white(48, 64)]))
    with pytest.raises(Done):
        optik1.f4()
    assert made == [1, 1] or made == [1]
    assert (windows.shown("2")[0] == 115).all() and windows.waits() == [1]


def test_main_prints_recognition_and_red(monkeypatch, windows, capsys, tmp_path):
    import vision_assets as va

    kit = va.make_kit(str(tmp_path), models={"qmt4082.proto": va.logits_model([9.0] + [0.0] * 11)})
    va.point_module_at(monkeypatch, optik1, kit)
    frame = white()
    cv2.circle(frame, (320, 240), 80, (0, 0, 220), -1)
    monkeypatch.setattr(optik1, "Camera", camera_with([frame]))
    with pytest.raises(Done):
        optik1.main()
    assert capsys.readouterr().out.splitlines() == ["9", "red"]
    crop = windows.shown("22")[0]  # the red disc's region of the frame
    assert abs(crop.shape[0] - 160) <= 3 and abs(crop.shape[1] - 160) <= 3
    assert windows.waits() == [1]


def test_ctrl_c_ends_a_demonstration_at_once(tmp_path):
    code = textwrap.dedent("""
        import numpy as np
        from control_zelk import optik1
        class Cam:
            def __init__(self, num=0): pass
            def read_camera(self):
                return np.full((120, 160, 3), 200, np.uint8)
        optik1.Camera = Cam
        print("running", flush=True)
        optik1.f1()
    """)
    proc = subprocess.Popen(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
    )
    assert proc.stdout.readline() == "running\n"
    time.sleep(1)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=10)
    assert "KeyboardInterrupt" in err
