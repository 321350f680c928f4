"""The board simulator with a world: world files, how the chassis speeds move the car, what
its sensors and its camera see, the launcher's world options. (Whole programs driving around
the shipped worlds are in test_virtual_car.py.)"""

import csv
import json
import signal
import subprocess
import time

import cv2
import numpy as np
import pytest
from control_zelk.Drivox_1 import Car, Line_track, Ul_sensor
from control_zelk.optik1 import Img
from layout import ON_SIM

from zelk_run.board_link import BoardSim, BoardSimError, find_binary

DARK = (28, 28, 28)

# A floor 300 x 200 cm with a straight line along y = 100 from x = 20 to x = 280, a wall across
# the floor at x = 250 (from y = 150 up) and a green ball.
WORLD = {
    "name": "test floor",
    "size_cm": [300, 200],
    "line": [[20, 100], [280, 100]],
    "start": {"x_cm": 60, "y_cm": 100, "heading_deg": 0},
    "walls": [{"from": [250, 150], "to": [250, 200]}],
    "balls": [{"at": [120, 40], "radius_cm": 5, "colour": "#2f9e44"}],
}


def write_world(folder, world=WORLD, name="world.json"):
    path = folder / name
    path.write_text(json.dumps(world), encoding="utf-8")
    return str(path)


@pytest.fixture
def world_board(tmp_path):
    log = tmp_path / "pose.csv"
    with BoardSim(world=write_world(tmp_path), pose_log=str(log)) as sim, sim.redirect_serial():
        sim.log_path = log
        yield sim


def pose_rows(path):
    with open(path, newline="") as f:
        return [{k: float(v) for k, v in row.items()} for row in csv.DictReader(f)]


def wait_sim(sim, seconds):
    """Waits `seconds` of the simulator's own time."""
    start = sim.pose()["t_s"]
    while sim.pose()["t_s"] < start + seconds:
        time.sleep(0.02)


class TestWorldFiles:
    @pytest.mark.parametrize(
        "change, complaint",
        [
            ({"bals": []}, "unknown key 'bals'"),
            ({"floor": "green"}, 'floor: expected a colour "#rrggbb"'),
            ({"size_cm": None}, "size_cm"),
            ({"balls": [{"at": [1, 2], "radius_cm": -1}]}, "balls[0].radius_cm"),
            ({"walls": [{"from": [1], "to": [2, 2]}]}, "walls[0].from: expected a point"),
            ({"signs": [{"at": [1, 1], "image": "nowhere.png"}]}, "cannot read a picture"),
            ({"marks": [{"shape": "star", "at": [1, 1]}]}, "marks[0].shape"),
            ({"car": {"camera_tilt_deg": 95}}, "camera_tilt_deg must be 0..89"),
            ({"car": {"wheels": 4}}, "unknown car constant 'wheels'"),
            ({"line": [[1, 1]]}, "at least two points"),
        ],
    )
    def test_mistakes_are_named_with_their_place(self, tmp_path, change, complaint):
        world = {k: v for k, v in {**WORLD, **change}.items() if v is not None}
        run = subprocess.run(
            [find_binary(), "--world", write_world(tmp_path, world)],
            capture_output=True,
            text=True,
            timeout=20,
        )
        assert run.returncode == 2
        assert "world.json" in run.stderr and complaint in run.stderr, run.stderr

    def test_not_a_world_file(self, tmp_path):
        bad = tmp_path / "bad.json"
        bad.write_text("{ this is not json", encoding="utf-8")
        for path in (str(bad), str(tmp_path / "missing.json")):
            run = subprocess.run(
                [find_binary(), "--world", path], capture_output=True, text=True, timeout=20
            )
            assert run.returncode == 2 and path in run.stderr

    def test_yaml_and_car_constants_from_the_command_line(self, tmp_path):
        path = tmp_path / "w.yaml"
        path.write_text("%YAML:1.0\nsize_cm: [100, 50]\ncar: {camera_fps: 20}\n")
        with BoardSim(world=str(path), car=["camera_tilt_deg=40"]) as sim:
            info = sim.world_info()
        assert info["size_cm"] == [100, 50]
        assert info["camera_fps"] == 20 and info["camera_tilt_deg"] == 40

    def test_car_constant_mistakes(self, tmp_path):
        world = write_world(tmp_path)
        for setting, complaint in [
            ("camera_fov_deg=500", "camera_fov_deg must be"),
            ("camera_fov_deg", "expected NAME=VALUE"),
            ("camera_fov_deg=wide", "is not a number"),
        ]:
            run = subprocess.run(
                [find_binary(), "--world", world, "--car", setting],
                capture_output=True,
                text=True,
                timeout=20,
            )
            assert run.returncode == 2 and complaint in run.stderr, run.stderr


