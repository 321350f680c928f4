"""Hands what a program shows in its OpenCV windows to a sink (the web view), and lets the
sink's keys come out of the program's key waits.

    with capture_windows(show=False, sink=view, keep=last_pictures):
        run the program

While active, cv2.imshow, the key waits and the window functions of the cv2 module are
replaced. control_zelk's modules look them up on the cv2 module at every call, so the
library's windows go through the replacements as the program's own do.

A sink has three methods, called from the program's thread:
    show_window(name, picture)   picture: a uint8 array of its own, grey (h, w) or BGR (h, w, 3)
    close_window(name)           name None: all of them
    next_key(timeout)            a key code typed since, waiting up to timeout s (None: for
                                 ever) for one; -1 when none came

show=False: no real window is ever opened (a program runs without a display): the window
functions only check their arguments, waitKey(delay) waits for the sink's keys or sleeps.
show=True: the real functions run too, and a key from the sink ends a key wait as a key
typed in a window would.
keep, if given, also gets show_window(name, picture) for every picture shown (no keys).
Arguments OpenCV would refuse are handed to the real function, so that the error raised is
OpenCV's own.
"""

import contextlib
import functools
import inspect
import numbers
import time

import cv2
import numpy as np

# While a real key wait also listens for the sink's keys, it lets the real windows handle
# their events at least this often (ms).
PUMP_MS = 20

_REPLACED_ALWAYS = (
    "imshow",
    "waitKey",
    "waitKeyEx",
    "pollKey",
    "namedWindow",
    "destroyWindow",
    "destroyAllWindows",
)
# Without real windows these would fail for want of one: they only check their arguments.
_REPLACED_WITHOUT_WINDOWS = ("resizeWindow", "moveWindow", "setWindowTitle", "setMouseCallback")


