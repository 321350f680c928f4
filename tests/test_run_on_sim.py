"""zelk-run-on-sim as a teacher or learner uses it: small car programs run through the
launcher in a subprocess, checked on what they print, what the board traces, and how they
end."""

import json
import os
import pty
import signal
import subprocess
import sys
import textwrap

import pytest
from layout import ON_SIM

from zelk_run import on_car, on_sim, run_output
from zelk_run.board_link import FAULT_KINDS, BoardSim

GO_TRACE = "[board] chassis speed_s=30 speed_l=0 speed_h=0"
STOP_TRACE = "[board] chassis speed_s=0 speed_l=0 speed_h=0"

# Prints without ending the line between car commands.
DRIVE = """
    from control_zelk.Drivox_1 import Car
    car = Car()
    print("a", end="")
    car.car_go(30)
    print("b", end="")
    car.car_stop()
    print("c")
"""


def write_program(tmp_path, source, name="prog.py"):
    program = tmp_path / name
    program.write_text(textwrap.dedent(source))
    return str(program)


def launch(tmp_path, source, *options, args=(), stderr=subprocess.PIPE):
    """Runs `source` as the program through the launcher; a CompletedProcess with text."""
    program = write_program(tmp_path, source)
    return subprocess.run(
        [*ON_SIM, *options, program, *args],
        stdout=subprocess.PIPE,
        stderr=stderr,
        text=True,
        timeout=60,
        cwd=tmp_path,
    )


def launch_on_terminal(tmp_path, source, *options):
    """Runs the program with stdout and stderr on one pseudo-terminal, as in a teacher's
    terminal window; returns everything that appeared there."""
    program = write_program(tmp_path, source)
    master, slave = pty.openpty()
    proc = subprocess.Popen(
        [*ON_SIM, *options, program],
        stdin=subprocess.DEVNULL,
        stdout=slave,
        stderr=slave,
        cwd=tmp_path,
    )
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: the terminal's last user has gone
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    assert proc.wait(timeout=60) == 0, seen
    return seen.decode().replace("\r\n", "\n")


def result(out):
    """The JSON a test program printed after RESULT."""
    lines = [line for line in out.splitlines() if line.startswith("RESULT ")]
    assert len(lines) == 1, out
    return json.loads(lines[0][len("RESULT ") :])


class TestTrace:
    def test_default_is_whole_lines_on_stderr(self, tmp_path):
        r = launch(tmp_path, DRIVE)
        assert r.returncode == 0, r.stderr
        assert "[board]" not in r.stdout
        lines = r.stdout.splitlines()
        assert "a[1, 1, 30, 0, 0, 0]" in lines and "b[1, 1, 0, 0, 0, 0]" in lines
        assert r.stderr.splitlines() == [GO_TRACE, STOP_TRACE]

    @pytest.mark.parametrize("where", ["terminal", "pipe"])
    def test_shared_with_the_program_output_lines_stay_whole_and_in_order(self, tmp_path, where):
        # Raw frames, so that nothing but the program itself ends its lines.
        source = """
            import serial
            port = serial.Serial("/dev/ttyAMA0", 115200, timeout=1)

            def go():
                port.write(bytes([0x55, 0x0E, 1, 1, 0, 30, 0, 0, 0, 0, 0, 0, 0, 0x83]))
                assert len(port.read(14)) == 14

            go()
            print("after")
            print("start", end="")
            go()
            print(" end")
            print("tail", end="")
            go()
        """
        if where == "terminal":
            out = launch_on_terminal(tmp_path, source)
        else:
            r = launch(tmp_path, source, stderr=subprocess.STDOUT)
            assert r.returncode == 0, r.stdout
            out = r.stdout
        # A command's trace comes before what the program prints next, held back only while
        # the program is in the middle of a line; at the end it gets a line of its own.
        assert out.splitlines() == [GO_TRACE, "after", "start end", GO_TRACE, "tail", GO_TRACE]

    def test_to_a_file(self, tmp_path):
        r = launch(tmp_path, DRIVE, "--trace", "board.log")
        assert r.returncode == 0, r.stderr
        assert "[board]" not in r.stdout + r.stderr
        assert (tmp_path / "board.log").read_text().splitlines() == [GO_TRACE, STOP_TRACE]

    def test_off(self, tmp_path):
        r = launch(tmp_path, DRIVE, "--trace", "off")
        assert r.returncode == 0, r.stderr
        assert "[board]" not in r.stdout + r.stderr
        assert "a[1, 1, 30, 0, 0, 0]" in r.stdout.splitlines()


