"""The virtual car's costs: how fast the simulator renders camera 0, how soon a chassis command
shows in the pictures, and how much of a core the simulator takes while a learner's program
follows the line at 30 pictures a second.

    .venv/bin/python bench/bench_sim.py [WORLD] [SECONDS]

WORLD: a shipped world's name or a world file (default line-track); SECONDS: how long the
learner loop runs for the CPU share (default 10)."""

import contextlib
import io
import os
import sys
import time

import numpy as np
from control_zelk.Drivox_1 import Car
from control_zelk.optik1 import Img

from zelk_run.board_link import BoardSim
from zelk_run.camera_stand_in import RenderedCamera
from zelk_run.world import world_file

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User + system CPU time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def render_rate(sim, count=200):
    """Pictures per second of the "camera" request, transfer to this process included."""
    sim.camera_picture()
    start = time.perf_counter()
    for _ in range(count):
        sim.camera_picture()
    return count / (time.perf_counter() - start)


def command_latency(sim, car, fps, trials=10):
    """Frames (at the camera's rate) from a chassis command to the first picture that shows
    the car moving, over several trials."""
    counts = []
    for _ in range(trials):
        sim.reset()
        cam = RenderedCamera(sim, fps)
        still = cam.read()[1]
        car.car_go(30)
        frames = 0
        while True:
            frames += 1
            if frames > 30 or not np.array_equal(cam.read()[1], still):
                break
        car.car_stop()
        counts.append(frames)
    return counts


def learner_loop(sim, car, fps, seconds):
    """A line follower as a learner writes it, for `seconds`: returns (its pictures per
    second, the simulator's share of one core)."""
    sim.reset()
    cam = RenderedCamera(sim, fps)
    pid = sim._proc.pid
    cpu0, t0, frames = cpu_seconds(pid), time.monotonic(), 0
    while time.monotonic() - t0 < seconds:
        img = Img(cam.read()[1])
        offset = img.offset_calculate2() if img.offset2() else 0
        car.Chassis_exe(speed_s=30, speed_h=max(-40, min(40, offset // 4)))
        frames += 1
    wall = time.monotonic() - t0
    car.car_stop()
    return frames / wall, (cpu_seconds(pid) - cpu0) / wall


def main(argv):
    world = world_file(argv[0] if argv else "line-track")
    seconds = float(argv[1]) if len(argv) > 1 else 10
    # The library prints every command it sends: not part of what is measured here.
    with (
        BoardSim(world=world) as sim,
        sim.redirect_serial(),
        contextlib.redirect_stdout(io.StringIO()),
    ):
        fps = sim.world_info()["camera_fps"]
        car = Car()
        rate = render_rate(sim)
        latency = command_latency(sim, car, fps)
        loop_fps, share = learner_loop(sim, car, fps, seconds)
    print(f"world: {world}")
    print(f"camera pictures rendered and sent, 640x480: {rate:.0f}/s (goal >= 60)")
    print(
        f"chassis command to first picture that shows it: {latency} frames "
        f"(median {np.median(latency):g}; goal <= 2)"
    )
    print(
        f"learner loop at {loop_fps:.1f} pictures/s for {seconds:g} s: simulator uses "
        f"{share * 100:.1f} % of one core (goal <= 30 %)"
    )


if __name__ == "__main__":
    main(sys.argv[1:])
