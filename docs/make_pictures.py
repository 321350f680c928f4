"""Makes every picture in docs/pictures/ by running the learner programs on the simulator.

    .venv/bin/python docs/make_pictures.py [--examples DIR] [--kit-from DIR] [NAME ...]

Each picture is what a program shows in its windows, or, for the pictures named trail_*, the
top view of a world with the path the virtual car took while the program drove it for a set
time (zelk-run-on-sim --world ... --trail-picture). For the windows, the program in examples/
(or, for the module's demonstrations f1-f4 and main, a two-line program that calls it) runs through
zelk-run-on-sim as a learner would run it, with camera 0 played by the simulator's camera
stand-in (the practice-mat video, or a still picture made here: the astronaut photo of
scikit-image, a QR code, sign cards, shapes). While it runs, cv2.imshow only keeps the first
and the last picture of each window (no window opens, and waits for a key return at once), and
those are scaled, put side by side and saved here as docs/pictures/NAME.png or .jpg.

NAME arguments make only those pictures (default: all). --examples is where the learner
programs are (default: examples/ of this repository); --kit-from is a folder laid out like the
kit (model/, camera_pos/) that supplies the kit files this installation of the package does
not carry (default: kit/ of this repository). One more picture, web-view (the page of
zelk-run-on-sim --web), is a screenshot taken by tests/test_web_view_browser.py in headless
chromium. And model_signs is drawn, not run: the twelve signs of the kit's model as the kit's
own picture script (kit/make/render_signs.py) prints them on cards. Runs take under two minutes
on two cores, two at a time. The same package, OpenCV, Pillow, NumPy, scikit-image and DejaVu
fonts give the same pictures, byte for byte.

Also, as the PROGRAM of zelk-run-on-sim (what the runs above use):

    zelk-run-on-sim [OPTIONS] docs/make_pictures.py --capture DIR [--kit KIT] [--passes N]
        [--clicks "X,Y ..."] PROGRAM.py [ARGS]

runs PROGRAM.py with the windows captured into DIR (WINDOW.first.png, WINDOW.last.png) and
optik's and optik1's kit paths pointed at KIT; --passes ends it (as Ctrl-C would) at its
N-th wait for a key, for programs that never end; --clicks are a learner's left clicks on the
window with a mouse callback when the program waits for a key with no time limit.
"""

import argparse
import concurrent.futures
import os
import runpy
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PICTURES = os.path.join(REPO, "docs", "pictures")
LAUNCHER = (sys.executable, "-m", "zelk_run")  # zelk-run-on-sim
KIT_FILES = ("model/face.xml", "model/qmt4082.proto", "camera_pos/hat.jpg", "camera_pos/mask.jpg")

# The green ball of the mat video in its first picture (zelk_run/camera_stand_in.py): where the
# learner of 11_colour_picking.py clicks.
BALL_CLICKS = "80,120 60,120 100,120 80,100 80,140 65,105 95,135 65,135 95,105"
FACE = (slice(0, 260), slice(110, 370))  # the astronaut's head, rows then columns


# ---------------------------------------------------------------------------------------------
# Capture mode: runs inside zelk-run-on-sim.


class EnoughPasses(BaseException):
    """Ends a program that loops for ever, after the passes wanted."""