READ_WORLD = """
    import json
    from control_zelk.Drivox_1 import Car, Ul_sensor, Use_io
    car = Car()
    car.car_go(30)
    sensor = Ul_sensor(1)
    distances = [sensor.ul_get(), sensor.ul_get()]
    print("RESULT", json.dumps({"inputs": [Use_io(n).Io_read() for n in range(4)],
                                "distances": distances}))
"""


class TestWorld:
    @pytest.mark.parametrize(
        "options, inputs, distances",
        [
            # The demonstration world: an obstacle 100 cm ahead, 10 cm closer per reading
            # while the car drives forward.
            ([], [0, 0, 0, 0], [90, 80]),
            (["--inputs", "5", "--distance", "42"], [1, 0, 1, 0], [42, 42]),
            (["--inputs", "0b1000", "--distance", "42", "--approach", "5"], [0, 0, 0, 1], [37, 32]),
        ],
    )
    def test_inputs_and_distance(self, tmp_path, options, inputs, distances):
        r = launch(tmp_path, READ_WORLD, "--trace", "off", *options)
        assert r.returncode == 0, r.stderr
        assert result(r.stdout) == {"inputs": inputs, "distances": distances}

    def test_faults_hit_the_next_replies_in_the_order_given(self, tmp_path):
        r = launch(tmp_path, READ_WORLD, "--fault", "badsum:2", "--fault", "badheader")
        assert r.returncode == 0, r.stderr
        assert result(r.stdout)["distances"] == [None, None]
        assert r.stdout.count("异常：收到数据有误") == 3
        assert r.stderr.splitlines()[:4] == [
            GO_TRACE + " [fault badsum]",
            "[board] ultrasonic id=1 distance=90 [fault badsum]",
            "[board] ultrasonic id=1 distance=80 [fault badheader]",
            "[board] io read inputs=0x00",
        ]

    def test_noreply(self, tmp_path):
        # The library waits out its 5 s read time-out: the only slow test here.
        r = launch(tmp_path, READ_WORLD, "--fault", "noreply:1")
        assert r.returncode == 0, r.stderr
        lines = r.stdout.splitlines()
        assert lines[lines.index("[1, 1, 30, 0, 0, 0]") + 1].startswith("没有收到底层ack应答")
        assert result(r.stdout)["distances"] == [90, 80]


CAMERA = """
    import json, sys
    import cv2
    import numpy as np
    cap = cv2.VideoCapture(0)
    frames = []
    for _ in range(int(sys.argv[1])):
        ok, frame = cap.read()
        assert ok, len(frames)
        frames.append(frame)
    grabs = [cap.grab() for _ in range(100)]
    ok, retrieved = cap.retrieve()
    same = [i for i in range(len(frames)) if np.array_equal(frames[i], frames[0])]
    means = [round(float(f.mean())) for f in frames]
    cap.release()
    print("RESULT", json.dumps({
        "capture": isinstance(cap, cv2.VideoCapture), "shape": frames[0].shape,
        "grabs": all(grabs) and ok, "same": same, "means": means,
        "after_release": cap.read()[0]}))
"""


class TestCamera:
    def test_generated_video_never_runs_out(self, tmp_path):
        # A module of the program's that shares its name with the launcher's camera module.
        write_program(tmp_path, "raise ImportError('not the launcher's')", "camera_stand_in.py")
        r = launch(tmp_path, CAMERA, "--trace", "off", args=["200"])
        assert r.returncode == 0, r.stderr
        got = result(r.stdout)
        assert got["capture"] and got["grabs"] and not got["after_release"]
        assert got["shape"] == [480, 640, 3]
        # The practice mat moves, and starts over after its 80 frames.
        assert got["same"] == [0, 80, 160]

    def test_image_is_every_frame(self, tmp_path):
        import cv2
        import numpy as np

        picture = np.zeros((60, 80, 3), np.uint8)
        picture[:, :40] = (0, 0, 255)
        cv2.imwrite(str(tmp_path / "red_left.png"), picture)
        source = (
            CAMERA
            + """
    frame = cv2.VideoCapture(0).read()[1]
    frame[:] = 0
    again = cv2.VideoCapture(0).read()[1]
    print("LEFT", again[30, 10].tolist(), again[30, 70].tolist())
"""
        )
        r = launch(tmp_path, source, "--trace", "off", "--image", "red_left.png", args=["5"])
        assert r.returncode == 0, r.stderr
        got = result(r.stdout)
        assert got["capture"] and got["grabs"] and not got["after_release"]
        assert got["shape"] == [60, 80, 3] and got["same"] == [0, 1, 2, 3, 4]
        # What the program draws on a frame stays out of the next ones.
        assert "LEFT [0, 0, 255] [0, 0, 0]" in r.stdout.splitlines()

    def test_video_loops(self, tmp_path):
        import cv2
        import numpy as np

        fourcc = cv2.VideoWriter_fourcc(*"MJPG")
        writer = cv2.VideoWriter(str(tmp_path / "clip.avi"), fourcc, 10, (64, 48))
        for level in (0, 50, 100, 150, 200):
            writer.write(np.full((48, 64, 3), level, np.uint8))
        writer.release()
        r = launch(tmp_path, CAMERA, "--trace", "off", "--video", "clip.avi", args=["12"])
        assert r.returncode == 0, r.stderr
        got = result(r.stdout)
        assert got["capture"] and got["grabs"] and not got["after_release"]
        assert [round(m / 50) for m in got["means"]] == [0, 1, 2, 3, 4] * 2 + [0, 1]


