"""optik.color_detect: colour table, range picking, and detect's rules and results."""

from collections import deque
from types import SimpleNamespace

import cv2
import frame_kinds as fk
import numpy as np
import pytest
from control_zelk import optik, optik1
from optik_reference import ReferenceColorDetect, state

TABLE = {
    "red": ([156, 43, 46], [10, 255, 255]),
    "green": ([35, 43, 46], [77, 255, 255]),
    "yellow": ([26, 43, 46], [34, 255, 255]),
    "blue": ([80, 43, 46], [124, 255, 255]),
    "orange": ([11, 43, 46], [25, 255, 255]),
    "black": ([0, 0, 0], [180, 255, 46]),
    "white": ([0, 0, 221], [180, 30, 255]),
    "gray": ([0, 0, 46], [180, 43, 220]),
    "purple": ([125, 43, 46], [155, 255, 255]),
    "qing": ([78, 43, 46], [99, 255, 255]),
}
GREEN = (0, 200, 0)  # BGR; HSV (60, 255, 200), inside "green" only


def frame_with(*patches, h=240, w=320):
    """Black frame with green rectangles (x, y, w, h)."""
    frame = np.zeros((h, w, 3), np.uint8)
    for x, y, pw, ph in patches:
        frame[y : y + ph, x : x + pw] = GREEN
    return frame


def detect_both(name, frames):
    """Runs detect and the plain cv2 transcription on each frame; both must end alike.
    Returns what the last call returned or raised."""
    cd, ref = optik.color_detect(name), ReferenceColorDetect(*TABLE[name], name)
    for frame in frames:
        outcomes = []
        for obj in (cd, ref):
            try:
                outcomes.append(obj.detect(frame))
            except ZeroDivisionError as e:
                outcomes.append(type(e))
        assert outcomes[0] == outcomes[1] and state(cd) == state(ref)
    return cd, outcomes[0]


def address(a):
    return a.__array_interface__["data"][0]


@pytest.mark.parametrize("name", TABLE)
def test_constructor_sets_the_table_row_and_fresh_state(name):
    cd = optik.color_detect(name)
    assert (cd.color_list_lower, cd.color_list_upper) == TABLE[name]
    assert [cd.colorLower.tolist(), cd.colorUpper.tolist()] == list(TABLE[name])
    assert cd.colorLower.dtype == np.array([1]).dtype
    assert (cd.data, cd.color, cd.mybuffer, cd.counter) == ("none", name, 16, 0)
    assert type(cd.pts) is deque and cd.pts.maxlen == 16 and not cd.pts
    assert (cd.Hmax, cd.Smax, cd.Vmax, cd.Hmin, cd.Smin, cd.Vmin) == (0, 0, 0, 255, 255, 255)
    assert not any(hasattr(cd, a) for a in ("HSV", "frame", "img_new", "x", "radius", "cam"))
    cd.color_list_lower[0] = -1
    assert optik.color_detect(name).color_list_lower == TABLE[name][0]
    with pytest.raises(AttributeError, match="color_list_lower"):
        optik.color_detect(name.capitalize())


def test_setcolorvalue_keeps_the_callers_lists_and_prints_the_tuple(capsys):
    cd = optik.color_detect("red")
    low, up = [0, 43, 46], [10, 255, 255]
    assert cd.setcolorvalue("mine", low, up) is None
    assert (
        capsys.readouterr().out == "('设置阈值成功，当前阈值为：', [0, 43, 46], [10, 255, 255])\n"
    )
    assert cd.color_list_lower is low and cd.color_list_upper is up
    low[0] = 99
    assert cd.color_list_lower[0] == 99 and cd.colorLower.tolist() == [0, 43, 46]
    red = np.zeros((50, 50, 3), np.uint8)
    red[10:40, 10:40] = (0, 0, 200)
    cd.detect(red)
    assert cd.data == "mine"


def test_no_colour_empties_the_track_and_keeps_the_circle():
    cd = optik.color_detect("green")
    cd.detect(frame_with((50, 50, 30, 30)))
    assert cd.data == "green" and len(cd.pts) == 1
    circle, pts, empty = (cd.x, cd.y, cd.radius), cd.pts, frame_with()
    assert cd.detect(empty) is None
    assert cd.data == "other_color" and cd.pts is pts and not pts
    assert cd.frame is empty and cd.img_new is empty and (cd.x, cd.y, cd.radius) == circle


def test_box_larger_than_60_both_ways_gives_a_view_of_the_frame():
    big = frame_with((120, 110, 61, 61), h=300, w=400)
    frame = big[10:250, 20:340]  # strided: the crop must still be a view of `big`
    cd = optik.color_detect("green")
    cd.detect(frame)
    assert cd.frame is frame and cd.img_new.shape == (61, 61, 3)
    assert address(cd.img_new) == address(big[110:, 120:])
    cd.img_new[0, 0] = (1, 2, 3)
    assert big[110, 120].tolist() == [1, 2, 3]
    assert (cd.x, cd.y, list(cd.pts)) == (130.0, 130.0, [(130, 130)])


