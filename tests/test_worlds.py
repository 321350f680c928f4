"""The shipped worlds (zelk_run/worlds/) are what their pages promise: a line track a car can lap
(a loop of gentle bends both ways, clear of the floor's edges, the car starting on it) and an
arena where the learner programs find what they look for. A teacher who edits one and breaks
it hears it here before a class does."""

import math
import os

import cv2
import numpy as np
import pytest

from zelk_run import world as worlds

WORLDS = str(worlds.shipped_folder())
KEYS = {
    "name",
    "size_cm",
    "floor",
    "floor_image",
    "background",
    "line",
    "line_width_cm",
    "line_colour",
    "dotted",
    "dash_cm",
    "gap_cm",
    "start",
    "walls",
    "balls",
    "signs",
    "marks",
    "car",
}
SHIPPED = worlds.shipped_worlds()
CAMERA_HALF_FOV = 31  # degrees each side of straight ahead: camera_fov_deg 62


def circumradius(a, b, c):
    """Radius of the circle through three points (inf on a straight line)."""
    ab, bc, ca = math.dist(a, b), math.dist(b, c), math.dist(c, a)
    cross = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])
    return math.inf if abs(cross) < 1e-9 else ab * bc * ca / (2 * abs(cross))


def crosses(p, q, wall):
    """Does the segment p-q cross the wall?"""
    (ax, ay), (bx, by) = wall["from"], wall["to"]

    def side(ox, oy, px, py, qx, qy):
        return (px - ox) * (qy - oy) - (py - oy) * (qx - ox)

    return (
        side(*p, *q[:2], ax, ay) * side(*p, *q[:2], bx, by) < 0
        and side(ax, ay, bx, by, *p) * side(ax, ay, bx, by, *q) < 0
    )


def bearing(start, point):
    """Degrees from the start's heading to the point, positive to the left."""
    angle = math.degrees(math.atan2(point[1] - start["y_cm"], point[0] - start["x_cm"]))
    return (angle - start["heading_deg"] + 180) % 360 - 180


@pytest.mark.parametrize("name", SHIPPED)
def test_world_is_well_formed(name):
    world = worlds.load_world(name)
    assert set(world) <= KEYS, f"unknown keys: {set(world) - KEYS}"
    width, height = world["size_cm"]
    inside = (
        [world["start"]["x_cm"], world["start"]["y_cm"]],
        *world.get("line", []),
        *(thing["at"] for kind in ("balls", "signs", "marks") for thing in world.get(kind, [])),
    )
    assert all(0 <= x <= width and 0 <= y <= height for x, y in inside)
    for kind in ("balls", "marks", "walls"):
        for thing in world.get(kind, []):
            assert len(thing["colour"]) == 7 and int(thing["colour"][1:], 16) >= 0
    for sign in world.get("signs", []):
        picture = cv2.imread(os.path.join(WORLDS, sign["image"]))
        assert picture is not None, sign["image"]
    # What a teacher edits by hand stays readable: no coordinates finer than 0.1 cm.
    assert all(round(v, 1) == v for point in world.get("line", []) for v in point)


class TestLineTrack:
    world = worlds.load_world("line-track")
    track = worlds.Track(world["line"])
    points = world["line"][:-1]

    def test_a_loop_of_a_few_metres_clear_of_the_edges(self):
        assert self.track.closed and 250 <= self.track.length <= 350
        width, height = self.world["size_cm"]
        assert all(50 <= x <= width - 50 and 50 <= y <= height - 50 for x, y in self.points)
        assert not self.world.get("walls")  # nothing dark in view but the line

    def test_gentle_bends_both_ways(self):
        n = len(self.points)
        turns = []
        for i in range(n):
            # Points two apart: rounding to 0.1 cm bends neighbours' circles by a few cm.
            a, b, c = self.points[i - 2], self.points[i], self.points[(i + 2) % n]
            assert circumradius(a, b, c) >= 38, (i, b)
            cross = (b[0] - a[0]) * (c[1] - b[1]) - (b[1] - a[1]) * (c[0] - b[0])
            turns.append(cross)
        assert any(t > 1 for t in turns) and any(t < -1 for t in turns)

    def test_the_car_starts_on_the_line_facing_along_it(self):
        start = self.world["start"]
        distance, position = self.track.project(start["x_cm"], start["y_cm"])
        assert distance[0] < 0.5
        ahead = worlds.ahead_of(start["x_cm"], start["y_cm"], start["heading_deg"], 5)
        assert self.track.progress([start["x_cm"], ahead[0]], [start["y_cm"], ahead[1]])[1] > 4

    def test_a_dotted_stretch_of_dashes_and_gaps(self):
        ((begin, end),) = self.world["dotted"]
        assert 0 <= begin < end <= self.track.length and 30 <= end - begin <= 50
        assert self.world["gap_cm"] < self.world["dash_cm"]