def capture(argv):
    parser = argparse.ArgumentParser(prog="make_pictures.py --capture")
    parser.add_argument("--capture", required=True, metavar="DIR")
    parser.add_argument("--kit")
    parser.add_argument("--passes", type=int)
    parser.add_argument("--clicks", default="")
    parser.add_argument("program")
    parser.add_argument("args", nargs=argparse.REMAINDER)
    opts = parser.parse_args(argv)

    import cv2
    import numpy as np

    if opts.kit:
        from control_zelk import optik, optik1

        for module in (optik, optik1):
            module.model_path = os.path.join(opts.kit, "model", "")
            module.d_path = os.path.join(opts.kit, "camera_pos", "")

    first, last, callbacks = {}, {}, {}
    clicks = [tuple(int(v) for v in xy.split(",")) for xy in opts.clicks.split()]
    waits = [0]

    def imshow(name, image):
        image = np.array(image, copy=True)
        first.setdefault(name, image)
        last[name] = image

    def set_mouse_callback(name, callback, param=None):
        callbacks[name] = (callback, param)

    def wait_key(delay=0):
        waits[0] += 1
        if opts.passes and waits[0] >= opts.passes:
            raise EnoughPasses()
        if delay <= 0:
            if not clicks or not callbacks:
                raise RuntimeError("the program waits for a key with no time limit")
            for callback, param in callbacks.values():
                for x, y in clicks:
                    callback(cv2.EVENT_LBUTTONDOWN, x, y, 0, param)
            callbacks.clear()
        return -1

    cv2.imshow = imshow
    cv2.setMouseCallback = set_mouse_callback
    cv2.waitKey = wait_key
    for name in ("namedWindow", "resizeWindow", "destroyWindow", "destroyAllWindows", "moveWindow"):
        setattr(cv2, name, lambda *args, **kwargs: None)

    sys.argv = [opts.program] + opts.args
    sys.path[0] = os.path.dirname(os.path.abspath(opts.program))
    try:
        runpy.run_path(opts.program, run_name="__main__")
    except EnoughPasses:
        print(f"[stopped after {opts.passes} passes]")
    finally:
        os.makedirs(opts.capture, exist_ok=True)
        for which, shown in (("first", first), ("last", last)):
            for name, image in shown.items():
                cv2.imwrite(os.path.join(opts.capture, f"{name}.{which}.png"), image)


# ---------------------------------------------------------------------------------------------
# The pictures


@dataclass
class Shot:
    """One run of a program and the picture made of its windows."""

    name: str  # docs/pictures/NAME.png or .jpg
    program: str  # examples/NN_name.py, or the name of a program in DEMOS
    windows: list  # ["WINDOW" (its last picture) or "WINDOW.first", ...], put side by side
    image: str = ""  # camera 0 shows this picture of INPUTS; otherwise the mat video
    width: int = 318  # width of each window's picture in the result
    crop: tuple = None  # (rows, columns) cut out of every window's picture first
    passes: int = 0
    clicks: str = ""
    jpeg: bool = True  # photos and camera pictures as JPEG, drawings as PNG
    files: dict = field(
        default_factory=dict
    )  # files put in the program's folder: name -> INPUTS name
    world: str = ""  # the program drives the virtual car in this world: the picture is its trail
    seconds: int = 0  # for how long


# Short programs that run the module's demonstrations.
DEMOS = {
    "f1": "from control_zelk import optik1\noptik1.f1()\n",
    "f2": "from control_zelk import optik1\noptik1.f2()\n",
    "f3": "from control_zelk import optik1\noptik1.f3()\n",
    "main": "from control_zelk import optik1\noptik1.main()\n",
    "f4": "from control_zelk import optik1\noptik1.f4()\n",
}

