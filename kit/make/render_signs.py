#!/usr/bin/env python3
"""Render camera frames of sign cards held up to the car's camera.

Each frame shows one printed card with one of the twelve symbols the sign model
knows (digits 1-9, a left-turn arrow, a right-turn arrow, a loudspeaker sign)
on a varied background, seen through a cheap USB camera: tilted and in
perspective, unevenly lit, blurred, noisy and JPEG-compressed.  Everything is
drawn here with OpenCV and Pillow (TrueType fonts from Debian's fonts-*
packages); nothing is loaded from outside.

The frame goes through the same steps as on the car: a 640x480 (or 320x240)
BGR frame is resized to 224x224 with cv2.resize's default interpolation.  The
network's first layer is a 4x4 average pool, so a data set stores the 4x4 sums
of the 224x224 picture (uint16, exact) instead of the whole picture:
``sums / (16 * 255)`` is exactly what the pool hands to the first convolution.

Usage:
    python3 render_signs.py --seed 1 --per-class 4000 --out /tmp/kit-data/train.npz
    python3 render_signs.py --seed 2 --per-class 250 --hard-share 1 --out /tmp/kit-data/hard.npz
    python3 render_signs.py --seed 3 --per-class 4 --sheet /tmp/sheet.png

The same seed gives the same pictures (same versions of OpenCV, Pillow, NumPy
and the same fonts).
"""

import argparse
import os
import sys
import time

import cv2
import numpy as np
from PIL import Image, ImageDraw, ImageFont

# Class index -> meaning, in the order the model's output uses.
CLASS_NAMES = ["9", "1", "2", "3", "4", "5", "6", "7", "8", "left", "right", "voice"]
DIGIT_OF_CLASS = {0: "9", 1: "1", 2: "2", 3: "3", 4: "4", 5: "5", 6: "6", 7: "7", 8: "8"}
LEFT, RIGHT, VOICE = 9, 10, 11

NET_SIZE = 224
POOL = 4

# TrueType faces from fonts-dejavu-core, fonts-liberation2 and fonts-freefont-ttf.
FONT_DIR = "/usr/share/fonts/truetype"
FONT_FILES = [
    "dejavu/DejaVuSans.ttf",
    "dejavu/DejaVuSans-Bold.ttf",
    "dejavu/DejaVuSerif.ttf",
    "dejavu/DejaVuSerif-Bold.ttf",
    "dejavu/DejaVuSansMono.ttf",
    "dejavu/DejaVuSansMono-Bold.ttf",
    "dejavu/DejaVuSansCondensed-Bold.ttf",
    "dejavu/DejaVuSans-Oblique.ttf",
    "liberation2/LiberationSans-Regular.ttf",
    "liberation2/LiberationSans-Bold.ttf",
    "liberation2/LiberationSerif-Regular.ttf",
    "liberation2/LiberationSerif-Bold.ttf",
    "liberation2/LiberationMono-Regular.ttf",
    "liberation2/LiberationMono-Bold.ttf",
    "liberation2/LiberationSans-Italic.ttf",
    "freefont/FreeSans.ttf",
    "freefont/FreeSansBold.ttf",
    "freefont/FreeSerif.ttf",
    "freefont/FreeSerifBold.ttf",
    "freefont/FreeMono.ttf",
    "freefont/FreeMonoBold.ttf",
]
HERSHEY_FACES = [
    cv2.FONT_HERSHEY_SIMPLEX,
    cv2.FONT_HERSHEY_DUPLEX,
    cv2.FONT_HERSHEY_COMPLEX,
    cv2.FONT_HERSHEY_TRIPLEX,
    cv2.FONT_HERSHEY_PLAIN,
    cv2.FONT_HERSHEY_COMPLEX_SMALL,
]


def available_fonts(required=True):
    """The TrueType faces' paths.  Without `required`, only those present (maybe none):
    the pictures then use the Hershey faces alone, which is enough for a quick check but
    not the picture set the model is trained on."""
    paths = [os.path.join(FONT_DIR, f) for f in FONT_FILES]
    missing = [p for p in paths if not os.path.exists(p)]
    if missing and not required:
        return [p for p in paths if p not in missing]
    if missing:
        # The picture set depends on the fonts: refuse to make a different one silently.
        sys.exit(
            "missing fonts (apt-get install fonts-dejavu-core fonts-liberation2 "
            "fonts-freefont-ttf): " + ", ".join(missing)
        )
    return paths


