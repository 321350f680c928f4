"""Runs a learner's car program against the board simulator instead of the car.

    python sim/run_on_sim.py [OPTIONS] PROGRAM.py [ARGS...]

The program runs as __main__ in this process, with sys.argv = [PROGRAM.py, ARGS...] and
serial.Serial("/dev/ttyAMA0") pointed at the simulator. What the board receives is written as
whole "[board] ..." lines to stderr (or a file, or nowhere: --trace). Camera 0 is a generated
video of a practice mat, played in a loop (or --video, --image, --real-camera). --help lists
the options. Exits with the program's status.
"""

import argparse
import contextlib
import os
import sys
import tempfile

SIM_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, SIM_DIR)
from board_link import FAULT_KINDS, BoardSim, BoardSimError  # noqa: E402
from program_runner import after_import, parse_args, run_as_main, sim_module  # noqa: E402
from trace_output import TraceOutput  # noqa: E402
from web_launch import TraceTee, add_options, check_options, open_view  # noqa: E402

# The demonstration world when --distance is not given: an obstacle this far ahead that comes
# APPROACH_STEP closer with each distance reading while the car drives forward.
DEMO_DISTANCE = 100
APPROACH_STEP = 10


def _number(text, low, high, what):
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be a whole number, not {text!r}") from None
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"{what} must be {low}..{high}, not {value}")
    return value


def input_levels(text):
    return _number(text, 0, 255, "LEVELS")


def distance(text):
    return _number(text, 0, 65535, "CM")


def approach_step(text):
    return _number(text, 0, 65535, "STEP")


def fault(text):
    """KIND[:N[:ARG]] -> (kind, n, arg or None)."""
    kind, *rest = text.split(":")
    if kind not in FAULT_KINDS:
        raise argparse.ArgumentTypeError(
            f"unknown fault {kind!r}; the kinds are {', '.join(FAULT_KINDS)}"
        )
    if len(rest) > 2:
        raise argparse.ArgumentTypeError(f"{text!r}: expected KIND, KIND:N or KIND:N:ARG")
    count = _number(rest[0], 1, 1_000_000, "N") if rest else 1
    arg = _number(rest[1], 0, 1_000_000, "ARG") if len(rest) == 2 else None
    return kind, count, arg


def build_parser():
    parser = argparse.ArgumentParser(
        prog="run_on_sim.py",
        usage="%(prog)s [OPTIONS] PROGRAM.py [ARGS...]",
        description="Runs a car program without the car: serial.Serial('/dev/ttyAMA0') talks "
        "to a simulated controller board, and camera 0 shows a generated video of a practice "
        "mat (a dark line and a green ball).",
        epilog="Options go before PROGRAM.py. Everything after it goes to the program as "
        "sys.argv[1:], even words that look like the options above. Exit status: the "
        "program's (0 when it ends, sys.exit's code, 1 after an error, 130 after Ctrl-C); 2 "
        "when it cannot be started.",
        allow_abbrev=False,
    )
    parser.add_argument("program", metavar="PROGRAM.py", help="the car program to run")
    parser.add_argument("args", metavar="ARGS", nargs="*", help="the program's own arguments")

    world = parser.add_argument_group("the board's world")
    world.add_argument(
        "--inputs", metavar="LEVELS", type=input_levels,
        help="levels the board reads on its inputs, bit n = input n: 5 (or 0b101) means "
        "inputs 0 and 2 are high; default 0",
    )
    world.add_argument(
        "--distance", metavar="CM", type=distance,
        help="what the ultrasonic sensor reads, 0..65535; it stays so (unless --approach "
        f"is given too). Default: an obstacle {DEMO_DISTANCE} cm ahead that comes "
        f"{APPROACH_STEP} cm closer with each reading while the car drives forward",
    )
    world.add_argument(
        "--approach", metavar="STEP", type=approach_step,
        help="while the car drives forward, each distance reading finds the obstacle STEP cm "
        f"closer (0: never; default {APPROACH_STEP} without --distance, 0 with it)",
    )
    world.add_argument(
        "--fault", metavar="KIND[:N[:ARG]]", type=fault, action="append", default=[],
        help="the board's next N replies (default 1) go wrong; repeat to queue more, in "
        "order. KIND: noreply (none: the program waits its 5 s read time-out), badsum "
        "(wrong checksum), badheader (wrong first byte), short (ARG bytes, default 4), "
        "split (in two halves ARG ms apart, default 100), delay (ARG ms late, default 200), "
        "garbage (ARG extra bytes, default 6)",
    )

    camera = parser.add_argument_group("camera 0").add_mutually_exclusive_group()
    camera.add_argument(
        "--video", metavar="FILE", help="show this video instead, played in a loop"
    )
    camera.add_argument(
        "--image", metavar="FILE", help="show this picture instead, on every read"
    )
    camera.add_argument(
        "--real-camera", action="store_true", help="use the computer's own camera 0"
    )

    output = parser.add_argument_group("output")
    output.add_argument(
        "--trace", metavar="WHERE", default="stderr",
        help="where the board's '[board] ...' lines go: stderr (the default; on a terminal "
        "they come between the program's lines, never inside one), off, or a FILE to "
        "(over)write (./stderr for a file of that name)",
    )
    add_options(parser.add_argument_group("windows and the web page"), switches=True)
    return parser


