"""Runs one program of examples/ for tests/test_examples.py, as the PROGRAM of zelk-run-on-sim:

    zelk-run-on-sim [OPTIONS] tests/run_example.py EXAMPLE.py

EXAMPLE.py then runs as __main__ exactly as zelk-run-on-sim would run it, with what the car has
and the simulator lacks put in place first, as the environment asks:

- ZELK_KIT=DIR: the kit folder. optik's and optik1's model_path and d_path (on the car
  /home/pi/class/model/ and /home/pi/class/camera_pos/) become DIR/model/ and DIR/camera_pos/.
  With it the program counts as a vision program, and gets the next three as well.
- Windows: the names of the windows the program shows are written to stderr when it ends, as
  one line "[example] windows: NAME NAME ...", in the order first shown.
- ZELK_CLICKS="X,Y X,Y ...": someone at the screen. A wait for a key with no time limit
  (the library's colour picking) left-clicks these pixels of the window that has a mouse
  callback, then closes all windows, which ends the wait. Without ZELK_CLICKS such a wait
  raises RuntimeError: nobody would ever press the key.
- ZELK_CAMERA_READS=N: the camera's cable comes loose: camera 0 delivers N pictures, then
  none (every read fails, as cv2.VideoCapture's does).
- ZELK_QUIT_AFTER=N: someone presses q at the N-th wait for a key with a time limit (the
  wait after the N-th picture of a program that shows its pictures until q).
"""

import os
import runpy
import sys


def use_kit(kit):
    from control_zelk import optik, optik1

    for module in (optik, optik1):
        module.model_path = os.path.join(kit, "model", "")
        module.d_path = os.path.join(kit, "camera_pos", "")


def record_windows(cv2, shown):
    real_imshow = cv2.imshow

    def imshow(name, image):
        if name not in shown:
            shown.append(name)
        return real_imshow(name, image)

    cv2.imshow = imshow


def play_clicks(cv2, clicks):
    """cv2.waitKey with no time limit becomes a learner clicking `clicks` then closing the
    windows; any other wait is left alone."""
    real_set_callback, real_wait_key = cv2.setMouseCallback, cv2.waitKey
    callbacks = {}

    def set_mouse_callback(name, callback, param=None):
        callbacks[name] = (callback, param)
        return real_set_callback(name, callback, param)

    def wait_key(delay=0):
        if delay > 0:
            return real_wait_key(delay)
        if not clicks or not callbacks:
            raise RuntimeError("the program waits for a key with no time limit")
        real_wait_key(1)  # the windows appear
        for callback, param in callbacks.values():
            for x, y in clicks:
                callback(cv2.EVENT_LBUTTONDOWN, x, y, 0, param)
                callback(cv2.EVENT_LBUTTONUP, x, y, 0, param)
        callbacks.clear()
        cv2.destroyAllWindows()
        return real_wait_key(0)  # with no window left, it returns at once

    cv2.setMouseCallback = set_mouse_callback
    cv2.waitKey = wait_key


def press_q_after(cv2, waits):
    """The `waits`-th cv2.waitKey(delay > 0) returns the key q; the others are left alone."""
    wait_key = cv2.waitKey
    count = [0]

    def waiting(delay=0):
        if delay > 0:
            count[0] += 1
            if count[0] == waits:
                wait_key(delay)
                return ord("q")
        return wait_key(delay)

    cv2.waitKey = waiting


class LooseCable:
    """Camera 0 whose first `reads` reads deliver and every later one fails."""

    def __init__(self, camera, reads):
        self._camera = camera
        self._left = reads

    def __getattr__(self, name):
        return getattr(self._camera, name)

    def read(self, image=None):
        if self._left <= 0:
            return False, None
        self._left -= 1
        return self._camera.read(image)


def loosen_camera_cable(cv2, reads):
    open_camera = cv2.VideoCapture  # the launcher's camera 0 stand-in is already in place

    def video_capture(*args, **kwargs):
        camera = open_camera(*args, **kwargs)
        if args[:1] == (0,):
            camera = LooseCable(camera, reads)
        return camera

    cv2.VideoCapture = video_capture


def main():
    example = os.path.abspath(sys.argv[1])
    shown = []
    if "ZELK_KIT" in os.environ:
        import cv2

        use_kit(os.environ["ZELK_KIT"])
        record_windows(cv2, shown)
        clicks = [
            tuple(int(v) for v in xy.split(",")) for xy in os.environ.get("ZELK_CLICKS", "").split()
        ]
        play_clicks(cv2, clicks)
        if "ZELK_CAMERA_READS" in os.environ:
            loosen_camera_cable(cv2, int(os.environ["ZELK_CAMERA_READS"]))
        if "ZELK_QUIT_AFTER" in os.environ:
            press_q_after(cv2, int(os.environ["ZELK_QUIT_AFTER"]))

    sys.argv = [example] + sys.argv[2:]
    sys.path[0] = os.path.dirname(example)
    try:
        runpy.run_path(example, run_name="__main__")
    finally:
        if "ZELK_KIT" in os.environ:
            print("[example] windows:", *shown, file=sys.stderr, flush=True)


main()