SHOTS = [
    Shot("camera_window", "examples/07_camera_window.py", ["camera", "grey"]),
    Shot("training_photos", "examples/08_training_photos.py", ["img"], width=400),
    Shot("calibration", "examples/09_calibration.py", ["camera", "straightened"]),
    Shot("colour_tracking", "examples/10_colour_tracking.py", ["tracking"], width=400, passes=12),
    Shot(
        "colour_picking",
        "examples/11_colour_picking.py",
        ["imageHSV", "following"],
        clicks=BALL_CLICKS,
    ),
    Shot(
        "camera_line_following",
        "examples/12_camera_line_following.py",
        ["line"],
        width=400,
        passes=100,
    ),
    Shot("shapes", "examples/13_shapes.py", ["shapes"], width=480, jpeg=False),
    Shot(
        "face_hat_mask",
        "examples/14_face_hat_mask.py",
        ["face", "output.first", "output"],
        image="astronaut.png",
        width=200,
        crop=FACE,
    ),
    Shot("qr_code", "examples/15_qr_codes.py", ["erweima"], image="qr.png", width=400, jpeg=False),
    Shot("model_digit", "examples/16_model_recognition.py", ["camera"], image="sign_3.png"),
    Shot("model_arrow", "examples/16_model_recognition.py", ["camera"], image="sign_left.png"),
    Shot(
        "beauty_filter",
        "examples/17_beauty_filter.py",
        ["before", "after"],
        image="astronaut.png",
        width=260,
        crop=FACE,
    ),
    Shot("follow_the_ball", "examples/18_follow_the_ball.py", ["ball"], width=400, passes=60),
    Shot("demo_f1", "f1", ["1"], width=400, passes=5),
    Shot("demo_f2", "f2", ["1", "2"], image="shapes.png", passes=3),
    Shot("demo_f3", "f3", ["1"], width=400, jpeg=False, files={"1.png": "shapes.png"}),
    Shot("demo_main", "main", ["22"], image="red_sign.png", width=300, passes=3),
    Shot("demo_f4", "f4", ["1", "2"], image="astronaut.png", width=260, crop=FACE, passes=2),
    Shot(
        "trail_lap_the_track",
        "examples/19_lap_the_track.py",
        [],
        width=450,
        jpeg=False,
        world="line-track",
        seconds=40,
    ),
    Shot(
        "trail_ultrasonic_stop",
        "examples/05_ultrasonic_stop.py",
        [],
        width=300,
        jpeg=False,
        world="arena",
        seconds=20,
    ),
    Shot(
        "trail_follow_the_ball",
        "examples/18_follow_the_ball.py",
        [],
        width=300,
        jpeg=False,
        world="arena",
        seconds=30,
    ),
]


def make_inputs(folder):
    """The still pictures camera 0 shows in some runs, written into `folder`."""
    import cv2
    import numpy as np
    from skimage import data

    sys.path.insert(0, os.path.join(REPO, "demo"))
    import vision_demo  # the demo's own QR page and sign cards

    cv2.imwrite(
        os.path.join(folder, "astronaut.png"), cv2.cvtColor(data.astronaut(), cv2.COLOR_RGB2BGR)
    )
    cv2.imwrite(os.path.join(folder, "qr.png"), vision_demo.qr_picture(vision_demo.QR_TEXT))
    cv2.imwrite(os.path.join(folder, "sign_3.png"), vision_demo.sign_card("3"))
    cv2.imwrite(os.path.join(folder, "sign_left.png"), vision_demo.sign_card("left"))
    red = vision_demo.sign_card("5")
    red[np.all(red == (30, 30, 30), axis=2)] = (40, 40, 220)  # the digit printed in red
    cv2.imwrite(os.path.join(folder, "red_sign.png"), cv2.GaussianBlur(red, (3, 3), 0))
    shapes = np.full((480, 640, 3), (60, 30, 20), np.uint8)  # light shapes on a dark ground
    cv2.circle(shapes, (140, 150), 90, (0, 220, 255), -1)
    cv2.circle(shapes, (470, 330), 100, (255, 255, 255), -1)
    cv2.rectangle(shapes, (300, 60), (440, 200), (255, 200, 0), -1)
    cv2.fillPoly(shapes, [np.array([[150, 290], [60, 440], [240, 440]])], (120, 255, 120))
    cv2.imwrite(os.path.join(folder, "shapes.png"), shapes)


def make_kit(folder, kit_from):
    """The kit folder: what the kit installer writes, the rest from `kit_from`."""
    from control_zelk import kit

    try:
        kit.install(folder, say=lambda line: None)
    except OSError:
        pass
    missing = []
    for name in KIT_FILES:
        target = os.path.join(folder, name)
        source = os.path.join(kit_from, name)
        if not os.path.isfile(target):
            if os.path.isfile(source):
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copyfile(source, target)
            else:
                missing.append(name)
    return missing


