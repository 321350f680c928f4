#!/usr/bin/env python3
"""Render camera frames of things that are NOT one of the twelve signs.

The sign model has no "none" output: the library reports a class only when the
largest softmax probability is above 0.9.  To teach the model to stay below that on
anything else, it is trained on these frames with the uniform distribution over the
twelve classes as the target.  They are drawn exactly like the sign frames of
render_signs.py (same cards, backgrounds, perspective, light, blur, noise, JPEG and
hard variants); only what is printed on the card differs:

    letter     a Latin capital or small letter, or a short word of them
    zero       the digit 0
    glyph      punctuation, symbols, Greek and Cyrillic letters
    shape      circles, squares, triangles, stars, crosses, plus signs, lines, ...
    pictogram  pictures that are not signs: smiley, heart, house, sun, tree, ...
    blank      nothing printed (maybe a ring or a border)
    clutter    scribbles, many small shapes, lines of small text
    nocard     no card at all: the background alone

Nothing here may look like a sign: no digits other than 0, no arrows or chevrons
pointing sideways, no loudspeakers, and none of the letters a sign's digit can pass
for (I, l, S, Z, G, b, g, q, ...); pictures are never mirrored.

Besides, clean_frame() draws a card the way a quick OpenCV test picture is made:
flat grey table, white card, no camera effects.  Its held-out set checks that the
model generalises to such frames, which the training set does not contain.

Usage:
    python3 render_nonsigns.py --seed 4 --count 2400 --out /work/kit-data/none-test.npz
    python3 render_nonsigns.py --seed 5 --count 96 --sheet /tmp/none.png
    python3 render_nonsigns.py --seed 6 --count 96 --clean --sheet /tmp/clean.png
"""

import argparse
import os
import sys
import time

import cv2
import numpy as np
from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import render_signs as rs  # noqa: E402

KINDS = ["letter", "zero", "glyph", "shape", "pictogram", "blank", "clutter", "nocard"]
# Share of each kind in a rendered set (training and held-out alike).
KIND_SHARE = np.array([0.25, 0.07, 0.08, 0.18, 0.12, 0.10, 0.12, 0.08])

# Letters a digit sign never looks like: left out are I, J, l, i, j (1), S, s, Z, z
# (5, 2), G, b (6) and g, q (9).
CAPITALS = "ABCDEFHKLMNOPQRTUVWXY"
SMALL = "acdefhkmnoprtuvwxy"
# Glyphs Hershey and the TrueType faces both have; '<', '>', '/', '|' and '!' are out
# (chevron arrows, a digit 1).
GLYPHS_ASCII = "#%&@?*=+~^"
# TrueType only (DejaVu, Liberation and FreeFont all carry these).
GLYPHS_TT = "ΩπΔΣΦΨЖШЯДЛ€¥©®"


def _crop(m):
    return rs._crop(m)