class TestMotion:
    def test_speeds_move_the_car_as_the_constants_say(self, world_board):
        car = Car()
        world_board.place(60, 100, 0)
        car.car_go(30)  # 15 cm/s straight ahead (+x)
        wait_sim(world_board, 0.5)
        car.car_across_l(20)  # 10 cm/s to the car's left (+y)
        wait_sim(world_board, 0.5)
        car.car_turn_r(45)  # 90 degrees/s clockwise
        wait_sim(world_board, 0.5)
        car.car_stop()
        last = world_board.pose()
        wait_sim(world_board, 0.2)
        assert world_board.pose()["x_cm"] == last["x_cm"]  # still once stopped
        rows = pose_rows_now(world_board)

        def rate(key, phase):
            """The median rate of change of `key` over the steps of the phase it changes in."""
            rates = [
                (b[key] - a[key]) / (b["t_s"] - a["t_s"])
                for a, b in zip(rows, rows[1:])
                if phase(b) and b[key] != a[key]
            ]
            assert len(rates) > 20
            return float(np.median(rates))

        assert rate("x_cm", lambda r: r["x_cm"] > 61 and r["y_cm"] < 100.01) == pytest.approx(
            15, rel=0.02
        )
        assert rate("y_cm", lambda r: r["y_cm"] > 101 and r["heading_deg"] == 0) == pytest.approx(
            10, rel=0.02
        )
        assert rate("heading_deg", lambda r: -80 < r["heading_deg"] < -10) == pytest.approx(
            -90, rel=0.02
        )

    def test_a_wall_stops_the_car_and_it_can_back_away(self, world_board):
        car = Car()
        world_board.place(230, 175, 0)  # the wall is 20 cm ahead, the car's nose 10 cm from it
        car.car_go(60)
        wait_sim(world_board, 1.0)
        pose = world_board.pose()
        assert pose["blocked"] == 1 and 239 < pose["x_cm"] < 240.5
        car.car_back(60)
        wait_sim(world_board, 0.3)
        car.car_stop()
        pose = world_board.pose()
        assert pose["blocked"] == 0 and pose["x_cm"] < 236

    def test_the_pose_log_has_every_step(self, world_board):
        Car().car_go(20)
        wait_sim(world_board, 0.3)
        rows = pose_rows_now(world_board)
        with open(world_board.log_path) as f:
            assert f.readline() == "t_s,x_cm,y_cm,heading_deg\n"
        steps = np.diff([r["t_s"] for r in rows])
        assert np.allclose(steps, 0.01) and len(rows) >= 30


def pose_rows_now(sim):
    """The pose log so far (the simulator writes it out in blocks: stop it to read it all)."""
    sim.stop()
    return pose_rows(sim.log_path)


class TestSensors:
    def test_ultrasonic_measures_from_the_sensor_to_what_is_ahead(self, world_board):
        sensor = Ul_sensor(1)
        world_board.place(200, 175, 0)  # sensor 10 cm ahead of the centre: 40 cm to the wall
        assert sensor.ul_get() == 40
        world_board.place(120, 20, 90)  # the ball (radius 5) 20 cm ahead of the centre
        assert sensor.ul_get() == 5
        world_board.place(60, 100, 180)  # nothing ahead: the sensor's maximum
        assert sensor.ul_get() == 400
        with pytest.raises(BoardSimError, match="the world gives the distance"):
            world_board.set_distance(10)

    def test_line_sensors_see_the_line_under_them(self, world_board):
        world_board.place(100, 100, 0)
        assert world_board.pose()["line_sensors"] == 0b00100  # the middle one of five
        world_board.place(100, 97, 0)  # the line 3 cm to the car's left
        assert world_board.pose()["line_sensors"] in (0b00001, 0b00011)
        world_board.place(100, 150, 0)
        assert world_board.pose()["line_sensors"] == 0

    def test_the_boards_line_tracking_follows_the_line(self, world_board):
        world_board.place(60, 103, 10)  # beside the line, heading away from it
        Line_track().l_start(60)
        wait_sim(world_board, 3.0)
        pose = world_board.pose()
        Line_track().l_stop()
        assert pose["x_cm"] > 90 and abs(pose["y_cm"] - 100) < 1.5

    def test_halt_stops_whatever_the_board_was_doing(self, world_board):
        Line_track().l_start(60)
        world_board.halt()
        world_board.wait_trace("halt")
        state = world_board.state()
        assert state["line_start"] == 0 and state["speed_s"] == 0


