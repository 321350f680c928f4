"""The main job's learner programs run end to end on the simulator and generated camera."""

import os
import re
import time
from pathlib import Path

import cv2
import numpy as np
import pytest
from layout import REPO, run_on_sim
from skimage import data


def run_demo(program):
    return run_on_sim(os.path.join(REPO, program), timeout=120, cwd=REPO)


def test_drive_demo_stops_before_the_obstacle():
    r = run_demo("demo/drive_demo.py")
    assert r.returncode == 0, r.stderr
    distances = [int(d) for d in re.findall(r"^distance: (\d+)$", r.stdout, re.M)]
    assert distances[-1] < 20 and distances == sorted(distances, reverse=True)
    for trace in (
        "[board] chassis speed_s=30",
        "[board] io output mask=0x02",
        "[board] servo id=1 duty=70",
        "[board] line_track start=1 speed=60",
    ):
        assert trace in r.stderr
    assert "done in" in r.stdout


def test_follow_demo_steers_by_the_line_and_sees_the_ball():
    r = run_demo("demo/follow_demo.py")
    assert r.returncode == 0, r.stderr
    out = r.stdout
    assert out.count("line offset:") == 12 and out.count("green ball at") == 12
    # The line sways right then left: the car turns both ways.
    assert "[board] chassis speed_s=0 speed_l=0 speed_h=10" in r.stderr
    assert "[board] chassis speed_s=0 speed_l=0 speed_h=-10" in r.stderr


def run_vision_demo(out, **env):
    started = time.monotonic()
    r = run_on_sim(
        os.path.join(REPO, "demo", "vision_demo.py"), "--out", out, timeout=120, cwd=REPO, env=env
    )
    return r, time.monotonic() - started


def without_screen():
    return {
        k: v
        for k, v in os.environ.items()
        if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")
    }


@pytest.fixture(scope="module")
def vision_demo(tmp_path_factory):
    """The vision demo run as scripts/demo.sh runs it on a machine without a screen."""
    out = tmp_path_factory.mktemp("vision") / "out"
    return out, *run_vision_demo(out, **without_screen())


def test_vision_demo_says_what_it_found_and_saves_a_picture_of_each(vision_demo):
    out, r, seconds = vision_demo
    assert r.returncode == 0, r.stderr
    assert seconds < 60
    lines = r.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == [
        "kit",
        "line",
        "face",
        "qr",
        "model",
        "beauty",
    ]

    # Without a kit in /home/pi/class/ the demo installs one of its own and says what it lacks.
    kit = out / "kit"
    car_kit = "/home/pi/class/"
    if all(
        os.path.isfile(car_kit + name)
        for name in (
            "model/face.xml",
            "model/qmt4082.proto",
            "camera_pos/hat.jpg",
            "camera_pos/mask.jpg",
        )
    ):
        assert lines[0] == f"kit: using {car_kit}"
        kit = Path(car_kit)
    else:
        assert lines[0].startswith(f"kit: {car_kit} has no kit; installed one into {kit} ")
    assert (kit / "model" / "face.xml").is_file()
    missing = re.findall(r"model/qmt4082\.proto|camera_pos/hat\.jpg", lines[0])
    assert [
        name for name in ("model/qmt4082.proto", "camera_pos/hat.jpg") if not (kit / name).is_file()
    ] == missing

    pictures = {}
    for line in lines[1:]:
        if "->" in line:
            step = line.split(":")[0]
            pictures[step] = cv2.imread(line.rsplit(" -> ", 1)[1])
            assert pictures[step] is not None and pictures[step].shape[1] <= 640, line

    # The mat video has the line in every picture, swaying right of the middle first.
    m = re.fullmatch(
        r"line: line in 12 of 12 pictures, offset (-?\d+)\.\.(-?\d+) px, "
        r"angle (-?\d+)(\.\.-?\d+)? -> .*/line\.png",
        lines[1],
    )
    assert m, lines[1]
    low, high = int(m[1]), int(m[2])
    assert 0 < low < high < 160
    red_dots = np.all(pictures["line"] == (0, 0, 255), axis=2).sum()
    assert red_dots > 4 * 100  # one dot on the middle row of each of the four pictures

    hat = "no hat pasted" if "camera_pos/hat.jpg" in missing else "hat pasted"
    assert lines[2] == f"face: color_data '有人', {hat} -> {out}/face_hat.png"
    astronaut = cv2.cvtColor(data.astronaut(), cv2.COLOR_RGB2BGR)
    face = np.any(pictures["face"] != astronaut, axis=2)
    assert face[20:170, 170:280].any() and not face[300:, :].any()  # marked at the face only

    assert lines[3] == f"qr: er_data '前进 20 cm' -> {out}/qr.png"
    assert pictures["qr"].shape == (480, 640, 3)

    if "model/qmt4082.proto" in missing:
        assert lines[4] == "model: the kit has no qmt4082.proto, step skipped"
    else:
        assert re.fullmatch(
            r"model: 3 card -> m_data '3' \(\d+ %\), "
            r"right card -> m_data '右转' \(\d+ %\) -> .*/model\.png",
            lines[4],
        )
        assert pictures["model"].shape == (240, 640, 3)

    m = re.fullmatch(
        r"beauty: brightness (\d+) -> (\d+), skin smoothed -> .*/beauty\.png", lines[5]
    )
    assert m and 15 <= int(m[2]) - int(m[1]) <= 25  # the filter adds about 10 twice
    before, after = np.hsplit(pictures["beauty"], 2)
    assert (
        np.abs(cv2.Laplacian(after, cv2.CV_64F)).mean()
        < np.abs(cv2.Laplacian(before, cv2.CV_64F)).mean()
    )


def test_vision_demo_with_windows_says_the_same(vision_demo, tmp_path):
    out, headless, _ = vision_demo
    shown, _ = run_vision_demo(tmp_path, **without_screen(), QT_QPA_PLATFORM="offscreen")
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.replace(str(tmp_path), "OUT") == headless.stdout.replace(str(out), "OUT")