def _text_mask(rng, text, fonts):
    """`text` in a random Hershey or TrueType face, as render_signs draws digits."""
    size = 160
    ascii_only = all(ord(ch) < 128 for ch in text)
    if ascii_only and (not fonts or rng.random() < 0.35):
        face = rs.HERSHEY_FACES[rng.integers(len(rs.HERSHEY_FACES))]
        if rng.random() < 0.2:
            face |= cv2.FONT_ITALIC
        base_h = cv2.getTextSize("A", face, 1.0, 1)[0][1]
        scale = size * 0.6 / base_h
        thick = max(1, int(round(scale * rng.uniform(1.0, 4.5))))
        (tw, th), _ = cv2.getTextSize(text, face, scale, thick)
        canvas = np.zeros((size * 2, max(size * 2, tw + size)), np.uint8)
        org = (canvas.shape[1] // 2 - tw // 2, size + th // 2)
        cv2.putText(canvas, text, org, face, scale, 255, thick, cv2.LINE_AA)
        return _crop(canvas)
    font = rs._truetype(fonts[rng.integers(len(fonts))], size)
    img = Image.new("L", (size * (len(text) + 1), size * 2), 0)
    draw = ImageDraw.Draw(img)
    stroke = int(rng.choice([0, 0, 0, 2, 4, 7]))
    draw.text(
        (size // 2, size // 4), text, fill=255, font=font, stroke_width=stroke, stroke_fill=255
    )
    return _crop(np.asarray(img))


def letter_mask(rng, fonts):
    r = rng.random()
    if r < 0.6:
        text = CAPITALS[rng.integers(len(CAPITALS))]
    elif r < 0.85:
        text = SMALL[rng.integers(len(SMALL))]
    else:  # a short word
        pool = CAPITALS if rng.random() < 0.7 else SMALL
        text = "".join(pool[i] for i in rng.integers(len(pool), size=rng.integers(2, 5)))
    return _text_mask(rng, text, fonts)


def zero_mask(rng, fonts):
    return _text_mask(rng, "0", fonts)


def glyph_mask(rng, fonts):
    if fonts and rng.random() < 0.45:
        return _text_mask(rng, GLYPHS_TT[rng.integers(len(GLYPHS_TT))], fonts)
    return _text_mask(rng, GLYPHS_ASCII[rng.integers(len(GLYPHS_ASCII))], fonts)


def _poly(c, pts, filled, thick):
    p = np.round(np.asarray(pts, float) * 16).astype(np.int32)
    if filled:
        cv2.fillPoly(c, [p], 255, cv2.LINE_AA, 4)
    else:
        cv2.polylines(c, [p], True, 255, thick, cv2.LINE_AA, 4)


def _regular(cx, cy, r, n, rot, inner=None):
    """Corners of a regular polygon, or of a star when `inner` (radius ratio) is given."""
    k = n * 2 if inner else n
    a = rot + np.arange(k) * 2 * np.pi / k
    rad = np.where(np.arange(k) % 2 == 1, r * inner, r) if inner else np.full(k, r)
    return np.stack([cx + rad * np.sin(a), cy - rad * np.cos(a)], 1)


def shape_mask(rng, fonts=None):
    s = 200
    c = np.zeros((s, s), np.uint8)
    filled = rng.random() < 0.5
    t = max(3, int(rng.uniform(0.03, 0.1) * s))
    kind = rng.integers(11)
    cx = cy = s / 2
    r = rng.uniform(0.3, 0.45) * s
    if kind == 0:  # circle or ellipse
        ax = (int(r), int(r * rng.uniform(0.55, 1.0)))
        cv2.ellipse(
            c,
            (int(cx), int(cy)),
            ax,
            float(rng.uniform(0, 180)),
            0,
            360,
            255,
            -1 if filled else t,
            cv2.LINE_AA,
        )
    elif kind == 1:  # square or rectangle
        w, h = r, r * rng.uniform(0.5, 1.0)
        if rng.random() < 0.5:
            w, h = h, w
        _poly(
            c, [[cx - w, cy - h], [cx + w, cy - h], [cx + w, cy + h], [cx - w, cy + h]], filled, t
        )
    elif kind == 2:  # triangle pointing up or down (sideways ones look like arrow heads)
        rot = 0.0 if rng.random() < 0.6 else np.pi
        _poly(c, _regular(cx, cy, r, 3, rot + rng.uniform(-0.15, 0.15)), filled, t)
    elif kind == 3:  # star
        _poly(
            c,
            _regular(
                cx,
                cy,
                r,
                int(rng.choice([5, 5, 6, 8])),
                rng.uniform(-0.2, 0.2),
                inner=rng.uniform(0.38, 0.55),
            ),
            filled,
            t,
        )
    elif kind == 4:  # cross (x) or plus
        a = np.pi / 4 if rng.random() < 0.5 else 0.0
        tt = max(t, int(rng.uniform(0.08, 0.2) * s))
        for b in (a, a + np.pi / 2):
            d = np.array([np.cos(b), np.sin(b)]) * r
            rs._polyline(c, [[cx - d[0], cy - d[1]], [cx + d[0], cy + d[1]]], tt)
    elif kind == 5:  # one to three lines, closer to level than upright (not a 1)
        n = int(rng.integers(1, 4))
        a = rng.uniform(-0.6, 0.6)
        d = np.array([np.cos(a), np.sin(a)]) * r
        for k in range(n):
            off = (k - (n - 1) / 2) * rng.uniform(0.15, 0.3) * s
            rs._polyline(c, [[cx - d[0], cy + off - d[1]], [cx + d[0], cy + off + d[1]]], t)
    elif kind == 6:  # pentagon, hexagon or octagon; a diamond
        n = int(rng.choice([4, 5, 6, 8]))
        _poly(c, _regular(cx, cy, r, n, 0.0 if n != 8 else np.pi / 8), filled, t)
    elif kind == 7:  # concentric rings, a ring with a dot
        cv2.circle(c, (int(cx), int(cy)), int(r), 255, t, cv2.LINE_AA)
        if rng.random() < 0.5:
            cv2.circle(c, (int(cx), int(cy)), int(r * rng.uniform(0.1, 0.3)), 255, -1, cv2.LINE_AA)
        else:
            cv2.circle(c, (int(cx), int(cy)), int(r * rng.uniform(0.45, 0.7)), 255, t, cv2.LINE_AA)
    elif kind == 8:  # a grid or a checkerboard
        n = int(rng.integers(2, 5))
        x0, step = cx - r, 2 * r / n
        for i in range(n):
            for j in range(n):
                if (i + j) % 2 == 0 or rng.random() < 0.3:
                    p0 = (int(x0 + i * step), int(x0 + j * step))
                    p1 = (int(x0 + (i + 1) * step), int(x0 + (j + 1) * step))
                    cv2.rectangle(c, p0, p1, 255, -1 if filled else max(2, t // 2))
    elif kind == 9:  # a level wavy line
        x = np.linspace(cx - r, cx + r, 60)
        y = cy + r * rng.uniform(0.1, 0.3) * np.sin(
            (x - x[0]) / (2 * r) * 2 * np.pi * rng.uniform(1, 3)
        )
        rs._polyline(c, np.stack([x, y], 1), t)
    else:  # a filled half disc or quarter (pie piece) pointing up or down
        start = 180 if rng.random() < 0.5 else 0
        cv2.ellipse(
            c, (int(cx), int(cy)), (int(r), int(r)), 0, start, start + 180, 255, -1, cv2.LINE_AA
        )
    return _crop(c)


def pictogram_mask(rng, fonts=None):
    s = 200
    c = np.zeros((s, s), np.uint8)
    t = max(3, int(rng.uniform(0.03, 0.07) * s))
    kind = rng.integers(10)
    cx = cy = s // 2
    r = int(rng.uniform(0.32, 0.45) * s)
    if kind == 0:  # smiley
        filled = rng.random() < 0.4
        cv2.circle(c, (cx, cy), r, 255, -1 if filled else t, cv2.LINE_AA)
        ink = 0 if filled else 255
        for ex in (-1, 1):
            cv2.circle(c, (cx + ex * r // 3, cy - r // 4), max(3, r // 8), ink, -1, cv2.LINE_AA)
        cv2.ellipse(c, (cx, cy + r // 10), (r // 2, r // 3), 0, 20, 160, ink, t, cv2.LINE_AA)
    elif kind == 1:  # heart
        k = r * 0.55
        cv2.circle(c, (int(cx - k * 0.8), int(cy - k * 0.4)), int(k), 255, -1, cv2.LINE_AA)
        cv2.circle(c, (int(cx + k * 0.8), int(cy - k * 0.4)), int(k), 255, -1, cv2.LINE_AA)
        _poly(
            c,
            [[cx - k * 1.75, cy - k * 0.1], [cx + k * 1.75, cy - k * 0.1], [cx, cy + r * 1.05]],
            True,
            t,
        )
    elif kind == 2:  # house
        _poly(c, [[cx - r, cy - r * 0.1], [cx, cy - r], [cx + r, cy - r * 0.1]], True, t)
        filled = rng.random() < 0.5
        _poly(
            c,
            [
                [cx - r * 0.7, cy - r * 0.1],
                [cx + r * 0.7, cy - r * 0.1],
                [cx + r * 0.7, cy + r],
                [cx - r * 0.7, cy + r],
            ],
            filled,
            t,
        )
        if filled:
            cv2.rectangle(
                c, (int(cx - r * 0.15), int(cy + r * 0.4)), (int(cx + r * 0.15), cy + r), 0, -1
            )
    elif kind == 3:  # sun: a disc with rays all round
        cv2.circle(c, (cx, cy), int(r * 0.5), 255, -1 if rng.random() < 0.6 else t, cv2.LINE_AA)
        n = int(rng.choice([8, 10, 12]))
        for a in np.arange(n) * 2 * np.pi / n:
            d = np.array([np.cos(a), np.sin(a)])
            rs._polyline(
                c, [[cx + d[0] * r * 0.65, cy + d[1] * r * 0.65], [cx + d[0] * r, cy + d[1] * r]], t
            )
    elif kind == 4:  # tree: a round crown on a trunk (a pointed one reads as an arrow)
        cv2.rectangle(
            c, (int(cx - r * 0.12), int(cy + r * 0.3)), (int(cx + r * 0.12), cy + r), 255, -1
        )
        cv2.circle(c, (cx, int(cy - r * 0.25)), int(r * 0.65), 255, -1, cv2.LINE_AA)
    elif kind == 5:  # envelope
        w, h = r, r * 0.65
        _poly(c, [[cx - w, cy - h], [cx + w, cy - h], [cx + w, cy + h], [cx - w, cy + h]], False, t)
        rs._polyline(c, [[cx - w, cy - h], [cx, cy + h * 0.2], [cx + w, cy - h]], t)
    elif kind == 6:  # check mark
        tt = max(t, int(rng.uniform(0.07, 0.14) * s))
        rs._polyline(c, [[cx - r, cy], [cx - r * 0.3, cy + r * 0.7], [cx + r, cy - r * 0.8]], tt)
    elif kind == 7:  # cloud
        for dx, dy, k in ((-0.5, 0.1, 0.45), (0.0, -0.2, 0.6), (0.5, 0.1, 0.45)):
            cv2.circle(c, (int(cx + dx * r), int(cy + dy * r)), int(k * r), 255, -1, cv2.LINE_AA)
        cv2.rectangle(
            c,
            (int(cx - r * 0.5), int(cy + 0.1 * r)),
            (int(cx + r * 0.5), int(cy + 0.55 * r)),
            255,
            -1,
        )
    elif kind == 8:  # "no entry": a disc with a level bar
        cv2.circle(c, (cx, cy), r, 255, -1, cv2.LINE_AA)
        cv2.rectangle(
            c,
            (int(cx - r * 0.7), int(cy - r * 0.18)),
            (int(cx + r * 0.7), int(cy + r * 0.18)),
            0,
            -1,
        )
    else:  # stick figure
        cv2.circle(c, (cx, int(cy - r * 0.7)), int(r * 0.25), 255, -1, cv2.LINE_AA)
        rs._polyline(c, [[cx, cy - r * 0.45], [cx, cy + r * 0.3]], t)
        rs._polyline(
            c, [[cx - r * 0.6, cy - r * 0.15], [cx, cy - r * 0.3], [cx + r * 0.6, cy - r * 0.15]], t
        )
        rs._polyline(c, [[cx - r * 0.45, cy + r], [cx, cy + r * 0.3], [cx + r * 0.45, cy + r]], t)
    return _crop(c)


def blank_mask(rng, fonts=None):
    return np.zeros((8, 8), np.uint8)


def clutter_mask(rng, fonts):
    s = 200
    c = np.zeros((s, s), np.uint8)
    kind = rng.integers(3)
    if kind == 0:  # scribbles: a few smooth random strokes
        for _ in range(rng.integers(1, 4)):
            pts = rng.uniform(0.1, 0.9, (int(rng.integers(5, 10)), 2)) * s
            # smooth the zigzag through the random points
            u = np.linspace(0, len(pts) - 1, 80)
            x = np.interp(u, np.arange(len(pts)), pts[:, 0])
            y = np.interp(u, np.arange(len(pts)), pts[:, 1])
            k = np.ones(9) / 9
            x = np.convolve(np.pad(x, 4, mode="edge"), k, "valid")
            y = np.convolve(np.pad(y, 4, mode="edge"), k, "valid")
            rs._polyline(c, np.stack([x, y], 1), max(2, int(rng.uniform(0.015, 0.05) * s)))
    elif kind == 1:  # many small shapes and strokes
        for _ in range(rng.integers(5, 16)):
            p = rng.uniform(0.1, 0.9, 2) * s
            q = int(rng.uniform(0.03, 0.1) * s)
            k = rng.integers(3)
            if k == 0:
                cv2.circle(
                    c, (int(p[0]), int(p[1])), q, 255, -1 if rng.random() < 0.5 else 2, cv2.LINE_AA
                )
            elif k == 1:
                cv2.rectangle(
                    c,
                    (int(p[0]), int(p[1])),
                    (int(p[0]) + q, int(p[1]) + q),
                    255,
                    -1 if rng.random() < 0.5 else 2,
                )
            else:
                d = rng.normal(0, 1, 2)
                d = d / (np.linalg.norm(d) + 1e-6) * q * 1.5
                rs._polyline(c, [p - d, p + d], max(2, q // 3))
    else:  # lines of small text, like a page of a book
        rows = int(rng.integers(3, 7))
        words = []
        for _ in range(rows):
            n = int(rng.integers(6, 12))
            line = "".join(
                SMALL[i] if rng.random() > 0.15 else " " for i in rng.integers(len(SMALL), size=n)
            )
            words.append(line)
        face = rs.HERSHEY_FACES[rng.integers(len(rs.HERSHEY_FACES))]
        scale = s / 260
        for i, line in enumerate(words):
            cv2.putText(
                c,
                line,
                (int(0.05 * s), int((i + 1) * s / (rows + 1))),
                face,
                scale,
                255,
                max(1, int(rng.integers(1, 3))),
                cv2.LINE_AA,
            )
    return _crop(c)


MASKS = {
    "letter": letter_mask,
    "zero": zero_mask,
    "glyph": glyph_mask,
    "shape": shape_mask,
    "pictogram": pictogram_mask,
    "blank": blank_mask,
    "clutter": clutter_mask,
    "nocard": blank_mask,
}


def render_nonsign(rng, kind, fonts, hard=False):
    """One BGR uint8 camera frame of the given non-sign kind, drawn like render_signs'."""
    draw = MASKS[kind]
    return rs.render_frame(
        rng, -1, fonts, hard, symbol=lambda r: draw(r, fonts), card_shown=kind != "nocard"
    )


def clean_frame(rng, symbol):
    """A quick OpenCV test picture: a white card with `symbol` (a mask) in dark ink, square
    to the camera on a flat grey table, 640x480, no camera effects."""
    g = int(rng.integers(110, 200))
    frame = np.empty((480, 640, 3), np.uint8)
    frame[:] = (g, g + int(rng.integers(-8, 9)), g + int(rng.integers(-8, 9)))
    ch = int(rng.uniform(0.5, 0.8) * 480)
    cw = int(ch * rng.uniform(0.9, 1.3))
    x0 = 320 - cw // 2 + int(rng.integers(-60, 61))
    y0 = 240 - ch // 2 + int(rng.integers(-40, 41))
    x0, y0 = int(np.clip(x0, 0, 640 - cw)), int(np.clip(y0, 0, 480 - ch))
    card = int(rng.integers(225, 256))
    frame[y0 : y0 + ch, x0 : x0 + cw] = card
    if symbol is not None and symbol.any():
        m = symbol.astype(np.float32) / 255
        k = rng.uniform(0.5, 0.8) * min(cw, ch) / max(m.shape)
        m = cv2.resize(
            m,
            (max(1, int(m.shape[1] * k)), max(1, int(m.shape[0] * k))),
            interpolation=cv2.INTER_AREA,
        )
        h, w = m.shape
        sx, sy = x0 + (cw - w) // 2, y0 + (ch - h) // 2
        ink = float(rng.integers(0, 60))
        roi = frame[sy : sy + h, sx : sx + w].astype(np.float32)
        frame[sy : sy + h, sx : sx + w] = (
            roi * (1 - m[..., None]) + ink * m[..., None] + 0.5
        ).astype(np.uint8)
    return frame


def frames(seed, count, hard_share=0.0, clean=False, fonts=None):
    """Yield (kind index, BGR frame) for `count` non-signs with the kinds in KIND_SHARE's
    proportions, shuffled."""
    if fonts is None:
        fonts = rs.available_fonts()
    rng = np.random.default_rng(seed)
    kinds = np.repeat(np.arange(len(KINDS)), np.round(KIND_SHARE * count).astype(int))
    kinds = np.resize(kinds, count)[rng.permutation(count)]
    for k in kinds:
        kind = KINDS[k]
        if clean:
            sym = None if kind in ("blank", "nocard") else MASKS[kind](rng, fonts)
            f = clean_frame(rng, sym)
            if kind == "nocard":
                f[:] = f[0, 0]
        else:
            f = render_nonsign(rng, kind, fonts, bool(rng.random() < hard_share))
        yield int(k), f


def render_set(
    seed, count, hard_share=0.0, clean=False, keep_frames=False, log_every=2000, fonts=None
):
    """(pooled sums as render_signs.render_set stores them, kind indices, frames)."""
    cv2.setNumThreads(1)
    xs = np.empty((count, 3, rs.NET_SIZE // rs.POOL, rs.NET_SIZE // rs.POOL), np.uint16)
    kinds = np.empty(count, np.int64)
    kept = []
    t0 = time.time()
    for i, (k, f) in enumerate(frames(seed, count, hard_share, clean, fonts)):
        xs[i], kinds[i] = rs.pooled_sums(f), k
        if keep_frames:
            kept.append(f)
        if log_every and (i + 1) % log_every == 0:
            print(f"  {i + 1}/{count} rendered, {time.time() - t0:.0f} s", flush=True)
    return xs, kinds, kept


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--count", type=int, required=True)
    ap.add_argument("--hard-share", type=float, default=0.0)
    ap.add_argument(
        "--clean",
        action="store_true",
        help="flat OpenCV test pictures instead of camera-like frames",
    )
    ap.add_argument("--out", help="write the pooled pictures and kinds to this .npz")
    ap.add_argument("--sheet", help="write a contact sheet of the frames to this picture")
    a = ap.parse_args()
    xs, kinds, frames = render_set(
        a.seed, a.count, a.hard_share, a.clean, keep_frames=bool(a.sheet)
    )
    if a.out:
        os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
        np.savez(a.out, x=xs, kind=kinds)
        print(f"wrote {len(kinds)} pictures to {a.out}")
    if a.sheet:
        order = np.argsort(kinds, kind="stable")
        sheet = rs.contact_sheet([frames[i] for i in order], [0] * len(order))
        # label the cells with the kind instead of a class name
        cell_w, cell_h = 160, 120
        for j, i in enumerate(order):
            r, c = divmod(j, 12)
            y, x = r * (cell_h + 16), c * cell_w
            sheet[y + cell_h : y + cell_h + 16, x : x + cell_w] = 0
            cv2.putText(
                sheet,
                KINDS[kinds[i]],
                (x + 4, y + cell_h + 12),
                cv2.FONT_HERSHEY_PLAIN,
                1,
                (255, 255, 255),
                1,
            )
        cv2.imwrite(a.sheet, sheet)
        print(f"wrote {a.sheet}")


if __name__ == "__main__":
    main()
