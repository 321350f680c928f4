"""A car never keeps driving after the program that drove it has ended: on a normal end, an
uncaught exception, Ctrl-C or SIGTERM the board receives the stop frames of whatever was left
running, and nothing is printed for them. Learner programs run in their own interpreter,
talking to the simulator through its pseudo-terminal."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest
from board_frames import args16, frame
from layout import run_on_sim

from zelk_run.board_link import BoardSim

# Runs PROGRAM with serial.Serial("/dev/ttyAMA0") opening the simulator's pty instead.
BOOTSTRAP = textwrap.dedent("""
    import runpy, sys, serial
    pty = sys.argv[1]
    real = serial.Serial
    class Serial(real):
        def __init__(self, port=None, *args, **kwargs):
            super().__init__(pty if port == "/dev/ttyAMA0" else port, *args, **kwargs)
    serial.Serial = Serial
    sys.argv = sys.argv[2:]
    runpy.run_path(sys.argv[0], run_name="__main__")
""")


CHASSIS_STOP = frame(1, 1)
MOTOR_6_STOP = frame(3, 1, args16(6 * 256))
LINE_STOP = frame(5, 1)


def start(sim, tmp_path, code):
    program = tmp_path / "learner.py"
    program.write_text(textwrap.dedent(code))
    return subprocess.Popen(
        [sys.executable, "-c", BOOTSTRAP, sim.port, str(program)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def run(sim, tmp_path, code):
    proc = start(sim, tmp_path, code)
    out, err = proc.communicate(timeout=60)
    return proc.returncode, out, err


DRIVE = textwrap.dedent("""
    from control_zelk.Drivox_1 import Car, Cur_motor, Line_track
    Car().car_go(30)
    Cur_motor(6).Cur_go(50, 0)
    Line_track().l_start(60)
    print("driving")