class TestCamera:
    def test_the_line_is_where_the_car_sees_it(self, world_board):
        world_board.place(60, 100, 0)
        ahead = world_board.camera_picture()
        assert ahead.shape == (480, 640, 3) and ahead.dtype == np.uint8
        img = Img(ahead)
        assert img.offset2() and abs(img.offset_calculate2()) <= 3 and img.line_angle2() == 0
        world_board.place(60, 104, 0)  # the car 4 cm left of the line: the line shows right
        right = Img(world_board.camera_picture()).offset_calculate2()
        world_board.place(60, 96, 0)
        left = Img(world_board.camera_picture()).offset_calculate2()
        assert right > 40 and left == pytest.approx(-right, abs=3)
        world_board.place(60, 100, 10)  # turned left: the line ahead lies to the right
        turned_left = Img(world_board.camera_picture()).offset_calculate2()
        world_board.place(60, 100, -10)
        turned_right = Img(world_board.camera_picture()).offset_calculate2()
        assert turned_left > 60 and turned_right == pytest.approx(-turned_left, abs=3)

    def test_a_ball_ahead_is_round_and_green(self, world_board):
        world_board.place(120, 0, 90)  # the ball 40 cm ahead
        picture = world_board.camera_picture()
        hsv = cv2.cvtColor(picture, cv2.COLOR_BGR2HSV)
        green = cv2.inRange(hsv, (35, 80, 60), (85, 255, 255))
        ys, xs = np.nonzero(green)
        assert len(xs) > 500
        assert abs(xs.mean() - 320) < 5  # straight ahead
        width = xs.max() - xs.min()
        assert abs(width - (ys.max() - ys.min())) <= 3  # round
        world_board.place(120, 0, -90)  # facing away: no ball
        assert not cv2.inRange(
            cv2.cvtColor(world_board.camera_picture(), cv2.COLOR_BGR2HSV),
            (35, 80, 60),
            (85, 255, 255),
        ).any()

    def test_a_wall_hides_what_is_behind_it(self, tmp_path):
        world = {
            **WORLD,
            "walls": [{"from": [150, 0], "to": [150, 200], "colour": "#ff0000", "height_cm": 30}],
            "balls": [{"at": [200, 100], "radius_cm": 10, "colour": "#00ff00"}],
        }
        with BoardSim(world=write_world(tmp_path, world)) as sim:
            sim.place(100, 100, 0)
            picture = sim.camera_picture()
        assert (picture[:, :, 2] > 150).sum() > 10000  # the red wall
        green = (picture[:, :, 1] > 200) & (picture[:, :, 2] < 100) & (picture[:, :, 0] < 100)
        assert not green.any()  # no green ball through it

    def test_a_sign_shows_its_picture_the_right_way_round(self, tmp_path):
        card = np.full((100, 100, 3), 255, np.uint8)
        card[:, :50] = (255, 0, 0)  # blue on its left half
        cv2.imwrite(str(tmp_path / "card.png"), card)
        world = {
            **WORLD,
            "signs": [
                {
                    "at": [150, 100],
                    "facing_deg": 180,
                    "width_cm": 40,
                    "height_cm": 40,
                    "above_floor_cm": 0,
                    "image": "card.png",
                }
            ],
        }
        with BoardSim(world=write_world(tmp_path, world)) as sim:
            sim.place(60, 100, 0)  # looking at its face
            front = sim.camera_picture()
            sim.place(240, 100, 180)  # from behind: a plain card
            back = sim.camera_picture()
        blue = (front[:, :, 0] > 200) & (front[:, :, 2] < 60)
        ys, xs = np.nonzero(blue)
        assert len(xs) > 1000 and xs.mean() < 320
        assert not ((back[:, :, 0] > 200) & (back[:, :, 2] < 60)).any()

    def test_top_view_shows_the_trail(self, world_board):
        before = world_board.top_view(300)
        assert before.shape == (200, 300, 3)
        world_board.place(60, 40, 0)
        Car().car_go(60)
        wait_sim(world_board, 1.0)
        Car().car_stop()
        after = world_board.top_view(300)
        red = (after[:, :, 2] > 180) & (after[:, :, 0] < 90) & (after[:, :, 1] < 90)
        assert red[150:170, 60:150].any()  # the trail from x = 60 cm on, y = 40 cm


