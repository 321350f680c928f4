"""What camera 0 shows of the arena, looked at with the library's own colour and QR reading:
each ball is the biggest patch of its colour's name wherever it is seen from, and nothing else
answers to a ball's name; the QR card reads from a few cm to where it gets too small; the
colours of a world file come out as written, and nearer things cover farther ones."""

import json
import math
import subprocess

import numpy as np
import pytest
from control_zelk import optik
from control_zelk.optik1 import Img
from layout import ON_SIM

from zelk_run import world as worlds
from zelk_run.board_link import BoardSim

ARENA = worlds.load_world("arena")
NAMES = {"#e03131": "red", "#2f9e44": "green", "#1c7ed6": "blue", "#e8e020": "yellow"}
BALLS = {NAMES[b["colour"]]: b for b in ARENA["balls"]}
QR_CARD = next(s for s in ARENA["signs"] if s["image"] == "qr-card.png")
WIDTH, HEIGHT = 640, 480


class Lens:
    """The pinhole camera of the car at a pose, as the simulator renders it."""

    def __init__(self, car, x, y, heading_deg):
        h, t = math.radians(heading_deg), math.radians(car["camera_tilt_deg"])
        ahead, up = np.array([math.cos(h), math.sin(h), 0]), np.array([0, 0, 1.0])
        self.centre = np.array([x, y, car["camera_height_cm"]]) + ahead * car["camera_forward_cm"]
        self.forward = ahead * math.cos(t) - up * math.sin(t)
        self.down = -ahead * math.sin(t) - up * math.cos(t)
        self.right = np.array([math.sin(h), -math.cos(h), 0])
        self.focal = WIDTH / 2 / math.tan(math.radians(car["camera_fov_deg"] / 2))

    def project(self, point):
        """(column, row, depth) of a point."""
        d = np.asarray(point, float) - self.centre
        z = d @ self.forward
        return (
            (WIDTH - 1) / 2 + self.focal * (d @ self.right) / z,
            (HEIGHT - 1) / 2 + self.focal * (d @ self.down) / z,
            z,
        )


def crosses_a_wall(p, q):
    return any(
        worlds.distance_ahead(*p, math.degrees(math.atan2(q[1] - p[1], q[0] - p[0])), [wall])
        < math.dist(p, q)
        for wall in ARENA["walls"]
    )


def clear_of_walls(x, y, cm):
    return all(worlds.distance_ahead(x, y, a, ARENA["walls"]) >= cm for a in range(0, 360, 30))


def detections(picture, name):
    """What optik and optik1 each find for the colour name: (x, y) of the biggest patch, or
    None. Both must agree."""
    found = optik.color_detect(name)
    found.detect(picture)
    img = Img(picture)
    img.color_detect_init(name)
    img.color_detect()
    assert (found.data == name) == (img.color_data == name)
    return found.pts[0] if found.data == name else None


def on_the_ball(found, lens, ball):
    """Is the point found inside the ball's picture?"""
    u, v, z = lens.project([*ball["at"], ball["radius_cm"]])
    return z > 0 and math.dist(found, (u, v)) <= lens.focal * ball["radius_cm"] / z


@pytest.fixture(scope="module")
def arena():
    with BoardSim(world=worlds.world_file("arena")) as sim:
        sim.car = sim.world_info()
        yield sim


def views_of(ball):
    """Poses from around the ball and from near to far, facing it, with nothing between and
    room for the car."""
    bx, by = ball["at"]
    for bearing in range(0, 360, 45):
        for gap in (30, 60, 110):
            x = bx + gap * math.cos(math.radians(bearing))
            y = by + gap * math.sin(math.radians(bearing))
            if clear_of_walls(x, y, 15) and not crosses_a_wall((x, y), (bx, by)):
                yield x, y, (bearing + 180) % 360