""")


def test_normal_end_stops_what_was_left_running_without_a_word(sim, tmp_path):
    status, out, err = run(sim, tmp_path, DRIVE)
    assert status == 0, err
    assert out.endswith("数据校验正确！\ndriving\n") and err == ""  # nothing printed for the stop
    assert sim.frames()[-3:] == [CHASSIS_STOP, MOTOR_6_STOP, LINE_STOP]
    state = sim.state()
    assert (state["speed_s"], state["motor_speed_raw"], state["line_start"]) == (0, 0, 0)


def test_uncaught_exception_still_stops_the_car(sim, tmp_path):
    status, out, err = run(sim, tmp_path, DRIVE + "raise RuntimeError('boom')\n")
    assert status == 1 and err.rstrip().endswith("RuntimeError: boom")
    assert sim.frames()[-3:] == [CHASSIS_STOP, MOTOR_6_STOP, LINE_STOP]


# An uncaught KeyboardInterrupt ends Python by SIGINT itself, as it should for a shell.
@pytest.mark.parametrize(
    "sig, status", [(signal.SIGINT, -signal.SIGINT), (signal.SIGTERM, -signal.SIGTERM)]
)
def test_interrupted_program_stops_the_car(sim, tmp_path, sig, status):
    proc = start(
        sim,
        tmp_path,
        """
        import time
        from control_zelk.Drivox_1 import Car
        Car().car_turn_l(20)
        print("turning", flush=True)
        time.sleep(60)
    """,
    )
    assert proc.stdout.readline() == "初始化ID\n"
    deadline = time.monotonic() + 30
    while not any(f[2] == 1 and f[9] != 0 for f in sim.frames()):
        assert time.monotonic() < deadline
        time.sleep(0.05)
    while proc.stdout.readline() not in ("turning\n", ""):
        pass
    proc.send_signal(sig)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == status
    assert out == "" and ("KeyboardInterrupt" in err) == (sig == signal.SIGINT)
    assert sim.frames()[-1] == CHASSIS_STOP


def test_nothing_is_sent_for_a_car_the_program_stopped_itself(sim, tmp_path):
    status, _, err = run(
        sim,
        tmp_path,
        """
        from control_zelk.Drivox_1 import Car, Cur_motor
        car = Car()
        car.car_go(30)
        car.car_stop()
        Cur_motor(2).Cur_go(10, 5)
        Cur_motor(2).Cur_stop()
    """,
    )
    assert status == 0, err
    frames = sim.frames()
    assert (
        frames[-1] == frame(3, 1, args16(2 * 256))
        and frames[-3] == CHASSIS_STOP
        and len(frames) == 4
    )


def test_a_learners_own_sigterm_handler_is_left_alone(sim, tmp_path):
    proc = start(
        sim,
        tmp_path,
        """
        import signal, sys, time
        signal.signal(signal.SIGTERM, lambda *a: sys.exit(7))
        from control_zelk.Drivox_1 import Car
        Car().car_go(10)
        print("go", flush=True)
        time.sleep(60)
    """,
    )
    while proc.stdout.readline() not in ("go\n", ""):
        pass
    proc.send_signal(signal.SIGTERM)
    proc.communicate(timeout=30)
    assert proc.returncode == 7  # the learner's handler ran ...
    assert sim.frames()[-1] == CHASSIS_STOP  # ... and the exit still stopped the car


def test_a_dead_board_does_not_hang_the_exit(tmp_path):
    with BoardSim() as sim:
        sim.inject("noreply", 1)  # the command's own reply waits 5 s
        proc = start(sim, tmp_path, "from control_zelk.Drivox_1 import Car\nCar().car_go(5)\n")
        time.sleep(0.5)
        sim.inject("noreply", 10)  # and the board goes quiet for good
        t0 = time.monotonic()
        proc.communicate(timeout=30)
    assert proc.returncode == 0 and time.monotonic() - t0 < 8


def test_the_simulator_trace_shows_the_stop(tmp_path):
    program = tmp_path / "go.py"
    program.write_text("from control_zelk.Drivox_1 import Car\nCar().car_go(30)\n")
    r = run_on_sim(program)
    assert r.returncode == 0, r.stderr
    lines = [line for line in r.stderr.splitlines() if "chassis" in line]
    assert lines == [
        "[board] chassis speed_s=30 speed_l=0 speed_h=0",
        "[board] chassis speed_s=0 speed_l=0 speed_h=0",
    ]


# Driving from another thread: the main thread waits in join() (where it runs nothing it is
# asked to until a signal wakes it), or the program ends while a daemon thread still drives.
FROM_A_THREAD = {
    "SIGTERM while the main thread joins": (
        """
        import threading, time
        from control_zelk.Drivox_1 import Car
        def drive():
            Car().car_go(25)
            print("driving", flush=True)
            time.sleep(60)
        worker = threading.Thread(target=drive)
        worker.start()
        worker.join()
    """,
        signal.SIGTERM,
    ),
    "the program ends while a daemon thread drives on": (
        """
        import threading, time
        from control_zelk.Drivox_1 import Car
        def drive():
            car = Car()
            while True:
                car.car_go(25)
        threading.Thread(target=drive, daemon=True).start()
        time.sleep(1)
        print("driving", flush=True)
    """,
        None,
    ),
}


@pytest.mark.parametrize("name", FROM_A_THREAD)
def test_a_car_driven_from_a_thread_is_stopped(sim, tmp_path, name):
    code, sig = FROM_A_THREAD[name]
    proc = start(sim, tmp_path, code)
    while proc.stdout.readline() not in ("driving\n", ""):
        pass
    if sig is not None:
        proc.send_signal(sig)
    proc.communicate(timeout=30)
    assert proc.returncode == (-sig if sig else 0)
    time.sleep(0.3)  # anything still on its way has arrived
    assert sim.frames()[-1] == CHASSIS_STOP and sim.state()["speed_s"] == 0


def test_the_launcher_stops_the_car_after_the_programs_last_thread(tmp_path):
    """The program's main code ends first; a thread of it drives on for a while. As the
    interpreter does, the launcher waits for that thread before the car is stopped."""
    program = tmp_path / "worker.py"
    program.write_text(
        textwrap.dedent("""
        import threading, time
        from control_zelk.Drivox_1 import Car
        def drive():
            car = Car()
            time.sleep(0.3)
            car.car_go(20)
            print("worker done", flush=True)
        threading.Thread(target=drive).start()
    """)
    )
    r = run_on_sim(program)
    assert r.returncode == 0 and r.stdout.endswith("worker done\n"), r.stderr
    chassis = [line for line in r.stderr.splitlines() if "chassis" in line]
    assert chassis == [
        "[board] chassis speed_s=20 speed_l=0 speed_h=0",
        "[board] chassis speed_s=0 speed_l=0 speed_h=0",
    ]
