"""A stand-in for the car's camera when running learner programs without the car.

make_track_video() writes a short video of what the car's camera would see on a practice
mat: a dark line curving across a bright floor and a green ball rolling by.
redirect_camera() makes cv2.VideoCapture(0) (the first camera) a stand-in that, like a real
camera, never runs out of pictures: a video file played in a loop (LoopingVideo) or one
picture served on every read (StillPicture). Every other source passes through unchanged.
The library knows nothing of this: it opens its cameras through the cv2 module, whose
VideoCapture is what gets replaced.
"""

import contextlib
import math
import time

import cv2
import numpy as np

WIDTH, HEIGHT = 640, 480


def track_frame(i, count):
    """Frame i of count: the line's middle sways left and right, the ball crosses."""
    frame = np.full((HEIGHT, WIDTH, 3), (200, 205, 210), np.uint8)
    sway = int(120 * math.sin(2 * math.pi * i / count))
    top, bottom = (WIDTH // 2 + sway + 60, 0), (WIDTH // 2 + sway - 40, HEIGHT - 1)
    cv2.line(frame, top, bottom, (30, 30, 30), 40)
    ball_x = 80 + (WIDTH - 160) * i // max(count - 1, 1)
    cv2.circle(frame, (ball_x, 120), 45, (40, 170, 40), -1)
    return frame


def make_track_video(path, count=80, fps=10):
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), fps, (WIDTH, HEIGHT))
    if not writer.isOpened():
        raise RuntimeError(f"cannot write the stand-in camera video {path}")
    for i in range(count):
        writer.write(track_frame(i, count))
    writer.release()
    return path


# The class the stand-ins wrap; kept here because cv2.VideoCapture itself is replaced while
# redirect_camera() is active.
_RealCapture = cv2.VideoCapture


class CameraStandIn:
    """What cv2.VideoCapture(0) returns: plays the stand-in that make() returns, a
    LoopingVideo or StillPicture, and has every method of a cv2.VideoCapture (those the
    stand-in lacks come from the capture it wraps). open(0) starts the stand-in again; opening
    any other source turns it into a plain capture of that source.

    It wraps a cv2.VideoCapture rather than extending it: with OpenCV 4.6 (Debian 12), freeing
    an instance of a Python subclass of cv2.VideoCapture corrupts the heap. It reports
    cv2.VideoCapture as its class, so isinstance(cap, cv2.VideoCapture) holds as for a camera."""

    def __init__(self, make):
        self._make = make
        self._source = make()

    @property
    def __class__(self):
        return _RealCapture

    def __getattr__(self, name):
        return getattr(self._source, name)

    def open(self, *args, **kwargs):
        self._source.release()
        if is_camera_zero(args, kwargs):
            self._source = self._make()
            return self._source.isOpened()
        self._source = _RealCapture()
        return self._source.open(*args, **kwargs)

    def __repr__(self):
        return f"<camera 0 stand-in: {self._source!r}>"


class LoopingVideo:
    """A video file that starts over after its last frame, as long as it is open."""

    def __init__(self, path):
        self.path = path
        self._cap = _RealCapture(path)

    def __getattr__(self, name):
        return getattr(self._cap, name)

    def _rewind(self):
        if not self._cap.isOpened():  # released: stays so, as a camera would
            return False
        if self._cap.set(cv2.CAP_PROP_POS_FRAMES, 0):
            return True
        return self._cap.open(self.path)

    def read(self, image=None):
        ok, frame = self._cap.read(image)
        if not ok and self._rewind():
            ok, frame = self._cap.read(image)
        return ok, frame

    def grab(self):
        return self._cap.grab() or (self._rewind() and self._cap.grab())

    def __repr__(self):
        return f"<looping video {self.path}>"


