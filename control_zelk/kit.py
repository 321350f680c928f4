"""The kit folder that the vision modules read their files from.

    python3 -m control_zelk.kit install [--dir DIR] [--force]

writes, into DIR (by default the modules' own kit folder, main_path: "/home/pi/class/" on
Linux, "class/" on Windows and macOS):

    model/face.xml          the frontal-face cascade of OpenCV's data (Debian: opencv-data)
    model/qmt4082.proto     the twelve-class sign model (digits 1-9, left, right, voice)
    camera_pos/hat.jpg      the hat pasted by face_cap("hat") and face_detect.cap
    camera_pos/mask.jpg     the face mask pasted by face_mask("mask") and face_detect.mask

A file that is already there is kept, unless --force is given. The pictures and the model
come with this package; they were drawn and trained by the scripts in its kit/make folder.
"""

import argparse
import os
import shutil
import sys

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kit_data")
CASCADE_DIRS = ("/usr/share/opencv4/haarcascades", "/usr/share/opencv/haarcascades")
CASCADE = "haarcascade_frontalface_default.xml"


def default_folder():
    from control_zelk import optik1

    return optik1.main_path


def cascade_file():
    for folder in CASCADE_DIRS:
        path = os.path.join(folder, CASCADE)
        if os.path.isfile(path):
            return path
    raise FileNotFoundError(
        f"OpenCV's face cascade {CASCADE} was not found in {' or '.join(CASCADE_DIRS)}; "
        "install it with: sudo apt-get install opencv-data"
    )


def contents():
    """(source file, path within the kit folder) of every file of the kit."""
    return [
        (cascade_file(), "model/face.xml"),
        (os.path.join(DATA, "model", "qmt4082.proto"), "model/qmt4082.proto"),
        (os.path.join(DATA, "camera_pos", "hat.jpg"), "camera_pos/hat.jpg"),
        (os.path.join(DATA, "camera_pos", "mask.jpg"), "camera_pos/mask.jpg"),
    ]


def install(folder, force=False, say=print):
    """Copies the kit into `folder`; returns the paths written."""
    written = []
    for source, name in contents():
        target = os.path.join(folder, name)
        if os.path.exists(target) and not force:
            say(f"kept    {target} (already there; --force replaces it)")
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        written.append(target)
        say(f"wrote   {target}")
    return written


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m control_zelk.kit",
        description="Installs the kit folder (face cascade, overlay pictures, sign model) "
        "that the vision modules read.",
    )
    sub = parser.add_subparsers(dest="command", required=True)
    inst = sub.add_parser("install", help="write the kit's files into the kit folder")
    inst.add_argument(
        "--dir", help=f"the kit folder (default: the modules' main_path, {default_folder()!r} here)"
    )
    inst.add_argument("--force", action="store_true", help="replace files that are already there")
    args = parser.parse_args(argv)
    try:
        install(args.dir or default_folder(), force=args.force)
    except OSError as e:
        print(f"kit: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
