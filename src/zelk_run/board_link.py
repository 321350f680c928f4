"""Python side of the board simulator: start ``zelk-board-sim``, talk to its control socket,
collect its trace, and point ``serial.Serial("/dev/ttyAMA0")`` at its pseudo-terminal.

    with BoardSim() as sim, sim.redirect_serial():
        car = Car()                      # opens "/dev/ttyAMA0" -> the simulator's pty
        car.car_go(30)
        assert sim.frames()[-1][2:4] == b"\\x01\\x01"
        sim.wait_trace("chassis")

The library under test knows nothing of this: only ``serial.Serial`` is swapped, and only
while ``redirect_serial()`` is active.
"""

import contextlib
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

BOARD_PORT = "/dev/ttyAMA0"
FAULT_KINDS = ("noreply", "badsum", "badheader", "short", "split", "delay", "garbage")


class BoardSimError(RuntimeError):
    """The simulator could not be started or refused a control request."""


def find_binary():
    """Path of zelk-board-sim: $ZELK_BOARD_SIM (a developer build, say), else next to the
    running Python (where the package installs it), else on PATH."""
    env = os.environ.get("ZELK_BOARD_SIM")
    if env:
        if not os.access(env, os.X_OK):
            raise BoardSimError(f"ZELK_BOARD_SIM={env} is not an executable")
        return env
    beside = os.path.join(os.path.dirname(sys.executable), "zelk-board-sim")
    if os.access(beside, os.X_OK):
        return beside
    on_path = shutil.which("zelk-board-sim")
    if on_path:
        return on_path
    raise BoardSimError(
        "zelk-board-sim not found: install the package (pip install .), or set "
        "ZELK_BOARD_SIM to a build of it (scripts/dev-build.sh sim zelk-board-sim stages one "
        "in build/dev-sim/stage/bin)"
    )


def _parse_value(text):
    if "," in text:
        return [int(x) for x in text.split(",")]
    try:
        return int(text)
    except ValueError:
        return float(text)