@pytest.mark.parametrize("name", sorted(BALLS))
def test_each_ball_is_the_biggest_patch_of_its_name(arena, name):
    ball = BALLS[name]
    views = list(views_of(ball))
    assert len(views) >= 8, "the ball should be in the open, in view from many sides"
    for x, y, heading in views:
        arena.place(x, y, heading)
        found = detections(arena.camera_picture(), name)
        where = f"from ({x:.0f}, {y:.0f}) facing {heading}"
        assert found is not None, f"no {name} patch {where}"
        assert on_the_ball(found, Lens(arena.car, x, y, heading), ball), where


# A ball follower as a learner writes it: turn until the ball is in sight, steer to it, stop
# close to it.
SEEKER = """\
import sys
from control_zelk import optik
from control_zelk.Drivox_1 import Car

name = sys.argv[1]
cam, ball, car = optik.Camera(0), optik.color_detect(name), Car()
try:
    while True:
        ball.detect(cam.read_camera())
        if ball.data != name:
            car.car_turn_r(15)
        elif ball.radius > 120:
            print("reached", flush=True)
            break
        elif abs(ball.pts[0][0] - 320) > 60:
            (car.car_turn_l if ball.pts[0][0] < 320 else car.car_turn_r)(10)
        else:
            car.car_go(20)
finally:
    car.car_stop()
"""


@pytest.mark.parametrize("name", sorted(BALLS))
def test_a_follower_started_facing_away_ends_at_its_ball(tmp_path, name):
    ball = BALLS[name]
    x, y, facing = next(v for v in views_of(ball) if abs(math.dist(v[:2], ball["at"]) - 60) < 0.01)
    world = {
        **ARENA,
        "start": {"x_cm": x, "y_cm": y, "heading_deg": (facing + 180) % 360},
        "signs": [
            {**s, "image": str(worlds.shipped_folder() / s["image"])} for s in ARENA["signs"]
        ],
    }
    (tmp_path / "arena.json").write_text(json.dumps(world))
    (tmp_path / "seek.py").write_text(SEEKER)
    run = subprocess.run(
        [
            *ON_SIM,
            "--world",
            "arena.json",
            "--headless",
            "--duration",
            "40",
            "--pose-log",
            "poses.csv",
            "seek.py",
            name,
        ],
        capture_output=True,
        text=True,
        timeout=90,
        cwd=tmp_path,
    )
    assert run.returncode == 0 and "reached" in run.stdout, run.stderr[-2000:]
    end = worlds.read_poses(tmp_path / "poses.csv").at(-1)
    assert 15 < math.dist(end[1:3], ball["at"]) <= 35, end


def test_nothing_but_its_ball_answers_to_a_colour_name(arena):
    """From all over the arena, facing every way: whatever patch the library finds for a ball's
    name is that ball."""
    for x in range(40, 280, 40):
        for y in range(40, 280, 40):
            if not clear_of_walls(x, y, 15):
                continue
            for heading in range(0, 360, 45):
                arena.place(x, y, heading)
                picture = arena.camera_picture()
                lens = Lens(arena.car, x, y, heading)
                for name, ball in BALLS.items():
                    found = detections(picture, name)
                    if found is None:
                        continue
                    assert on_the_ball(found, lens, ball), (
                        f"{name} at {found} from ({x}, {y}) facing {heading}"
                    )


def card_corners(sign):
    f = math.radians(sign["facing_deg"])
    right = np.array([-math.sin(f), math.cos(f), 0]) * sign["width_cm"] / 2
    base = np.array([*sign["at"], sign["above_floor_cm"]])
    up = np.array([0, 0, sign["height_cm"]])
    return [base - right, base + right, base + right + up, base - right + up]


# Two and a half pixels for each of the code's 25 modules (21 and a margin of 2 each side).
READABLE_PX = 62


