"""Runs a learner's program on the car, unchanged, and serves a web page that shows it.

    zelk-run-on-car [OPTIONS] PROGRAM.py [ARGS...]   (or: python -m zelk_run.on_car)

The program runs as __main__ in this process on the real board and camera. The page (its
address is printed on stderr first) shows the program's windows, each command it sends the
board and each reply, the last sensor readings, and has a stop button; keys typed there reach
cv2.waitKey. Without a display (DISPLAY unset: over ssh, say) the windows are on the page
only. Exits with the program's status.
"""

import argparse
import contextlib
import sys

from . import run_output
from .board_tap import BOARD_PORT, BoardTap
from .program_runner import parse_args, run_as_main
from .web_launch import TapReadings, add_options, finish_page, open_view, output_to_page


def build_parser():
    parser = argparse.ArgumentParser(
        prog="zelk-run-on-car",
        usage="%(prog)s [OPTIONS] PROGRAM.py [ARGS...]",
        description="Runs a car program on the car, with a web page that shows its windows "
        "and what goes to and from the board, and stops it.",
        epilog="Options go before PROGRAM.py; everything after it is the program's "
        "sys.argv[1:]. Exit status: the program's (130 after Stop or Ctrl-C); 2 when it "
        "cannot be started.",
        allow_abbrev=False,
    )
    parser.add_argument("program", metavar="PROGRAM.py", help="the car program to run")
    parser.add_argument("args", metavar="ARGS", nargs="*", help="the program's own arguments")
    add_options(parser.add_argument_group("the web page"), switches=False)
    parser.add_argument(
        "--board-port",
        metavar="DEVICE",
        default=BOARD_PORT,
        help=f"the serial device the board answers on (default {BOARD_PORT}); the program "
        f"still opens {BOARD_PORT}",
    )
    run_output.add_options(parser.add_argument_group("output"))
    return parser


def main(argv=None):
    parser = build_parser()
    opts = parse_args(parser, sys.argv[1:] if argv is None else argv)
    sys.stdout.reconfigure(line_buffering=True)  # the program's prints as they are made
    with contextlib.ExitStack() as stack:
        try:
            keep = run_output.start(opts, stack, parser.prog)
            view = open_view(opts, stack, keep)
        except OSError as exc:
            parser.exit(2, f"{parser.prog}: {exc}\n")
        tap = BoardTap(view.add_trace, opts.board_port)
        view.readings = TapReadings(tap)
        with tap.redirect_serial(), output_to_page(view):
            status = run_as_main(opts.program, opts.args).report()
        view.program_ended()
        finish_page(view)
    return status


if __name__ == "__main__":
    sys.exit(main())
