"""The main job's learner programs run end to end on the simulator and generated camera."""
import os
import re
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_on_sim(program):
    return subprocess.run(
        [sys.executable, os.path.join(REPO, "sim", "run_on_sim.py"), os.path.join(REPO, program)],
        capture_output=True, text=True, timeout=120, cwd=REPO)


def test_drive_demo_stops_before_the_obstacle():
    r = run_on_sim("demo/drive_demo.py")
    assert r.returncode == 0, r.stderr
    distances = [int(d) for d in re.findall(r"^distance: (\d+)$", r.stdout, re.M)]
    assert distances[-1] < 20 and distances == sorted(distances, reverse=True)
    for trace in ("[board] chassis speed_s=30", "[board] io output mask=0x02",
                  "[board] servo id=1 duty=70", "[board] line_track start=1 speed=60"):
        assert trace in r.stderr
    assert "done in" in r.stdout


def test_follow_demo_steers_by_the_line_and_sees_the_ball():
    r = run_on_sim("demo/follow_demo.py")
    assert r.returncode == 0, r.stderr
    out = r.stdout
    assert out.count("line offset:") == 12 and out.count("green ball at") == 12
    # The line sways right then left: the car turns both ways.
    assert "[board] chassis speed_s=0 speed_l=0 speed_h=10" in r.stderr
    assert "[board] chassis speed_s=0 speed_l=0 speed_h=-10" in r.stderr
