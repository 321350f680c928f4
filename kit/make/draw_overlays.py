#!/usr/bin/env python3
"""Draw the kit's overlay pictures: camera_pos/hat.jpg and camera_pos/mask.jpg.

Learners' programs paste them onto detected faces with
``cv2.seamlessClone(picture, frame, np.full_like(picture, 255), centre, cv2.MIXED_CLONE)``:

* the hat is resized to the face box's width x height and centred on the middle
  of the box's top edge, so the brim is drawn a little below the picture's
  middle (it lands on the forehead) and the crown fills the upper part;
* the mask is resized to the box's width x 4/5 of its height and centred at 70 %
  of the face's height (nose to chin).

Mixed cloning keeps, at each pixel, the stronger of the picture's and the
frame's gradients, so the plain background (no gradient) lets the frame through
and flat colour carries little: the pictures are drawn with strong outlines,
shading and texture (stripes, pleats, fabric weave) so they stay visible.

Usage:
    python3 draw_overlays.py                      # writes ../camera_pos/{hat,mask}.jpg
    python3 draw_overlays.py --preview /tmp/pasted.png   # also pastes them on a sample photo
"""

import argparse
import os

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
W, H = 400, 300
# Mixed cloning adds the picture's colour steps to the frame's colours, so the
# background is a mid tone between hair and skin: a stripe drawn at colour c then
# comes out near c wherever the frame around it is near this tone.
HAT_BACKGROUND = (110, 125, 150)
MASK_BACKGROUND = (135, 155, 195)
SS = 4  # drawn at 4x and shrunk, for smooth edges


def _pts(p):
    return np.round(np.asarray(p, np.float64) * SS).astype(np.int32)


def _vertical_gradient(h, w, top, bottom):
    t = np.linspace(0, 1, h, dtype=np.float32)[:, None, None]
    return (np.float32(top) * (1 - t) + np.float32(bottom) * t) * np.ones((1, w, 1), np.float32)


def _horizontal_shade(h, w, strength):
    """Cylinder-like shading: lighter in the middle, darker at the sides."""
    x = np.linspace(-1, 1, w, dtype=np.float32)
    s = 1 - strength * x**2 + 0.15 * strength * np.clip(-x, 0, 1)
    return np.broadcast_to(s[None, :, None], (h, w, 1))


def _fill(img, mask, colour_img):
    m = (mask.astype(np.float32) / 255)[..., None]
    img[:] = img * (1 - m) + colour_img * m