class TestArena:
    world = worlds.load_world("arena")
    start = world["start"]

    def test_the_car_starts_facing_a_wall_about_120_cm_away(self):
        ahead = worlds.distance_ahead(
            self.start["x_cm"], self.start["y_cm"], self.start["heading_deg"], self.world["walls"]
        )
        assert 110 <= ahead <= 130
        # Nothing stands in the ultrasonic sensor's way to that wall.
        for ball in self.world["balls"]:
            assert abs(bearing(self.start, ball["at"])) > 15

    def test_the_green_ball_is_in_view_and_in_reach(self):
        colours = {ball["colour"]: ball for ball in self.world["balls"]}
        green = colours["#2f9e44"]
        assert len(colours) == 4  # green, red, blue, yellow
        assert 5 < abs(bearing(self.start, green["at"])) < CAMERA_HALF_FOV - 3
        origin = (self.start["x_cm"], self.start["y_cm"])
        assert not any(crosses(origin, green["at"], wall) for wall in self.world["walls"])

    # optik.color_detect's hue ranges (saturation and value at least 43 and 46) for the names
    # of the balls: red wraps round through hue 0.
    HUES = {
        "red": [(156, 180), (0, 10)],
        "yellow": [(26, 34)],
        "green": [(35, 77)],
        "blue": [(80, 124)],
    }

    @pytest.mark.parametrize("name", sorted(HUES))
    def test_one_ball_and_nothing_else_answers_to_each_name(self, name):
        """Else a ball follower given the name drives to something else (the camera's view of
        the same is in test_arena_camera.py)."""

        def answers(colour):
            bgr = np.uint8([[[int(colour[5:7], 16), int(colour[3:5], 16), int(colour[1:3], 16)]]])
            h, s, v = cv2.cvtColor(bgr, cv2.COLOR_BGR2HSV)[0, 0]
            return s >= 43 and v >= 46 and any(lo <= h <= hi for lo, hi in self.HUES[name])

        things = self.world["balls"] + self.world["marks"] + self.world["walls"]
        named = [t for t in things if answers(t["colour"])]
        assert len(named) == 1 and named[0] in self.world["balls"], named
        assert not answers(self.world["floor"]) and not answers(self.world["background"])

    def test_signs_stand_at_walls_facing_into_the_arena(self):
        for sign in self.world["signs"]:
            x, y = sign["at"]
            behind = worlds.distance_ahead(x, y, sign["facing_deg"] + 180, self.world["walls"])
            assert behind <= 2, sign["image"]


def test_sign_pictures_say_what_they_should():
    from pyzbar import pyzbar

    codes = pyzbar.decode(cv2.imread(os.path.join(WORLDS, "qr-card.png")))
    assert [c.data.decode("utf-8") for c in codes] == ["前进 20 cm"]
    cascade = cv2.CascadeClassifier(
        "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml"
    )
    face = cv2.cvtColor(cv2.imread(os.path.join(WORLDS, "face-card.jpg")), cv2.COLOR_BGR2GRAY)
    assert len(cascade.detectMultiScale(face, 1.1, 5)) == 1
