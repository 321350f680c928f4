"""control_zelk.optik1 against plain cv2/NumPy transcriptions of the same steps
(tests/optik1_reference.py), side by side on camera-like 640×480 frames. Checks that both
give identical results and that 10,000 frames do not grow the process.

Run: .venv/bin/python bench/bench_optik1.py
"""

import os
import sys

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import harness  # noqa: E402
import optik1_frames as frames  # noqa: E402
import optik1_reference as ref  # noqa: E402
from control_zelk.optik1 import Img  # noqa: E402

CIRCLE = "圆形"
GREEN = ([35, 43, 46], [77, 255, 255])


def native_shapes(binary):
    obj = Img(binary)
    return [obj.detect(c, CIRCLE) for c in obj.bin_detect()]


def python_shapes(binary):
    return [ref.shape_name(c) == CIRCLE for c in ref.bin_detect(binary)]


def line_cases():
    return [
        (name, lambda f, n=name: getattr(Img(f), n)(), getattr(ref, name))
        for name in ("line_angle2", "offset_calculate2", "offset2", "dotted_line2")
    ]


def colour_cases():
    native = Img()
    native.color_detect_init("green")
    python = ref.ColourDetect(*GREEN, "green")

    def native_detect(f):
        native.img = f
        native.color_detect()
        return (
            native.color_data,
            list(native.pts),
            getattr(native, "radius", None),
            native.img_new.shape,
        )

    def python_detect(f):
        python.color_detect(f)
        return (
            python.color_data,
            list(python.pts),
            getattr(python, "radius", None),
            python.img_new.shape,
        )

    def native_extract(f):
        obj = Img(f)
        obj.extract_color(*GREEN)
        return obj.img

    return [
        ("color_detect", native_detect, python_detect),
        ("extract_color", native_extract, lambda f: ref.color_mask(f, *GREEN)),
    ]


def binarised_photos():
    """Photos (python3-skimage) as f2 prepares camera frames: grey, then Otsu."""
    try:
        from skimage import data
    except ImportError:
        return []
    out = []
    for load in (data.astronaut, data.coffee, data.chelsea, data.rocket, data.coins, data.camera):
        img = load()
        grey = cv2.cvtColor(img, cv2.COLOR_RGB2GRAY) if img.ndim == 3 else img
        out.append(cv2.threshold(cv2.resize(grey, (640, 480)), 0, 255, cv2.THRESH_OTSU)[1])
    return out


def same(a, b):
    return np.array_equal(a, b) if isinstance(a, np.ndarray) else a == b


def main():
    rng = np.random.default_rng(2024)
    tracks = [frames.track_frame(rng) for _ in range(12)]
    blobs = [frames.blob_frame(rng) for _ in range(12)]
    scenes = [frames.colour_frame(rng) for _ in range(12)]
    print(
        f"640×480 frames; cv2 {cv2.__version__}, numpy {np.__version__}, "
        f"{cv2.getNumThreads()} OpenCV threads"
    )

    photos = binarised_photos()
    cases = line_cases() + [("bin_detect + detect, blobs", native_shapes, python_shapes)]
    if photos:
        cases.append(("bin_detect + detect, photos", native_shapes, python_shapes))
    cases += colour_cases()
    inputs = {
        name: blobs
        if name.endswith("blobs")
        else photos
        if name.endswith("photos")
        else scenes
        if "color" in name
        else tracks
        for name, _, _ in cases
    }
    mismatches = sum(
        not same(native(x), python(x)) for name, native, python in cases for x in inputs[name]
    )
    checks = sum(len(inputs[name]) for name, _, _ in cases)

    harness.header("optik1 Img methods, 640×480")
    for name, native, python in cases:
        harness.compare(name, native, python, inputs[name])
    print(f"identical results: {checks - mismatches} of {checks}")

    colour = colour_cases()

    def one_frame(i):
        f, b, s = tracks[i % len(tracks)], blobs[i % len(blobs)], scenes[i % len(scenes)]
        obj = Img(f)
        obj.offset2(), obj.offset_calculate2(), obj.line_angle2(), obj.dotted_line2()
        native_shapes(b)
        for _, native, _ in colour:
            native(s)

    for i in range(100):
        one_frame(i)
    start = harness.rss_kib()
    for i in range(10_000):
        one_frame(i)
    end = harness.rss_kib()
    print(f"RSS over 10,000 frames: start {start} KiB, end {end} KiB, growth {end - start} KiB")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
