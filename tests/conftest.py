import os
import sys

import pytest
from layout import REPO

from zelk_run.board_link import BoardSim
from zelk_run.program_runner import let_ctrl_c_through

# The tests' own native module, zelk_test_hooks: built there by scripts/test.sh, never installed.
sys.path.insert(0, os.environ.get("ZELK_TEST_HOOKS", os.path.join(REPO, "build", "test-hooks")))


def pytest_configure(config):
    import control_zelk

    # The tests are about the built package; the source folder holds C++ only.
    src = os.path.join(REPO, "control_zelk")
    if os.path.dirname(os.path.abspath(control_zelk.__file__)) == src:
        pytest.exit("control_zelk was imported from the source tree, not the installed package")
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    # Many tests end programs with Ctrl-C (SIGINT). Started as a shell's background job, the
    # suite would ignore it, and so would every program it starts.
    let_ctrl_c_through()


@pytest.fixture
def sim():
    """A fresh, running board simulator (a ``zelk_run.board_link.BoardSim``, see ``board``),
    reached through its own pty, ``sim.port``: nothing is redirected."""
    with BoardSim() as s:
        yield s


@pytest.fixture
def board():
    """A fresh, running board simulator with ``serial.Serial`` redirected to it: anything that
    opens "/dev/ttyAMA0" during the test talks to the simulator.

    Yields a ``zelk_run.board_link.BoardSim``:

    - ``board.frames()`` -> list of ``bytes``: valid 14-byte command frames received since the
      start or the last ``board.clear()``, oldest first (frames with a bad header, length or
      checksum are not listed; they show in the trace and in ``state()["bad_frames"]``).
    - ``board.clear()``: forget the recorded frames.
    - ``board.set_inputs(levels)``: input levels reported from now on (bit n = input n),
      in byte 4 of every reply.
    - ``board.set_distance(d)``: ultrasonic distance reported from now on, in bytes 5-6.
    - ``board.inject(kind, count=1, arg=None)``: the next ``count`` replies get a fault:
      "noreply", "badsum", "badheader", "short" (arg: length, default 4), "split" (arg: gap
      in ms, default 100), "delay" (arg: ms, default 200), "garbage" (arg: extra bytes written
      after the reply, default 6). Faults queue up in the order injected.
      ``board.clear_faults()`` drops the unused ones.
    - ``board.state()`` -> dict: speed_s, speed_l, speed_h, outputs, inputs, pwm_freq,
      pwm_duty (list of 4), motor_id, motor_mode, motor_speed (sent value / 60),
      motor_speed_raw, motor_pulse, servo_id, servo_duty, line_start, line_speed, distance,
      ultrasonic_id, and counters commands, bad_frames, skipped_bytes, replies,
      faults_pending, traces.
    - ``board.wait_trace(text, timeout=2.0)`` -> the next trace line containing ``text``
      (e.g. "chassis speed_s=30 speed_l=0 speed_h=0"); ``board.trace`` -> all lines so far.
    - ``board.port``: the pty path that stands in for /dev/ttyAMA0.

    Mind the fault time-outs: a "noreply" or a long "delay" makes a host waiting the full 5 s
    read time-out take that long.
    """
    with BoardSim() as sim, sim.redirect_serial():
        yield sim
