"""Runs a learner's car program against the board simulator instead of the car.

    python sim/run_on_sim.py [--real-camera] PROGRAM.py [ARGS...]

The program runs as __main__ in this process with serial.Serial("/dev/ttyAMA0") pointed at
the simulator; what the board receives is printed as "[board] ..." lines between the
program's own output. Camera 0 is a generated video of a practice mat (a line and a green
ball) unless --real-camera is given. Exits with the program's status.
"""

import contextlib
import os
import runpy
import sys
import tempfile
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from board_link import BoardSim  # noqa: E402


def exit_status(exc):
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return 1


def print_program_error(exc, program):
    """Prints the traceback from the program's first frame on: the runner's own frames above it
    are no help to whoever wrote the program."""
    tb = exc.__traceback__
    path = os.path.abspath(program)
    while tb is not None and os.path.abspath(tb.tb_frame.f_code.co_filename) != path:
        tb = tb.tb_next
    traceback.print_exception(type(exc), exc, tb or exc.__traceback__)


def main(argv):
    real_camera = bool(argv) and argv[0] == "--real-camera"
    if real_camera:
        argv = argv[1:]
    if not argv or argv[0] in ("-h", "--help"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    program = argv[0]
    if not os.path.isfile(program):
        print(f"run_on_sim: no such program: {program}", file=sys.stderr)
        return 2
    # Line by line, so the program's prints and the board's trace come out in order.
    sys.stdout.reconfigure(line_buffering=True)

    with contextlib.ExitStack() as stack:
        if not real_camera:
            stack.enter_context(generated_camera())
        return run_program(program, argv)


@contextlib.contextmanager
def generated_camera():
    from camera_stand_in import make_track_video, redirect_camera

    with tempfile.TemporaryDirectory(prefix="zelk-camera-") as tmp:
        with redirect_camera(make_track_video(os.path.join(tmp, "track.avi"))):
            yield


def run_program(program, argv):
    status = 0
    with BoardSim(echo=sys.stdout, prefix="[board] ") as sim, sim.redirect_serial(sync_trace=True):
        # The demonstration world: an obstacle 100 cm ahead that the car approaches.
        sim.set_distance(100)
        sim.set_approach(10)
        sys.argv = list(argv)
        sys.path.insert(0, os.path.dirname(os.path.abspath(program)))
        try:
            runpy.run_path(program, run_name="__main__")
        except SystemExit as exc:
            status = exit_status(exc)
        except KeyboardInterrupt:
            status = 130
        except BaseException as exc:
            print_program_error(exc, program)
            status = 1
        sim.sync_trace()
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
