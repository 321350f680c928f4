"""zelk_run.world measures what the closed-loop tests judge the car by: made-up pose logs
of known drives must measure as what they are."""

import math

import numpy as np
import pytest

from zelk_run import world as worlds

SQUARE = [[0, 0], [100, 0], [100, 100], [0, 100], [0, 0]]  # a loop of 400 cm


def write_log(path, rows, header="t_s,x_cm,y_cm,heading_deg"):
    with open(path, "w", encoding="utf-8") as f:
        f.write(header + "\n")
        for row in rows:
            f.write(",".join(f"{v:.3f}" for v in row) + "\n")
    return str(path)


def around_square(start_cm, cm, step=1.0, side=0.0):
    """Poses every 10 ms of a car driving `cm` along SQUARE (backwards when negative) from
    `start_cm` along it, `side` cm to its left (outside the loop when negative)."""
    rows = []
    n = int(abs(cm) / step) + 1
    for i in range(n):
        s = (start_cm + math.copysign(i * step, cm)) % 400
        edge, along = int(s // 100), s % 100
        x, y = [(along, 0), (100, along), (100 - along, 100), (0, 100 - along)][edge]
        heading = 90 * edge
        nx, ny = -math.sin(math.radians(heading)), math.cos(math.radians(heading))
        rows.append((i * 0.01, x + side * nx, y + side * ny, heading))
    return rows


def test_reads_the_columns_and_refuses_other_files(tmp_path):
    poses = worlds.read_poses(write_log(tmp_path / "a.csv", [(0, 1, 2, 3), (0.01, 4, 5, -6)]))
    assert list(poses.t) == [0, 0.01] and list(poses.y) == [2, 5] and list(poses.heading) == [3, -6]
    assert poses.at(1) == (0.01, 4, 5, -6)
    with pytest.raises(ValueError, match="header"):
        worlds.read_poses(write_log(tmp_path / "b.csv", [(0, 1, 2, 3)], header="t,x,y,h"))
    with pytest.raises(ValueError, match="increase"):
        worlds.read_poses(write_log(tmp_path / "c.csv", [(0.02, 1, 2, 3), (0.01, 1, 2, 3)]))
    assert len(worlds.read_poses(write_log(tmp_path / "d.csv", []))) == 0


class TestTrack:
    def test_distance_and_position_of_points_near_a_loop(self):
        track = worlds.Track(SQUARE)
        assert track.closed and track.length == 400
        distances, positions = track.project([50, 103, 40, 50], [2, 50, 110, 50])
        assert distances == pytest.approx([2, 3, 10, 50])
        assert positions[:3] == pytest.approx([50, 150, 260])

    def test_a_lap_and_a_half_across_the_loops_first_point(self, tmp_path):
        # From 300 cm along (the left side) round past the first point, 1.5 laps, 4 cm outside.
        rows = around_square(300, 600, side=-4)
        poses = worlds.read_poses(write_log(tmp_path / "lap.csv", rows))
        track = worlds.Track(SQUARE)
        progress = track.progress(poses.x, poses.y)
        assert np.all(np.diff(progress) > -1e-9)  # never a jump back by a lap
        assert progress[-1] == pytest.approx(600, abs=1)
        assert track.lap_time(poses) == pytest.approx(4.0, abs=0.1)
        farthest, when = track.farthest(poses)
        assert farthest == pytest.approx(4)

    def test_backwards_is_negative_and_no_lap(self, tmp_path):
        poses = worlds.read_poses(write_log(tmp_path / "back.csv", around_square(50, -450)))
        track = worlds.Track(SQUARE)
        assert track.progress(poses.x, poses.y)[-1] == pytest.approx(-450, abs=1)
        assert track.lap_time(poses) is None

    def test_leaving_the_line_shows_as_the_farthest_pose(self, tmp_path):
        rows = around_square(0, 80)
        rows[40] = (rows[40][0], rows[40][1], rows[40][2] - 9, 0)  # 9 cm off at t = 0.4 s
        poses = worlds.read_poses(write_log(tmp_path / "off.csv", rows))
        assert worlds.Track(SQUARE).farthest(poses) == pytest.approx((9, 0.4))

    def test_an_open_line_does_not_wrap(self):
        track = worlds.Track([[0, 0], [100, 0], [100, 100]])
        assert not track.closed and track.length == 200
        progress = track.progress([100, 90, 0], [95, 0, 0])
        assert progress == pytest.approx([0, -105, -195])

    def test_a_line_that_crosses_itself_is_followed_through_the_crossing(self):
        """A figure eight: where the car crosses the other loop, it stays on its own."""
        t = np.linspace(0, 2 * np.pi, 241)
        eight = np.stack([100 * np.sin(t), 50 * np.sin(2 * t)], axis=1)  # crosses at (0, 0)
        track = worlds.Track(np.round(eight, 1))
        # Two laps of poses about 1 cm apart, 3 cm to one side of the line, from the far end.
        s = np.pi / 2 + np.linspace(0, 4 * np.pi, 2 * int(track.length))
        dx, dy = 100 * np.cos(s), 100 * np.cos(2 * s)
        norm = np.hypot(dx, dy)
        x, y = 100 * np.sin(s) - 3 * dy / norm, 50 * np.sin(2 * s) + 3 * dx / norm
        poses = worlds.Poses(np.arange(len(s)) * 0.01, x, y, np.zeros(len(s)))
        assert np.all(np.diff(track.progress(x, y)) > 0)
        summary = worlds.line_summary(track, poses)
        assert len(summary.lap_ends_s) == 2 and summary.lap_times_s[0] == pytest.approx(
            summary.lap_times_s[1], rel=0.02
        )
        assert summary.mean_distance_cm == pytest.approx(3, abs=0.3)
        assert summary.largest_distance_cm < 4
        assert "laps completed: 2" in summary.text()

    def test_too_short_a_line_is_refused(self):
        with pytest.raises(ValueError):
            worlds.Track([[0, 0]])


def test_distance_ahead_to_the_nearest_wall_in_front():
    walls = [
        {"from": [0, 0], "to": [0, 100]},
        {"from": [50, 0], "to": [50, 100]},
        {"from": [0, 100], "to": [200, 100]},
    ]
    assert worlds.distance_ahead(20, 50, 0, walls) == pytest.approx(30)  # not the one behind
    assert worlds.distance_ahead(20, 50, 180, walls) == pytest.approx(20)
    assert worlds.distance_ahead(20, 50, 90, walls) == pytest.approx(50)
    assert worlds.distance_ahead(20, 50, 45, walls) == pytest.approx(30 * math.sqrt(2))
    assert worlds.distance_ahead(60, 150, 90, walls) == math.inf  # beyond the walls' ends
    assert worlds.ahead_of(10, 20, 90, 10) == pytest.approx((10, 30))