def program_file(shot, examples, work):
    if shot.program in DEMOS:
        path = os.path.join(work, f"demo_{shot.program}.py")
        with open(path, "w", encoding="utf-8") as f:
            f.write(DEMOS[shot.program])
        return path
    return os.path.join(examples, os.path.basename(shot.program))


def drive(shot, examples, cwd):
    """Runs the shot's program on the virtual car in its world; returns (its output, the
    folder with the trail picture)."""
    shown = subprocess.run([*LAUNCHER, "--help"], capture_output=True, text=True)
    headless = ["--headless"] if "--headless" in shown.stdout else []  # no view of the world
    command = [
        *LAUNCHER,
        "--trace",
        "off",
        "--world",
        shot.world,
        "--duration",
        str(shot.seconds),
        "--trail-picture",
        os.path.join(cwd, "trail.png"),
        *headless,
        program_file(shot, examples, cwd),
    ]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    started = time.monotonic()
    done = subprocess.run(
        command, capture_output=True, text=True, timeout=shot.seconds + 300, cwd=cwd, env=env
    )
    print(f"  {shot.name}: {time.monotonic() - started:.1f} s", file=sys.stderr)
    if done.returncode != 0:
        raise RuntimeError(f"{shot.program} in {shot.world} failed:\n{done.stdout}\n{done.stderr}")
    return done.stdout, cwd


def run(shot, examples, kit, inputs, work):
    """Runs the shot's program; returns (its output, the folder with the captured windows)."""
    cwd = os.path.join(work, shot.name)
    os.makedirs(cwd)
    if shot.world:
        return drive(shot, examples, cwd)
    for name, source in shot.files.items():
        shutil.copyfile(os.path.join(inputs, source), os.path.join(cwd, name))
    command = [*LAUNCHER, "--trace", "off"]
    if shot.image:
        command += ["--image", os.path.join(inputs, shot.image)]
    else:
        command += ["--video", os.path.join(inputs, "track.avi")]
    captured = os.path.join(cwd, "windows")
    command += [os.path.abspath(__file__), "--capture", captured, "--kit", kit]
    if shot.passes:
        command += ["--passes", str(shot.passes)]
    if shot.clicks:
        command += ["--clicks", shot.clicks]
    command.append(program_file(shot, examples, cwd))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", PYTHONHASHSEED="0")
    started = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=cwd, env=env)
    print(f"  {shot.name}: {time.monotonic() - started:.1f} s", file=sys.stderr)
    if shot.passes == 0 and done.returncode != 0:
        raise RuntimeError(f"{shot.program} failed:\n{done.stdout}\n{done.stderr}")
    return done.stdout, captured


