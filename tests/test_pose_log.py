"""tests/pose_log.py measures what the closed-loop tests judge the car by: made-up pose logs
of known drives must measure as what they are."""
import math

import numpy as np
import pytest

import pose_log

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
    poses = pose_log.read_poses(write_log(tmp_path / "a.csv", [(0, 1, 2, 3), (0.01, 4, 5, -6)]))
    assert list(poses.t) == [0, 0.01] and list(poses.y) == [2, 5] and list(poses.heading) == [3, -6]
    assert poses.at(1) == (0.01, 4, 5, -6)
    with pytest.raises(ValueError, match="header"):
        pose_log.read_poses(write_log(tmp_path / "b.csv", [(0, 1, 2, 3)], header="t,x,y,h"))
    with pytest.raises(ValueError, match="increase"):
        pose_log.read_poses(write_log(tmp_path / "c.csv", [(0.02, 1, 2, 3), (0.01, 1, 2, 3)]))
    assert len(pose_log.read_poses(write_log(tmp_path / "d.csv", []))) == 0


class TestTrack:
    def test_distance_and_position_of_points_near_a_loop(self):
        track = pose_log.Track(SQUARE)
        assert track.closed and track.length == 400
        distances, positions = track.project([50, 103, 40, 50], [2, 50, 110, 50])
        assert distances == pytest.approx([2, 3, 10, 50])
        assert positions[:3] == pytest.approx([50, 150, 260])

    def test_a_lap_and_a_half_across_the_loops_first_point(self, tmp_path):
        # From 300 cm along (the left side) round past the first point, 1.5 laps, 4 cm outside.
        rows = around_square(300, 600, side=-4)
        poses = pose_log.read_poses(write_log(tmp_path / "lap.csv", rows))
        track = pose_log.Track(SQUARE)
        progress = track.progress(poses.x, poses.y)
        assert np.all(np.diff(progress) > -1e-9)  # never a jump back by a lap
        assert progress[-1] == pytest.approx(600, abs=1)
        assert track.lap_time(poses) == pytest.approx(4.0, abs=0.1)
        farthest, when = track.farthest(poses)
        assert farthest == pytest.approx(4)

    def test_backwards_is_negative_and_no_lap(self, tmp_path):
        poses = pose_log.read_poses(write_log(tmp_path / "back.csv", around_square(50, -450)))
        track = pose_log.Track(SQUARE)
        assert track.progress(poses.x, poses.y)[-1] == pytest.approx(-450, abs=1)
        assert track.lap_time(poses) is None

    def test_leaving_the_line_shows_as_the_farthest_pose(self, tmp_path):
        rows = around_square(0, 80)
        rows[40] = (rows[40][0], rows[40][1], rows[40][2] - 9, 0)  # 9 cm off at t = 0.4 s
        poses = pose_log.read_poses(write_log(tmp_path / "off.csv", rows))
        assert pose_log.Track(SQUARE).farthest(poses) == pytest.approx((9, 0.4))

    def test_an_open_line_does_not_wrap(self):
        track = pose_log.Track([[0, 0], [100, 0], [100, 100]])
        assert not track.closed and track.length == 200
        progress = track.progress([100, 90, 0], [95, 0, 0])
        assert progress == pytest.approx([0, -105, -195])

    def test_too_short_a_line_is_refused(self):
        with pytest.raises(ValueError):
            pose_log.Track([[0, 0]])


def test_distance_ahead_to_the_nearest_wall_in_front():
    walls = [{"from": [0, 0], "to": [0, 100]}, {"from": [50, 0], "to": [50, 100]},
             {"from": [0, 100], "to": [200, 100]}]
    assert pose_log.distance_ahead(20, 50, 0, walls) == pytest.approx(30)  # not the one behind
    assert pose_log.distance_ahead(20, 50, 180, walls) == pytest.approx(20)
    assert pose_log.distance_ahead(20, 50, 90, walls) == pytest.approx(50)
    assert pose_log.distance_ahead(20, 50, 45, walls) == pytest.approx(30 * math.sqrt(2))
    assert pose_log.distance_ahead(60, 150, 90, walls) == math.inf  # beyond the walls' ends
    assert pose_log.ahead_of(10, 20, 90, 10) == pytest.approx((10, 30))