_FONT_CACHE = {}

# Gaussian noise is taken as slices of one fixed bank: drawing a fresh 640x480x3
# normal sample per frame would cost more than the rest of the frame.
_NOISE_BANK = np.random.default_rng(20240607).standard_normal(1 << 22).astype(np.float32)


def gauss_noise(rng, shape):
    n = int(np.prod(shape))
    start = int(rng.integers(0, len(_NOISE_BANK) - n))
    return _NOISE_BANK[start : start + n].reshape(shape)


def _truetype(path, size):
    key = (path, size)
    if key not in _FONT_CACHE:
        _FONT_CACHE[key] = ImageFont.truetype(path, size)
    return _FONT_CACHE[key]


# ----------------------------------------------------------------------------
# Symbol masks: uint8 pictures, 255 where the symbol is inked.  Each is drawn
# on a square canvas and then cropped to its bounding box.
# ----------------------------------------------------------------------------


def _crop(mask):
    ys, xs = np.nonzero(mask > 20)
    if len(xs) == 0:
        return mask
    return mask[ys.min() : ys.max() + 1, xs.min() : xs.max() + 1]


def digit_mask(rng, digit, fonts):
    size = 160
    if not fonts or rng.random() < 0.35:
        face = HERSHEY_FACES[rng.integers(len(HERSHEY_FACES))]
        if rng.random() < 0.2:
            face |= cv2.FONT_ITALIC
        base_h = cv2.getTextSize(digit, face, 1.0, 1)[0][1]
        scale = size * 0.6 / base_h
        thick = max(1, int(round(scale * rng.uniform(1.0, 4.5))))
        (tw, th), _ = cv2.getTextSize(digit, face, scale, thick)
        canvas = np.zeros((size * 2, size * 2), np.uint8)
        org = (size - tw // 2, size + th // 2)
        cv2.putText(canvas, digit, org, face, scale, 255, thick, cv2.LINE_AA)
        return _crop(canvas)
    path = fonts[rng.integers(len(fonts))]
    font = _truetype(path, size)
    img = Image.new("L", (size * 2, size * 2), 0)
    draw = ImageDraw.Draw(img)
    stroke = int(rng.choice([0, 0, 0, 2, 4, 7]))
    draw.text(
        (size // 2, size // 4), digit, fill=255, font=font, stroke_width=stroke, stroke_fill=255
    )
    return _crop(np.asarray(img))


def _arrow_head(canvas, tip, direction, length, width):
    d = np.asarray(direction, float)
    d /= np.linalg.norm(d)
    n = np.array([-d[1], d[0]])
    tip = np.asarray(tip, float)
    base = tip - d * length
    pts = np.array([tip, base + n * width / 2, base - n * width / 2])
    cv2.fillPoly(canvas, [np.round(pts * 16).astype(np.int32)], 255, cv2.LINE_AA, 4)


def _polyline(canvas, pts, thick):
    cv2.polylines(
        canvas, [np.round(np.asarray(pts) * 16).astype(np.int32)], False, 255, thick, cv2.LINE_AA, 4
    )


def left_arrow_mask(rng):
    """An arrow pointing (or turning) left, in one of several drawing styles."""
    s = 200
    c = np.zeros((s, s), np.uint8)
    style = rng.integers(6)
    t = int(rng.uniform(0.07, 0.17) * s)  # shaft thickness
    head_l = rng.uniform(0.25, 0.42) * s
    head_w = rng.uniform(max(2.0 * t, 0.3 * s), 0.6 * s)
    if style == 0:  # block arrow, filled or outlined
        y = s / 2
        x0, x1 = 0.1 * s, 0.9 * s
        hb = x0 + head_l
        pts = np.array(
            [
                [x0, y],
                [hb, y - head_w / 2],
                [hb, y - t / 2],
                [x1, y - t / 2],
                [x1, y + t / 2],
                [hb, y + t / 2],
                [hb, y + head_w / 2],
            ]
        )
        p = np.round(pts * 16).astype(np.int32)
        if rng.random() < 0.7:
            cv2.fillPoly(c, [p], 255, cv2.LINE_AA, 4)
        else:
            cv2.polylines(c, [p], True, 255, max(3, t // 3), cv2.LINE_AA, 4)
    elif style == 1:  # line with an open chevron head
        y = s / 2
        x0, x1 = 0.12 * s, 0.9 * s
        _polyline(c, [[x1, y], [x0 + t * 0.3, y]], t)
        hl = head_l * 0.9
        _polyline(
            c,
            [
                [x0 + hl, y - hl * rng.uniform(0.8, 1.1)],
                [x0, y],
                [x0 + hl, y + hl * rng.uniform(0.8, 1.1)],
            ],
            t,
        )
    elif style == 2:  # bent turn arrow: up from the bottom, then left
        xv = rng.uniform(0.6, 0.72) * s
        yb = 0.92 * s
        yt = rng.uniform(0.3, 0.45) * s
        x0 = 0.1 * s
        _polyline(c, [[xv, yb], [xv, yt], [x0 + head_l * 0.8, yt]], t)
        cv2.line(c, (int(xv), int(yt)), (int(xv), int(yt)), 255, t)
        _arrow_head(c, (x0, yt), (-1, 0), head_l, head_w)
    elif style == 3:  # curved turn arrow: up from the bottom, bending round to the left
        r = rng.uniform(0.3, 0.45) * s
        cx = 0.1 * s + head_l * 0.8
        cy = rng.uniform(0.2, 0.35) * s + r
        a = np.linspace(0, np.pi / 2, 40)
        arc = np.stack([cx + r * np.cos(a), cy - r * np.sin(a)], 1)
        tail = [[cx + r, min(0.95 * s, cy + rng.uniform(0.0, 0.3) * s)]]
        _polyline(c, np.concatenate([tail, arc, [[cx - 1, cy - r]]]), t)
        _arrow_head(c, (cx - head_l * 0.8, cy - r), (-1, 0), head_l, head_w)
    elif style == 4:  # one or two chevrons
        n = 1 + int(rng.random() < 0.5)
        hl = rng.uniform(0.25, 0.35) * s
        for k in range(n):
            x0 = 0.2 * s + k * rng.uniform(0.25, 0.32) * s
            _polyline(
                c,
                [[x0 + hl, s / 2 - hl * 1.1], [x0, s / 2], [x0 + hl, s / 2 + hl * 1.1]],
                int(t * 1.3),
            )
    else:  # slim arrow with a filled head, optionally with a round tail
        y = s / 2
        x0, x1 = 0.08 * s, 0.92 * s
        _polyline(c, [[x1, y], [x0 + head_l * 0.8, y]], max(3, t // 2 + 3))
        _arrow_head(c, (x0, y), (-1, 0), head_l, head_w)
        if rng.random() < 0.4:
            cv2.circle(c, (int(x1), int(y)), int(t * 0.8), 255, -1, cv2.LINE_AA)
    return _crop(c)


def voice_mask(rng):
    """A loudspeaker: a small box and a cone, with sound waves in front of it."""
    s = 200
    c = np.zeros((s, s), np.uint8)
    bx = rng.uniform(0.06, 0.14) * s
    bw = rng.uniform(0.1, 0.16) * s
    bh = rng.uniform(0.2, 0.32) * s
    cone_l = rng.uniform(0.18, 0.28) * s
    cone_h = rng.uniform(0.5, 0.75) * s
    cy = s / 2
    box = np.array(
        [[bx, cy - bh / 2], [bx + bw, cy - bh / 2], [bx + bw, cy + bh / 2], [bx, cy + bh / 2]]
    )
    cone = np.array(
        [
            [bx + bw, cy - bh / 2],
            [bx + bw + cone_l, cy - cone_h / 2],
            [bx + bw + cone_l, cy + cone_h / 2],
            [bx + bw, cy + bh / 2],
        ]
    )
    filled = rng.random() < 0.7
    line_t = max(3, int(rng.uniform(0.03, 0.06) * s))
    if filled:
        for poly in (box, cone):
            cv2.fillPoly(c, [np.round(poly * 16).astype(np.int32)], 255, cv2.LINE_AA, 4)
    else:
        outline = np.array([box[0], box[1], cone[1], cone[2], box[2], box[3]])
        cv2.polylines(
            c, [np.round(outline * 16).astype(np.int32)], True, 255, line_t, cv2.LINE_AA, 4
        )
        cv2.line(
            c,
            tuple(np.round(box[1]).astype(int)),
            tuple(np.round(box[2]).astype(int)),
            255,
            line_t,
            cv2.LINE_AA,
        )
    x_front = bx + bw + cone_l
    n_waves = int(rng.choice([1, 2, 3, 3, 3]))
    wave_style = rng.integers(3)
    wt = max(3, int(rng.uniform(0.03, 0.07) * s))
    gap = rng.uniform(0.09, 0.13) * s
    span = rng.uniform(35, 55)
    for k in range(n_waves):
        r = gap * (k + 1) + rng.uniform(-0.01, 0.01) * s
        if wave_style == 2 and k == 0:
            r = gap * 0.9
        if wave_style == 0 or wave_style == 2:  # arcs
            cv2.ellipse(
                c,
                (int(x_front - gap * 0.3), int(cy)),
                (int(r), int(r)),
                0,
                -span,
                span,
                255,
                wt,
                cv2.LINE_AA,
            )
        else:  # three radiating strokes
            if k > 0:
                break
            for a in (-35, 0, 35):
                ar = np.deg2rad(a)
                p0 = (x_front + gap * 0.4 * np.cos(ar), cy + gap * 0.9 * np.sin(ar))
                p1 = (x_front + gap * 1.9 * np.cos(ar), cy + gap * 2.4 * np.sin(ar))
                _polyline(c, [p0, p1], wt)
    m = _crop(c)
    if rng.random() < 0.2:  # some icons face the other way
        m = m[:, ::-1]
    return np.ascontiguousarray(m)


def symbol_mask(rng, cls, fonts):
    if cls in DIGIT_OF_CLASS:
        return digit_mask(rng, DIGIT_OF_CLASS[cls], fonts)
    if cls in (LEFT, RIGHT):
        m = left_arrow_mask(rng)
        return np.ascontiguousarray(m[:, ::-1]) if cls == RIGHT else m
    return voice_mask(rng)


# ----------------------------------------------------------------------------
# The card
# ----------------------------------------------------------------------------


def _hsv_colour(h, s, v):
    px = np.uint8([[[h % 180, np.clip(s, 0, 255), np.clip(v, 0, 255)]]])
    return cv2.cvtColor(px, cv2.COLOR_HSV2BGR)[0, 0].astype(np.float32)


def card_colours(rng, hard):
    """(card colour, symbol colour, frame colour) as BGR floats."""
    kind = rng.random()
    if kind < 0.55:  # dark symbol on a white or slightly tinted card
        card = _hsv_colour(rng.integers(180), rng.integers(0, 50), rng.integers(200, 256))
        sym = _hsv_colour(rng.integers(180), rng.integers(0, 200), rng.integers(0, 80))
    elif kind < 0.8:  # coloured symbol (red, blue, green, ...) on a light card
        card = _hsv_colour(rng.integers(180), rng.integers(0, 40), rng.integers(205, 256))
        sym = _hsv_colour(rng.integers(180), rng.integers(150, 256), rng.integers(90, 200))
    elif kind < 0.92:  # light symbol on a coloured card, like a road sign
        card = _hsv_colour(rng.integers(180), rng.integers(140, 256), rng.integers(90, 210))
        sym = _hsv_colour(rng.integers(180), rng.integers(0, 30), rng.integers(220, 256))
    else:  # dark symbol on a pastel card
        card = _hsv_colour(rng.integers(180), rng.integers(50, 120), rng.integers(190, 256))
        sym = _hsv_colour(rng.integers(180), rng.integers(0, 255), rng.integers(0, 70))
    if hard:  # faded print: pull the symbol towards the card
        k = rng.uniform(0.4, 0.8)
        sym = card + (sym - card) * k
    frame = (
        sym
        if rng.random() < 0.6
        else _hsv_colour(rng.integers(180), rng.integers(256), rng.integers(0, 200))
    )
    return card, sym, frame


def render_card(rng, cls, fonts, w, h, hard, symbol=None):
    """Return (card BGR float32 h x w x 3, alpha float32 h x w).  `symbol(rng)`, when
    given, draws the mask printed on the card instead of the symbol of class `cls`."""
    card_c, sym_c, deco_c = card_colours(rng, hard)
    mask = symbol(rng) if symbol is not None else symbol_mask(rng, cls, fonts)
    mask = mask.astype(np.float32) / 255.0
    # paper texture: a faint low-frequency shading
    card = np.empty((h, w, 3), np.float32)
    card[:] = card_c
    shade = cv2.resize(
        rng.normal(0, 1, (4, 4)).astype(np.float32), (w, h), interpolation=cv2.INTER_CUBIC
    )
    card *= (1.0 + 0.03 * shade)[..., None]
    deco = np.zeros((h, w), np.float32)
    m = min(w, h)
    frac = rng.uniform(0.45, 0.82)
    deco_kind = rng.random()
    if deco_kind < 0.18:  # a ring around the symbol
        r = int(m * rng.uniform(0.4, 0.47))
        cv2.circle(
            deco, (w // 2, h // 2), r, 1.0, max(2, int(m * rng.uniform(0.02, 0.06))), cv2.LINE_AA
        )
        frac = min(frac, 0.55)
    elif deco_kind < 0.35:  # a printed border
        b = int(m * rng.uniform(0.03, 0.08))
        cv2.rectangle(
            deco,
            (b, b),
            (w - 1 - b, h - 1 - b),
            1.0,
            max(2, int(m * rng.uniform(0.01, 0.04))),
            cv2.LINE_AA,
        )
        frac = min(frac, 0.7)
    sh, sw = mask.shape
    aspect_cap = rng.uniform(0.9, 1.3)  # some symbols are stretched or squashed
    scale = frac * m / max(sh, sw / aspect_cap)
    tw = max(4, int(sw * scale * rng.uniform(0.85, 1.15)))
    th = max(4, int(sh * scale))
    tw, th = min(tw, w - 2), min(th, h - 2)
    sym = cv2.resize(mask, (tw, th), interpolation=cv2.INTER_AREA)
    jx = int(rng.uniform(-0.06, 0.06) * w)
    jy = int(rng.uniform(-0.06, 0.06) * h)
    x0 = int(np.clip((w - tw) // 2 + jx, 1, w - tw - 1))
    y0 = int(np.clip((h - th) // 2 + jy, 1, h - th - 1))
    ink = np.zeros((h, w), np.float32)
    ink[y0 : y0 + th, x0 : x0 + tw] = sym
    # printed ink is rarely perfectly flat
    ink_strength = rng.uniform(0.85, 1.0)
    card = card * (1 - deco[..., None]) + deco_c * deco[..., None]
    a = (ink * ink_strength)[..., None]
    card = card * (1 - a) + sym_c * a
    alpha = np.zeros((h, w), np.float32)
    rr = int(m * rng.uniform(0.0, 0.12))  # rounded corners
    cv2.rectangle(alpha, (rr, 0), (w - 1 - rr, h - 1), 1.0, -1)
    cv2.rectangle(alpha, (0, rr), (w - 1, h - 1 - rr), 1.0, -1)
    if rr > 0:
        for cx, cy in ((rr, rr), (w - 1 - rr, rr), (rr, h - 1 - rr), (w - 1 - rr, h - 1 - rr)):
            cv2.circle(alpha, (cx, cy), rr, 1.0, -1, cv2.LINE_AA)
    return card, alpha


# ----------------------------------------------------------------------------
# Backgrounds
# ----------------------------------------------------------------------------


def _random_bgr(rng):
    return rng.integers(0, 256, 3).astype(np.float32)


def background(rng, h, w):
    kind = rng.integers(5)
    if kind == 0:  # plain wall with a little noise
        img = np.empty((h, w, 3), np.float32)
        img[:] = _random_bgr(rng)
        img += gauss_noise(rng, (h, w, 1)) * np.float32(rng.uniform(1, 8))
    elif kind == 1:  # gradient between two colours
        a, b = _random_bgr(rng), _random_bgr(rng)
        ang = rng.uniform(0, 2 * np.pi)
        t = np.add.outer(
            np.arange(h, dtype=np.float32) * np.float32(np.sin(ang)),
            np.arange(w, dtype=np.float32) * np.float32(np.cos(ang)),
        )
        t = (t - t.min()) / (t.max() - t.min() + 1e-6)
        img = a + (b - a) * t[..., None]
    elif kind == 2:  # smooth blotchy texture
        g = rng.normal(0, 1, (rng.integers(3, 12), rng.integers(3, 12), 3)).astype(np.float32)
        img = cv2.resize(g, (w, h), interpolation=cv2.INTER_CUBIC)
        img = _random_bgr(rng) + img * rng.uniform(20, 70)
    else:  # cluttered room: many random shapes
        img = np.empty((h, w, 3), np.float32)
        img[:] = _random_bgr(rng)
        for _ in range(rng.integers(5, 30)):
            col = tuple(float(v) for v in _random_bgr(rng))
            k = rng.integers(4)
            p = (int(rng.integers(-50, w + 50)), int(rng.integers(-50, h + 50)))
            if k == 0:
                q = (p[0] + int(rng.integers(-250, 250)), p[1] + int(rng.integers(-250, 250)))
                cv2.rectangle(
                    img, p, q, col, -1 if rng.random() < 0.7 else int(rng.integers(2, 10))
                )
            elif k == 1:
                cv2.circle(
                    img,
                    p,
                    int(rng.integers(5, 150)),
                    col,
                    -1 if rng.random() < 0.7 else int(rng.integers(2, 10)),
                    cv2.LINE_AA,
                )
            elif k == 2:
                q = (int(rng.integers(0, w)), int(rng.integers(0, h)))
                cv2.line(img, p, q, col, int(rng.integers(1, 15)), cv2.LINE_AA)
            else:
                pts = rng.integers(-50, max(w, h) + 50, (rng.integers(3, 6), 2)).astype(np.int32)
                cv2.fillPoly(img, [pts], col, cv2.LINE_AA)
        if rng.random() < 0.5:
            img = cv2.GaussianBlur(img, (0, 0), rng.uniform(0.5, 4))
    if rng.random() < 0.5:  # rooms are mostly duller than random colours
        grey = img.mean(axis=2, keepdims=True)
        img = grey + (img - grey) * np.float32(rng.uniform(0.1, 0.7))
    return img


# ----------------------------------------------------------------------------
# The scene and the camera
# ----------------------------------------------------------------------------


def _paste(frame, img, alpha, H):
    """Warp a card (colour premultiplied by alpha) into the frame; return its alpha there."""
    h, w = frame.shape[:2]
    rgba = np.concatenate([img * alpha[..., None], alpha[..., None]], axis=2)
    warped = cv2.warpPerspective(
        rgba, H, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT, borderValue=0
    )
    a = warped[..., 3:]
    frame *= 1 - a
    frame += warped[..., :3]
    return a[..., 0]


def render_frame(rng, cls, fonts, hard=False, symbol=None, card_shown=True):
    """One BGR uint8 camera frame showing a card with the symbol of class `cls`.

    `symbol(rng)` prints another mask on the card instead (see render_card); without
    `card_shown` the card is drawn but left out, so the frame is the background alone,
    lit and filmed like the others."""
    h, w = (480, 640) if rng.random() < 0.75 else (240, 320)
    frame = background(rng, h, w)
    # card geometry in the frame
    card_h = h * (rng.uniform(0.4, 0.95) if not hard else rng.uniform(0.35, 1.0))
    card_w = card_h * rng.uniform(0.75, 1.35)
    ch, cw = max(16, int(card_h)), max(16, int(card_w))
    card, alpha = render_card(rng, cls, fonts, cw, ch, hard, symbol)
    if not card_shown:
        alpha[:] = 0
    max_rot = 20 if not hard else 28
    ang = np.deg2rad(rng.uniform(-max_rot, max_rot))
    persp = 0.07 if not hard else 0.2
    src = np.float32([[0, 0], [cw, 0], [cw, ch], [0, ch]])
    ctr = np.float32([cw / 2, ch / 2])
    rot = np.float32([[np.cos(ang), -np.sin(ang)], [np.sin(ang), np.cos(ang)]])
    dst = (src - ctr) @ rot.T
    dst += rng.uniform(-persp, persp, (4, 2)).astype(np.float32) * np.float32([cw, ch])
    if rng.random() < 0.5:  # the card turned about its vertical or horizontal axis
        k = rng.uniform(0, persp * 1.5)
        if rng.random() < 0.5:
            dst[[0, 3], 1] *= 1 - k
            dst[[1, 2], 1] *= 1 + k
        else:
            dst[[0, 1], 0] *= 1 - k
            dst[[2, 3], 0] *= 1 + k
    ext = dst.max(0) - dst.min(0)
    slack = np.maximum(np.float32([w, h]) - ext, 0) / 2
    over = 0.08 if not hard else 0.15  # the card may run a little off the frame
    cx = w / 2 + rng.uniform(-1, 1) * (slack[0] + over * ext[0])
    cy = h / 2 + rng.uniform(-1, 1) * (slack[1] + over * ext[1])
    dst += np.float32([cx, cy])
    H = cv2.getPerspectiveTransform(src, dst)
    # soft shadow behind the card
    if rng.random() < 0.4:
        sh = cv2.GaussianBlur(alpha, (0, 0), max(1.0, min(cw, ch) * 0.03))
        off = np.float32(
            [[1, 0, rng.uniform(-0.05, 0.05) * cw], [0, 1, rng.uniform(0, 0.06) * ch], [0, 0, 1]]
        )
        sa = cv2.warpPerspective(sh, H @ off, (w, h))
        frame *= (1 - rng.uniform(0.2, 0.5) * sa)[..., None]
    card_alpha = _paste(frame, card, alpha, H)
    # fingers holding the card at an edge
    if rng.random() < 0.35:
        skin = _hsv_colour(rng.integers(5, 20), rng.integers(60, 170), rng.integers(90, 240))
        edge = rng.integers(4)
        t = rng.uniform(0.2, 0.8)
        p0, p1 = dst[edge], dst[(edge + 1) % 4]
        p = p0 + (p1 - p0) * t
        fw = max(4, int(min(cw, ch) * rng.uniform(0.05, 0.09)))
        for k in range(rng.integers(1, 4)):
            q = p + (p1 - p0) / (np.linalg.norm(p1 - p0) + 1e-6) * k * fw * 1.8
            cv2.ellipse(
                frame,
                (int(q[0]), int(q[1])),
                (fw, int(fw * 1.8)),
                float(np.rad2deg(ang)) + 90 * (edge % 2),
                0,
                360,
                tuple(float(v) for v in skin),
                -1,
                cv2.LINE_AA,
            )
    # lighting: colour cast, uneven light, brightness and contrast
    xs = np.arange(w, dtype=np.float32)
    ys = np.arange(h, dtype=np.float32)
    la = rng.uniform(0, 2 * np.pi)
    k = rng.uniform(0, 0.6 if not hard else 0.9)
    light = 1.0 + np.add.outer(
        (ys / h - 0.5) * np.float32(np.sin(la) * k), (xs / w - 0.5) * np.float32(np.cos(la) * k)
    )
    cast = rng.uniform(0.85, 1.15, 3).astype(np.float32)
    frame *= light[..., None] * cast
    gain = rng.uniform(0.6, 1.2)
    contrast = rng.uniform(0.7, 1.1) if not hard else rng.uniform(0.5, 0.9)
    mean = float(frame.mean())
    frame *= np.float32(contrast * gain)
    frame += np.float32((1 - contrast) * mean * gain + rng.uniform(-20, 20))
    if hard:  # glare from a lamp on glossy paper
        for _ in range(rng.integers(1, 4)):
            gx, gy = cx + rng.uniform(-0.4, 0.4) * cw, cy + rng.uniform(-0.4, 0.4) * ch
            sx = rng.uniform(0.04, 0.18) * cw
            sy = sx * rng.uniform(0.4, 1.5)
            blob = np.outer(
                np.exp(-(((ys - gy) / sy) ** 2) / 2),
                np.exp(-(((xs - gx) / sx) ** 2) / 2) * np.float32(rng.uniform(60, 170)),
            )
            frame += (blob * card_alpha)[..., None]
    # camera: blur, sensor noise, JPEG
    np.clip(frame, 0, 255, out=frame)
    blur_kind = rng.random()
    max_sigma = 1.6 if not hard else 3.0
    if blur_kind < 0.6:
        s = rng.uniform(0, max_sigma) * w / 640
        if s > 0.3:
            frame = cv2.GaussianBlur(frame, (0, 0), s)
    elif blur_kind < 0.8:  # motion blur
        n = int(rng.integers(3, 8 if not hard else 16) * w / 640) | 1
        if n >= 3:
            kern = np.zeros((n, n), np.float32)
            kern[n // 2, :] = 1.0 / n
            M = cv2.getRotationMatrix2D((n / 2 - 0.5, n / 2 - 0.5), rng.uniform(0, 180), 1)
            kern = cv2.warpAffine(kern, M, (n, n))
            kern /= kern.sum()
            frame = cv2.filter2D(frame, -1, kern)
    frame += gauss_noise(rng, frame.shape) * np.float32(rng.uniform(0, 7 if not hard else 12))
    np.clip(frame, 0, 255, out=frame)
    img = (frame + 0.5).astype(np.uint8)
    q = int(rng.integers(25, 96))
    ok, buf = cv2.imencode(".jpg", img, [cv2.IMWRITE_JPEG_QUALITY, q])
    return cv2.imdecode(buf, cv2.IMREAD_COLOR)


def net_input(frame):
    """The model's input for one BGR frame: 1x3x224x224 float32, B,G,R, pixel/255."""
    x = cv2.resize(frame, (NET_SIZE, NET_SIZE)).astype(np.float32) / 255.0
    return np.ascontiguousarray(x.transpose(2, 0, 1)[None])


def pooled_sums(frame):
    """4x4 sums of the 224x224 resized frame: 3x56x56 uint16."""
    x = cv2.resize(frame, (NET_SIZE, NET_SIZE)).astype(np.uint16)
    n = NET_SIZE // POOL
    s = x.reshape(n, POOL, n, POOL, 3).sum(axis=(1, 3), dtype=np.uint16)
    return s.transpose(2, 0, 1)


def render_set(seed, per_class, hard_share=0.0, keep_frames=False, log_every=2000):
    cv2.setNumThreads(1)
    fonts = available_fonts()
    rng = np.random.default_rng(seed)
    n = per_class * len(CLASS_NAMES)
    labels = np.tile(np.arange(len(CLASS_NAMES)), per_class)
    labels = labels[rng.permutation(n)]
    xs = np.empty((n, 3, NET_SIZE // POOL, NET_SIZE // POOL), np.uint16)
    frames = []
    t0 = time.time()
    for i, cls in enumerate(labels):
        f = render_frame(rng, int(cls), fonts, bool(rng.random() < hard_share))
        xs[i] = pooled_sums(f)
        if keep_frames:
            frames.append(f)
        if log_every and (i + 1) % log_every == 0:
            print(f"  {i + 1}/{n} rendered, {time.time() - t0:.0f} s", flush=True)
    return xs, labels.astype(np.int64), frames


def contact_sheet(frames, labels, cols=12, cell=(160, 120)):
    rows = (len(frames) + cols - 1) // cols
    sheet = np.zeros((rows * (cell[1] + 16), cols * cell[0], 3), np.uint8)
    for i, (f, label) in enumerate(zip(frames, labels)):
        r, c = divmod(i, cols)
        y, x = r * (cell[1] + 16), c * cell[0]
        sheet[y : y + cell[1], x : x + cell[0]] = cv2.resize(f, cell, interpolation=cv2.INTER_AREA)
        cv2.putText(
            sheet,
            CLASS_NAMES[label],
            (x + 4, y + cell[1] + 12),
            cv2.FONT_HERSHEY_PLAIN,
            1,
            (255, 255, 255),
            1,
        )
    return sheet


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--per-class", type=int, required=True)
    ap.add_argument(
        "--hard-share",
        type=float,
        default=0.0,
        help="share of printed-and-photographed-like frames: stronger "
        "perspective, glare, faded print, low contrast, more blur (0..1)",
    )
    ap.add_argument("--out", help="write the pooled pictures and labels to this .npz")
    ap.add_argument("--sheet", help="write a contact sheet of the frames to this picture")
    a = ap.parse_args()
    xs, ys, frames = render_set(a.seed, a.per_class, a.hard_share, keep_frames=bool(a.sheet))
    if a.out:
        os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
        np.savez(a.out, x=xs, y=ys)
        print(f"wrote {len(ys)} pictures to {a.out}")
    if a.sheet:
        order = np.argsort(ys, kind="stable")
        cv2.imwrite(
            a.sheet,
            contact_sheet(
                [frames[i] for i in order], ys[order], cols=a.per_class if a.per_class > 4 else 12
            ),
        )
        print(f"wrote {a.sheet}")


if __name__ == "__main__":
    main()