def draw_hat():
    """A red-and-white striped party hat with a pompom, on a dark band and brim."""
    h, w = H * SS, W * SS
    img = np.empty((h, w, 3), np.float32)
    img[:] = HAT_BACKGROUND
    brim_y = 0.66 * H  # the brim sits just below the picture's middle
    cx = W / 2
    # crown: a cone from the brim up to the tip
    tip = (cx + 8, 0.1 * H)
    base_l, base_r = (cx - 0.4 * W, brim_y), (cx + 0.4 * W, brim_y)
    cone = np.zeros((h, w), np.uint8)
    cv2.fillPoly(cone, [_pts([tip, base_r, base_l])], 255, cv2.LINE_AA, 0)
    # diagonal stripes across the cone
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32) / SS
    stripe = (np.sin((xx * 0.6 + yy) / 14.0) > 0).astype(np.float32)
    red = _vertical_gradient(h, w, (40, 40, 215), (20, 20, 150))
    white = _vertical_gradient(h, w, (245, 245, 250), (200, 205, 215))
    body = red * (1 - stripe[..., None]) + white * stripe[..., None]
    body *= _horizontal_shade(h, w, 0.35)
    _fill(img, cone, body)
    # stripe edges drawn as thin dark lines keep the pattern crisp when cloned
    edges = cv2.Canny((stripe * 255).astype(np.uint8), 50, 150)
    edges = cv2.dilate(edges, np.ones((3, 3), np.uint8)) & cone
    _fill(img, edges, np.full((h, w, 3), (30, 30, 110), np.float32))
    cv2.polylines(img, [_pts([tip, base_r, base_l])], True, (20, 20, 70), 3 * SS, cv2.LINE_AA, 0)
    # band and brim: a dark blue ellipse band with gold dots
    band = np.zeros((h, w), np.uint8)
    cv2.ellipse(
        band,
        _pts((cx, brim_y)).tolist(),
        _pts((0.47 * W, 0.085 * H)).tolist(),
        0,
        0,
        360,
        255,
        -1,
        cv2.LINE_AA,
        0,
    )
    _fill(img, band, _vertical_gradient(h, w, (160, 80, 30), (70, 30, 10)))
    cv2.ellipse(
        img,
        _pts((cx, brim_y)).tolist(),
        _pts((0.47 * W, 0.085 * H)).tolist(),
        0,
        0,
        360,
        (40, 15, 5),
        3 * SS,
        cv2.LINE_AA,
        0,
    )
    for k in range(-5, 6):
        x = cx + k * 0.08 * W
        y = brim_y + 0.02 * H * (1 - (k / 5) ** 2)
        cv2.circle(img, _pts((x, y)).tolist(), int(5 * SS), (40, 200, 250), -1, cv2.LINE_AA, 0)
    # pompom: a fluffy ball of short strokes
    rng = np.random.default_rng(5)
    pc = np.array(tip)
    cv2.circle(img, _pts(pc).tolist(), int(24 * SS), (235, 240, 245), -1, cv2.LINE_AA, 0)
    for _ in range(140):
        a = rng.uniform(0, 2 * np.pi)
        r0, r1 = rng.uniform(4, 16), rng.uniform(20, 30)
        p0 = pc + r0 * np.array([np.cos(a), np.sin(a)])
        p1 = pc + r1 * np.array([np.cos(a), np.sin(a)])
        col = (150, 170, 190) if rng.random() < 0.5 else (250, 252, 255)
        cv2.line(img, _pts(p0).tolist(), _pts(p1).tolist(), col, 2 * SS, cv2.LINE_AA, 0)
    img = cv2.resize(np.clip(img, 0, 255), (W, H), interpolation=cv2.INTER_AREA)
    return np.round(img).astype(np.uint8)


def draw_mask():
    """A pleated light-blue surgical face mask with ear loops."""
    h, w = H * SS, W * SS
    img = np.empty((h, w, 3), np.float32)
    img[:] = MASK_BACKGROUND
    # outline: wide at the cheeks, curved at top (over the nose) and bottom (under the chin)
    top = [
        (0.14 * W, 0.22 * H),
        (0.3 * W, 0.12 * H),
        (0.5 * W, 0.06 * H),
        (0.7 * W, 0.12 * H),
        (0.86 * W, 0.22 * H),
    ]
    bottom = [
        (0.86 * W, 0.72 * H),
        (0.7 * W, 0.88 * H),
        (0.5 * W, 0.95 * H),
        (0.3 * W, 0.88 * H),
        (0.14 * W, 0.72 * H),
    ]
    pts = []
    for seg in (top, bottom):
        seg = np.array(seg)
        t = np.linspace(0, 1, len(seg))
        tt = np.linspace(0, 1, 60)
        pts += list(np.stack([np.interp(tt, t, seg[:, 0]), np.interp(tt, t, seg[:, 1])], 1))
    pts = np.array(pts)
    pts = cv2.approxPolyDP(pts.astype(np.float32), 0.5, True).reshape(-1, 2)
    shape = np.zeros((h, w), np.uint8)
    cv2.fillPoly(shape, [_pts(pts)], 255, cv2.LINE_AA, 0)
    shape = cv2.GaussianBlur(shape, (0, 0), 2 * SS)
    shape = np.where(shape > 127, 255, 0).astype(np.uint8)
    shape = cv2.GaussianBlur(shape, (0, 0), SS * 0.7)
    # fabric: light blue with horizontal pleats (light top edge, dark fold shadow)
    yy = np.arange(h, dtype=np.float32)[:, None] / SS
    fabric = np.empty((h, w, 3), np.float32)
    fabric[:] = (235, 200, 150)
    pleat = np.zeros((h, 1), np.float32)
    for y0 in np.linspace(0.3 * H, 0.7 * H, 3):
        d = yy - y0
        pleat += -100 * np.exp(-((d / 3.5) ** 2)) + 45 * np.exp(-(((d - 10) / 7.0) ** 2))
    fabric += pleat[..., None]
    # a printed pattern of small dots keeps the fabric's own gradients stronger than
    # the face's (mouth, nostrils) nearly everywhere, so the face does not show through
    dots = np.zeros((h, w), np.uint8)
    step = 17
    for j, y in enumerate(np.arange(0.05 * H, 0.98 * H, step * 0.87)):
        for x in np.arange(0.1 * W + (j % 2) * step / 2, 0.92 * W, step):
            cv2.circle(dots, _pts((x, y)).tolist(), int(4.5 * SS), 255, -1, cv2.LINE_AA, 0)
    _fill(fabric, dots, np.float32([255, 250, 245]) + pleat[..., None] * 0.5)
    fabric *= _horizontal_shade(h, w, 0.25)
    _fill(img, shape, fabric)
    # seam along the outline and the nose wire
    contours, _ = cv2.findContours(
        (shape > 127).astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE
    )
    cv2.drawContours(img, contours, -1, (150, 110, 70), 3 * SS, cv2.LINE_AA)
    cv2.polylines(
        img,
        [_pts([(0.36 * W, 0.15 * H), (0.5 * W, 0.115 * H), (0.64 * W, 0.15 * H)])],
        False,
        (190, 190, 190),
        4 * SS,
        cv2.LINE_AA,
        0,
    )
    # ear loops
    for side in (-1, 1):
        c = (0.5 * W + side * 0.43 * W, 0.47 * H)
        cv2.ellipse(
            img,
            _pts(c).tolist(),
            _pts((0.07 * W, 0.26 * H)).tolist(),
            0,
            -90 if side > 0 else 90,
            90 if side > 0 else 270,
            (200, 200, 200),
            4 * SS,
            cv2.LINE_AA,
            0,
        )
        cv2.ellipse(
            img,
            _pts(c).tolist(),
            _pts((0.07 * W, 0.26 * H)).tolist(),
            0,
            -90 if side > 0 else 90,
            90 if side > 0 else 270,
            (120, 120, 120),
            1 * SS,
            cv2.LINE_AA,
            0,
        )
    img = cv2.resize(np.clip(img, 0, 255), (W, H), interpolation=cv2.INTER_AREA)
    return np.round(img).astype(np.uint8)