@pytest.mark.parametrize("w, h", [(60, 200), (200, 60), (61, 60), (60, 61)])
def test_box_of_60_or_less_either_way_keeps_the_whole_frame(w, h):
    cd = optik.color_detect("green")
    frame = frame_with((20, 20, w, h))
    cd.detect(frame)
    assert cd.img_new is frame and cd.data == "green"
    assert (cd.x, cd.y) == (20 + (w - 1) / 2, 20 + (h - 1) / 2)
    assert list(cd.pts) == [(20 + (w - 1) // 2, 20 + (h - 1) // 2)]


def test_radius_must_exceed_5_and_the_track_keeps_16_newest_first():
    cd = optik.color_detect("green")
    cd.detect(frame_with((100, 100, 7, 9)))  # enclosing radius just above 5
    assert cd.radius > 5 and cd.data == "green" and list(cd.pts) == [(103, 104)]
    cd.detect(frame_with((10, 20, 8, 8)))  # just under 5
    assert cd.radius < 5 and (cd.x, cd.y) == (13.5, 23.5)
    assert cd.data == "none" and list(cd.pts) == [(103, 104)]
    for i in range(17):
        cd.detect(frame_with((10 + 10 * i, 50, 20, 20)))
    assert list(cd.pts) == [(19 + 10 * i, 59) for i in range(16, 0, -1)]


def test_largest_patch_wins_and_ties_go_to_the_first_contour():
    cd = optik.color_detect("green")
    cd.detect(frame_with((10, 10, 20, 20), (200, 150, 25, 25), (100, 40, 20, 20)))
    assert list(cd.pts) == [(212, 162)]
    ties = ([(10, 10), (200, 150)], [(200, 10), (10, 150)], [(10, 100), (200, 100)])
    detect_both("green", [frame_with(*[(x, y, 20, 20) for x, y in tie]) for tie in ties])


def test_zero_area_patch_raises_zero_division_after_storing_the_circle():
    cd, outcome = detect_both("green", [frame_with((5, 0, 20, 1), h=1, w=40)])  # a line
    assert outcome is ZeroDivisionError and cd.data == "none" and cd.radius > 5
    with pytest.raises(ZeroDivisionError, match="float division by zero"):
        cd.detect(cd.frame)


UNUSABLE = {
    **fk.frames_of_every_kind(
        np.zeros((8, 8, 3), np.uint8),
        ["None", "list", "grey", "BGRA", "one channel", "float32", "int16", "empty", "no columns"],
    ),
    "four axes": (lambda: np.zeros((2, 8, 8, 3), np.uint8), True),
}


@pytest.mark.parametrize("name", UNUSABLE)
def test_unusable_frames_raise_cv2_error(name):
    frame = UNUSABLE[name][0]()
    cd = optik.color_detect("green")
    with pytest.raises(cv2.error, match="cvtColor"):
        cd.detect(frame)
    assert cd.data == "none" and cd.frame is frame


def test_frames_of_any_memory_layout_are_read():
    base = frame_with((30, 20, 90, 70), (150, 100, 30, 30), h=200, w=300)
    readonly = base.copy()
    readonly.flags.writeable = False
    detect_both(
        "green",
        [
            base[:, ::-1],
            base[::-1],
            base[::2, ::2],
            base[..., ::-1][..., ::-1],
            np.asfortranarray(base),
            base[10:190, 5:295],
            readonly,
        ],
    )


def random_scene(rng, h, w):
    """Background gradient, random coloured rectangles and discs, sensor noise."""
    yy, xx, _ = np.mgrid[0:h, 0:w, 0:1]
    a, b, c = rng.uniform(0, 255, (3, 3))
    img = (a + (b - a) * xx / w + (c - a) * yy / (2 * h)).astype(np.float32)
    for _ in range(rng.integers(0, 8)):
        colour = rng.integers(0, 256, 3).tolist()
        x, y = int(rng.integers(0, w)), int(rng.integers(0, h))
        s, t = rng.integers(1, 120, 2).tolist()
        if s % 2:
            cv2.rectangle(img, (x, y), (x + s, y + t), colour, -1)
        else:
            cv2.circle(img, (x, y), s, colour, -1)
    img += rng.normal(0, rng.uniform(0, 25), img.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


@pytest.mark.parametrize("name", TABLE)
def test_detect_equals_the_cv2_pipeline_on_random_scenes(name):
    rng = np.random.default_rng(list(TABLE).index(name))
    sizes = [(480, 640), (240, 320), (37, 53), (121, 7), (1, 90), (64, 1)]
    frames = [random_scene(rng, *sizes[i % len(sizes)]) for i in range(24)]
    detect_both(name, frames + [rng.integers(0, 256, (120, 161, 3), np.uint8) for _ in range(3)])


@pytest.mark.parametrize("name", ["red", "blue", "orange", "white", "gray", "black"])
def test_detect_equals_the_cv2_pipeline_on_photos(name):
    data = pytest.importorskip("skimage.data")
    photos = [
        cv2.cvtColor(f(), cv2.COLOR_RGB2BGR) for f in (data.astronaut, data.coffee, data.chelsea)
    ]
    detect_both(name, photos + [cv2.resize(p, (640, 480)) for p in photos])


@pytest.fixture
def gui(monkeypatch):
    """cv2's camera and window functions replaced; the key wait plays the queued mouse events
    into the registered callback, as the window system does during a real key wait."""
    rec = SimpleNamespace(shown={}, callbacks={}, waits=[], events=[], cams=[], frame=None)

    class Capture:
        reads = 0

        def read(self):
            self.reads += 1
            return (True, rec.frame) if rec.frame is not None else (False, None)

    def wait_key(delay):
        rec.waits.append(delay)
        for event in rec.events:
            rec.callbacks["imageHSV"](event[0], event[1], event[2], 0, None)
        rec.events = []
        return 13

    def video_capture(index):
        rec.cams.append((index, Capture()))
        return rec.cams[-1][1]

    monkeypatch.setattr(cv2, "VideoCapture", video_capture)
    monkeypatch.setattr(cv2, "imshow", lambda name, img: rec.shown.__setitem__(name, img))
    monkeypatch.setattr(
        cv2, "setMouseCallback", lambda name, cb: rec.callbacks.__setitem__(name, cb)
    )
    monkeypatch.setattr(cv2, "waitKey", wait_key)
    rec.frame = np.zeros((20, 30, 3), np.uint8)
    rec.frame[4, 3] = (0, 100, 0)  # HSV (60, 255, 100)
    rec.frame[7, 10] = (100, 150, 200)  # HSV (15, 128, 200)
    rec.hsv = cv2.cvtColor(rec.frame, cv2.COLOR_BGR2HSV)
    return rec


LEFT, MOVE, RIGHT = cv2.EVENT_LBUTTONDOWN, cv2.EVENT_MOUSEMOVE, cv2.EVENT_RBUTTONDOWN


def test_set_hsv_takes_the_extremes_of_the_clicked_pixels(gui, capsys):
    gui.events = [(LEFT, 3, 4), (MOVE, 10, 7), (LEFT, 10, 7), (RIGHT, 20, 15)]
    cd = optik.color_detect("red")
    assert cd.set_hsv("picked") is None
    a, b = gui.hsv[4, 3], gui.hsv[7, 10]
    lower, upper = np.minimum(a, b), np.maximum(a, b)
    assert lower.tolist() not in (a.tolist(), b.tolist())
    assert (cd.color_list_lower, cd.color_list_upper) == (lower.tolist(), upper.tolist())
    assert cd.colorLower.tolist() == lower.tolist() and cd.colorLower.dtype == np.uint8
    assert cd.color == "picked" and capsys.readouterr().out == f"{a}\n{b}\n{lower}\n{upper}\n"
    ((index, cam),) = gui.cams
    assert index == 0 and cam.reads == 5 and gui.waits == [0]
    np.testing.assert_array_equal(cd.HSV, gui.hsv)
    assert gui.shown["imageHSV"] is cd.HSV and gui.shown["image"] is gui.frame
    callback = gui.callbacks["imageHSV"]
    assert callback.__self__ is cd and callback.__func__ is optik.color_detect.getpos


def test_set_hsv_without_clicks_then_accumulating(gui, capsys):
    cd = optik.color_detect("red")
    cd.set_hsv("none yet")
    assert (cd.color_list_lower, cd.color_list_upper) == ([255, 255, 255], [0, 0, 0])
    assert capsys.readouterr().out == "[255 255 255]\n[0 0 0]\n"
    cd.detect(np.full((240, 320, 3), 128, np.uint8))
    assert cd.data == "other_color"
    gui.events = [(LEFT, 3, 4)]
    cd.set_hsv("one")
    assert cd.color_list_lower == cd.color_list_upper == gui.hsv[4, 3].tolist()
    gui.events = [(LEFT, 10, 7)]
    cd.set_hsv("two")
    assert cd.color_list_lower == np.minimum(gui.hsv[4, 3], gui.hsv[7, 10]).tolist()
    assert cd.color_list_upper == np.maximum(gui.hsv[4, 3], gui.hsv[7, 10]).tolist()
    gui.frame = None
    with pytest.raises(TypeError, match="cannot unpack non-iterable NoneType object"):
        cd.set_hsv("no camera")
    cd.getpos(LEFT, 29, 19, "flags", "param")  # a black pixel; flags and param are ignored
    assert (cd.Hmin, cd.Smin, cd.Vmin) == (0, 0, 0)


@pytest.mark.parametrize(
    "make",
    [lambda name: optik.color_detect(name), lambda name: optik1.Img().color_detect_init(name)],
    ids=["optik", "optik1"],
)
def test_an_unknown_colour_name_says_which_names_there_are(make):
    with pytest.raises(AttributeError) as e:
        make("Red")
    assert str(e.value).endswith("object has no attribute 'color_list_lower'")
    assert e.value.__notes__ == [
        "No colour is named 'Red' in the table; its colours are: red, "
        "green, yellow, blue, orange, black, white, gray, purple, qing."
    ]
