"""Reads what a run on a world left behind and measures it: the pose log that
`sim/run_on_sim.py --pose-log FILE.csv` writes, and the world file the run drove in.

- read_poses(path) -> Poses: the columns t_s, x_cm, y_cm, heading_deg as NumPy arrays.
- load_world(name_or_path) -> dict: a shipped world by name (sim/worlds/NAME.json) or a file.
- Track(points): the world's line as a polyline (a loop when its last point is its first):
  how far each pose is from it, where along it each pose is, how far a car got along it.
- distance_ahead(x, y, heading, walls): how far a sensor at (x, y) looking along heading is
  from the nearest wall in front of it.

Coordinates are the world's: cm, x to the right, y up, headings in degrees counter-clockwise
from +x.
"""
import json
import math
import os
from dataclasses import dataclass

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORLDS = os.path.join(REPO, "sim", "worlds")
HEADER = ["t_s", "x_cm", "y_cm", "heading_deg"]


@dataclass
class Poses:
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
    with open(path, encoding="utf-8") as f:
        header = f.readline().strip().split(",")
        if header != HEADER:
            raise ValueError(f"{path}: the header is {header}, not {HEADER}")
        rows = [line.split(",") for line in f if line.strip()]
    if any(len(row) != 4 for row in rows):
        raise ValueError(f"{path}: a line without four values")
    table = np.array(rows, dtype=float).reshape(-1, 4)
    if len(table) > 1 and np.any(np.diff(table[:, 0]) <= 0):
        raise ValueError(f"{path}: the times do not increase")
    return Poses(*(table[:, i] for i in range(4)))


def world_path(name_or_path):
    if os.path.isfile(name_or_path):
        return name_or_path
    return os.path.join(WORLDS, name_or_path + ".json")


def load_world(name_or_path):
    with open(world_path(name_or_path), encoding="utf-8") as f:
        return json.load(f)


class Track:
    """A polyline; a loop when its last point equals its first."""

    def __init__(self, points):
        p = np.asarray(points, dtype=float)
        if p.ndim != 2 or p.shape[1] != 2 or len(p) < 2:
            raise ValueError("a track needs two or more [x, y] points")
        self.closed = len(p) > 2 and bool(np.all(p[0] == p[-1]))
        self.a, self.b = p[:-1], p[1:]
        self.segment_lengths = np.hypot(*(self.b - self.a).T)
        self.starts = np.concatenate([[0.0], np.cumsum(self.segment_lengths)[:-1]])
        self.length = float(self.segment_lengths.sum())

    def project(self, x, y):
        """(distances, positions) for the points (x, y) (arrays or numbers): each point's
        distance from the track and the position along the track (from its first point) of
        the track's point nearest to it."""
        pts = np.stack([np.atleast_1d(np.asarray(x, float)), np.atleast_1d(np.asarray(y, float))], axis=1)
        d = self.b - self.a  # segments
        lengths2 = np.maximum(self.segment_lengths ** 2, 1e-12)
        rel = pts[:, None, :] - self.a[None, :, :]  # point - segment start
        u = np.clip(np.einsum("psk,sk->ps", rel, d) / lengths2, 0.0, 1.0)
        nearest = self.a[None] + u[..., None] * d[None]
        gaps = np.hypot(*(pts[:, None, :] - nearest).transpose(2, 0, 1))
        best = np.argmin(gaps, axis=1)
        rows = np.arange(len(pts))
        distances = gaps[rows, best]
        positions = self.starts[best] + u[rows, best] * self.segment_lengths[best]
        return distances, positions

    def progress(self, x, y):
        """How far along the track each point is from the first one, in cm: positive in the
        direction of the track's points, going on past the loop's end (a lap and a half is
        1.5 x length), negative backwards. Steps between points must be shorter than half a
        loop, as those of a pose log are."""
        _, s = self.project(x, y)
        steps = np.diff(s)
        if self.closed:  # crossing the loop's first point is a small step, not a whole lap back
            steps = (steps + self.length / 2) % self.length - self.length / 2
        return np.concatenate([[0.0], np.cumsum(steps)])

    def lap_time(self, poses):
        """The time at which the car had first driven one whole length of the track from where
        it was at the first pose, or None."""
        done = np.nonzero(self.progress(poses.x, poses.y) >= self.length)[0]
        return float(poses.t[done[0]]) if len(done) else None

    def farthest(self, poses):
        """(distance, time): the largest distance of a pose from the track, and when."""
        distances, _ = self.project(poses.x, poses.y)
        i = int(np.argmax(distances))
        return float(distances[i]), float(poses.t[i])


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
    return (x + cm * math.cos(math.radians(heading_deg)),
            y + cm * math.sin(math.radians(heading_deg)))
