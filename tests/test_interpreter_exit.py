"""A program ends cleanly while other threads of it are busy in the vision modules.

A learner's program may analyse camera pictures in a daemon thread: when the main thread
ends, the interpreter finalises while that thread is inside a native method with the GIL
released. CPython (before 3.14) ends such a thread as soon as it asks for the GIL back, which
in C++ code used to abort the whole process ("terminate called without an active exception",
status -6) after the program had printed everything and finished normally.
"""

import subprocess
import sys
import textwrap

import pytest

# Daemon threads loop over methods that release the GIL around their OpenCV work, beside one
# that only runs Python; the main thread ends while they run. Each run used to abort nearly
# every time.
BUSY_THREADS = textwrap.dedent("""
    import sys, threading, time
    import numpy as np
    from control_zelk import optik, optik1

    rng = np.random.default_rng(1)
    frame = rng.integers(0, 255, (480, 640, 3), dtype=np.uint8)

    def colour():
        tracker = optik.color_detect("green")
        while True:
            tracker.detect(frame)

    def lines():
        while True:
            img = optik1.Img(frame)
            img.line_angle2()
            img.dotted_line2()

    def python():  # keeps the GIL in demand: the other threads often wait for it
        while True:
            sum(range(1000))

    for work in (colour, lines, python):
        threading.Thread(target=work, daemon=True).start()
    time.sleep(float(sys.argv[1]))
    print("main thread done")
""")


@pytest.mark.parametrize("seconds", ["0.1", "0.3", "0.5", "0.7", "0.9"])
def test_program_ends_while_daemon_threads_are_in_native_code(seconds):
    r = subprocess.run(
        [sys.executable, "-c", BUSY_THREADS, seconds], capture_output=True, text=True, timeout=60
    )
    assert (r.returncode, r.stdout, r.stderr) == (0, "main thread done\n", "")
