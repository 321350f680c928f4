"""Runs a learner's car program against the board simulator instead of the car.

    zelk-run-on-sim [OPTIONS] PROGRAM.py [ARGS...]      (or: python -m zelk_run ...)

The program runs as __main__ in this process, with sys.argv = [PROGRAM.py, ARGS...] and
serial.Serial("/dev/ttyAMA0") pointed at the simulator. What the board receives is written as
whole "[board] ..." lines to stderr (or a file, or nowhere: --trace). Camera 0 is a generated
video of a practice mat, played in a loop (or --video, --image, --real-camera). --help lists
the options. Exits with the program's status.
"""

import argparse
import contextlib
import os
import shutil
import signal
import sys
import tempfile
import threading

from . import run_output
from . import world as worlds
from .board_link import FAULT_KINDS, BoardSim, BoardSimError
from .program_runner import after_import, let_ctrl_c_through, parse_args, run_as_main
from .trace_output import TraceOutput
from .web_launch import (
    SimReadings,
    TraceTee,
    add_options,
    check_options,
    finish_page,
    open_view,
    output_to_page,
)

# The demonstration world when --distance is not given: an obstacle this far ahead that comes
# APPROACH_STEP closer with each distance reading while the car drives forward.
DEMO_DISTANCE = 100
APPROACH_STEP = 10
# Width of the --trail-picture in pixels.
TRAIL_PICTURE_WIDTH = 800
# After --duration, a program that goes on in spite of Ctrl-C gets this long before it is cut.
GRACE_S = 3


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


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"SECONDS must be a number, not {text!r}") from None
    if not 0 < value < 1e6:
        raise argparse.ArgumentTypeError(f"SECONDS must be more than 0, not {text}")
    return value


def world_file(text):
    """A world's file: a shipped world's NAME, or the path of a world file."""
    try:
        return worlds.world_file(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


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
        prog="zelk-run-on-sim",
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
        "--inputs",
        metavar="LEVELS",
        type=input_levels,
        help="levels the board reads on its inputs, bit n = input n: 5 (or 0b101) means "
        "inputs 0 and 2 are high; default 0",
    )
    world.add_argument(
        "--distance",
        metavar="CM",
        type=distance,
        help="what the ultrasonic sensor reads, 0..65535; it stays so (unless --approach "
        f"is given too). Default: an obstacle {DEMO_DISTANCE} cm ahead that comes "
        f"{APPROACH_STEP} cm closer with each reading while the car drives forward",
    )
    world.add_argument(
        "--approach",
        metavar="STEP",
        type=approach_step,
        help="while the car drives forward, each distance reading finds the obstacle STEP cm "
        f"closer (0: never; default {APPROACH_STEP} without --distance, 0 with it)",
    )
    world.add_argument(
        "--fault",
        metavar="KIND[:N[:ARG]]",
        type=fault,
        action="append",
        default=[],
        help="the board's next N replies (default 1) go wrong; repeat to queue more, in "
        "order. KIND: noreply (none: the program waits its 5 s read time-out), badsum "
        "(wrong checksum), badheader (wrong first byte), short (ARG bytes, default 4), "
        "split (in two halves ARG ms apart, default 100), delay (ARG ms late, default 200), "
        "garbage (ARG extra bytes, default 6)",
    )

    virtual = parser.add_argument_group("a virtual car in a world")
    virtual.add_argument(
        "--world",
        metavar="NAME|FILE",
        type=world_file,
        help="the board drives a car in this world (a shipped world: "
        f"{', '.join(worlds.shipped_worlds()) or 'none'}; or a world file): camera 0 shows what "
        "the car's camera sees, the ultrasonic sensor measures the world",
    )
    virtual.add_argument(
        "--car",
        metavar="NAME=VALUE",
        action="append",
        default=[],
        help="set one of the car's constants for this run, e.g. camera_tilt_deg=35; repeat "
        "for more (docs/virtual-car.md lists them)",
    )
    virtual.add_argument(
        "--pose-log",
        metavar="FILE.csv",
        help="write the car's pose at every 10 ms step: t_s,x_cm,y_cm,heading_deg",
    )
    virtual.add_argument(
        "--trail-picture",
        metavar="FILE.png",
        help="at the end, write the world from above with the car's trail",
    )
    parser.add_argument(
        "--duration",
        metavar="SECONDS",
        type=seconds,
        help="end the program after this long, as Ctrl-C would (the car is stopped); the "
        "exit status is then 0",
    )

    camera = parser.add_argument_group("camera 0").add_mutually_exclusive_group()
    camera.add_argument("--video", metavar="FILE", help="show this video instead, played in a loop")
    camera.add_argument("--image", metavar="FILE", help="show this picture instead, on every read")
    camera.add_argument(
        "--real-camera", action="store_true", help="use the computer's own camera 0"
    )

    output = parser.add_argument_group("output")
    output.add_argument(
        "--trace",
        metavar="WHERE",
        default="stderr",
        help="where the board's '[board] ...' lines go: stderr (the default; on a terminal "
        "they come between the program's lines, never inside one), off, or a FILE to "
        "(over)write (./stderr for a file of that name)",
    )
    run_output.add_options(output)
    add_options(parser.add_argument_group("windows and the web page"), switches=True)
    return parser