def paste(frame, face, hat=None, mask=None):
    """Paste the pictures on one face box as the learners' programs do."""
    x, y, w, h = face
    out = frame.copy()
    if hat is not None:
        pic = cv2.resize(hat, (w, h))
        out = cv2.seamlessClone(pic, out, np.full_like(pic, 255), (x + w // 2, y), cv2.MIXED_CLONE)
    if mask is not None:
        pic = cv2.resize(mask, (w, h * 4 // 5))
        out = cv2.seamlessClone(
            pic, out, np.full_like(pic, 255), (x + w // 2, y + h * 7 // 10), cv2.MIXED_CLONE
        )
    return out


def preview(hat, mask, path):
    import skimage.data

    frame = np.ascontiguousarray(skimage.data.astronaut()[:, :, ::-1])
    cascade = cv2.CascadeClassifier(
        "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml"
    )
    faces = cascade.detectMultiScale(cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY), 2, 5)
    a, b = frame.copy(), frame.copy()
    for f in faces:
        a = paste(a, f, hat=hat)
        b = paste(b, f, mask=mask)
    row = np.concatenate([a, b], axis=1)
    pics = np.full((H, row.shape[1], 3), 128, np.uint8)
    pics[:, :W] = hat
    pics[:, W + 20 : 2 * W + 20] = mask
    cv2.imwrite(path, np.concatenate([row, pics], axis=0))
    print(f"faces {list(map(list, faces))}; preview written to {path}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", default=os.path.join(HERE, "..", "camera_pos"))
    ap.add_argument("--preview", help="also paste both on the astronaut photo into this file")
    a = ap.parse_args()
    hat, mask = draw_hat(), draw_mask()
    os.makedirs(a.out, exist_ok=True)
    for name, pic in (("hat.jpg", hat), ("mask.jpg", mask)):
        p = os.path.join(a.out, name)
        cv2.imwrite(p, pic, [cv2.IMWRITE_JPEG_QUALITY, 95])
        print(f"wrote {os.path.normpath(p)} ({pic.shape[1]}x{pic.shape[0]})")
    if a.preview:
        preview(hat, mask, a.preview)


if __name__ == "__main__":
    main()
