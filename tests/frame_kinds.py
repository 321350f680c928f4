"""Frames of every kind a learner's program may hand a vision function, each made from one good
uint8 frame (BGR or grey): nothing, lists, other channel counts and pixel types, empty arrays,
and views whose memory is laid out otherwise. The views that are not flipped hold the good
frame's pixels, so whatever a function finds in the good frame it must find in them too."""

import cv2
import numpy as np


def _pad(frame, rows, cols):
    return np.pad(frame, [(rows, rows), (cols, cols)] + [(0, 0)] * (frame.ndim - 2))


KINDS = {  # name -> makes that kind from a good frame
    "None": lambda f: None,
    "empty list": lambda f: [],
    "list": lambda f: [[[0, 0, 0]]],
    "grey": lambda f: cv2.cvtColor(f, cv2.COLOR_BGR2GRAY),
    "one channel": lambda f: f[:, :, :1].copy(),
    "BGRA": lambda f: cv2.cvtColor(f, cv2.COLOR_BGR2BGRA),
    "float32": lambda f: f.astype(np.float32),
    "int16": lambda f: f.astype(np.int16),
    "empty": lambda f: np.zeros((0, 0, *f.shape[2:]), np.uint8),
    "no columns": lambda f: np.zeros((4, 0, *f.shape[2:]), np.uint8),
    "one row": lambda f: f[:1].copy(),
    "crop of a larger frame": lambda f: _pad(f, 3, 5)[3:-3, 5:-5],
    "every second row of a taller frame": lambda f: np.repeat(f, 2, axis=0)[::2],
    "every second column of a wider frame": lambda f: np.repeat(f, 2, axis=1)[:, ::2],
    "rows upside down": lambda f: f[::-1],
    "mirrored": lambda f: f[:, ::-1],
    "channels reversed": lambda f: f[..., ::-1],
    "Fortran order": np.asfortranarray,
}


def frames_of_every_kind(frame, kinds, lenient=()):
    """{name: (make, strict)} for each name in kinds: make() builds that kind from a fresh copy
    of frame at every call (so two sides never share memory); strict is False for the names in
    lenient, the inputs outside what the function is meant for."""
    return {
        name: (lambda make=KINDS[name]: make(frame.copy()), name not in lenient) for name in kinds
    }