def _is_int(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _is_name(value):
    return value is None or isinstance(value, str)  # OpenCV takes None for ""


def _is_delay(value):
    return value is None or _is_int(value)


# imshow's scale to 0..255 for each element type it takes: 16- and 32-bit integers are divided
# by 256, floats multiplied by 255, then all saturated.
_SCALES = {
    np.dtype(t): scale
    for t, scale in [
        (np.uint8, 1),
        (np.int8, 1),
        (np.uint16, 1 / 256),
        (np.int16, 1 / 256),
        (np.int32, 1 / 256),
        (np.int64, 1 / 256),
        (np.float32, 255),
        (np.float64, 255),
    ]
}


def shows(picture):
    """Whether imshow shows `picture`, an array."""
    if isinstance(picture, cv2.UMat):
        picture = picture.get()
    return (
        isinstance(picture, np.ndarray)
        and picture.dtype in _SCALES
        and picture.size > 0
        and (picture.ndim == 2 or picture.ndim == 3 and picture.shape[2] in (1, 3, 4))
    )


def displayable(picture):
    """A new uint8 array, grey or BGR, that looks as cv2.imshow shows `picture`; None when it
    is not an array of a kind imshow takes (cv2.imshow then has the say)."""
    if isinstance(picture, cv2.UMat):
        picture = picture.get()
    if (
        not isinstance(picture, np.ndarray)
        or picture.dtype not in _SCALES
        or picture.ndim not in (2, 3)
        or picture.size == 0
    ):
        return None
    channels = 1 if picture.ndim == 2 else picture.shape[2]
    if channels == 1:
        picture = picture.reshape(picture.shape[:2])
    elif channels == 4:
        picture = picture[:, :, :3]  # imshow leaves alpha out
    elif channels != 3:
        # imshow hands the window BGR turned RGB by cvtColor, which fails here: the same
        # error, OpenCV's own.
        cv2.cvtColor(picture, cv2.COLOR_BGR2RGB)
    if picture.dtype == np.uint8:
        return np.array(picture)  # a copy: the program may draw on its own next
    return np.clip(np.rint(picture * _SCALES[picture.dtype]), 0, 255).astype(np.uint8)


def _checked(real, replacement):
    """`replacement` for calls that bind to its parameters; other calls go to `real`, which
    raises OpenCV's own error about them."""
    signature = inspect.signature(replacement)

    @functools.wraps(real)
    def call(*args, **kwargs):
        try:
            bound = signature.bind(*args, **kwargs)
        except TypeError:
            return real(*args, **kwargs)
        return replacement(*bound.args, **bound.kwargs)

    return call


class _Replacements:
    """The replacement functions; `real` holds the originals they stand in for."""

    def __init__(self, real, show, sink, keep):
        self.real = real
        self.show = show
        self.sink = sink
        self.keep = keep

    def imshow(self, winname, mat):
        if self.show:
            self.real["imshow"](winname, mat)
        elif not (_is_name(winname) and shows(mat)):
            if _is_name(winname):
                displayable(mat)  # raises imshow's error about the channels, if that is it
            self.real["imshow"](winname, mat)  # raises OpenCV's error about the others
        takers = [taker for taker in (self.sink, self.keep) if taker is not None]
        picture = displayable(mat) if takers and _is_name(winname) else None
        if picture is not None:
            for taker in takers:
                taker.show_window(winname or "", picture)

    def _wait(self, name, delay):
        real = self.real[name]
        if not _is_delay(delay):
            return real(delay)
        delay = delay or 0
        if self.sink is None:
            if self.show:
                return real(delay)
            if delay > 0:
                time.sleep(delay / 1000)
            return -1
        if not self.show:
            return self.sink.next_key(delay / 1000 if delay > 0 else None)
        return self._wait_both(real, delay)

    def _wait_both(self, real, delay):
        """A real key wait that also ends on a key from the sink; the real windows are kept
        drawn and answering all the while."""
        deadline = time.monotonic() + delay / 1000 if delay > 0 else None
        while True:
            key = real(1)
            if key != -1:
                return key
            left = PUMP_MS / 1000 if deadline is None else deadline - time.monotonic()
            key = self.sink.next_key(max(0, min(left, PUMP_MS / 1000)))
            if key != -1 or (deadline is not None and time.monotonic() >= deadline):
                return key

    def waitKey(self, delay=0):
        return self._wait("waitKey", delay)

    def waitKeyEx(self, delay=0):
        return self._wait("waitKeyEx", delay)

    def pollKey(self):
        if self.show:
            key = self.real["pollKey"]()
            if key != -1:
                return key
        return -1 if self.sink is None else self.sink.next_key(0)

    def namedWindow(self, winname, flags=None):
        if self.show or not _is_name(winname) or not (flags is None or _is_int(flags)):
            self.real["namedWindow"](winname, *([] if flags is None else [flags]))

    def destroyWindow(self, winname):
        if self.show or not _is_name(winname):
            self.real["destroyWindow"](winname)
        if self.sink is not None:
            self.sink.close_window(winname or "")

    def destroyAllWindows(self):
        if self.show:
            self.real["destroyAllWindows"]()
        if self.sink is not None:
            self.sink.close_window(None)

    # Without real windows, these do nothing with arguments OpenCV takes.

    def resizeWindow(self, winname, *size):
        if not (_is_name(winname) and _is_size(size)):
            self.real["resizeWindow"](winname, *size)

    def moveWindow(self, winname, x, y):
        if not (_is_name(winname) and _is_int(x) and _is_int(y)):
            self.real["moveWindow"](winname, x, y)

    def setWindowTitle(self, winname, title):
        if not (_is_name(winname) and _is_name(title)):
            self.real["setWindowTitle"](winname, title)

    def setMouseCallback(self, windowName, onMouse, param=None):
        if not (_is_name(windowName) and callable(onMouse)):
            self.real["setMouseCallback"](windowName, onMouse, param)


def _is_size(size):
    """(width, height) or ((width, height),)."""
    if len(size) == 1 and isinstance(size[0], (tuple, list)):
        size = size[0]
    return len(size) == 2 and all(map(_is_int, size))


@contextlib.contextmanager
def capture_windows(show=True, sink=None, keep=None):
    """While the block runs, the program's windows go to `sink` (also to the screen if
    `show`, and their pictures to `keep`), and the sink's keys reach its key waits. The cv2
    functions are restored after."""
    names = _REPLACED_ALWAYS + (() if show else _REPLACED_WITHOUT_WINDOWS)
    real = {name: getattr(cv2, name) for name in names}
    replacements = _Replacements(real, show, sink, keep)
    for name in names:
        setattr(cv2, name, _checked(real[name], getattr(replacements, name)))
    try:
        yield
    finally:
        for name, function in real.items():
            setattr(cv2, name, function)
