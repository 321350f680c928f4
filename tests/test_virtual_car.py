"""Learner programs drive the virtual car in a world and get where they should: the camera
line follower laps the line track without leaving the line, the ultrasonic stop halts at its
distance from the wall, the board's own line tracking laps the track, the ball follower ends
at the green ball.

Each is one run of zelk-run-on-sim --world ... --headless, ended by --duration as Ctrl-C
would end it, judged from its pose log (zelk_run.world). The car moves in simulated time,
which is wall-clock time, while the program may get fewer pictures a second on a loaded
machine than on the car: the bounds are about where the car went, never about how fast the
program ran. Each run's top view with the car's trail goes into $ZELK_TEST_PICTURES (default:
a folder of pytest's tmp dir), and a failure says which picture to look at.

The runs start together in a small pool when the first test needs one, as in
tests/test_examples.py.
"""

import concurrent.futures
import os
import re
import subprocess
import sys
from dataclasses import dataclass

import pytest
from layout import EXAMPLES, ON_SIM, run_on_sim

from zelk_run import world as worlds

MAX_OFF_LINE = 7  # cm between the car's centre and the line, at most, while lapping
ULTRASONIC_FORWARD = 10  # cm from the car's centre: the car constant ultrasonic_forward_cm
STOP_TOLERANCE = 4  # cm: the car may stop this much closer than the distance asked for
BALL_NEAR = 35  # cm between the car's centre and the ball's when it has got there
BALL_TOUCHED = 15  # cm: closer, the car's front (10 cm ahead of its centre) is at a 5 cm ball

# The board's own line tracking, on and left on: the run's end switches it off.
TRACKER = """\
import time
from control_zelk.Drivox_1 import Line_track

Line_track().l_start(60)
time.sleep(3600)
"""


@dataclass(frozen=True)
class Drive:
    world: str
    program: str  # in examples/, or TRACKER
    seconds: int  # --duration


DRIVES = {  # in the order they start: the two that analyse camera pictures barely overlap
    "lap with the camera": Drive("line-track", "19_lap_the_track.py", 40),
    "lap with the line tracker": Drive("line-track", TRACKER, 35),
    "drive to the green ball": Drive("arena", "18_follow_the_ball.py", 30),
    "stop before the wall": Drive("arena", "05_ultrasonic_stop.py", 20),
}


@dataclass(repr=False)  # a failed assertion shows what it says, not all of the output
class Result:
    name: str
    returncode: int
    stdout: str
    stderr: str
    poses: worlds.Poses
    trail: str  # the top view with the trail

    def show(self):
        """The end of what the program printed, for pytest to report if the test fails."""
        print(self.stdout[-3000:])
        print(self.stderr[-3000:], file=sys.stderr)

    def why(self, what):
        return f"{what}; the car's trail: {self.trail}"


def view_options():
    """--headless: no view of the world opens, where the launcher has one to open."""
    shown = run_on_sim("--help")
    return ["--headless"] if "--headless" in shown.stdout else []


def drive(name, run, work, pictures, view):
    program = os.path.join(EXAMPLES, run.program)
    if run.program == TRACKER:
        program = os.path.join(work, "line_tracker.py")
        with open(program, "w", encoding="utf-8") as f:
            f.write(TRACKER)
    slug = re.sub(r"\W+", "_", name)
    poses, trail = os.path.join(work, slug + ".csv"), os.path.join(pictures, slug + ".png")
    command = [
        *ON_SIM,
        "--world",
        run.world,
        "--duration",
        str(run.seconds),
        "--pose-log",
        poses,
        "--trail-picture",
        trail,
        *view,
        program,
    ]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", PYTHONFAULTHANDLER="1")
    done = subprocess.run(
        command, capture_output=True, text=True, cwd=work, env=env, timeout=run.seconds + 120
    )
    return Result(
        name,
        done.returncode,
        done.stdout,
        done.stderr,
        worlds.read_poses(poses) if os.path.isfile(poses) else None,
        trail,
    )


@pytest.fixture(scope="module")
def drives(request, tmp_path_factory):
    """name -> future Result, for every drive the session selected, all started at once (two
    at a time: each renders camera pictures for the program to analyse)."""
    selected = {
        getattr(getattr(item, "callspec", None), "params", {}).get("name")
        for item in request.session.items
        if item.nodeid.startswith(request.node.nodeid)
    }
    wanted = [name for name in DRIVES if name in selected]  # the longest drives first
    pictures = os.environ.get("ZELK_TEST_PICTURES") or str(tmp_path_factory.mktemp("trails"))
    os.makedirs(pictures, exist_ok=True)
    work = tmp_path_factory.mktemp("drives")
    view = view_options()
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        yield {
            name: pool.submit(drive, name, DRIVES[name], str(work), pictures, view)
            for name in wanted
        }
        pool.shutdown(cancel_futures=True)