class StillPicture:
    """One picture, served again on every read until released."""

    def __init__(self, frame):
        self.frame = frame
        self._open = True
        self._cap = _RealCapture()  # never opened: answers the methods not defined here

    def __getattr__(self, name):
        return getattr(self._cap, name)

    def isOpened(self):
        return self._open

    def release(self):
        self._open = False

    def grab(self):
        return self._open

    def retrieve(self, image=None, flag=0):
        if not self._open:
            return False, None
        frame = self.frame
        if image is not None and image.shape == frame.shape and image.dtype == frame.dtype:
            np.copyto(image, frame)
            return True, image
        return True, frame.copy()  # the program may draw on it

    def read(self, image=None):
        return self.retrieve(image)

    def get(self, prop):
        h, w = self.frame.shape[:2]
        sizes = {cv2.CAP_PROP_FRAME_WIDTH: float(w), cv2.CAP_PROP_FRAME_HEIGHT: float(h)}
        return sizes.get(prop, 0.0)

    def set(self, prop, value):
        return False  # as for a file: nothing to adjust

    def getBackendName(self):
        return "CV_IMAGES"

    def __repr__(self):
        h, w = self.frame.shape[:2]
        return f"<still picture {w}x{h}>"


class RenderedCamera(StillPicture):
    """Camera 0 of the virtual car: each read is what the car's camera sees at that moment,
    rendered by the simulator. Like a real camera it gives at most `fps` pictures a second: a
    read that comes sooner waits for the next one."""

    def __init__(self, sim, fps):
        self._sim = sim
        self.fps = fps
        self._next = time.monotonic()
        super().__init__(sim.camera_picture())

    def grab(self):
        if not self._open:
            return False
        now = time.monotonic()
        if now < self._next:
            time.sleep(self._next - now)
        self._next = max(self._next, now) + 1 / self.fps
        self.frame = self._sim.camera_picture()
        return True

    def read(self, image=None):
        if not self.grab():
            return False, None
        return self.retrieve(image)

    def get(self, prop):
        if prop == cv2.CAP_PROP_FPS:
            return float(self.fps)
        return super().get(prop)

    def getBackendName(self):
        return "zelk-board-sim"

    def __repr__(self):
        return f"<camera of the virtual car, {self.fps:g} pictures/s>"


def rendered_camera(sim, fps):
    """A factory for RenderedCamera of the simulator's world."""
    return lambda: RenderedCamera(sim, fps)


def is_camera_zero(args, kwargs):
    """Whether VideoCapture(*args, **kwargs) or .open(...) asks for camera index 0."""
    source = args[0] if args else kwargs.get("index")
    return isinstance(source, (int, np.integer)) and source == 0


def still_picture(path):
    """A factory for StillPicture of the image file `path`; ValueError if it cannot be read."""
    frame = cv2.imread(path, cv2.IMREAD_COLOR)
    if frame is None:
        raise ValueError(f"cannot read a picture from {path}")
    return lambda: StillPicture(frame)


def looping_video(path):
    """A factory for LoopingVideo of `path`; ValueError if it has no readable frame."""
    cap = _RealCapture(path)
    try:
        if not cap.isOpened() or not cap.read()[0]:
            raise ValueError(f"cannot read a video from {path}")
    finally:
        cap.release()
    return lambda: LoopingVideo(path)


def generated_video(path):
    """A factory for LoopingVideo of the practice-mat video, written to `path` when camera 0
    is first opened (programs that never open it do not wait for it)."""
    made = []

    def open_video():
        if not made:
            made.append(make_track_video(path))
        return LoopingVideo(path)

    return open_video


class _ReplacedCaptureType(type):
    # isinstance(x, cv2.VideoCapture) while the replacement is in place: true for real
    # captures and for the stand-ins.
    def __instancecheck__(cls, obj):
        return isinstance(obj, _RealCapture)

    def __subclasscheck__(cls, sub):
        return sub is cls or issubclass(sub, _RealCapture)


@contextlib.contextmanager
def redirect_camera(open_stand_in):
    """While the block runs, cv2.VideoCapture(0) returns a CameraStandIn playing what
    open_stand_in() returns (see still_picture, looping_video, generated_video); a string is
    taken as the path of a video to loop. Other sources open as usual."""
    if isinstance(open_stand_in, str):
        path = open_stand_in
        open_stand_in = lambda: LoopingVideo(path)  # noqa: E731
    real = cv2.VideoCapture

    class VideoCapture(metaclass=_ReplacedCaptureType):
        def __new__(cls, *args, **kwargs):
            if is_camera_zero(args, kwargs):
                return CameraStandIn(open_stand_in)
            return real(*args, **kwargs)

    cv2.VideoCapture = VideoCapture
    try:
        yield
    finally:
        cv2.VideoCapture = real