def check_world_options(parser, opts):
    if opts.world is None:
        for given, name in (
            (opts.car, "--car"),
            (opts.pose_log, "--pose-log"),
            (opts.trail_picture, "--trail-picture"),
        ):
            if given:
                parser.error(f"{name} needs --world")
    else:
        for given, name in (
            (opts.distance is not None, "--distance"),
            (opts.approach is not None, "--approach"),
            (opts.video, "--video"),
            (opts.image, "--image"),
            (opts.real_camera, "--real-camera"),
        ):
            if given:
                parser.error(f"{name} cannot go with --world: the world gives what it sets")


def camera_stand_in():
    """The camera stand-ins, imported when needed: they import cv2, which takes a second."""
    from . import camera_stand_in

    return camera_stand_in


def redirect_camera_zero(opts, stack, sim):
    """Makes camera 0 the stand-in the options ask for, for as long as `stack` is open."""
    if opts.real_camera:
        return
    if opts.world:
        fps = sim.world_info()["camera_fps"]
        open_stand_in = camera_stand_in().rendered_camera(sim, fps)
    elif opts.image or opts.video:
        path = opts.image or opts.video
        if not os.path.isfile(path):
            raise ValueError(f"no such file: {path}")
        # Opened now, so that a file OpenCV cannot read stops the launcher, not the program.
        cam = camera_stand_in()
        if opts.image:
            open_stand_in = cam.still_picture(opts.image)
        else:
            open_stand_in = cam.looping_video(opts.video)
    else:
        open_stand_in = None
        tmp = stack.enter_context(tempfile.TemporaryDirectory(prefix="zelk-camera-"))

    def redirect(_cv2):
        cam = camera_stand_in()
        stand_in = open_stand_in or cam.generated_video(os.path.join(tmp, "track.avi"))
        stack.enter_context(cam.redirect_camera(stand_in))

    stack.enter_context(after_import("cv2", redirect))


def set_world(sim, opts):
    if opts.inputs is not None:
        sim.set_inputs(opts.inputs)
    for kind, count, arg in opts.fault:
        sim.inject(kind, count, arg)
    if opts.world:
        return
    if opts.distance is None:
        sim.set_distance(DEMO_DISTANCE)
        approach = APPROACH_STEP
    else:
        sim.set_distance(opts.distance)
        approach = 0
    sim.set_approach(approach if opts.approach is None else opts.approach)


def main(argv=None):
    parser = build_parser()
    opts = parse_args(parser, sys.argv[1:] if argv is None else argv)
    check_world_options(parser, opts)
    check_options(parser, opts)
    # Line by line, so the program's prints come out as they are made.
    sys.stdout.reconfigure(line_buffering=True)

    with contextlib.ExitStack() as stack:
        try:
            keep = run_output.start(opts, stack, parser.prog)
            view = open_view(opts, stack, keep)
            trace = None
            if opts.trace != "off":
                trace = TraceOutput.open(opts.trace)
                stack.callback(trace.close)
            echo = trace if view is None else TraceTee(view, trace, "[board] ")
            summary = LessonSummary.prepare(opts, stack, view)
            sim = stack.enter_context(
                BoardSim(
                    echo=echo,
                    prefix="[board] ",
                    world=opts.world,
                    car=opts.car,
                    pose_log=summary.pose_log,
                )
            )
            set_world(sim, opts)
            redirect_camera_zero(opts, stack, sim)
            if view is not None:
                view.readings = SimReadings(sim, opts.world)
        except (OSError, ValueError, BoardSimError) as exc:
            parser.exit(2, f"{parser.prog}: {exc}\n")

        def trail_picture():
            if opts.trail_picture:
                write_trail_picture(sim, opts.trail_picture)

        def before_the_cut():
            trail_picture()
            if keep is not None:
                run_output.save_windows(keep, parser.prog)

        stack.callback(trail_picture)
        deadline = None
        if opts.duration is not None:
            deadline = Deadline(opts.duration, sim, on_cut=before_the_cut)
        with output_to_page(view):
            status = run_program(opts.program, opts.args, sim, trace, deadline)
        summary.ran = True
        if view is not None:
            with contextlib.suppress(OSError, BoardSimError):
                sim.sync_trace()  # the car's last commands (its stop) on the page
            view.program_ended()
        return status