@pytest.mark.parametrize("tilt", [30, 20])
def test_the_qr_card_reads_from_up_close_to_where_it_gets_too_small(tilt):
    f = math.radians(QR_CARD["facing_deg"])
    (cx, cy), corners = QR_CARD["at"], card_corners(QR_CARD)
    reader = optik.erweima_recognize()
    should, read = [], []
    with BoardSim(world=worlds.world_file("arena"), car=[f"camera_tilt_deg={tilt}"]) as sim:
        car = sim.world_info()
        for gap in range(15, 151, 5):  # from the camera to the card
            back = gap + car["camera_forward_cm"]
            x, y = cx + back * math.cos(f), cy + back * math.sin(f)
            heading = QR_CARD["facing_deg"] + 180
            sim.place(x, y, heading)
            reader.recognize(sim.camera_picture())
            lens = Lens(car, x, y, heading)
            px = [lens.project(c) for c in corners]
            inside = all(1 <= u <= WIDTH - 2 and 1 <= v <= HEIGHT - 2 and z > 0 for u, v, z in px)
            if inside and px[1][0] - px[0][0] >= READABLE_PX:
                should.append(gap)
            if reader.data == "前进 20 cm":
                read.append(gap)
    assert set(should) <= set(read), f"readable at {should}, read at {read}"
    # From the car's nose up against the card to half a metre away, whatever the tilt.
    assert set(range(15, 51, 5)) <= set(should)


def render(tmp_path, world, pose):
    path = tmp_path / "world.json"
    path.write_text(json.dumps({"size_cm": [300, 200], "floor": "#ffffff", **world}))
    with BoardSim(world=str(path)) as sim:
        sim.place(*pose)
        return sim.camera_picture()


@pytest.mark.parametrize("colour, channel", [("#ff0000", 2), ("#00ff00", 1), ("#0000ff", 0)])
def test_colours_come_out_as_written(tmp_path, colour, channel):
    """A wall, a ball and a floor mark written in one colour are drawn in it (the pictures are
    blue-green-red)."""
    world = {
        "walls": [{"from": [200, 0], "to": [200, 200], "height_cm": 40, "colour": colour}],
        "balls": [{"at": [150, 120], "radius_cm": 6, "colour": colour}],
        "marks": [{"shape": "square", "at": [135, 92], "size_cm": 10, "colour": colour}],
    }
    picture = render(tmp_path, world, (100, 100, 0)).astype(int)
    lens = Lens(
        {
            "camera_tilt_deg": 30,
            "camera_height_cm": 15,
            "camera_forward_cm": 8,
            "camera_fov_deg": 62,
        },
        100,
        100,
        0,
    )
    for thing, point in [("wall", (200, 100, 3)), ("ball", (150, 120, 6)), ("mark", (135, 92, 0))]:
        u, v, _ = lens.project(point)
        assert 0 <= u < WIDTH and 0 <= v < HEIGHT, thing
        pixel = picture[round(v), round(u)]
        others = [pixel[c] for c in range(3) if c != channel]
        assert pixel[channel] >= 170 and max(others) <= 40, f"{thing}: {pixel} (BGR)"


@pytest.mark.parametrize(
    "wall, ball, pose, hidden",
    [
        # Behind the near end of a long wall, whose middle is farther than the ball.
        ({"from": [120, 60], "to": [120, 500]}, [150, 130], (60, 40, 60), True),
        # In front of a long wall that runs on past the camera.
        ({"from": [100, 0], "to": [100, 300]}, [88, 230], (60, 140, 80), False),
    ],
)
def test_nearer_things_cover_farther_ones(tmp_path, wall, ball, pose, hidden):
    world = {
        "size_cm": [300, 500],
        "walls": [{**wall, "height_cm": 40, "colour": "#808080"}],
        "balls": [{"at": ball, "radius_cm": 10, "colour": "#00ff00"}],
    }
    assert (detections(render(tmp_path, world, pose), "green") is None) == hidden
    del world["walls"]
    assert detections(render(tmp_path, world, pose), "green") is not None  # in view