class BoardSim:
    """A running simulator.

    Attributes: ``port`` (the pty path clients open), ``binary``, ``control_path``.
    ``echo``: a text stream that gets each trace line (prefixed with ``prefix``) as it comes.
    """

    def __init__(
        self,
        binary=None,
        echo=None,
        prefix="",
        start_timeout=10.0,
        world=None,
        car=(),
        pose_log=None,
    ):
        self.binary = binary or find_binary()
        # World mode: the board drives a car in this world file, with these "NAME=VALUE" car
        # constants, logging its pose to this CSV file.
        self.world = world
        self.car = tuple(car)
        self.pose_log = pose_log
        self.echo = echo
        self.prefix = prefix
        self.start_timeout = start_timeout
        self.port = None
        self.control_path = None
        self._proc = None
        self._tmpdir = None
        self._sock = None
        self._sock_buf = b""
        self._sock_lock = threading.Lock()
        self._lines = []
        self._cursor = 0
        self._cond = threading.Condition()
        self._reader = None

    # -- life cycle -------------------------------------------------------------------------

    def start(self):
        self._tmpdir = tempfile.mkdtemp(prefix="zelk-sim-")
        self.control_path = os.path.join(self._tmpdir, "control.sock")
        # Its own session: a Ctrl-C meant for the program under test leaves the board running,
        # so the program's clean-up commands still reach it. Its stdin is a pipe held only
        # here: should this process die without stop(), the simulator sees end of file and exits.
        args = [self.binary, "--control", self.control_path, "--quit-on-eof"]
        if self.world is not None:
            args += ["--world", self.world]
            for setting in self.car:
                args += ["--car", setting]
            if self.pose_log is not None:
                args += ["--pose-log", self.pose_log]
        self._proc = subprocess.Popen(
            args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True
        )
        try:
            first = self._read_first_line()
            if not first.startswith("PTY "):
                raise BoardSimError(f"unexpected first line from simulator: {first!r}")
            self.port = first[4:]
        except BaseException:
            self.stop()
            raise
        self._reader = threading.Thread(
            target=self._read_trace, name="board-sim-trace", daemon=True
        )
        self._reader.start()
        return self

    def _read_first_line(self):
        out = self._proc.stdout
        deadline = time.monotonic() + self.start_timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([out], [], [], left)[0]:
                raise BoardSimError("simulator did not report its pty in time")
            # One byte at a time: what follows the first line belongs to the reader thread.
            b = os.read(out.fileno(), 1)
            if not b:
                raise BoardSimError(
                    f"simulator exited (status {self._proc.wait()}) before starting"
                )
            line += b
        return line.decode().rstrip("\n")

    def _read_trace(self):
        for raw in iter(self._proc.stdout.readline, b""):
            line = raw.decode(errors="replace").rstrip("\n")
            if self.echo is not None:
                try:
                    self.echo.write(f"{self.prefix}{line}\n")
                    self.echo.flush()
                except (ValueError, OSError):
                    pass
            with self._cond:
                self._lines.append(line)
                self._cond.notify_all()

    def stop(self):
        """Asks the simulator to quit (then terminates, then kills it) and cleans up."""
        proc, self._proc = self._proc, None
        if proc is not None:
            if proc.poll() is None:
                try:
                    self.request("quit")
                except (OSError, BoardSimError):
                    proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            if self._reader is not None:
                self._reader.join(timeout=5)
            proc.stdin.close()
            proc.stdout.close()
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        if self._tmpdir is not None:
            shutil.rmtree(self._tmpdir, ignore_errors=True)
            self._tmpdir = None

    def wait(self, timeout=None):
        """Waits for the simulator to exit (after "quit" or a signal); returns its status."""
        return self._proc.wait(timeout)

    def send_signal(self, sig):
        self._proc.send_signal(sig)

    @property
    def returncode(self):
        return None if self._proc is None else self._proc.poll()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- control requests -------------------------------------------------------------------

    def request(self, line):
        """Sends one request line, returns the reply line; raises BoardSimError on 'error'."""
        with self._sock_lock, self._whole_exchange():
            self._send(line)
            reply = self._read_line(line)
        if reply.startswith("error"):
            raise BoardSimError(reply)
        return reply

    @contextlib.contextmanager
    def _whole_exchange(self):
        """An exchange cut short (a KeyboardInterrupt between request and reply) leaves its
        reply unread: the next request would take it for its own. Start afresh instead."""
        try:
            yield
        except BaseException:
            if self._sock is not None:
                self._sock.close()
            self._sock, self._sock_buf = None, b""
            raise

    def _send(self, line):
        if self._sock is None:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.settimeout(5.0)
            s.connect(self.control_path)
            self._sock = s
        self._sock.sendall(line.encode() + b"\n")

    def _read_line(self, request):
        while b"\n" not in self._sock_buf:
            self._receive(request)
        reply, self._sock_buf = self._sock_buf.split(b"\n", 1)
        return reply.decode()

    def _receive(self, request):
        chunk = self._sock.recv(1 << 20)
        if not chunk:
            raise BoardSimError(f"simulator closed the control socket after {request!r}")
        self._sock_buf += chunk

    def picture(self, line):
        """Sends a request that answers with a picture ("camera", "topview [WIDTH]") and
        returns it as a BGR uint8 array of its own."""
        import numpy as np

        with self._sock_lock, self._whole_exchange():
            self._send(line)
            header = self._read_line(line)
            if header.startswith("error"):
                raise BoardSimError(header)
            _, width, height, size = header.split()
            width, height, size = int(width), int(height), int(size)
            while len(self._sock_buf) < size + 1:
                self._receive(line)
            data, self._sock_buf = self._sock_buf[:size], self._sock_buf[size + 1 :]
        return np.frombuffer(data, np.uint8).reshape(height, width, 3).copy()

    def ping(self):
        return self.request("ping") == "pong"

    def set_inputs(self, levels):
        """Input levels the board reports from now on (bit n = input n)."""
        self.request(f"inputs {int(levels)}")

    def set_distance(self, distance):
        """Ultrasonic distance the board reports from now on (0..65535)."""
        self.request(f"distance {int(distance)}")

    def set_approach(self, step):
        """While the car drives forward, each distance reading finds the obstacle `step`
        closer (0: the distance changes only when set)."""
        self.request(f"approach {int(step)}")

    def inject(self, kind, count=1, arg=None):
        """The next `count` replies get fault `kind` (queued after faults already pending):
        noreply, badsum, badheader, short [length, default 4], split [gap ms, default 100],
        delay [ms, default 200], garbage [extra bytes, default 6]."""
        words = ["fault", kind, str(int(count))]
        if arg is not None:
            words.append(str(int(arg)))
        self.request(" ".join(words))

    def clear_faults(self):
        self.request("fault clear")

    def frames(self):
        """Valid command frames received since the last clear(), oldest first, as bytes."""
        words = self.request("frames").split()
        return [bytes.fromhex(w) for w in words[2:]]

    def clear(self):
        """Forgets the recorded command frames."""
        self.request("clear")

    def reset(self):
        """Board state, faults, recorded frames and command counters as at start."""
        self.request("reset")

    def state(self):
        """Board state and counters as a dict (ints; pwm_duty a list; motor_speed may be a
        float)."""
        words = self.request("state").split()[1:]
        return {k: _parse_value(v) for k, v in (w.split("=", 1) for w in words)}

    # -- the world (a simulator started with world=...) ------------------------------------

    def world_info(self):
        """The world's size_cm ([width, height]), its name and the car's constants (floats,
        e.g. camera_fps)."""
        words = self.request("world")[len("world ") :]
        head, name = words.split(" name=", 1)
        info = {k: float(v) for k, v in (w.split("=", 1) for w in head.split()) if k != "size_cm"}
        info["size_cm"] = [float(v) for v in head.split()[0].split("=")[1].split(",")]
        info["name"] = name
        return info

    def pose(self):
        """The car's pose and sensors: t_s, x_cm, y_cm, heading_deg (floats), distance_cm,
        line_sensors (bit i: sensor i from the left sees the line), blocked (0/1)."""
        words = self.request("pose").split()[1:]
        return {k: _parse_value(v) for k, v in (w.split("=", 1) for w in words)}

    def place(self, x_cm, y_cm, heading_deg):
        self.request(f"place {float(x_cm)!r} {float(y_cm)!r} {float(heading_deg)!r}")

    def halt(self):
        """Chassis speeds 0 and line tracking off, whatever the program sent last."""
        self.request("halt")

    def camera_picture(self):
        """What camera 0 sees now: 480 x 640 BGR."""
        return self.picture("camera")

    def top_view(self, width=480):
        """The world from above with the car and its trail, `width` px wide, BGR."""
        return self.picture(f"topview {int(width)}")

    # -- trace ------------------------------------------------------------------------------

    @property
    def trace(self):
        """All trace lines read so far (the PTY line excluded)."""
        with self._cond:
            return list(self._lines)

    def wait_trace(self, text, timeout=2.0):
        """Waits for a trace line containing `text` that comes after the line the previous
        wait_trace() returned, and returns it. Raises AssertionError on time-out."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(self._cursor, len(self._lines)):
                    if text in self._lines[i]:
                        self._cursor = i + 1
                        return self._lines[i]
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(
                        f"no trace line with {text!r}; lines since last match: "
                        f"{self._lines[self._cursor :]}"
                    )
                self._cond.wait(left)

    def sync_trace(self, timeout=1.0):
        """Waits until every line the simulator has printed so far has been read here (and
        echoed), so the trace of a command shows before what the program prints next."""
        want = self.state()["traces"]
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self._lines) < want:
                left = deadline - time.monotonic()
                if left <= 0:
                    return
                self._cond.wait(left)

    # -- serial redirection -----------------------------------------------------------------

    @contextlib.contextmanager
    def redirect_serial(self, sync_trace=False):
        """While active, ``serial.Serial`` opens this simulator's pty when asked for
        /dev/ttyAMA0 (in the constructor or by setting ``.port``); any other port and all other
        arguments pass through. With sync_trace, each read() waits for the trace to catch up.
        The original class is restored on exit."""
        import serial

        real = serial.Serial
        pty = self.port
        sim = self

        def set_port(obj, port):
            real.port.fset(obj, pty if port == BOARD_PORT else port)

        attrs = {"port": property(real.port.fget, set_port, doc=real.port.__doc__)}
        if sync_trace:

            def read(obj, size=1):
                data = real.read(obj, size)
                sim.sync_trace()
                return data

            attrs["read"] = read
        serial.Serial = type("Serial", (real,), attrs)
        try:
            yield self
        finally:
            serial.Serial = real
