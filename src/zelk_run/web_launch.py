"""The web page's side of the launchers: its options, starting the page, and capturing the
program's windows for it (or, headless, into nothing)."""

import argparse
import errno
import os
import socket
import sys

from .program_runner import after_import, let_ctrl_c_through
from .web_view import WebView, machine_addresses

DEFAULT_PORT = 8765


def port_number(text):
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"N must be a port number, 0..65535, not {text!r}")
    return port


def add_options(group, switches):
    """--port and --listen-all; with `switches`, also --web and --headless (the car's launcher
    always serves the page)."""
    if switches:
        group.add_argument(
            "--web", action="store_true",
            help="serve a page that shows the program's windows, the board's trace and the "
            "sensor values, with a stop button; keys typed there reach cv2.waitKey",
        )
        group.add_argument(
            "--headless", action="store_true",
            help="no window and no page: what the program shows goes nowhere, so it runs "
            "without a display; cv2.waitKey(0) returns -1 at once",
        )
    group.add_argument(
        "--port", metavar="N", type=port_number,
        help=f"the page's port (default {DEFAULT_PORT}; 0: any free port)",
    )
    group.add_argument(
        "--listen-all", action="store_true",
        help="serve the page to other machines too (to watch a car over the network); "
        "by default only this machine's browsers see it",
    )


def check_options(parser, opts):
    """Refuses the page's options where no page is served."""
    if opts.headless and opts.web:
        parser.error("--headless shows no page: leave out --web or --headless")
    if not opts.web and (opts.port is not None or opts.listen_all):
        parser.error("--port and --listen-all are the page's: add --web")


def has_display():
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def open_view(opts, stack, keep=None):
    """Starts the page (when asked: the car's launcher, without --web, always serves it) and
    captures the program's windows once it imports cv2, for as long as `stack` is open (their
    pictures also to `keep`, if given). Returns the WebView (its world still to be set), or
    None."""
    view = None
    if getattr(opts, "web", True):
        host = "0.0.0.0" if opts.listen_all else "127.0.0.1"
        try:
            port = DEFAULT_PORT if opts.port is None else opts.port
            view = WebView(host, port).start()
        except OSError as exc:
            if exc.errno == errno.EADDRINUSE:
                raise OSError(f"port {port} is taken (--port 0 takes any free one)") from None
            raise
        stack.callback(view.close)
        let_ctrl_c_through()  # the stop button interrupts the program as Ctrl-C does
        print(f"web view: {view.url}", file=sys.stderr, flush=True)
        if opts.listen_all:
            # The token is in each address: whoever has one of them sees the page.
            others = [view.url_at(host)
                      for host in (socket.gethostname(), *machine_addresses())]
            print("  from other machines: " + "\n                   or: ".join(others),
                  file=sys.stderr, flush=True)
    headless = getattr(opts, "headless", False)
    if view is None and not headless and keep is None:
        return None
    show = not headless and (view is None or has_display())

    def capture(_cv2):
        from .window_capture import capture_windows  # imports cv2: only once the program has

        stack.enter_context(capture_windows(show=show, sink=view, keep=keep))

    stack.enter_context(after_import("cv2", capture))
    return view


class TraceTee:
    """A text stream for BoardSim(echo=...): each trace line goes to the page (without
    `prefix`) and on to `stream`, if any."""

    def __init__(self, view, stream, prefix=""):
        self.view = view
        self.stream = stream
        self.prefix = prefix

    def write(self, text):
        for line in text.splitlines():
            self.view.add_trace(line.removeprefix(self.prefix))
        if self.stream is not None:
            self.stream.write(text)
        return len(text)

    def flush(self):
        if self.stream is not None:
            self.stream.flush()
