"""What the car's camera programs can see: a line to follow, a face (with a hat on), a QR code,
a digit and an arrow recognised by the kit's sign model, and the beauty filter.

Each step saves an annotated picture into one folder (demo-output/ by default) and prints one
line saying what it found and where the picture is. The line is looked for in camera 0 (on
the simulator the practice-mat video); the other steps use pictures the program makes itself
(the astronaut photo of scikit-image for the face, a QR code, two sign cards), so they work
with any camera, or none.

The face finder, the hat and the sign model come from the kit folder /home/pi/class/. When it
is not there, the program installs the kit into a folder of its own (DIR/kit, as
`python3 -m control_zelk.kit install --dir DIR/kit` would) and points optik1 at it.

On the car:            .venv/bin/python demo/vision_demo.py [--out DIR]
Without the car:       .venv/bin/zelk-run-on-sim demo/vision_demo.py [--out DIR]
Without a screen the library's windows are skipped; the pictures are saved all the same.
"""

import argparse
import os
import shutil
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Without a screen, OpenCV's first window would end the program: skip the windows then.
HEADLESS = not any(os.environ.get(v) for v in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"))

import cv2  # noqa: E402
import numpy as np  # noqa: E402
from control_zelk import optik1  # noqa: E402
from control_zelk.optik1 import Camera, Img  # noqa: E402

LINE_FRAMES = 12  # camera pictures looked at for the line
KIT_FILES = ("model/face.xml", "model/qmt4082.proto", "camera_pos/hat.jpg", "camera_pos/mask.jpg")
QR_TEXT = "前进 20 cm"  # zbar guesses the character set of a code: this text it reads back right
GREEN, RED, BLUE, WHITE = (0, 200, 0), (0, 0, 255), (255, 0, 0), (255, 255, 255)


class Windows:
    """Keeps the last picture shown in each window (the library shows its results through
    cv2.imshow); without a screen the windows themselves are skipped."""

    def __init__(self):
        self.last = {}
        self._imshow = cv2.imshow
        cv2.imshow = self.imshow
        if HEADLESS:
            for name in ("namedWindow", "resizeWindow", "destroyAllWindows"):
                setattr(cv2, name, lambda *args, **kwargs: None)
            cv2.waitKey = lambda delay=0: -1

    def imshow(self, name, image):
        self.last[name] = np.array(image, copy=True)
        if not HEADLESS:
            self._imshow(name, image)


def say(step, text, picture):
    print(f"{step}: {text} -> {picture}", flush=True)


def save(out, name, image):
    path = os.path.join(out, name)
    if not cv2.imwrite(path, image):
        raise OSError(f"cannot write {path}")
    return path


def label(image, text, org, colour=WHITE, scale=0.6):
    """Text with a dark outline, readable on any background (Hershey fonts: ASCII only)."""
    cv2.putText(image, text, org, cv2.FONT_HERSHEY_SIMPLEX, scale, (0, 0, 0), 5, cv2.LINE_AA)
    cv2.putText(image, text, org, cv2.FONT_HERSHEY_SIMPLEX, scale, colour, 2, cv2.LINE_AA)


# ---------------------------------------------------------------------------------------------
# The kit folder


def has_kit(folder):
    return all(os.path.isfile(os.path.join(folder, name)) for name in KIT_FILES)


def install_kit(folder):
    """The kit installer's files into `folder`; a file this installation of the package does
    not carry yet is taken from the repository's kit/ folder. Returns the names missing."""
    from control_zelk import kit

    try:
        kit.install(folder, say=lambda line: None)
    except OSError:
        pass  # a file the package lacks: the loop below fills in what it can
    missing = []
    for name in KIT_FILES:
        target = os.path.join(folder, name)
        if os.path.isfile(target):
            continue
        for source in [os.path.join(REPO, "kit", name)] + [
            os.path.join(d, kit.CASCADE) for d in kit.CASCADE_DIRS if name == "model/face.xml"
        ]:
            if os.path.isfile(source):
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copyfile(source, target)
                break
        else:
            missing.append(name)
    return missing


def use_kit(out):
    """Points optik1 at a kit folder: the car's own, or one installed under `out`."""
    if has_kit(optik1.main_path):
        print(f"kit: using {optik1.main_path}")
        return []
    folder = os.path.join(out, "kit")
    missing = install_kit(folder)
    optik1.model_path = os.path.join(folder, "model", "")
    optik1.d_path = os.path.join(folder, "camera_pos", "")
    note = f" (missing: {', '.join(missing)})" if missing else ""
    print(
        f"kit: {optik1.main_path} has no kit; installed one into {folder} and pointed "
        f"optik1.model_path and d_path there{note}"
    )
    return missing


# ---------------------------------------------------------------------------------------------
# The steps


def span(values):
    low, high = min(values), max(values)
    return str(low) if low == high else f"{low}..{high}"


def line_step(out):
    """f1's line following on camera 0: offset2, then offset_calculate2 and line_angle2."""
    cam = Camera(0)
    seen = []  # (frame, offset, angle), offset None when there is no line
    for turn in range(LINE_FRAMES):
        frame = cam.read_camera()
        if frame is None:
            break
        img = Img(frame)
        if img.offset2():
            seen.append((frame, img.offset_calculate2(), img.line_angle2()))
        else:
            seen.append((frame, None, None))
    cam.close_camera()
    if not seen:
        print("line: no picture from camera 0, step skipped")
        return
    # Four of the pictures, each marked where the line crosses the middle row.
    tiles = []
    for frame, offset, angle in seen[:: max(1, len(seen) // 4)][:4]:
        tile = frame.copy()
        h, w = tile.shape[:2]
        cv2.line(tile, (0, h // 2), (w - 1, h // 2), BLUE, 2)
        cv2.line(tile, (w // 2, h // 2 - 25), (w // 2, h // 2 + 25), BLUE, 2)
        if offset is not None:
            cv2.circle(tile, (w // 2 + offset, h // 2), 14, RED, -1)
        tile = cv2.resize(tile, (320, 240))
        label(tile, "no line" if offset is None else f"offset {offset}, angle {angle}", (8, 26))
        tiles.append(tile)
    while len(tiles) < 4:
        tiles.append(np.zeros_like(tiles[0]))
    sheet = np.vstack([np.hstack(tiles[:2]), np.hstack(tiles[2:])])
    path = save(out, "line.png", sheet)
    offsets = [o for _, o, _ in seen if o is not None]
    angles = [a for _, _, a in seen if a is not None]
    if offsets:
        found = (
            f"line in {len(offsets)} of {len(seen)} pictures, offset {span(offsets)} px, "
            f"angle {span(angles)}"
        )
    else:
        found = f"no line in {len(seen)} pictures"
    say("line", found, path)


def face_picture():
    try:
        from skimage import data
    except ImportError:
        return None
    return cv2.cvtColor(data.astronaut(), cv2.COLOR_RGB2BGR)


def face_step(out, windows, photo):
    """Img.face_cap("hat"): the faces boxed in window "face", the hat pasted in "output"."""
    if photo is None:
        print("face: no face picture (scikit-image is not installed), step skipped")
        return
    img = Img(photo.copy())
    windows.last.pop("output", None)
    img.face_cap("hat")
    pasted = windows.last.get("output")
    picture = pasted if pasted is not None else img.img  # img.img carries the face boxes
    path = save(out, "face_hat.png", picture)
    hat = "hat pasted" if pasted is not None else "no hat pasted"
    say("face", f"color_data {img.color_data!r}, {hat}", path)


def qr_picture(text):
    """A white page with the QR code of `text`."""
    try:
        import qrcode

        code = np.array(qrcode.make(text, box_size=8, border=2).convert("L"))
    except ImportError:
        code = cv2.QRCodeEncoder.create().encode(text)
        code = cv2.resize(code, None, fx=8, fy=8, interpolation=cv2.INTER_NEAREST)
        code = cv2.copyMakeBorder(code, 16, 16, 16, 16, cv2.BORDER_CONSTANT, value=255)
    page = np.full((480, 640), 255, np.uint8)
    h, w = code.shape
    y, x = (480 - h) // 2, (640 - w) // 2
    page[y : y + h, x : x + w] = code
    return cv2.cvtColor(page, cv2.COLOR_GRAY2BGR)


def qr_step(out, windows):
    """Img.erweima_detect: marks the code on the grey picture in window "erweima"."""
    img = Img(qr_picture(QR_TEXT))
    img.erweima_detect()
    marked = cv2.cvtColor(windows.last["erweima"], cv2.COLOR_GRAY2BGR)
    path = save(out, "qr.png", marked)
    say("qr", f"er_data {img.er_data!r}", path)


def sign_card(kind):
    """A clean sign card on a grey table, as the camera sees one held up: `kind` is a digit
    "1".."9", "left" or "right"."""
    frame = np.full((480, 640, 3), (150, 155, 160), np.uint8)
    cv2.rectangle(frame, (170, 90), (470, 390), (245, 245, 245), -1)
    ink = (30, 30, 30)
    if kind in ("left", "right"):
        tip, tail = (210, 240), (430, 240)
        if kind == "right":
            tip, tail = tail, tip
        d = 1 if kind == "left" else -1
        head = np.array([tip, (tip[0] + d * 95, 150), (tip[0] + d * 95, 330)], np.int32)
        cv2.fillPoly(frame, [head], ink, cv2.LINE_AA)
        cv2.rectangle(
            frame,
            (min(tip[0] + d * 90, tail[0]), 210),
            (max(tip[0] + d * 90, tail[0]), 270),
            ink,
            -1,
        )
    else:
        (tw, th), _ = cv2.getTextSize(kind, cv2.FONT_HERSHEY_SIMPLEX, 7, 22)
        cv2.putText(
            frame,
            kind,
            (320 - tw // 2, 240 + th // 2),
            cv2.FONT_HERSHEY_SIMPLEX,
            7,
            ink,
            22,
            cv2.LINE_AA,
        )
    return frame


def model_step(out):
    """Img.model_recognize with the kit's sign model on a digit card and a right-arrow card."""
    results, tiles = [], []
    for kind in ("3", "right"):
        card = sign_card(kind)
        img = Img(card.copy())
        img.model_recognize()
        sure = round(100 * float(np.max(img.pro)))
        results.append(f"{kind} card -> m_data {img.m_data!r} ({sure} %)")
        tile = cv2.resize(card, (320, 240))
        label(tile, f"{kind} card", (10, 30))
        label(tile, f"class {int(np.argmax(img.pro))}, {sure} %", (10, 225), GREEN)
        tiles.append(tile)
    path = save(out, "model.png", np.hstack(tiles))
    say("model", ", ".join(results), path)


def beauty_step(out, photo):
    """Img.beauty_face: the smoothed picture, beside the one it started from."""
    if photo is None:
        print("beauty: no face picture (scikit-image is not installed), step skipped")
        return
    face = photo[0:200, 150:350]  # the astronaut's face, close up
    img = Img(face.copy())
    img.beauty_face()
    path = save(out, "beauty.png", np.hstack([face, img.img]))
    say("beauty", f"brightness {face.mean():.0f} -> {img.img.mean():.0f}, skin smoothed", path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--out", default="demo-output", help="folder for the pictures (default: %(default)s)"
    )
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    windows = Windows()

    missing = use_kit(args.out)
    line_step(args.out)
    photo = face_picture()
    if "model/face.xml" in missing:
        print("face: the kit has no face.xml, step skipped")
    else:
        face_step(args.out, windows, photo)
    qr_step(args.out, windows)
    if "model/qmt4082.proto" in missing:
        print("model: the kit has no qmt4082.proto, step skipped")
    else:
        model_step(args.out)
    beauty_step(args.out, photo)
    cv2.destroyAllWindows()


if __name__ == "__main__":
    main(sys.argv[1:])