class LessonSummary:
    """At the end of a run: in a world with a line, how the car went along it (laps and their
    times, how far from the line), printed from the run's pose log once the simulator has
    stopped and the log is whole; and the program's end shown on the page, if there is one."""

    def __init__(self, world, pose_log, view):
        self.world = world
        self.pose_log = pose_log
        self.view = view
        self.ran = False  # set once the program has run: no summary after a failed start

    @classmethod
    def prepare(cls, opts, stack, view):
        """The summary to give when `stack` closes (enter it before the simulator, which is to
        close first), with the pose log to ask the simulator for: --pose-log's; with --world
        and no --pose-log, a temporary one."""
        pose_log = opts.pose_log
        if opts.world is not None and pose_log is None:
            # Not a TemporaryDirectory: the program's exit handlers, run before the summary,
            # would remove that.
            folder = tempfile.mkdtemp(prefix="zelk-poses-")
            stack.callback(shutil.rmtree, folder, ignore_errors=True)
            pose_log = os.path.join(folder, "poses.csv")
        summary = cls(opts.world, pose_log, view)
        stack.callback(summary.report)
        return summary

    def line_summary(self):
        """The LineSummary of the run, or None (no world, no line, no run, no pose)."""
        if not self.ran or self.world is None:
            return None
        track = worlds.world_track(self.world)
        if track is None:
            return None
        return worlds.line_summary(track, worlds.read_poses(self.pose_log))

    def report(self):
        try:
            summary = self.line_summary()
        except (OSError, ValueError) as exc:
            print(f"zelk-run-on-sim: no lesson summary: {exc}", file=sys.stderr)
            summary = None
        if summary is not None:
            print(f"zelk-run-on-sim: on the line: {summary.text()}", file=sys.stderr, flush=True)
        if self.view is not None:
            finish_page(self.view, summary)


def write_trail_picture(sim, path):
    import cv2

    try:
        picture = sim.top_view(TRAIL_PICTURE_WIDTH)
    except (OSError, BoardSimError) as exc:
        print(f"zelk-run-on-sim: no trail picture: {exc}", file=sys.stderr)
        return
    if not cv2.imwrite(path, picture):
        print(f"zelk-run-on-sim: cannot write the trail picture {path}", file=sys.stderr)


class Deadline:
    """Ends the program after `seconds` as Ctrl-C would; should it go on regardless, stops the
    car and ends the process after a grace time."""

    def __init__(self, seconds, sim, on_cut):
        self.reached = False
        self._done = False
        self._lock = threading.Lock()
        self._sim = sim
        self._on_cut = on_cut
        self._main = threading.main_thread().ident
        self._timer = threading.Timer(seconds, self._interrupt)
        self._timer.daemon = True

    def __enter__(self):
        let_ctrl_c_through()
        self._timer.start()
        return self

    def __exit__(self, *exc):
        with self._lock:
            self._done = True
            self._timer.cancel()

    def _interrupt(self):
        with self._lock:
            if self._done:
                return
            self.reached = True
            # A signal to the main thread itself, so that a sleep or a key wait there ends at
            # once.
            signal.pthread_kill(self._main, signal.SIGINT)
        self._timer = threading.Timer(GRACE_S, self._cut)
        self._timer.daemon = True
        self._timer.start()

    def _cut(self):
        print(
            f"zelk-run-on-sim: the program did not end within {GRACE_S} s of its time: "
            "stopping the car and ending it",
            file=sys.stderr,
            flush=True,
        )
        with contextlib.suppress(OSError, BoardSimError):
            self._sim.halt()
        self._on_cut()
        os._exit(1)


def run_program(program, args, sim, trace, deadline=None):
    with sim.redirect_serial(sync_trace=trace is not None):
        if trace is not None:
            trace.watch_program_output()
        ending = run_as_main(program, args, during=deadline)
        if deadline is not None and deadline.reached and ending.status == 130:
            ending.status = 0  # ended by --duration, as asked
        if trace is not None:
            # The trace of the program's last commands before anything said about its end.
            with contextlib.suppress(OSError, BoardSimError):
                sim.sync_trace()
            trace.close()
    return ending.report()


if __name__ == "__main__":
    sys.exit(main())
