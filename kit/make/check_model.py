#!/usr/bin/env python3
"""Check the sign model the way the library runs it: OpenCV's dnn on camera-size frames.

    python3 check_model.py                              # render frames, classify, report
    python3 check_model.py --hard-share 1               # printed-and-photographed-like frames
    python3 check_model.py --per-class 0 --nonsigns 600 # letters, shapes, ...: answered?
    python3 check_model.py --save /tmp/ref.npz          # also keep inputs and probabilities
    python3 check_model.py --compare /tmp/ref.npz       # another OpenCV build: same answers?

Rendering needs Pillow and the fonts (see render_signs.py); --compare needs only cv2
and numpy, so it runs in any environment with another OpenCV version.
"""

import argparse
import os
import sys
import time

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_MODEL = os.path.normpath(os.path.join(HERE, "..", "model", "qmt4082.proto"))
N_CLASSES = 12


def softmax(z):
    z = z.astype(np.float64)
    e = np.exp(z - z.max(axis=1, keepdims=True))
    return e / e.sum(axis=1, keepdims=True)


def run(net, xs):
    out = []
    t0 = time.perf_counter()
    for x in xs:
        net.setInput(x)
        out.append(net.forward().reshape(1, -1))
    dt = (time.perf_counter() - t0) / max(1, len(xs))
    return softmax(np.concatenate(out)), dt


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--model", default=DEFAULT_MODEL)
    ap.add_argument("--seed", type=int, default=50)
    ap.add_argument("--per-class", type=int, default=20)
    ap.add_argument("--hard-share", type=float, default=0.0)
    ap.add_argument(
        "--empty",
        type=int,
        default=0,
        help="also classify this many frames with no card (background only)",
    )
    ap.add_argument(
        "--nonsigns",
        type=int,
        default=0,
        help="also classify this many non-signs (render_nonsigns.py: letters, 0, "
        "shapes, pictograms, blank cards, clutter, no card)",
    )
    ap.add_argument("--nonsign-hard-share", type=float, default=0.2)
    ap.add_argument(
        "--flat",
        type=int,
        default=0,
        help="also classify this many flat OpenCV test pictures of non-signs",
    )
    ap.add_argument("--save", help="write inputs, labels and probabilities to this .npz")
    ap.add_argument("--compare", help="run the inputs saved in this .npz and compare")
    a = ap.parse_args()
    cv2.setNumThreads(1)
    net = cv2.dnn.readNetFromONNX(a.model)
    print(f"OpenCV {cv2.__version__}: read {a.model} ({os.path.getsize(a.model)} bytes)")

    if a.compare:
        ref = np.load(a.compare)
        p, dt = run(net, ref["x"])
        d = np.abs(p - ref["p"]).max()
        same = (p.argmax(1) == ref["p"].argmax(1)).mean()
        print(
            f"{len(p)} inputs from {a.compare} (OpenCV {ref['version']}): largest probability "
            f"difference {d:.2e}, same class for {same * 100:.1f} %, {dt * 1000:.1f} ms/frame"
        )
        sys.exit(0 if d < 1e-4 else 1)

    sys.path.insert(0, HERE)
    import render_signs

    xs, ys = [], []
    rng = np.random.default_rng(a.seed)
    fonts = render_signs.available_fonts()
    for i in range(a.per_class * N_CLASSES):
        c = i % N_CLASSES
        frame = render_signs.render_frame(rng, c, fonts, bool(rng.random() < a.hard_share))
        xs.append(render_signs.net_input(frame))
        ys.append(c)
    ys = np.array(ys, int)
    p, dt = run(net, xs)
    if len(ys):
        pred, conf = p.argmax(1), p.max(1)
        ok = pred == ys
        print(
            f"{len(ys)} rendered frames (seed {a.seed}, hard share {a.hard_share}): "
            f"accuracy {ok.mean() * 100:.1f} %, "
            f"correct with p>0.9 {np.mean(ok & (conf > 0.9)) * 100:.1f} %, "
            f"wrong with p>0.9 {np.mean(~ok & (conf > 0.9)) * 100:.1f} %, "
            f"forward {dt * 1000:.1f} ms/frame"
        )
    import render_nonsigns

    for count, flat in ((a.nonsigns, False), (a.flat, True)):
        if not count:
            continue
        # their own seeds, apart from the frames above and from the training sets
        seed = a.seed + (2000 if flat else 1000)
        kinds, nx = [], []
        for k, f in render_nonsigns.frames(seed, count, a.nonsign_hard_share, flat, fonts):
            kinds.append(k)
            nx.append(render_signs.net_input(f))
        kinds = np.array(kinds)
        pn, _ = run(net, nx)
        sure = pn.max(1) > 0.9
        what = "flat OpenCV pictures of non-signs" if flat else "non-signs"
        print(f"{count} {what} (seed {seed}): answered with p>0.9 for {sure.mean() * 100:.1f} %")
        print(
            "  by kind %: "
            + " ".join(
                f"{k}:{sure[kinds == i].mean() * 100:.1f}"
                for i, k in enumerate(render_nonsigns.KINDS)
                if np.any(kinds == i)
            )
        )
    if a.empty:
        ex = []
        for _ in range(a.empty):
            bg = np.clip(render_signs.background(rng, 480, 640), 0, 255).astype(np.uint8)
            ex.append(render_signs.net_input(bg))
        pe, _ = run(net, ex)
        print(
            f"{a.empty} frames without a card: answered with p>0.9 for "
            f"{np.mean(pe.max(1) > 0.9) * 100:.1f} %"
        )
    if a.save:
        np.savez(a.save, x=np.stack(xs), y=ys, p=p, version=cv2.__version__)
        print(f"saved to {a.save}")


if __name__ == "__main__":
    main()