def launch(tmp_path, program, *options, preexec_fn=None):
    path = tmp_path / "prog.py"
    path.write_text(program, encoding="utf-8")
    return subprocess.run(
        [*ON_SIM, *options, str(path)],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=tmp_path,
        preexec_fn=preexec_fn,
    )


class TestLauncher:
    def test_a_program_drives_in_the_world_until_its_time_is_up(self, tmp_path):
        program = (
            "import cv2, time\n"
            "from control_zelk.Drivox_1 import Car\n"
            "cam = cv2.VideoCapture(0)\n"
            "ok, frame = cam.read()\n"
            "print('picture', ok, frame.shape, cam.get(cv2.CAP_PROP_FPS))\n"
            "Car().car_go(40)\n"
            "time.sleep(60)\n"
        )
        log, picture = tmp_path / "pose.csv", tmp_path / "trail.png"
        world = write_world(tmp_path)
        started = time.monotonic()
        run = launch(
            tmp_path,
            program,
            "--world",
            world,
            "--duration",
            "2",
            "--pose-log",
            str(log),
            "--trail-picture",
            str(picture),
        )
        assert run.returncode == 0, run.stderr
        assert time.monotonic() - started < 30
        assert "picture True (480, 640, 3) 30.0" in run.stdout
        *_, stop, summary = run.stderr.splitlines()
        assert stop.endswith("chassis speed_s=0 speed_l=0 speed_h=0")
        assert summary.startswith("zelk-run-on-sim: on the line: laps completed: 0; ")
        rows = pose_rows(log)
        assert rows[-1]["x_cm"] > 70  # it drove
        assert cv2.imread(str(picture)).shape == (533, 800, 3)

    def test_the_time_limit_holds_for_a_launcher_started_ignoring_ctrl_c(self, tmp_path):
        # As a shell's background job is started: --duration must still end the program.
        run = launch(
            tmp_path,
            "import time\ntime.sleep(60)\n",
            "--duration",
            "1",
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN),
        )
        assert run.returncode == 0, run.stderr
        assert "did not end" not in run.stderr

    def test_quiet_windows_saved_and_the_lesson_summary_after_a_crash(self, tmp_path):
        program = (
            "import time, cv2, numpy as np\n"
            "from control_zelk.Drivox_1 import Car\n"
            "Car().car_go(30)\n"
            "cv2.imshow('a/b', np.full((6, 8, 3), 200, np.uint8))\n"
            "print('driving')\n"
            "time.sleep(1)\n"
            "1 / 0\n"
        )
        run = launch(
            tmp_path,
            program,
            "--world",
            write_world(tmp_path),
            "--headless",
            "--quiet",
            "--save-windows",
            "saved",
        )
        assert run.returncode == 1, run.stderr
        assert run.stdout == "driving\n"  # none of the library's routine lines
        assert "[board] chassis speed_s=30 speed_l=0 speed_h=0" in run.stderr
        assert "ZeroDivisionError" in run.stderr
        # Straight along the straight line: never off it, and short of its end.
        assert (
            "zelk-run-on-sim: on the line: laps completed: 0; distance from the line: "
            "mean 0.0 cm, largest 0.0 cm at "
        ) in run.stderr
        saved = cv2.imread(str(tmp_path / "saved" / "a_b.png"))
        assert saved.shape == (6, 8, 3) and np.all(saved == 200)