def finished(drives, name):
    r = drives[name].result()
    r.show()
    assert r.returncode == 0, r.why("the run failed: its output is below")
    assert "Traceback" not in r.stderr, r.why("the program failed: its output is below")
    assert r.poses is not None and len(r.poses) > 100, r.why("no pose log")
    return r


def check_lap(r, world):
    track = worlds.Track(worlds.load_world(world)["line"])
    lap = track.lap_time(r.poses)
    got = track.progress(r.poses.x, r.poses.y)[-1]
    assert lap is not None, r.why(
        f"no lap: {got:.0f} cm along the {track.length:.0f} cm loop in {r.poses.t[-1]:.0f} s"
    )
    off, when = track.farthest(r.poses)
    assert off <= MAX_OFF_LINE, r.why(f"{off:.1f} cm from the line at {when:.1f} s")
    print(f"[{r.name}] lap in {lap:.1f} s, at most {off:.1f} cm from the line (at {when:.1f} s)")


@pytest.mark.parametrize("name", ["lap with the camera"])
def test_camera_line_follower_laps_the_track(name, drives):
    r = finished(drives, name)
    check_lap(r, "line-track")
    assert "line lost" not in r.stdout, r.why("the program lost the line")


@pytest.mark.parametrize("name", ["lap with the line tracker"])
def test_boards_line_tracking_laps_the_track(name, drives):
    check_lap(finished(drives, name), "line-track")


@pytest.mark.parametrize("name", ["stop before the wall"])
def test_ultrasonic_stop_halts_at_its_distance_from_the_wall(name, drives):
    r = finished(drives, name)
    source = open(os.path.join(EXAMPLES, DRIVES[name].program), encoding="utf-8").read()
    wanted = int(re.search(r"^SAFE_DISTANCE = (\d+)", source, re.M).group(1))
    assert "obstacle ahead: stopping" in r.stdout, r.why("it did not see the wall")
    walls = worlds.load_world("arena")["walls"]
    t0, x0, y0, heading0 = r.poses.at(0)
    t, x, y, heading = r.poses.at(-1)
    assert abs(heading - heading0) < 1, r.why("the car turned")
    sensor = worlds.ahead_of(x, y, heading, ULTRASONIC_FORWARD)
    left = worlds.distance_ahead(*sensor, heading, walls)
    print(f"[{name}] stopped with the sensor {left:.1f} cm from the wall, asked for {wanted}")
    assert wanted - STOP_TOLERANCE <= left <= wanted + 0.5, r.why(
        f"stopped with the sensor {left:.1f} cm from the wall, not {wanted}"
    )
    # It got there by driving, and had stopped by the time the program ended.
    assert (
        worlds.distance_ahead(
            *worlds.ahead_of(x0, y0, heading0, ULTRASONIC_FORWARD), heading0, walls
        )
        > wanted + 30
    )
    assert r.poses.at(-2)[1:] == r.poses.at(-1)[1:], r.why("still moving at the end")


@pytest.mark.parametrize("name", ["drive to the green ball"])
def test_ball_follower_ends_at_the_green_ball(name, drives):
    r = finished(drives, name)
    world = worlds.load_world("arena")
    green = next(ball for ball in world["balls"] if ball["colour"] == "#2f9e44")
    bx, by = green["at"]
    t, x, y, _ = r.poses.at(-1)
    gap = ((x - bx) ** 2 + (y - by) ** 2) ** 0.5
    start_gap = ((r.poses.x[0] - bx) ** 2 + (r.poses.y[0] - by) ** 2) ** 0.5
    print(f"[{name}] ended {gap:.1f} cm from the ball (started {start_gap:.0f} cm away)")
    assert "ball reached: stop" in r.stdout, r.why("the program never saw the ball close")
    assert BALL_TOUCHED < gap <= BALL_NEAR, r.why(f"ended {gap:.0f} cm from the green ball")
    last = r.poses.since(t - 1)
    assert max(abs(last.x - x).max(), abs(last.y - y).max()) < 0.5, r.why("still moving at the end")