ENDINGS = {
    "end": ("print('bye')", 0),
    "exit code": ("import sys; sys.exit(3)", 3),
    "exit message": ("import sys; sys.exit('gave up')", 1),
    "error": (
        """
        from control_zelk.Drivox_1 import Car
        def drive():
            Car().car_go(30)
            return 1 / 0
        drive()
        """,
        1,
    ),
}


class TestLauncher:
    def test_help(self, tmp_path):
        r = subprocess.run([*ON_SIM, "--help"], capture_output=True, text=True, timeout=30)
        assert r.returncode == 0
        for word in (
            "--inputs",
            "--distance",
            "--approach",
            "--fault",
            "--video",
            "--image",
            "--real-camera",
            "--trace",
            "--quiet",
            "--save-windows",
            *FAULT_KINDS,
        ):
            assert word in r.stdout

    @pytest.mark.parametrize(
        "options", [[], ["--trace", "off", "--inputs", "1"], ["--trace=off", "--"]]
    )
    def test_program_arguments_pass_through(self, tmp_path, options):
        args = ["x", "--help", "--trace", "off", "--", "-v"]
        r = launch(
            tmp_path,
            "import json, sys; print('RESULT', json.dumps(sys.argv[1:]))",
            *options,
            args=args,
        )
        assert r.returncode == 0, r.stderr
        assert result(r.stdout) == args

    @pytest.mark.parametrize("ending", ENDINGS)
    def test_exit_status(self, tmp_path, ending):
        source, status = ENDINGS[ending]
        r = launch(tmp_path, source)
        assert r.returncode == status, r.stderr
        if ending == "exit message":
            assert r.stderr == "gave up\n"
        if ending == "error":
            # The traceback starts at the program, after the trace of its last command and of
            # the stop sent for the car it left driving.
            assert r.stderr.splitlines()[:4] == [
                GO_TRACE,
                "[board] chassis speed_s=0 speed_l=0 speed_h=0",
                "Traceback (most recent call last):",
                f'  File "{tmp_path / "prog.py"}", line 6, in <module>',
            ]
            assert "run_on_sim" not in r.stderr
            assert r.stderr.endswith("ZeroDivisionError: division by zero\n")

    def test_ctrl_c(self, tmp_path):
        program = write_program(
            tmp_path,
            """
            import time
            from control_zelk.Drivox_1 import Car
            car = Car()
            try:
                print("driving", flush=True)
                time.sleep(30)
            finally:
                car.car_stop()
        """,
        )
        # SIGINT as a terminal delivers it, even when these tests run as a background job
        # (which starts with SIGINT ignored, and Python keeps it so).
        proc = subprocess.Popen(
            [*ON_SIM, program],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        )
        for line in proc.stdout:
            if line == "driving\n":
                break
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        assert proc.returncode == 130
        # The program's clean-up still reached the board.
        assert err.splitlines() == [STOP_TRACE]