def compose(shot, captured):
    import cv2
    import numpy as np

    tiles = []
    if shot.world:
        trail = cv2.imread(os.path.join(captured, "trail.png"))
        if trail is None:
            raise RuntimeError(f"{shot.program} in {shot.world} left no trail picture")
        h, w = trail.shape[:2]
        tiles.append(
            cv2.resize(trail, (shot.width, round(h * shot.width / w)), interpolation=cv2.INTER_AREA)
        )
    for window in shot.windows:
        name, which = window.rsplit(".", 1) if window.endswith(".first") else (window, "last")
        image = cv2.imread(os.path.join(captured, f"{name}.{which}.png"), cv2.IMREAD_UNCHANGED)
        if image is None:
            raise RuntimeError(f"{shot.program} showed nothing in the window {name!r}")
        if image.ndim == 2:
            image = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR)
        if shot.crop:
            image = image[shot.crop]
        h, w = image.shape[:2]
        tiles.append(
            cv2.resize(image, (shot.width, round(h * shot.width / w)), interpolation=cv2.INTER_AREA)
        )
    height = max(t.shape[0] for t in tiles)
    gap = np.full((height, 4, 3), 255, np.uint8)
    row = []
    for tile in tiles:
        pad = height - tile.shape[0]
        tile = cv2.copyMakeBorder(
            tile, pad // 2, pad - pad // 2, 0, 0, cv2.BORDER_CONSTANT, value=(255, 255, 255)
        )
        row += [gap, tile] if row else [tile]
    picture = np.hstack(row)
    assert picture.shape[1] <= 640, shot.name
    for old in (".png", ".jpg"):
        if os.path.exists(os.path.join(PICTURES, shot.name + old)):
            os.remove(os.path.join(PICTURES, shot.name + old))
    if shot.jpeg:
        path = os.path.join(PICTURES, shot.name + ".jpg")
        cv2.imwrite(path, picture, [cv2.IMWRITE_JPEG_QUALITY, 80])
    else:
        path = os.path.join(PICTURES, shot.name + ".png")
        cv2.imwrite(path, picture, [cv2.IMWRITE_PNG_COMPRESSION, 9])
    return path


WEB_VIEW = "web-view"

# The signs in reading order (the digits, the arrows, the loudspeaker), by the model's class
# numbers; the one face the digits are drawn in (fonts-dejavu-core), so that the picture does not
# depend on which of the kit's fonts a machine has; and the seeds of the cards (SIGN_SEED + class),
# chosen so that the kit's model reads every card, each more than 99 % sure.
SIGNS_IN_ORDER = [1, 2, 3, 4, 5, 6, 7, 8, 0, 9, 10, 11]
SIGN_FONT = "dejavu/DejaVuSans-Bold.ttf"
SIGN_SEED = 276
SIGN_GROUND = (236, 236, 236)  # light grey, for white cards to show their edges


def kit_sign_script():
    """kit/make/render_signs.py, the script that draws the model's training pictures."""
    folder = os.path.join(REPO, "kit", "make")
    if folder not in sys.path:
        sys.path.insert(0, folder)
    import render_signs

    return render_signs


def sign_cards(width=150, height=110):
    """(class, BGR card on SIGN_GROUND) for each sign, drawn by the kit's render_signs.py."""
    import numpy as np

    render_signs = kit_sign_script()
    font = os.path.join(render_signs.FONT_DIR, SIGN_FONT)
    if not os.path.isfile(font):
        sys.exit(f"model_signs needs {font} (apt-get install fonts-dejavu-core)")
    cards = []
    for cls in SIGNS_IN_ORDER:
        card, alpha = render_signs.render_card(
            np.random.default_rng(SIGN_SEED + cls), cls, [font], width, height, hard=False
        )
        alpha = alpha[..., None]
        laid = np.float32(SIGN_GROUND) * (1 - alpha) + card * alpha  # the rounded corners
        cards.append((cls, np.clip(laid + 0.5, 0, 255).astype(np.uint8)))
    return cards


