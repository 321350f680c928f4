"""optik.color_detect.detect against the plain cv2/NumPy transcription of the same steps,
on 640×480 frames: photos (python3-skimage) and generated scenes with coloured balls,
lighting gradients and sensor noise. Checks that both leave identical results and that
10,000 calls do not grow the process.

Run: .venv/bin/python bench/bench_optik.py
"""

import os
import sys

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import harness  # noqa: E402
from control_zelk import optik  # noqa: E402
from optik_reference import ReferenceColorDetect, state  # noqa: E402

SIZE = (640, 480)
COLOURS = ["red", "green", "blue", "yellow", "white"]


def photos():
    try:
        from skimage import data
    except ImportError:
        return []
    return [
        cv2.resize(cv2.cvtColor(f(), cv2.COLOR_RGB2BGR), SIZE)
        for f in (data.astronaut, data.coffee, data.chelsea, data.rocket)
    ]


def scene(seed):
    """A table top under uneven light with a few coloured balls, as the car's camera sees it."""
    rng = np.random.default_rng(seed)
    w, h = SIZE
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    light = 0.55 + 0.45 * (xx / w) * (1 - 0.5 * yy / h)
    img = np.array(rng.integers(90, 200, 3), np.float32) * light[..., None]
    for bgr in ([30, 40, 200], [40, 180, 60], [200, 90, 30], [40, 210, 230]):
        cx, cy = int(rng.integers(60, w - 60)), int(rng.integers(60, h - 60))
        shade = float(light[cy, cx])
        cv2.circle(
            img, (cx, cy), int(rng.integers(12, 70)), [c * shade for c in bgr], -1, cv2.LINE_AA
        )
    img += rng.normal(0, 6, img.shape).astype(np.float32)
    return np.clip(img, 0, 255).astype(np.uint8)


def main():
    frames = photos() + [scene(s) for s in range(4)]
    print(
        f"{len(frames)} frames of {SIZE[0]}×{SIZE[1]}; cv2 {cv2.__version__}, "
        f"numpy {np.__version__}, {cv2.getNumThreads()} OpenCV threads"
    )
    pairs = []
    for colour in COLOURS:
        native = optik.color_detect(colour)
        pairs.append(
            (native, ReferenceColorDetect(native.color_list_lower, native.color_list_upper, colour))
        )

    def mismatches():
        count = 0
        for native, ref in pairs:
            for f in frames:
                native.detect(f)
                ref.detect(f)
                count += state(native) != state(ref)
        return count

    # Before the timing each range is new (converted directly); after it, it has its table.
    checks = len(pairs) * len(frames)
    cold = mismatches()
    harness.header("color_detect.detect, 640×480")
    ratios = sorted(
        harness.compare(f"detect {native.color}", native.detect, ref.detect, frames)[2]
        for native, ref in pairs
    )
    print(f"median ratio {ratios[len(ratios) // 2]:.2f}x")
    warm = mismatches()

    # A range dragged along a trackbar: never the same twice in a row, so no colour table.
    native, ref = pairs[0]
    dragged = [(frames[i % len(frames)], np.array([i * 7, 43, 46])) for i in range(24)]

    def with_range(obj):
        def run(item):
            obj.colorLower = item[1]
            obj.detect(item[0])

        return run

    harness.compare("detect, new range each call", with_range(native), with_range(ref), dragged)
    print(
        f"identical results: {checks - cold} of {checks} on new ranges, "
        f"{checks - warm} of {checks} with colour tables"
    )

    native = pairs[1][0]
    for f in frames:
        native.detect(f)
    start = harness.rss_kib()
    for i in range(10_000):
        native.detect(frames[i % len(frames)])
    end = harness.rss_kib()
    print(
        f"RSS over 10,000 detect calls: start {start} KiB, end {end} KiB, growth {end - start} KiB"
    )
    return 1 if cold or warm else 0


if __name__ == "__main__":
    sys.exit(main())
