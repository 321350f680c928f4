"""The worlds of the virtual car, in one place: the shipped worlds and how a world is found,
the car's constants as the simulator reports them, the line's geometry (how far the car is
from it, how far along it the car got, its laps), the pose log a run writes, and the lesson
summary the launcher prints at the end of a run on a line. The launchers, the tests, the
benchmarks and the docs' scripts take all of this from here.

Coordinates are the world's: cm, x to the right, y up, headings in degrees counter-clockwise
from +x.
"""

import importlib.resources
import json
import math
import os
from dataclasses import dataclass

import numpy as np

POSE_LOG_HEADER = ["t_s", "x_cm", "y_cm", "heading_deg"]


# -- the shipped worlds ------------------------------------------------------------------------


def shipped_folder():
    """The folder of the shipped worlds (package data: their files and the pictures they use)."""
    return importlib.resources.files(__package__) / "worlds"


def shipped_worlds():
    """The names of the shipped worlds, sorted."""
    return sorted(
        f.name[: -len(".json")] for f in shipped_folder().iterdir() if f.name.endswith(".json")
    )


def world_file(name_or_path):
    """The file of a world: a file path as it is, else the shipped world of that name.
    Raises ValueError naming the shipped worlds when there is neither."""
    if os.path.isfile(name_or_path):
        return str(name_or_path)
    shipped = shipped_folder() / f"{name_or_path}.json"
    if os.sep not in str(name_or_path) and shipped.is_file():
        return str(shipped)
    names = ", ".join(shipped_worlds()) or "none"
    raise ValueError(f"no world {name_or_path!r}: give a file, or one of {names}")


def load_world(name_or_path):
    """The world as a dict, as its JSON file has it."""
    with open(world_file(name_or_path), encoding="utf-8") as f:
        return json.load(f)


def car_constants(name_or_path, car=()):
    """The car's constants in that world (NAME=VALUE overrides in `car`, as --car takes them),
    as the simulator itself reports them: camera_fov_deg, camera_tilt_deg, camera_fps, ...
    together with the world's size_cm and name."""
    from .board_link import BoardSim

    with BoardSim(world=world_file(name_or_path), car=list(car)) as sim:
        return sim.world_info()


# -- the line ----------------------------------------------------------------------------------