def draw_model_signs():
    """docs/pictures/model_signs.png: the sign cards, four a row, each labelled with the kit's
    class name."""
    import cv2
    import numpy as np

    names = kit_sign_script().CLASS_NAMES
    tiles = []
    for cls, card in sign_cards():
        height, width = card.shape[:2]
        tile = cv2.copyMakeBorder(card, 0, 22, 0, 0, cv2.BORDER_CONSTANT, value=SIGN_GROUND)
        (w, _), _ = cv2.getTextSize(names[cls], cv2.FONT_HERSHEY_SIMPLEX, 0.55, 1)
        cv2.putText(
            tile,
            names[cls],
            ((width - w) // 2, height + 16),
            cv2.FONT_HERSHEY_SIMPLEX,
            0.55,
            (60, 60, 60),
            1,
            cv2.LINE_AA,
        )
        tiles.append(cv2.copyMakeBorder(tile, 3, 3, 3, 3, cv2.BORDER_CONSTANT, value=SIGN_GROUND))
    picture = np.vstack([np.hstack(tiles[i : i + 4]) for i in range(0, len(tiles), 4)])
    path = os.path.join(PICTURES, "model_signs.png")
    cv2.imwrite(path, picture, [cv2.IMWRITE_PNG_COMPRESSION, 9])
    print(
        f"{os.path.relpath(path, REPO)}  ({os.path.getsize(path) // 1024} KB)  "
        "kit/make/render_signs.py: the twelve signs"
    )


# Pictures drawn here rather than by running a program.
DRAWINGS = {"model_signs": draw_model_signs}


def make_web_view_picture():
    """docs/pictures/web-view.png: the browser test saves its screenshot of the page there."""
    env = dict(os.environ, ZELK_DOC_PICTURES="1", QT_QPA_PLATFORM="offscreen")
    test = os.path.join(REPO, "tests", "test_web_view_browser.py")
    subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-k", "laps_the_track_on_the_page", test],
        check=True,
        cwd=REPO,
        env=env,
    )
    print(f"docs/pictures/{WEB_VIEW}.png  the web view of the line follower lapping the track")


def make(names, examples, kit_from, jobs=2):
    unknown = set(names) - {s.name for s in SHOTS} - {WEB_VIEW} - set(DRAWINGS)
    if unknown:
        sys.exit(
            f"no such picture: {', '.join(sorted(unknown))}; the pictures are: "
            + ", ".join([s.name for s in SHOTS] + [WEB_VIEW] + list(DRAWINGS))
        )
    if not names or WEB_VIEW in names:
        make_web_view_picture()
    for name, draw in DRAWINGS.items():
        if not names or name in names:
            draw()
    asked = [name for name in names if name != WEB_VIEW and name not in DRAWINGS]
    if names and not asked:
        return
    names = asked
    shots = [s for s in SHOTS if not names or s.name in names]
    missing_programs = [
        s.program
        for s in shots
        if s.program not in DEMOS
        and not os.path.isfile(os.path.join(examples, os.path.basename(s.program)))
    ]
    if missing_programs:
        sys.exit(f"missing in {examples}: {', '.join(missing_programs)}")
    os.makedirs(PICTURES, exist_ok=True)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="zelk-pictures-") as work:
        kit = os.path.join(work, "kit")
        missing = make_kit(kit, kit_from)
        if missing:
            sys.exit(f"the kit lacks {', '.join(missing)} (neither installed nor in {kit_from})")
        inputs = os.path.join(work, "inputs")
        os.makedirs(inputs)
        make_inputs(inputs)
        from zelk_run import camera_stand_in

        camera_stand_in.make_track_video(os.path.join(inputs, "track.avi"))
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            runs = {
                shot.name: pool.submit(run, shot, examples, kit, inputs, work) for shot in shots
            }
            for shot in shots:
                output, captured = runs[shot.name].result()
                path = compose(shot, captured)
                lines = [line for line in output.splitlines() if line.strip()]
                print(
                    f"{os.path.relpath(path, REPO)}  ({os.path.getsize(path) // 1024} KB)  "
                    f"{shot.program}: {lines[-1] if lines else ''}"
                )
    print(f"{len(shots)} pictures in {time.monotonic() - started:.0f} s")


def main(argv):
    if "--capture" in argv[:1]:
        return capture(argv)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", metavar="NAME", help="pictures to make (default: all)")
    parser.add_argument("--examples", default=os.path.join(REPO, "examples"))
    parser.add_argument("--kit-from", default=os.path.join(REPO, "kit"))
    args = parser.parse_args(argv)
    make(args.names, os.path.abspath(args.examples), os.path.abspath(args.kit_from))


if __name__ == "__main__":
    main(sys.argv[1:])