def redirect_camera_zero(opts, stack):
    """Makes camera 0 the stand-in the options ask for, for as long as `stack` is open."""
    if opts.real_camera:
        return
    if opts.image or opts.video:
        path = opts.image or opts.video
        if not os.path.isfile(path):
            raise ValueError(f"no such file: {path}")
        # Opened now, so that a file OpenCV cannot read stops the launcher, not the program.
        cam = sim_module("camera_stand_in")
        if opts.image:
            open_stand_in = cam.still_picture(opts.image)
        else:
            open_stand_in = cam.looping_video(opts.video)
    else:
        open_stand_in = None
        tmp = stack.enter_context(tempfile.TemporaryDirectory(prefix="zelk-camera-"))

    def redirect(_cv2):
        cam = sim_module("camera_stand_in")
        stand_in = open_stand_in or cam.generated_video(os.path.join(tmp, "track.avi"))
        stack.enter_context(cam.redirect_camera(stand_in))

    stack.enter_context(after_import("cv2", redirect))


def set_world(sim, opts):
    if opts.inputs is not None:
        sim.set_inputs(opts.inputs)
    if opts.distance is None:
        sim.set_distance(DEMO_DISTANCE)
        approach = APPROACH_STEP
    else:
        sim.set_distance(opts.distance)
        approach = 0
    sim.set_approach(approach if opts.approach is None else opts.approach)
    for kind, count, arg in opts.fault:
        sim.inject(kind, count, arg)


class BoardReadings:
    """What the page shows of the simulated board: its speeds and what its sensors read."""

    def __init__(self, sim):
        self.sim = sim

    def status(self):
        state = self.sim.state()
        return {key: state[key] for key in ("speed_s", "speed_l", "speed_h", "distance", "inputs")}


def main(argv):
    parser = build_parser()
    opts = parse_args(parser, argv)
    check_options(parser, opts)
    # Line by line, so the program's prints come out as they are made.
    sys.stdout.reconfigure(line_buffering=True)

    with contextlib.ExitStack() as stack:
        try:
            redirect_camera_zero(opts, stack)
            view = open_view(opts, stack)
            trace = None
            if opts.trace != "off":
                trace = TraceOutput.open(opts.trace)
                stack.callback(trace.close)
            echo = trace if view is None else TraceTee(view, trace, "[board] ")
            sim = stack.enter_context(BoardSim(echo=echo, prefix="[board] "))
            set_world(sim, opts)
            if view is not None:
                view.world = BoardReadings(sim)
        except (OSError, ValueError, BoardSimError) as exc:
            parser.exit(2, f"run_on_sim.py: {exc}\n")
        return run_program(opts.program, opts.args, sim, trace)


def run_program(program, args, sim, trace):
    with sim.redirect_serial(sync_trace=trace is not None):
        if trace is not None:
            trace.watch_program_output()
        ending = run_as_main(program, args)
        if trace is not None:
            # The trace of the program's last commands before anything said about its end.
            with contextlib.suppress(OSError, BoardSimError):
                sim.sync_trace()
            trace.close()
    return ending.report()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
