"""The web page's side of the launchers: its options, starting the page, capturing the
program's windows and output for it (or, headless, the windows into nothing), the readings it
shows, and the end of the program on it.

READINGS: what the page shows of the car, a dict of JSON values from `status()`. Each key is
there only where it is known:

    ultrasonic_cm        what the ultrasonic sensor reads, in cm (on the car: in the board's
                         last reply, so only once the program has read a sensor)
    inputs               the input levels, bit n = input n (on the car: as `ultrasonic_cm`)
    speed_s, speed_l, speed_h
                         the chassis speeds last sent: straight, sideways, turning (simulator)
    outputs              the output levels, bit n = output n (simulator)
    pwm_freq, pwm_duty   the PWM frequency as sent, and the duties of channels 0-3 in % (simulator)
    servo_duty           the servo's position, 0..100 (simulator)
    motor_speed          the DC motor's speed as the program gave it, negative backwards
                         (simulator)
    t_s, x_cm, y_cm, heading_deg
                         the car's pose in its world: simulated time in s, place in cm,
                         heading in degrees counter-clockwise from +x (--world)
    line_sensors, line_sensor_count
                         bit i: the line sensor i from the left sees the line; how many
                         there are (--world)
    blocked              1 while a wall or an obstacle holds the car, else 0 (--world)

With a world, `top_view()` gives the world from above (BGR), the car's trail on it.
"""

import argparse
import contextlib
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
            "--web",
            action="store_true",
            help="serve a page that shows the program's windows, the board's trace and the "
            "sensor values, with a stop button; keys typed there reach cv2.waitKey",
        )
        group.add_argument(
            "--headless",
            action="store_true",
            help="no window and no page: what the program shows goes nowhere, so it runs "
            "without a display; cv2.waitKey(0) returns -1 at once",
        )
    group.add_argument(
        "--port",
        metavar="N",
        type=port_number,
        help=f"the page's port (default {DEFAULT_PORT}; 0: any free port)",
    )
    group.add_argument(
        "--listen-all",
        action="store_true",
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
    pictures also to `keep`, if given). Returns the WebView (its readings still to be set), or
    None."""
    view = None
    if getattr(opts, "web", True):
        host = "0.0.0.0" if opts.listen_all else "127.0.0.1"
        try:
            port = DEFAULT_PORT if opts.port is None else opts.port
            view = WebView(host, port, program=os.path.basename(opts.program)).start()
        except OSError as exc:
            if exc.errno == errno.EADDRINUSE:
                raise OSError(f"port {port} is taken (--port 0 takes any free one)") from None
            raise
        stack.callback(view.close)
        let_ctrl_c_through()  # the stop button interrupts the program as Ctrl-C does
        print(f"web view: {view.url}", file=sys.stderr, flush=True)
        if opts.listen_all:
            # The token is in each address: whoever has one of them sees the page.
            others = [view.url_at(host) for host in (socket.gethostname(), *machine_addresses())]
            print(
                "  from other machines: " + "\n                   or: ".join(others),
                file=sys.stderr,
                flush=True,
            )
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


class _OutputTee:
    """Takes the place of sys.stdout or sys.stderr: hands everything to the real stream, and
    to the page."""

    def __init__(self, stream, view, error):
        self._stream = stream
        self._view = view
        self._error = error

    def write(self, text):
        written = self._stream.write(text)
        self._view.add_output(text, self._error)
        return written

    def writelines(self, lines):
        for line in lines:
            self.write(line)

    def __getattr__(self, name):
        return getattr(self._stream, name)


@contextlib.contextmanager
def output_to_page(view):
    """While active, what the program prints (its errors too) also goes to the page, if any.
    The board's trace, written on the streams as they were before, does not."""
    if view is None:
        yield
        return
    real = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = _OutputTee(real[0], view, False), _OutputTee(real[1], view, True)
    try:
        yield
    finally:
        sys.stdout, sys.stderr = real


class SimReadings:
    """READINGS of the board simulator (and of its world, if it has one)."""

    BOARD = (
        "speed_s",
        "speed_l",
        "speed_h",
        "outputs",
        "inputs",
        "pwm_freq",
        "pwm_duty",
        "servo_duty",
        "motor_speed",
    )

    def __init__(self, sim, world):
        self.sim = sim
        self.world = world
        if world:
            self.line_sensor_count = int(sim.world_info()["line_sensor_count"])
            self.top_view = sim.top_view

    def status(self):
        state = self.sim.state()
        readings = {key: state[key] for key in self.BOARD}
        if not self.world:
            return {"ultrasonic_cm": state["distance"], **readings}
        pose = self.sim.pose()
        # The board reports the distance of its last reply; the pose the sensor's reading now.
        return {
            "ultrasonic_cm": pose.pop("distance_cm"),
            **readings,
            **pose,
            "line_sensor_count": self.line_sensor_count,
        }


class TapReadings:
    """READINGS on the car: those of the board's last reply."""

    def __init__(self, tap):
        self.tap = tap

    def status(self):
        readings = self.tap.status()
        if "distance" in readings:
            readings["ultrasonic_cm"] = readings.pop("distance")
        return readings


def finish_page(view, summary=None):
    """Shows the program's end on the page, with the lesson summary (a LineSummary) of a run in
    a world with a line."""
    if summary is not None:
        summary = {
            "lap_times_s": summary.lap_times_s,
            "mean_distance_cm": summary.mean_distance_cm,
            "largest_distance_cm": summary.largest_distance_cm,
            "largest_at_s": summary.largest_at_s,
        }
    view.finish(summary)
