"""A generated camera for running learner programs without the car's camera.

make_track_video() writes a short video of what the car's camera would see on a practice
mat: a dark line curving across a bright floor and a green ball rolling by.
redirect_camera() makes cv2.VideoCapture(0) (the first camera) open such a file instead;
every other source passes through unchanged. The library knows nothing of this: it opens
its cameras through the cv2 module, whose VideoCapture is what gets replaced.
"""
import contextlib
import math

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


@contextlib.contextmanager
def redirect_camera(path):
    """cv2.VideoCapture(0) opens `path` while the block runs."""
    real = cv2.VideoCapture

    def capture(*args, **kwargs):
        if args and isinstance(args[0], int) and args[0] == 0:
            args = (path,) + args[1:]
        return real(*args, **kwargs)

    cv2.VideoCapture = capture
    try:
        yield
    finally:
        cv2.VideoCapture = real