class Track:
    """A world's line as a polyline of [x, y] points; a loop when its last point is its first.
    It may cross itself (a figure eight): where the car is along it is followed from one pose
    to the next, not taken from whichever stretch happens to be nearest."""

    # How far along the line a car may get between two poses of a log (10 ms apart), and how
    # much nearer another stretch of the line may be before the car is taken to be on it.
    FOLLOW_WINDOW_CM = 40
    CROSSING_CM = 10

    def __init__(self, points):
        p = np.asarray(points, dtype=float)
        if p.ndim != 2 or p.shape[1] != 2 or len(p) < 2:
            raise ValueError("a track needs two or more [x, y] points")
        self.closed = len(p) > 2 and bool(np.all(p[0] == p[-1]))
        self.a, self.b = p[:-1], p[1:]
        self.segment_lengths = np.hypot(*(self.b - self.a).T)
        self.starts = np.concatenate([[0.0], np.cumsum(self.segment_lengths)[:-1]])
        self.length = float(self.segment_lengths.sum())

    def _nearest_on_segments(self, x, y):
        """For each point and segment: the gap to the segment, and the position along the
        track of the segment's point nearest to it (arrays of points x segments)."""
        pts = np.stack(
            [np.atleast_1d(np.asarray(x, float)), np.atleast_1d(np.asarray(y, float))], axis=1
        )
        d = self.b - self.a
        lengths2 = np.maximum(self.segment_lengths**2, 1e-12)
        rel = pts[:, None, :] - self.a[None, :, :]
        u = np.clip(np.einsum("psk,sk->ps", rel, d) / lengths2, 0.0, 1.0)
        nearest = self.a[None] + u[..., None] * d[None]
        gaps = np.hypot(*(pts[:, None, :] - nearest).transpose(2, 0, 1))
        return gaps, self.starts[None, :] + u * self.segment_lengths[None, :]

    def project(self, x, y):
        """(distances, positions) for the points (x, y) (arrays or numbers): each point's
        distance from the line, and the position along the line (from its first point) of the
        line's point nearest to it."""
        gaps, positions = self._nearest_on_segments(x, y)
        best = np.argmin(gaps, axis=1)
        rows = np.arange(len(best))
        return gaps[rows, best], positions[rows, best]

    def _along(self, a, b):
        """Signed distance along the line from position a to position b: the short way round
        on a loop."""
        step = b - a
        if self.closed:
            step = (step + self.length / 2) % self.length - self.length / 2
        return step

    def follow(self, x, y):
        """Positions along the line of a car's successive points: each the position of the
        line's point nearest to it, except where two stretches of the line are about as near
        (where the line crosses itself): the car then stays on the stretch it was on, the one
        within FOLLOW_WINDOW_CM of its position before."""
        gaps, positions = self._nearest_on_segments(x, y)
        out = np.empty(len(gaps))
        for i in range(len(gaps)):
            best = int(np.argmin(gaps[i]))
            if i > 0:
                near = np.abs(self._along(out[i - 1], positions[i])) <= self.FOLLOW_WINDOW_CM
                if near.any():
                    on_stretch = int(np.argmin(np.where(near, gaps[i], np.inf)))
                    if gaps[i, on_stretch] <= gaps[i, best] + self.CROSSING_CM:
                        best = on_stretch
            out[i] = positions[i, best]
        return out

    def progress(self, x, y):
        """How far along the line each point is from the first one, in cm: positive in the
        direction of the line's points, going on past a loop's end (a lap and a half is 1.5 x
        length), negative backwards."""
        s = self.follow(x, y)
        return np.concatenate([[0.0], np.cumsum(self._along(s[:-1], s[1:]))])

    def laps(self, poses):
        """The times at which the car had driven one, two, ... whole lengths of the line from
        where it was at the first pose."""
        progress = self.progress(poses.x, poses.y)
        done = int(progress.max() // self.length) if len(progress) and self.length > 0 else 0
        return [float(poses.t[np.argmax(progress >= (k + 1) * self.length)]) for k in range(done)]

    def lap_time(self, poses):
        """The time of the first whole lap (or length of an open line), or None."""
        laps = self.laps(poses)
        return laps[0] if laps else None

    def farthest(self, poses):
        """(distance, time): the largest distance of a pose from the line, and when."""
        distances, _ = self.project(poses.x, poses.y)
        i = int(np.argmax(distances))
        return float(distances[i]), float(poses.t[i])


def world_track(name_or_path):
    """The world's line as a Track, or None when the world has no line."""
    points = load_world(name_or_path).get("line")
    return Track(points) if points else None


def distance_ahead(x, y, heading_deg, walls):
    """Distance from (x, y) along the heading to the nearest wall ({"from": [x, y], "to": [x,
    y]}) it meets, math.inf when it meets none."""
    dx, dy = math.cos(math.radians(heading_deg)), math.sin(math.radians(heading_deg))
    nearest = math.inf
    for wall in walls:
        (ax, ay), (bx, by) = wall["from"], wall["to"]
        ex, ey = bx - ax, by - ay
        denominator = dx * ey - dy * ex
        if abs(denominator) < 1e-12:
            continue  # parallel to the ray
        # (x, y) + t (dx, dy) = (ax, ay) + u (ex, ey)
        t = ((ax - x) * ey - (ay - y) * ex) / denominator
        u = ((ax - x) * dy - (ay - y) * dx) / denominator
        if t >= 0 and 0 <= u <= 1:
            nearest = min(nearest, t)
    return nearest


def ahead_of(x, y, heading_deg, cm):
    """The point cm ahead of (x, y) along the heading."""
    return (
        x + cm * math.cos(math.radians(heading_deg)),
        y + cm * math.sin(math.radians(heading_deg)),
    )


# -- a run's pose log --------------------------------------------------------------------------


@dataclass
class Poses:
    """The car's poses of a run, every 10 ms of simulated time: the pose log's columns."""

    t: np.ndarray
    x: np.ndarray
    y: np.ndarray
    heading: np.ndarray

    def __len__(self):
        return len(self.t)

    def at(self, i):
        """(t, x, y, heading) of pose i."""
        return float(self.t[i]), float(self.x[i]), float(self.y[i]), float(self.heading[i])

    def since(self, t):
        """The poses from time t on."""
        keep = self.t >= t
        return Poses(self.t[keep], self.x[keep], self.y[keep], self.heading[keep])


def read_poses(path):
    """The poses of a pose log (`--pose-log FILE.csv`: t_s,x_cm,y_cm,heading_deg)."""
    with open(path, encoding="utf-8") as f:
        header = f.readline().strip().split(",")
        if header != POSE_LOG_HEADER:
            raise ValueError(f"{path}: the header is {header}, not {POSE_LOG_HEADER}")
        rows = [line.split(",") for line in f if line.strip()]
    if any(len(row) != 4 for row in rows):
        raise ValueError(f"{path}: a line without four values")
    table = np.array(rows, dtype=float).reshape(-1, 4)
    if len(table) > 1 and np.any(np.diff(table[:, 0]) <= 0):
        raise ValueError(f"{path}: the times do not increase")
    return Poses(*(table[:, i] for i in range(4)))


# -- the lesson summary ------------------------------------------------------------------------


@dataclass
class LineSummary:
    """How a run on a line went: the times at which each lap ended, and how far from the
    line the car was, on average and at most (and when)."""

    lap_ends_s: list
    mean_distance_cm: float
    largest_distance_cm: float
    largest_at_s: float

    @property
    def lap_times_s(self):
        ends = [0.0] + self.lap_ends_s
        return [b - a for a, b in zip(ends, ends[1:])]

    def text(self):
        laps = len(self.lap_ends_s)
        times = ", ".join(f"{t:.1f} s" for t in self.lap_times_s)
        return (
            f"laps completed: {laps}"
            + (f" ({times})" if laps else "")
            + f"; distance from the line: mean {self.mean_distance_cm:.1f} cm, largest "
            f"{self.largest_distance_cm:.1f} cm at {self.largest_at_s:.1f} s"
        )


def line_summary(track, poses):
    """The LineSummary of a run's poses on a track, or None without poses."""
    if len(poses) == 0:
        return None
    distances, _ = track.project(poses.x, poses.y)
    i = int(np.argmax(distances))
    return LineSummary(
        [t - float(poses.t[0]) for t in track.laps(poses)],
        float(distances.mean()),
        float(distances[i]),
        float(poses.t[i]),
    )
