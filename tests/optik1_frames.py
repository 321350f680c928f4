"""Camera-like 640×480 frames for the optik1 tests and benchmarks."""

import cv2
import numpy as np


def _camera(rng, img, noise=12):
    """Uneven lighting, sensor noise and a little blur."""
    ramp = np.linspace(-rng.uniform(0, 40), rng.uniform(0, 40), img.shape[1], dtype=np.float32)
    out = (
        img.astype(np.float32)
        + ramp[None, :, None]
        + rng.normal(0, noise, img.shape).astype(np.float32)
    )
    return cv2.GaussianBlur(np.clip(out, 0, 255).astype(np.uint8), (3, 3), 0)


def track_frame(rng, w=640, h=480):
    """A dark line on a bright floor: straight, slanted, curved, dashed, two lines or none."""
    kind = rng.choice(["straight", "slanted", "curved", "dashed", "two", "none"])
    img = np.full((h, w, 3), int(rng.integers(140, 230)), np.uint8)
    ink, thick = tuple(int(v) for v in rng.integers(0, 70, 3)), int(rng.integers(8, 50))
    x0, x1 = (int(v) for v in rng.integers(0, w, 2))
    if kind in ("straight", "two"):
        cv2.line(img, (x0, 0), (x0, h - 1), ink, thick)
    if kind in ("slanted", "two"):
        cv2.line(img, (x1, 0), (x0 + 40, h - 1), ink, thick)
    if kind == "curved":
        ys = np.arange(0, h, 8)
        xs = x0 + (x1 - x0) * (ys / h) ** 2 + rng.uniform(-60, 60) * np.sin(ys / h * 3)
        cv2.polylines(img, [np.stack([xs, ys], 1).astype(np.int32)], False, ink, thick)
    if kind == "dashed":
        step = int(rng.integers(60, 140))
        for y in range(int(rng.integers(0, step)), h, step):
            x = int(x0 + (x1 - x0) * y / h)
            cv2.rectangle(img, (x - thick, y), (x + thick, y + step // 2), ink, -1)
    return _camera(rng, img)


def blob_frame(rng, w=640, h=480):
    """Binary picture of white discs, rectangles and polygons on black."""
    img = np.zeros((h, w, 3), np.uint8)
    for _ in range(int(rng.integers(1, 9))):
        c, size, kind = (
            (int(rng.integers(0, w)), int(rng.integers(0, h))),
            int(rng.integers(15, 110)),
            rng.integers(0, 4),
        )
        if kind == 0:
            cv2.circle(img, c, size, (255, 255, 255), -1)
        elif kind == 1:
            cv2.rectangle(
                img, c, (c[0] + size, c[1] + int(size * rng.uniform(0.3, 1.7))), (255, 255, 255), -1
            )
        else:
            ang = np.sort(rng.uniform(0, 2 * np.pi, 3 if kind == 2 else int(rng.integers(4, 9))))
            pts = np.stack([c[0] + size * np.cos(ang), c[1] + size * np.sin(ang)], 1)
            cv2.fillPoly(img, [pts.astype(np.int32)], (255, 255, 255))
    grey = cv2.cvtColor(_camera(rng, img, noise=20), cv2.COLOR_BGR2GRAY)
    return cv2.threshold(grey, 0, 255, cv2.THRESH_OTSU)[1]


def colour_frame(rng, w=640, h=480):
    """Coloured discs and boxes (green, red, blue, yellow, white) on a grey-brown ground."""
    img = np.full((h, w, 3), (90, 100, 110), np.uint8)
    palette = [(40, 180, 40), (40, 40, 200), (200, 80, 20), (30, 210, 220), (245, 245, 245)]
    for _ in range(int(rng.integers(0, 5))):
        bgr, c = (
            palette[int(rng.integers(0, len(palette)))],
            (int(rng.integers(0, w)), int(rng.integers(0, h))),
        )
        if rng.random() < 0.5:
            cv2.circle(img, c, int(rng.integers(3, 120)), bgr, -1)
        else:
            cv2.rectangle(
                img,
                c,
                (c[0] + int(rng.integers(3, 200)), c[1] + int(rng.integers(3, 200))),
                bgr,
                -1,
            )
    return _camera(rng, img)


def random_frame(rng, w=640, h=480, levels=None):
    """Uniform noise, or noise over a few grey levels (ties in Otsu's search)."""
    if levels is None:
        return rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    values = rng.choice(256, size=levels, replace=False).astype(np.uint8)
    return np.repeat(values[rng.integers(0, levels, (h, w))][:, :, None], 3, axis=2)