# Mistakes in a launcher's words, and a fragment of what it says about each: each ends the
# launcher with status 2 before the program runs. "prog.py" exists.
MISTAKES = [
    (on_sim, ["--trace", "off"], "PROGRAM.py"),
    (on_sim, ["missing.py"], "no such program: missing.py"),
    (on_sim, ["--inputs", "256", "prog.py"], "0..255"),
    (on_sim, ["--distance", "near", "prog.py"], "whole number"),
    (on_sim, ["--fault", "lost", "prog.py"], "unknown fault 'lost'"),
    (on_sim, ["--fault", "delay:0", "prog.py"], "N must be"),
    (on_sim, ["--trace", "no/such/dir/board.log", "prog.py"], "No such file"),
    (on_sim, ["--video", "missing.file", "prog.py"], "no such file: missing.file"),
    (on_sim, ["--image", "missing.file", "prog.py"], "no such file: missing.file"),
    (on_sim, ["--duration", "0", "prog.py"], "SECONDS must be more than 0"),
    (on_sim, ["--world", "no-such-world", "prog.py"], "no world 'no-such-world'"),
    (on_sim, ["--pose-log", "x.csv", "prog.py"], "--pose-log needs --world"),
    (
        on_sim,
        ["--world", "line-track", "--distance", "5", "prog.py"],
        "--distance cannot go with --world",
    ),
    (
        on_sim,
        ["--world", "line-track", "--image", "x.png", "prog.py"],
        "--image cannot go with --world",
    ),
    (
        on_sim,
        ["--world", "line-track", "--car", "wheels=4", "prog.py"],
        "unknown car constant 'wheels'",
    ),
    (on_sim, ["--web", "--headless", "prog.py"], "--headless shows no page"),
    (on_sim, ["--web", "--port", "x", "prog.py"], "port number"),
    (on_sim, ["--listen-all", "prog.py"], "add --web"),
    (on_sim, ["--save-windows", "prog.py", "prog.py"], "cannot make the folder prog.py"),
    (on_car, ["--port", "x", "prog.py"], "port number"),
    (on_car, ["--web", "prog.py"], "unrecognized arguments: --web"),
    (on_car, ["--save-windows", "prog.py", "prog.py"], "cannot make the folder prog.py"),
]


@pytest.mark.parametrize("launcher, argv, complaint", MISTAKES)
def test_mistakes_stop_the_launcher(tmp_path, monkeypatch, capfd, launcher, argv, complaint):
    (tmp_path / "prog.py").write_text("print('ran')\n")
    monkeypatch.chdir(tmp_path)

    def run_as_main(*args, **kwargs):
        raise AssertionError("the program ran")

    monkeypatch.setattr(launcher, "run_as_main", run_as_main)
    with pytest.raises(SystemExit) as ended:
        launcher.main(argv)
    assert ended.value.code == 2
    assert complaint in capfd.readouterr().err  # also the simulator's own, on fd 2


def test_a_mistake_exits_with_the_usage(tmp_path):
    r = launch(tmp_path, "print('ran')", "--inputs", "256")
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.startswith("usage: zelk-run-on-sim [OPTIONS] PROGRAM.py [ARGS...]\n")
    assert r.stderr.endswith("error: argument --inputs: LEVELS must be 0..255, not 256\n")


def test_quiet_hides_only_the_librarys_routine_lines(capsys):
    from control_zelk import Drivox_1

    with BoardSim() as sim, sim.redirect_serial(), run_output.quiet_library():
        program = {}
        exec("from control_zelk.Drivox_1 import *\nprint('mine', [1])\nprint('1')", program)
        car = Drivox_1.Car()
        car.car_go(30)
        sim.inject("badsum")
        car.car_stop()
    # The program's lines, and the library's warning about the damaged reply.
    assert capsys.readouterr().out == "mine [1]\n1\n异常：收到数据有误\n"
    assert "print" not in program
    assert not hasattr(Drivox_1, "print") and not hasattr(Drivox_1, "__all__")


def test_installed_launcher_runs_a_program_beside_the_simulator(tmp_path):
    # pip install puts zelk-run-on-sim next to zelk-board-sim and the environment's python.
    launcher = os.path.join(os.path.dirname(sys.executable), "zelk-run-on-sim")
    program = tmp_path / "drive.py"
    program.write_text("from control_zelk.Drivox_1 import Car\nCar().car_go(30)\nprint('done')\n")
    run = subprocess.run([launcher, str(program)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.endswith("done\n") and "[board] chassis speed_s=30" in run.stderr
    assert subprocess.run([launcher, "--help"], capture_output=True, timeout=60).returncode == 0


def test_the_programs_own_modules_are_its_own(tmp_path):
    """A learner's folder may hold files named like the launcher's modules: the program imports
    its own, and the launcher (its camera, windows and page) still works."""
    import pkgutil

    import zelk_run

    names = [m.name for m in pkgutil.iter_modules(zelk_run.__path__) if not m.name.startswith("_")]
    assert {"web_view", "board_link", "world", "camera_stand_in"} <= set(names)
    for name in names:
        write_program(tmp_path, f"WHO = 'mine: {name}'", f"{name}.py")
    r = launch(
        tmp_path,
        f"""
        import importlib
        import cv2
        from control_zelk.Drivox_1 import Car
        print(sorted(importlib.import_module(n).WHO for n in {names!r}))
        ok, frame = cv2.VideoCapture(0).read()
        cv2.imshow("camera", frame)
        cv2.waitKey(1)
        Car().car_go(10)
    """,
        "--web",
        "--port",
        "0",
        "--trace",
        "off",
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[0] == str(sorted(f"mine: {n}" for n in names))
    assert r.stderr.startswith("web view: http://127.0.0.1:")
